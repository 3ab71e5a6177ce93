"""SQLAlchemy dialects for vkcondb (needs ``pip install vkcondb[sqlalchemy]``).

Installing vkcondb registers them with SQLAlchemy:

    sqlalchemy.create_engine("sqlite+vkcondb:///app.db")
    sqlalchemy.create_engine("postgresql+vkcondb://user:pw@db1:5432/app")

The dialects live in ``vkcondb.sqlalchemy.sqlite`` and
``vkcondb.sqlalchemy.postgresql``; importing ``vkcondb`` itself never
imports SQLAlchemy.
"""

"""An ORM model with a relationship, created, queried, updated and deleted."""
import datetime
import decimal

import pytest

sa = pytest.importorskip("sqlalchemy")
from sqlalchemy import orm  # noqa: E402


class Base(orm.DeclarativeBase):
    pass


class Customer(Base):
    __tablename__ = "customer"
    id = sa.Column(sa.Integer, primary_key=True)
    name = sa.Column(sa.String(50), nullable=False, unique=True)
    joined = sa.Column(sa.Date)
    orders = orm.relationship("Order", back_populates="customer", cascade="all, delete-orphan")


class Order(Base):
    __tablename__ = "orders"
    id = sa.Column(sa.Integer, primary_key=True)
    customer_id = sa.Column(sa.ForeignKey("customer.id"), nullable=False)
    placed = sa.Column(sa.DateTime, nullable=False)
    at = sa.Column(sa.Time)
    total = sa.Column(sa.Numeric(10, 2))
    customer = orm.relationship("Customer", back_populates="orders")


def test_crud_with_relationship(engine):
    Base.metadata.create_all(engine)
    placed = datetime.datetime(2024, 5, 6, 7, 8, 9, 123456)
    with orm.Session(engine) as session:
        ann = Customer(name="ann", joined=datetime.date(2020, 1, 2), orders=[
            Order(placed=placed, at=datetime.time(10, 11, 12), total=decimal.Decimal("9.50")),
            Order(placed=placed.replace(microsecond=0), total=None)])
        session.add_all([ann, Customer(name="bob")])
        session.commit()
        ann_id = ann.id

    with orm.Session(engine) as session:
        ann = session.get(Customer, ann_id)
        assert ann.joined == datetime.date(2020, 1, 2)
        got = sorted(ann.orders, key=lambda o: o.id)
        assert [o.placed for o in got] == [placed, placed.replace(microsecond=0)]
        assert got[0].at == datetime.time(10, 11, 12)
        assert got[0].total == decimal.Decimal("9.50") and got[1].total is None
        rows = session.execute(sa.select(Customer.name, sa.func.count(Order.id))
                               .outerjoin(Customer.orders).group_by(Customer.name)
                               .order_by(Customer.name)).all()
        assert rows == [("ann", 2), ("bob", 0)]

        got[0].total = decimal.Decimal("12.25")
        ann.orders.remove(got[1])          # delete-orphan
        session.commit()

    with orm.Session(engine) as session:
        ann = session.scalars(sa.select(Customer).where(Customer.name == "ann")).one()
        assert [(o.total) for o in ann.orders] == [decimal.Decimal("12.25")]
        session.delete(ann)
        session.commit()
        assert session.scalar(sa.select(sa.func.count()).select_from(Order)) == 0

    # a unique violation arrives as SQLAlchemy's IntegrityError, and the
    # session is usable after rollback
    with orm.Session(engine) as session:
        session.add(Customer(name="bob"))
        with pytest.raises(sa.exc.IntegrityError):
            session.commit()
        session.rollback()
        assert session.scalar(sa.select(sa.func.count()).select_from(Customer)) == 1


def test_pool_ping_and_nullpool(engine):
    pinged = sa.create_engine(engine.url, pool_pre_ping=True)
    with pinged.connect() as conn:
        assert conn.scalar(sa.select(sa.literal(1))) == 1
    with pinged.connect() as conn:  # the pooled connection, pinged first
        assert conn.scalar(sa.select(sa.literal(2))) == 2
    pinged.dispose()
    single = sa.create_engine(engine.url, poolclass=sa.pool.NullPool)
    with single.connect() as conn:
        conn = conn.execution_options(isolation_level="AUTOCOMMIT")
        assert conn.scalar(sa.select(sa.literal("x"))) == "x"
    single.dispose()


def test_transactions_roll_back_and_savepoints(engine):
    meta = sa.MetaData()
    t = sa.Table("t", meta, sa.Column("id", sa.Integer, primary_key=True))
    meta.create_all(engine)
    with engine.connect() as conn:
        conn.execute(t.insert(), [{"id": 1}])
        nested = conn.begin_nested()
        conn.execute(t.insert(), [{"id": 2}])
        nested.rollback()
        conn.commit()
        conn.execute(t.insert(), [{"id": 3}])
        conn.rollback()
        assert conn.scalars(sa.select(t.c.id)).all() == [1]

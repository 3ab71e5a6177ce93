"""SQLAlchemy's pytest plugin, with vkcondb's dialects registered (an
installed vkcondb registers them through its entry points as well)."""
import os
import re
import sys

import pytest
from sqlalchemy.dialects import registry

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

registry.register("sqlite.vkcondb", "vkcondb.sqlalchemy.sqlite", "SQLiteDialect_vkcondb")
registry.register("postgresql.vkcondb", "vkcondb.sqlalchemy.postgresql", "PGDialect_vkcondb")

pytest.register_assert_rewrite("sqlalchemy.testing.assertions")

from sqlalchemy.testing.plugin.pytestplugin import *  # noqa: E402,F401,F403
from sqlalchemy.testing import provision  # noqa: E402
import sqlalchemy.dialects.postgresql.provision  # noqa: E402,F401  (registers its hooks first)

_pg_hook = provision.set_default_schema_on_connection.fns["postgresql"]


@provision.set_default_schema_on_connection.for_db("postgresql")
def _set_default_schema(cfg, dbapi_connection, schema_name):
    # SQLAlchemy's own hook sets psycopg's `autocommit` attribute; vkcondb's
    # connection switches autocommit with a call.
    if not callable(getattr(dbapi_connection, "autocommit", None)):
        return _pg_hook(cfg, dbapi_connection, schema_name)
    cursor = dbapi_connection.cursor()
    cursor.execute("SET SESSION search_path='%s'" % schema_name)
    cursor.close()
    dbapi_connection.commit()


def _known_failures():
    known = set()
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           "known_failures.txt")) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                known.add(tuple(line.split(" ", 1)))
    return known


_DRIVER_PART = re.compile(r"_(sqlite|postgresql)\+\w+?_[\d_]+::")


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(session, config, items):
    from sqlalchemy.testing import config as sqla_config
    database = sqla_config.db.name
    known = {test for db, test in _known_failures() if db == database}
    keep, drop = [], []
    for item in items:
        test = _DRIVER_PART.sub("::", item.nodeid.split("::", 1)[-1])
        (drop if test in known or test.split("[", 1)[0] in known else keep).append(item)
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = keep

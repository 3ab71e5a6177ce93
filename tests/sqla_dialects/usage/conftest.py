"""Engines of both vkcondb dialects for the real-use tests: the embedded
engine on a temporary file, PostgreSQL on the session's private server."""
import pytest

sqlalchemy = pytest.importorskip("sqlalchemy")

from sqlalchemy.dialects import registry  # noqa: E402

registry.register("sqlite.vkcondb", "vkcondb.sqlalchemy.sqlite", "SQLiteDialect_vkcondb")
registry.register("postgresql.vkcondb", "vkcondb.sqlalchemy.postgresql", "PGDialect_vkcondb")

from postgres.conftest import pg_server  # noqa: E402,F401  (the session's server)


@pytest.fixture(params=["sqlite", "postgresql"])
def engine(request, tmp_path):
    if request.param == "sqlite":
        url = "sqlite+vkcondb:///%s" % (tmp_path / "app.db")
    else:
        server = request.getfixturevalue("pg_server")
        url = "postgresql+vkcondb://vk@%s:%d/vktest" % (server.host, server.port)
    eng = sqlalchemy.create_engine(url)
    yield eng
    if request.param == "postgresql":
        with eng.begin() as conn:
            conn.exec_driver_sql("drop schema public cascade; create schema public")
    eng.dispose()

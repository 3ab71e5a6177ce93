"""The package face on PostgreSQL: connecting by URL, errors by kind with
their SQLSTATE, lastrowid."""
import pickle

import pytest

import pgserver
import vkcondb
from pg_support import conn, cur, table  # noqa: F401 (fixtures)


def test_connect_by_url(pg_server):
    url = "postgresql://%s@%s:%d/%s" % (pgserver.SUPERUSER, pgserver.HOST, pg_server.port,
                                         pgserver.DATABASE)
    c = vkcondb.connect(url)
    try:
        assert c.execute("select current_database()").fetchone() == (pgserver.DATABASE,)
    finally:
        c.close()


@pytest.mark.parametrize("sql, kind, state", [
    ("insert into {t} values (1, 1)", vkcondb.IntegrityError, "23505"),
    ("insert into {t} values (2, null)", vkcondb.IntegrityError, "23502"),
    ("insert into {t}_child values (9)", vkcondb.IntegrityError, "23503"),
    ("select 1 / 0", vkcondb.DataError, "22012"),
    ("select 'x'::int", vkcondb.DataError, "22P02"),
    ("select * from no_such_table", vkcondb.ProgrammingError, "42P01"),
])
def test_errors_by_kind(pg_server, cur, table, sql, kind, state):
    t = table("k int primary key, v int not null")
    pg_server.psql("create table %s_child (k int references %s(k))" % (t, t))
    try:
        cur.execute("insert into %s values (1, 1)" % t)
        with pytest.raises(kind) as e:
            cur.execute(sql.format(t=t))
        assert isinstance(e.value, vkcondb.OperationalError)
        assert e.value.sqlstate == state
        assert pickle.loads(pickle.dumps(e.value)).sqlstate == state
        assert cur.execute("select 1") is None and cur.fetchall() == [(1,)]
    finally:
        pg_server.psql("drop table %s_child" % t)


def test_lastrowid_is_none_on_the_server(cur, table):
    t = table("k serial primary key, v text")
    cur.execute("insert into %s(v) values ('a')" % t)
    assert cur.lastrowid is None
    cur.execute("insert into %s(v) values ('b') returning k" % t)
    assert cur.fetchone() == (2,)

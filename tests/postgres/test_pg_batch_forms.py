"""executebatch's two ways on the PostgreSQL engine: a plain INSERT of
parameters loads its rows as one COPY, which must carry every value
exactly (texts with COPY's own special characters, every byte); a target
COPY cannot load, and any other statement, take the rows one statement
each.  Every way is all or nothing."""
import pytest

import vkcondb
from pg_support import conn, cur, other, query, table, unique_name  # noqa: F401 (fixtures)

AWKWARD_TEXTS = ["tab\there", "new\nline", "back\\slash", "cr\rhere", "\\N", "", " ",
                 "\\x41", "é ü 雪", "last\\"]


@pytest.mark.parametrize("sql", [
    "insert into {t} (id, v, b) values (?, ?, ?)",   # COPY with a column list
    "insert into {t} values (?, ?, ?)",              # COPY of all the columns
    "insert into {t} values (?, ?::text, ?)",        # not a plain insert: one by one
])
def test_values_arrive_exactly(cur, table, other, sql):
    name = table("id int primary key, v text, b bytea")
    n = len(AWKWARD_TEXTS)
    blobs = [bytes(range(256)), b"", b"\\", b"\t\n", None] + [b"x"] * (n - 5)
    texts = AWKWARD_TEXTS[:-1] + [None]
    cur.executebatch(sql.format(t=name), [list(range(n)), texts, blobs])
    assert query(other, "select v, b from %s order by id" % name) == list(zip(texts, blobs))


def test_a_table_with_more_columns_than_values(cur, table, other):
    # COPY of all the columns finds one missing: the rows go one by one and
    # the other column takes its default.
    name = table("id int, v text, w text default 'd'")
    cur.executebatch("insert into %s values (?, ?)" % name, [[1, 2], ["a", "b"]])
    assert query(other, "select * from %s order by id" % name) == [(1, "a", "d"), (2, "b", "d")]


def test_a_view_takes_its_rows_one_by_one(cur, table, other, pg_server):
    name = table("id int, v text")
    view = unique_name("v")
    pg_server.psql("create view %s as select * from %s" % (view, name))
    try:
        cur.executebatch("insert into %s (id, v) values (?, ?)" % view, [[1, 2], ["a", "b"]])
        assert query(other, "select * from %s order by id" % name) == [(1, "a"), (2, "b")]
        with pytest.raises(vkcondb.OperationalError, match="^row 2: "):
            cur.executebatch("insert into %s (id, v) values (?, ?)" % view,
                             [["3", "x"], ["c", "d"]])
        assert query(other, "select count(*) from %s" % name) == [(2,)]
    finally:
        pg_server.psql("drop view if exists %s" % view)


@pytest.mark.parametrize("sql", ["insert into {t} (id, v) values (?, ?)",
                                 "insert into {t} (id, v) values (?, upper(?))"])
def test_a_failing_row_is_named_and_nothing_is_applied(cur, table, other, sql):
    name = table("id int primary key, v text")
    ids = list(range(1, 2501)) + [7]
    with pytest.raises(vkcondb.OperationalError, match="^row 2501: duplicate key value"):
        cur.executebatch(sql.format(t=name), [ids, ["v"] * len(ids)])
    assert query(other, "select count(*) from %s" % name) == [(0,)]

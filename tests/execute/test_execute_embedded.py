"""execute on the embedded engine: every supported Python type goes in by
position and by name and is stored whole (checked with Python's own sqlite3
on the same file, and read back through the cursor)."""
import datetime
import sqlite3

import pytest

import vkcondb

TABLE = ("create table t(k integer primary key, i integer, r real, s text, b blob, "
         "d date, tm time, dt datetime, n)")


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "x.db")
    conn = vkcondb.connect(database=path)
    cur = conn.cursor()
    cur.execute(TABLE)
    yield path, conn, cur
    cur.close()
    conn.close()


def stored(path, column, key=1):
    with sqlite3.connect(path) as check:
        return check.execute("select %s, typeof(%s) from t where k = ?" % (column, column),
                             (key,)).fetchone()


VALUES = [
    # column, value, value stored by the engine, its storage class
    ("i", 5, 5, "integer"),
    ("i", -2 ** 63, -2 ** 63, "integer"),
    ("i", 2 ** 63 - 1, 2 ** 63 - 1, "integer"),
    ("i", True, 1, "integer"),
    ("i", False, 0, "integer"),
    ("r", 1.5, 1.5, "real"),
    ("r", -0.1, -0.1, "real"),
    ("r", 1e-20, 1e-20, "real"),
    ("r", 0.1 + 0.2, 0.1 + 0.2, "real"),
    ("r", 1e60, 1e60, "real"),
    ("r", -1.7976931348623157e308, -1.7976931348623157e308, "real"),
    ("s", "abc", "abc", "text"),
    ("s", "", "", "text"),
    ("s", u"h\u00e9llo \u2603 \U0001f600", u"h\u00e9llo \u2603 \U0001f600", "text"),
    ("s", "x" * 100000, "x" * 100000, "text"),
    ("b", b"\x00\xff\x00", b"\x00\xff\x00", "blob"),
    ("b", b"", b"", "blob"),
    ("d", datetime.date(2020, 1, 2), "2020-01-02", "text"),
    ("tm", datetime.time(1, 2, 3, 4), "01:02:03.000004", "text"),
    ("dt", datetime.datetime(2024, 1, 2, 3, 4, 5, 6), "2024-01-02 03:04:05.000006", "text"),
    ("n", None, None, "null"),
]


@pytest.mark.parametrize("column,value,expected,storage", VALUES)
@pytest.mark.parametrize("style", ["positional", "named"])
def test_insert_stores_each_type_whole(db, column, value, expected, storage, style):
    path, conn, cur = db
    if style == "positional":
        cur.execute("insert into t(k, %s) values (?, ?)" % column, (1, value))
    else:
        cur.execute("insert into t(k, %s) values (:k, :v)" % column, {"k": 1, "v": value})
    assert cur.rowcount == 1
    assert cur.description is None
    assert stored(path, column) == (expected, storage)


@pytest.mark.parametrize("column,value", [
    ("i", 7), ("i", -2 ** 63), ("r", 1e-20), ("r", 0.1 + 0.2), ("s", ""),
    ("s", u"\u00e9\u00e8"), ("b", b""), ("b", b"\x00\x01"), ("n", None)])
def test_select_with_parameters_reads_the_value_back(db, column, value):
    path, conn, cur = db
    cur.execute("insert into t(k, %s) values (?, ?)" % column, [1, value])
    cur.execute("select %s from t where k = :k" % column, {"k": 1})
    assert cur.fetchall() == [(value,)]


def test_update_with_named_and_positional_parameters(db):
    path, conn, cur = db
    cur.execute("insert into t(k, i, s) values (?, ?, ?)", (1, 10, "a"))
    cur.execute("insert into t(k, i, s) values (?, ?, ?)", (2, 20, "b"))
    cur.execute("update t set s = :s where i >= :low", {"s": "z", "low": 15})
    assert cur.rowcount == 1
    cur.execute("update t set r = ? where k = ?", (2.25, 1))
    with sqlite3.connect(path) as check:
        assert check.execute("select k, i, r, s from t order by k").fetchall() == [
            (1, 10, 2.25, "a"), (2, 20, None, "z")]


def test_declared_size_cuts_text_on_a_character_boundary(db):
    path, conn, cur = db
    cur.setinputsizes([None, 3])
    cur.execute("insert into t(k, s) values (?, ?)", (1, u"a\u00e9\u00e9"))
    cur.clearsize()
    assert stored(path, "s") == (u"a\u00e9", "text")


@pytest.mark.parametrize("params,error", [
    ((1, 2 ** 64), OverflowError),
    ((1, "a\0b"), vkcondb.ProgrammingError),
    ((1, [2]), vkcondb.OperationalError),
])
def test_refused_values_leave_the_table_unchanged(db, params, error):
    path, conn, cur = db
    with pytest.raises(error):
        cur.execute("insert into t(k, s) values (?, ?)", params)
    with sqlite3.connect(path) as check:
        assert check.execute("select count(*) from t").fetchone() == (0,)


@pytest.mark.parametrize("sql,message", [
    ("select * from nope", "no such table: nope"),
    ("selec 1", 'near "selec": syntax error'),
    ("insert into t(k) values (1), (1)", "UNIQUE constraint failed: t.k"),
])
def test_sql_error_carries_the_engine_message(db, sql, message):
    path, conn, cur = db
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.execute(sql)
    assert message in str(info.value)
    assert cur.rowcount == 0
    assert cur.description is None


@pytest.mark.parametrize("sql, rows", [
    ("pragma journal_mode = wal", [("wal",)]),
    ("pragma user_version", [(0,)]),
    ("insert into t(k, i) values (7, 70), (8, 80) returning k, i", [(7, 70), (8, 80)]),
    ("values (1, 'a'), (2, 'b')", [(1, "a"), (2, "b")]),
    ("with c(x) as (select 5) select x from c", [(5,)]),
])
def test_statements_that_give_rows_whatever_their_first_word(db, sql, rows):
    path, conn, cur = db
    cur.execute(sql)
    assert cur.description is not None
    assert cur.fetchall() == rows


def test_explain_and_executemany_returning_give_rows(db):
    path, conn, cur = db
    cur.execute("explain select 1")
    assert len(cur.fetchall()) > 1
    cur.executemany("insert into t(k, i) values (?, ?) returning i * 2", (3, 4))
    assert [d[0] for d in cur.description] == ["i * 2"]
    assert cur.fetchall() == [(8,)]

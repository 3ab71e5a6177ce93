"""Nothing lost at bind time, on the embedded engine: every value is either
stored as what it is or refused before anything runs.  Checked with
Python's own sqlite3 on the same file."""
import datetime
import decimal
import math
import sqlite3
import uuid

import pytest

import vkcondb


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "x.db")
    conn = vkcondb.connect(database=path)
    cur = conn.cursor()
    cur.execute("create table t(a, b)")
    yield path, conn, cur
    cur.close()
    conn.close()


def stored(path):
    with sqlite3.connect(path) as check:
        return check.execute("select a, typeof(a), b, typeof(b) from t order by rowid").fetchall()


def insert_each_way(cur, rows):
    """The same rows through execute, executemany and executebatch."""
    for row in rows:
        cur.execute("insert into t values (?, ?)", row)
    cur.executemany("insert into t values (?, ?)", rows)
    cur.executebatch("insert into t values (?, ?)", [list(c) for c in zip(*rows)])


def test_decimal_bytearray_and_memoryview_are_stored(db):
    path, conn, cur = db
    rows = [(decimal.Decimal("1234.5600"), bytearray(b"\x00\x01")),
            (decimal.Decimal("-1E+3"), memoryview(b"xyz"))]
    insert_each_way(cur, rows)
    expected = [("1234.5600", "text", b"\x00\x01", "blob"), ("-1E+3", "text", b"xyz", "blob")]
    assert stored(path) == expected * 3


def test_non_finite_floats_are_numbers_on_every_path(db):
    path, conn, cur = db
    cur.execute("create table f(a real, b real)")
    rows = [(float("inf"), float("-inf")), (float("nan"), 1.5)]
    for row in rows:
        cur.execute("insert into f values (?, ?)", row)
    cur.executemany("insert into f values (?, ?)", rows)
    cur.executebatch("insert into f values (?, ?)", [list(c) for c in zip(*rows)])
    with sqlite3.connect(path) as check:
        got = check.execute("select a, typeof(a), b from f order by rowid").fetchall()
    # NaN becomes NULL, as the engine cannot hold it
    assert got == [(math.inf, "real", -math.inf), (None, "null", 1.5)] * 3
    cur.execute("select a, b from f where b < 0")
    assert cur.fetchall() == [(math.inf, -math.inf)] * 3


@pytest.mark.parametrize("value", [uuid.UUID(int=1), datetime.timedelta(1), object(), 1j,
                                   frozenset()])
def test_values_without_a_conversion_are_refused_before_anything_runs(db, value):
    path, conn, cur = db
    type_name = type(value).__name__
    with pytest.raises(vkcondb.ProgrammingError,
                       match=r"^parameter 2: a value of type '[\w.]*%s'" % type_name):
        cur.execute("insert into t values (?, ?)", (1, value))
    with pytest.raises(vkcondb.ProgrammingError, match=r"^parameter 'b': "):
        cur.execute("insert into t values (:a, :b)", {"a": 1, "b": value})
    # a bad value in a later set: not even the first set is applied
    with pytest.raises(vkcondb.ProgrammingError, match=r"^parameter 2: "):
        cur.executemany("insert into t values (?, ?)", [(1, 2), (3, value)])
    with pytest.raises(vkcondb.ProgrammingError, match=r"^executebatch column 2 row 1: "):
        cur.executebatch("insert into t values (?, ?)", [[1], [value]])
    assert stored(path) == []


@pytest.mark.parametrize("sql, params, missing", [
    ("insert into t values (?, ?)", (1,), "2"),
    ("insert into t values (?, ?)", [], "1"),
    ("insert into t values (?, ?)", None, "1"),
    ("insert into t values (:a, ?)", {"a": 1}, "2"),
    ("insert into t values (1, 2); insert into t values (?, 3)", None, "1"),
])
def test_missing_values_are_refused_and_nothing_runs(db, sql, params, missing):
    path, conn, cur = db
    with pytest.raises(vkcondb.OperationalError,
                       match="^no value is bound for parameter %s$" % missing):
        cur.execute(sql, params)
    assert stored(path) == []


def test_missing_named_value_is_refused_on_every_path(db):
    path, conn, cur = db
    with pytest.raises(vkcondb.OperationalError, match="no value is bound for parameter :b"):
        cur.execute("insert into t values (:a, :b)", {"a": 1})
    with pytest.raises(vkcondb.OperationalError):
        cur.executemany("insert into t values (?, ?)", [(1, 2), (3,)])
    with pytest.raises(vkcondb.OperationalError):
        cur.executebatch("insert into t values (?, ?)", [[1, 2]])
    # executemany applies the sets before the short one, as each set runs
    # on its own; executebatch applies nothing
    assert stored(path) == [(1, "integer", 2, "integer")]


def test_extra_dict_keys_are_ignored(db):
    path, conn, cur = db
    cur.execute("insert into t values (:a, :b)", {"a": 1, "b": 2, "unused": 3})
    cur.executemany("insert into t values (:a, :b)", [{"b": 4, "a": 3, "c": None}])
    assert stored(path) == [(1, "integer", 2, "integer"), (3, "integer", 4, "integer")]

"""Fetching from the embedded engine: values of every column type come back
as stored, and the fetch methods move through real results."""
import datetime

import pytest

import vkcondb

COLUMNS = [
    ("integer", [0, -2 ** 63, 2 ** 63 - 1, 42]),
    ("real", [1.5, -2.25e300, 5e-324]),
    ("text", ["", "plain", u"h\u00e9llo \u20ac \U0001f600", "a\tb\nc"]),
    ("varchar(5)", ["abcde", u"\u00e9\u00e9\u00e9\u00e9\u00e9"]),
    ("blob", [b"", b"\0", b"\0\x01\xff\0", bytes(range(256))]),
    ("boolean", [True, False]),
    ("numeric", [12.5, -0.125, 0.0]),
    ("decimal(10,2)", [12.34]),
    ("date", ["2020-01-02", "0001-01-01"]),
    ("time", ["03:04:05", "23:59:59"]),
    ("datetime", [datetime.datetime(2000, 2, 29, 12, 30, 45, 123000),
                  datetime.datetime(1, 1, 1), datetime.datetime(9999, 12, 31, 23, 59, 59, 999000),
                  datetime.datetime(1969, 12, 31, 23, 59, 59, 999000)]),
]


@pytest.fixture
def cur(tmp_path):
    conn = vkcondb.connect(database=str(tmp_path / "x.db"))
    c = conn.cursor()
    yield c
    c.close()
    conn.close()


@pytest.mark.parametrize("decl,values", COLUMNS, ids=[c[0] for c in COLUMNS])
def test_round_trip_of_each_type(cur, decl, values):
    cur.execute("create table t(id integer, v %s)" % decl)
    for i, v in enumerate(values + [None]):
        cur.execute("insert into t values (?, ?)", (i, v))
    cur.execute("select v from t order by id")
    got = [row[0] for row in cur.fetchall()]
    assert got == values + [None]
    assert [type(g) for g in got] == [type(v) for v in values] + [type(None)]


@pytest.mark.parametrize("decl,value", [
    ("text", u"\u00e9" * 500000 + "end"),    # 1 MB of text: past any text buffer
    ("varchar(3)", "long" * 1000),            # longer than its declared size
    ("blob", b"\0\x01" * 500000),             # 1 MB of bytes with zero bytes inside
])
def test_large_values_come_back_whole(cur, decl, value):
    cur.execute("create table t(v %s)" % decl)
    cur.execute("insert into t values (?)", (value,))
    cur.execute("select v, v from t")
    assert cur.fetchone() == (value, value)


def test_invalid_utf8_in_the_database_fails_the_fetch(cur):
    cur.execute("select 1, cast(x'6fff' as text)")
    with pytest.raises(UnicodeDecodeError):
        cur.fetchall()


@pytest.fixture
def three(cur):
    cur.execute("create table t(n integer)")
    for n in (1, 2, 3):
        cur.execute("insert into t values (?)", (n,))
    cur.execute("select n from t order by n")
    return cur


def test_fetchone_then_end(three):
    assert [three.fetchone() for _ in range(5)] == [(1,), (2,), (3,), None, None]


@pytest.mark.parametrize("setup,calls,expected", [
    (1, [()], [[1]]),
    (1, [(0,), (2,), (2,)], [[1], [2, 3], []]),
    (0, [()], [[1, 2, 3]]),
    (2, [(-1,)], [[1, 2, 3]]),
    (3, [(5,), (5,)], [[1, 2, 3], []]),
])
def test_fetchmany_and_arraysize(three, setup, calls, expected):
    three.arraysize = setup
    assert [three.fetchmany(*c) for c in calls] == [[(n,) for n in e] for e in expected]


def test_mixed_fetches_share_one_position(three):
    assert three.fetchone() == (1,)
    assert three.fetchmany(1) == [(2,)]
    assert three.fetchall() == [(3,)]
    assert three.fetchall() == []


def test_nextset_over_two_result_sets(cur):
    cur.execute("select 1, 'a'; select 2.5 as x")
    assert cur.fetchall() == [(1, "a")]
    assert cur.nextset() == "TRUE"
    assert [d[0] for d in cur.description] == ["x"]
    assert cur.fetchall() == [(2.5,)]
    assert cur.nextset() is None


def test_query_over_an_empty_table(cur):
    cur.execute("create table t(a integer, b text)")
    cur.execute("select a, b from t")
    assert cur.fetchone() is None
    assert cur.fetchmany(3) == []
    assert cur.fetchall() == []


def test_statement_without_rows_has_no_result_set(cur):
    cur.execute("create table t(a integer)")
    assert cur.fetchmany() is None
    with pytest.raises(vkcondb.ProgrammingError, match="^The result set does not exist$"):
        cur.fetchall()


def test_text_holding_a_zero_byte_comes_back_whole_as_bytes(cur):
    cur.execute("select cast(x'610062' as text), cast(x'6162' as text)")
    assert cur.fetchone() == (b"a\0b", "ab")

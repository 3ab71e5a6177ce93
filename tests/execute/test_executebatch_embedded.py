"""executebatch on the embedded engine: every column kind reaches the table
whole, and a batch is all or nothing, in autocommit and inside a
transaction.  The stored values are read back with Python's own sqlite3
module on the same file, so they are checked as stored."""
import datetime
import sqlite3

import pytest

import vkcondb

D = datetime.date(2024, 2, 29)
T = datetime.time(23, 59, 58, 999999)
DT = datetime.datetime(1999, 12, 31, 1, 2, 3, 4)

# column declaration, values sent, values stored (as sqlite3 reads them)
KINDS = [
    ("integer", [2 ** 63 - 1, -2 ** 63, 0, None], [2 ** 63 - 1, -2 ** 63, 0, None]),
    ("real", [1e-20, 0.1, -1.5e300, None, 3], [1e-20, 0.1, -1.5e300, None, 3.0]),
    ("text", ["h\u00e9llo \u20ac", "", None, "x" * 5000],
     ["h\u00e9llo \u20ac", "", None, "x" * 5000]),
    ("blob", [b"\x00\xff\x01", None, b"z" * 70000, b"", b"\x00"],
     [b"\x00\xff\x01", None, b"z" * 70000, b"", b"\x00"]),
    ("boolean", [True, False, None], [1, 0, None]),
    ("date", [D, None, datetime.date(1, 1, 1)], ["2024-02-29", None, "0001-01-01"]),
    ("time", [T, None], ["23:59:58.999999", None]),
    ("datetime", [DT, None], ["1999-12-31 01:02:03.000004", None]),
]


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "batch.db")
    conn = vkcondb.connect(database=path)
    yield path, conn
    conn.close()


def stored(path, sql):
    raw = sqlite3.connect(path)
    try:
        return raw.execute(sql).fetchall()
    finally:
        raw.close()


@pytest.mark.parametrize("decl, values, expected", KINDS, ids=[k[0] for k in KINDS])
def test_every_column_kind_round_trips(db, decl, values, expected):
    path, conn = db
    cur = conn.cursor()
    cur.execute("create table t(n integer, v %s)" % decl)
    cur.executebatch("insert into t(n, v) values (?, ?)", [list(range(len(values))), values])
    assert cur.rowcount == len(values)
    assert [row[0] for row in stored(path, "select v from t order by n")] == expected


def test_many_rows_and_columns_in_one_batch(db):
    path, conn = db
    cur = conn.cursor()
    cur.execute("create table t(a integer, b real, c text)")
    rows = 5000
    cur.executebatch("insert into t values (?, ?, ?)",
                     [list(range(rows)), [i / 4 for i in range(rows)],
                      ["r%07d" % i for i in range(rows)]])
    assert stored(path, "select count(*), sum(a), sum(b), max(c) from t") == \
        [(rows, sum(range(rows)), sum(i / 4 for i in range(rows)), "r%07d" % (rows - 1))]


@pytest.mark.parametrize("in_transaction", [False, True])
def test_failing_row_leaves_the_table_unchanged(db, in_transaction):
    path, conn = db
    cur = conn.cursor()
    cur.execute("create table t(id integer primary key, v text)")
    cur.execute("insert into t values (1, 'kept')")
    if in_transaction:
        conn.begin()
        cur.execute("insert into t values (2, 'also kept')")
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.executebatch("insert into t values (?, ?)", [[5, 6, 1, 7], ["a", "b", "c", "d"]])
    assert "3" in str(info.value)  # the failing row is named
    if in_transaction:
        conn.commit()
    expected = [(1, "kept")] + ([(2, "also kept")] if in_transaction else [])
    assert stored(path, "select id, v from t order by id") == expected


def test_a_good_batch_after_a_failed_one(db):
    path, conn = db
    cur = conn.cursor()
    cur.execute("create table t(id integer primary key)")
    with pytest.raises(vkcondb.OperationalError):
        cur.executebatch("insert into t values (?)", [[1, 1]])
    cur.executebatch("insert into t values (?)", [[1, 2]])
    assert stored(path, "select id from t order by id") == [(1,), (2,)]



# Columns the library keeps in a narrower form while the batch runs (ints
# within 32 bits, doubles that are exactly floats, short texts): the values
# at the edges of each form, and one value past it, all stored as sent.
NARROW_EDGES = [
    ("integer", [2 ** 31 - 1, -2 ** 31, None, 0, -1]),
    ("integer", [2 ** 31 - 1, -2 ** 31, 2 ** 31, None]),
    ("real", [0.5, -0.0, 2.0 ** -149, 3.4028234663852886e38, None, -7.25]),
    ("real", [0.5, 0.1, None]),
    ("real", [0.5, 3.4028235677973366e38, 1e39, float("inf"), float("-inf")]),
    ("text", ["x" * 254, "", None, "\u00e9" * 127]),
    ("text", ["x" * 254, "y" * 255, None, ""]),
    ("blob", [b"\x00" * 254, b"", None, b"\xff"]),
]


@pytest.mark.parametrize("decl, values", NARROW_EDGES,
                         ids=["%s%d" % (k[0], i) for i, k in enumerate(NARROW_EDGES)])
def test_values_at_the_edges_of_the_narrow_forms(db, decl, values):
    path, conn = db
    cur = conn.cursor()
    cur.execute("create table t(n integer, v %s)" % decl)
    cur.executebatch("insert into t(n, v) values (?, ?)", [list(range(len(values))), values])
    assert [row[0] for row in stored(path, "select v from t order by n")] == values


def short_text(i):
    return None if i % 7 == 3 else ("" if i % 11 == 5 else "t%d" % (i * 37 % 1000))


def test_short_texts_with_nulls_over_many_groups(db):
    # Texts of varying length, NULLs and empty ones over many groups of rows,
    # read back in their rows.
    path, conn = db
    cur = conn.cursor()
    cur.execute("create table t(n integer, v text, w text)")
    rows = 1000
    v = [short_text(i) for i in range(rows)]
    w = [None if i % 5 == 0 else "w" * (i % 40) for i in range(rows)]
    cur.executebatch("insert into t values (?, ?, ?)", [list(range(rows)), v, w])
    assert stored(path, "select v, w from t order by n") == list(zip(v, w))


def test_failing_row_late_in_a_batch_of_short_texts(db):
    # The rows of the failing group are run again one by one from the
    # group's first row: the texts of those rows must still be their own.
    path, conn = db
    cur = conn.cursor()
    cur.execute("create table t(n integer primary key, v text not null)")
    rows = 450
    v = ["v%d" % i for i in range(rows)]
    v[317] = None
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.executebatch("insert into t values (?, ?)", [list(range(rows)), v])
    assert "row 318" in str(info.value)
    assert stored(path, "select count(*) from t") == [(0,)]
    v[317] = "v317"
    cur.executebatch("insert into t values (?, ?)", [list(range(rows)), v])
    assert stored(path, "select v from t order by n") == [(x,) for x in v]

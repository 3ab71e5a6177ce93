"""executemany on the embedded engine: lists of tuples and of dicts reach
the table, a failing set stops the run after the sets before it, and a query
run once per set leaves the last set's result."""
import datetime
import sqlite3

import pytest

import vkcondb


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "many.db")
    conn = vkcondb.connect(database=path)
    cur = conn.cursor()
    cur.execute("create table t(id integer primary key, name text, price real, "
                "born date, data blob)")
    yield path, conn, cur
    conn.close()


def stored(path):
    raw = sqlite3.connect(path)
    try:
        return raw.execute("select id, name, price, born, data from t order by id").fetchall()
    finally:
        raw.close()


ROWS = [
    (1, "one", 1.5, datetime.date(2024, 1, 2), b"\x00\x01"),
    (2, "tw\u00f6", None, None, None),
    (3, "", -0.25, datetime.date(1970, 1, 1), b"x" * 1000),
]
STORED = [
    (1, "one", 1.5, "2024-01-02", b"\x00\x01"),
    (2, "tw\u00f6", None, None, None),
    (3, "", -0.25, "1970-01-01", b"x" * 1000),
]


@pytest.mark.parametrize("shape", ["list of tuples", "tuple of lists"])
def test_sequence_of_positional_sets(db, shape):
    path, _, cur = db
    params = ROWS if shape == "list of tuples" else tuple(list(r) for r in ROWS)
    cur.executemany("insert into t values (?, ?, ?, ?, ?)", params)
    assert stored(path) == STORED
    assert cur.rowcount == 1


def test_list_of_dicts_binds_by_name(db):
    path, _, cur = db
    params = [dict(zip(("id", "name", "price", "born", "data"), r)) for r in ROWS]
    cur.executemany("insert into t values (:id, :name, :price, :born, :data)", params)
    assert stored(path) == STORED


def test_failing_set_keeps_the_sets_before_it(db):
    path, _, cur = db
    with pytest.raises(vkcondb.OperationalError, match="error execute2"):
        cur.executemany("insert into t(id) values (?)", [(1,), (1,), (2,)])
    assert [r[0] for r in stored(path)] == [1]


def test_query_leaves_the_last_sets_result(db):
    _, _, cur = db
    cur.executemany("insert into t(id, name) values (?, ?)", [(1, "a"), (2, "b")])
    cur.executemany("select name from t where id = ?", [(1,), (2,)])
    assert [d[0] for d in cur.description] == ["name"]
    assert cur.fetchall() == [("b",)]


def test_cursor_outliving_its_connection_with_a_prepared_statement(run_python):
    # The cursor still holds the prepared statement and its result when the
    # connection goes; destroying it must not reach the freed connection.
    code = (
        "import vkcondb\n"
        "conn = vkcondb.connect(database=':memory:')\n"
        "cur = conn.cursor()\n"
        "cur.executemany('select ?', [(1,), (2,)])\n"
        "conn.close()\n"
        "del cur\n"
        "print('done')\n")
    returncode, out, err = run_python(code)
    assert (returncode, out.strip()) == (0, "done"), err

"""One call at a time on a connection: a call made from inside another call
of the same connection (Python code run by a parameter sequence, a str
subclass, a garbage collection) is refused with ProgrammingError, and the
outer call goes on as if nothing had happened.  Results given up meanwhile
go back to the library once the outer call ends."""
import gc
import sqlite3

import pytest

import vkcondb
from scripted.helpers import IN_USE


class Meddling(object):
    """A two-item parameter sequence (10, 11) whose second item runs
    `action` first; what the action raised is kept in `raised`."""

    def __init__(self, action, values=(10, 11)):
        self.action = action
        self.values = values
        self.raised = None

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        if i == 1:
            try:
                self.action()
            except Exception as exc:  # noqa: BLE001 - the test looks at it
                self.raised = exc
        return self.values[i]


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "x.db")
    conn = vkcondb.connect(database=path)
    cur = conn.cursor()
    cur.execute("create table t(a integer, b integer)")
    cur.execute("create table audit(who text, at text)")
    yield path, conn, cur
    cur.close()
    conn.close()


def table(path, name):
    with sqlite3.connect(path) as check:
        return check.execute("select * from %s" % name).fetchall()


def test_execute_from_inside_execute_is_refused(db):
    path, conn, cur = db
    other = conn.cursor()
    p = Meddling(lambda: other.execute("select 1"))
    cur.execute("insert into t values (?, ?)", p)
    assert isinstance(p.raised, vkcondb.ProgrammingError)
    assert str(p.raised) == "the connection is in use by another call"
    assert table(path, "t") == [(10, 11)]


def test_executemany_from_inside_executemany_is_refused(db):
    path, conn, cur = db
    other = conn.cursor()
    p = Meddling(lambda: other.executemany("insert into audit values (?, ?)", ("who", "when")))
    cur.executemany("insert into t values (?, ?)", p)
    assert isinstance(p.raised, vkcondb.ProgrammingError)
    assert table(path, "t") == [(10, 11)]
    assert table(path, "audit") == []


def test_an_uncaught_refusal_fails_the_outer_call_cleanly(db):
    path, conn, cur = db
    other = conn.cursor()

    class Loud(Meddling):
        def __getitem__(self, i):
            if i == 1:
                self.action()
            return self.values[i]

    with pytest.raises(vkcondb.ProgrammingError, match=IN_USE):
        cur.execute("insert into t values (?, ?)", Loud(conn.commit))
    assert table(path, "t") == []
    cur.execute("insert into t values (?, ?)", (1, 2))  # usable again
    assert table(path, "t") == [(1, 2)]


def test_every_method_is_refused_while_a_call_runs(db):
    path, conn, cur = db
    other = conn.cursor()
    other.execute("select 1")
    attempts = {
        "cursor.execute": lambda: other.execute("select 2"),
        "cursor.executebatch": lambda: other.executebatch("insert into t values (?, ?)",
                                                          [[1], [2]]),
        "cursor.fetchone": other.fetchone,
        "cursor.fetchmany": other.fetchmany,
        "cursor.nextset": other.nextset,
        "cursor.close": other.close,
        "cursor.getResultcolname": lambda: other.getResultcolname(1),
        "cursor.setinputtype": lambda: other.setinputtype([6]),
        "connection.cursor": conn.cursor,
        "connection.rollback": conn.rollback,
        "connection.ping": conn.ping,
        "connection.select_db": lambda: conn.select_db("y"),
        "connection.close": conn.close,
    }
    outcomes = {}

    def attempt_all():
        for name, action in attempts.items():
            try:
                action()
                outcomes[name] = "ran"
            except vkcondb.ProgrammingError as exc:
                outcomes[name] = str(exc)

    cur.execute("insert into t values (?, ?)", Meddling(attempt_all))
    assert outcomes == dict.fromkeys(attempts, "the connection is in use by another call")
    assert table(path, "t") == [(10, 11)]
    assert other.fetchall() == [(1,)]  # its result was left alone


def test_calls_on_another_connection_are_not_refused(db):
    path, conn, cur = db
    second = vkcondb.connect(database=path)
    try:
        p = Meddling(lambda: second.cursor().execute("insert into audit values ('x', 'y')"))
        cur.execute("insert into t values (?, ?)", p)
        assert p.raised is None
        assert table(path, "audit") == [("x", "y")]
    finally:
        second.close()


def test_cursor_given_up_during_a_call_releases_its_result_after(db):
    path, conn, cur = db
    cur.executemany("insert into t values (?, ?)", [(1, 2), (3, 4)])
    other = conn.cursor()
    other.executemany("select a from t where a > ?", (0,))  # a prepared-statement result
    holder = {"other": other}
    del other
    p = Meddling(lambda: holder.clear() or gc.collect())
    cur.executemany("insert into t values (?, ?)", p)
    assert p.raised is None
    assert sorted(table(path, "t")) == [(1, 2), (3, 4), (10, 11)]
    # the connection is whole: statements run and the cursor reads rows
    cur.execute("select count(*) from t")
    assert cur.fetchall() == [(3,)]


def test_deferred_release_comes_after_the_running_call(script, conn):
    cur = conn.cursor()
    other = conn.cursor()
    script.default("cli_sql_kind", {"ret": 4})
    script.script("cli_exec_direct", {"result": 30}, {"result": 31})
    script.table(30, [("a", 6, 8)], [])
    script.table(31, [("a", 6, 8)], [])
    other.execute("select 1")
    holder = [other]
    del other
    cur.execute("select ?", Meddling(holder.clear, values=(1, 2)))
    ops = script.ops()
    # result 30 goes back after the outer statement ran, not in the middle
    assert ops.index("cli_free_result") > ops.index("cli_exec_direct", ops.index("cli_bind_param"))
    assert script.calls("cli_free_result") == [(30,)]
    cur.close()

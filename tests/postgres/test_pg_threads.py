"""Threads and the PostgreSQL engine: other threads run while a call waits
for the server, connections of different threads work at once, and a
connection refuses a second call while one is running."""
import threading
import time

import pytest

import vkcondb
from pg_support import close_quietly, connect, query, table, wait_for  # noqa: F401

IN_USE = "the connection is in use by another call"
JOIN_TIMEOUT = 30


def run_in_thread(target):
    """Start `target` in a thread; returns (thread, outcome dict with
    "result" or "error")."""
    outcome = {}

    def body():
        try:
            outcome["result"] = target()
        except BaseException as exc:  # reported by the test
            outcome["error"] = exc

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    return thread, outcome


def finish(thread, outcome):
    thread.join(JOIN_TIMEOUT)
    assert not thread.is_alive(), "the thread did not finish in time"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


@pytest.fixture
def conns(pg_server):
    made = []

    def make():
        c = connect(pg_server)
        made.append(c)
        return c

    yield make
    for c in made:
        close_quietly(c)


def test_other_threads_run_while_a_statement_waits(conns):
    cur = conns().cursor()
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            time.sleep(0.01)
            ticks.append(time.monotonic())

    thread = threading.Thread(target=ticker, daemon=True)
    start = time.monotonic()
    thread.start()
    try:
        cur.execute("select pg_sleep(1)")
        end = time.monotonic()
    finally:
        stop.set()
        thread.join(JOIN_TIMEOUT)
    during = [t for t in ticks if start < t <= end]
    assert end - start >= 0.9
    assert len(during) >= 10, len(during)


def test_two_connections_work_at_once(conns):
    a, b = conns(), conns()

    def sleeper(c, tag):
        def run():
            return query(c.cursor(), "select ?::text, pg_sleep(0.8)::text", (tag,))
        return run

    start = time.monotonic()
    ta = run_in_thread(sleeper(a, "a"))
    tb = run_in_thread(sleeper(b, "b"))
    assert finish(*ta) == [("a", "")]
    assert finish(*tb) == [("b", "")]
    assert time.monotonic() - start < 1.5


def test_threads_with_their_own_connections_and_errors(conns, table):
    names = [table("id int primary key, v text") for _ in range(4)]
    connections = [conns() for _ in names]

    def worker(c, name):
        def run():
            cur = c.cursor()
            for i in range(150):
                cur.execute("insert into %s values (?, ?)" % name, (i, "%s-%d" % (name, i)))
            cur.executebatch("insert into %s values (?, ?)" % name,
                             [list(range(150, 300)), ["b"] * 150])
            # Each thread gets its own connection's error text.
            try:
                cur.execute("insert into %s values (0, 'dup')" % name)
            except vkcondb.OperationalError as exc:
                message = str(exc)
            else:
                message = None
            return message, query(cur, "select count(*), max(v) from %s where id < 150" % name)
        return run

    threads = [run_in_thread(worker(c, n)) for c, n in zip(connections, names)]
    for (thread, outcome), name in zip(threads, names):
        message, rows = finish(thread, outcome)
        assert message is not None and name in message
        assert rows == [(150, "%s-99" % name)]


def test_second_call_on_a_busy_connection_is_refused(conns, pg_server):
    c = conns()
    cur = c.cursor()
    watcher = conns().cursor()
    second = c.cursor()
    pid = query(cur, "select pg_backend_pid()")[0][0]
    busy = run_in_thread(lambda: query(cur, "select 7, pg_sleep(1)::text"))
    wait_for(lambda: query(watcher, "select count(*) from pg_stat_activity where pid = ?"
                           " and state = 'active' and query like '%pg_sleep%'", (pid,)) == [(1,)],
             10, "the sleep to run on the server")
    for call in (c.cursor,
                 lambda: second.execute("select 1"),
                 lambda: cur.execute("select 1"),
                 lambda: second.executemany("select ?::int", [(1,)]),
                 c.commit,
                 c.rollback,
                 c.ping,
                 lambda: c.select_db("vktest")):
        with pytest.raises(vkcondb.ProgrammingError) as info:
            call()
        assert str(info.value) == IN_USE
    # The running call goes on untouched, and the connection serves again.
    assert finish(*busy) == [(7, "")]
    assert query(second, "select 2") == [(2,)]
    assert query(cur, "select pg_backend_pid()") == [(pid,)]

"""A PostgreSQL server that goes away in the middle of the work: stopped
(pg_ctl stop -m immediate or -m fast) or cut off by a loopback proxy
(tests/pgproxy.py) while a large result is fetched, while an executemany
or an executebatch runs, and while a routine's refcursor is read.

Every such operation must end in an OperationalError, promptly and without
a hang: each runs in a worker thread watched by a watchdog, so a hang fails
the test instead of blocking the run.  A batch is applied whole or not at
all.  Once the server is back, ping(reconnect=1) gives a working connection
on which every cursor method works again, and a pool lends no dead
connection.

The module has its own server (stopped and started many times), reached
through one proxy.  Set VKCONDB_FAULT_REPORT to a file name to get one
line per scenario (operation, fault, exception, SQLSTATE, seconds from the
fault to the exception, table state).
"""
import json
import os
import threading
import time

import pytest

import pgproxy
import pgserver
import vkcondb

# A worker still running after this long has hung.
WATCHDOG_SECONDS = 30

INTEGER, VARCHAR, REFCURSOR = 5, 2, 58
IN, INOUT = 1, 3

# Where a connection ends, as the library reports it: a broken connection
# (class 08), or the server's own notice that it is shutting down (57P01,
# sent to each session by a fast stop).
LOST_STATES = ("08", "57P01")

REPORT = []


@pytest.fixture(scope="module")
def server():
    with pgserver.started_for_test("faults") as srv:
        srv.psql(SCHEMA)
        yield srv
        path = os.environ.get("VKCONDB_FAULT_REPORT")
        if path and REPORT:
            with open(path, "a") as f:
                for line in REPORT:
                    f.write(json.dumps(line) + "\n")


@pytest.fixture(scope="module")
def proxy(server):
    p = pgproxy.Proxy(server.port)
    yield p
    p.close()


@pytest.fixture
def clean(server, proxy):
    """Leaves the server running and the proxy forwarding after the test;
    the tables are emptied before it."""
    if not server.running:
        server.start()
    server.psql("truncate items, calls")
    yield
    proxy.resume()
    proxy.cut()
    if not server.running:
        server.start()


SCHEMA = """
create table items (id int4 primary key, v text);
create table calls (n int4);
create procedure numbers(n int4, inout c refcursor)
language plpgsql as $$
begin
    insert into calls select n from generate_series(1, 3);
    open c for select g as id, repeat('x', 10) as pad from generate_series(1, n) g;
end $$;
create procedure bump(inout n int4) language plpgsql as $$ begin n := n + 1; end $$;
"""


def connect(port):
    return vkcondb.connect(host=pgserver.HOST, port=port, database=pgserver.DATABASE,
                           user=pgserver.SUPERUSER)


def close_quietly(conn):
    try:
        conn.close()
    except vkcondb.Error:
        pass


def release(proxy, conn):
    """Close `conn` after a test that may have failed with the proxy still
    holding it: cut first, so the close cannot wait on a stalled server."""
    proxy.resume()
    proxy.cut()
    close_quietly(conn)


class Worker(object):
    """Runs `fn` in a thread; `finish()` waits for it under the watchdog."""

    def __init__(self, fn):
        self.error = None
        self.result = None
        self.ended = None
        self._thread = threading.Thread(target=self._run, args=(fn,), daemon=True)
        self._thread.start()

    def _run(self, fn):
        try:
            self.result = fn()
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            self.error = exc
        self.ended = time.monotonic()

    def alive(self):
        return self._thread.is_alive()

    def finish(self, proxy):
        self._thread.join(WATCHDOG_SECONDS)
        if self._thread.is_alive():
            # Free the thread before failing, so it does not outlive the test.
            proxy.resume()
            proxy.cut()
            self._thread.join(WATCHDOG_SECONDS)
            pytest.fail("the operation hung: still waiting %ss after the fault"
                        % WATCHDOG_SECONDS)


def wait_until(predicate, what, timeout=WATCHDOG_SECONDS):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            pytest.fail("timed out waiting for %s" % what)
        time.sleep(0.01)


def apply_fault(fault, server, proxy):
    """Break the connection while the proxy holds the operation mid-way;
    returns the moment from which the client can notice."""
    if fault == "cut":
        at = time.monotonic()
        proxy.cut()
    else:
        server.stop(mode=fault)
        at = time.monotonic()
    proxy.resume()  # for a stop: what the server sent before it went is delivered
    return at


def count(server, sql):
    return int(server.psql(sql))


def check_lost(error, op):
    assert isinstance(error, vkcondb.OperationalError), \
        "%s ended in %r, not an OperationalError" % (op, error)
    state = getattr(error, "sqlstate", None) or ""
    assert state.startswith(LOST_STATES), \
        "%s: %s (SQLSTATE %s) does not report a lost connection" % (op, error, state)
    return state


def check_dead_connection(conn):
    """A connection that lost its server says so at once, without waiting
    for the server to come back."""
    assert conn.ping() is False
    with pytest.raises(vkcondb.OperationalError):
        conn.cursor().execute("select 1")


SURFACE_ID = 10 ** 6  # above every id the operations write


def check_whole_surface(conn, server):
    """Every cursor method works on `conn`."""
    cur = conn.cursor()
    cur.execute("select ?::int4 as a, ?::text as b", (7, "x"))
    assert [d[0] for d in cur.description] == ["a", "b"]
    assert cur.fetchone() == (7, "x")
    cur.execute("select g from generate_series(1, 5) g")
    assert cur.fetchmany(2) == [(1,), (2,)]
    assert cur.fetchall() == [(3,), (4,), (5,)]
    cur.executemany("insert into items values (?, ?)", [(SURFACE_ID, "a"), (SURFACE_ID + 1, "b")])
    cur.executebatch("insert into items values (?, ?)",
                     [[SURFACE_ID + 2, SURFACE_ID + 3], ["c", "d"]])
    cur.execute("select count(*) from items where id >= ?", (SURFACE_ID,))
    assert cur.fetchall() == [(4,)]
    cur.setinputtype([INTEGER])
    assert cur.callproc("bump", [41], [INOUT]) == [42]
    cur.cleartype()
    assert cur.callfunc("upper", ["a"]) == ["a", "A"]
    cur.setinputtype([INTEGER, REFCURSOR])
    got = cur.callproc("numbers", [1500, None], [IN, INOUT])
    assert isinstance(got[1], str) and got[1]
    assert [r[0] for r in cur.fetchall()] == list(range(1, 1501))
    cur.execute("delete from items where id >= ?", (SURFACE_ID,))
    cur.close()


# ---------------------------------------------------------------------------
# The operations, each brought to its middle by the proxy.  `start` runs on
# the test's thread and arms the proxy; `run` is the worker's part;
# `applied` reads what the server kept once it is back.

BIG_QUERY = "select g, repeat('x', 100) from generate_series(1, 300000) g"
MANY = 3000
BATCH = 50000


class Fetch(object):
    name = "fetch"

    def start(self, conn, proxy):
        self.cur = conn.cursor()
        self.cur.execute(BIG_QUERY)
        assert len(self.cur.fetchmany(10)) == 10
        proxy.stall_after(2 << 20, pgproxy.SERVER)  # about 18,000 rows on

    def run(self):
        return len(self.cur.fetchall())

    def applied(self, server):
        return None


class ExecuteMany(object):
    """executemany in autocommit mode: each parameter set commits on its
    own, so the sets before the fault stay, in order, and none after."""
    name = "executemany"

    def start(self, conn, proxy):
        self.cur = conn.cursor()
        proxy.stall_after(40000, pgproxy.CLIENT)

    def run(self):
        self.cur.executemany("insert into items values (?, ?)",
                             [(i, "v%d" % i) for i in range(1, MANY + 1)])

    def applied(self, server):
        n, low, high = server.psql("select count(*), coalesce(min(id), 0), "
                                   "coalesce(max(id), 0) from items").split("|")
        n, low, high = int(n), int(low), int(high)
        assert n == 0 or (low, high) == (1, n), "not a run of the first sets: %s" % ((n, low, high),)
        assert n < MANY
        return "%d of %d sets (a prefix)" % (n, MANY)


class ExecuteManyInTransaction(ExecuteMany):
    """executemany inside begin(): its sets are sent ahead in a pipeline
    and none survives the lost transaction."""
    name = "executemany in a transaction"

    def start(self, conn, proxy):
        conn.begin()
        ExecuteMany.start(self, conn, proxy)

    def applied(self, server):
        n = count(server, "select count(*) from items")
        assert n == 0, "%d sets of a lost transaction were kept" % n
        return "0 of %d sets" % MANY


class ExecuteBatch(object):
    """executebatch as one COPY: all rows or none."""
    name = "executebatch (copy)"
    sql = "insert into items values (?, ?)"

    def start(self, conn, proxy):
        self.cur = conn.cursor()
        proxy.stall_after(200000, pgproxy.CLIENT)

    def run(self):
        self.cur.executebatch(self.sql, [list(range(1, BATCH + 1)),
                                         ["v%d" % i for i in range(1, BATCH + 1)]])

    def applied(self, server):
        n = count(server, "select count(*) from items")
        assert n in (0, BATCH), "half a batch applied: %d of %d rows" % (n, BATCH)
        return "%d of %d rows" % (n, BATCH)


class ExecuteBatchPipelined(ExecuteBatch):
    """executebatch of a statement COPY cannot run, pipelined: all or none."""
    name = "executebatch (pipeline)"
    sql = "insert into items values (?, ?) on conflict do nothing"


class RefcursorRead(object):
    """callproc whose refcursor is read in batches: the fault comes between
    two batches."""
    name = "callproc refcursor"

    def start(self, conn, proxy):
        self.cur = conn.cursor()
        self.cur.setinputtype([INTEGER, REFCURSOR])
        got = self.cur.callproc("numbers", [5000, None], [IN, INOUT])
        assert got[1]
        assert len(self.cur.fetchmany(10)) == 10
        proxy.stall()  # the next batch's FETCH goes nowhere

    def run(self):
        return len(self.cur.fetchall())

    def applied(self, server):
        # The call's own work is all there or not at all.
        n = count(server, "select count(*) from calls")
        assert n in (0, 3), "half a routine's work kept: %d of 3 rows" % n
        return "%d of 3 rows of the call" % n


OPERATIONS = [Fetch, ExecuteMany, ExecuteManyInTransaction, ExecuteBatch,
              ExecuteBatchPipelined, RefcursorRead]
FAULTS = ["cut", "immediate", "fast"]


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("operation", OPERATIONS, ids=lambda o: o.name.replace(" ", "-"))
def test_fault_in_the_middle(server, proxy, clean, operation, fault):
    op = operation()
    conn = connect(proxy.port)
    try:
        op.start(conn, proxy)
        worker = Worker(op.run)
        wait_until(lambda: proxy.stalled or not worker.alive(), "the proxy to hold the operation")
        assert worker.alive(), "%s ended before the fault: %r" % (op.name, worker.error)
        time.sleep(0.05)  # let the worker settle into its wait
        at = apply_fault(fault, server, proxy)
        worker.finish(proxy)
        state = check_lost(worker.error, op.name)
        elapsed = worker.ended - at

        check_dead_connection(conn)
        if not server.running:
            server.start()
        kept = op.applied(server)
        REPORT.append({"operation": op.name, "fault": fault,
                       "exception": type(worker.error).__name__, "sqlstate": state,
                       "seconds": round(elapsed, 3), "table": kept,
                       "message": str(worker.error).splitlines()[0]})

        assert conn.ping(reconnect=1) is True
        check_whole_surface(conn, server)
    finally:
        release(proxy, conn)


def test_stalled_server_holds_the_call_until_the_connection_is_cut(server, proxy, clean):
    """With no read timeout, a server that stops answering keeps the call
    waiting (other threads run meanwhile); cutting the connection ends the
    wait with an OperationalError."""
    conn = connect(proxy.port)
    try:
        cur = conn.cursor()
        proxy.stall()
        worker = Worker(lambda: cur.execute("select 1"))
        time.sleep(1.0)
        still_waiting = worker.alive()
        at = apply_fault("cut", server, proxy)
        worker.finish(proxy)
        state = check_lost(worker.error, "a stalled execute")
        REPORT.append({"operation": "execute on a stalled server", "fault": "stall, then cut",
                       "exception": type(worker.error).__name__, "sqlstate": state,
                       "seconds": round(worker.ended - at, 3),
                       "table": "still waiting after 1 s: %s" % still_waiting,
                       "message": str(worker.error).splitlines()[0]})
        assert conn.ping(reconnect=1) is True
        cur.execute("select 2")
        assert cur.fetchall() == [(2,)]
    finally:
        release(proxy, conn)


@pytest.mark.parametrize("fault", ["immediate", "fast"])
def test_pool_lends_no_dead_connection_after_a_restart(server, proxy, clean, fault):
    pool = vkcondb.pool(host=pgserver.HOST, port=server.port, database=pgserver.DATABASE,
                        user=pgserver.SUPERUSER, maxconnections=3, mincached=2)
    lent = pool.getconn()
    lent.cursor().execute("select 1")
    idle = pool.getconn()
    idle.close()  # back to the pool, open

    server.stop(mode=fault)
    server.start()

    # An idle connection is lent working.
    conn = pool.getconn()
    cur = conn.cursor()
    cur.execute("select 2")
    assert cur.fetchall() == [(2,)]
    conn.close()

    # The one lent during the restart fails for its user, and comes back
    # to the pool to be lent again working.
    with pytest.raises(vkcondb.OperationalError):
        lent.cursor().execute("select 1")
    lent.close()
    for _ in range(3):
        c = pool.getconn()
        check_whole_surface(c, server)
        c.close()

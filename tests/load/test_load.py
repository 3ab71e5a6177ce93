"""Eight threads running mixed statements at once, each on its own
connection or all sharing one pool, on the embedded engine (one database
file) and on PostgreSQL: no error but the expected ones, and every row each
thread committed is in the table at the end, no other.

The run lasts VKCONDB_LOAD_SECONDS (10 s by default) per test; each
thread's counts are printed (pytest -s shows them)."""
import threading
import time
import uuid

import pytest

import pgserver
import vkcondb
from load_worker import POOL_EMPTY, Worker

THREADS = 8
POOL_SIZE = 4          # fewer than the threads: the pool runs out now and then
JOIN_GRACE = 60        # seconds a thread may take past the deadline


def embedded_target(tmp_path):
    path = str(tmp_path / "load.db")
    return (lambda: vkcondb.connect(path)), dict(database=path), "load_rows"


def postgres_target(server):
    params = dict(host=pgserver.HOST, port=server.port, database=pgserver.DATABASE,
                  user=pgserver.SUPERUSER)
    return (lambda: vkcondb.connect(**params)), params, "load_%s" % uuid.uuid4().hex[:10]


def create_table(connect, table, postgres):
    with connect() as conn:
        if postgres:
            conn.execute("create table %s(id bigint primary key, owner int not null, "
                         "n bigint not null, note text)" % table)
        else:
            conn.execute("create table %s(id integer primary key, owner integer not null, "
                         "n integer not null, note text)" % table)


def own_connections(connect, deadline, table, locks_fail):
    conns = [connect() for _ in range(THREADS)]
    workers = [Worker(i, deadline, table, get_conn=(lambda c=c: c), locks_fail=locks_fail)
               for i, c in enumerate(conns)]
    return workers, conns


def shared_pool(params, deadline, table, locks_fail):
    pool = vkcondb.pool(maxconnections=POOL_SIZE, mincached=1, **params)

    def get_conn():
        try:
            return pool.getconn()
        except vkcondb.ProgrammingError as exc:
            if str(exc) != POOL_EMPTY:
                raise
            return None

    def put_conn(conn):
        conn.close()                     # back to the pool, rolled back

    workers = [Worker(i, deadline, table, get_conn, put_conn, locks_fail=locks_fail)
               for i in range(THREADS)]
    return workers, pool


def check_pool(pool):
    """Every connection came back: the pool lends POOL_SIZE distinct,
    working connections again, and no more."""
    lent = []
    try:
        for _ in range(POOL_SIZE):
            lent.append(pool.getconn())
        with pytest.raises(vkcondb.ProgrammingError, match="^%s$" % POOL_EMPTY):
            pool.getconn()
        assert len(set(map(id, lent))) == POOL_SIZE, "a connection is lent twice"
        assert all(c.ping() for c in lent)
    finally:
        for c in lent:
            c.close()


def run_workers(workers, seconds):
    threads = [threading.Thread(target=w.run, daemon=True) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + JOIN_GRACE)
    hung = [w.number for w, t in zip(workers, threads) if t.is_alive()]
    assert not hung, "workers %s did not finish" % hung
    for w in workers:
        print(w.summary())
    failures = [(w.number, w.failure) for w in workers if w.failure is not None]
    if failures:
        raise AssertionError("unexpected errors: %r" % failures) from failures[0][1]


def check_rows(connect, table, workers):
    with connect() as conn:
        cur = conn.cursor()
        cur.execute("select owner, id, n from %s" % table)
        found = {}
        for owner, i, n in cur.fetchall():
            found.setdefault(int(owner), {})[int(i)] = int(n)
    total = 0
    for w in workers:
        assert found.get(w.number, {}) == w.committed, "rows of worker %d differ" % w.number
        total += len(w.committed)
    assert sum(len(v) for v in found.values()) == total
    print("final rows: %d; statements: %d; retried: %d busy, %d executemany, %d commit, "
          "%d pool empty" % (total, sum(w.statements for w in workers),
                             sum(w.busy for w in workers), sum(w.many_failed for w in workers),
                             sum(w.commit_failed for w in workers),
                             sum(w.pool_empty for w in workers)))
    return total


def run_load(connect, params, table, mode, seconds, postgres):
    create_table(connect, table, postgres)
    deadline = time.monotonic() + seconds
    if mode == "own":
        workers, keep = own_connections(connect, deadline, table, locks_fail=not postgres)
    else:
        workers, keep = shared_pool(params, deadline, table, locks_fail=not postgres)
    run_workers(workers, seconds)
    if mode == "pool":
        check_pool(keep)
    del keep
    check_rows(connect, table, workers)
    # The pool never waits: a borrower that finds it empty tries again, so
    # in pool mode only as many are sure to have had a turn as it lends.
    needed = THREADS if mode == "own" else POOL_SIZE
    assert sum(w.commits > 0 for w in workers) >= needed, "workers went without a turn"
    return workers


@pytest.mark.parametrize("mode", ["own", "pool"])
def test_embedded_load(tmp_path, load_seconds, mode):
    connect, params, table = embedded_target(tmp_path)
    print("\nembedded engine, %s, %gs:" % (mode, load_seconds))
    run_load(connect, params, table, mode, load_seconds, postgres=False)


@pytest.mark.parametrize("mode", ["own", "pool"])
def test_postgres_load(pg_load_server, load_seconds, mode):
    connect, params, table = postgres_target(pg_load_server)
    print("\nPostgreSQL, %s, %gs:" % (mode, load_seconds))
    workers = run_load(connect, params, table, mode, load_seconds, postgres=True)
    # Each thread writes rows of its own only: no lock is waited on long
    # enough to fail (the workers take no lock failure as expected here).
    assert all(w.busy == 0 and w.many_failed == 0 and w.commit_failed == 0 for w in workers)

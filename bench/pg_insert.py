"""Time inserting rows into PostgreSQL through vkcondb against other drivers.

A private server (tests/pgserver.py, loopback only) gets a table
t(a int8, b float8, c text).  Each way inserts the same N rows of
(integer, float, 20-character text) into it in one transaction:

  - vkcondb executebatch (three columns, one batch: it is its own
    transaction);
  - vkcondb executemany with a list of tuples, between begin() and commit();
  - psycopg2 executemany, then commit;
  - psycopg 3 executemany, then commit;
  - asyncpg executemany inside a transaction;
  - asyncpg copy_records_to_table (binary COPY) inside a transaction;
  - the C floor: bench/pg_insert_floor.c, compiled here with cc against
    libpq: the statement prepared once and run for every row in pipeline
    mode, one Sync per 1000 rows, no Python objects; once with every value
    as text, once with the numbers in binary form.

The data is built before any clock starts; the table is emptied (TRUNCATE,
through psql) before each way, and its rows are checked afterwards (count
and sums, through psql).  The ways take turns in every round; each way's
best time counts.  Prints each time, rows/s and the speed against asyncpg
executemany (its time / the way's time: above 1 is faster), then the
targets:

  - vkcondb executebatch at least 2x the rows/s of asyncpg executemany,
    and at most 2x the time of asyncpg's COPY;
  - vkcondb executemany at least the rows/s of asyncpg executemany.

Exits 1 when a target is missed or vkcondb failed.  A driver that is not
installed is reported and skipped (bash bench/setup-peers.sh makes
build/bench-venv with all of them).

    python bench/pg_insert.py [--insert-rows N] [--repeat R]
    python bench/insert.py --engine postgres [same options]
"""
import argparse
import shutil
import subprocess
import sys
import tempfile

import pg_common as pc

CREATE = "create table t(a int8, b float8, c text)"
INSERT_QMARK = "insert into t values (?, ?, ?)"
INSERT_FORMAT = "insert into t values (%s, %s, %s)"
INSERT_DOLLAR = "insert into t values ($1, $2, $3)"

VK_BATCH = "vkcondb executebatch"
VK_MANY = "vkcondb executemany"
APG_MANY = "asyncpg executemany"
APG_COPY = "asyncpg copy_records_to_table"

TARGETS = [
    # (label, what, compare with, bound): "speed" is the other's time / the
    # way's time, at least `bound`; "time" is the way's time / the other's,
    # at most `bound`.
    (VK_BATCH, "speed", APG_MANY, 2.0),
    (VK_BATCH, "time", APG_COPY, 2.0),
    (VK_MANY, "speed", APG_MANY, 1.0),
]


def make_rows(n):
    return [(i, i * 0.5, "row%017d" % i) for i in range(n)]


def expected_check(n):
    """(count, sum of a, sum of b, min of c, max of c) after a complete
    insert of make_rows(n)."""
    return (n, n * (n - 1) // 2, n * (n - 1) / 4.0, "row%017d" % 0, "row%017d" % (n - 1))


def parse_check(text):
    count, sum_a, sum_b, min_c, max_c = text.split("|")
    return (int(count), int(sum_a or 0), float(sum_b or 0), min_c, max_c)


CHECK_SQL = "select count(*), sum(a), sum(b), min(c), max(c) from t"


class InsertWay(pc.Way):
    """`connect()` returns the connection; `work(conn)` inserts everything
    and commits (timed)."""

    def __init__(self, label, missing, connect, work, close=None):
        pc.Way.__init__(self, label, missing)
        self._connect, self._work = connect, work
        self._close = close or (lambda conn: conn.close())
        self.conn = None

    def open(self):
        self.conn = self._connect()

    def run(self):
        start = pc.stamp()
        self._work(self.conn)
        return pc.stamp() - start

    def close(self):
        if self.conn is not None:
            conn, self.conn = self.conn, None
            self._close(conn)


class FloorWay(pc.Way):
    """bench/pg_insert_floor.c in one MODE ("text" or "binary")."""

    def __init__(self, label, floor, server, rows, mode):
        exe, why = floor
        pc.Way.__init__(self, label, why)
        self.exe, self.server, self.rows, self.mode = exe, server, rows, mode

    def run(self):
        done = subprocess.run([self.exe, self.server.dsn(), str(self.rows), self.mode],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, env=pc.plain_env(), timeout=600)
        if done.returncode != 0:
            raise RuntimeError(done.stderr.strip() or "exit %d" % done.returncode)
        return float(done.stdout.split()[0])


def make_ways(drivers, server, runner, rows, columns):
    d = drivers

    def missing(name):
        return None if getattr(d, name) is not None else "%s %s" % (name, d.why[name])

    def vk_batch(conn):
        cur = conn.cursor()
        cur.executebatch(INSERT_QMARK, columns)
        cur.close()

    def vk_many(conn):
        cur = conn.cursor()
        conn.begin()
        cur.executemany(INSERT_QMARK, rows)
        conn.commit()
        cur.close()

    def dbapi_many(conn):
        cur = conn.cursor()
        cur.executemany(INSERT_FORMAT, rows)
        conn.commit()
        cur.close()

    async def apg_many(conn):
        async with conn.transaction():
            await conn.executemany(INSERT_DOLLAR, rows)

    async def apg_copy(conn):
        async with conn.transaction():
            await conn.copy_records_to_table("t", records=rows, columns=("a", "b", "c"))

    def apg_close(conn):
        runner.run(conn.close())

    return [
        InsertWay(VK_BATCH, missing("vkcondb"), lambda: pc.open_vkcondb(d, server), vk_batch),
        InsertWay(VK_MANY, missing("vkcondb"), lambda: pc.open_vkcondb(d, server), vk_many),
        InsertWay("psycopg2 executemany", missing("psycopg2"),
                  lambda: pc.open_psycopg2(d, server, autocommit=False), dbapi_many),
        InsertWay(d.psycopg_label() + " executemany", missing("psycopg"),
                  lambda: pc.open_psycopg(d, server, autocommit=False), dbapi_many),
        InsertWay(APG_MANY, missing("asyncpg"), lambda: pc.open_asyncpg(d, server, runner),
                  lambda conn: runner.run(apg_many(conn)), apg_close),
        InsertWay(APG_COPY, missing("asyncpg"), lambda: pc.open_asyncpg(d, server, runner),
                  lambda conn: runner.run(apg_copy(conn)), apg_close),
    ]


def floor_ways(floor, server, n):
    return [FloorWay("C floor pipeline executemany " + mode, floor, server, n, mode)
            for mode in ("text", "binary")]


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="pg_insert.py", description=__doc__.splitlines()[0])
    parser.add_argument("--insert-rows", "--rows", dest="rows", type=int, default=100000,
                        help="rows to insert (100000)")
    parser.add_argument("--repeat", type=int, default=3,
                        help="rounds; each way's best time counts (3)")
    args = parser.parse_args(argv)
    if args.rows < 1 or args.repeat < 1:
        parser.error("--insert-rows and --repeat must be at least 1")

    started = pc.stamp()
    drivers = pc.Drivers()
    rows = make_rows(args.rows)
    columns = [list(c) for c in zip(*rows)]
    want = expected_check(args.rows)
    server = None
    folder = None
    runner = pc.AsyncRunner()
    try:
        server = pc.start_server("bench-insert")
        server.psql(CREATE)
        version = server.psql("show server_version")
        ways = make_ways(drivers, server, runner, rows, columns)
        folder = tempfile.mkdtemp(prefix="vk-insert-floor-")
        ways += floor_ways(pc.build_c(folder, "pg_insert_floor"), server, args.rows)

        pc.say("PostgreSQL %s, private server on %s:%d; inserting %d rows of (int8, "
               "float8, text of 20 characters) in one transaction"
               % (version, server.host, server.port, args.rows))
        pc.say("drivers: %s" % drivers.describe())
        pc.say("best of %d interleaved rounds" % args.repeat)

        def empty_table(way):
            server.psql("truncate t")

        def check_table(way):
            got = server.psql(CHECK_SQL)
            if parse_check(got) != want:
                raise RuntimeError("the table holds %s (count|sum a|sum b|min c|max c), "
                                   "expected %s" % (got, want))

        def progress(line):
            sys.stderr.write(line + "\n")
            sys.stderr.flush()

        best, errors = pc.interleave(ways, args.repeat, before=empty_table,
                                     after=check_table, progress=progress)
        failed = report(ways, best, errors, args.rows)
        pc.say("run took %.0f s" % (pc.stamp() - started))
        return 1 if failed else 0
    finally:
        runner.close()
        if server is not None:
            server.close()
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)


def report(ways, best, errors, n):
    """Print the table and the targets; True when one is missed or vkcondb
    failed."""
    base = best.get(APG_MANY)
    pc.say("%-34s %9s %12s %9s" % ("way", "best", "rows/s", "speed"))
    for way in ways:
        status = pc.status_of(way, best, errors)
        if status:
            pc.say("%-34s %s" % (way.label, status))
            continue
        t = best[way.label]
        speed = "%8.2fx" % (base / t) if base else "%9s" % "-"
        pc.say("%-34s %8.3fs %12.0f %s" % (way.label, t, n / t, speed))
    if base:
        pc.say("speed: %s time / the way's time (%.3f s = 1.00x; above 1 is faster)"
               % (APG_MANY, base))
    else:
        pc.say("speed: no %s time to compare with" % APG_MANY)
    missed = VK_BATCH not in best or VK_MANY not in best
    pc.say("targets:")
    for label, what, other, bound in TARGETS:
        if label not in best or other not in best:
            absent = label if label not in best else other
            pc.say("  %-22s not measured (no time for %s)" % (label, absent))
            continue
        if what == "speed":
            value = best[other] / best[label]
            ok = value >= bound
            text = "rows/s %.2fx %s (target >= %.1fx)" % (value, other, bound)
        else:
            value = best[label] / best[other]
            ok = value <= bound
            text = "time %.2fx %s (target <= %.1fx)" % (value, other, bound)
        missed = missed or not ok
        pc.say("  %-22s %s: %s" % (label, text, "met" if ok else "missed"))
    if any(w.missing and not w.label.startswith("vkcondb") for w in ways):
        pc.say(pc.SETUP_HINT)
    return missed


if __name__ == "__main__":
    sys.exit(main())

"""Time reading rows from PostgreSQL through vkcondb against other drivers.

A private server (tests/pgserver.py, loopback only) gets a table of N rows
of (int8, float8, 20-character text), filled on the server.  Every way then
reads "select a, b, c from t" from that server, the ways taking turns in
every round; the best of a few rounds counts:

  - vkcondb fetchall, and a fetchmany(1000) loop;
  - psycopg 3 fetchall, text cursor and binary cursor (binary=True);
  - psycopg2 fetchall: the reference (ratio 1.00);
  - asyncpg fetch;
  - the C floor: bench/pg_floor.c, compiled here with cc against libpq,
    reading the same query with binary results and making no Python
    objects, once into one result and once in single-row mode.

The clock runs from execute to the last row in hand; connecting and freeing
the rows are outside it.  Prints each best time, rows/s, the ratio to
psycopg2 fetchall and, unless --no-memory, how much the peak memory of a
fresh process grew while it read the rows (one more run of each way, in a
child process).  Then vkcondb fetchall against psycopg binary (target: at
most 1.00).  Exits 1 when the target is missed or vkcondb failed.

A driver that is not installed is reported and skipped (bash
bench/setup-peers.sh makes build/bench-venv with all of them).

    python bench/pg_fetch.py [--rows N] [--repeat R] [--no-memory]
    python bench/fetch.py --engine postgres [same options]
"""
import argparse
import gc
import os
import resource
import shutil
import subprocess
import sys
import tempfile

import pg_common as pc

QUERY = "select a, b, c from t"
CHECK = QUERY + " order by a limit 3"
FETCHMANY = 1000
TARGET = 1.0   # vkcondb fetchall time / psycopg binary fetchall time

REFERENCE = "psycopg2 fetchall"
VK_ALL = "vkcondb fetchall"


# ---------------------------------------------------------------------------
# The table


def build_table(server, rows):
    server.psql(
        "drop table if exists t;\n"
        "create table t(a int8, b float8, c text);\n"
        "insert into t select i, i * 0.5, 'row' || lpad(i::text, 17, '0')\n"
        "  from generate_series(0, %d) as i;\n"
        "vacuum analyze t;\n"
        "select count(*) from t;\n" % (rows - 1), timeout=600)


def expected_head(rows):
    return [(i, i * 0.5, "row%017d" % i) for i in range(min(rows, 3))]


# ---------------------------------------------------------------------------
# The ways


class PyWay(pc.Way):
    """A Python driver's way.  `connect()` returns the connection, `fetch(conn)`
    does one timed read and returns (seconds, rows read), `head(conn)` the
    first three rows as tuples."""

    rows = 0

    def __init__(self, label, missing, connect, fetch, head, close=None):
        pc.Way.__init__(self, label, missing)
        self._connect, self._fetch, self._head = connect, fetch, head
        self._close = close or (lambda conn: conn.close())
        self.conn = None

    def open(self):
        self.conn = self._connect()

    def run(self):
        elapsed, got = self._fetch(self.conn)
        if got != self.rows:
            raise RuntimeError("read %d rows, expected %d" % (got, self.rows))
        return elapsed

    def head(self):
        return self._head(self.conn)

    def close(self):
        if self.conn is not None:
            conn, self.conn = self.conn, None
            self._close(conn)


def dbapi_fetchall(conn, cursor_kw=None):
    cur = conn.cursor(**(cursor_kw or {}))
    start = pc.stamp()
    cur.execute(QUERY)
    rows = cur.fetchall()
    elapsed = pc.stamp() - start
    n = len(rows)
    del rows
    cur.close()
    return elapsed, n


def dbapi_fetchmany(conn):
    cur = conn.cursor()
    n = 0
    start = pc.stamp()
    cur.execute(QUERY)
    while True:
        chunk = cur.fetchmany(FETCHMANY)
        if not chunk:
            break
        n += len(chunk)
    elapsed = pc.stamp() - start
    cur.close()
    return elapsed, n


def dbapi_head(conn, cursor_kw=None):
    cur = conn.cursor(**(cursor_kw or {}))
    cur.execute(CHECK)
    rows = [tuple(r) for r in cur.fetchall()]
    cur.close()
    return rows


def make_ways(drivers, server, runner, floor):
    """Every way of the bench, in the order of the table; `floor` is what
    build_floor() returned."""
    d = drivers

    def missing(name):
        return None if getattr(d, name) is not None else "%s %s" % (name, d.why[name])

    pg3 = d.psycopg_label()
    ways = [
        PyWay(VK_ALL, missing("vkcondb"),
              lambda: pc.open_vkcondb(d, server), dbapi_fetchall, dbapi_head),
        PyWay("vkcondb fetchmany(%d)" % FETCHMANY, missing("vkcondb"),
              lambda: pc.open_vkcondb(d, server), dbapi_fetchmany, dbapi_head),
        PyWay(pg3 + " fetchall text", missing("psycopg"),
              lambda: pc.open_psycopg(d, server, autocommit=True),
              dbapi_fetchall, dbapi_head),
        PyWay(pg3 + " fetchall binary", missing("psycopg"),
              lambda: pc.open_psycopg(d, server, autocommit=True),
              lambda conn: dbapi_fetchall(conn, {"binary": True}),
              lambda conn: dbapi_head(conn, {"binary": True})),
        PyWay(REFERENCE, missing("psycopg2"),
              lambda: pc.open_psycopg2(d, server, autocommit=True),
              dbapi_fetchall, dbapi_head),
    ]

    async def apg_fetch(conn):
        start = pc.stamp()
        rows = await conn.fetch(QUERY)
        elapsed = pc.stamp() - start
        n = len(rows)
        del rows
        return elapsed, n

    async def apg_head(conn):
        return [tuple(r) for r in await conn.fetch(CHECK)]

    ways.append(PyWay(
        "asyncpg fetch", missing("asyncpg"),
        lambda: pc.open_asyncpg(d, server, runner),
        lambda conn: runner.run(apg_fetch(conn)),
        lambda conn: runner.run(apg_head(conn)),
        close=lambda conn: runner.run(conn.close())))

    for mode, label in (("all", "C floor libpq binary"),
                        ("single", "C floor libpq single-row")):
        ways.append(FloorWay(label, floor, server, mode))
    return ways


# ---------------------------------------------------------------------------
# The C floor


def build_floor(folder):
    """Compile bench/pg_floor.c into `folder`; returns (path, None) or
    (None, why not)."""
    return pc.build_c(folder, "pg_floor")


class FloorWay(pc.Way):
    rows = 0

    def __init__(self, label, floor, server, mode):
        exe, why = floor
        pc.Way.__init__(self, label, why)
        self.exe, self.server, self.mode = exe, server, mode
        self.peak_kb = None

    def run(self):
        done = subprocess.run([self.exe, self.server.dsn(), QUERY, self.mode],
                              capture_output=True, text=True, env=pc.plain_env(), timeout=600)
        if done.returncode != 0:
            raise RuntimeError(done.stderr.strip() or "exit %d" % done.returncode)
        seconds, rows, peak = done.stdout.split()
        if int(rows) != self.rows:
            raise RuntimeError("read %s rows, expected %d" % (rows, self.rows))
        self.peak_kb = max(self.peak_kb or 0, int(peak))
        return float(seconds)



# ---------------------------------------------------------------------------
# Peak memory: each Python way once more in a fresh child process


def peak_kb():
    """The peak resident memory of this process, kB.  VmHWM, not getrusage:
    a child's ru_maxrss starts at its parent's peak (Linux carries it over
    exec), VmHWM belongs to the process's own memory."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def child(label, port, rows):
    """Run the way `label` once in this (fresh) process and print how much
    the peak memory grew while it read: kB."""
    server = ChildServer(port)
    drivers = pc.Drivers()
    runner = pc.AsyncRunner()
    ways = {w.label: w for w in make_ways(drivers, server, runner, (None, "not here"))}
    way = ways[label]
    way.rows = rows
    way.open()
    gc.collect()
    before = peak_kb()
    way.run()
    after = peak_kb()
    way.close()
    print(after - before)
    return 0


class ChildServer:
    """What a child needs of the server: where it is."""
    host = "127.0.0.1"

    def __init__(self, port):
        self.port = port

    def dsn(self):
        return "host=%s port=%d user=vk dbname=vktest" % (self.host, self.port)


def measure_memory(ways, server, rows, failed):
    """Peak growth in kB by label, or error text."""
    peaks = {}
    for way in ways:
        if way.missing or way.label in failed:
            continue
        if isinstance(way, FloorWay):
            if way.peak_kb is not None:
                peaks[way.label] = way.peak_kb
            continue
        cmd = [sys.executable, os.path.abspath(__file__), "--child", way.label,
               "--port", str(server.port), "--rows", str(rows)]
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
        if done.returncode == 0:
            peaks[way.label] = int(done.stdout.split()[-1])
        else:
            lines = done.stderr.strip().splitlines()
            peaks[way.label] = "failed: %s" % (lines[-1] if lines else done.returncode)
    return peaks


# ---------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="pg_fetch.py", description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000000, help="rows in the table (1000000)")
    parser.add_argument("--repeat", type=int, default=3,
                        help="rounds; each way's best time counts (3)")
    parser.add_argument("--no-memory", action="store_true",
                        help="skip the peak memory runs")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        return child(args.child, args.port, args.rows)
    if args.rows < 1 or args.repeat < 1:
        parser.error("--rows and --repeat must be at least 1")

    started = pc.stamp()
    drivers = pc.Drivers()
    server = None
    runner = pc.AsyncRunner()
    folder = tempfile.mkdtemp(prefix="vkcondb-pgbench-")
    try:
        floor = build_floor(folder)
        server = pc.start_server("bench-fetch")
        build_table(server, args.rows)
        version = server.psql("show server_version")

        ways = make_ways(drivers, server, runner, floor)
        PyWay.rows = FloorWay.rows = args.rows

        pc.say("PostgreSQL %s, private server on %s:%d; %d rows of (int8, float8, "
               "text of 20 characters)" % (version, server.host, server.port, args.rows))
        pc.say("drivers: %s" % drivers.describe())
        pc.say("best of %d interleaved rounds; query: %s" % (args.repeat, QUERY))

        # Same values from every driver before timing anything.
        # A way that reads other values is reported and not timed.
        want = expected_head(args.rows)
        wrong = {}
        for way in ways:
            if way.missing or not isinstance(way, PyWay):
                continue
            try:
                way.open()
                got = way.head()
                if got != want:
                    wrong[way.label] = "read %r, expected %r" % (got, want)
            except Exception as exc:
                wrong[way.label] = pc.error_text(exc)
            finally:
                way.close()

        def progress(line):
            sys.stderr.write(line + "\n")
            sys.stderr.flush()

        best, errors = pc.interleave(ways, args.repeat, progress=progress, errors=wrong)
        peaks = {}
        if not args.no_memory:
            peaks = measure_memory(ways, server, args.rows, errors)
        failed = report(ways, best, errors, peaks, drivers, args.rows)
        pc.say("run took %.0f s" % (pc.stamp() - started))
        return 1 if failed else 0
    finally:
        runner.close()
        if server is not None:
            server.close()
        shutil.rmtree(folder, ignore_errors=True)


def report(ways, best, errors, peaks, drivers, rows):
    """Print the table; returns True when the target is missed or vkcondb
    failed."""
    ref = best.get(REFERENCE)
    pc.say("%-34s %9s %12s %8s %9s" % ("way", "best", "rows/s", "ratio", "peak +MB"))
    for way in ways:
        status = pc.status_of(way, best, errors)
        if status:
            pc.say("%-34s %s" % (way.label, status))
            continue
        t = best[way.label]
        ratio = "%8.2f" % (t / ref) if ref else "%8s" % "-"
        peak = peaks.get(way.label)
        if isinstance(peak, int):
            peak = "%9.1f" % (peak / 1024.0)
        elif peak is None:
            peak = "%9s" % "-"
        pc.say("%-34s %8.3fs %12.0f %s %s" % (way.label, t, rows / t, ratio, peak))
    for label, peak in peaks.items():
        if isinstance(peak, str):
            pc.say("  peak memory of %s: %s" % (label, peak))
    if peaks:
        pc.say("peak +MB: how much a fresh process's peak memory grew while it read "
               "the rows (one more run each)")
    if ref:
        pc.say("ratio: time / %s time (%.3f s = 1.00; below 1 is faster)" % (REFERENCE, ref))
    else:
        pc.say("ratio: no %s time to compare with (%s)" % (
            REFERENCE, drivers.why.get("psycopg2", "it failed")))

    binary = drivers.psycopg_label() + " fetchall binary"
    vk = best.get(VK_ALL)
    missed = vk is None
    if vk is not None and binary in best:
        r = vk / best[binary]
        missed = r > TARGET
        pc.say("%s / %s: %.2f (target <= %.2f: %s)"
               % (VK_ALL, binary, r, TARGET, "missed" if missed else "met"))
    elif vk is not None:
        pc.say("%s / %s: no time for %s" % (VK_ALL, binary, binary))
    else:
        pc.say("%s: no time (target not measured)" % VK_ALL)
    if any(w.missing and w.label.startswith(("psycopg", "asyncpg")) for w in ways):
        pc.say(pc.SETUP_HINT)
    return missed


if __name__ == "__main__":
    sys.exit(main())

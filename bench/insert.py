"""Time inserting rows through vkcondb against Python's own sqlite3 module
and, when it is installed, apsw.

N rows of (integer, real, 20-character text) go into a fresh SQLite file in
a temporary folder, these ways, one after the other:

  - vkcondb executebatch (three columns, one batch);
  - vkcondb executemany with a list of tuples, inside one transaction;
  - sqlite3 executemany with the same list, inside one transaction;
  - apsw executemany with the same list, inside one transaction;
  - the C floor, bench/sqlite_insert_floor.c compiled here with cc against
    SQLite: a plain C loop of bind, step and reset on the same rows, made
    before its clock starts (it is a floor, not a peer).

The data is built before any clock starts; each way gets a new file and its
count of rows is checked afterwards.  Prints each time and its ratio to
sqlite3's (below 1 means faster than sqlite3).  Then, in a child process
of its own, the peak memory that executebatch adds while it runs (resident
set, in bytes a row) against the size of the packed columns it hands to the
library, and what the process still holds once the call has returned.

    python bench/insert.py [--rows N] [--repeat R]

With --engine postgres the same command runs bench/pg_insert.py instead: the
PostgreSQL version of this bench, on a private server, against other
drivers (see that file for its options).
"""
import argparse
import gc
import os
import sqlite3
import subprocess
import sys
import tempfile
import time

import c_floor
import vkcondb
from engine_choice import ENGINES, hand_over

try:  # an optional peer
    import apsw
except ImportError:  # pragma: no cover - depends on the bench venv
    apsw = None

CREATE = "create table t(a integer, b real, c text)"
INSERT = "insert into t values (?, ?, ?)"


def make_rows(n):
    return [(i, i * 0.5, "row%017d" % i) for i in range(n)]


def fresh_file(folder, name):
    path = os.path.join(folder, name)
    if os.path.exists(path):
        os.remove(path)
    return path


def count_rows(path):
    conn = sqlite3.connect(path)
    try:
        return conn.execute("select count(*) from t").fetchone()[0]
    finally:
        conn.close()


def with_vkcondb(path, work):
    conn = vkcondb.connect(database=path)
    try:
        cur = conn.cursor()
        cur.execute(CREATE)
        start = time.perf_counter()
        work(conn, cur)
        elapsed = time.perf_counter() - start
        cur.close()
    finally:
        conn.close()
    return elapsed


def vk_executebatch(path, rows, columns):
    def work(conn, cur):
        cur.executebatch(INSERT, columns)
    return with_vkcondb(path, work)


def vk_executemany(path, rows, columns):
    def work(conn, cur):
        conn.begin()
        cur.executemany(INSERT, rows)
        conn.commit()
    return with_vkcondb(path, work)


def sqlite3_executemany(path, rows, columns):
    conn = sqlite3.connect(path)
    try:
        conn.execute(CREATE)
        conn.commit()
        start = time.perf_counter()
        with conn:  # one transaction
            conn.executemany(INSERT, rows)
        return time.perf_counter() - start
    finally:
        conn.close()


def apsw_executemany(path, rows, columns):
    conn = apsw.Connection(path)
    try:
        conn.execute(CREATE)
        start = time.perf_counter()
        with conn:  # one transaction
            conn.executemany(INSERT, rows)
        return time.perf_counter() - start
    finally:
        conn.close()


FLOOR_LABEL = "C floor executemany"


def build_floor(folder):
    """Compile bench/sqlite_insert_floor.c into `folder`; returns (path,
    None) or (None, why not)."""
    return c_floor.build_c(folder, "sqlite_insert_floor", libs=["-lsqlite3"])


def floor_insert(exe, path, rows_n):
    """The floor's own time (BEGIN to the end of COMMIT) for rows_n rows."""
    done = subprocess.run([exe, path, str(rows_n)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip() or "exit %d" % done.returncode)
    return float(done.stdout.split()[0])


WAYS = [
    ("vkcondb executebatch", vk_executebatch),
    ("vkcondb executemany", vk_executemany),
    ("sqlite3 executemany", sqlite3_executemany),
]
if apsw is not None:
    WAYS.append(("apsw executemany", apsw_executemany))

# Bytes a row of the packed columns executebatch hands to the library: an
# 8-byte integer, an 8-byte double and a text record (4-byte length and 20
# characters); and the 4-byte element length of each of the three columns.
PACKED_DATA = 8 + 8 + 4 + 20
PACKED_LENGTHS = 3 * 4


def resident(key):
    """A line of /proc/self/status in bytes (VmRSS, VmHWM)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise SystemExit("no %s in /proc/self/status" % key)


def memory_child(rows_n):
    """Run in a child: one executebatch, its peak and kept memory."""
    rows = make_rows(rows_n)
    columns = [list(c) for c in zip(*rows)]
    del rows
    with tempfile.TemporaryDirectory(prefix="vkcondb-bench-") as folder:
        conn = vkcondb.connect(database=os.path.join(folder, "memory.db"))
        cur = conn.cursor()
        cur.execute(CREATE)
        gc.collect()
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak starts again from here
        before = resident("VmRSS")
        cur.executebatch(INSERT, columns)
        peak = resident("VmHWM")
        after = resident("VmRSS")
        cur.close()
        conn.close()
    print("%d %d %d" % (peak - before, after - before, rows_n))


def memory_report(rows_n):
    if not os.path.exists("/proc/self/clear_refs"):
        print("(peak memory: needs Linux's /proc; not measured)")
        return
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child",
                          "--rows", str(rows_n)], capture_output=True, text=True, check=True)
    peak, kept, n = (int(x) for x in out.stdout.split())
    print("executebatch peak extra memory: %.1f bytes a row, %.2fx the %d bytes of packed data"
          " (%.2fx with the %d bytes of element lengths); still held after the call: %.1f MiB"
          % (peak / n, peak / n / PACKED_DATA, PACKED_DATA, peak / n / (PACKED_DATA + PACKED_LENGTHS),
             PACKED_LENGTHS, kept / 2 ** 20))


def main(argv=None):
    code = hand_over(sys.argv[1:] if argv is None else argv, "pg_insert")
    if code is not None:
        return code
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engine", choices=ENGINES, default="embedded",
                        help="embedded (SQLite, this bench) or postgres "
                             "(bench/pg_insert.py, with its own options)")
    parser.add_argument("--rows", type=int, default=1000000, help="rows to insert (1000000)")
    parser.add_argument("--repeat", type=int, default=3,
                        help="rounds; each way's best time counts (3)")
    parser.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.rows < 1 or args.repeat < 1:
        parser.error("--rows and --repeat must be at least 1")
    if args.memory_child:
        memory_child(args.rows)
        return 0

    rows = make_rows(args.rows)
    columns = [list(c) for c in zip(*rows)]
    print("inserting %d rows of (integer, real, text of 20 characters); best of %d"
          % (args.rows, args.repeat))
    times = {}
    with tempfile.TemporaryDirectory(prefix="vkcondb-bench-") as folder:
        floor, why = build_floor(folder)
        ways = list(WAYS)
        if floor is not None:
            ways.append((FLOOR_LABEL,
                         lambda path, rows, columns: floor_insert(floor, path, len(rows))))
        # The ways take turns in every round, so that all of them see the
        # same load on a shared machine.
        for _ in range(args.repeat):
            for i, (label, way) in enumerate(ways):
                path = fresh_file(folder, "insert%d.db" % i)
                elapsed = way(path, rows, columns)
                got = count_rows(path)
                if got != args.rows:
                    print("%s stored %d rows, expected %d" % (label, got, args.rows))
                    return 1
                times[label] = min(times.get(label, elapsed), elapsed)
        for label, _ in ways:
            print("  %-22s %8.3f s  %10.0f rows/s" % (label, times[label],
                                                     args.rows / times[label]))
        if floor is None:
            print("  %-22s %s" % (FLOOR_LABEL, why))
    if apsw is None:
        print("(apsw is not installed: sqlite3 is the only peer)")
    base = times["sqlite3 executemany"]
    print("time against sqlite3 executemany (way's time / sqlite3's):")
    for label in times:
        if label != "sqlite3 executemany":
            print("  %-22s %6.2f" % (label, times[label] / base))
    memory_report(args.rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())

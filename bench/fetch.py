"""Time reading rows through vkcondb against Python's own sqlite3 module
and, when it is installed, apsw.

A database file with N rows of (integer, real, 20-character text) is built
with sqlite3 in a temporary folder; every driver then reads it with
fetchall() and with a fetchmany(1000) loop (apsw has no fetchmany: its
loop takes lists of 1000 rows from the cursor's iterator, which is what
such a loop costs there).  The drivers take turns in every round and the
best round of each counts; times are printed with their ratio to sqlite3's.

    python bench/fetch.py [--rows N] [--repeat R]

The exit code is 1 when vkcondb is slower than the fastest peer measured in
either way.

With --engine postgres the same command runs bench/pg_fetch.py instead: the
PostgreSQL version of this bench, on a private server, against other
drivers (see that file for its options).
"""
import argparse
import itertools
import os
import sqlite3
import sys
import tempfile
import time

import vkcondb
from engine_choice import ENGINES, hand_over

try:  # an optional peer
    import apsw
except ImportError:  # pragma: no cover - depends on the bench venv
    apsw = None

QUERY = "select a, b, c from t"
CHUNK = 1000


def build(path, rows):
    conn = sqlite3.connect(path)
    conn.execute("create table t(a integer, b real, c text)")
    conn.executemany(
        "insert into t values (?, ?, ?)",
        ((i, i * 0.5, "row%017d" % i) for i in range(rows)))
    conn.commit()
    conn.close()


# ---- the ways of reading, one pair per driver ----------------------------

def dbapi_all(cur):
    cur.execute(QUERY)
    return len(cur.fetchall())


def dbapi_many(cur):
    cur.execute(QUERY)
    n = 0
    while True:
        chunk = cur.fetchmany(CHUNK)
        if not chunk:
            return n
        n += len(chunk)


def apsw_all(cur):
    return len(cur.execute(QUERY).fetchall())


def apsw_many(cur):
    it = cur.execute(QUERY)
    n = 0
    while True:
        chunk = list(itertools.islice(it, CHUNK))
        if not chunk:
            return n
        n += len(chunk)


def drivers(path):
    """(name, cursor, {way: function}, closer) for every driver present."""
    out = []
    vk = vkcondb.connect(database=path)
    out.append(("vkcondb", vk.cursor(), {"fetchall": dbapi_all, "fetchmany(1000)": dbapi_many},
                vk.close))
    lite = sqlite3.connect(path)
    out.append(("sqlite3", lite.cursor(), {"fetchall": dbapi_all, "fetchmany(1000)": dbapi_many},
                lite.close))
    if apsw is not None:
        conn = apsw.Connection(path)
        out.append(("apsw", conn.cursor(), {"fetchall": apsw_all, "fetchmany(1000)": apsw_many},
                    conn.close))
    return out


def same_values(found):
    """The first rows as every driver reads them must agree."""
    probe = QUERY + " order by a limit 3"
    seen = []
    for name, cur, _, _ in found:
        cur.execute(probe)
        seen.append((name, [tuple(r) for r in cur.fetchall()]))
    for name, rows in seen[1:]:
        if rows != seen[0][1]:
            raise SystemExit("%s and %s read different values" % (seen[0][0], name))


def timed(fn, cur, rows):
    start = time.perf_counter()
    got = fn(cur)
    elapsed = time.perf_counter() - start
    if got != rows:
        raise SystemExit("%s read %d rows, expected %d" % (fn.__name__, got, rows))
    return elapsed


def main(argv=None):
    code = hand_over(sys.argv[1:] if argv is None else argv, "pg_fetch")
    if code is not None:
        return code
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engine", choices=ENGINES, default="embedded",
                        help="embedded (SQLite, this bench) or postgres "
                             "(bench/pg_fetch.py, with its own options)")
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)
    if args.rows < 1 or args.repeat < 1:
        parser.error("--rows and --repeat must be at least 1")

    ways = ("fetchall", "fetchmany(1000)")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "fetch.db")
        build(path, args.rows)
        found = drivers(path)
        try:
            same_values(found)
            best = {}
            # Every driver takes its turn in every round, so that all of
            # them see the same load on a shared machine.
            for _ in range(args.repeat):
                for way in ways:
                    for name, cur, fns, _ in found:
                        t = timed(fns[way], cur, args.rows)
                        key = (way, name)
                        best[key] = min(best.get(key, t), t)
        finally:
            for _, _, _, close in found:
                close()

    names = [name for name, _, _, _ in found]
    print("rows: %d (integer, real, text of 20 characters); best of %d rounds"
          % (args.rows, args.repeat))
    if apsw is None:
        print("(apsw is not installed: sqlite3 is the only peer)")
    print("%-16s" % "way" + "".join("%11s" % n for n in names)
          + "".join("%12s" % (n + "/sq") for n in names if n != "sqlite3"))
    failed = False
    for way in ways:
        base = best[(way, "sqlite3")]
        line = "%-16s" % way + "".join("%10.3fs" % best[(way, n)] for n in names)
        line += "".join("%12.3f" % (best[(way, n)] / base) for n in names if n != "sqlite3")
        print(line)
        fastest_peer = min(best[(way, n)] for n in names if n != "vkcondb")
        failed = failed or best[(way, "vkcondb")] > fastest_peer
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

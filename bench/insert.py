"""Time inserting rows through vkcondb against Python's own sqlite3 module.

N rows of (integer, real, 20-character text) go into a fresh SQLite file in
a temporary folder, three ways, one after the other:

  - vkcondb executebatch (three columns, one batch);
  - vkcondb executemany with a list of tuples, inside one transaction;
  - sqlite3 executemany with the same list, inside one transaction.

The data is built before any clock starts; each way gets a new file and its
count of rows is checked afterwards.  Prints each time and the ratios
against sqlite3 (above 1 means vkcondb is faster).

    python bench/insert.py [--rows N]

With --engine postgres the same command runs bench/pg_insert.py instead: the
PostgreSQL version of this bench, on a private server, against other
drivers (see that file for its options).
"""
import argparse
import os
import sqlite3
import sys
import tempfile
import time

import vkcondb
from engine_choice import ENGINES, hand_over

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


WAYS = [
    ("vkcondb executebatch", vk_executebatch),
    ("vkcondb executemany", vk_executemany),
    ("sqlite3 executemany", sqlite3_executemany),
]


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
    args = parser.parse_args(argv)
    if args.rows < 1 or args.repeat < 1:
        parser.error("--rows and --repeat must be at least 1")

    rows = make_rows(args.rows)
    columns = [list(c) for c in zip(*rows)]
    print("inserting %d rows of (integer, real, text of 20 characters); best of %d"
          % (args.rows, args.repeat))
    times = {}
    with tempfile.TemporaryDirectory(prefix="vkcondb-bench-") as folder:
        # The ways take turns in every round, so that all of them see the
        # same load on a shared machine.
        for _ in range(args.repeat):
            for i, (label, way) in enumerate(WAYS):
                path = fresh_file(folder, "insert%d.db" % i)
                elapsed = way(path, rows, columns)
                got = count_rows(path)
                if got != args.rows:
                    print("%s stored %d rows, expected %d" % (label, got, args.rows))
                    return 1
                times[label] = min(times.get(label, elapsed), elapsed)
        for label, _ in WAYS:
            print("  %-22s %8.3f s  %10.0f rows/s" % (label, times[label],
                                                     args.rows / times[label]))
    base = times["sqlite3 executemany"]
    print("speed against sqlite3 executemany (sqlite3 time / vkcondb time):")
    for label in ("vkcondb executebatch", "vkcondb executemany"):
        print("  %-22s %6.2fx" % (label, base / times[label]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Time reading rows through vkcondb against Python's own sqlite3 module.

A database file with N rows of (integer, real, 20-character text) is built
with sqlite3 in a temporary folder; both drivers then read it with
fetchall() and with a fetchmany(1000) loop.  The best of a few runs of each
is reported, with the vkcondb / sqlite3 time ratio.

    python bench/fetch.py [--rows N] [--repeat R]

With --engine postgres the same command runs bench/pg_fetch.py instead: the
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

QUERY = "select a, b, c from t"


def build(path, rows):
    conn = sqlite3.connect(path)
    conn.execute("create table t(a integer, b real, c text)")
    conn.executemany(
        "insert into t values (?, ?, ?)",
        ((i, i * 0.5, "row%017d" % i) for i in range(rows)))
    conn.commit()
    conn.close()


def read_all(cur):
    cur.execute(QUERY)
    return len(cur.fetchall())


def read_many(cur):
    cur.execute(QUERY)
    n = 0
    while True:
        chunk = cur.fetchmany(1000)
        if not chunk:
            return n
        n += len(chunk)


def timed(fn, cur, rows):
    start = time.perf_counter()
    got = fn(cur)
    elapsed = time.perf_counter() - start
    if got != rows:
        raise SystemExit("%s read %d rows, expected %d" % (fn.__name__, got, rows))
    return elapsed


def best_pair(fn, vk_cur, lite_cur, repeat, rows):
    """Best times of both drivers, their runs interleaved so that both see
    the same load on a shared machine."""
    vk_times, lite_times = [], []
    for _ in range(repeat):
        vk_times.append(timed(fn, vk_cur, rows))
        lite_times.append(timed(fn, lite_cur, rows))
    return min(vk_times), min(lite_times)


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

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "fetch.db")
        build(path, args.rows)

        lite = sqlite3.connect(path)
        vk = vkcondb.connect(database=path)
        lite_cur, vk_cur = lite.cursor(), vk.cursor()

        # Same values from both before timing anything.
        lite_cur.execute(QUERY + " order by a limit 3")
        vk_cur.execute(QUERY + " order by a limit 3")
        if [tuple(r) for r in lite_cur.fetchall()] != vk_cur.fetchall():
            raise SystemExit("the two drivers read different values")

        print("rows: %d (integer, real, text of 20 characters); best of %d"
              % (args.rows, args.repeat))
        print("%-16s %10s %10s %8s %8s" % ("method", "vkcondb", "sqlite3", "ratio", "target"))
        failed = False
        for name, fn, target in (("fetchall", read_all, 0.95),
                                 ("fetchmany(1000)", read_many, 0.8)):
            t_vk, t_lite = best_pair(fn, vk_cur, lite_cur, args.repeat, args.rows)
            ratio = t_vk / t_lite
            failed = failed or ratio > target
            print("%-16s %9.3fs %9.3fs %8.3f %8s" % (name, t_vk, t_lite, ratio, "<= %.2f" % target))
        vk_cur.close()
        vk.close()
        lite.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

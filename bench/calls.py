"""Time many small calls through vkcondb against Python's own sqlite3: the
fixed cost of a call (argument parsing, the per-connection call claim, the
library's bind and run) rather than the cost of rows.

Each round runs, on one in-memory database:

  - execute("select ?", (i,)) then fetchone(), N times;
  - execute("insert into t values (?)", (i,)), N times, in one transaction.

The ways take turns in every round; each way's best round counts.  Prints
the times and the ratios against sqlite3 (above 1 means vkcondb is faster).

    python bench/calls.py [--calls N] [--repeat R]
"""
import argparse
import sqlite3
import sys
import time

import vkcondb


def select_calls(conn, n):
    cur = conn.cursor()
    start = time.perf_counter()
    for i in range(n):
        cur.execute("select ?", (i,))
        cur.fetchone()
    return time.perf_counter() - start


def begin(conn):
    if isinstance(conn, sqlite3.Connection):
        conn.execute("begin")
    else:
        conn.begin()


def insert_calls(conn, n):
    cur = conn.cursor()
    cur.execute("create table t(x integer)")
    begin(conn)
    start = time.perf_counter()
    for i in range(n):
        cur.execute("insert into t values (?)", (i,))
    conn.commit()
    return time.perf_counter() - start


def on(connect, calls):
    """A way: `calls` on a fresh in-memory connection from `connect`."""
    def way(n):
        conn = connect()
        try:
            return calls(conn, n)
        finally:
            conn.close()
    return way


vk_connect = vkcondb.connect


def sq_connect():
    return sqlite3.connect(":memory:", isolation_level=None)


WAYS = [
    ("vkcondb select+fetchone", on(vk_connect, select_calls),
     "sqlite3 select+fetchone", on(sq_connect, select_calls)),
    ("vkcondb insert", on(vk_connect, insert_calls), "sqlite3 insert", on(sq_connect, insert_calls)),
]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200000, help="calls per way (200000)")
    parser.add_argument("--repeat", type=int, default=5, help="rounds (5)")
    args = parser.parse_args(argv)
    if args.calls < 1 or args.repeat < 1:
        parser.error("--calls and --repeat must be at least 1")
    times = {}
    for _ in range(args.repeat):
        for vk_label, vk_way, sq_label, sq_way in WAYS:
            for label, way in ((vk_label, vk_way), (sq_label, sq_way)):
                elapsed = way(args.calls)
                times[label] = min(times.get(label, elapsed), elapsed)
    print("%d calls per way; best of %d rounds" % (args.calls, args.repeat))
    for vk_label, _, sq_label, _ in WAYS:
        for label in (vk_label, sq_label):
            print("  %-26s %7.3f s  %7.0f ns a call" % (label, times[label],
                                                        1e9 * times[label] / args.calls))
        print("  %-26s %7.2fx" % ("ratio (sqlite3 / vkcondb)", times[sq_label] / times[vk_label]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

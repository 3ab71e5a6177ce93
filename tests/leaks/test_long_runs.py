"""A million execute/fetch cycles on each engine keep the resident size
flat: whatever a cycle leaks, even a few bytes, adds up to megabytes.

VKCONDB_LEAK_CYCLES changes the count (for a quick run by hand)."""
import os

import pytest

import pgserver
import vkcondb
from leak_support import heap_in_use, report, rss

CYCLES = int(os.environ.get("VKCONDB_LEAK_CYCLES", "1000000"))
WARMUP = 20000
# Resident size may move by a few pages as the allocators settle; a leak of
# 4 bytes a cycle already passes this over a million cycles.
RSS_ALLOWANCE = 4 << 20

pytestmark = pytest.mark.not_sanitized(
    "ASan keeps freed memory in quarantine, so the resident size says nothing; "
    "LeakSanitizer checks the heap instead")


def cycles(cur, sql, n):
    execute, fetchone = cur.execute, cur.fetchone
    for i in range(n):
        execute(sql, (i, "x"))
        if fetchone()[0] != i:
            raise AssertionError("cycle %d read a wrong row" % i)


def resident_growth(name, cur, sql):
    cycles(cur, sql, WARMUP)
    before, heap_before = rss(), heap_in_use()
    cycles(cur, sql, CYCLES)
    grown, heap = rss() - before, heap_in_use() - heap_before
    report(name, CYCLES, "rss", grown, "heap", heap)
    return grown, heap


def test_embedded_engine():
    conn = vkcondb.connect(":memory:")
    try:
        grown, heap = resident_growth("embedded cycles", conn.cursor(), "select ?, ?")
    finally:
        conn.close()
    assert grown <= RSS_ALLOWANCE and heap <= RSS_ALLOWANCE, (grown, heap)


def test_postgres_engine(pg_server):
    conn = vkcondb.connect(host=pgserver.HOST, port=pg_server.port, database=pgserver.DATABASE,
                           user=pgserver.SUPERUSER)
    try:
        grown, heap = resident_growth("postgres cycles", conn.cursor(),
                                      "select ?::int, ?::text")
    finally:
        conn.close()
    assert grown <= RSS_ALLOWANCE and heap <= RSS_ALLOWANCE, (grown, heap)

"""bench/run_all.py's reading of the benches' printed tables and its one
table: parsing, references, ratios, failures, the Markdown section.  No
bench runs here and no time is asserted."""
import importlib
import os
import re
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PATH = os.path.join(ROOT, "bench", "run_all.py")


@pytest.fixture(scope="module")
def ra():
    if not os.path.exists(PATH):
        pytest.skip("bench/run_all.py is not in this tree")
    folder = os.path.dirname(PATH)
    sys.path.insert(0, folder)
    try:
        return importlib.import_module("run_all")
    finally:
        sys.path.remove(folder)


FETCH_TWO = """\
rows: 20000 (integer, real, text of 20 characters); best of 2
method              vkcondb    sqlite3    ratio   target
fetchall             0.014s     0.020s    0.857  <= 0.95
fetchmany(1000)      0.010s     0.018s    0.588  <= 0.80
"""

FETCH_THREE = """\
rows: 20000 (integer, real, text of 20 characters); best of 2 rounds
way                 vkcondb    sqlite3       apswvkcondb/sq  apsw/sq
fetchall             0.020s     0.024s     0.013s    0.845    0.550
fetchmany(1000)      0.011s     0.016s     0.009s    0.659    0.546
"""

INSERT = """\
inserting 20000 rows of (integer, real, text of 20 characters); best of 2
  vkcondb executebatch      0.018 s     1105750 rows/s
  vkcondb executemany       0.054 s      372097 rows/s
  sqlite3 executemany       0.060 s      357170 rows/s
  C floor executemany       0.030 s      666666 rows/s
speed against sqlite3 executemany (sqlite3 time / vkcondb time):
  vkcondb executebatch     3.10x
  vkcondb executemany      1.04x
"""

CALLS = """\
20000 calls per way; best of 2 rounds
  vkcondb select+fetchone      0.165 s     8245 ns a call
  sqlite3 select+fetchone      0.033 s     1728 ns a call
  ratio (sqlite3 / vkcondb)     0.21x
  vkcondb insert               0.122 s     6109 ns a call
  sqlite3 insert               0.040 s     1970 ns a call
  ratio (sqlite3 / vkcondb)     0.32x
"""

PG_FETCH = """\
PostgreSQL 15.20 (Debian 15.20-0+deb12u1), private server on 127.0.0.1:39749; 20000 rows
drivers: vkcondb from /x, psycopg 3.3.9 (c implementation), psycopg2 2.9.13, asyncpg 0.32.0
best of 2 interleaved rounds; query: select a, b, c from t
way                                     best       rows/s    ratio  peak +MB
vkcondb fetchall                      0.030s       790162     0.99       7.4
vkcondb fetchmany(1000)               0.015s      1765752     0.44       3.7
psycopg (c) fetchall text             0.018s      1122606     0.70       6.0
psycopg (c) fetchall binary           0.010s      2487034     0.31       6.5
psycopg2 fetchall                     FAILED: OperationalError: server closed
asyncpg fetch                         asyncpg not installed
C floor libpq binary                  0.009s      2280502     0.34       2.0
C floor libpq single-row              not built: no C compiler
peak +MB: how much a fresh process's peak memory grew while it read the rows (one more run each)
ratio: time / psycopg2 fetchall time (0.026 s = 1.00; below 1 is faster)
vkcondb fetchall / psycopg (c) fetchall binary: 3.00 (target <= 1.00: missed)
run took 5 s
"""

PG_INSERT = """\
PostgreSQL 15.20 (Debian 15.20-0+deb12u1), private server on 127.0.0.1:35231; inserting
best of 2 interleaved rounds
way                                     best       rows/s     speed
vkcondb executebatch                  0.020s       967403     6.20x
vkcondb executemany                   0.120s       161078     1.03x
psycopg2 executemany                  1.200s        16614     0.11x
psycopg (c) executemany               0.300s        62960     0.40x
asyncpg executemany                   0.100s       156129     1.00x
asyncpg copy_records_to_table         0.010s       992582     6.36x
speed: asyncpg executemany time / the way's time (0.128 s = 1.00x; above 1 is faster)
targets:
  vkcondb executemany    rows/s 1.03x asyncpg executemany (target >= 1.0x): met
run took 7 s
"""


def cells(ways):
    return {(w.scenario, w.driver): (w.seconds, w.status, w.mb) for w in ways}


def test_fetch_matrix_both_header_shapes(ra):
    ways, _ = ra.parse_output(FETCH_TWO, ra.EMBEDDED)
    assert cells(ways) == {
        ("fetchall", "vkcondb"): (0.014, None, None),
        ("fetchall", "sqlite3"): (0.020, None, None),
        ("fetchmany(1000)", "vkcondb"): (0.010, None, None),
        ("fetchmany(1000)", "sqlite3"): (0.018, None, None),
    }
    ways, _ = ra.parse_output(FETCH_THREE, ra.EMBEDDED)
    got = cells(ways)
    assert got[("fetchall", "apsw")] == (0.013, None, None)
    assert got[("fetchmany(1000)", "sqlite3")] == (0.016, None, None)
    assert len(got) == 6


def test_loose_lines(ra):
    ways, _ = ra.parse_output(INSERT, ra.EMBEDDED)
    assert cells(ways) == {
        ("executebatch", "vkcondb"): (0.018, None, None),
        ("executemany", "vkcondb"): (0.054, None, None),
        ("executemany", "sqlite3"): (0.060, None, None),
        ("executemany", "C floor"): (0.030, None, None),
    }
    ways, _ = ra.parse_output(CALLS, ra.EMBEDDED)
    assert sorted(cells(ways)) == [
        ("execute insert", "sqlite3"), ("execute insert", "vkcondb"),
        ("execute+fetchone", "sqlite3"), ("execute+fetchone", "vkcondb")]


def test_postgres_table_statuses_and_memory(ra):
    ways, notes = ra.parse_output(PG_FETCH, ra.POSTGRES)
    got = cells(ways)
    assert got[("fetchall", "vkcondb")] == (0.030, None, 7.4)
    assert got[("fetchall", "psycopg")] == (0.018, None, 6.0)
    assert got[("fetchall", "psycopg binary")] == (0.010, None, 6.5)
    assert got[("fetchall", "psycopg2")][1].startswith("FAILED: OperationalError")
    assert got[("fetchall", "asyncpg")][1] == "asyncpg not installed"
    assert got[("fetchall", "C floor")] == (0.009, None, 2.0)
    assert got[("fetchmany(1000)", "C floor")][1].startswith("not built")
    assert any("target <= 1.00: missed" in n for n in notes)


def outcome(ra, name, stdout, rc=0, stderr=""):
    bench = [b for b in ra.BENCHES if b.name == name][0]
    o = ra.Outcome(bench, 20000, ["python", "bench/" + bench.script])
    ra.collect(o, stdout, stderr, rc)
    return o


def rows_by_name(table):
    return dict(((engine, row["scenario"]), row)
                for engine, _, rows in table.sections for row in rows)


def test_references_and_ratios(ra):
    run = [outcome(ra, "fetch", FETCH_THREE, rc=1), outcome(ra, "insert", INSERT),
           outcome(ra, "pg_fetch", PG_FETCH, rc=1), outcome(ra, "pg_insert", PG_INSERT)]
    table = ra.Table([run])
    assert not table.failures
    rows = rows_by_name(table)
    fa = rows[(ra.EMBEDDED, "fetchall")]
    assert fa["reference"].startswith("sqlite3 ")
    assert fa["ratios"]["vkcondb"] == [pytest.approx(0.020 / 0.024)]
    assert fa["best"] == ("apsw", pytest.approx(0.013 / 0.024))
    # executebatch against each peer's fastest insert; the insert's C floor
    # is in the executemany row and is no peer
    eb = rows[(ra.EMBEDDED, "executebatch")]
    assert eb["ratios"]["vkcondb"] == [pytest.approx(0.3)]
    em = rows[(ra.EMBEDDED, "executemany")]
    assert em["ratios"]["C floor"] == [pytest.approx(0.5)]
    assert em["best"][0] == "sqlite3"
    assert "C floor" not in fa["ratios"]
    # PostgreSQL: the fastest peer of the row; a failed peer is no reference
    pf = rows[(ra.POSTGRES, "fetchall")]
    assert pf["reference"].startswith("psycopg binary ")
    assert pf["ratios"]["vkcondb"] == [pytest.approx(3.0)]
    assert pf["status"]["psycopg2"].startswith("FAILED")
    assert pf["mb"]["vkcondb"] == [7.4]
    # fetchmany has no peer: compared with fetchall's best peer
    pm = rows[(ra.POSTGRES, "fetchmany(1000)")]
    assert pm["reference"].startswith("as fetchall ")
    assert pm["ratios"]["vkcondb"] == [pytest.approx(1.5)]
    # asyncpg's COPY stands in the executebatch row, marked
    pb = rows[(ra.POSTGRES, "executebatch")]
    assert pb["ratios"]["asyncpg"] == [pytest.approx(1.0)]
    assert pb["via"]["asyncpg"] == "copy_records_to_table"
    assert pb["ratios"]["vkcondb"] == [pytest.approx(2.0)]
    assert (ra.POSTGRES, "copy") not in rows
    pe = rows[(ra.POSTGRES, "executemany")]
    assert pe["best"] == ("asyncpg", pytest.approx(1.0))
    assert pe["ratios"]["psycopg2"] == [pytest.approx(12.0)]

    lines, marks = ra.table_rows(table)
    text = "\n".join(ra.render_text(lines))
    assert "FAILED" in text and "copy_records_to_table" in "\n".join(marks)
    md = ra.render_markdown(lines)
    assert len(set(len(re.findall(r"(?<!\\)\|", line)) for line in md)) == 1


def test_several_runs_median_and_range(ra):
    slow = FETCH_TWO.replace("0.014s", "0.018s")
    runs = [[outcome(ra, "fetch", FETCH_TWO)], [outcome(ra, "fetch", slow)]]
    table = ra.Table(runs)
    row = rows_by_name(table)[(ra.EMBEDDED, "fetchall")]
    assert row["ratios"]["vkcondb"] == [pytest.approx(0.7), pytest.approx(0.9)]
    assert ra.fmt_ratio(row["ratios"]["vkcondb"], True) == "0.80 [0.70-0.90]"


def test_a_failing_bench_is_a_row(ra):
    crash = "Traceback (most recent call last):\n  ...\nModuleNotFoundError: No module named 'x'\n"
    run = [outcome(ra, "fetch", "", rc=1, stderr=crash), outcome(ra, "insert", INSERT),
           outcome(ra, "pg_fetch", "", rc=1,
                   stderr="  round 1  x 0.1 s\nno PostgreSQL server here: none\n")]
    assert run[0].failed == "exit 1: ModuleNotFoundError: No module named 'x'"
    assert run[2].failed == "exit 1: no PostgreSQL server here: none"
    table = ra.Table([run])
    lines, _ = ra.table_rows(table)
    fails = [text for kind, text in lines if kind == "fail"]
    assert len(fails) == 2 and "No module named 'x'" in fails[0]
    assert any(kind == "section" and "PostgreSQL" in text for kind, text in lines)
    # a table with an exit code of 1 (a missed target) is no failure
    assert outcome(ra, "pg_fetch", PG_FETCH, rc=1).failed is None


def test_callgrind_rows(ra):
    data = {"rows": 100, "calls": 10, "valgrind": "valgrind-3", "results": [
        {"path": "fetchall", "driver": "vkcondb", "per": "row", "n": 100, "per_item": 400.0},
        {"path": "fetchall", "driver": "sqlite3", "per": "row", "n": 100, "per_item": 500.0},
        {"path": "fetchall", "driver": "apsw", "per": "row", "n": 100, "per_item": None,
         "error": "not installed"},
        {"path": "executemany", "driver": "sqlite3", "per": "row", "n": 100, "per_item": 800.0},
        {"path": "executebatch", "driver": "vkcondb", "per": "row", "n": 100,
         "per_item": 200.0},
    ]}
    table = ra.Table([[outcome(ra, "insert", INSERT)]], callgrind=data)
    rows = rows_by_name(table)
    assert rows[(ra.CALLGRIND, "fetchall")]["ratios"]["vkcondb"] == [pytest.approx(0.8)]
    assert rows[(ra.CALLGRIND, "executebatch")]["ratios"]["vkcondb"] == [pytest.approx(0.25)]
    lines, _ = ra.table_rows(table)
    assert any(kind == "row" and "0.80 (400)" in cells for kind, cells in lines)


def test_write_section_keeps_the_rest(ra, tmp_path):
    path = str(tmp_path / "B.md")
    with open(path, "w") as f:
        f.write("# title\n\nbefore\n\n%s\nold table\n%s\n\nafter\n" % (ra.BEGIN_MARK, ra.END_MARK))
    ra.write_section(path, ["new table"])
    text = open(path).read()
    assert text == "# title\n\nbefore\n\n%s\nnew table\n%s\n\nafter\n" % (
        ra.BEGIN_MARK, ra.END_MARK)
    bare = str(tmp_path / "C.md")
    with open(bare, "w") as f:
        f.write("# only a title\n")
    ra.write_section(bare, ["t"])
    assert open(bare).read() == "# only a title\n\n%s\nt\n%s\n" % (ra.BEGIN_MARK, ra.END_MARK)


def test_callgrind_counts_once_with_several_runs(ra):
    data = {"results": [
        {"path": "fetchall", "driver": "vkcondb", "per": "row", "n": 100, "per_item": 400.0},
        {"path": "fetchall", "driver": "sqlite3", "per": "row", "n": 100, "per_item": 500.0},
    ]}
    runs = [[outcome(ra, "fetch", FETCH_TWO)], [outcome(ra, "fetch", FETCH_TWO)]]
    table = ra.Table(runs, callgrind=data)
    row = rows_by_name(table)[(ra.CALLGRIND, "fetchall")]
    assert row["ratios"]["vkcondb"] == [pytest.approx(0.8)]
    lines, _ = ra.table_rows(table)
    assert any(kind == "row" and "0.80 (400)" in cells for kind, cells in lines)

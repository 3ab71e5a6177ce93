"""Count the instructions the embedded engine's hot paths cost per row,
under valgrind's callgrind tool: figures that do not move with the load of
the machine, unlike the times of the other benches.

The paths, on N rows of (integer, real, 20-character text) as in
bench/fetch.py and bench/insert.py, and on M calls as in bench/calls.py:

  fetchall          execute("select a, b, c from t"), then fetchall()
  fetchmany(1000)   the same execute, then a fetchmany(1000) loop
  executemany       executemany of N tuples, in one transaction
  executebatch      vkcondb executebatch of three columns, one batch
  execute+fetchone  execute("select ?", (i,)) then fetchone(), M times
  execute insert    execute("insert into t values (?)", (i,)), M times,
                    in one transaction

for vkcondb, sqlite3 and apsw when it is installed (apsw has no fetchmany:
its loop takes lists of 1000 rows from the cursor's iterator, as
bench/fetch.py does; executebatch is vkcondb's alone).

Every (path, driver) runs in a fresh Python process under
`valgrind --tool=callgrind`; the database file it reads is built by this
process beforehand, outside valgrind.  The child runs the path once to warm
up (imports, first statement, page cache, allocator), then once more
between two markers: os.getppid() zeroes callgrind's counters
(--zero-before=getppid) and os.getpgrp() dumps them (--dump-before=getpgrp).
The dumped count over N (or M) is the figure: user-space instructions of
the whole process per row (per call), that is the driver, the engine and
Python making and freeing the row objects; the kernel's work (file writes)
is not counted.  Counts repeat to within a fraction of a percent from run
to run, whatever else the machine is doing.

    python bench/callgrind_counts.py [--rows N] [--calls M] [--jobs J] [--json]

--json prints one JSON object instead of the table (bench/run_all.py
--callgrind reads it).  Exits 1 when a count could not be had, 2 when
valgrind is missing.
"""
import argparse
import concurrent.futures
import glob
import itertools
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

QUERY = "select a, b, c from t"
INSERT = "insert into t%d values (?, ?, ?)"
FETCHMANY = 1000

# (name, what it counts per, the drivers that have it)
PATHS = [
    ("fetchall", "row", ("vkcondb", "sqlite3", "apsw")),
    ("fetchmany(%d)" % FETCHMANY, "row", ("vkcondb", "sqlite3", "apsw")),
    ("executemany", "row", ("vkcondb", "sqlite3", "apsw")),
    ("executebatch", "row", ("vkcondb",)),
    ("execute+fetchone", "call", ("vkcondb", "sqlite3", "apsw")),
    ("execute insert", "call", ("vkcondb", "sqlite3", "apsw")),
]
DRIVERS = ("vkcondb", "sqlite3", "apsw")
REFERENCE = "sqlite3"


# ---------------------------------------------------------------------------
# The child: one path of one driver, run under valgrind


def make_rows(n):
    return [(i, i * 0.5, "row%017d" % i) for i in range(n)]


def open_driver(driver, path):
    """A connection of `driver` on `path` (":memory:" for none), in
    autocommit where the driver has a choice."""
    if driver == "vkcondb":
        import vkcondb
        return vkcondb.connect(database=path)
    if driver == "sqlite3":
        return sqlite3.connect(path, isolation_level=None)
    if driver == "apsw":
        import apsw
        return apsw.Connection(path)
    raise ValueError(driver)


def begin(driver, conn, cur):
    if driver == "vkcondb":
        conn.begin()
    else:
        cur.execute("begin")


def commit(driver, conn, cur):
    if driver == "vkcondb":
        conn.commit()
    else:
        cur.execute("commit")


def make_pass(path_name, driver, conn, n):
    """A function doing one pass of the path; called with the pass number
    (0 for the warm-up, 1 for the counted one)."""
    cur = conn.cursor()

    if path_name == "fetchall":
        def one(k):
            cur.execute(QUERY)
            got = len(cur.fetchall())
            if got != n:
                raise SystemExit("read %d rows, expected %d" % (got, n))
        return one

    if path_name.startswith("fetchmany"):
        if driver == "apsw":
            # no fetchmany: lists of FETCHMANY rows from the cursor's
            # iterator, as bench/fetch.py reads it
            def fetchmany(size):
                return list(itertools.islice(cur, size))
        else:
            fetchmany = cur.fetchmany

        def one(k):
            cur.execute(QUERY)
            got = 0
            while True:
                chunk = fetchmany(FETCHMANY)
                if not chunk:
                    break
                got += len(chunk)
            if got != n:
                raise SystemExit("read %d rows, expected %d" % (got, n))
        return one

    if path_name in ("executemany", "executebatch"):
        rows = make_rows(n)
        columns = [list(c) for c in zip(*rows)]
        for k in (0, 1):
            cur.execute("create table t%d(a integer, b real, c text)" % k)

        if path_name == "executebatch":
            def one(k):
                cur.executebatch(INSERT % k, columns)
        else:
            def one(k):
                begin(driver, conn, cur)
                cur.executemany(INSERT % k, rows)
                commit(driver, conn, cur)
        return one

    if path_name == "execute+fetchone":
        def one(k):
            for i in range(n):
                cur.execute("select ?", (i,))
                cur.fetchone()
        return one

    if path_name == "execute insert":
        for k in (0, 1):
            cur.execute("create table t%d(x integer)" % k)

        def one(k):
            sql = "insert into t%d values (?)" % k
            begin(driver, conn, cur)
            for i in range(n):
                cur.execute(sql, (i,))
            commit(driver, conn, cur)
        return one

    raise ValueError(path_name)


def child(path_name, driver, db, n):
    conn = open_driver(driver, db)
    one = make_pass(path_name, driver, conn, n)
    one(0)
    os.getppid()     # callgrind: zero the counters
    one(1)
    os.getpgrp()     # callgrind: dump them
    conn.close()
    return 0


# ---------------------------------------------------------------------------
# The parent


def build_table(path, rows):
    conn = sqlite3.connect(path)
    conn.execute("create table t(a integer, b real, c text)")
    conn.executemany("insert into t values (?, ?, ?)", make_rows(rows))
    conn.commit()
    conn.close()


def installed(python):
    """{driver: version text or None when it cannot be imported}."""
    code = (
        "import importlib, json, sqlite3\n"
        "out = {}\n"
        "for name in %r:\n"
        "    try:\n"
        "        m = importlib.import_module(name)\n"
        "    except ImportError as exc:\n"
        "        # not installed; a module that is there but fails to import\n"
        "        # is counted anyway, so that its error shows\n"
        "        out[name] = None if exc.name == name else 'broken: %%s' %% exc\n"
        "        continue\n"
        "    except Exception as exc:\n"
        "        out[name] = 'broken: %%s' %% exc\n"
        "        continue\n"
        "    if name == 'sqlite3':\n"
        "        out[name] = 'SQLite ' + m.sqlite_version\n"
        "    elif name == 'apsw':\n"
        "        out[name] = m.apswversion() + ', SQLite ' + m.sqlite_lib_version()\n"
        "    else:\n"
        "        out[name] = 'from ' + m.__file__\n"
        "print(json.dumps(out))\n" % (DRIVERS,))
    done = subprocess.run([python, "-c", code], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    if done.returncode != 0:
        raise SystemExit("%s cannot run: %s" % (python, last_line(done.stderr)))
    return json.loads(done.stdout)


def last_line(text):
    lines = [l for l in (text or "").strip().splitlines() if l.strip()]
    return lines[-1].strip() if lines else ""


def count_one(valgrind, python, path_name, driver, db, n, folder, timeout):
    """Run one child under callgrind; returns (instructions, error text)."""
    tag = "%s-%s" % (driver, "".join(c if c.isalnum() else "_" for c in path_name))
    out = os.path.join(folder, "callgrind.%s.%%p" % tag)
    cmd = [valgrind, "--tool=callgrind", "--callgrind-out-file=" + out,
           "--zero-before=getppid", "--dump-before=getpgrp",
           python, os.path.abspath(__file__), "--child", path_name, driver,
           db, str(n)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return None, "timed out after %d s" % timeout
    if done.returncode != 0:
        errs = [l for l in done.stderr.splitlines() if not l.startswith("==")]
        return None, last_line("\n".join(errs)) or "exit %d" % done.returncode
    # The dump at the marker is the file with the suffix .1.
    dumps = glob.glob(os.path.join(folder, "callgrind.%s.*.1" % tag))
    if len(dumps) != 1:
        return None, "no callgrind dump at the marker (found %d)" % len(dumps)
    with open(dumps[0]) as f:
        for line in f:
            if line.startswith("summary:"):
                return int(line.split()[1]), None
    return None, "no summary line in the callgrind dump"


def run(args):
    """Every count; returns the JSON-ready result."""
    valgrind = shutil.which("valgrind")
    if not valgrind:
        raise SystemExit("valgrind not found (apt-get install valgrind)")
    version = subprocess.run([valgrind, "--version"], stdout=subprocess.PIPE,
                             universal_newlines=True).stdout.strip()
    python = args.python or sys.executable
    have = installed(python)
    started = time.time()
    results = []
    folder = tempfile.mkdtemp(prefix="vkcondb-callgrind-")
    try:
        db = os.path.join(folder, "fetch.db")
        build_table(db, args.rows)
        jobs = []
        for path_name, per, drivers in PATHS:
            n = args.rows if per == "row" else args.calls
            for driver in drivers:
                entry = {"path": path_name, "driver": driver, "per": per, "n": n,
                         "instructions": None, "per_item": None, "error": None}
                results.append(entry)
                if have.get(driver) is None:
                    entry["error"] = "not installed"
                    continue
                if path_name.startswith("fetch"):
                    target = db
                elif path_name == "execute+fetchone":
                    target = ":memory:"
                else:
                    target = os.path.join(folder, "%s-%s.db" % (driver, len(jobs)))
                jobs.append((entry, target, n))
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            futures = [(entry, pool.submit(count_one, valgrind, python, entry["path"],
                                           entry["driver"], target, n, folder, args.timeout))
                       for entry, target, n in jobs]
            for entry, future in futures:
                total, error = future.result()
                entry["instructions"], entry["error"] = total, error
                if total is not None:
                    entry["per_item"] = total / float(entry["n"])
                if not args.json:
                    sys.stderr.write("  %-18s %-8s %s\n" % (
                        entry["path"], entry["driver"],
                        "%.0f instructions a %s" % (entry["per_item"], entry["per"])
                        if total is not None else error))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return {
        "rows": args.rows, "calls": args.calls, "valgrind": version,
        "python": python, "drivers": have, "reference": REFERENCE,
        "seconds": round(time.time() - started, 1), "results": results,
    }


def print_table(data):
    present = [d for d in DRIVERS if data["drivers"].get(d) is not None]
    print("instructions per row (per call for the calls), callgrind; %d rows, %d calls; %s"
          % (data["rows"], data["calls"], data["valgrind"]))
    head = "%-18s" % "path" + "".join("%12s" % d for d in present) + "%14s" % "vk/sqlite3"
    print(head)
    by = {(r["path"], r["driver"]): r for r in data["results"]}
    for path_name, per, drivers in PATHS:
        cells = []
        for d in present:
            r = by.get((path_name, d))
            if r is None:
                cells.append("%12s" % "-")
            elif r["per_item"] is None:
                cells.append("%12s" % "failed")
            else:
                cells.append("%12.0f" % r["per_item"])
        vk = by.get((path_name, "vkcondb"))
        # executebatch is another way to insert the same rows: against
        # sqlite3's executemany.
        ref = by.get((path_name if path_name != "executebatch" else "executemany", REFERENCE))
        ratio = "-"
        if vk and ref and vk["per_item"] and ref["per_item"]:
            ratio = "%.2f" % (vk["per_item"] / ref["per_item"])
        print("%-18s" % path_name + "".join(cells) + "%14s" % ratio)
    for r in data["results"]:
        if r["error"] and r["error"] != "not installed":
            print("  %s %s: %s" % (r["driver"], r["path"], r["error"]))
    missing = [d for d in DRIVERS if data["drivers"].get(d) is None]
    if missing:
        print("not installed: %s" % ", ".join(missing))
    print("vk/sqlite3: vkcondb's count / sqlite3's (executebatch: against sqlite3 "
          "executemany); below 1 is fewer instructions")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--child"]:
        if len(argv) != 5:
            raise SystemExit("--child PATH DRIVER DB N")
        return child(argv[1], argv[2], argv[3], int(argv[4]))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20000, help="rows of a row path (20000)")
    parser.add_argument("--calls", type=int, default=5000,
                        help="calls of a call path (5000)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="children under valgrind at once (the cores); counts do not "
                             "depend on it")
    parser.add_argument("--python", help="the interpreter of the children (this one)")
    parser.add_argument("--timeout", type=int, default=900,
                        help="seconds for one child (900)")
    parser.add_argument("--json", action="store_true", help="print JSON, not the table")
    args = parser.parse_args(argv)
    if args.rows < 1 or args.calls < 1:
        parser.error("--rows and --calls must be at least 1")
    data = run(args)
    if args.json:
        print(json.dumps(data, indent=1, sort_keys=True))
    else:
        print_table(data)
        print("took %.0f s" % data["seconds"])
    return 1 if any(r["error"] and r["error"] != "not installed"
                    for r in data["results"]) else 0


if __name__ == "__main__":
    sys.exit(main())

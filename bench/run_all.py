"""Run every benchmark of vkcondb and print one table of time ratios.

Each bench runs as a child process of the bench interpreter
(build/bench-venv/bin/python when it exists, else this one; --python picks
another):

  embedded engine (SQLite)     bench/fetch.py, bench/insert.py, bench/calls.py
  PostgreSQL (private server)  bench/pg_fetch.py, bench/pg_insert.py

and whatever peers that interpreter has are timed by them (sqlite3, apsw;
psycopg, psycopg2, asyncpg; the C floors where they compile).  Their
printed tables are read back and put into one table: a row per scenario, a
column per driver, each cell the driver's best time divided by the row's
reference time (below 1.00 is faster).  The reference is sqlite3 on the
embedded engine and the fastest peer of the row on PostgreSQL.  Peak memory
shows on its own row where a bench measures it.  A bench that fails shows
as a row saying so, with its last error line; the other benches still run.

    python bench/run_all.py                  # the full run, a few minutes
    python bench/run_all.py --quick          # a smoke run, well under a minute
    python bench/run_all.py --markdown --write BENCHMARKS.md

--write FILE replaces the part of FILE between the two marker lines
(BEGIN_MARK, END_MARK) with the Markdown table, keeping the rest of the
file; a file without them gets the table at its end.  --callgrind adds
bench/callgrind_counts.py's instruction counts (valgrind) as rows of their
own.  Exits 1 when a bench failed, else 0.
"""
import argparse
import collections
import datetime
import json
import os
import platform
import re
import shlex
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BENCH_VENV_PYTHON = os.path.join(ROOT, "build", "bench-venv", "bin", "python")

# The environment of every child; --vkcondb puts a folder ahead of the
# interpreter's own path.
CHILD_ENV = None

BEGIN_MARK = "<!-- run_all table: begin -->"
END_MARK = "<!-- run_all table: end -->"

EMBEDDED, POSTGRES, CALLGRIND = "embedded", "postgres", "callgrind"

# Columns: vkcondb first, then the peers, then the C floor; a driver not
# known here goes at the end.
DRIVER_ORDER = ["vkcondb", "sqlite3", "apsw", "psycopg", "psycopg binary",
                "psycopg2", "asyncpg", "C floor"]
NOT_PEERS = ("vkcondb", "C floor")
SCENARIO_ORDER = ["fetchall", "fetchmany(1000)", "executemany", "executebatch",
                  "execute+fetchone", "execute insert"]
# A row with no peer of its own is compared with the reference of another.
REFERENCE_FALLBACK = {"fetchmany(1000)": "fetchall"}
BULK = "executebatch"     # the row where each peer shows its fastest insert
COPY = "copy"             # a peer's COPY: shown in the BULK row only

# The label of a way as the benches print it: driver, an optional
# implementation in brackets, then the method.
LABEL_RE = re.compile(r"^(C floor|vkcondb|sqlite3|apsw|psycopg2|psycopg|asyncpg)\b\s*"
                      r"(\([^)]*\))?\s*(.*)$")
DRIVER_NAME_RE = re.compile(r"vkcondb|sqlite3|apsw|psycopg2|psycopg|asyncpg")
# "label   0.123s ..." or "label   0.123 s ...": a way and its best time.
TIME_LINE_RE = re.compile(r"^\s*(\S.*?)\s{2,}(\d+(?:\.\d+)?)\s?s(?=\s|$)(.*)$")
TIME_TOKEN_RE = re.compile(r"(\d+(?:\.\d+)?)s(?=\s|$)")
# "label   status text": a way with no time (not installed, FAILED: ...).
STATUS_LINE_RE = re.compile(r"^\s*(\S.*?)\s{2,}(\S.*)$")


# ---------------------------------------------------------------------------
# The benches


class Bench:
    """One bench script: `args(options)` gives its command line arguments,
    `n(options)` how many rows or calls a way handles."""

    def __init__(self, name, engine, script, count_option, count_attr, unit):
        self.name, self.engine, self.script = name, engine, script
        self.count_option, self.count_attr, self.unit = count_option, count_attr, unit

    def n(self, opts):
        return getattr(opts, self.count_attr)

    def args(self, opts):
        out = [os.path.join("bench", self.script), self.count_option, str(self.n(opts))]
        if opts.repeat:
            out += ["--repeat", str(opts.repeat)]
        if self.script == "pg_fetch.py" and opts.no_memory:
            out.append("--no-memory")
        return out


BENCHES = [
    Bench("fetch", EMBEDDED, "fetch.py", "--rows", "fetch_rows", "rows"),
    Bench("insert", EMBEDDED, "insert.py", "--rows", "insert_rows", "rows"),
    Bench("calls", EMBEDDED, "calls.py", "--calls", "calls", "calls"),
    Bench("pg_fetch", POSTGRES, "pg_fetch.py", "--rows", "pg_fetch_rows", "rows"),
    Bench("pg_insert", POSTGRES, "pg_insert.py", "--insert-rows", "pg_insert_rows", "rows"),
]

FULL = {"fetch_rows": 1000000, "insert_rows": 1000000, "calls": 200000,
        "pg_fetch_rows": 1000000, "pg_insert_rows": 100000, "runs": 2,
        "cg_rows": 20000, "cg_calls": 5000}
QUICK = {"fetch_rows": 20000, "insert_rows": 20000, "calls": 20000,
         "pg_fetch_rows": 20000, "pg_insert_rows": 5000, "runs": 1, "repeat": 2,
         "cg_rows": 2000, "cg_calls": 500}


class Outcome:
    """What one run of one bench gave: `ways` (list of Way), `failed` (the
    error text when the bench gave no usable table), `notes`, `meta`."""

    def __init__(self, bench, n, command):
        self.bench, self.n, self.command = bench, n, command
        self.ways, self.notes, self.meta = [], [], {}
        self.failed, self.rc, self.seconds = None, None, 0.0


class Way:
    """One driver's result in one scenario: `seconds` or `status` (why
    there is no time: 'not installed ...', 'FAILED: ...'); `mb` is the
    peak memory growth where the bench measured it; `via` names the way a
    cell of the BULK row took."""

    def __init__(self, engine, scenario, driver, label, seconds=None, status=None,
                 mb=None, n=None, unit="rows"):
        self.engine, self.scenario, self.driver, self.label = engine, scenario, driver, label
        self.seconds, self.status, self.mb, self.n, self.unit = seconds, status, mb, n, unit
        self.via = None

    def __repr__(self):
        return "Way(%r, %r, %r, %r, %r)" % (self.engine, self.scenario, self.driver,
                                           self.seconds, self.status)


# ---------------------------------------------------------------------------
# Reading a bench's printed output


def last_line(text):
    """The last line of `text` that says something, without the
    progress lines of the PostgreSQL benches."""
    lines = [l.strip() for l in (text or "").splitlines()
             if l.strip() and not re.match(r"\s*round \d+\s", l)]
    return lines[-1] if lines else ""


def classify(label):
    """(scenario, driver) of a way's label, or None when it is no way."""
    m = LABEL_RE.match(label.strip())
    if not m:
        return None
    driver, method = m.group(1), m.group(3).strip()
    words = method.split()
    if driver == "psycopg" and words and words[-1] in ("text", "binary"):
        if words[-1] == "binary":
            driver = "psycopg binary"
        words = words[:-1]
        method = " ".join(words)
    if driver == "C floor" and "executemany" in method:
        return "executemany", driver
    if driver == "C floor":
        if method == "executemany":  # the embedded insert's floor
            return method, driver
        # The floor reads everything into one result, or row by row (as a
        # streaming fetchmany loop does).
        return ("fetchmany(1000)" if "single" in method else "fetchall"), driver
    if method in ("fetch", "fetchall") or method.startswith("fetchall "):
        return "fetchall", driver
    if method.startswith("fetchmany"):
        return method.split()[0], driver
    if method in ("executemany", "executebatch"):
        return method, driver
    if "copy" in method:
        return COPY, driver
    if method == "select+fetchone":
        return "execute+fetchone", driver
    if method == "insert":
        return "execute insert", driver
    return (method or "?"), driver


def matrix_columns(header, line, count):
    """The driver names of the `count` time columns of a matrix table: the
    header's word above each time (the columns are right-aligned), else
    the first distinct driver names of the header in their order."""
    names = []
    prev_end = 0
    for m in TIME_TOKEN_RE.finditer(line):
        above = header[prev_end:m.end()].split()
        prev_end = m.end()
        word = above[-1] if above else ""
        names.append(word if DRIVER_NAME_RE.fullmatch(word) else None)
    if len(names) == count and all(names) and len(set(names)) == count:
        return names
    ordered = []
    for m in DRIVER_NAME_RE.finditer(header):
        if m.group(0) not in ordered:
            ordered.append(m.group(0))
    return ordered[:count] if len(ordered) >= count else None


def parse_output(stdout, engine, n=None, unit="rows"):
    """The ways found in a bench's printed output, and its notes (targets,
    memory failures).

    Three shapes are read: a matrix (a header naming the drivers, then a
    line per method holding one time per driver: bench/fetch.py); a table
    with a header starting "way" and a line per way, time or status
    (the PostgreSQL benches); and loose "label  0.123 s" lines
    (bench/insert.py, bench/calls.py)."""
    lines = stdout.splitlines()
    ways, notes, seen = [], [], set()

    def add(label, **kw):
        if label in seen:
            return
        found = classify(label)
        if found is None:
            return
        seen.add(label)
        scenario, driver = found
        ways.append(Way(engine, scenario, driver, label, n=n, unit=unit, **kw))

    header = None
    table_kind = None
    for line in lines:
        stripped = line.strip()
        if not stripped:
            table_kind = None
            continue
        times = TIME_TOKEN_RE.findall(line)
        words = stripped.split()
        if words[0] in ("way", "method") and not times:
            header = line
            # A header naming two or more drivers heads a matrix.
            table_kind = ("matrix" if len(set(DRIVER_NAME_RE.findall(line))) >= 2
                          else "ways")
            continue
        if table_kind == "matrix" and len(times) >= 1:
            cols = matrix_columns(header, line, len(times))
            method = TIME_TOKEN_RE.split(line)[0].strip()
            if cols and method:
                for driver, t in zip(cols, times):
                    add("%s %s" % (driver, method), seconds=float(t))
                continue
        m = TIME_LINE_RE.match(line)
        if m and not stripped.startswith(("run took", "ratio", "speed", "took")):
            label, t, rest = m.group(1), float(m.group(2)), m.group(3)
            mb = None
            if table_kind == "ways" and header and "peak" in header:
                tokens = rest.split()
                # way, best, rows/s, ratio, peak +MB
                if len(tokens) >= 3:
                    try:
                        mb = float(tokens[2])
                    except ValueError:
                        mb = None
            add(label, seconds=t, mb=mb)
            continue
        if table_kind == "ways":
            m = STATUS_LINE_RE.match(line)
            if m and LABEL_RE.match(m.group(1)):
                add(m.group(1), status=m.group(2).strip())
                continue
        if "peak memory of" in stripped and "failed" in stripped:
            notes.append(stripped)
        elif re.search(r"\btarget\b", stripped) and re.search(r"\b(met|missed)\b", stripped):
            notes.append(stripped)
    return ways, notes


def add_bulk_cells(ways):
    """The BULK row: each peer's fastest way of inserting the rows
    (executemany, or COPY where the bench has it), since executebatch is
    vkcondb's own.  COPY ways leave the table through here."""
    out = [w for w in ways if w.scenario != COPY]
    have = set((w.engine, w.driver) for w in ways if w.scenario == BULK)
    engines_with_bulk = set(w.engine for w in ways if w.scenario == BULK)
    best = {}
    for w in ways:
        if (w.scenario not in ("executemany", COPY) or w.driver in NOT_PEERS
                or w.seconds is None or w.engine not in engines_with_bulk
                or (w.engine, w.driver) in have):
            continue
        key = (w.engine, w.driver)
        if key not in best or w.seconds < best[key].seconds:
            best[key] = w
    for (engine, driver), w in sorted(best.items()):
        cell = Way(engine, BULK, driver, w.label, seconds=w.seconds, n=w.n, unit=w.unit)
        if w.scenario == COPY:
            m = LABEL_RE.match(w.label)
            cell.via = m.group(3) if m else w.label
        out.append(cell)
    return out


def run_bench(bench, opts, python):
    """Run one bench; never raises for a failure of the bench."""
    cmd = [python] + bench.args(opts)
    out = Outcome(bench, bench.n(opts), cmd)
    started = time.time()
    stdout, stderr, rc = run_child(cmd, opts.timeout)
    out.seconds = time.time() - started
    if opts.verbose:
        sys.stderr.write(stderr)
    if rc is None:
        # timed out or could not start: `stderr` says which
        out.ways, _ = parse_output(stdout, bench.engine, out.n, bench.unit)
        out.failed = stderr
        return out
    collect(out, stdout, stderr, rc)
    return out


def run_child(cmd, timeout):
    """(stdout, stderr, exit code) of `cmd` run from the top of the tree;
    the exit code is None when it could not start or ran out of time, and
    stderr then says so.  A child out of time gets SIGINT first, so that
    its finally blocks stop the servers it started, then SIGKILL for its
    whole process group."""
    try:
        child = subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, universal_newlines=True,
                                 start_new_session=True, env=CHILD_ENV)
    except OSError as exc:
        return "", "cannot run: %s" % exc, None
    try:
        stdout, stderr = child.communicate(timeout=timeout)
        return stdout, stderr, child.returncode
    except subprocess.TimeoutExpired:
        pass
    child.send_signal(signal.SIGINT)
    try:
        stdout, _ = child.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except OSError:
            pass
        stdout, _ = child.communicate()
    return stdout or "", "timed out after %d s" % timeout, None


def signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def collect(out, stdout, stderr, rc):
    """Fill `out` from a finished bench's output.  A bench that printed
    no way, or died with a traceback, has failed; an exit code of 1 with
    a table is a missed target, not a failure."""
    bench = out.bench
    out.rc = rc
    out.ways, out.notes = parse_output(stdout, bench.engine, out.n, bench.unit)
    m = re.search(r"^PostgreSQL (\S+)", stdout, re.M)
    if m:
        out.meta["postgres"] = m.group(1)
    crashed = "Traceback (most recent call last)" in (stderr or "") or rc < 0
    if rc != 0 and (crashed or not out.ways):
        if rc < 0:
            # killed: where it was (its last progress line) says the most
            lines = [l.strip() for l in (stderr or "").splitlines() if l.strip()]
            why = "killed by %s after: %s" % (signal_name(-rc), lines[-1] if lines else
                                               last_line(stdout) or "no output")
        else:
            why = "exit %d: %s" % (rc, last_line(stderr) or last_line(stdout) or "no output")
        out.failed = why
    elif not out.ways:
        out.failed = "no result found in its output: %s" % (last_line(stdout) or "none")


# ---------------------------------------------------------------------------
# The table


def median(values):
    values = sorted(values)
    k = len(values)
    if not k:
        return None
    return values[k // 2] if k % 2 else (values[k // 2 - 1] + values[k // 2]) / 2.0


def fmt_n(n, unit):
    return "{:,} {}".format(n, unit) if n else ""


def reference_of(engine, scenario, cells):
    """(driver, seconds) of the reference of a row in one run: sqlite3 on
    the embedded engine, else (and when sqlite3 has no time) the fastest
    peer.  `cells` maps driver to Way."""
    if engine in (EMBEDDED, CALLGRIND):
        w = cells.get("sqlite3")
        if w is not None and w.seconds:
            return "sqlite3", w.seconds
    peers = [(w.seconds, d) for d, w in cells.items()
             if d not in NOT_PEERS and w.seconds]
    if not peers:
        return None
    t, d = min(peers)
    return d, t


def order_key(order, name):
    return (order.index(name), "") if name in order else (len(order), name)


class Table:
    """Sections (engines) of rows (scenarios) of cells (drivers), built
    from every run's outcomes."""

    def __init__(self, runs, callgrind=None):
        self.runs = runs
        self.sections = []        # (engine, title, rows)
        self.failures = []        # (engine, command, text)
        self.notes = []           # lines the benches printed beside their tables
        self.drivers = []
        self.counts = {}          # (scenario, driver): instructions, for CALLGRIND
        self.build(callgrind)

    def build(self, callgrind):
        per_run = []              # per run: {(engine, scenario): {driver: Way}}
        drivers, meta = set(), {}
        failed_benches = collections.OrderedDict()
        for k, outcomes in enumerate(self.runs):
            grid = {}
            ways = []
            for o in outcomes:
                meta.update(o.meta)
                if o.failed:
                    failed_benches.setdefault((o.bench.engine, o.bench.name), (o, []))
                    failed_benches[(o.bench.engine, o.bench.name)][1].append(o.failed)
                ways.extend(o.ways)
                if k == len(self.runs) - 1:     # what the benches said, last run
                    self.notes.extend(n for n in o.notes if n not in self.notes)
            for w in add_bulk_cells(ways):
                grid.setdefault((w.engine, w.scenario), {})[w.driver] = w
                if w.seconds is not None or (w.status or "").startswith("FAILED"):
                    drivers.add(w.driver)
            per_run.append(grid)
        self.meta = meta

        for (engine, name), (o, texts) in failed_benches.items():
            text = texts[-1]
            if len(texts) < len(self.runs):
                text += " (in %d of %d runs)" % (len(texts), len(self.runs))
            elif len(self.runs) > 1:
                text += " (every run)"
            self.failures.append((engine, " ".join(o.command[1:]), text))

        if callgrind is not None:
            # counted once: they go with the first run only
            if not per_run:
                per_run.append({})
            for w in callgrind_ways(callgrind):
                drivers.add(w.driver)
                if w.seconds is not None:
                    self.counts[(w.scenario, w.driver)] = w.seconds
                per_run[0].setdefault((w.engine, w.scenario), {})[w.driver] = w

        drivers.add("vkcondb")
        self.drivers = sorted(drivers, key=lambda d: order_key(DRIVER_ORDER, d))
        # why a driver has no column at all (not installed, not built)
        for grid in per_run:
            for cells in grid.values():
                for d, w in cells.items():
                    note = "%s: %s" % (d, w.status)
                    if d not in drivers and w.status and note not in self.notes:
                        self.notes.append(note)

        keys = set()
        for grid in per_run:
            keys.update(grid)
        for engine in (EMBEDDED, POSTGRES, CALLGRIND):
            scenarios = sorted(set(s for e, s in keys if e == engine),
                               key=lambda s: order_key(SCENARIO_ORDER, s))
            failures = [f for f in self.failures if f[0] == engine]
            if not scenarios and not failures:
                continue
            rows = [self.make_row(engine, s, per_run) for s in scenarios]
            self.sections.append((engine, self.section_title(engine), rows))

    def section_title(self, engine):
        if engine == EMBEDDED:
            return "embedded engine (SQLite): time / sqlite3's time"
        if engine == POSTGRES:
            version = self.meta.get("postgres")
            return ("PostgreSQL%s: time / the fastest peer's time"
                    % (" " + version if version else ""))
        return "embedded engine, instructions per row (callgrind): count / sqlite3's count"

    def make_row(self, engine, scenario, per_run):
        ratios = {}               # driver: [ratio of each run]
        mbs = {}                  # driver: [MB of each run]
        statuses = {}             # driver: last status text
        refs = []                 # (driver, seconds) of each run
        n = unit = None
        via = {}
        for grid in per_run:
            cells = grid.get((engine, scenario), {})
            ref = reference_of(engine, scenario, cells)
            if ref is None and scenario in REFERENCE_FALLBACK:
                other = grid.get((engine, REFERENCE_FALLBACK[scenario]), {})
                ref = reference_of(engine, REFERENCE_FALLBACK[scenario], other)
                if ref is not None:
                    ref = ("as " + REFERENCE_FALLBACK[scenario], ref[1])
            if ref is not None:
                refs.append(ref)
            for d, w in cells.items():
                n, unit = w.n or n, w.unit or unit
                if w.via and w.via != scenario:
                    via[d] = w.via
                if w.seconds is not None and ref is not None:
                    ratios.setdefault(d, []).append(w.seconds / ref[1])
                elif w.status:
                    statuses[d] = w.status
                if w.mb is not None:
                    mbs.setdefault(d, []).append(w.mb)
        row = {"scenario": scenario, "n": fmt_n(n, unit), "ratios": ratios, "mb": mbs,
               "status": statuses, "via": via, "reference": None, "best": None,
               "engine": engine}
        if refs:
            names = [r[0] for r in refs]
            name = max(set(names), key=names.count)
            secs = median([r[1] for r in refs])
            if engine == CALLGRIND:
                row["reference"] = "%s %s instr/%s" % (name, "{:,.0f}".format(secs),
                                                      (unit or "row").rstrip("s"))
            else:
                row["reference"] = "%s %s" % (name, fmt_seconds(secs))
        peers = [(median(v), d) for d, v in ratios.items() if d not in NOT_PEERS]
        if peers:
            r, d = min(peers)
            row["best"] = (d, r)
        return row


def callgrind_ways(data):
    """The ways of bench/callgrind_counts.py's JSON, counts standing in for
    seconds, as the CALLGRIND section."""
    ways = []
    for r in data.get("results", []):
        scenario = r["path"]
        if r.get("per_item") is not None:
            w = Way(CALLGRIND, scenario, r["driver"], r["driver"] + " " + scenario,
                    seconds=r["per_item"], n=r.get("n"), unit=r.get("per", "row") + "s")
        elif r.get("error") == "not installed" and r["driver"] != "vkcondb":
            continue
        else:
            w = Way(CALLGRIND, scenario, r["driver"], r["driver"] + " " + scenario,
                    status="FAILED: %s" % r.get("error"), n=r.get("n"),
                    unit=r.get("per", "row") + "s")
        ways.append(w)
    # executebatch against the peers' executemany, as in the timed rows
    extra = [w for w in ways if w.scenario == "executemany" and w.driver != "vkcondb"]
    for w in extra:
        ways.append(Way(CALLGRIND, BULK, w.driver, w.label, seconds=w.seconds,
                        status=w.status, n=w.n, unit=w.unit))
    return ways


def fmt_seconds(s):
    if s >= 100:
        return "%.0f s" % s
    if s >= 1:
        return "%.2f s" % s
    return "%.3f s" % s


def fmt_ratio(values, with_range):
    value = "%.2f" % median(values)
    if with_range and len(values) > 1:
        value += " [%.2f-%.2f]" % (min(values), max(values))
    return value


def table_rows(table):
    """The rows of the table as lists of cell texts: ('head', cells),
    ('section', title), ('row', cells), ('fail', text); and the
    footnotes."""
    head = ["scenario", "n", "reference"] + ["vkcondb", "best peer"] + \
        [d for d in table.drivers if d != "vkcondb"]
    out = [("head", head)]
    marks = {}
    notes = []

    def mark(text):
        if text not in marks:
            marks[text] = " (%s)" % "abcdefghijklmnopqrstuvwxyz"[len(marks) % 26]
            notes.append("%s %s" % (marks[text].strip(), text))
        return marks[text]

    for engine, title, rows in table.sections:
        out.append(("section", title))
        for row in rows:
            cells = [row["scenario"], row["n"], row["reference"] or "-"]
            for d in ["vkcondb", None] + [d for d in table.drivers if d != "vkcondb"]:
                if d is None:
                    best = row["best"]
                    cells.append("%s %.2f" % best if best else "-")
                    continue
                text = cell_text(row, d, table, mark)
                cells.append(text)
            out.append(("row", cells))
            if row["mb"]:
                mb_cells = [row["scenario"] + " peak +MB", "", "(MB, not a ratio)"]
                for d in ["vkcondb", None] + [d for d in table.drivers if d != "vkcondb"]:
                    values = row["mb"].get(d) if d else None
                    mb_cells.append("%.1f" % median(values) if values else "")
                out.append(("row", mb_cells))
        for f_engine, command, text in table.failures:
            if f_engine == engine:
                out.append(("fail", "%s FAILED: %s" % (command, text)))
    return out, notes


def cell_text(row, d, table, mark):
    with_range = d == "vkcondb" and len(table.runs) > 1
    if d in row["ratios"]:
        text = fmt_ratio(row["ratios"][d], with_range)
        if row["via"].get(d):
            text += mark("%s: %s's time is that of its %s" % (row["scenario"], d, row["via"][d]))
        count = table.counts.get((row["scenario"], d))
        if row["engine"] == CALLGRIND and count is not None:
            text += " (%s)" % "{:,.0f}".format(count)
        return text
    status = row["status"].get(d)
    if status is None:
        return ""
    if status.startswith("FAILED"):
        note = "%s %s: %s" % (d, row["scenario"], status)
        if note not in table.notes:
            table.notes.append(note)
        return "FAILED"
    note = "%s: %s" % (d, status)
    if note not in table.notes:
        table.notes.append(note)
    return "n/a"


def render_text(lines):
    rows = [cells for kind, cells in lines if kind in ("head", "row")]
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    out = []
    for kind, cells in lines:
        if kind in ("head", "row"):
            parts = [cells[0].ljust(widths[0]), cells[1].rjust(widths[1]),
                     cells[2].ljust(widths[2])]
            parts += [c.rjust(w) for c, w in zip(cells[3:], widths[3:])]
            out.append("  ".join(parts).rstrip())
            if kind == "head":
                out.append("-" * len(out[-1]))
        elif kind == "section":
            if out[-1].strip("-"):
                out.append("")
            out.append("== %s" % cells)
        else:
            out.append("  %s" % cells)
    return out


def md_escape(text):
    return text.replace("|", "\\|").replace("*", "\\*")


def render_markdown(lines):
    head = lines[0][1]
    width = len(head)
    out = ["| " + " | ".join(md_escape(c) for c in head) + " |",
           "|" + "|".join([":---", "---:", ":---"] + ["---:"] * (width - 3)) + "|"]
    for kind, cells in lines[1:]:
        if kind == "row":
            out.append("| " + " | ".join(md_escape(c) for c in cells) + " |")
        elif kind == "section":
            out.append("| **%s** |" % md_escape(cells) + " |" * (width - 1))
        else:
            out.append("| %s |" % md_escape(cells) + " |" * (width - 1))
    return out


# ---------------------------------------------------------------------------
# The machine and the drivers


PROBE = r"""
import json, os, platform, sys
out = {"python": platform.python_version(), "executable": sys.executable}
def attempt(name, how):
    try:
        out[name] = how()
    except ImportError as exc:
        out[name] = None if getattr(exc, "name", None) == name.split()[0] else "not importable: %s" % exc
    except Exception as exc:
        out[name] = "not importable: %s: %s" % (type(exc).__name__, exc)
def vk():
    import vkcondb
    out["vkcondb_dir"] = os.path.dirname(os.path.abspath(vkcondb.__file__))
    where = os.path.dirname(out["vkcondb_dir"])
    conn = vkcondb.connect()
    cur = conn.cursor()
    cur.execute("select sqlite_version()")
    lite = cur.fetchall()[0][0]
    conn.close()
    return "from %s, SQLite %s" % (where, lite)
def lite():
    import sqlite3
    return "SQLite %s" % sqlite3.sqlite_version
def aw():
    import apsw
    return "%s, SQLite %s" % (apsw.apswversion(), apsw.sqlite_lib_version())
def pg3():
    import psycopg
    v = psycopg.pq.version()
    return "%s (%s implementation, libpq %d.%d)" % (psycopg.__version__, psycopg.pq.__impl__, v // 10000, v % 10000)
def pg2():
    import psycopg2
    v = psycopg2.__libpq_version__
    return "%s (libpq %d.%d)" % (psycopg2.__version__.split()[0], v // 10000, v % 10000)
def apg():
    import asyncpg
    return asyncpg.__version__
for name, how in (("vkcondb", vk), ("sqlite3", lite), ("apsw", aw), ("psycopg", pg3),
                  ("psycopg2", pg2), ("asyncpg", apg)):
    attempt(name, how)
print(json.dumps(out))
"""


def probe(python):
    """The bench interpreter's version and drivers, or {'error': ...}."""
    try:
        done = subprocess.run([python, "-c", PROBE], stdout=subprocess.PIPE, env=CHILD_ENV,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    except (OSError, subprocess.SubprocessError) as exc:
        return {"error": str(exc)}
    if done.returncode != 0:
        return {"error": last_line(done.stderr)}
    try:
        return json.loads(done.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"error": "unreadable: %s" % last_line(done.stdout)}


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def memory_gib():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / 1024.0 / 1024.0
    except (OSError, ValueError):
        pass
    return None


def load_average():
    try:
        return os.getloadavg()[0]
    except (OSError, AttributeError):
        return None


def git_describe():
    """The commit, and whether the work tree differs from it; read only
    (no optional locks: the index is left as it is)."""
    env = dict(os.environ, GIT_OPTIONAL_LOCKS="0")
    try:
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              universal_newlines=True, timeout=30).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"],
                               cwd=ROOT, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, universal_newlines=True,
                               timeout=60).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return None
    if not head:
        return None
    return head + (" with uncommitted changes" if dirty else "")


def build_stamp(folder):
    """The newest modification time of the files of vkcondb's package
    folder, to tell a rebuild in the middle of a run."""
    if not folder or not os.path.isdir(folder):
        return None
    times = []
    for name in os.listdir(folder):
        try:
            times.append(os.stat(os.path.join(folder, name)).st_mtime)
        except OSError:
            pass
    return max(times) if times else None


def header_lines(ctx, opts):
    """The lines above the table; `ctx` holds what main() saw: info (the
    probe), python, seconds, load_start, load_end, when, commit, rebuilt."""
    info = ctx["info"]
    cores = os.cpu_count() or 0
    mem = memory_gib()
    machine = "%s, %d core%s" % (cpu_model(), cores, "" if cores == 1 else "s")
    if mem:
        machine += ", %.1f GiB" % mem
    machine += ", %s %s" % (platform.system(), platform.release())
    loads = [("%.1f at start" % ctx["load_start"]) if ctx.get("load_start") is not None else None,
             ("%.1f at end" % ctx["load_end"]) if ctx.get("load_end") is not None else None]
    loads = [l for l in loads if l]
    if loads:
        machine += "; load average %s" % ", ".join(loads)
    py = info.get("python") or "?"
    lines = ["date: %s" % ctx["when"].strftime("%Y-%m-%d %H:%M UTC")]
    if ctx.get("commit"):
        lines.append("commit: %s" % ctx["commit"])
    lines.append("machine: %s" % machine)
    lines.append("python: %s (%s)" % (py, rel(ctx["python"])))
    if "error" in info:
        lines.append("drivers: the interpreter could not be asked: %s" % info["error"])
    else:
        pieces, absent = [], []
        for name in ("vkcondb", "sqlite3", "apsw", "psycopg", "psycopg2", "asyncpg"):
            value = info.get(name)
            if value is None:
                absent.append(name)
            else:
                pieces.append("%s %s" % (name, value.replace(ROOT + os.sep, "")))
        if absent:
            pieces.append("not installed: %s" % ", ".join(absent))
        lines.append("drivers: %s" % "; ".join(pieces))
    if ctx.get("rebuilt"):
        lines.append("WARNING: vkcondb's files changed during the run (a rebuild): "
                     "its rows may mix two builds")
    lines.append("command: %s" % " ".join(shlex.quote(a) for a in opts.command))
    lines.append("runs: %d; took %s" % (opts.runs, fmt_duration(ctx["seconds"])))
    return lines


def rel(path):
    try:
        r = os.path.relpath(path, os.getcwd())
    except ValueError:
        return path
    return path if r.startswith("..") else r


def fmt_duration(s):
    s = int(round(s))
    return "%d min %02d s" % (s // 60, s % 60) if s >= 60 else "%d s" % s


# ---------------------------------------------------------------------------


LEGEND = [
    "Each cell: the driver's best time over the bench's interleaved rounds, divided by "
    "the reference's best time in the same run (below 1.00 is faster); with several runs, "
    "the median of the runs' ratios, and for vkcondb [lowest-highest].",
    "reference: sqlite3 on the embedded engine; on PostgreSQL the fastest peer of the row "
    "(the C floor is not a peer), for fetchmany(1000) that of fetchall (the peers are timed "
    "with fetchall only).  best peer: the fastest driver other than vkcondb.",
    "psycopg: its default (text) cursor; psycopg binary: cursor(binary=True).  "
    "C floor: bench/pg_floor.c, libpq with binary results and no Python objects "
    "(fetchall row: one result; fetchmany row: single-row mode); on the embedded engine "
    "bench/sqlite_insert_floor.c, a C loop of bind, step and reset (executemany row).",
    "executebatch: vkcondb's column-wise insert, against each peer's fastest way of "
    "inserting the same rows (its executemany unless marked).  execute+fetchone, execute insert: per call, "
    "from bench/calls.py.",
    "n/a: driver not installed or not built here; an empty cell: the bench has no such way.",
]


def build_report(runs, ctx, opts, callgrind=None, markdown=False):
    """The whole report as a list of lines (see header_lines for `ctx`)."""
    table = Table(runs, callgrind=callgrind)
    lines, marks = table_rows(table)
    head = header_lines(ctx, opts)
    notes = list(LEGEND) + marks
    if callgrind is not None:
        notes.append("callgrind rows: user-space instructions per row (per call) of the "
                     "whole process, %s; in brackets the counts themselves (bench/"
                     "callgrind_counts.py, %s rows, %s calls)."
                     % (callgrind.get("valgrind", "valgrind"), callgrind.get("rows"),
                        callgrind.get("calls")))
    notes += ["from the benches: %s" % n for n in table.notes]
    if markdown:
        out = ["- %s" % l for l in head] + [""] + render_markdown(lines) + [""]
        out += ["- %s" % md_escape(n) for n in notes]
    else:
        out = head + [""] + render_text(lines) + [""] + notes
    return out


def write_section(path, lines):
    """Replace the part of `path` between BEGIN_MARK and END_MARK (or add
    it at the end) with `lines`."""
    block = [BEGIN_MARK] + lines + [END_MARK]
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        text = "# vkcondb benchmarks\n"
    start, end = text.find(BEGIN_MARK), text.find(END_MARK)
    if start >= 0 and end > start:
        text = text[:start] + "\n".join(block) + text[end + len(END_MARK):]
    else:
        text = text.rstrip("\n") + "\n\n" + "\n".join(block) + "\n"
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def run_callgrind(opts, python):
    """bench/callgrind_counts.py's JSON, or {'error': ..., 'command': ...}."""
    cmd = [python, os.path.join("bench", "callgrind_counts.py"), "--json",
           "--rows", str(opts.cg_rows), "--calls", str(opts.cg_calls)]
    stdout, stderr, rc = run_child(cmd, max(opts.timeout, 3600))
    if rc is None:
        return {"error": stderr, "command": cmd}
    try:
        return json.loads(stdout)
    except ValueError:
        return {"error": "exit %d: %s" % (rc, last_line(stderr) or last_line(stdout)),
                "command": cmd}


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--python", help="the interpreter of the benches (build/bench-venv/bin/"
                                    "python when it exists, else this one)")
    p.add_argument("--vkcondb", metavar="DIR",
                   help="take vkcondb from DIR (a build's python/ folder, such as "
                        "build/dev/python), ahead of what the interpreter has")
    p.add_argument("--quick", action="store_true",
                   help="a smoke run: few rows, 2 rounds, 1 run")
    p.add_argument("--runs", type=int, help="times to run the whole set; cells show the "
                                            "median (2, --quick: 1)")
    p.add_argument("--repeat", type=int,
                   help="rounds within each bench (each bench's own default; --quick: 2)")
    p.add_argument("--fetch-rows", type=int, help="embedded fetch rows (1000000)")
    p.add_argument("--insert-rows", type=int, help="embedded insert rows (1000000)")
    p.add_argument("--calls", type=int, help="calls of bench/calls.py (200000)")
    p.add_argument("--pg-fetch-rows", type=int, help="PostgreSQL fetch rows (1000000)")
    p.add_argument("--pg-insert-rows", type=int, help="PostgreSQL insert rows (100000)")
    p.add_argument("--engine", choices=("embedded", "postgres", "both"), default="both",
                   help="which engine's benches (both)")
    p.add_argument("--only", action="append", choices=[b.name for b in BENCHES],
                   help="run only this bench (repeatable)")
    p.add_argument("--no-memory", action="store_true",
                   help="skip the peak memory runs of pg_fetch.py")
    p.add_argument("--callgrind", action="store_true",
                   help="add instruction counts from bench/callgrind_counts.py (valgrind)")
    p.add_argument("--cg-rows", type=int, help="rows of the callgrind paths (20000)")
    p.add_argument("--cg-calls", type=int, help="calls of the callgrind paths (5000)")
    p.add_argument("--timeout", type=int, default=1800,
                   help="seconds one bench may take (1800)")
    p.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    p.add_argument("--write", metavar="FILE",
                   help="replace the table section of FILE (Markdown) with this table")
    p.add_argument("--verbose", action="store_true", help="pass the benches' stderr through")
    opts = p.parse_args(argv)
    sizes = QUICK if opts.quick else FULL
    for key, value in sizes.items():
        if getattr(opts, key, None) is None:
            setattr(opts, key, value)
    for key in ("runs", "repeat", "fetch_rows", "insert_rows", "calls", "pg_fetch_rows",
                "pg_insert_rows", "cg_rows", "cg_calls"):
        value = getattr(opts, key)
        if value is not None and value < 1:
            p.error("--%s must be at least 1" % key.replace("_", "-"))
    opts.command = ["bench/run_all.py"] + list(argv)
    return opts


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    opts = parse_args(argv)
    python = opts.python or (BENCH_VENV_PYTHON if os.path.exists(BENCH_VENV_PYTHON)
                             else sys.executable)
    if os.sep in python:
        python = os.path.abspath(python)
    global CHILD_ENV
    CHILD_ENV = None
    if opts.vkcondb:
        folder = os.path.abspath(opts.vkcondb)
        if not os.path.isdir(os.path.join(folder, "vkcondb")):
            raise SystemExit("--vkcondb: no vkcondb package in %s" % folder)
        CHILD_ENV = dict(os.environ)
        CHILD_ENV["PYTHONPATH"] = os.pathsep.join(
            [folder] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    opts.command = [rel(python)] + opts.command
    benches = [b for b in BENCHES
               if (opts.engine == "both" or b.engine == opts.engine)
               and (not opts.only or b.name in opts.only)]
    ctx = {"python": python, "when": datetime.datetime.utcnow(), "commit": git_describe(),
           "load_start": load_average()}
    started = time.time()
    info = ctx["info"] = probe(python)
    stamp = build_stamp(info.get("vkcondb_dir"))

    def say(text):
        sys.stderr.write(text + "\n")
        sys.stderr.flush()

    runs = []
    for r in range(opts.runs):
        outcomes = []
        for b in benches:
            say("run %d/%d: %s ..." % (r + 1, opts.runs, " ".join(b.args(opts))))
            o = run_bench(b, opts, python)
            outcomes.append(o)
            say("  %s in %s" % ("FAILED: " + o.failed if o.failed else "done",
                               fmt_duration(o.seconds)))
        runs.append(outcomes)
    callgrind = None
    if opts.callgrind:
        say("callgrind: bench/callgrind_counts.py --rows %d --calls %d ..."
            % (opts.cg_rows, opts.cg_calls))
        callgrind = run_callgrind(opts, python)
        if "error" in callgrind:
            fake = Outcome(Bench("callgrind", CALLGRIND, "callgrind_counts.py", "--rows",
                                 "cg_rows", "rows"), opts.cg_rows, callgrind["command"])
            fake.failed = callgrind["error"]
            runs[-1].append(fake) if runs else runs.append([fake])
            callgrind = None
    ctx["load_end"] = load_average()
    ctx["seconds"] = time.time() - started
    ctx["rebuilt"] = stamp != build_stamp(info.get("vkcondb_dir"))

    report = build_report(runs, ctx, opts, callgrind=callgrind, markdown=opts.markdown)
    print("\n".join(report))
    if opts.write:
        md = report if opts.markdown else build_report(
            runs, ctx, opts, callgrind=callgrind, markdown=True)
        write_section(opts.write, md)
        say("wrote the table into %s" % opts.write)
    failed = any(o.failed for outcomes in runs for o in outcomes)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

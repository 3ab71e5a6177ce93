"""The fault matrix: every library call of a scenario failed in turn, with
every kind of failure the library can give.

A scenario runs once on the scripted engine to learn its calls.  Then, for
each call k and each failure kind that suits that call's operation, it runs
again with exactly call k answering that failure (an injected response: the
calls before it are answered as in the clean run).  Each run must

- end normally or in one of the driver's own exceptions (never a TypeError,
  UnicodeDecodeError, SystemError, MemoryError... and never a crash);
- leave each cursor and connection usable, or saying that it is closed;
- once everything is closed, leave nothing of the library held: no
  connection, address set, result, prepared statement, named server cursor
  or large-object locator;
- not make the engine see a fault of its own (a read of a freed locator...).

Tables, not per-call tests: KINDS says which failures each operation can
give, SCENARIOS which methods run.  `run_matrix` returns one Outcome per run,
`summary` makes the table that tests/faults/summary.py prints.
"""
import collections
import contextlib
import ctypes
import datetime
import gc
import sys

from scripted.helpers import scripted_connect
from vkcondb import Error

# ---- failure kinds ------------------------------------------------------------

# The error text the library hands over for a failure, per kind: a text of
# 255 bytes (the most that fits, all two-byte characters but one), one that is
# not UTF-8 (and an SQLSTATE that is not either), and out lengths that lie.
TEXT_255 = "\u00e9" * 127 + "x"
assert len(TEXT_255.encode()) == 255
NOT_UTF8 = b"\xff\xfe broken \xc3"
ERROR_TEXT = {
    "text255": {"cli_error_text": {"text": TEXT_255}},
    "notutf8": {"cli_error_text": {"text": NOT_UTF8},
                "cli_sqlstate": {"text": b"\xff\xfe\xfd\xfc\xfb"}},
    "errlen0": {"cli_error_text": {"text": "lost", "len": 0}},
    "errlenbig": {"cli_error_text": {"text": "too long", "len": 1 << 30}},
    "errneg": {"cli_error_text": {"ret": -1, "text": "", "len": -1},
               "cli_sqlstate": {"ret": -1, "text": ""}},
}
# The reads of the error text and SQLSTATE that follow a failure answer with
# the kind's text; in the summary they count as failures of those reads.
TEXT_READS = ("cli_error_text", "cli_sqlstate")

BIG = 0x7FFFFFFF


# Per operation, the failures beyond the common ones.  A value is the
# response injected (replacing the call's own) or a pair (response, False)
# laid over the call's own response.
EXTRA = {
    "cli_fetch_row": {"empty": {"ret": 100}, "unknown": {"ret": 7}},
    "cli_next_result": {"empty": {"ret": 100}, "unknown": {"ret": 7}},
    "cli_open_named_cursor": {"empty": {"ret": 0}, "noresult": {"ret": 5}},
    "cli_get_field": {"neg": {"ret": -1, "len": -1},
                      "len0": ({"len": 0}, False),
                      "lenbig": ({"len": 1 << 20}, False)},
    "cli_column_count": {"len0": ({"count": 0}, False),
                         "lenbig": ({"count": 1000}, False),
                         "lenneg": ({"count": -3}, False)},
    "cli_column_size": {"len0": ({"size": 0}, False),
                        "lenbig": ({"size": BIG}, False),
                        "lenneg": ({"size": -7}, False)},
    "cli_column_type": {"unknown": ({"type": 999}, False)},
    "cli_result_info": {"unknown": ({"kind": 77}, False)},
    "cli_sql_kind": {"unknown": {"ret": 77}},
    "cli_column_index": {"empty": {"ret": 0}},
    "cli_exec_routine": {"len0": "outputs-len0", "lenbig": "outputs-lenbig"},
    "cli_lob_read": {},
}

COMMON = {
    "neg": {"ret": -1},
    "lost": {"ret": -4},
    "text255": {"ret": -1},
    "notutf8": {"ret": -1},
    "errlen0": {"ret": -1},
    "errlenbig": {"ret": -1},
    "errneg": {"ret": -1},
}


# Operations whose failure (a negative result) always ends the method in an
# OperationalError: connecting, running, binding a batch column, reading a
# row, making a locator.  A run that carried on would pass a failure off as
# success.  The results of the other operations are examined only where a
# method says so (a failed close gives ProgrammingError, a failed liveness
# check is a False ping...), so for them a driver exception or the
# documented result both stand.
MUST_RAISE = {
    "cli_connect", "cli_connect_multi", "cli_reconnect", "cli_prepare", "cli_exec_direct",
    "cli_exec_prepared", "cli_exec_flush", "cli_exec_batch", "cli_bind_array",
    "cli_exec_routine", "cli_fetch_row", "cli_lob_create", "cli_get_rowid", "cli_column_index",
}
FAILING = set(COMMON)

# The other operations, by what a failure of theirs may end in.  Results the
# driver does not examine (binds whose refusal the next execution reports,
# releases, metadata reads whose out cells decide) leave the method going;
# a failed close says "Pointer in error" (ProgrammingError) only for -1; a
# failed transaction statement is a DatabaseError, a failed liveness check
# a False ping.
NOT_EXAMINED = {
    "cli_bind_param", "cli_bind_param_named", "cli_reset_params", "cli_free_result",
    "cli_lob_free", "cli_lob_read", "cli_column_type", "cli_column_size", "cli_column_count",
    "cli_get_field", "cli_sql_kind", "cli_result_info", "cli_unprepare",
    "cli_close_named_cursor", "cli_next_result",
}
MAY_RAISE = {
    "cli_disconnect": {"ProgrammingError"},
    "cli_free_addr_attrs": {"ProgrammingError"},
    "cli_exec_command": {"DatabaseError", "OperationalError"},
    "cli_column_name": {"OperationalError"},
    "cli_open_named_cursor": {"OperationalError"},
}


def expectation_problem(op, kind, result):
    """Why `result` is not what a failure of `op` documents, or None."""
    if kind not in FAILING:
        return None
    if op in MUST_RAISE:
        ok = result.startswith("Operational")
    elif op in NOT_EXAMINED:
        ok = result == "ok"
    else:
        ok = result == "ok" or result in MAY_RAISE.get(op, ())
    return None if ok else "the failure ended in %s" % result


def kinds_for(op):
    """{kind: (response or marker, replace)} for one operation."""
    out = {}
    for kind, resp in list(COMMON.items()) + list(EXTRA.get(op, {}).items()):
        if isinstance(resp, tuple):
            out[kind] = resp
        else:
            out[kind] = (resp, True)
    return out


# ---- scenarios -----------------------------------------------------------------

ROWS = [
    [b"\x01\0\0\0\0\0\0\0", b"abc", b"blob bytes", {"data": b"x" * 300, "len": 300, "type": 41}],
    [None, None, None, None],
]
COLUMNS = [("n", 6, 8), ("s", 2, 10), ("b", 42, -1), ("c", 2, 10)]
ONE_BIGINT = [("m", 6, 8)]


def int8(v):
    return v.to_bytes(8, "little", signed=True)


class Held(object):
    """What a scenario made, for the probe and the clean-up after it."""

    def __init__(self):
        self.conns = []
        self.cursors = []
        self.pools = []

    def conn(self, c):
        self.conns.append(c)
        return c

    def cursor(self, c):
        self.cursors.append(c)
        return c


def query_and_fetch(script, held):
    script.script("cli_sql_kind", {"ret": 4})
    script.script("cli_exec_direct", {"result": 9})
    script.table(9, COLUMNS, ROWS)
    script.table(9, ONE_BIGINT, [[int8(2)]])
    conn = held.conn(scripted_connect())
    cur = held.cursor(conn.cursor())
    cur.setinputsizes([5, None])
    cur.execute("select ?, ?, ?", (1, "two", datetime.date(2020, 1, 2)))
    cur.description
    cur.getResultcolseq("s")
    cur.getResultRowid()
    cur.fetchone()
    cur.fetchall()
    cur.nextset()
    cur.fetchmany(3)
    cur.getResultcolname(1)
    cur.close()
    conn.close()


def named_parameters(script, held):
    script.script("cli_sql_kind", {"ret": 4})
    script.script("cli_exec_direct", {"result": 5})
    script.table(5, ONE_BIGINT, [[int8(7)], [int8(8)]])
    conn = held.conn(scripted_connect())
    cur = held.cursor(conn.cursor())
    cur.setinputtype([5, 2])
    cur.execute("select :a, :b, :c", {"a": 1, "b": "x", "c": None})
    cur.fetchmany(1)
    cur.fetchone()
    cur.execute("update t set a = :a", {"a": 2.5})
    cur.close()
    conn.close()


def many_and_batch(script, held):
    # The last set's run leaves a result: the batch after it gives that back
    # with the prepared statement.
    script.script("cli_exec_prepared", {}, {}, {"result": 21})
    script.table(21, ONE_BIGINT, [[int8(4)]])
    conn = held.conn(scripted_connect())
    cur = held.cursor(conn.cursor())
    cur.executemany("insert", [(1, 1.5), (2, None), {"k": b"v"}])
    cur.fetchall()
    cur.executebatch("insert", [[1, 2], ["a", None], [1.5, 2.5], [b"", b"x"],
                                [datetime.datetime(2020, 1, 2, 3, 4, 5), None]])
    conn.commit()
    cur.close()
    conn.close()


def transactions(script, held):
    # A host list connects through the multi-address call; the second ping
    # finds the connection lost and reconnects.
    from vkcondb import _pyvkdb37 as m
    script.script("cli_exec_command", {}, {}, {}, {}, {}, {}, {"ret": -4})
    conn = held.conn(m._connect(port=7, host="h1,h2", database="d", user="u", password="p",
                                charset="c", usessl="s", usetls="", usetlcp=""))
    conn.autocommit(False)
    conn.begin()
    conn.rollback()
    conn.autocommit(True)
    conn.select_db("other")
    conn.ping(1)
    conn.ping(1)
    conn.commit()
    conn.close()


def routines(script, held):
    # A procedure whose second parameter comes back as a server cursor read
    # in two batches, then a function with an output and a return value.
    script.table(11, ONE_BIGINT, [[int8(1)], [int8(2)]])
    script.table(12, ONE_BIGINT, [[int8(3)]])
    script.table(13, ONE_BIGINT, [[int8(4)]])
    script.script("cli_exec_routine", {"outputs": {2: {"data": b"c1"}}},
                  {"outputs": {2: {"data": b"out"}}},
                  {"outputs": {1: {"data": b"c2"}, 2: {"data": b"r"}}},
                  {"outputs": {2: {"data": b"ret"}}})
    script.script("cli_open_named_cursor", {"ret": 2, "result": 11}, {"ret": 1, "result": 12},
                  {"ret": 0}, {"ret": 1, "result": 13}, {"ret": 0})
    conn = held.conn(scripted_connect())
    cur = held.cursor(conn.cursor())
    cur.setinputtype([5, 58])
    cur.callproc("p", [4, None], [1, 2])
    getattr(cur, "description", None)  # absent once an empty server cursor ended
    cur.fetchone()
    cur.fetchall()
    cur.setinputtype([5, 2])
    cur.setinputsizes([None, 8])
    cur.callproc("q", [1, "io"], [1, 3])
    cur.setinputtype([58, 2])
    cur.callfunc("g", [None], [2])
    cur.fetchall()
    cur.cleartype()
    cur.callfunc("f", [1])
    cur.close()
    conn.close()


def pooled(script, held):
    from vkcondb import _pyvkdb37 as m
    pool = m._conpool(7, 2, 1, "h", "d", "u", "p", "c", "s")
    held.pools.append(pool)
    a = held.conn(pool.getconn())
    b = held.conn(pool.getconn())
    cur = held.cursor(a.cursor())
    cur.execute("select 1")
    a.close()
    b.ping(1)
    b.close()
    c = held.conn(pool.getconn())
    c.commit()
    c.close()


def conveniences(script, held):
    # The connection's execute, iteration, with-blocks, the metadata
    # readers, and a pool over a host list.
    from vkcondb import _pyvkdb37 as m
    script.script("cli_sql_kind", {"ret": 4}, {"ret": 4})
    script.script("cli_exec_direct", {"result": 31}, {"result": 32})
    script.table(31, [("v", 2, 4)], [[b"ab"], [None], [b"cd"]])
    script.table(32, [("n", 9, (10 << 16) | 2)], [[b"1.25"]])
    pool = m._conpool(7, 1, 1, "h1,h2", "d", "u", "p", "c", "s")
    held.pools.append(pool)
    conn = held.conn(pool.getconn())
    cur = held.cursor(conn.execute("select v", ()))
    for _ in cur:
        pass
    cur.lastrowid
    with held.cursor(conn.cursor()) as other:
        other.execute("select n")
        other.getResultcolsize(1)
        other.getResultcolscale(1)
        other.setoutputsize(10, 1)
        other.fetchmany()
    conn.close()
    pool.set_maxnum(2)
    with held.conn(pool.getconn()) as again:
        again.rollback()


SCENARIOS = [query_and_fetch, named_parameters, many_and_batch, transactions, routines, pooled,
             conveniences]

# ---- running ---------------------------------------------------------------------

CLOSED = ("The cursor object does not exist", "Connection does not exist")

Outcome = collections.namedtuple("Outcome", "scenario index op kind result problems reads")


def _probe(script, held):
    """Problems with what the run left: each cursor and connection must work
    or say it is closed; then everything is closed.  Responses the scenario
    queued for calls it never reached are dropped first."""
    script.clear_queues()
    problems = []
    for cur in held.cursors:
        try:
            cur.execute("select 1")
            cur.fetchall()
        except Error as exc:
            if str(exc) not in CLOSED and "does not exist" not in str(exc):
                problems.append("cursor unusable after the fault: %s: %s"
                                % (type(exc).__name__, exc))
        except Exception as exc:  # noqa: BLE001 - reported
            problems.append("cursor probe raised %s: %s" % (type(exc).__name__, exc))
    for conn in held.conns:
        try:
            conn.commit()
        except Error as exc:
            if str(exc) not in CLOSED:
                problems.append("connection unusable after the fault: %s: %s"
                                % (type(exc).__name__, exc))
        except Exception as exc:  # noqa: BLE001 - reported
            problems.append("connection probe raised %s: %s" % (type(exc).__name__, exc))
    for obj in held.cursors + held.conns:
        try:
            obj.close()
        except Error:
            pass
        except Exception as exc:  # noqa: BLE001 - reported
            problems.append("close raised %s: %s" % (type(exc).__name__, exc))
    held.cursors = held.conns = held.pools = None
    return problems


def _leftovers(script):
    live = script.live()
    return ["%s left: %r" % (what, ids) for what, ids in sorted(live.items()) if ids]


def _message_problem(msg):
    """A library text that reached the message must arrive whole and
    readable: the 255-byte text uncut, bytes that are not UTF-8 replaced,
    a lying out length ignored."""
    if "\u00e9" in msg and TEXT_255 not in msg:
        return "the 255-byte error text was cut or changed: %r" % msg
    if "broken" in msg and "\ufffd broken \ufffd" not in msg:
        return "the text that is not UTF-8 came out as %r" % msg
    if "too long" in msg and msg.count("too long") != 1:
        return "the error text came out as %r" % msg
    return None


def run_once(script, scenario, fault=None):
    """One run of a scenario, with `fault` = (index, op, response, replace)
    planted.  Returns (result, problems, calls): result is "ok" or the
    exception class name, calls the number of library calls the scenario
    made before the probe."""
    script.reset()
    if fault is not None:
        script.inject(*fault[:2], fault[2], fault[3])
    held = Held()
    problems = []
    try:
        scenario(script, held)
        result = "ok"
    except Error as exc:
        result = type(exc).__name__
        wrong = _message_problem(str(exc))
        if wrong:
            problems.append(wrong)
    except Exception as exc:  # noqa: BLE001 - the fault under test
        result = type(exc).__name__
        problems.append("raised %s, not a driver exception: %s" % (type(exc).__name__, exc))
    calls = script.ops()
    made = len(calls)
    reads = frozenset(op for op in calls if op in TEXT_READS)
    problems += _probe(script, held)
    del held
    gc.collect()
    if fault is not None and not script.fault_fired():
        problems.append("the fault was never reached")
    problems += _leftovers(script)
    problems += ["engine: " + e for e in script.errors()]
    return result, problems, made, reads


def _routine_outputs(calls, index, marker):
    """Outputs for the exec_routine at `index`: every position bound since
    the last reset before it, with out length 0 or beyond its buffer."""
    binds = {}
    for op, args in calls[:index]:
        if op == "cli_reset_params":
            binds = {}
        elif op == "cli_bind_param":
            binds[args[1]] = args[5]  # position -> buffer length
    outs = {}
    for pos, buflen in binds.items():
        if marker == "outputs-len0":
            outs[pos] = {"len": 0}
        else:
            outs[pos] = {"data": b"y" * max(buflen, 0), "len": max(buflen, 0) + 1000}
    return {"outputs": outs}


def plan(script, scenario):
    """The clean run's calls and the list of faults to plant in turn."""
    result, problems, made, _ = run_once(script, scenario)
    assert result == "ok" and not problems, (scenario.__name__, result, problems)
    calls = script.calls()[:made]
    faults = []
    for index, (op, _) in enumerate(calls):
        for kind, (resp, replace) in kinds_for(op).items():
            if isinstance(resp, str):
                resp = _routine_outputs(calls, index, resp)
            faults.append((index, op, kind, resp, replace))
    return calls, faults


def _malloc_in_use():
    """Bytes in use on the C heap (glibc), or None elsewhere."""
    try:
        libc = ctypes.CDLL(None)
        info = libc.mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
            "fsmblks", "uordblks", "fordblks", "keepcost")]
    info.restype = MallInfo2
    got = info()
    return got.uordblks + got.hblkhd


def run_matrix(script, scenario):
    """Every fault of the scenario in turn; a list of Outcome, and the growth
    of Python blocks and C heap bytes over a second pass of the whole
    matrix (the first warms every cache)."""
    calls, faults = plan(script, scenario)
    outcomes = []
    with _frozen():
        for index, op, kind, resp, replace in faults:
            result, problems, reads = _run_fault(script, scenario, index, op, kind, resp,
                                                 replace)
            wrong = expectation_problem(op, kind, result)
            if wrong:
                problems.append(wrong)
            outcomes.append(Outcome(scenario.__name__, index, op, kind, result, problems, reads))
    return outcomes


@contextlib.contextmanager
def _frozen():
    """The collector left to the objects the runs make: what existed before
    (a whole test session) is set aside, so a collection per run stays cheap."""
    gc.collect()
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


def _run_fault(script, scenario, index, op, kind, resp, replace):
    def with_texts(s, h):
        for name, dflt in ERROR_TEXT.get(kind, {}).items():
            s.default(name, dflt)
        scenario(s, h)
    with_texts.__name__ = scenario.__name__
    result, problems, _, reads = run_once(script, with_texts, (index, op, resp, replace))
    return result, problems, reads


def growth(script, scenario, passes=2):
    """Python blocks and C heap bytes gained by the last of `passes` whole
    passes of the matrix (earlier passes warm the caches)."""
    _, faults = plan(script, scenario)
    figures = []
    for _ in range(passes):
        with _frozen():
            blocks, heap = sys.getallocatedblocks(), _malloc_in_use()
            for index, op, kind, resp, replace in faults:
                _run_fault(script, scenario, index, op, kind, resp, replace)
            script.reset()
            gc.collect()
        figures.append((sys.getallocatedblocks() - blocks,
                        None if heap is None else _malloc_in_use() - heap))
    return len(faults), figures[-1]


def summary(outcomes):
    """Rows (op, kind, runs, ok, raised {class: n}, problems) sorted by op."""
    rows = list(outcomes)
    for o in outcomes:
        if o.kind in ERROR_TEXT:
            rows += [o._replace(op=read, kind=o.kind.replace("err", "") or o.kind)
                     for read in o.reads if read in ERROR_TEXT[o.kind]]
    table = collections.OrderedDict()
    for o in sorted(rows, key=lambda o: (o.op, o.kind)):
        row = table.setdefault((o.op, o.kind), [0, 0, collections.Counter(), 0])
        row[0] += 1
        if o.result == "ok":
            row[1] += 1
        else:
            row[2][o.result] += 1
        row[3] += bool(o.problems)
    return table


def format_summary(table):
    lines = ["%-24s %-9s %5s %5s %5s  %s" % ("operation", "kind", "runs", "ok", "bad", "raised")]
    for (op, kind), (runs, ok, raised, bad) in table.items():
        lines.append("%-24s %-9s %5d %5d %5d  %s" % (
            op, kind, runs, ok, bad,
            ", ".join("%s %d" % kv for kv in sorted(raised.items()))))
    return "\n".join(lines)

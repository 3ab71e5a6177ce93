"""Random sequences of vkcondb calls, decided by the bytes of one input.

`run_one(data)` plays one input: the first byte picks the engine (the
embedded engine in memory or on a file, or the scripted engine with random
results and failures queued), the rest picks calls and their arguments one
after another until the bytes run out or the call budget is spent.  Every
call either returns or raises one of EXPECTED; anything else (a
SystemError, an exception type the driver never documents, an exception
printed from a destructor) is raised as `Finding`.  Crashes and hangs are
the fuzzer's to see.

The driver needs no fuzzing package: the same bytes give the same calls, so
tests replay the corpus with plain pytest on every Python.
"""
import datetime
import decimal
import gc
import os
import sys
import tempfile

import vkcondb

# The scripted engine's control lives with the tests.
_TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
if _TESTS not in sys.path:
    sys.path.append(_TESTS)

# What a call may raise: the driver's own classes, the argument errors of the
# interpreter's parsers, and what the fuzzer's own junk values raise.
class JunkError(Exception):
    """Raised by the junk values' special methods."""


EXPECTED = (vkcondb.Error, vkcondb.Warning, TypeError, ValueError, OverflowError, JunkError)

MAX_CALLS = 40
MAX_ROWS = 12


class Finding(AssertionError):
    """The driver did something no caller may see."""


class Draw(object):
    """Decisions read from the input, front to back; zeros once it is used
    up, so every input is a valid program."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def left(self):
        return len(self.data) - self.pos

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def below(self, n):
        """An int in [0, n)."""
        if n <= 1:
            return 0
        v = self.byte()
        if n > 256:
            v = v << 8 | self.byte()
        return v % n

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def chance(self, sixteenths):
        return self.below(16) < sixteenths

    def raw(self, limit):
        n = self.below(limit + 1)
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return bytes(chunk)

    def text(self, limit=16):
        return self.raw(limit).decode("utf-8", "surrogateescape")


# --- values ---------------------------------------------------------------------
class IntSub(int):
    pass


class StrSub(str):
    pass


class FloatSub(float):
    pass


class BytesSub(bytes):
    pass


class DateTimeSub(datetime.datetime):
    pass


class RaisingIndex(object):
    def __index__(self):
        raise JunkError("index")

    def __int__(self):
        raise JunkError("int")


class RaisingStr(object):
    def __str__(self):
        raise JunkError("str")

    __repr__ = __str__


class LyingSequence(object):
    """A sequence whose length changes while it is read: it grows for the
    first few questions, then shrinks.  (One that grows on every question
    never ends: the driver asks again before each item, as it must to see
    one that shrinks.)"""

    def __init__(self, items):
        self.items = list(items)
        self.asked = 0

    def __len__(self):
        self.asked += 1
        if self.asked <= 3:
            self.items.append(self.asked)
        elif self.items:
            self.items.pop()
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class TZ(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(hours=5, minutes=30)


SCALARS = [
    lambda d: None, lambda d: True, lambda d: False, lambda d: 0, lambda d: -1,
    lambda d: 2 ** 63 - 1, lambda d: -2 ** 63, lambda d: 2 ** 63, lambda d: -2 ** 63 - 1,
    lambda d: 2 ** 31, lambda d: 10 ** 40, lambda d: IntSub(7),
    lambda d: d.below(65536) - 32768,
    lambda d: 0.5, lambda d: -0.0, lambda d: float("nan"), lambda d: float("inf"),
    lambda d: float("-inf"), lambda d: 1e308, lambda d: 5e-324, lambda d: FloatSub(2.5),
    lambda d: "", lambda d: d.text(), lambda d: "x\x00y", lambda d: "\ud800",
    lambda d: "é€𝄞", lambda d: StrSub("sub"), lambda d: "w" * (d.below(4) * 70000),
    lambda d: b"", lambda d: d.raw(12), lambda d: bytearray(d.raw(6)),
    lambda d: memoryview(b"mem\x00view"), lambda d: memoryview(b"abcdefgh")[::2],
    lambda d: BytesSub(b"\xff\xfe"), lambda d: b"\x00" * (d.below(3) * 40000),
    lambda d: datetime.date(1, 1, 1), lambda d: datetime.date(9999, 12, 31),
    lambda d: datetime.time(23, 59, 59, 999999), lambda d: datetime.time(1, 2, 3, tzinfo=TZ()),
    lambda d: datetime.datetime(2024, 2, 29, 12, 0, 0, 1),
    lambda d: datetime.datetime(1970, 1, 1, tzinfo=TZ()), lambda d: DateTimeSub(2000, 1, 1),
    lambda d: datetime.timedelta(days=1), lambda d: decimal.Decimal("1.25"),
    lambda d: decimal.Decimal("-0"), lambda d: decimal.Decimal("NaN"),
    lambda d: decimal.Decimal("sNaN"), lambda d: decimal.Decimal("Infinity"),
    lambda d: decimal.Decimal("1e999999"), lambda d: decimal.Decimal("9" * 80),
    lambda d: 1 + 2j, lambda d: object(), lambda d: RaisingIndex(), lambda d: RaisingStr(),
    lambda d: {1, 2}, lambda d: Ellipsis, lambda d: print,
]


def value(d, depth=0):
    if depth < 2 and d.chance(1):
        return container(d, depth + 1)
    return d.pick(SCALARS)(d)


def container(d, depth=0):
    n = d.below(5)
    items = [value(d, depth) for _ in range(n)]
    kind = d.below(6)
    if kind == 0:
        return tuple(items)
    if kind == 1:
        return items
    if kind == 2:
        return {name(d): v for v in items}
    if kind == 3:
        return LyingSequence(items)
    if kind == 4:
        return iter(items)
    return {i: v for i, v in enumerate(items)}


def name(d):
    return d.pick(["a", "b", "x", "y", "", "1", d.text(6)])


def params(d):
    """One parameter set: usually a tuple or a dict, sometimes junk."""
    n = d.below(5)
    kind = d.below(10)
    if kind < 5:
        return tuple(value(d) for _ in range(n))
    if kind < 7:
        return [value(d) for _ in range(n)]
    if kind < 9:
        return {name(d): value(d) for _ in range(n)}
    return value(d)


# --- SQL ------------------------------------------------------------------------
TABLE = "create table if not exists t(a integer primary key, b text, c real, d blob, " \
        "e date, f datetime, g numeric(10,2), h bool, i varchar(4))"

STATEMENTS = [
    "select ?", "select ?, ?", "select ?, ?, ?", "select :a, :b", "select @x, $y",
    "select * from t", "select a, b from t where a > ?", "select count(*) from t",
    "select * from t order by a limit ?", "select typeof(?), length(?)",
    "insert into t(a, b) values (?, ?)", "insert into t(b, c, d) values (?, ?, ?)",
    "insert into t values (?, ?, ?, ?, ?, ?, ?, ?, ?)",
    "insert into t(b) values (:a)", "update t set b = ? where a = ?", "delete from t where a = ?",
    "update t set c = c * 2", "delete from t", TABLE, "drop table if exists t",
    "create table if not exists u(x text)", "insert into u values (?)", "select * from u",
    "begin", "commit", "rollback", "select 1; select 2", "select 1; insert into u values (1)",
    "pragma table_info(t)", "pragma user_version = 3", "values (1, 'a'), (2, null)",
    "with r(n) as (values(1) union all select n + 1 from r where n < 50) select n from r",
    "select zeroblob(?)", "select randomblob(8), 1e308 * 10, -9223372036854775808",
    "select cast(? as integer), cast(? as real)", "select x'00ff', 'é', null",
    "insert into t(a) values (?) returning a, b", "select * from dual",
    "select ? from t where a in (?, ?)", "", ";", "  -- c\n", "select 1 /* ; */ ;",
    "savepoint s1", "release s1", "vacuum", "attach ':memory:' as aux",
    "select * from nowhere", "selec 1", "select ?1, ?2", "select ?99",
]

GLUE = [" ", ";", "?", ":a", "'", "\"", "(", ")", ",", "--", "/*", "\x00", " where ", "select "]


def sql(d):
    k = d.below(16)
    if k < 11:
        return d.pick(STATEMENTS)
    if k < 14:
        return d.pick(STATEMENTS) + d.pick(GLUE) + d.pick(STATEMENTS)
    if k < 15:
        return d.text(40)
    return d.pick([b"select 1", bytearray(b"select ?"), None, 7, StrSub("select 2")])


# --- the scripted engine's random answers ----------------------------------------
TYPE_CODES = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 18, 23, 28, 31, 40, 41,
              42, 58, 62, 63, 99, -1]


def cell(d):
    k = d.below(8)
    if k == 0:
        return None
    if k < 6:
        return d.raw(16)
    return {"data": d.raw(12), "len": d.pick([0, 1, 4, 8, 12, 255, 70000, -1, -5])}


def script_answers(d, script, state):
    """Queue a result or a failure for what comes next."""
    if d.chance(10):
        rid = 100 + state.next_result
        state.next_result += 1
        ncols = d.below(4) + 1
        cols = [(d.pick(["n", "", "é", "x" * 200, d.text(8)]), d.pick(TYPE_CODES),
                 d.pick([0, 1, 4, 8, 10, 12, -1, 2 ** 31 - 1, (10 << 16) | 2]))
                for _ in range(ncols)]
        nrows = d.below(5)
        rows = [[cell(d) for _ in range(ncols)] for _ in range(nrows)]
        try:
            script.table(rid, cols, rows, d.pick([4, 4, 1, 9, 10, 7, -1]))
            script.script("cli_exec_direct", {"result": rid})
            script.script("cli_exec_prepared", {"result": rid})
        except (TypeError, ValueError):
            pass
        script.default("cli_sql_kind", {"ret": d.pick([4, 1, 9, 10, -1, 0])})
    if d.chance(3):
        op = d.pick(state.op_names)
        try:
            script.script(op, {"ret": d.pick([-1, -4, 0, 1, 2])})
        except (TypeError, ValueError):
            pass
    if d.chance(2):
        try:
            script.script("cli_error_text", {"text": d.raw(300), "len": d.pick([0, 255, 300, -1])})
        except (TypeError, ValueError):
            pass


# --- the player -------------------------------------------------------------------
class State(object):
    def __init__(self, engine, folder, script=None):
        self.engine = engine
        self.folder = folder
        self.script = script
        self.conns = []
        self.cursors = []
        self.pools = []
        self.next_result = 0
        self.op_names = sorted(script.op_names()) if script is not None else []

    def connect(self, d):
        if self.engine == "scripted":
            from scripted.helpers import scripted_connect
            return scripted_connect()
        if self.engine == "file" and not self.conns:
            return vkcondb.connect(os.path.join(self.folder, "f.db"))
        return vkcondb.connect(":memory:")

    def conn(self, d):
        if not self.conns or d.chance(1):
            self.conns.append(self.connect(d))
        return d.pick(self.conns)

    def cursor(self, d):
        if not self.cursors or d.chance(1):
            self.cursors.append(self.conn(d).cursor())
        return d.pick(self.cursors)

    def pool(self, d):
        if not self.pools or d.chance(1):
            if self.engine == "scripted":
                from vkcondb import _pyvkdb37 as m
                made = m._conpool(7, d.below(4), d.below(3), "h", "d", "u", "p", "c", "s")
            else:
                made = vkcondb.pool(maxconnections=d.below(4) - 1, mincached=d.below(3))
            self.pools.append(made)
        return d.pick(self.pools)


def size_arg(d):
    return d.pick([0, 1, 2, 5, -1, -100, 2 ** 31, 2 ** 63, None, "3", 1.5, RaisingIndex()])


def index_arg(d):
    return d.pick([0, 1, 2, 8, -1, 2 ** 31, -2 ** 63, 2 ** 70, "a", None, IntSub(1)])


def act_execute(d, s):
    c = s.cursor(d)
    args = (sql(d),) if d.chance(3) else (sql(d), params(d))
    if d.chance(2):
        s.conn(d).execute(*args)
    else:
        c.execute(*args)


def act_executemany(d, s):
    c = s.cursor(d)
    n = d.below(6)
    sets = [params(d) for _ in range(n)]
    kind = d.below(5)
    if kind == 0:
        seq = iter(sets)
    elif kind == 1:
        seq = (p for p in sets)
    elif kind == 2:
        seq = d.pick([None, 5, "ab", b"", {}, [None]])
    else:
        seq = sets
    c.executemany(sql(d), seq)


def act_executebatch(d, s):
    c = s.cursor(d)
    ncols = d.below(4)
    rows = d.below(5)
    if d.chance(2):
        cols = value(d)
    else:
        cols = [[value(d) for _ in range(rows if not d.chance(2) else d.below(5))]
                for _ in range(ncols)]
        if d.chance(3):
            cols = tuple(tuple(col) for col in cols)
    c.executebatch(sql(d), cols)


def act_fetch(d, s):
    c = s.cursor(d)
    k = d.below(6)
    if k == 0:
        got = c.fetchone()
        if got is not None and not isinstance(got, tuple):
            raise Finding("fetchone returned %r" % (type(got),))
    elif k == 1:
        got = c.fetchmany(size_arg(d)) if d.chance(12) else c.fetchmany()
        if got is not None and not isinstance(got, list):
            raise Finding("fetchmany returned %r" % (type(got),))
    elif k == 2:
        got = c.fetchall()
        if not isinstance(got, list) or not all(isinstance(r, tuple) for r in got):
            raise Finding("fetchall returned %r" % (got,))
    elif k == 3:
        for i, _row in enumerate(c):
            if i >= MAX_ROWS:
                break
    elif k == 4:
        got = c.nextset()
        if got not in (None, "TRUE"):
            raise Finding("nextset returned %r" % (got,))
    else:
        c.arraysize = d.pick([0, 1, 3, -1, 2 ** 40, "x", None, 1.5])


def act_describe(d, s):
    c = s.cursor(d)
    try:
        desc = c.description
    except AttributeError:     # none before the first execution and after close
        desc = None
    if desc is not None:
        if not isinstance(desc, list) or any(not isinstance(t, tuple) or len(t) != 7 for t in desc):
            raise Finding("description %r" % (desc,))
    _ = (c.rowcount, c.arraysize, c.lastrowid)
    k = d.below(8)
    i = index_arg(d)
    if k == 0:
        c.getResultcolname(i)
    elif k == 1:
        c.getResultcolseq(d.pick(["a", "b", "", "?", i]))
    elif k == 2:
        c.getResultcolsize(i)
    elif k == 3:
        c.getResultcolscale(i)
    elif k == 4:
        c.getResultcolisnull(i)
    elif k == 5:
        c.getResultcoldefault(i)
    elif k == 6:
        c.getResulttable()
    else:
        c.getResultRowid()


def act_sizes(d, s):
    c = s.cursor(d)
    k = d.below(5)
    if k == 0:
        c.setinputsizes(d.pick([[size_arg(d) for _ in range(d.below(4))],
                                {d.below(4): size_arg(d)}, value(d)]))
    elif k == 1:
        c.setinputtype(d.pick([[d.pick(TYPE_CODES) for _ in range(d.below(4))],
                               {d.below(3): d.pick(TYPE_CODES)}, value(d)]))
    elif k == 2:
        c.cleartype()
    elif k == 3:
        c.clearsize()
    else:
        args = [size_arg(d)] if d.chance(8) else [size_arg(d), index_arg(d)]
        c.setoutputsize(*args)


def act_routine(d, s):
    c = s.cursor(d)
    fname = d.pick(["abs", "upper", "length", "coalesce", "p", "no_such", "", "a b;", d.text(8)])
    args = [fname]
    if d.chance(12):
        args.append(d.pick([[value(d) for _ in range(d.below(4))], value(d), None]))
        if d.chance(8):
            args.append(d.pick([[d.pick([1, 2, 3, 6, 0, -1, 99]) for _ in range(d.below(4))],
                                value(d)]))
    got = (c.callfunc if d.chance(12) else c.callproc)(*args)
    if not isinstance(got, list):
        raise Finding("routine returned %r" % (type(got),))


def act_connection(d, s):
    conn = s.conn(d)
    k = d.below(9)
    if k == 0:
        conn.commit()
    elif k == 1:
        conn.rollback()
    elif k == 2:
        conn.begin()
    elif k == 3:
        conn.autocommit(d.pick([True, False, 0, 1, None, "x", RaisingIndex()]))
    elif k == 4:
        conn.ping(d.pick([0, 1, 2, -1, "x"]))
    elif k == 5:
        conn.select_db(d.pick(["fz_a", "fz_b", "", "a;b", "x" * 200, None, d.text(6)]))
    elif k == 6:
        s.cursors.append(conn.cursor(*d.pick([(), ("named",), (None, None), (7,)])))
    elif k == 7:
        with conn.cursor() as cur:
            cur.execute(sql(d))
    else:
        conn.close()


def act_close(d, s):
    k = d.below(4)
    if k == 0 and s.cursors:
        d.pick(s.cursors).close()
    elif k == 1 and s.conns:
        d.pick(s.conns).close()
    elif k == 2 and s.cursors:
        s.cursors.pop(d.below(len(s.cursors)))     # dropped while it may hold a result
    elif k == 3 and s.conns:
        s.conns.pop(d.below(len(s.conns)))


def act_pool(d, s):
    p = s.pool(d)
    k = d.below(5)
    if k < 3:
        s.conns.append(p.getconn())
    elif k == 3:
        p.set_maxnum(d.pick([0, 1, 5, -1, 2 ** 31, "x"]))
    else:
        setter = d.pick(["set_host", "set_port", "set_dbname", "set_user", "set_password",
                         "set_charset"])
        getattr(p, setter)(d.pick(["", "x" * 120, ":memory:", 5, None, "h\x00"]))


def act_collect(d, s):
    # A collection in the middle: it may visit and clear a pool that lends
    # connections, or cursors in a cycle with their connection.
    if d.chance(4) and s.pools:
        # The last reference to a pool, in a cycle: the collector clears
        # the pool while connections it lent are still in use.
        ring = [s.pools.pop(d.below(len(s.pools)))]
        ring.append(ring)
        del ring
    gc.collect(d.below(3))


def act_script(d, s):
    if s.script is not None:
        script_answers(d, s.script, s)


ACTIONS = [act_execute, act_execute, act_execute, act_executemany, act_executebatch,
           act_fetch, act_fetch, act_fetch, act_describe, act_sizes, act_routine,
           act_connection, act_close, act_pool, act_script, act_script, act_collect]


# Methods that fetch the items of their argument by integer keys pass on what
# a failed fetch raised (a dict without key 0, a sequence that shrank).
LOOKUPS = (LookupError,)
EXTRA = {act_sizes: LOOKUPS, act_routine: LOOKUPS}


def check_exception(exc, extra=()):
    if isinstance(exc, SystemError) or not isinstance(exc, EXPECTED + extra):
        raise Finding("%s: %s" % (type(exc).__name__, exc)) from exc


class Unraisable(object):
    """Collects what destructors and callbacks could not raise."""

    def __init__(self):
        self.seen = []

    def __call__(self, info):
        self.seen.append("%s in %r" % (info.exc_type.__name__, info.object))


def play(d, s):
    for _ in range(MAX_CALLS):
        if d.left() <= 0:
            break
        action = d.pick(ACTIONS)
        try:
            action(d, s)
        except Finding:
            raise
        except BaseException as exc:  # noqa: BLE001 - judged right here
            if isinstance(exc, (KeyboardInterrupt, MemoryError)):
                raise
            check_exception(exc, EXTRA.get(action, ()))


def finish(s):
    for objs in (s.cursors, s.conns):
        for o in objs:
            try:
                o.close()
            except BaseException as exc:  # noqa: BLE001
                check_exception(exc)
    del s.cursors[:], s.conns[:], s.pools[:]


ENGINES = ("memory", "memory", "file", "scripted")
_folder = None


def _workdir():
    # select_db on a memory database opens files in the working directory:
    # play inside a folder of our own.
    global _folder
    if _folder is None:
        _folder = tempfile.mkdtemp(prefix="vkfuzz-")
    return _folder


def _scripted():
    from scripted import control
    try:
        return control.Script()
    except control.EngineUnavailable:
        return None


def run_one(data):
    d = Draw(data)
    engine = ENGINES[d.byte() % len(ENGINES)]
    folder = _workdir()
    here = os.getcwd()
    os.chdir(folder)
    script = None
    if engine == "scripted":
        script = _scripted()
        if script is None:
            engine = "memory"
        else:
            script.install()
            script.reset()
    hook = Unraisable()
    previous = getattr(sys, "unraisablehook", None)
    if previous is not None:
        sys.unraisablehook = hook
    s = State(engine, folder, script)
    try:
        play(d, s)
        finish(s)
        del s
    finally:
        if script is not None:
            # Whatever is left in a cycle goes while the scripted engine,
            # which alone knows its handles, is still in place: uninstall()
            # collects it first.
            script.uninstall()
            script.reset()
        if previous is not None:
            sys.unraisablehook = previous
        os.chdir(here)
        if os.listdir(folder):
            for f in os.listdir(folder):
                try:
                    os.unlink(os.path.join(folder, f))
                except OSError:
                    pass
    if hook.seen:
        raise Finding("unraisable exceptions: %s" % "; ".join(hook.seen))


def _replay_paths(paths):
    for path in paths:
        with open(path, "rb") as f:
            run_one(f.read())


if __name__ == "__main__":
    _replay_paths(sys.argv[1:])

"""Hostile Python values through every method that takes parameters, on the
embedded engine: sequences whose length lies or changes, item access that
raises or closes the connection, conversions that raise, truth tests that
raise, dicts changed while they are bound, subclasses of the value types,
100,000 parameters and 64 MiB values.  Each ends in a clean exception or a
sound result: never a crash, a hang or a value other than the one given."""
import datetime
import decimal

import pytest

import vkcondb
from vkcondb import Error, ProgrammingError


@pytest.fixture
def conn():
    c = vkcondb.connect(":memory:")
    c.execute("create table t(a, b)")
    yield c
    c.close()


@pytest.fixture
def cur(conn):
    cursor = conn.cursor()
    yield cursor
    cursor.close()


def rows(cur):
    cur.execute("select a, b from t order by rowid")
    return cur.fetchall()


class Boom(Exception):
    pass


# ---- sequences ---------------------------------------------------------------------

class LyingLength(object):
    """Says it holds `claimed` items and has `actual`."""

    def __init__(self, claimed, actual):
        self.claimed, self.items = claimed, list(range(1, actual + 1))

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


class ChangingLength(object):
    """Its length goes up by one each time it is asked."""

    def __init__(self):
        self.asked = 0

    def __len__(self):
        self.asked += 1
        return 1 + self.asked % 3

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return i


class RaisingItem(object):
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 1:
            raise Boom("item %d" % i)
        return i


class RaisingLength(object):
    def __len__(self):
        raise Boom("len")

    def __getitem__(self, i):
        return i


class HugeLength(object):
    def __len__(self):
        return 2 ** 62

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return i


class Closing(object):
    """Closes the connection when its second item is read."""

    def __init__(self, conn):
        self.conn = conn

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 1:
            try:
                self.conn.close()
            except Error:
                pass
        if i >= 2:
            raise IndexError(i)
        return i


SEQUENCES = [
    ("claims more", lambda c: LyingLength(3, 2)),
    ("claims fewer", lambda c: LyingLength(1, 2)),
    ("length changes", lambda c: ChangingLength()),
    ("item raises", lambda c: RaisingItem()),
    ("length raises", lambda c: RaisingLength()),
    ("huge length", lambda c: HugeLength()),
    ("closes the connection", lambda c: Closing(c)),
]


def settled(fn):
    """Runs fn: its result, or the exception it raised (driver ones, the
    test's own, and the MemoryError that list() itself raises for a length
    of 2**62; anything else fails the test)."""
    try:
        return fn()
    except (Error, Boom, IndexError, MemoryError) as exc:
        return exc


@pytest.mark.parametrize("name,make", SEQUENCES, ids=[s[0] for s in SEQUENCES])
def test_sequences_that_lie(conn, cur, name, make):
    calls = [
        lambda: cur.execute("insert into t values (?, ?)", make(conn)),
        lambda: cur.executemany("insert into t values (?, ?)", [make(conn), (7, 8)]),
        lambda: cur.executemany("insert into t values (?, ?)", make(conn)),
        lambda: cur.executebatch("insert into t values (?, ?)", [make(conn), [5, 6]]),
        lambda: cur.executebatch("insert into t values (?, ?)", make(conn)),
        lambda: cur.callfunc("abs", make(conn)),
        lambda: cur.callproc("p", make(conn)),
        lambda: cur.setinputsizes(make(conn)),
        lambda: cur.setinputtype(make(conn)),
        lambda: cur.callproc("p", [1, 2], make(conn)),
    ]
    for call in calls:
        got = settled(call)
        if isinstance(got, Error):
            assert str(got)
    # Whatever happened, the connection works or says it is closed.
    try:
        stored = rows(conn.cursor())
    except Error as exc:
        assert "does not exist" in str(exc)
    else:
        for row in stored:
            assert all(v is None or isinstance(v, int) for v in row)


# ---- conversions that raise ---------------------------------------------------

class IndexRaises(int):
    def __index__(self):
        raise Boom("index")

    def __int__(self):
        raise Boom("int")


class FloatRaises(float):
    def __float__(self):
        raise Boom("float")


class StrRaises(str):
    def __str__(self):
        raise Boom("str")


class DecimalStrRaises(decimal.Decimal):
    def __str__(self):
        raise Boom("str")


class BytesRaises(bytes):
    def __bytes__(self):
        raise Boom("bytes")


class NoTruth(object):
    def __bool__(self):
        raise Boom("truth")

    __len__ = None


class IndexOnly(object):
    def __index__(self):
        raise Boom("index")


class FloatOnly(object):
    def __float__(self):
        raise Boom("float")


# Subclasses whose own methods lie: the value sent is the base value.
class TwistedInt(int):
    def __index__(self):
        return 99

    def __str__(self):
        return "99"


class TwistedStr(str):
    def __str__(self):
        return "twisted"

    def encode(self, *a, **k):
        return b"twisted"


class TwistedBytes(bytes):
    def __bytes__(self):
        return b"twisted"


class TwistedDateTime(datetime.datetime):
    def isoformat(self, *a, **k):
        return "1999-01-01T00:00:00"

    def __str__(self):
        return "1999-01-01 00:00:00"


class TwistedDate(datetime.date):
    def isoformat(self):
        return "1999-01-01"


CONVERSIONS = [
    # value, the base value it must be stored as (an exception class for a
    # refusal)
    (IndexRaises(5), 5),
    (FloatRaises(2.5), 2.5),
    (StrRaises("s"), "s"),
    (BytesRaises(b"by"), b"by"),
    (TwistedInt(5), 5),
    (TwistedStr("plain"), "plain"),
    (TwistedBytes(b"raw"), b"raw"),
    (TwistedDateTime(2020, 1, 2, 3, 4, 5), datetime.datetime(2020, 1, 2, 3, 4, 5)),
    (TwistedDate(2020, 1, 2), datetime.date(2020, 1, 2)),
    (DecimalStrRaises("1.5"), Boom),
    (NoTruth(), ProgrammingError),
    (IndexOnly(), ProgrammingError),
    (FloatOnly(), ProgrammingError),
]


@pytest.mark.parametrize("value,expected", CONVERSIONS,
                         ids=[type(v).__name__ for v, _ in CONVERSIONS])
def test_values_whose_conversions_raise_or_lie(conn, cur, value, expected):
    def sends(v):
        return [
            lambda: cur.execute("insert into t values (?, 0)", (v,)),
            lambda: cur.execute("insert into t values (:a, 1)", {"a": v}),
            lambda: cur.executemany("insert into t values (?, 2)", [(v,)]),
            lambda: cur.executebatch("insert into t values (?, 3)", [[v]]),
        ]
    for send in sends(value):
        if isinstance(expected, type):
            with pytest.raises(expected):
                send()
        else:
            send()
    got = rows(cur)
    if isinstance(expected, type):
        assert got == []
        return
    cur.execute("delete from t")
    for send in sends(expected):
        send()
    assert got == rows(cur)


@pytest.mark.parametrize("value", [IndexRaises(5), FloatRaises(2.5), StrRaises("s"),
                                   BytesRaises(b"b"), DecimalStrRaises("1"), NoTruth(),
                                   IndexOnly(), FloatOnly()],
                         ids=lambda v: type(v).__name__)
def test_routines_with_values_that_raise(cur, value):
    for call in (lambda: cur.callfunc("abs", [value]),
                 lambda: cur.callproc("p", [value], [3])):
        got = settled(call)
        assert isinstance(got, (Error, Boom, list)), got
    cur.execute("select 1")
    assert cur.fetchall() == [(1,)]


@pytest.mark.parametrize("arg", [[IndexRaises(5)], [IndexOnly()], [FloatOnly()], [NoTruth()],
                                 [2 ** 80], [-1], ["5"]], ids=repr)
def test_declarations_with_values_that_raise(cur, arg):
    for declare in (cur.setinputsizes, cur.setinputtype):
        try:
            declare(arg)
        except (Error, Boom, OverflowError):  # out of the 32-bit range: the host's error
            pass
    cur.execute("insert into t values (?, ?)", ("abcdef", 1))
    assert rows(cur)[-1][1] == 1


def test_truth_test_that_raises(conn):
    with pytest.raises(Boom):
        conn.autocommit(NoTruth())
    conn.execute("insert into t values (1, 1)")
    assert rows(conn.cursor()) == [(1, 1)]


# ---- dicts changed while they are bound ----------------------------------------

class Mutating(decimal.Decimal):
    """Clears (or grows) the dict or list that holds it when it is sent."""

    def __new__(cls, value, holder, grow=False):
        self = decimal.Decimal.__new__(cls, value)
        self.holder, self.grow = holder, grow
        return self

    def __str__(self):
        if isinstance(self.holder, dict):
            if self.grow:
                for k in range(100):
                    self.holder["k%d" % k] = k
            else:
                self.holder.clear()
        else:
            if self.grow:
                self.holder.extend(range(100))
            else:
                del self.holder[:]
        return "1.5"


@pytest.mark.parametrize("grow", [False, True], ids=["cleared", "grown"])
def test_containers_changed_while_they_are_bound(cur, grow):
    params = {"a": None, "b": "x"}
    params["a"] = Mutating("1.5", params, grow)
    got = settled(lambda: cur.execute("insert into t values (:a, :b)", params))
    assert got is None or isinstance(got, Error)
    seq = [None, "y"]
    seq[0] = Mutating("1.5", seq, grow)
    got = settled(lambda: cur.execute("insert into t values (?, ?)", seq))
    assert got is None or isinstance(got, Error)
    col = [None, None]
    col[0] = Mutating("1.5", col, grow)
    got = settled(lambda: cur.executebatch("insert into t values (?, ?)", [col, [1, 2]]))
    assert got is None or isinstance(got, Error)
    sets = [(1, 2), (3, 4)]
    sets.append((Mutating("1.5", sets, grow), 5))
    got = settled(lambda: cur.executemany("insert into t values (?, ?)", sets))
    assert got is None or isinstance(got, Error)
    routine = [None]
    routine[0] = Mutating("-2.5", routine, grow)
    got = settled(lambda: cur.callfunc("abs", routine))
    assert got is None or isinstance(got, (Error, list))
    for a, b in rows(cur):
        assert a in (None, 1, 3, 1.5, "1.5") and b in (None, 1, 2, 4, 5, "x", "y")


# ---- sizes --------------------------------------------------------------------------

def test_100000_parameters(cur):
    n = 100000
    marks = ",".join("?" * n)
    with pytest.raises(Error):
        cur.execute("select " + marks, list(range(n)))
    # 100,000 named values, bound each in constant time (SQLite itself
    # looks a named placeholder up by a walk over all of them, so the
    # statement names only a few).
    named = {"p%d" % i: i for i in range(n)}
    cur.execute("select :p0, :p50000, :p99999", named)
    assert cur.fetchall() == [(0, 50000, 99999)]
    with pytest.raises(Error):
        cur.executemany("select " + marks, [list(range(n))])
    with pytest.raises(Error):
        cur.executebatch("select " + marks, [[i] for i in range(n)])
    got = settled(lambda: cur.callfunc("max", list(range(n))))
    assert isinstance(got, (Error, list))
    cur.setinputsizes([1] * n)
    cur.setinputtype([5] * n)
    cur.cleartype()
    cur.clearsize()
    # Many rows of few parameters go through whole.
    cur.executebatch("insert into t values (?, ?)", [list(range(n)), [None] * (n - 1) + [1]])
    cur.execute("select count(*), sum(a) from t")
    assert cur.fetchall() == [(n, n * (n - 1) // 2)]


@pytest.mark.parametrize("value", ["\u00e9" * (32 << 20), b"\xff\x00" * (32 << 20)],
                         ids=["text", "bytes"])
def test_64_mib_values(cur, value):
    cur.execute("insert into t values (?, 1)", (value,))
    cur.execute("insert into t values (:a, 2)", {"a": value})
    cur.executemany("insert into t values (?, 3)", [(value,)])
    cur.executebatch("insert into t values (?, ?)", [[value], [4]])
    cur.execute("select length(a), b from t order by b")
    assert cur.fetchall() == [(32 << 20 if isinstance(value, str) else 64 << 20, k)
                              for k in (1, 2, 3, 4)]
    cur.execute("select a from t where b = 4")
    assert cur.fetchone()[0] == value
    # An input is read back by its code: bytes as UTF-8 text, which these
    # are not (a DataError).
    got = settled(lambda: cur.callfunc("length", [value]))
    if isinstance(value, str):
        assert got == [value, str(32 << 20)]
    else:
        assert isinstance(got, vkcondb.DataError)


# ---- routines: items read again after the call ----------------------------------

class Shifting(object):
    """A one-item sequence whose item is another object from the second
    read on: the routine's read-back takes items again."""

    def __init__(self, first, then):
        self.first, self.then, self.reads = first, then, 0

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        self.reads += 1
        return self.first if self.reads == 1 else self.then


SHIFTS = [(5, "x" * 100000), (b"a", b"y" * 100000), ("a", b"z" * 100000),
          (5, datetime.datetime(2020, 1, 1)), (1.5, "q" * 70000), (b"a", "v" * 100000),
          (datetime.date(2020, 1, 1), b"u" * 5000), (None, "w" * 100000)]


@pytest.mark.parametrize("first,then", SHIFTS, ids=lambda v: type(v).__name__)
def test_routine_items_that_change_between_reads(cur, capfd, first, then):
    got = settled(lambda: cur.callfunc("length", Shifting(first, then)))
    if not isinstance(got, Error):
        assert len(got) == 2
        # The value read back is the one sent, never one read out of a
        # buffer made for another value.
        sent = got[0]
        assert sent is None or len(str(sent)) <= 26
    capfd.readouterr()  # the diagnostic line for a value without a code


# ---- routines with declared codes, on the scripted engine ----------------------

@pytest.mark.parametrize("code", [2, 5, 6, 8, 9, 10, 13, 15, 41, 42, 58])
@pytest.mark.parametrize("value", [IndexRaises(5), FloatRaises(2.5), StrRaises("s"),
                                   DecimalStrRaises("1"), NoTruth(), IndexOnly(), FloatOnly(),
                                   TwistedDateTime(2020, 1, 2), 2 ** 70, float("nan")],
                         ids=lambda v: type(v).__name__)
def test_declared_codes_with_hostile_values(script, capfd, code, value):
    from scripted.helpers import scripted_connect
    conn = scripted_connect()
    cur = conn.cursor()
    try:
        cur.setinputtype([code])
        got = settled(lambda: cur.callproc("p", [value], [3]))
        assert isinstance(got, (Error, Boom, list)), got
        cur.cleartype()
        assert cur.callproc("p", [1]) == [1]
    finally:
        cur.close()
        conn.close()
    assert script.errors() == []
    assert not any(script.live().values()), script.live()
    capfd.readouterr()


# ---- method arguments -----------------------------------------------------------

ARGUMENTS = [IndexRaises(1), IndexOnly(), FloatOnly(), NoTruth(), StrRaises("main"),
             TwistedInt(1), 2 ** 100, -2 ** 100]


@pytest.mark.parametrize("arg", ARGUMENTS, ids=lambda v: type(v).__name__)
def test_method_arguments_that_raise_or_lie(conn, cur, arg):
    cur.execute("insert into t values (1, 2)")
    cur.execute("select a, b from t")
    calls = [
        lambda: conn.autocommit(arg),
        lambda: conn.ping(arg),
        # (a str is a database to switch to: not one of these)
        lambda: None if isinstance(arg, str) else conn.select_db(arg),
        lambda: cur.fetchmany(arg),
        lambda: setattr(cur, "arraysize", arg),
        lambda: cur.setoutputsize(arg),
        lambda: cur.getResultcolname(arg),
        lambda: cur.getResultcolsize(arg),
        lambda: cur.getResultcolseq(arg),
        lambda: cur.callproc(arg),
        lambda: cur.execute(arg),
    ]
    for call in calls:
        try:
            call()
        except (Error, Boom, OverflowError, TypeError):
            # TypeError and OverflowError: the interpreter's own refusal of
            # an attribute value (arraysize is a plain integer member).
            pass
    conn.autocommit(True)
    cur.execute("select a, b from t")
    assert cur.fetchall() == [(1, 2)]

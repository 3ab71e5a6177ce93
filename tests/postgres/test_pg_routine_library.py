"""Routine statements on the PostgreSQL engine, through the C interface
(cli_exec_routine with output bindings, refcursors read with
cli_open_named_cursor): values written back per type code, the lookup by
name and argument count, errors, and the transaction held for refcursors."""
import ctypes
import os
import struct
import sys
from ctypes import byref, c_int32, c_void_p

import pytest

import pgserver
import vkcondb
from pg_support import table, unique_name  # noqa: F401 (fixtures)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "library"))
import vk  # noqa: E402

IN, OUT, INOUT, RETURN = 1, 2, 3, 6
GUARD = b"\xab" * 8


@pytest.fixture(scope="module")
def lib():
    path = os.environ.get("VESKSQL_LIB") or os.path.join(os.path.dirname(vkcondb.__file__),
                                                         "libvesksql.so")
    return vk.Lib(ctypes.CDLL(path))


@pytest.fixture(scope="module")
def schema(pg_server):
    name = unique_name("rt")
    pg_server.psql("create schema %s" % name)
    yield name
    pg_server.psql("drop schema %s cascade" % name)


def open_conn(lib, server):
    return lib.connect(ip=pgserver.HOST, db=pgserver.DATABASE, user=pgserver.SUPERUSER, pwd="",
                       port=server.port)


@pytest.fixture
def pc(lib, pg_server, table):
    c = open_conn(lib, pg_server)
    yield c
    c.close()


class Slot(object):
    """A bound buffer of `cap` bytes with guard bytes after it."""

    def __init__(self, cap, raw=b""):
        self.cap = cap
        self.buf = ctypes.create_string_buffer(raw.ljust(cap, b"\0") + GUARD, cap + len(GUARD))
        self.len = c_int32(len(raw) if raw else -9)

    def data(self):
        assert self.buf.raw[self.cap:] == GUARD, "written past the buffer"
        return self.buf.raw[:self.cap]

    def text(self):
        return None if self.len.value == 0 else self.data().split(b"\0", 1)[0].decode()


def packed(typ, value):
    if value is None:
        return b""
    fmt = {vk.INTEGER: "=i", vk.BIGINT: "=q", vk.DOUBLE: "=d"}.get(typ)
    if fmt:
        return struct.pack(fmt, value)
    return value if isinstance(value, bytes) else value.encode()


def call(c, stmt, *binds):
    """Bind (pos, direction, type, value-or-None, cap) each and run `stmt`;
    returns (rc, slots by position)."""
    c.lib.dll.cli_reset_params(c.ref)
    slots = {}
    for pos, direction, typ, value, cap in binds:
        s = slots[pos] = Slot(cap, packed(typ, value))
        if value is None and direction == IN:
            s.len.value = vk.NULL_LENGTH
        assert c.lib.dll.cli_bind_param(c.ref, pos, direction, typ, ctypes.cast(s.buf, c_void_p),
                                        cap, byref(s.len)) == vk.OK, c.error()
    return c.lib.dll.cli_exec_routine(c.ref, stmt.encode(), None), slots


def number(slot, typ):
    fmt = {vk.INTEGER: "=i", vk.BIGINT: "=q", vk.DOUBLE: "=d"}[typ]
    assert slot.len.value == struct.calcsize(fmt)
    return struct.unpack(fmt, slot.data()[:slot.len.value])[0]


def fetch_batch(c, name):
    r = c_void_p()
    n = c.lib.dll.cli_open_named_cursor(c.ref, name.encode(), byref(r))
    c.lib.dll.cli_free_result(byref(r))
    return n


def read_cursor(c, name):
    """Batch sizes read from the named cursor, and the answer that ended it."""
    sizes = []
    while True:
        n = fetch_batch(c, name)
        if n <= 0:
            return sizes, n
        sizes.append(n)


# ---- values per type ----------------------------------------------------------

# (SQL type, type code, a, c, cap): the procedure swaps them, b := c, c := a.
TYPES = [
    ("int4", vk.INTEGER, 7, -123456, 4),
    ("int8", vk.BIGINT, 2 ** 40 + 3, -(2 ** 50), 8),
    ("float8", vk.DOUBLE, 1.5, -0.1, 8),
    ("numeric", vk.NUMERIC, "12345678901234567890.123456789", "-0.50", 40),
    ("text", vk.VARCHAR, u"h\u00e9llo", "world", 16),
    ("date", vk.DATE, "2024-02-29", "1999-12-31", 11),
    ("timestamp", vk.DATETIME, "2024-02-29 13:14:15.123456", "1999-12-31 23:59:59", 32),
    ("bytea", vk.BINARY, b"\x00ab\x00\xff", b"\x00\x00\x00z", 16),
]


@pytest.mark.parametrize("sqltype,typ,a,c,cap", TYPES, ids=[t[0] for t in TYPES])
def test_procedure_writes_out_and_inout_per_type(pc, pg_server, schema, sqltype, typ, a, c, cap):
    pg_server.psql("create or replace procedure %s.swap_%s(a %s, out b %s, inout c %s) "
                   "language plpgsql as $$ begin b := c; c := a; end $$"
                   % (schema, sqltype, sqltype, sqltype, sqltype))
    rc, s = call(pc, "execute %s.swap_%s(?, ?, ?)" % (schema, sqltype),
                 (1, IN, typ, a, cap), (2, OUT, typ, None, cap), (3, INOUT, typ, c, cap))
    assert rc == vk.OK, pc.error()
    if typ in (vk.INTEGER, vk.BIGINT, vk.DOUBLE):
        assert (number(s[2], typ), number(s[3], typ)) == (c, a)
    elif typ == vk.BINARY:  # zero bytes and all
        assert (s[2].len.value, s[3].len.value) == (len(c), len(a))
        assert s[2].data()[:len(c) + 1] == c + b"\0" and s[3].data()[:len(a)] == a
    else:
        assert (s[2].text(), s[3].text()) == (c, a)
        assert s[2].len.value == len(c.encode())


def test_function_return_and_outputs(pc, pg_server, schema):
    pg_server.psql("""
        create function %(s)s.add1(x int4) returns int4 language sql as $$ select x + 1 $$;
        create function %(s)s.pair(x int4, out d int4, out t text)
            language sql as $$ select x * 2, 'n' || x $$;
        create function %(s)s.nothing(x int4) returns void language sql as $$ select $$;
        create procedure %(s)s.echo(inout x text, y int4) language plpgsql
            as $$ begin x := coalesce(y::text, 'null') || x; end $$;""" % {"s": schema})
    # A 64-bit integer argument goes to the int4 parameter.
    rc, s = call(pc, "execute %s.add1(?)" % schema, (1, IN, vk.BIGINT, 41, 8),
                 (2, RETURN, vk.INTEGER, None, 4))
    assert rc == vk.OK, pc.error()
    assert number(s[2], vk.INTEGER) == 42
    # With OUT arguments the return target gets the first of them.
    rc, s = call(pc, "execute %s.pair(?, ?, ?)" % schema, (1, IN, vk.INTEGER, 5, 4),
                 (2, OUT, vk.INTEGER, None, 4), (3, OUT, vk.VARCHAR, None, 8),
                 (4, RETURN, vk.BIGINT, None, 8))
    assert rc == vk.OK, pc.error()
    assert (number(s[2], vk.INTEGER), s[3].text(), number(s[4], vk.BIGINT)) == (10, "n5", 10)
    # A void function, and a procedure, give the return target NULL; an
    # output bound at an input argument gets NULL; an unbound one is NULL.
    rc, s = call(pc, "execute %s.nothing(?)" % schema, (1, OUT, vk.INTEGER, None, 4),
                 (2, RETURN, vk.VARCHAR, None, 8))
    assert rc == vk.OK and (s[1].len.value, s[2].len.value) == (0, 0), pc.error()
    rc, s = call(pc, "execute %s.echo(?, ?)" % schema, (1, INOUT, vk.VARCHAR, "!", 16),
                 (3, RETURN, vk.INTEGER, None, 4))
    assert rc == vk.OK and s[1].text() == "null!" and s[3].len.value == 0, pc.error()
    # A value its code cannot take fails the call, naming the position.
    rc, s = call(pc, "execute %s.pair(?, ?, ?)" % schema, (1, IN, vk.INTEGER, 5, 4),
                 (3, OUT, vk.INTEGER, None, 4))
    assert rc == vk.ERROR and pc.sqlstate() == "22018" and "parameter 3" in pc.error()


def test_numbers_beyond_their_targets(pc, pg_server, schema):
    pg_server.psql("create procedure %s.far(out h numeric, out l numeric, out b numeric) "
                   "language plpgsql as $$ begin h := 1e400; l := -1e-400; b := 1e30; end $$"
                   % schema)
    stmt = "execute %s.far(?, ?, ?)" % schema
    rc, s = call(pc, stmt, (1, OUT, vk.DOUBLE, None, 8), (2, OUT, vk.DOUBLE, None, 8),
                 (3, OUT, vk.NUMERIC, None, 8))
    assert rc == vk.OK, pc.error()
    assert number(s[1], vk.DOUBLE) == float("inf") and str(number(s[2], vk.DOUBLE)) == "-0.0"
    assert s[3].text() == "1e+30"  # too long: the shortest text of the double
    rc, s = call(pc, stmt, (1, OUT, vk.NUMERIC, None, 8))
    assert rc == vk.OK and s[1].len.value == 401 and s[1].data() == b"1000000\0"  # cut
    rc, s = call(pc, stmt, (3, OUT, vk.BIGINT, None, 8))
    assert rc == vk.ERROR and pc.sqlstate() == "22003", pc.error()


def test_empty_text_null_and_a_cut_text(pc, pg_server, schema):
    pg_server.psql("create procedure %s.texts(out e text, out n text, out l text) "
                   "language plpgsql as $$ begin e := ''; n := null; "
                   "l := repeat('\u00e9', 50); end $$" % schema)
    rc, s = call(pc, "execute %s.texts(?, ?, ?)" % schema, (1, OUT, vk.VARCHAR, None, 8),
                 (2, OUT, vk.VARCHAR, None, 8), (3, OUT, vk.VARCHAR, None, 10))
    assert rc == vk.OK, pc.error()
    assert (s[1].len.value, s[1].data()[:1]) == (1, b"\0")
    assert s[2].len.value == 0
    # Cut on a character boundary, zero-terminated, whole length reported.
    assert s[3].len.value == 100
    assert s[3].data() == u"\u00e9\u00e9\u00e9\u00e9".encode() + b"\0\0"


# ---- lookup and errors --------------------------------------------------------

def test_names_qualified_quoted_and_on_the_search_path(pc, pg_server, schema):
    pg_server.psql('create function %s.lower_name() returns text language sql '
                   "as $$ select 'plain' $$;"
                   'create function %s."Odd ""Name"""() returns text language sql '
                   "as $$ select 'quoted' $$" % (schema, schema))
    for stmt, want in [("execute %s.LOWER_Name" % schema.upper(), "plain"),
                       ('execute %s."Odd ""Name"""();' % schema, "quoted")]:
        rc, s = call(pc, stmt, (1, RETURN, vk.VARCHAR, None, 16))
        assert rc == vk.OK and s[1].text() == want, pc.error()
    rc, _ = call(pc, "execute lower_name")
    assert rc == vk.ERROR and pc.sqlstate() == "42883" and "lower_name" in pc.error()
    assert pc.command("set search_path to %s, public" % schema) == vk.OK
    rc, s = call(pc, "execute lower_name", (1, RETURN, vk.VARCHAR, None, 16))
    assert rc == vk.OK and s[1].text() == "plain", pc.error()


def test_refused_calls_name_the_reason(pc, pg_server, schema):
    pg_server.psql("""
        create function %(s)s.over(x int4) returns int4 language sql as $$ select 1 $$;
        create function %(s)s.over(x text) returns int4 language sql as $$ select 2 $$;
        create function %(s)s.over(x int4, y int4) returns int4 language sql as $$ select 3 $$;
        create function %(s)s.over_out(x int4, out y int4) language sql as $$ select 1 $$;
        create function %(s)s.over_out(x text, out y int4) language sql as $$ select 2 $$;
        create function %(s)s.rows(n int4) returns setof int4 language sql
            as $$ select generate_series(1, n) $$;
        create aggregate %(s)s.total(int4) (sfunc = int4pl, stype = int4);""" % {"s": schema})
    cases = [("over_out(?, ?)", "42725", ["over_out(x integer, OUT y integer)",
                                          "over_out(x text, OUT y integer)"]),
             ("over(?, ?, ?)", "42883", ["takes 1 or 2"]),
             ("rows(?)", "0A000", ["select * from"]),
             ("total(?)", "42809", ["aggregate"])]
    for stmt, state, words in cases:
        rc, _ = call(pc, "execute %s.%s" % (schema, stmt))
        assert rc == vk.ERROR and pc.sqlstate() == state, (stmt, pc.error())
        assert all(w in pc.error() for w in words), pc.error()
    rc, _ = call(pc, "execute %s.over(?, ?)" % schema, (4, IN, vk.INTEGER, 1, 4))
    assert rc == vk.ERROR and pc.sqlstate() == "07002"


def test_overloads_of_input_types_are_picked_by_the_server(pc, pg_server, schema):
    pg_server.psql("""
        create function %(s)s.pick(x int4) returns text language sql as $$ select 'int' $$;
        create function %(s)s.pick(x text) returns text language sql as $$ select 'text' $$;
        """ % {"s": schema})
    for typ, value, want in [(vk.BIGINT, 5, "int"), (vk.VARCHAR, "a", "text")]:
        rc, s = call(pc, "execute %s.pick(?)" % schema, (1, IN, typ, value, 8),
                     (2, RETURN, vk.VARCHAR, None, 16))
        assert rc == vk.OK and s[2].text() == want, pc.error()
    rc, s = call(pc, "execute upper(?)", (1, IN, vk.VARCHAR, "ab", 8),
                 (2, RETURN, vk.VARCHAR, None, 16))
    assert rc == vk.OK and s[2].text() == "AB", pc.error()


def test_a_raised_exception_and_a_routine_made_again(pc, pg_server, schema):
    pg_server.psql("create function %s.boom(x int4) returns int4 language plpgsql "
                   "as $$ begin raise exception 'boom'; end $$" % schema)
    rc, _ = call(pc, "execute %s.boom(?)" % schema, (1, IN, vk.INTEGER, 1, 4))
    assert (rc, pc.error(), pc.sqlstate()) == (vk.ERROR, "boom", "P0001")
    # Made again under another signature: the call that meets the change
    # fails, and the one after it finds the routine afresh.
    pg_server.psql("drop function %s.boom(int4); create function %s.boom(x text) returns text "
                   "language sql as $$ select x || '!' $$" % (schema, schema))
    rc, _ = call(pc, "execute %s.boom(?)" % schema, (1, IN, vk.VARCHAR, "a", 4))
    assert rc == vk.ERROR and pc.sqlstate() == "42883"
    rc, s = call(pc, "execute %s.boom(?)" % schema, (1, IN, vk.VARCHAR, "a", 4),
                 (2, RETURN, vk.VARCHAR, None, 8))
    assert rc == vk.OK and s[2].text() == "a!", pc.error()


# ---- refcursors -----------------------------------------------------------------

@pytest.fixture
def cursor_routine(pg_server, schema, table):
    """A procedure that logs a row in a table of its own and opens a cursor
    over 1..n (failing at row `bad` when not 0); returns (name, table)."""
    log = table("v int")
    name = unique_name("cur")
    pg_server.psql("create procedure %s.%s(n int4, bad int4, inout c refcursor) "
                   "language plpgsql as $$ begin insert into %s values (n); "
                   "open c for select i, 1 / (i - bad) from generate_series(1, n) i; end $$"
                   % (schema, name, log))
    return "%s.%s" % (schema, name), log


def open_cursor(c, routine, n, bad=0):
    rc, s = call(c, "execute %s(?, ?, ?)" % routine, (1, IN, vk.INTEGER, n, 4),
                 (2, IN, vk.INTEGER, bad, 4), (3, INOUT, vk.VARCHAR, unique_name("p"), 64))
    assert rc == vk.OK, c.error()
    return s[3].text()


def test_refcursor_in_autocommit_is_held_until_closed(pc, pg_server, cursor_routine):
    routine, log = cursor_routine
    portal = open_cursor(pc, routine, 2500)
    assert read_cursor(pc, portal) == ([1000, 1000, 500], 0)
    assert pg_server.psql("select count(*) from %s" % log) == "0"  # still held
    assert pc.lib.dll.cli_close_named_cursor(pc.ref, portal.encode()) == vk.OK, pc.error()
    assert pg_server.psql("select count(*) from %s" % log) == "1"


def test_another_statement_commits_the_held_transaction(pc, pg_server, cursor_routine, table):
    routine, log = cursor_routine
    portal = open_cursor(pc, routine, 2500)
    assert fetch_batch(pc, portal) == 1000
    other = table("v int")
    pc.execute("insert into %s values (1)" % other).free()
    assert pg_server.psql("select (select count(*) from %s), (select count(*) from %s)"
                          % (log, other)) == "1|1"
    assert read_cursor(pc, portal)[1] == vk.ERROR  # its portal went with the commit


def test_failed_fetch_keeps_the_routines_work(pc, pg_server, cursor_routine):
    routine, log = cursor_routine
    portal = open_cursor(pc, routine, 2500, bad=1500)
    assert read_cursor(pc, portal) == ([1000], vk.ERROR)
    assert pc.sqlstate() == "22012" and "division by zero" in pc.error()
    assert pg_server.psql("select count(*) from %s" % log) == "1"
    assert pc.query("select 1::int8") == [(1,)]


def test_close_of_the_connection_commits_the_held_transaction(lib, pg_server, cursor_routine):
    routine, log = cursor_routine
    c = open_conn(lib, pg_server)
    open_cursor(c, routine, 10)
    c.close()
    assert pg_server.psql("select count(*) from %s" % log) == "1"


def test_refcursor_in_the_callers_transaction(pc, pg_server, cursor_routine):
    routine, log = cursor_routine
    assert pc.command("set auto commit off") == vk.OK
    portal = open_cursor(pc, routine, 1200)
    assert read_cursor(pc, portal) == ([1000, 200], 0)
    assert pc.lib.dll.cli_close_named_cursor(pc.ref, portal.encode()) == vk.OK
    assert pg_server.psql("select count(*) from %s" % log) == "0"
    assert pc.command("rollback") == vk.OK
    assert pg_server.psql("select count(*) from %s" % log) == "0"

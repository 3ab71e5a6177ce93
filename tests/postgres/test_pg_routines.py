"""callproc and callfunc on a PostgreSQL server: outputs of every common
type, function values with and without declared types, refcursors read in
batches, and errors raised inside a routine."""
import datetime
import resource

import pytest

import vkcondb
from pg_support import conn, cur, other, query, table, unique_name  # noqa: F401 (fixtures)

# type codes
BOOLEAN, VARCHAR, INTEGER, BIGINT, DOUBLE, NUMERIC = 1, 2, 5, 6, 8, 9
DATE, DATETIME, BINARY, REFCURSOR = 10, 13, 15, 58
IN, OUT, INOUT = 1, 2, 3


@pytest.fixture
def schema(pg_server):
    name = unique_name("r")
    pg_server.psql("create schema %s" % name)
    yield name
    pg_server.psql("drop schema %s cascade" % name)


def test_procedure_with_in_out_and_inout_parameters(pg_server, cur, schema):
    pg_server.psql("""
        create procedure %s.every_type(
            in i int4, inout bi int8, out d float8, inout n numeric, inout t text,
            out dt date, inout ts timestamp, inout b bytea)
        language plpgsql as $$
        begin
            bi := bi + i; d := i / 4.0; n := n * 2; t := t || '!';
            dt := date '2024-02-29'; ts := ts + interval '1 day'; b := b || '\\x0041'::bytea;
        end $$""" % schema)
    cur.setinputtype([INTEGER, BIGINT, DOUBLE, NUMERIC, VARCHAR, DATE, DATETIME, BINARY])
    got = cur.callproc("%s.every_type" % schema,
                       [3, 2 ** 40, None, "1234.5600", "héllo", None,
                        datetime.datetime(2024, 1, 2, 3, 4, 5, 678000), b"a\x00b"],
                       [IN, INOUT, OUT, INOUT, INOUT, OUT, INOUT, INOUT])
    assert got == [3, 2 ** 40 + 3, 0.75, 2469.12, "héllo!", "2024-02-29",
                   "2024-01-03 03:04:05.678", "a\x00b\x00A"]
    # Binary outputs come back as text: bytes that are not UTF-8 cannot.
    with pytest.raises(vkcondb.DataError, match="parameter 8: .* not valid UTF-8"):
        cur.callproc("%s.every_type" % schema, [0, 0, None, "0", "", None,
                                                  datetime.datetime(2024, 1, 1), b"\xff"],
                     [IN, INOUT, OUT, INOUT, INOUT, OUT, INOUT, INOUT])


def test_empty_text_and_null_are_told_apart(pg_server, cur, schema):
    pg_server.psql("""
        create procedure %s.texts(in a text, out is_null bool, out same text, out nothing text)
        language plpgsql as $$ begin is_null := a is null; same := a; nothing := null; end $$"""
                   % schema)
    cur.setinputtype([VARCHAR, BOOLEAN, VARCHAR, VARCHAR])
    assert cur.callproc("%s.texts" % schema, ["", None, None, None],
                        [IN, OUT, OUT, OUT]) == ["", False, "", None]
    assert cur.callproc("%s.texts" % schema, [None, None, None, None],
                        [IN, OUT, OUT, OUT]) == [None, True, None, None]


def test_function_values(pg_server, cur, schema):
    pg_server.psql("""
        create function %(s)s.add(a int4, b int4) returns int4 language sql as $$ select a + b $$;
        create function %(s)s.half(a float8) returns float8 language sql as $$ select a / 2 $$;
        create function %(s)s.nothing() returns text language sql as $$ select null::text $$;
        """ % {"s": schema})
    # Python ints reach int4 arguments; the value comes back as text...
    assert cur.callfunc("%s.add" % schema, [2, 3]) == [2, 3, "5"]
    # ...or as the declared type.
    cur.setinputtype([INTEGER, INTEGER, INTEGER])
    assert cur.callfunc("%s.add" % schema, [2, 3]) == [2, 3, 5]
    cur.setinputtype([DOUBLE, DOUBLE])
    assert cur.callfunc("%s.half" % schema, [5.0]) == [5.0, 2.5]
    cur.cleartype()
    assert cur.callfunc("%s.nothing" % schema) == [None]
    assert cur.callfunc("upper", ["ab"]) == ["ab", "AB"]
    cur.setinputtype([BIGINT, BIGINT])
    assert cur.callfunc("abs", [-5]) == [-5, 5]


def test_error_raised_in_a_routine(pg_server, conn, cur, schema):
    pg_server.psql("""
        create procedure %s.fail(x int4) language plpgsql
        as $$ begin raise exception 'no stock for item %%', x; end $$""" % schema)
    with pytest.raises(vkcondb.OperationalError) as e:
        cur.callproc("%s.fail" % schema, [7])
    assert str(e.value) == "no stock for item 7"
    assert query(cur, "select 1") == [(1,)]
    with pytest.raises(vkcondb.OperationalError, match="does not exist"):
        cur.callproc("%s.no_such" % schema, [1])
    conn.autocommit(False)
    with pytest.raises(vkcondb.OperationalError, match="no stock for item 8"):
        cur.callproc("%s.fail" % schema, [8])
    conn.rollback()
    assert query(cur, "select 2") == [(2,)]


@pytest.fixture
def numbers(pg_server, schema):
    """A procedure `numbers(n, out c refcursor)` opening a cursor over
    1..n, which also records the call in a table."""
    pg_server.psql("""
        create table %(s)s.calls (n int4);
        create procedure %(s)s.numbers(n int4, inout c refcursor)
        language plpgsql as $$
        begin
            insert into %(s)s.calls values (n);
            open c for select g as id, repeat('x', 10) as pad from generate_series(1, n) g;
        end $$""" % {"s": schema})
    return "%s.numbers" % schema


def call_numbers(cur, proc, n):
    cur.setinputtype([INTEGER, REFCURSOR])
    got = cur.callproc(proc, [n, None], [IN, INOUT])
    assert got[0] == n and isinstance(got[1], str) and got[1]
    return got[1]


def test_refcursor_read_by_fetchall_in_autocommit_mode(cur, other, numbers, schema):
    call_numbers(cur, numbers, 2500)
    assert [d[0] for d in cur.description] == ["id", "pad"]
    rows = cur.fetchall()
    assert [r[0] for r in rows] == list(range(1, 2501))
    # The call's own work is committed once the cursor is read.
    assert query(other, "select n from %s.calls" % schema) == [(2500,)]


def test_refcursor_read_by_fetchone_and_fetchmany(cur, numbers):
    call_numbers(cur, numbers, 2500)
    ids = []
    while True:
        row = cur.fetchone()
        if row is None:
            break
        ids.append(row[0])
    assert ids == list(range(1, 2501))
    call_numbers(cur, numbers, 2500)
    chunks = [cur.fetchmany(700) for _ in range(4)]
    assert [len(c) for c in chunks] == [700, 700, 700, 400]
    assert cur.fetchmany(700) is None


def test_refcursor_in_a_transaction_of_the_caller(conn, cur, other, numbers, schema):
    conn.autocommit(False)
    call_numbers(cur, numbers, 1500)
    assert len(cur.fetchall()) == 1500
    assert query(other, "select count(*) from %s.calls" % schema) == [(0,)]
    conn.commit()
    assert query(other, "select count(*) from %s.calls" % schema) == [(1,)]


def test_another_statement_while_a_refcursor_is_open(conn, cur, other, numbers, schema):
    call_numbers(cur, numbers, 5)
    assert cur.fetchone()[0] == 1
    # Autocommit stays autocommit: running something else commits the call.
    second = conn.cursor()
    second.execute("insert into %s.calls values (-1)" % schema)
    assert sorted(query(other, "select n from %s.calls" % schema)) == [(-1,), (5,)]


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


@pytest.mark.not_sanitized("a resident-size bound: ASan keeps freed memory in quarantine")
def test_refcursor_holds_one_batch_at_a_time(cur, schema):
    # 60,000 rows of 1 KiB: about 60 MiB if they were all held at once; a
    # batch of 1,000 is about 1 MiB.
    big = "%s.big" % schema
    cur.execute("create procedure %s(n int4, inout c refcursor) language plpgsql as $$ "
                "begin open c for select g, repeat('x', 1024) from generate_series(1, n) g; "
                "end $$" % big)
    call_numbers(cur, big, 10)
    cur.fetchall()
    before = resident_kib()
    call_numbers(cur, big, 60000)
    count, peak = 0, before
    while cur.fetchone() is not None:
        count += 1
        if count % 500 == 0:
            peak = max(peak, resident_kib())
    assert count == 60000
    assert peak - before < 20 * 1024

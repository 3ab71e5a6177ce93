"""Values of every common server type go in as parameters and come back
through fetch as the Python value the engine's type rules promise; values
those Python types cannot hold whole come back as their text."""
import array
import datetime
import decimal
import math
import struct

import pytest

import vkcondb
from pg_support import conn, cur, query, table  # noqa: F401 (fixtures)

D = decimal.Decimal


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


NAN = float("nan")
INF = float("inf")

# (column type, value sent, value fetched)
ROUND_TRIPS = [
    ("int2", 32767, 32767),
    ("int2", -32768, -32768),
    ("int4", 2 ** 31 - 1, 2 ** 31 - 1),
    ("int4", -2 ** 31, -2 ** 31),
    ("int8", 2 ** 63 - 1, 2 ** 63 - 1),
    ("int8", -2 ** 63, -2 ** 63),
    ("float4", 1.5, 1.5),
    ("float4", 1 / 3, f32(1 / 3)),
    ("float4", INF, INF),
    ("float4", -INF, -INF),
    ("float4", NAN, NAN),
    ("float8", 0.1, 0.1),
    ("float8", 1 / 3, 1 / 3),
    ("float8", 1e-300, 1e-300),
    ("float8", -1.7976931348623157e308, -1.7976931348623157e308),
    ("float8", 1.0000000000000002, 1.0000000000000002),
    ("float8", INF, INF),
    ("float8", -INF, -INF),
    ("float8", NAN, NAN),
    ("numeric", D("12.25"), 12.25),
    ("numeric", 7, 7.0),
    ("numeric", 2.5, 2.5),
    ("numeric", D("-123456789012345"), -123456789012345.0),          # 15 digits
    ("numeric", D("0.1234567890123456"), "0.1234567890123456"),      # 16 digits
    ("numeric(30,10)", D("12345678901234567890.0123456789"),
     "12345678901234567890.0123456789"),
    ("numeric", D("1E+3"), 1000.0),
    ("text", "plain", "plain"),
    ("text", "h\u00e9llo \u20ac \u4e2d \U0001f600", "h\u00e9llo \u20ac \u4e2d \U0001f600"),
    ("text", "", ""),
    ("text", "quote ' and \\ backslash", "quote ' and \\ backslash"),
    ("varchar(10)", "\u00e9\u00e9\u00e9\u00e9\u00e9abcde", "\u00e9\u00e9\u00e9\u00e9\u00e9abcde"),
    ("varchar(10)", "", ""),
    ("char(5)", "ab", "ab   "),
    ("char(5)", "\u00e9\u00e9\u00e9\u00e9\u00e9", "\u00e9\u00e9\u00e9\u00e9\u00e9"),
    ("bool", True, True),
    ("bool", False, False),
    ("date", datetime.date(2024, 2, 29), "2024-02-29"),
    ("date", datetime.date(9999, 12, 31), "9999-12-31"),
    ("date", datetime.date(1, 1, 1), "0001-01-01"),
    ("date", datetime.date(987, 6, 5), "0987-06-05"),
    ("time", datetime.time(23, 59, 58), "23:59:58"),
    ("time", datetime.time(0, 0, 0), "00:00:00"),
    ("time", datetime.time(1, 2, 3, 500000), "01:02:03.5"),
    ("timestamp", datetime.datetime(2020, 1, 2, 3, 4, 5, 123000),
     datetime.datetime(2020, 1, 2, 3, 4, 5, 123000)),
    ("timestamp", datetime.datetime(1969, 12, 31, 23, 59, 59, 999000),
     datetime.datetime(1969, 12, 31, 23, 59, 59, 999000)),
    ("timestamp", datetime.datetime(2021, 5, 6, 7, 8, 9, 654321), "2021-05-06 07:08:09.654321"),
    ("timestamp", datetime.datetime(1, 1, 1, 0, 0), datetime.datetime(1, 1, 1, 0, 0)),
    ("timestamptz", "2020-01-02 03:04:05+00", "2020-01-02 03:04:05+00"),
    ("timestamptz", datetime.datetime(2020, 1, 2, 3, 4, 5), "2020-01-02 03:04:05+00"),
    ("interval", "1 day 02:03:04", "0000001 02:03:04.000000"),
    ("interval", "36 hours 0.25 seconds", "0000001 12:00:00.250000"),
    ("interval", "-1 day -00:00:01.5", "-0000001 00:00:01.500000"),
    ("interval", "0", "0000000 00:00:00.000000"),
    ("interval", "14 months", "1-02"),
    ("interval", "-2 years", "-2-00"),
    ("interval", "1 month 2 days", "P1M2D"),
    ("interval", "1 year 00:00:01", "P1YT1S"),
    ("interval year to month", "3 years 4 months", "3-04"),
    ("bytea", b"\x00\x01\x00\xff", b"\x00\x01\x00\xff"),
    ("bytea", b"", b""),
    ("bytea", bytearray(b"\x00ab\x00"), b"\x00ab\x00"),
    ("bytea", memoryview(b"\x00cd"), b"\x00cd"),
    ("bytea", memoryview(b"0123456789")[::2], b"02468"),
    ("bytea", memoryview(array.array("H", [1, 2])), array.array("H", [1, 2]).tobytes()),
    ("uuid", "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11", "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11"),
    ("json", '{"a": [1, 2.5, "x"], "b": null}', '{"a": [1, 2.5, "x"], "b": null}'),
    ("jsonb", '{"b": 1,   "a": "\u00e9"}', '{"a": "\u00e9", "b": 1}'),
]


def same(got, expected):
    if isinstance(expected, float) and math.isnan(expected):
        return isinstance(got, float) and math.isnan(got)
    return type(got) is type(expected) and got == expected


def case_id(case):
    decl, sent, _ = case
    text = repr(sent)
    return "%s-%s" % (decl, text if len(text) <= 30 else text[:27] + "...")


@pytest.fixture
def utc(cur):
    # The time zone decides how timestamptz values read; the session's own
    # setting, not the machine's.
    cur.execute("set time zone 'UTC'")
    return cur


@pytest.mark.parametrize("decl, sent, expected", ROUND_TRIPS, ids=[case_id(c) for c in ROUND_TRIPS])
def test_value_round_trips_through_a_table(utc, table, decl, sent, expected):
    name = table("id int, v %s" % decl)
    utc.execute("insert into %s values (?, ?)" % name, (1, sent))
    assert utc.rowcount == 1
    rows = query(utc, "select v from %s where id = ?" % name, (1,))
    assert len(rows) == 1
    got = rows[0][0]
    assert same(got, expected), (got, expected)


ALL_TYPES = sorted({c[0] for c in ROUND_TRIPS})


@pytest.mark.parametrize("decl", ALL_TYPES)
def test_null_of_every_type_reads_as_none(cur, table, decl):
    name = table("id int, v %s" % decl)
    cur.execute("insert into %s values (?, ?)" % name, (1, None))
    assert query(cur, "select v, v is null from %s" % name) == [(None, True)]


def test_null_of_every_type_in_one_row(cur, table):
    name = table(", ".join("c%d %s" % (i, d) for i, d in enumerate(ALL_TYPES)))
    cur.execute("insert into %s values (%s)" % (name, ", ".join("?" * len(ALL_TYPES))),
                (None,) * len(ALL_TYPES))
    assert query(cur, "select * from %s" % name) == [(None,) * len(ALL_TYPES)]


# Server values that the Python type of their column cannot hold whole.
AS_TEXT = [
    ("'infinity'::timestamp", "infinity"),
    ("'-infinity'::timestamp", "-infinity"),
    ("'infinity'::date", "infinity"),
    ("'0044-03-15 BC'::date", "0044-03-15 BC"),
    ("'12:00:00.000001'::time", "12:00:00.000001"),
    ("'2000-01-01 00:00:00.0005'::timestamp", "2000-01-01 00:00:00.0005"),
    ("12345678901234567890::numeric", "12345678901234567890"),
    ("'-0.00000000000000012345678901234567'::numeric", "-0.00000000000000012345678901234567"),
    ("'10000-01-01 00:00:00'::timestamp", "10000-01-01 00:00:00"),
    ("'{1,2,NULL}'::int[]", "{1,2,NULL}"),
    ("'(1,2)'::point", "(1,2)"),
    ("'12:00:00+02'::timetz", "12:00:00+02"),
    ("'a b'::tsvector", "'a' 'b'"),
]


@pytest.mark.parametrize("expr, text", AS_TEXT, ids=[a[0] for a in AS_TEXT])
def test_values_beyond_the_python_type_come_back_as_text(cur, expr, text):
    assert query(cur, "select %s" % expr) == [(text,)]


@pytest.mark.parametrize("expr, check", [
    ("'NaN'::numeric", math.isnan),
    ("'1e20'::numeric", lambda v: v == 1e20),
    ("'-0.000001'::numeric", lambda v: v == -0.000001),
    ("'123456789.123456'::numeric", lambda v: v == 123456789.123456),
], ids=["nan", "1e20", "small", "15-digits"])
def test_short_numeric_is_a_float(cur, expr, check):
    (value,), = query(cur, "select %s" % expr)
    assert isinstance(value, float) and check(value), value


@pytest.mark.parametrize("expr, value", [
    ("'9999-12-31 23:59:59.999'::timestamp", datetime.datetime(9999, 12, 31, 23, 59, 59, 999000)),
    ("'0001-01-01 00:00:00'::timestamp", datetime.datetime(1, 1, 1)),
    ("'pg_class'::regclass::oid", 1259),
    ("'x'::\"char\"", "x"),
    ("'pg_class'::name", "pg_class"),
    ("true", True),
    ("1::int2 + 1::int2", 2),
], ids=["max-timestamp", "min-timestamp", "oid", "char", "name", "bool", "int2-expression"])
def test_server_values_by_their_column_type(cur, expr, value):
    (got,), = query(cur, "select %s" % expr)
    assert type(got) is type(value) and got == value


def test_a_megabyte_of_text_and_of_bytes(cur, table):
    name = table("id int, t text, b bytea")
    text = ("\u00e9abc\u20ac" * (1 << 18))[: 1 << 20]
    blob = bytes(range(256)) * 4096  # 1 MiB, zero bytes included
    cur.execute("insert into %s values (?, ?, ?)" % name, (1, text, blob))
    (t, b), = query(cur, "select t, b from %s" % name)
    assert type(t) is str and len(t) == len(text) and t == text
    assert type(b) is bytes and len(b) == len(blob) and b == blob
    # Read together with short values of the same columns.
    cur.execute("insert into %s values (?, ?, ?)" % name, (2, "short", b"\x00"))
    rows = query(cur, "select id, t, b from %s order by id" % name)
    assert rows == [(1, text, blob), (2, "short", b"\x00")]


def test_decimal_keeps_every_digit(cur, table):
    name = table("id int, v numeric")
    values = [D("3.14159265358979323846264338327950288"), D("-0.000000000000000000001"),
              D("1234567890123456789012345678901234567890")]
    for i, v in enumerate(values):
        cur.execute("insert into %s values (?, ?)" % name, (i, v))
    # Compared on the server, exactly.
    rows = query(cur, "select id from %s where v = ?::numeric order by id" % name, (values[0],))
    assert rows == [(0,)]
    got = [r[0] for r in query(cur, "select v::text from %s order by id" % name)]
    assert [D(g) for g in got] == values


def test_parameter_of_another_type_is_refused_naming_it(cur, table):
    name = table("id int, v text")
    with pytest.raises(vkcondb.ProgrammingError) as info:
        cur.execute("insert into %s values (?, ?)" % name, (1, object()))
    assert "object" in str(info.value)
    assert query(cur, "select count(*) from %s" % name) == [(0,)]


DESCRIBED = [
    # column type, description type name, size (None: not checked), scale
    ("int2", "SMALLINT", 2, 0),
    ("int4", "INTEGER", 4, 0),
    ("int8", "BIGINT", 8, 0),
    ("float4", "FLOAT", 4, 0),
    ("float8", "DOUBLE", 8, 0),
    ("numeric(10,2)", "NUMERIC", 10, 2),
    ("varchar(12)", "VARCHAR", 12, 0),
    ("text", "VARCHAR", None, 0),
    ("char(5)", "CHAR", 5, 0),
    ("bool", "BOOLEAN", 1, 0),
    ("date", "DATE", None, 0),
    ("time", "TIME", None, 0),
    ("timestamp", "DATETIME", None, 0),
    ("timestamptz", "VARCHAR", None, 0),
    ("interval", "INTERVAL DAY TO SECOND", None, 0),
    ("interval year to month", "INTERVAL YEAR TO MONTH", None, 0),
    ("bytea", "BLOB", None, 0),
    ("uuid", "VARCHAR", None, 0),
    ("json", "VARCHAR", None, 0),
]


def test_description_names_and_types(cur, table):
    cols = ", ".join('"Col %d" %s' % (i, d[0]) for i, d in enumerate(DESCRIBED))
    name = table(cols)
    cur.execute("select * from %s" % name)
    desc = cur.description
    assert len(desc) == len(DESCRIBED)
    for (decl, type_name, size, scale), entry in zip(DESCRIBED, desc):
        assert len(entry) == 7
        assert entry[1] == type_name, (decl, entry)
        if size is not None:
            assert entry[4] == size, (decl, entry)
        assert entry[5] == scale, (decl, entry)
    assert [e[0] for e in desc] == ["Col %d" % i for i in range(len(DESCRIBED))]
    assert cur.fetchall() == []


def test_description_of_expressions_and_no_description_without_rows(cur, table):
    cur.execute("select 1 as one, 'x' as \"Two\", ?::int8 as three", (3,))
    assert [(d[0], d[1]) for d in cur.description] == [
        ("one", "INTEGER"), ("Two", "VARCHAR"), ("three", "BIGINT")]
    assert cur.fetchall() == [(1, "x", 3)]
    name = table("id int")
    cur.execute("insert into %s values (1)" % name)
    assert cur.description is None

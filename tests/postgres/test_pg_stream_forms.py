"""The two ways the rows of a query reach the library
(src/vesksql/engines/postgres/): a single statement's rows read one at a
time as they arrive (pg_stream), and the whole result of a text of several
statements (pg_result).  Both read cells with the same hand-written number
parsing; whatever the way, the values, their Python types, the description,
the errors and the rows seen before an error are the same.  Every test here
runs a query both ways and compares."""
import math

import pytest

import vkcondb
from pg_support import connect, close_quietly, conn, cur, other, query, table  # noqa: F401

MANY = 1200  # rows: past the library's threshold of 1000


def same_value(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    return type(a) is type(b) and a == b


def same_rows(a, b):
    return len(a) == len(b) and all(
        len(x) == len(y) and all(same_value(u, v) for u, v in zip(x, y)) for x, y in zip(a, b))


def both_ways(cur, sql):
    """(description, rows) of `sql` read as it arrives, then as the second
    statement of a text of two (one whole result each)."""
    cur.execute(sql)
    streamed = (cur.description, cur.fetchall())
    cur.execute("select 0 as lead; " + sql)
    assert cur.fetchall() == [(0,)]
    assert cur.nextset()
    return [streamed, (cur.description, cur.fetchall())]


# (expression, its type): each runs as one column next to a counter.
VALUES = [
    ("g::int2", None), ("(-32768)::int2", None), ("(2147483647 - g)::int4", None),
    ("(-9223372036854775807 - 1)::int8", None), ("(9223372036854775807 - g)::int8", None),
    ("g * 1000000000000000::int8", None), ("1234567890123456789::int8", None),
    ("(g * 0.5)::float8", None), ("(g / 3.0)::float8", None), ("0.1::float8", None),
    ("1e300::float8", None), ("-1.7976931348623157e308::float8", None),
    ("5e-324::float8", None), ("1.0000000000000002::float8", None),
    ("'-0'::float8", None), ("'NaN'::float8", None), ("'Infinity'::float8", None),
    ("'-Infinity'::float8", None), ("123456789012345678::float8", None),
    ("(g / 7.0)::float4", None), ("'NaN'::float4", None), ("3.4e38::float4", None),
    ("(g * 1.25)::numeric(10, 2)", None), ("12345678901234567890.5::numeric", None),
    ("'NaN'::numeric", None), ("(-g)::numeric / 8", None),
    ("E'tab\\there, new\\nline, cr\\r, back\\\\slash, bs\\b, ff\\f, vt\\x0b end'", None),
    ("'\\N'", None), ("'\\\\N'", None), ("''", None), ("' '", None),
    ("'h\u00e9llo \u20ac \u4e2d \U0001f600'", None), ("repeat('x', 70000)", None),
    ("repeat(E'\\t\\\\', 5000)", None), ("case when g % 3 = 0 then null else g::text end", None),
    ("g % 2 = 0", None), ("null::bool", None), ("'2024-02-29'::date", None),
    ("'infinity'::date", None), ("'0044-03-15 BC'::date", None), ("'23:59:58'::time", None),
    ("'01:02:03.5'::time", None), ("'2020-01-02 03:04:05.123'::timestamp", None),
    ("'2021-05-06 07:08:09.654321'::timestamp", None), ("'-infinity'::timestamp", None),
    ("'2020-01-02 03:04:05+00'::timestamptz", None), ("'1 day 02:03:04'::interval", None),
    ("'14 months'::interval", None), ("'1 month 2 days'::interval", None),
    ("E'\\\\x00ff5c09'::bytea", None), ("''::bytea", None), ("'ab'::char(5)", None),
    ("'x'::\"char\"", None), ("'pg_class'::name", None), ("'abc'::varchar(10)", None),
    ("'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'::uuid", None),
    ("'{\"a\": [1, \"x\\\\ty\"]}'::json", None), ("'{\"b\": 1, \"a\": \"\u00e9\"}'::jsonb", None),
    ("array['a b', null, 'c\\d', E'e\\tf']", None), ("row(1, 'x y', null)", None),
    ("'(1,2)'::point", None), ("1259::oid", None), ("'a b'::tsvector", None),
]


def test_values_of_every_kind_are_the_same_both_ways(cur):
    exprs = [e for e, _ in VALUES]
    sql = "select g, %s from generate_series(1, %d) g" % (", ".join(exprs), MANY)
    (desc1, rows1), (desc2, rows2) = both_ways(cur, sql)
    assert desc1 == desc2
    assert len(rows1) == MANY
    for r1, r2 in zip(rows1, rows2):
        for i, (u, v) in enumerate(zip(r1, r2)):
            assert same_value(u, v), (exprs[i - 1] if i else "g", u, v)


def test_nulls_of_every_kind_are_the_same_both_ways(cur):
    types = ["int2", "int4", "int8", "float4", "float8", "numeric", "text", "varchar(3)",
             "char(2)", "bool", "date", "time", "timestamp", "timestamptz", "interval",
             "bytea", "uuid", "json", "jsonb", "int[]"]
    sql = "select g, %s from generate_series(1, %d) g" % (
        ", ".join("null::%s" % t for t in types), MANY)
    (desc1, rows1), (desc2, rows2) = both_ways(cur, sql)
    assert desc1 == desc2
    assert rows1 == rows2
    assert rows2[0][1:] == (None,) * len(types)


def test_a_table_of_typed_columns(cur, table):
    name = table("a int8, b float8, c text, d numeric(12, 3), e varchar(7), f char(3), "
                 "g timestamp(3), h bytea")
    cur.execute("insert into %s select i, i / 4.0, 'row' || i, i / 8.0, 'v' || i, 'c', "
                "'2000-01-01'::timestamp + i * interval '1 second', "
                "decode(lpad(to_hex(i), 8, '0'), 'hex') "
                "from generate_series(1, %d) i" % (name, MANY))
    cur.execute("update %s set c = null, d = null, h = null where a %% 5 = 0" % name)
    (desc1, rows1), (desc2, rows2) = both_ways(cur,
                                             "select * from %s order by a" % name)
    assert desc1 == desc2
    assert same_rows(rows1, rows2)


def test_query_forms(cur, table):
    name = table("a int")
    cur.execute("insert into %s select generate_series(1, %d)" % (name, MANY))
    for sql in ["-- a comment first\n/* and /* a nested */ one */ select a from %s -- last" % name,
                "(select a from %s) union all (select a from %s order by a limit 0)" % (name, name),
                "table %s" % name,
                "values (1), (2), (3), " + ", ".join("(%d)" % i for i in range(MANY)),
                "select a from %s for update" % name,
                "SeLeCt a, 'it''s' as q, $x$ into ) ; $x$ as d from %s" % name]:
        (desc1, rows1), (desc2, rows2) = both_ways(cur, sql)
        assert desc1 == desc2
        assert rows1 == rows2


@pytest.mark.parametrize("sql", [
    "select 'ab'::varchar(5) as v from g union all select 'abcd'::varchar(5) from g",
    "select 'ab'::varchar(5) as v from g union all select 'abcd'::varchar(7) from g",
    "select case when n > 5 then 'x'::char(3) else 'yy'::char(3) end, n::numeric(8, 3), "
    "coalesce(null::varchar(4), 'z'), (n::numeric(5, 1) + 1)::numeric(9, 2) from g",
    "select * from (select n, n::varchar(9) as t from g) s where n > 0",
    "select array[n]::int[], row(n, 'a')::record, n::bit(8), n::money from g",
    "select '1 year'::interval year, '2 hours'::interval hour to second, "
    "'12:00'::time(2), '2020-01-01 00:00:00.125'::timestamp(1) from g",
], ids=["union-same", "union-differ", "case-coalesce", "subquery", "other-types", "intervals"])
def test_descriptions_with_type_modifiers(cur, sql):
    cur.execute("create temp table g as select generate_series(1, %d) as n" % MANY)
    (desc1, rows1), (desc2, rows2) = both_ways(cur, sql)
    assert desc1 == desc2
    assert rows1 == rows2


def test_a_failure_midway_leaves_the_same_rows_before_it(cur):
    sql = "select g, 1 / (g - %d) from generate_series(1, %d) g" % (MANY - 100, MANY)
    outcomes = []
    for _ in range(2):
        cur.execute(sql)
        seen = []
        with pytest.raises(vkcondb.Error) as failure:
            while True:
                row = cur.fetchone()
                if row is None:
                    break
                seen.append(row)
        outcomes.append((seen, type(failure.value), str(failure.value)))
    assert outcomes[0] == outcomes[1]
    assert len(outcomes[0][0]) == MANY - 101
    with pytest.raises(vkcondb.Error) as failure:
        query(cur, sql)
    assert str(failure.value) == outcomes[0][2]
    assert query(cur, "select 7") == [(7,)]


def test_a_failure_at_the_first_row_fails_the_statement(cur, table, pg_server):
    name = table("a int")
    pg_server.psql("insert into %s select generate_series(1, %d)" % (name, MANY))
    sql = "select 10 / a from %s order by a" % name
    assert len(query(cur, sql)) == MANY
    pg_server.psql("update %s set a = 0 where a = 1" % name)
    # A connection that read the rows before: execute raises, before any
    # fetch, as on a fresh one.
    with pytest.raises(vkcondb.Error) as seen_before:
        cur.execute(sql)
    fresh = connect(pg_server)
    try:
        with pytest.raises(vkcondb.Error) as ordinary_way:
            fresh.cursor().execute(sql)
    finally:
        close_quietly(fresh)
    assert type(seen_before.value) is type(ordinary_way.value)
    assert str(seen_before.value) == str(ordinary_way.value) == "division by zero"
    # No rows at all: an empty result, the same both ways.
    pg_server.psql("delete from %s" % name)
    cur.execute(sql)
    assert cur.fetchall() == []
    assert [d[0] for d in cur.description] == ["?column?"]


def test_fetchmany_and_an_interleaved_cursor(conn, cur):
    sql = "select g from generate_series(1, %d) g" % MANY
    query(cur, sql)
    cur.execute(sql)
    assert cur.fetchone() == (1,)
    assert cur.fetchmany(5) == [(g,) for g in range(2, 7)]
    # Another cursor runs in between: the rest is kept for this one.
    b = conn.cursor()
    assert query(b, "select 'b'") == [("b",)]
    assert cur.fetchall() == [(g,) for g in range(7, MANY + 1)]
    assert cur.fetchone() is None
    query(cur, sql)


def test_a_cursor_closed_midway_leaves_the_connection_usable(conn, cur):
    sql = "select g from generate_series(1, 50000) g"
    query(cur, sql)
    for _ in range(2):
        c = conn.cursor()
        c.execute(sql)
        assert c.fetchmany(3) == [(1,), (2,), (3,)]
        c.close()
        assert query(cur, "select 8") == [(8,)]


def test_a_failure_before_the_rows_is_the_same(cur, table, pg_server):
    name = table("a int")
    pg_server.psql("insert into %s select generate_series(1, %d)" % (name, MANY))
    sql = "select a from %s" % name
    query(cur, sql)
    query(cur, sql)
    pg_server.psql("drop table %s" % name)
    with pytest.raises(vkcondb.Error) as failure:
        query(cur, sql)
    assert "does not exist" in str(failure.value)
    pg_server.psql("create table %s (a text, b int)" % name)
    pg_server.psql("insert into %s select 'x' || g, g from generate_series(1, 3) g" % name)
    # The table is back with other columns: they are what comes back.
    assert query(cur, "select * from %s order by b" % name) == [("x1", 1), ("x2", 2), ("x3", 3)]
    assert [d[0] for d in cur.description] == ["a", "b"]
    assert query(cur, sql) == [("x1",), ("x2",), ("x3",)]


def test_inside_a_transaction(conn, cur, other, table):
    name = table("a int")
    sql = "select g from generate_series(1, %d) g" % MANY
    conn.begin()
    cur.execute("insert into %s values (1)" % name)
    assert len(query(cur, sql)) == MANY
    assert len(query(cur, sql)) == MANY
    assert query(cur, "select count(*) from %s" % name) == [(1,)]
    conn.rollback()
    assert query(other, "select count(*) from %s" % name) == [(0,)]
    # A failed transaction refuses the query the same way.
    conn.begin()
    with pytest.raises(vkcondb.Error):
        cur.execute("select 1 / 0")
    with pytest.raises(vkcondb.Error) as failure:
        query(cur, sql)
    assert "current transaction is aborted" in str(failure.value)
    conn.rollback()
    assert len(query(cur, sql)) == MANY


def test_statements_that_are_not_queries_run_as_before(cur, table):
    name = table("a int")
    # SELECT INTO gives no rows.
    for i in range(2):
        cur.execute("select g into %s_%d from generate_series(1, %d) g" % (name, i, MANY))
    assert query(cur, "select count(*) from %s_0" % name) == [(MANY,)]
    cur.execute("drop table %s_0, %s_1" % (name, name))
    # A query that reads its own text on the server sees the caller's text,
    # however often it runs.
    sql = "select current_query(), g from generate_series(1, %d) g" % MANY
    first = query(cur, sql)
    assert query(cur, sql) == first
    assert first[0][0] == sql
    # ... also from inside a function of the caller's.
    cur.execute("create function %s_text() returns text language sql "
                "as $$ select current_query() $$" % name)
    sql = "select %s_text(), g from generate_series(1, %d) g" % (name, MANY)
    for _ in range(2):
        assert query(cur, sql)[-1] == (sql, MANY)
    cur.execute("drop function %s_text()" % name)
    # A query with parameters keeps one result per row.
    sql = "select g from generate_series(1, ?) g"
    for _ in range(2):
        assert len(query(cur, sql, (MANY,))) == MANY

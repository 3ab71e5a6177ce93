"""Numbers sent to a prepared statement (executemany) go in binary form
where the server fixed the parameter's type to int2, int4, int8 or float8
and that form holds the value exactly; everything else goes as text, as
execute() sends every value.  Either way the server stores the same value
and refuses the same values with the same error."""
import math
import re

import pytest

import vkcondb
from pg_support import conn, cur, other, query, table  # noqa: F401 (fixtures)

NAN, INF = float("nan"), float("inf")

CASES = [
    ("int2", [0, 1, -1, 32767, -32768, True, False]),
    ("int4", [0, -7, 2 ** 31 - 1, -2 ** 31, 65536]),
    ("int8", [0, 2 ** 63 - 1, -2 ** 63, 2 ** 31, -2 ** 53 - 1]),
    ("float8", [0.0, -0.0, 0.1, 1 / 3, 1e308, -1.7976931348623157e308, 5e-324, 2.5e-310,
                NAN, INF, -INF, 3, -2 ** 53, 2 ** 53, 2 ** 53 + 1, 2 ** 63 - 1, -2 ** 63,
                1.0000000000000002, 123456789.125]),
    # Texts: a plain decimal one goes in binary form, any other as text.
    ("float8", ["1.5", "-0", "0.000", "00012.50", "1E+2", "-1.7976931348623157e308",
                "2.2250738585072014e-308", "2.2250738585072011e-308", "4.9e-324", "1e-320",
                " 1.5", "1.", ".5", "Infinity", "-inf", "nan", "0x10", "12345678901234567890123",
                "0.1000000000000000055511151231257827021181583404541015625"]),
    ("float4", [0.1, 1 / 3, 3, -0.0, 3.4e38, NAN, 16777217]),
    ("numeric", [1, -2 ** 63, 0.1, 1e-20, 2 ** 53 + 1, 1.5e300]),
    ("numeric(6, 2)", [1, 0.125, -9999.99]),
    ("text", [1, -2 ** 63, 0.1, 1e300, -0.0, NAN]),
    ("bool", [True, False, 1, 0]),
]


def ids_of(cases):
    return [c[0] for c in cases]


def server_texts(other, name):
    return query(other, "select n, v::text from %s order by n" % name)


@pytest.mark.parametrize("decl, values", CASES, ids=ids_of(CASES))
def test_executemany_stores_what_execute_stores(conn, cur, other, table, decl, values):
    by_execute = table("n int, v %s" % decl)
    many_ahead = table("n int, v %s" % decl)
    many_each = table("n int, v %s" % decl)
    rows = list(enumerate(values)) + [(len(values), None)]
    for row in rows:
        cur.execute("insert into %s values (?, ?)" % by_execute, row)
    # Inside a transaction the runs go ahead in a pipeline; outside, each
    # runs on its own.
    conn.begin()
    cur.executemany("insert into %s values (?, ?)" % many_ahead, rows)
    conn.commit()
    cur.executemany("insert into %s values (?, ?)" % many_each, rows)
    want = server_texts(other, by_execute)
    assert server_texts(other, many_ahead) == want
    assert server_texts(other, many_each) == want
    # And the values read back are the same Python values.
    read = [query(other, "select v from %s order by n" % t) for t in
            (by_execute, many_ahead, many_each)]
    for a, b in zip(read[0], read[1] + read[2]):
        x, y = a[0], b[0]
        assert (isinstance(x, float) and math.isnan(x) and math.isnan(y)) or (
            type(x) is type(y) and x == y and str(x) == str(y))


@pytest.mark.parametrize("decl, value", [
    ("int2", 32768), ("int2", -32769), ("int4", 2 ** 31), ("int4", -2 ** 31 - 1),
    ("int8", 1.5), ("int4", 2.0), ("float8", "x"), ("float4", 1e39), ("numeric(3, 1)", 100),
    ("float8", "1e-400"), ("float8", "-1e309"), ("float8", "1.5e"), ("float8", "1,5"),
])
def test_refused_values_fail_alike(conn, cur, table, decl, value):
    name = table("v %s" % decl)
    sql = "insert into %s values (?)" % name
    with pytest.raises(vkcondb.Error) as by_execute:
        cur.execute(sql, (value,))
    # Sent ahead inside a transaction, the failure comes back with the
    # server's text, naming the run.
    conn.begin()
    with pytest.raises(vkcondb.Error) as in_transaction:
        cur.executemany(sql, [(value,)])
    conn.rollback()
    assert re.match(r"run \d+: ", str(in_transaction.value))
    assert str(in_transaction.value).split(": ", 1)[1] == str(by_execute.value)
    assert type(in_transaction.value) is type(by_execute.value)
    assert query(cur, "select count(*) from %s" % name) == [(0,)]


def test_parameters_in_expressions_keep_their_types(cur):
    # The server's types for the parameters decide the binary form; the
    # results are those of the text form.
    sql = "select ?::int8 + 1, ? * 2.5::float8, ?::int4 / 2, ? + 0.5::float8, ?::text"
    sets = [(2 ** 62, 3, 7, 2 ** 53 + 1, 12), (-5, -0.0, -7, 1e308, 0.1)]
    cur.executemany(sql, sets)
    many = cur.fetchall()
    assert many == query(cur, sql, sets[-1])
    # "?" alone is text to the server; beside an int4 it is an int4.
    sql = "select ?, ?::int4 + ?, ? = 1.0::float8"
    cur.executemany(sql, [(1, 2, 3, 1)])
    assert cur.fetchall() == query(cur, sql, (1, 2, 3, 1)) == [("1", 5, True)]

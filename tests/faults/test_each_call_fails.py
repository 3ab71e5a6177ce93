"""Each client-library call of a whole scenario made to fail in turn.

A scenario is run once against the scripted engine to learn its calls;
then, for every call k, it runs again with exactly that call answering -1
(and NULL in its out length, for a field read).  Whatever the failure, the
driver must raise one of its own exceptions or carry on, never crash, and
give back every large-object locator and result it took."""
import datetime
import gc

import pytest

from scripted.helpers import scripted_connect
from vkcondb import Error

ROWS = [
    [b"\x01\0\0\0\0\0\0\0", b"abc", b"blob bytes", {"data": b"x" * 300, "len": 300, "type": 41}],
    [None, None, None, None],
]
COLUMNS = [("n", 6, 8), ("s", 2, 10), ("b", 42, -1), ("c", 2, 10)]


def query_and_fetch(script):
    script.script("cli_sql_kind", {"ret": 4})
    script.script("cli_exec_direct", {"result": 9})
    script.table(9, COLUMNS, ROWS)
    script.table(9, [("m", 6, 8)], [[b"\x02\0\0\0\0\0\0\0"]])
    conn = scripted_connect()
    cur = conn.cursor()
    cur.setinputsizes([5, None])
    cur.execute("select ?, ?, ?", (1, "two", datetime.date(2020, 1, 2)))
    cur.description
    cur.fetchone()
    cur.fetchall()
    cur.nextset()
    cur.fetchmany(3)
    cur.getResultcolname(1)
    cur.close()
    conn.close()


def many_and_batch(script):
    conn = scripted_connect()
    cur = conn.cursor()
    cur.executemany("insert", [(1, 1.5), (2, None), {"k": b"v"}])
    cur.executebatch("insert", [[1, 2], ["a", None], [1.5, 2.5], [b"", b"x"],
                                [datetime.datetime(2020, 1, 2, 3, 4, 5), None]])
    conn.commit()
    conn.close()


def pooled(script):
    from vkcondb import _pyvkdb37 as m
    pool = m._conpool(7, 2, 1, "h", "d", "u", "p", "c", "s")
    a = pool.getconn()
    b = pool.getconn()
    a.cursor().execute("select 1")
    a.close()
    b.ping(1)
    b.close()


SCENARIOS = [query_and_fetch, many_and_batch, pooled]


def run(script, scenario):
    try:
        scenario(script)
    except Error:
        pass
    gc.collect()


def failure(op):
    if op == "cli_get_field":
        return {"ret": -1, "len": -1}
    return {"ret": -1}


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s.__name__ for s in SCENARIOS])
def test_each_call_fails_in_turn(script, scenario):
    run(script, scenario)
    ops = script.ops()
    assert ops, "the scenario made no call"
    for k, op in enumerate(ops):
        script.reset()
        earlier = ops[:k].count(op)
        script.script(op, *([{}] * earlier + [failure(op)]))
        run(script, scenario)
        assert script.lobs() == [], "call %d (%s): locators left" % (k, op)
        assert script.errors() == [], "call %d (%s): %r" % (k, op, script.errors())

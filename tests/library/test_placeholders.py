"""Every placeholder gets a value, or the statement does not run.

A placeholder takes its value by position or, when it has a name, by a
named value of that name; one with neither fails the execution before
anything of it is applied (single statements, texts of several statements,
prepared statements run again and again, batches)."""
from ctypes import byref, c_void_p

import pytest

from vk import BIGINT, DOUBLE, ERROR, OK, VARCHAR, DbError


def refused(c, sql, params=(), named=None):
    with pytest.raises(DbError) as e:
        c.execute(sql, params, named)
    return str(e.value)


def count(c, table="t"):
    return c.query("select count(*) from %s" % table)[0][0]


def exists(c, name):
    return c.query("select count(*) from sqlite_master where name = ?", (name,))[0][0] == 1


# ---- which placeholder lacks a value, and how the error names it --------

@pytest.mark.parametrize("sql, params, named, text", [
    ("select ?", (), None, "no value is bound for parameter 1"),
    ("select ?, ?", (1,), None, "no value is bound for parameter 2"),
    ("select ?2, ?1", (5,), None, "no value is bound for parameter 2"),
    ("select ?3", (1, 2), None, "no value is bound for parameter 3"),
    ("select :a, :b", (), {"a": 1}, "no value is bound for parameter :b"),
    ("select @who", (), None, "no value is bound for parameter @who"),
    ("select $v", (), {"w": 1}, "no value is bound for parameter $v"),
    ("select :a", (), {"@a": 1}, "no value is bound for parameter :a"),
    ("select ?, :n", (1,), {"m": 2}, "no value is bound for parameter :n"),
    ("select #h", (), {"h": 1}, "no value is bound for parameter #h"),
])
def test_missing_value_is_named(mem, sql, params, named, text):
    assert refused(mem, sql, params, named) == text


@pytest.mark.parametrize("sql, params", [
    ("select ?", (1, 2)),
    ("select 1", (7,)),
])
def test_positions_beyond_the_placeholders_are_refused(mem, sql, params):
    assert "is out of range" in refused(mem, sql, params)


@pytest.mark.parametrize("sql, params, named, expect", [
    ("select :a", (), {"a": 1, "unused": 2}, (1,)),      # extra names are ignored
    ("select 1", (), {"x": 1}, (1,)),
    ("select :a, @a, $a", (), {"a": 3}, (3, 3, 3)),     # a bare name serves every prefix
    ("select :a, @a", (), {"a": 0, ":a": 1}, (1, 0)),   # the exact name comes first
    ("select :a, ?", (4, 5), None, (4, 5)),             # a named placeholder by position
    ("select ?1, ?1", (6,), None, (6, 6)),
])
def test_values_found_by_position_or_name(mem, sql, params, named, expect):
    assert mem.query(sql, params, named) == [expect]


def test_null_is_a_value(mem):
    assert mem.query("select ?, :n", (None,), {"n": None}) == [(None, None)]


# ---- nothing runs -------------------------------------------------------

@pytest.mark.parametrize("mode", ["autocommit", "autocommit off"])
def test_refused_statement_changes_nothing(conn, mode):
    conn.direct("create table t(x, y)")
    if mode == "autocommit off":
        conn.command("set auto commit off")
    assert refused(conn, "insert into t values (?, ?)", (1,)).endswith("parameter 2")
    assert refused(conn, "insert into t values (:x, :y)", named={"x": 1}).endswith(":y")
    conn.lib.dll.cli_reset_params(conn.ref)
    with pytest.raises(DbError):
        conn.run("insert into t values (1, ?)")  # no parameters at all
    # not even the implicit transaction was opened: USE is refused in one
    assert conn.command("USE other;") == OK
    assert conn.command("USE main;") == OK
    assert count(conn) == 0


@pytest.mark.parametrize("text", [
    "insert into t values (1); insert into t values (?)",
    "insert into t values (1); select ?; insert into t values (2)",
    # the text's own transaction control: no savepoint can undo it
    "begin; insert into t values (1); commit; insert into t values (?)",
    "insert into t values (1); pragma user_version = 5; insert into t values (:late)",
])
def test_multi_statement_text_runs_nothing(mem, text):
    mem.direct("create table t(x)")
    assert refused(mem, text).startswith("no value is bound for parameter")
    assert count(mem) == 0
    assert mem.query("pragma user_version") == [(0,)]


def test_multi_statement_checked_with_any_placeholder_form(mem):
    mem.direct("create table t(x)")
    text = "begin; insert into t values (1); commit; select #h"
    assert refused(mem, text) == "no value is bound for parameter #h"
    assert count(mem) == 0
    res = mem.execute(text, named={"#h": 2})
    assert res.fetchall() == [(2,)]
    res.free()


def test_multi_statement_positions_run_on(mem):
    text = "select ?; select ?, ?"
    assert refused(mem, text, (1, 2)) == "no value is bound for parameter 3"
    assert "position 4 is out of range" in refused(mem, text, (1, 2, 3, 4))
    res = mem.execute(text, (1, 2, 3))
    assert res.fetchall() == [(1,)]
    res.free()


@pytest.mark.parametrize("autocommit", [True, False])
def test_multi_statement_checked_while_running_leaves_nothing(mem, autocommit):
    # The insert cannot be prepared before the table exists, so its
    # placeholder is found only while the text runs: the savepoint undoes
    # the table again.
    if not autocommit:
        mem.command("set auto commit off")
    text = "create table u(x); insert into u values (1); insert into u values (?)"
    assert refused(mem, text) == "no value is bound for parameter 1"
    assert not exists(mem, "u")
    mem.execute(text, (2,))
    assert mem.query("select x from u order by x") == [(1,), (2,)]


def test_prepared_statement_run_again_needs_every_value(mem):
    dll = mem.lib.dll
    mem.direct("create table t(x, y)")
    assert dll.cli_prepare(mem.ref, b"insert into t values (?, :y)", 0) == OK

    def run(*binds):
        dll.cli_reset_params(mem.ref)
        for pos, value, name in binds:
            assert mem.bind(pos, value, name=name) == OK
        r = c_void_p()
        return dll.cli_exec_prepared(mem.ref, 0, 0, byref(r))

    assert run((1, "a", None), (0, "b", "y")) == OK
    assert run((1, "c", None)) == ERROR
    assert mem.error() == "no value is bound for parameter :y"
    assert run() == ERROR
    assert mem.error() == "no value is bound for parameter 1"
    assert run((1, "d", None), (2, "e", None)) == OK
    assert mem.query("select x, y from t order by x") == [("a", "b"), ("d", "e")]


# ---- batches ------------------------------------------------------------

@pytest.mark.parametrize("positions, missing", [
    ((1, 2), 3),
    ((1, 3), 2),
    ((), 1),
])
@pytest.mark.parametrize("mode", ["autocommit", "begin"])
def test_batch_needs_a_column_per_placeholder(mem, positions, missing, mode):
    mem.direct("create table t(id integer primary key, r real, s text)")
    if mode == "begin":
        mem.command("begin;")
    mem.lib.dll.cli_reset_params(mem.ref)
    cols = {1: (BIGINT, [1, 2, 3]), 2: (DOUBLE, [0.5, None, 1.5]), 3: (VARCHAR, ["a", "b", None])}
    for pos in positions:
        typ, values = cols[pos]
        assert mem.bind_array(pos, typ, values, 3) == OK
    sql = b"insert into t(id, r, s) values (?, ?, ?)"
    assert mem.lib.dll.cli_exec_batch(mem.ref, sql, 3) == ERROR
    assert mem.error() == "no column is bound for parameter %d" % missing
    assert count(mem) == 0

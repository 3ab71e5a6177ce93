"""SQLSTATEs beside the error texts: what a failure leaves for cli_sqlstate,
on a connection and, for connect failures, on the thread."""
import ctypes
import threading
from ctypes import byref, c_void_p

import pytest

from vk import BIGINT, ERROR, OK, DbError, connect_string


def fails(c, sql, params=()):
    with pytest.raises(DbError):
        c.execute(sql, params)
    return c.sqlstate()


# ---- constraint and statement failures of the embedded engine -------------

@pytest.mark.parametrize("table, insert, expected", [
    ("t(x unique)", "insert into t values (1)", "23505"),
    ("t(x primary key)", "insert into t values (1)", "23505"),
    ("t(x integer primary key)", "insert into t values (1)", "23505"),
    ("t(x not null, y)", "insert into t(y) values (1)", "23502"),
    ("t(x check (x > 5))", "insert into t values (1)", "23514"),
])
def test_constraint_violations(mem, table, insert, expected):
    mem.direct("create table " + table)
    if expected != "23502" and expected != "23514":
        mem.direct(insert)
    assert fails(mem, insert) == expected
    assert "constraint" in mem.error().lower()


def test_foreign_key_violation(mem):
    mem.direct("pragma foreign_keys = on")
    mem.direct("create table p(id integer primary key)")
    mem.direct("create table c(p references p(id))")
    assert fails(mem, "insert into c values (9)") == "23503"


@pytest.mark.parametrize("sql, expected", [
    ("selec 1", "42601"),
    ("select (1", "42601"),
    ("select * from nowhere", "42P01"),
    ("select y from (select 1 as x)", "42703"),
])
def test_statement_errors(mem, sql, expected):
    assert fails(mem, sql) == expected


def test_failure_in_a_text_of_several_statements(mem):
    mem.direct("create table t(x unique)")
    mem.direct("insert into t values (1)")
    assert fails(mem, "insert into t values (2); insert into t values (1)") == "23505"
    assert mem.query("select count(*) from t") == [(1,)]


def test_batch_failure_keeps_the_row_state(mem):
    mem.direct("create table t(x unique)")
    assert mem.batch("insert into t values (?)", [(BIGINT, [1, 2, 1])]) == ERROR
    assert "row 3" in mem.error()
    assert mem.sqlstate() == "23505"


def test_exec_command_failure(mem):
    mem.direct("create table t(x unique)")
    mem.direct("insert into t values (1)")
    assert mem.command("insert into t values (1)") == ERROR
    assert mem.sqlstate() == "23505"
    assert mem.command("USE a.b;") == ERROR
    assert mem.sqlstate() == "HY000"


# ---- the library's own refusals ------------------------------------------

@pytest.mark.parametrize("sql, params", [
    ("select ?", ()),
    ("select ?, ?", (1,)),
    ("select 1", (1,)),
    ("select ?; select ?", (1,)),
])
def test_placeholder_without_value_or_value_without_placeholder(mem, sql, params):
    assert fails(mem, sql, params) == "07002"


def test_missing_statement_text(mem):
    assert mem.lib.dll.cli_exec_command(mem.ref, None) == ERROR
    assert mem.sqlstate() == "HY009"
    assert mem.lib.dll.cli_prepare(mem.ref, None, 0) == ERROR
    assert mem.sqlstate() == "HY009"


# ---- what a success leaves, and where the state is kept --------------------

def test_no_state_before_the_first_failure(mem):
    assert mem.sqlstate() == ""
    assert mem.direct("select 1").free() == 0
    assert mem.sqlstate() == ""


def test_success_keeps_the_last_failure(mem):
    mem.direct("create table t(x unique)")
    mem.direct("insert into t values (1)")
    fails(mem, "insert into t values (1)")
    mem.direct("insert into t values (2)")
    assert mem.command("select 1 from dual;") == OK
    assert mem.sqlstate() == "23505"
    fails(mem, "selec")
    assert mem.sqlstate() == "42601"


def test_connections_keep_their_own_state(lib, mem):
    other = lib.connect()
    try:
        fails(mem, "select * from nowhere")
        assert other.sqlstate() == ""
        fails(other, "selec")
        assert mem.sqlstate() == "42P01"
    finally:
        other.close()


@pytest.mark.parametrize("kw", [dict(charset="latin1"), dict(db=""), dict(port=70000),
                                 dict(ip="host.invalid"), dict(db="/nonexistent/dir/x.db")])
def test_refused_connect(lib, kw):
    rc, h = lib.try_connect(**kw)
    assert rc == ERROR and not h.value
    assert lib.thread_sqlstate() == "08001"
    assert lib.thread_error()


def test_connect_without_handle_address(lib):
    assert lib.dll.cli_connect(connect_string().encode(), None) == ERROR
    assert lib.thread_sqlstate() == "HY009"


def test_reconnect_without_connection(lib):
    h = c_void_p()
    assert lib.dll.cli_reconnect(byref(h)) == ERROR
    assert lib.thread_sqlstate() == "08003"


def test_connect_failure_is_kept_per_thread(lib, mem):
    lib.try_connect(charset="latin1")
    seen = []
    t = threading.Thread(target=lambda: seen.append(lib.thread_sqlstate()))
    t.start()
    t.join()
    assert seen == [""]
    assert lib.thread_sqlstate() == "08001"
    # a connection's own state is not the thread's
    assert mem.sqlstate() == ""


def test_writes_at_most_six_bytes(mem):
    fails(mem, "selec")
    buf = ctypes.create_string_buffer(b"Z" * 16, 16)
    assert mem.lib.dll.cli_sqlstate(mem.ref, buf) == OK
    assert buf.raw[:6] == b"42601\0" and buf.raw[6:] == b"Z" * 10
    assert mem.lib.dll.cli_sqlstate(mem.ref, None) == OK

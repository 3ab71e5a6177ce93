import ctypes
from ctypes import byref, c_int32, c_void_p

import pytest

from vk import DATE, DATETIME, DbError, ERROR, LOST, NO_DATA, OK, TIME, VARCHAR


def bind_raw(c, pos, typ, data, buflen, length):
    buf = ctypes.create_string_buffer(data, max(buflen, len(data), 1))
    cell = c_int32(length)
    return c.lib.dll.cli_bind_param(c.ref, pos, 1, typ, buf, buflen, byref(cell))


@pytest.mark.parametrize("value, stored", [
    (True, (1, "integer")),
    (False, (0, "integer")),
    (2 ** 62, (2 ** 62, "integer")),
    (-5, (-5, "integer")),
    (1.5, ("1.5000000000000", "text")),
    ("héllo", ("héllo", "text")),
    ("", ("", "text")),
    (b"\x00\x01\xff", (b"\x00\x01\xff", "blob")),
    (b"", (b"", "blob")),
    (None, (None, "null")),
])
def test_bind_every_module_type(mem, value, stored):
    got = mem.query("select ?1, typeof(?1)", (value,))
    assert got == [stored]


@pytest.mark.parametrize("typ, data, buflen, length, expect", [
    (DATE, b"2024-01-02", 11, 11, "2024-01-02"),
    (TIME, b"01:02:03.000000", 32, 32, "01:02:03.000000"),
    (DATETIME, b"2024-01-02 03:04:05.000006", 64, 64, "2024-01-02 03:04:05.000006"),
    (VARCHAR, b"abcdef", 7, 3, "abc"),        # declared size cuts the text
    (VARCHAR, b"x" * 64, 64, 64, "x" * 64),   # a float text without its zero
    (VARCHAR, b"\0", 2, 1, ""),
])
def test_bind_text_rules(mem, typ, data, buflen, length, expect):
    mem.lib.dll.cli_reset_params(mem.ref)
    assert bind_raw(mem, 1, typ, data, buflen, length) == OK
    res = mem.run("select ?")
    assert res.fetchall() == [(expect,)]
    res.free()


@pytest.mark.parametrize("sql", [
    "select :id", "select @id", "select $id", "select :id + 0 * :other",
])
def test_named_binding_bare_key(mem, sql):
    named = {"id": 7}
    if ":other" in sql:
        named["other"] = 1
    assert mem.query(sql, named=named)[0][0] == 7


def test_named_binding_key_used_unchanged(mem):
    assert mem.query("select :a, @a", named={"@a": 2, ":a": 1}) == [(1, 2)]


def test_unsupported_bind_type_fails_the_execution(mem):
    mem.lib.dll.cli_reset_params(mem.ref)
    assert bind_raw(mem, 1, 58, b"1234", 4, 4) == ERROR
    with pytest.raises(DbError) as e:
        mem.run("select ?")
    assert "type code 58" in str(e.value)
    mem.lib.dll.cli_reset_params(mem.ref)
    assert mem.query("select 1") == [(1,)]


def test_counters_and_rowid(mem):
    mem.direct("create table t(id integer primary key, x)")
    r = mem.direct("insert into t(x) values (1), (2), (3)")
    assert not r and r.counters == (0, 3, 3)
    r = mem.direct("create index i on t(x)")
    assert r.counters == (0, 0, 0)
    buf = ctypes.create_string_buffer(33)
    assert mem.lib.dll.cli_get_rowid(mem.ref, buf) == OK and buf.value == b"3"
    res = mem.direct("select * from t")
    assert res.counters == (0, -1, 0)
    assert res.info() == (OK, 4, (0, -1, 0))
    res.free()


def test_multi_statement_text(mem):
    res = mem.direct("create table t(x); insert into t values (1),(2); select 1; "
                     "select x from t order by x")
    assert res.counters[1] == 2
    assert res.fetchall() == [(1,)]
    assert mem.lib.dll.cli_next_result(res.ref) == OK
    assert res.fetchall() == [(1,), (2,)]
    assert mem.lib.dll.cli_next_result(res.ref) == NO_DATA
    res.free()


def test_multi_statement_failure_leaves_nothing(mem):
    mem.direct("create table t(x unique)")
    with pytest.raises(DbError) as e:
        mem.direct("insert into t values (1); insert into t values (1)")
    assert "UNIQUE" in str(e.value)
    assert mem.query("select count(*) from t") == [(0,)]


def test_multi_statement_binds_by_running_position(mem):
    res = mem.execute("select ?; select ?", ("a", "b"))
    assert res.fetchall() == [("a",)]
    mem.lib.dll.cli_next_result(res.ref)
    assert res.fetchall() == [("b",)]
    res.free()


def test_prepare_and_exec_prepared(mem):
    dll = mem.lib.dll
    mem.direct("create table t(x)")
    assert dll.cli_prepare(mem.ref, b"insert into t values (?)", 0) == OK
    for v in (1, 2, 3):
        dll.cli_reset_params(mem.ref)
        mem.bind(1, v)
        r = c_void_p()
        assert dll.cli_exec_prepared(mem.ref, 0, 0, byref(r)) == OK and not r.value
    assert dll.cli_prepare(mem.ref, b"select x from t where x >= ? order by x", 0) == OK
    dll.cli_reset_params(mem.ref)
    mem.bind(1, 2)
    r = c_void_p()
    assert dll.cli_exec_prepared(mem.ref, 0, 0, byref(r)) == OK and r.value
    from vk import Result
    res = Result(mem.lib, r, None)
    # a result stays readable after the statement is replaced and given back
    assert dll.cli_prepare(mem.ref, b"select 1", 0) == OK
    assert dll.cli_unprepare(mem.ref, None) == OK
    assert res.fetchall() == [(2,), (3,)]
    res.free()
    assert dll.cli_exec_prepared(mem.ref, 0, 0, byref(r)) == ERROR
    assert dll.cli_prepare(mem.ref, b"select 1; select 2", 0) == ERROR


def test_named_cursors_are_empty(mem):
    r = c_void_p()
    assert mem.lib.dll.cli_open_named_cursor(mem.ref, b"c1", byref(r)) == 0 and not r.value
    assert mem.lib.dll.cli_close_named_cursor(mem.ref, b"c1") == OK


def test_procedures_are_refused_by_the_embedded_engine(lib, mem):
    dll = mem.lib.dll
    assert dll.cli_exec_routine(mem.ref, b"execute p(?);", None) == ERROR
    assert "has no stored procedures" in mem.error()
    assert mem.sqlstate() == "0A000"
    # the connection goes on
    assert mem.query("select 1") == [(1,)]
    other = lib.connect()
    other.close()
    assert dll.cli_exec_routine(other.ref, b"execute p(?);", None) == LOST


def test_prepare_same_text_again_while_a_result_reads(mem):
    from vk import Result
    dll = mem.lib.dll
    sql = b"select value from json_each('[1,2,3]') where value >= ?"
    results = []
    for start in (1, 2):
        assert dll.cli_prepare(mem.ref, sql, 0) == OK
        dll.cli_reset_params(mem.ref)
        mem.bind(1, start)
        r = c_void_p()
        assert dll.cli_exec_prepared(mem.ref, 0, 0, byref(r)) == OK
        results.append(Result(mem.lib, r, None))
        assert results[-1].fetch() == OK
        assert dll.cli_unprepare(mem.ref, None) == OK
    assert [res.fetchall() for res in results] == [[(2,), (3,)], [(3,)]]
    for res in results:
        res.free()
    for start, expect in ((3, [(3,)]), (1, [(1,), (2,), (3,)])):
        assert dll.cli_prepare(mem.ref, sql, 0) == OK
        dll.cli_reset_params(mem.ref)
        mem.bind(1, start)
        r = c_void_p()
        assert dll.cli_exec_prepared(mem.ref, 0, 0, byref(r)) == OK
        res = Result(mem.lib, r, None)
        assert res.fetchall() == expect
        res.free()
        dll.cli_unprepare(mem.ref, None)

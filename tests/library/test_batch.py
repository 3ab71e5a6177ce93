import pytest

from vk import BIGINT, BINARY, DOUBLE, ERROR, INTEGER, OK, VARCHAR

INSERT = "insert into t(id, r, s) values (?, ?, ?)"


def table(c):
    c.direct("create table t(id integer primary key, r real, s text)")


def rows(c):
    return c.query("select id, r, s from t order by id")


@pytest.mark.parametrize("n", [1, 7, 100, 257])
def test_batch_inserts_every_row(mem, n):
    table(mem)
    ids = list(range(1, n + 1))
    cols = [(BIGINT, ids), (DOUBLE, [i / 4.0 for i in ids]), (VARCHAR, ["v%d" % i for i in ids])]
    assert mem.batch(INSERT, cols) == OK, mem.error()
    assert rows(mem) == [(i, i / 4.0, "v%d" % i) for i in ids]


def test_batch_nulls_and_empty_texts(mem):
    table(mem)
    cols = [(BIGINT, [1, 2, 3]), (DOUBLE, [None, 2.5, None]), (VARCHAR, [None, None, None])]
    assert mem.batch(INSERT, cols) == OK
    assert rows(mem) == [(1, None, None), (2, 2.5, None), (3, None, None)]
    mem.direct("delete from t")
    assert mem.batch(INSERT, [(BIGINT, [1, 2]), (DOUBLE, [0.0, 0.0]), (VARCHAR, ["", None])]) == OK
    assert mem.query("select s, typeof(s) from t order by id") == [("", "text"), (None, "null")]


def test_batch_binary_and_int32(mem):
    mem.direct("create table b(x, y)")
    assert mem.batch("insert into b values (?, ?)",
                     [(INTEGER, [1, 0, 2, 3]), (BINARY, [b"\x00\xff", None, b"", b"\0"])]) == OK
    assert mem.query("select x, y from b") == [(1, b"\x00\xff"), (0, None), (2, b""), (3, b"\0")]


@pytest.mark.parametrize("n, bad", [(5, 3), (250, 137), (250, 1), (250, 250)])
@pytest.mark.parametrize("mode", ["autocommit", "begin", "autocommit off"])
def test_batch_is_atomic_and_names_the_row(mem, n, bad, mode):
    table(mem)
    mem.direct("insert into t values (0, 0, 'before')")
    if mode == "begin":
        mem.command("begin;")
    elif mode == "autocommit off":
        mem.command("set auto commit off")
    ids = list(range(1, n + 1))
    ids[bad - 1] = 0  # clashes with the row already there
    cols = [(BIGINT, ids), (DOUBLE, [1.0] * n), (VARCHAR, ["x"] * n)]
    assert mem.batch(INSERT, cols) == ERROR
    assert mem.error() == "row %d: UNIQUE constraint failed: t.id" % bad
    assert rows(mem) == [(0, 0.0, "before")]
    if mode != "autocommit":
        # the enclosing transaction is still open and usable
        mem.direct("insert into t values (99, 0, 'after')")
        assert mem.command("rollback;") == OK
        assert rows(mem) == ([(0, 0.0, "before")])


def test_batch_duplicate_inside_one_group(mem):
    table(mem)
    ids = list(range(1, 51)) + [10]
    cols = [(BIGINT, ids), (DOUBLE, [0.0] * 51), (VARCHAR, ["x"] * 51)]
    assert mem.batch(INSERT, cols) == ERROR
    assert mem.error().startswith("row 51: UNIQUE")
    assert rows(mem) == []


@pytest.mark.parametrize("sql", [
    "insert into t(id, r, s) values (?1, ?2, ?3)",
    "insert into t(id, r, s) values (:a, :b, :c)",
    "insert into t(id, r, s) values (?, ?, ?) on conflict(id) do update set s = 'u'",
    "update t set r = ?2, s = ?3 where id = ?1",
])
def test_batch_other_statement_forms(mem, sql):
    table(mem)
    if sql.startswith("update"):
        mem.direct("insert into t values (1, 0, 'a'), (2, 0, 'b')")
    cols = [(BIGINT, [1, 2]), (DOUBLE, [1.5, 2.5]), (VARCHAR, ["p", "q"])]
    assert mem.batch(sql, cols) == OK, mem.error()
    assert [r[:2] for r in rows(mem)] == [(1, 1.5), (2, 2.5)]


@pytest.mark.parametrize("width_delta, lens_override, needle", [
    (-1, None, "runs past the width"),
    (0, [5, 1], "record holds"),
])
def test_bind_array_refuses_bad_records(mem, width_delta, lens_override, needle):
    import ctypes
    import struct
    data = struct.pack("=i", 2) + b"ab" + struct.pack("=i", 1) + b"c"
    lens = (ctypes.c_int32 * 2)(*(lens_override or [2, 1]))
    buf = ctypes.create_string_buffer(data)
    rc = mem.lib.dll.cli_bind_array(mem.ref, 1, 1, 1, VARCHAR, 2, buf, len(data) + width_delta,
                                    lens)
    assert rc == ERROR and needle in mem.error()


def test_batch_refusals(mem):
    table(mem)
    assert mem.batch("select 1; select 2", []) == ERROR
    mem.lib.dll.cli_reset_params(mem.ref)
    mem.bind_array(1, BIGINT, [1])
    assert mem.lib.dll.cli_exec_batch(mem.ref, INSERT.encode(), 2) == ERROR
    assert "holds 1 values" in mem.error()
    assert mem.batch("insert into t(id) values (1)", [(BIGINT, [5])]) == ERROR
    assert mem.batch(INSERT, [(BIGINT, [])]) == OK

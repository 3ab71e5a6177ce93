"""Control statements of the embedded engine: transactions, autocommit,
the liveness check, USE and reconnect."""
import pytest

from vk import ERROR, LOST, OK


def count(c, table="t"):
    return c.query("select count(*) from %s" % table)[0][0]


def second_view(lib, tmp_path, table="t"):
    other = lib.connect(db=str(tmp_path / "main.db"))
    try:
        return count(other, table)
    finally:
        other.close()


@pytest.mark.parametrize("end, expected", [("commit;", 1), ("rollback;", 0)])
def test_explicit_transaction(lib, conn, tmp_path, end, expected):
    conn.direct("create table t(x)")
    assert conn.command("begin;") == OK
    conn.direct("insert into t values (1)")
    assert second_view(lib, tmp_path) == 0
    assert conn.command(end) == OK
    assert second_view(lib, tmp_path) == expected


@pytest.mark.parametrize("text", ["commit;", "rollback;"])
def test_end_without_transaction_succeeds(mem, text):
    assert mem.command(text) == OK


def test_autocommit_off_then_rollback_and_on(lib, conn, tmp_path):
    conn.direct("create table t(x)")
    assert conn.command("set auto commit off") == OK
    conn.direct("insert into t values (1)")
    assert second_view(lib, tmp_path) == 0
    assert conn.command("rollback;") == OK
    assert count(conn) == 0
    conn.direct("insert into t values (2)")
    # switching autocommit on commits the open transaction
    assert conn.command("set auto commit on") == OK
    assert second_view(lib, tmp_path) == 1
    conn.direct("insert into t values (3)")
    assert second_view(lib, tmp_path) == 2


def test_dual_and_liveness(lib, conn):
    assert conn.command("select 1 from dual;") == OK
    assert conn.query("select * from dual") == [("X",)]
    assert conn.command("USE second;") == OK
    assert conn.command("select 1 from dual;") == OK


def test_use_switches_beside_current_file(lib, conn, tmp_path):
    conn.direct("create table t(x)")
    assert conn.command("USE other;") == OK
    assert (tmp_path / "other.db").exists()
    conn.direct("create table u(y)")
    with pytest.raises(Exception):
        conn.direct("select * from t")
    assert conn.command("USE main;") == OK
    assert count(conn) == 0


@pytest.mark.parametrize("name", ["../x", "a b", "x; drop table t", "1abc", "", "a.db",
                                  "x" * 200])
def test_use_refuses_names(conn, tmp_path, name):
    assert conn.command("USE %s;" % name) == ERROR
    assert "USE" in conn.error()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["main.db"]


def test_use_refused_inside_transaction(conn):
    conn.command("begin;")
    conn.direct("create table t(x)")
    assert conn.command("USE other;") == ERROR
    assert "transaction" in conn.error()


def test_lost_after_disconnect_and_reconnect(lib, conn, tmp_path):
    conn.direct("create table t(x)")
    conn.direct("insert into t values (1)")
    assert conn.command("USE other;") == OK
    assert lib.dll.cli_reconnect(conn.ref) == OK
    # a reconnect goes back to the database the handle was opened on
    assert count(conn) == 1
    assert conn.close() == OK
    assert conn.command("select 1 from dual;") == LOST
    assert lib.dll.cli_exec_command(None, b"select 1 from dual;") == LOST
    assert lib.dll.cli_reconnect(conn.ref) < 0


def test_result_outlives_its_connection(lib, tmp_path):
    c = lib.connect(db=str(tmp_path / "x.db"))
    res = c.direct("select 1 union all select 2")
    multi = c.direct("select 1; select 2")
    assert res.fetch() == OK
    c.close()
    for r in (res, multi):
        assert r.fetch() == ERROR
        assert r.field(1, 6, 8)[1] == -1
        assert r.free() == OK
    assert "closed" in lib.thread_error()


def test_other_command_text_runs_as_sql(mem):
    assert mem.command("create table t(x)") == OK
    assert mem.command("insert into t values (1); insert into t values (2)") == ERROR
    assert mem.command("no such statement") == ERROR
    assert "syntax error" in mem.error()


# ---- how control texts are recognised ---------------------------------------

@pytest.mark.parametrize("begin, end, expected", [
    ("  BEGIN  ", "COMMIT", 1),
    ("Begin\tTransaction ;", "end", 1),
    ("begin", "Commit Transaction;;", 1),
    ("begin;", "  ROLLBACK\nTRANSACTION  ", 0),
])
def test_transaction_texts_ignore_case_blanks_and_final_semicolon(lib, conn, tmp_path, begin,
                                                                 end, expected):
    conn.direct("create table t(x)")
    assert conn.command(begin) == OK
    conn.direct("insert into t values (1)")
    assert second_view(lib, tmp_path) == 0
    assert conn.command(end) == OK
    assert second_view(lib, tmp_path) == expected


def test_autocommit_texts_ignore_case_and_blanks(lib, conn, tmp_path):
    conn.direct("create table t(x)")
    assert conn.command("SET  AUTO\tCOMMIT   Off;") == OK
    conn.direct("insert into t values (1)")
    assert second_view(lib, tmp_path) == 0
    assert conn.command(" set auto commit ON ") == OK
    assert second_view(lib, tmp_path) == 1


def test_use_text_forms(conn, tmp_path):
    assert conn.command("  use \t other  ;  ") == OK
    assert (tmp_path / "other.db").exists()
    assert conn.command("USE main") == OK
    # the name is kept as written: no case folding
    assert conn.command("use Third;") == OK
    assert (tmp_path / "Third.db").exists()


def test_liveness_check_does_not_need_dual(mem):
    mem.direct("drop view temp.dual")
    assert mem.command("SELECT 1 FROM DUAL") == OK
    # the text is recognised whole: with anything more it is a plain statement
    assert mem.command("select 1 from dual where 1") == ERROR
    assert "dual" in mem.error()


def test_near_control_texts_run_as_sql(mem):
    mem.direct("create table t(x)")
    # "begin immediate" is no control text but a statement of its own
    assert mem.command("begin immediate") == OK
    assert mem.command("begin") == OK  # already inside: nothing to do
    assert mem.command("commit") == OK
    assert mem.command("set auto commit maybe") == ERROR
    assert mem.command("used;") == ERROR
    assert "syntax error" in mem.error()

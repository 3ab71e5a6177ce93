"""`python -m vkcondb` on the embedded engine without a terminal: -c, -f and
standard input, what results and failures print, the row limit, the
commands, and the exit status."""
import re
import subprocess
import sys

import pytest

from shell_support import TIMEOUT, run_shell, shell_env

TIME = r"\d+\.\d{3} s"


def test_one_statement_prints_a_table(tmp_path):
    rc, out, err = run_shell([":memory:", "-c", "select 1 as one"], tmp_path)
    assert (rc, err) == (0, "")
    assert re.fullmatch(r"one\n---\n  1\n\(1 row, %s\)\n" % TIME, out), out


def test_several_statements_each_print_their_result(tmp_path):
    rc, out, err = run_shell(["app.db", "--no-timing", "-c",
                              "create table t(a integer primary key, b text);"
                              "insert into t values (1, 'x;y'), (2, null);\n"
                              "update t set b = 'z' where a > 1; delete from t where a > 9;"
                              "select * from t order by a"], tmp_path)
    assert (rc, err) == (0, "")
    assert out.splitlines() == [
        "OK", "OK, 2 rows changed", "OK, 1 row changed", "OK, 0 rows changed",
        "a | b", "--+----", "1 | x;y", "2 | z", "(2 rows)"]
    # The work is committed in the file.
    rc, out, _ = run_shell(["app.db", "-c", "select count(*) as n from t"], tmp_path)
    assert out.splitlines()[2] == "2"


def test_values_show_on_one_line_each(tmp_path):
    rc, out, _ = run_shell([":memory:", "--no-timing", "--null", "<null>", "-c",
                            "select 'a' || char(10) || 'b' as t, x'00ff' as b, null as n, "
                            "1.5 as f"], tmp_path)
    assert out.splitlines() == ["t    | b      | n      |   f",
                                "-----+--------+--------+----",
                                "a\\nb | \\x00ff | <null> | 1.5",
                                "(1 row)"]


SERIES = "with recursive r(x) as (select 1 union all select x + 1 from r where x < %d) " \
         "select x from r"


def test_row_limit_says_how_many_rows_were_left_out(tmp_path):
    rc, out, _ = run_shell([":memory:", "--max-rows", "3", "-c", SERIES % 2500], tmp_path)
    lines = out.splitlines()
    assert rc == 0
    assert lines[:5] == ["x", "-", "1", "2", "3"]
    assert re.fullmatch(r"\(3 rows shown, 2497 more not shown, %s\)" % TIME, lines[5])
    assert len(lines) == 6
    # A result exactly at the limit has nothing left out.
    _, out, _ = run_shell([":memory:", "--max-rows", "3", "--no-timing", "-c", SERIES % 3],
                          tmp_path)
    assert out.splitlines()[-1] == "(3 rows)"
    # No limit: every row, measured on the first 1000.
    _, out, _ = run_shell([":memory:", "--max-rows", "0", "--no-timing", "-c", SERIES % 2500],
                          tmp_path)
    lines = out.splitlines()
    assert (len(lines), lines[2], lines[-2:]) == (2503, "   1", ["2500", "(2500 rows)"])


def test_a_reader_that_goes_away_stops_the_run(tmp_path):
    proc = subprocess.Popen([sys.executable, "-m", "vkcondb", "app.db", "--max-rows", "0", "-c",
                             (SERIES % 200000) + "; create table after_the_rows(a)"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(tmp_path),
                            env=shell_env(tmp_path))
    assert proc.stdout.readline() == b"   x\n"  # measured on the first 1000 rows
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=TIMEOUT) == 1
    assert err == b""
    rc, out, _ = run_shell(["app.db", "-c", ".tables"], tmp_path)
    assert "after_the_rows" not in out


def test_failures_are_reported_and_the_run_goes_on_unless_bail(tmp_path):
    rc, out, err = run_shell(["app.db", "--no-timing", "-c",
                              "create table t(a int primary key); insert into t values (1);"
                              "insert into t values (1); selec 2; select count(*) from t"],
                             tmp_path)
    assert rc == 1
    assert err.splitlines() == [
        "IntegrityError: UNIQUE constraint failed: t.a (SQLSTATE 23505)",
        'ProgrammingError: near "selec": syntax error (SQLSTATE 42601)']
    assert out.splitlines()[-2:] == ["       1", "(1 row)"]
    rc, out, err = run_shell([":memory:", "--bail", "--no-timing", "-c",
                              "select 1 as a; selec 2; select 3 as b"], tmp_path)
    assert (rc, out.splitlines()) == (1, ["a", "-", "1", "(1 row)"])
    assert "syntax error" in err


def test_file_runs_and_failures_name_the_line(tmp_path):
    script = tmp_path / "script.sql"
    script.write_text("\ufeff-- set up\ncreate table t(a);\n\ninsert into t\n"
                      "  values (1, 2);\ninsert into t values (3)\n", encoding="utf-8")
    rc, out, err = run_shell(["app.db", "--no-timing", "-f", str(script)], tmp_path)
    assert rc == 1
    assert err == ("%s:4: OperationalError: table t has 1 columns but 2 values were "
                   "supplied (SQLSTATE HY000)\n" % script)
    assert out.splitlines() == ["OK", "OK, 1 row changed"]


def test_standard_input_with_commands(tmp_path):
    stdin = ("create table items(id integer primary key, name text);\n"
             "create index items_name on items(name);\n"
             "create view v as select 1 as x;\n"
             ".tables\n"
             ".tables ite%\n"
             "\\d items\n"
             ".schema nosuch\n"
             ".frobnicate\n"
             "select 'still here' as s;\n"
             ".quit\n"
             "selec 'not run';\n")
    rc, out, err = run_shell(["app.db", "--no-timing"], tmp_path, stdin=stdin)
    assert rc == 1
    assert err.splitlines() == [
        "<stdin>:7: no table, view, index or trigger is called nosuch",
        "<stdin>:8: unknown command .frobnicate (.help lists the commands)"]
    assert out.splitlines()[3:] == [
        "name  | type", "------+------", "items | table", "v     | view", "(2 rows)",
        "name  | type", "------+------", "items | table", "(1 row)",
        "CREATE TABLE items(id integer primary key, name text);",
        "CREATE INDEX items_name on items(name);",
        "s", "----------", "still here", "(1 row)"]


def test_input_ending_inside_a_quote_runs_nothing_of_it(tmp_path):
    rc, out, err = run_shell(["app.db", "-c", "create table t(a); insert into t values ('x);"],
                             tmp_path)
    assert rc == 1
    assert "incomplete input: the input ends inside a quoted text" in err
    rc, out, _ = run_shell(["app.db", "--no-timing", "-c", "select count(*) as n from t"],
                           tmp_path)
    assert out.splitlines()[2] == "0"


def test_no_database_opens_the_default_file(tmp_path):
    rc, _, err = run_shell(["-c", "create table t(a)"], tmp_path)
    assert (rc, err) == (0, "")
    assert (tmp_path / "vkcondb.db").exists()


@pytest.mark.parametrize("args, message", [
    (["--user", "u", "-c", "select 1"], "only for a PostgreSQL server"),
    (["a.db", "--database", "b.db"], "the database is named twice"),
    (["--max-rows", "-1"], "--max-rows"),
    (["-f", "missing.sql"], "cannot read missing.sql"),
    (["no/such/dir/x.db", "-c", "select 1"], "cannot open no/such/dir/x.db"),
])
def test_the_shell_does_not_start_on_bad_usage(tmp_path, args, message):
    rc, out, err = run_shell(args, tmp_path)
    assert rc == 2
    assert message in err
    assert not (tmp_path / "vkcondb.db").exists()

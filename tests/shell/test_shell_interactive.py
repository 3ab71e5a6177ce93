"""The shell on a terminal: prompts, statements over several lines,
failures that leave the session going, commands, Ctrl-C and Ctrl-D, and
the history file."""
import os
import sys

import pytest

from shell_support import PtyShell, run_shell

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="pseudo-terminals are driven the Linux way")

PROMPT = "vkcondb> "


@pytest.fixture
def session(tmp_path):
    made = []

    def start(*args, **env):
        shell = PtyShell(list(args) or ["app.db"], tmp_path, **env)
        made.append(shell)
        return shell

    yield start
    for shell in made:
        shell.close()


def test_a_session(session, tmp_path):
    sh = session("app.db")
    banner = sh.read_until(PROMPT)
    assert "Connected to the embedded engine, database file app.db" in banner
    sh.send("create table t(a integer primary key,")
    assert sh.read_until("...(> ")
    sh.send("  b text);")
    assert "OK" in sh.read_until(PROMPT)
    sh.send("insert into t values (1, 'one'), (2, 'two');")
    assert "OK, 2 rows changed" in sh.read_until(PROMPT)
    sh.send("select * from t order by a;")
    out = sh.read_until(PROMPT)
    assert "a | b\n--+----\n1 | one\n2 | two\n(2 rows, " in out
    sh.send("insert into t values (1, 'again');")
    assert "IntegrityError: UNIQUE constraint failed: t.a" in sh.read_until(PROMPT)
    sh.send(".tables")
    assert "name | type\n-----+------\nt    | table\n(1 row)" in sh.read_until(PROMPT)
    sh.send(".quit")
    assert sh.wait() == 0
    # The history of the session was written, readable by its owner only.
    history = tmp_path / ".vkcondb_history"
    assert "insert into t values (1, 'again');" in history.read_text()
    assert os.stat(str(history)).st_mode & 0o077 == 0


def test_interrupt_drops_the_unfinished_statement(session):
    sh = session("app.db")
    sh.read_until(PROMPT)
    sh.send("create table t(a);")
    sh.read_until(PROMPT)
    sh.send("insert into t values ('half")
    sh.read_until("...'> ")
    sh.interrupt_until(PROMPT)
    sh.send("select count(*) as n from t;")
    assert "(1 row" in sh.read_until(PROMPT)
    sh.send(".exit")
    assert sh.wait() == 0


def test_end_of_input_leaves_without_running_the_unfinished_statement(session, tmp_path):
    sh = session("app.db", VKCONDB_HISTORY="")
    sh.read_until(PROMPT)
    sh.send("create table t(a); insert into t values (1);")
    sh.read_until("OK, 1 row changed")
    sh.read_until(PROMPT)
    sh.send("delete from t")
    sh.read_until("...> ")
    sh.send("\x04", end="")
    assert "the unfinished statement was not run" in sh.read_until("not run")
    assert sh.wait() == 0
    assert not (tmp_path / ".vkcondb_history").exists()
    rc, out, _ = run_shell(["app.db", "--no-timing", "-c", "select count(*) as n from t"],
                           tmp_path)
    assert out.splitlines()[2] == "1"

"""COPY to or from the client through a caller's text: refused with SQLSTATE
0A000, the connection left usable, nothing of the text applied.

A statement that reaches the server ends the COPY there (rows coming out read
and dropped, rows expected refused); a text of several statements, and
executemany and executebatch, refuse it before anything runs.  Each case runs
in a child process under a time limit, so a hang fails the test instead of
stopping the run."""
import os
import subprocess
import sys
import textwrap

import pytest

import pgserver
from pg_support import close_quietly, connect, query, table  # noqa: F401

LIMIT_SECONDS = 20

CHILD = textwrap.dedent("""
    import sys
    import vkcondb
    conn = vkcondb.connect(host=%(host)r, port=%(port)d, database=%(db)r, user=%(user)r)
    cur = conn.cursor()
    {setup}
    try:
        {action}
    except vkcondb.Error as exc:
        print("refused", getattr(exc, "sqlstate", None), "not supported" in str(exc))
    else:
        print("ran")
    {after}
    cur.execute("select 41 + 1")
    print("usable", cur.fetchall())
""")


def run_child(pg_server, action, setup="", after=""):
    script = CHILD % dict(host=pgserver.HOST, port=pg_server.port, db=pgserver.DATABASE,
                          user=pgserver.SUPERUSER)
    script = script.format(setup=setup, action=action, after=after)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    try:
        done = subprocess.run([sys.executable, "-c", script], env=env, timeout=LIMIT_SECONDS,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
    except subprocess.TimeoutExpired:
        pytest.fail("the COPY statement hung: %s" % action)
    assert done.returncode == 0, done.stderr
    return done.stdout.split("\n")


@pytest.mark.parametrize("action", [
    "cur.execute('copy {t} to stdout')",
    "cur.execute('COPY (select * from {t}) TO STDOUT WITH (FORMAT csv)')",
    "cur.execute('copy {t} from stdin')",
    "cur.execute('copy {t} (a) from stdin with (format binary)')",
    "cur.execute('insert into {t} values (9); copy {t} to stdout; insert into {t} values (10)')",
    "cur.execute('copy {t} to stdout; select 1')",
    "cur.executemany('copy {t} from stdin', [(1,), (2,)])",
    "cur.executemany('copy {t} to stdout', [])",
    "cur.executebatch('copy {t} from stdin', [[1, 2]])",
], ids=["out", "out-query-csv", "in", "in-binary", "several-out", "out-then-select",
        "executemany-in", "executemany-out", "executebatch-in"])
@pytest.mark.parametrize("autocommit", [True, False], ids=["autocommit", "transaction"])
def test_client_copy_is_refused_and_the_connection_stays_usable(pg_server, table, action,
                                                                  autocommit):
    name = table("a int")
    other = connect(pg_server)
    try:
        cur = other.cursor()
        cur.execute("insert into %s values (1), (2)" % name)
        setup = "" if autocommit else "conn.autocommit(False)"
        after = "" if autocommit else "conn.rollback()"
        lines = run_child(pg_server, action.format(t=name), setup=setup, after=after)
        assert lines[0] == "refused 0A000 True"
        assert lines[1] == "usable [(42,)]"
        # Nothing of the text was applied.
        assert query(cur, "select a from %s order by a" % name) == [(1,), (2,)]
    finally:
        close_quietly(other)


def test_a_transaction_goes_on_after_a_refused_copy_out(pg_server, table):
    name = table("a int")
    lines = run_child(pg_server, "cur.execute('copy %s to stdout')" % name,
                      setup="conn.begin(); cur.execute('insert into %s values (5)')" % name,
                      after="conn.commit()")
    assert lines[0] == "refused 0A000 True"
    other = connect(pg_server)
    try:
        assert query(other.cursor(), "select a from %s" % name) == [(5,)]
    finally:
        close_quietly(other)


def test_copy_to_and_from_a_server_file_is_not_refused(pg_server, table):
    name = table("a int")
    conn = connect(pg_server)
    try:
        cur = conn.cursor()
        cur.execute("insert into %s values (3)" % name)
        cur.execute("copy %s to '/dev/null'" % name)
        cur.execute("copy (select 'to stdout') to '/dev/null'")
        cur.execute("copy %s from '/dev/null'" % name)
        assert query(cur, "select a from %s" % name) == [(3,)]
    finally:
        close_quietly(conn)

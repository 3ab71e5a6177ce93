"""`python -m vkcondb` on a PostgreSQL server: reaching it by URL and by
options (a password full of quoting characters included), statements with
dollar-quoted bodies, the listing and describing commands, and what the
shell refuses."""
import os
import re
import subprocess
import sys

import pgserver
from pg_support import table  # noqa: F401


def run_shell(args, stdin="", timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p and os.path.isdir(p))
    proc = subprocess.run([sys.executable, "-m", "vkcondb"] + [str(a) for a in args],
                          input=stdin.encode("utf-8"), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=env, timeout=timeout)
    return (proc.returncode, proc.stdout.decode("utf-8", "replace"),
            proc.stderr.decode("utf-8", "replace"))


def url(server, user=pgserver.SUPERUSER):
    return "postgresql://%s@%s:%d/%s" % (user, pgserver.HOST, server.port, pgserver.DATABASE)


def test_statements_by_url(pg_server, table):
    name = table("id int primary key, note text, raw bytea")
    rc, out, err = run_shell([url(pg_server), "--no-timing", "-c",
                              "insert into {0} values (1, 'a;b', '\\x00ff'), (2, null, null);"
                              "create function {0}_f() returns text language plpgsql as $$ "
                              "begin return 'x;y'; end $$;"
                              "select id, note, raw, {0}_f() as f from {0} order by id;"
                              "insert into {0} values (1, 'dup');"
                              "drop function {0}_f()".format(name)])
    assert rc == 1
    assert out.splitlines() == [
        "OK", "OK",
        "id | note | raw    | f",
        "---+------+--------+----",
        " 1 | a;b  | \\x00ff | x;y",
        " 2 | NULL | NULL   | x;y",
        "(2 rows)",
        "OK"]
    assert re.fullmatch(r'IntegrityError: duplicate key value violates unique constraint '
                        r'"\w+_pkey" .*\(SQLSTATE 23505\)\n', err), err


def test_options_and_a_password_that_needs_quoting(pg_server):
    rc, out, err = run_shell(["--host", pgserver.HOST, "--port", pg_server.port,
                              "--user", pgserver.PW_USER, "--password", pgserver.PW_PASSWORD,
                              "--no-timing", pgserver.DATABASE,
                              "-c", "select current_user as who"])
    assert (rc, err) == (0, "")
    assert out.splitlines()[2] == pgserver.PW_USER
    rc, _, err = run_shell(["--host", pgserver.HOST, "--port", pg_server.port,
                            "--user", pgserver.PW_USER, "--password", "wrong",
                            pgserver.DATABASE, "-c", "select 1"])
    assert rc == 2
    assert err.startswith("cannot open database %s on %s:%d as %s:"
                          % (pgserver.DATABASE, pgserver.HOST, pg_server.port, pgserver.PW_USER))
    assert "wrong" not in err


def test_listing_and_describing(pg_server, table):
    name = table("id serial primary key, label varchar(20) not null default 'none', "
                 "amount numeric(10,2) check (amount > 0)")
    rc, out, err = run_shell([url(pg_server), "--no-timing"],
                             stdin="\\dt {0}\n\\d {0}\n\\d no_such_{0}\n".format(name))
    assert rc == 1
    assert out.splitlines() == [
        "schema | name%s | type  | owner" % (" " * (len(name) - 4)),
        "-------+-%s-+-------+------" % ("-" * len(name)),
        "public | %s | table | %s" % (name, pgserver.SUPERUSER),
        "(1 row)",
        'Table "public.%s"' % name,
        "column | type                  | nullable | default",
        "-------+-----------------------+----------+%s" % ("-" * (len(name) + 29)),
        "id     | integer               | not null | nextval('%s_id_seq'::regclass)" % name,
        "label  | character varying(20) | not null | 'none'::character varying",
        "amount | numeric(10,2)         |          |",
        "(3 rows)",
        "Indexes:",
        "    CREATE UNIQUE INDEX %s_pkey ON public.%s USING btree (id)" % (name, name),
        "Constraints:",
        "    %s_amount_check CHECK ((amount > (0)::numeric))" % name,
    ]
    assert err == ('<stdin>:3: ProgrammingError: relation "no_such_%s" does not exist '
                   '(SQLSTATE 42P01)\n' % name)


def test_copy_through_standard_streams_is_refused(pg_server, table):
    name = table("id int")
    rc, out, err = run_shell([url(pg_server), "--no-timing", "-c",
                              "copy %s to stdout; copy %s from stdin; select 1 as one"
                              % (name, name)])
    assert rc == 1
    assert err.count("COPY with STDIN or STDOUT cannot run in this shell") == 2
    assert out.splitlines() == ["one", "---", "  1", "(1 row)"]

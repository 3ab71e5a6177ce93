"""Statements through the cursor on the PostgreSQL engine: executemany,
executebatch, several statements in one text, the placeholder scanner,
missing values, and reading the server's own cursors."""
import datetime

import pytest

import vkcondb
from pg_support import conn, cur, other, query, table, unique_name  # noqa: F401 (fixtures)


# ---- executemany ------------------------------------------------------------

def test_executemany_with_positional_sets(cur, table, other):
    name = table("id int primary key, v text, b bytea, f float8")
    rows = [(1, "one", b"\x00\x01", 1.5), (2, None, None, None), (3, "", b"", -0.25)]
    cur.executemany("insert into %s values (?, ?, ?, ?)" % name, rows)
    assert query(other, "select id, v, b, f from %s order by id" % name) == rows


def test_executemany_with_named_sets_ignores_extra_keys(cur, table, other):
    name = table("id int primary key, v text, w int")
    sets = [{"id": 1, "v": "a", "w": 10, "unused": "x"},
            {"w": 20, "v": "b", "id": 2},
            {"id": 3, "v": "c", "w": None, "also": 99}]
    cur.executemany("insert into %s values (:id, :v, :w)" % name, sets)
    assert query(other, "select * from %s order by id" % name) == [
        (1, "a", 10), (2, "b", 20), (3, "c", None)]


def test_executemany_query_leaves_the_last_sets_rows(cur, table):
    name = table("id int, v text")
    cur.executemany("insert into %s values (?, ?)" % name, [(1, "a"), (2, "b")])
    cur.executemany("select v from %s where id = ?" % name, [(1,), (2,)])
    assert [d[0] for d in cur.description] == ["v"]
    assert cur.fetchall() == [("b",)]


@pytest.mark.parametrize("statement", ["insert", "select"])
def test_executemany_on_a_table_made_again_with_other_types(cur, pg_server, statement):
    # The same statement text, run again right after its table was dropped
    # and made again with other column types, runs against the new table.
    name = unique_name()
    insert = "insert into %s values (?, ?)" % name
    select = "select * from %s where id = ?" % name
    try:
        cur.execute("create table %s (id int, v text)" % name)
        cur.execute("insert into %s values (1, 'a')" % name)
        if statement == "insert":
            cur.executemany(insert, [(2, "b")])
        else:
            cur.executemany(select, [(1,)])
            assert cur.fetchall() == [(1, "a")]
        cur.execute("drop table %s" % name)
        cur.execute("create table %s (id int, v int, w text)" % name)
        cur.execute("insert into %s values (1, 5, 'w')" % name)
        if statement == "insert":
            cur.executemany(insert, [(2, 6)])
            cur.execute("select id, v from %s order by id" % name)
            assert cur.fetchall() == [(1, 5), (2, 6)]
        else:
            cur.executemany(select, [(1,)])
            assert cur.fetchall() == [(1, 5, "w")]
    finally:
        pg_server.psql("drop table if exists %s" % name)


def test_executemany_failing_set(cur, table, other):
    name = table("id int primary key")
    with pytest.raises(vkcondb.OperationalError):
        cur.executemany("insert into %s values (?)" % name, [(1,), (1,), (2,)])
    # Each set runs as a statement of its own (autocommit): the one before
    # the failure stays, the connection goes on.
    assert query(other, "select id from %s" % name) == [(1,)]
    cur.executemany("insert into %s values (?)" % name, [(2,), (3,)])
    assert query(other, "select count(*) from %s" % name) == [(3,)]


def test_prepared_statements_dropped_by_the_user(conn, cur, table, other):
    # The user may drop the session's prepared statements (DEALLOCATE ALL);
    # what the driver kept must not spoil the next transaction.
    name = table("id int")
    cur.executemany("insert into %s values (?)" % name, [(1,)])
    cur.executebatch("insert into %s values (?)" % name, [[2]])
    cur.executemany("select count(*) from %s where id > ?" % name, [(0,)])
    cur.execute("deallocate all")
    conn.begin()
    cur.executemany("insert into %s values (?)" % name, [(3,)])
    cur.executebatch("insert into %s values (?)" % name, [[4]])
    cur.execute("insert into %s values (5)" % name)
    conn.commit()
    assert query(other, "select id from %s order by id" % name) == [(i,) for i in range(1, 6)]


def test_many_placeholders_in_one_statement(cur):
    n = 3000
    sql = "select " + " + ".join(["?::int"] * n)
    assert query(cur, sql, tuple(range(n))) == [(sum(range(n)),)]
    sql = "select " + " + ".join(":p%d::int" % i for i in range(n))
    assert query(cur, sql, {"p%d" % i: i for i in range(n)}) == [(sum(range(n)),)]


def test_fetch_methods_and_interleaved_cursors(conn):
    a, b = conn.cursor(), conn.cursor()
    a.execute("select generate_series(1, 2500) as n")
    assert a.rowcount == -1
    assert a.fetchone() == (1,)
    assert a.fetchmany(3) == [(2,), (3,), (4,)]
    # Another cursor of the same connection runs in between.
    assert query(b, "select 'b'") == [("b",)]
    rest = a.fetchall()
    assert rest == [(n,) for n in range(5, 2501)]
    assert a.fetchone() is None
    assert a.fetchall() == []


# ---- executebatch -------------------------------------------------------------

DT = datetime.datetime
BATCH_KINDS = [
    ("int8", [2 ** 63 - 1, -2 ** 63, 0, None], None),
    ("int4", [1, None, -7], None),
    ("float8", [0.1, -1.5e300, None, float("inf"), 1e-20], None),
    ("numeric", [1.25, None, 3], [1.25, None, 3.0]),
    ("text", ["h\u00e9llo \u20ac", "", None, "x" * 70000, "quote ' \\"], None),
    ("bytea", [b"\x00\xff\x01", None, b"z" * 70000, b"", b"\x00"], None),
    ("bool", [True, False, None], None),
    ("date", [datetime.date(2024, 2, 29), None, datetime.date(1, 1, 1),
              datetime.date(99, 12, 31), datetime.date(987, 6, 5)],
     ["2024-02-29", None, "0001-01-01", "0099-12-31", "0987-06-05"]),
    ("timestamp", [DT(2020, 1, 2, 3, 4, 5, 6000), None, DT(1, 1, 1), DT(50, 6, 7, 8, 9, 10)],
     [DT(2020, 1, 2, 3, 4, 5, 6000), None, DT(1, 1, 1), DT(50, 6, 7, 8, 9, 10)]),
    ("time", [datetime.time(23, 59, 58), None], ["23:59:58", None]),
]


@pytest.mark.parametrize("how", ["executebatch", "executemany"])
@pytest.mark.parametrize("decl, values, expected", BATCH_KINDS, ids=[k[0] for k in BATCH_KINDS])
def test_column_kinds_through_batches(cur, table, other, decl, values, expected, how):
    name = table("n int, v %s" % decl)
    sql = "insert into %s (n, v) values (?, ?)" % name
    if how == "executebatch":
        cur.executebatch(sql, [list(range(len(values))), values])
        assert cur.rowcount == len(values)
    else:
        cur.executemany(sql, list(enumerate(values)))
    got = [r[0] for r in query(other, "select v from %s order by n" % name)]
    assert got == (values if expected is None else expected)


def test_executebatch_many_rows_over_several_round_trips(cur, table, other):
    name = table("a int, b float8, c text, d bytea")
    n = 2600
    cur.executebatch("insert into %s values (?, ?, ?, ?)" % name,
                     [list(range(n)), [i / 4 for i in range(n)], ["r%05d" % i for i in range(n)],
                      [bytes([i % 256, 0]) for i in range(n)]])
    assert cur.rowcount == n
    assert query(other, "select count(*), sum(a), sum(b), max(c), count(distinct d) from %s"
                 % name) == [(n, sum(range(n)), sum(i / 4 for i in range(n)), "r%05d" % (n - 1),
                              256)]


@pytest.mark.parametrize("failing_row", [3, 1700], ids=["first-round-trip", "later-round-trip"])
def test_executebatch_is_all_or_nothing(cur, table, other, failing_row):
    name = table("id int primary key, v text")
    cur.execute("insert into %s values (1, 'kept')" % name)
    ids = [10 + i for i in range(2500)]
    ids[failing_row - 1] = 1  # violates the primary key
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.executebatch("insert into %s values (?, ?)" % name, [ids, ["v"] * len(ids)])
    message = str(info.value)
    assert "row %d" % failing_row in message
    assert "unique" in message or "duplicate" in message
    assert query(other, "select id, v from %s" % name) == [(1, "kept")]
    # The connection is usable at once, and the same batch without the bad
    # row goes in whole.
    ids[failing_row - 1] = 5
    cur.executebatch("insert into %s values (?, ?)" % name, [ids, ["v"] * len(ids)])
    assert query(other, "select count(*) from %s" % name) == [(len(ids) + 1,)]


@pytest.mark.parametrize("opened_by", ["begin", "autocommit-off"])
def test_executebatch_failure_inside_a_transaction_keeps_the_transaction(
        conn, cur, table, other, opened_by):
    name = table("id int primary key, v text")
    if opened_by == "begin":
        conn.begin()
    else:
        conn.autocommit(False)
    cur.execute("insert into %s values (1, 'before')" % name)
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.executebatch("insert into %s values (?, ?)" % name, [[5, 6, 1, 7], list("abcd")])
    assert "row 3" in str(info.value)
    # Only the batch was undone: the transaction goes on with its work.
    assert query(cur, "select id from %s order by id" % name) == [(1,)]
    cur.executebatch("insert into %s values (?, ?)" % name, [[5, 6], ["x", "y"]])
    assert query(other, "select count(*) from %s" % name) == [(0,)]
    conn.commit()
    assert query(other, "select id, v from %s order by id" % name) == [
        (1, "before"), (5, "x"), (6, "y")]


def test_executebatch_rolled_back_then_run_again(conn, cur, table, other):
    name = table("id int")
    conn.autocommit(False)
    sql = "insert into %s values (?)" % name
    cur.executebatch(sql, [[1, 2]])
    conn.rollback()
    cur.executebatch(sql, [[3, 4]])
    conn.commit()
    assert query(other, "select id from %s order by id" % name) == [(3,), (4,)]


def test_executebatch_refuses_a_short_column_list(cur, table, other):
    name = table("a int, b int")
    with pytest.raises(vkcondb.Error):
        cur.executebatch("insert into %s values (?, ?)" % name, [[1, 2]])
    assert query(other, "select count(*) from %s" % name) == [(0,)]


# ---- several statements in one text --------------------------------------------

def test_nextset_walks_every_result_set(cur, table):
    name = table("id int")
    cur.execute("select 1 as x; insert into %s values (5); select 'a' as y, 2 as z;"
                " update %s set id = 6; select id from %s" % (name, name, name))
    assert [d[0] for d in cur.description] == ["x"]
    assert cur.fetchall() == [(1,)]
    assert cur.nextset()
    assert [d[0] for d in cur.description] == ["y", "z"]
    assert cur.fetchall() == [("a", 2)]
    assert cur.nextset()
    assert [d[0] for d in cur.description] == ["id"]
    assert cur.fetchall() == [(6,)]
    assert cur.nextset() is None


def test_nextset_with_parameters(cur, table):
    name = table("id int, v text")
    cur.execute("insert into %s values (?, ?); select v from %s where id = ?; select ? || v from %s"
                % (name, name, name), (1, "one", 1, "x-"))
    assert cur.fetchall() == [("one",)]
    assert cur.nextset()
    assert cur.fetchall() == [("x-one",)]
    assert cur.nextset() is None


@pytest.mark.parametrize("with_params", [False, True], ids=["plain", "parameters"])
def test_failing_statement_in_the_middle_leaves_nothing(cur, table, other, with_params):
    name = table("id int primary key")
    if with_params:
        sql = ("insert into {0} values (?); insert into {0} values (?); "
               "insert into {0} values (?)").format(name)
        params = (1, 1, 2)
    else:
        sql = ("insert into {0} values (1); insert into {0} values (1); "
               "insert into {0} values (2)").format(name)
        params = None
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.execute(sql, params)
    assert "duplicate" in str(info.value) or "unique" in str(info.value)
    assert query(other, "select count(*) from %s" % name) == [(0,)]
    # The connection is not left inside a transaction.
    cur.execute("insert into %s values (3)" % name)
    assert query(other, "select id from %s" % name) == [(3,)]


def test_several_statements_inside_a_transaction_fail_as_one_step(conn, cur, table, other):
    name = table("id int primary key")
    conn.begin()
    cur.execute("insert into %s values (1)" % name)
    with pytest.raises(vkcondb.OperationalError):
        cur.execute("insert into {0} values (?); insert into {0} values (?)".format(name), (2, 1))
    # Only the failed text was undone.
    assert query(cur, "select id from %s" % name) == [(1,)]
    conn.commit()
    assert query(other, "select id from %s" % name) == [(1,)]


# ---- placeholders -------------------------------------------------------------

# (sql, parameters, the row it gives): text that looks like a placeholder
# inside strings, names, comments and dollar quotes is left alone.
NOT_PLACEHOLDERS = [
    ("select '?' as a, ?::int", (1,), ("?", 1)),
    ("select 'it''s ?', ?::int", (2,), ("it's ?", 2)),
    ("select 'a\\', ?::int", (3,), ("a\\", 3)),
    ("select E'\\'?', ?::int", (4,), ("'?", 4)),
    ("select E'x\\\\', ?::int", (5,), ("x\\", 5)),
    ('select 1 as "?x", ?::int', (6,), (1, 6)),
    ('select 1 as "a"":b", :v::int', {"v": 7}, (1, 7)),
    ("select ?::int -- ? and :x\n", (8,), (8,)),
    ("select /* ? :x /* nested ? */ still ? */ ?::int", (9,), (9,)),
    ("select $$ ? :x $1 $$, ?::int", (10,), (" ? :x $1 ", 10)),
    ("select $tag$ ? $$ ? $tag$, :v::int", {"v": 11}, (" ? $$ ? ", 11)),
    ("select :v::int, :v::int + 1", {"v": 12}, (12, 13)),
    # a slice's ":3" is no name; an array comes back as its text
    ("select (array[1,2,3])[2:3], ?::int", (14,), ("{2,3}", 14)),
    ("select array[1,2] @> array[1], @v::int", {"v": 15}, (True, 15)),
    ("select $1::int, $2::text, $1::int", (16, "x"), (16, "x", 16)),
    ("select @v::int, $w::int, :x::int", {"v": 17, "w": 18, "x": 19}, (17, 18, 19)),
    ("select ?::int as \"a\", 'b' as c", (20,), (20, "b")),
]


@pytest.mark.parametrize("sql, params, row", NOT_PLACEHOLDERS,
                         ids=[str(i) for i in range(len(NOT_PLACEHOLDERS))])
def test_placeholders_and_look_alikes(cur, sql, params, row):
    assert query(cur, sql, params) == [row]


def test_same_name_twice_and_named_values_across_statements(cur, table):
    name = table("id int, v text")
    cur.execute("insert into {0} values (:id, :v); insert into {0} values (:id + 1, :v || :v);"
                " select id, v from {0} where id >= :id order by id".format(name),
                {"v": "ab", "id": 4, "spare": "ignored"})
    assert cur.fetchall() == [(4, "ab"), (5, "abab")]


def test_question_marks_count_across_statements(cur, table):
    name = table("id int, v text")
    cur.execute("insert into {0} values (?, ?); select v from {0} where id = ?".format(name),
                (7, "seven", 7))
    assert cur.fetchall() == [("seven",)]


@pytest.mark.parametrize("sql, params, missing", [
    ("select ?::int, ?::int", (1,), "2"),
    ("select :a::int, :b::int", {"a": 1}, ":b"),
    ("select :a::int", {"b": 1}, ":a"),
    ("select ?::int", (), "1"),
])
def test_missing_value_is_refused(cur, sql, params, missing):
    with pytest.raises(vkcondb.Error) as info:
        cur.execute(sql, params)
    assert "no value is bound for parameter %s" % missing in str(info.value)
    assert query(cur, "select 1") == [(1,)]


def test_missing_value_refused_before_anything_runs(cur, pg_server):
    # Even statements of the same text before the one that lacks its value
    # must not run: a sequence is not rolled back, so it tells.
    seq = unique_name("s")
    pg_server.psql("create sequence %s" % seq)
    try:
        with pytest.raises(vkcondb.Error) as info:
            cur.execute("select nextval('%s'); select :a::int + :b::int" % seq, {"a": 1})
        assert "no value is bound for parameter :b" in str(info.value)
        assert pg_server.psql("select is_called from %s" % seq) == "f"
    finally:
        pg_server.psql("drop sequence if exists %s" % seq)


def test_value_beyond_the_placeholders_is_refused(cur, table, other):
    name = table("id int")
    with pytest.raises(vkcondb.Error) as info:
        cur.execute("insert into %s values (?)" % name, (1, 2))
    assert "out of range" in str(info.value)
    assert query(other, "select count(*) from %s" % name) == [(0,)]


def test_numbered_parameters_mixed_with_question_marks_are_refused(cur):
    with pytest.raises(vkcondb.Error):
        cur.execute("select $1::int, ?::int", (1, 2))
    assert query(cur, "select 1") == [(1,)]


# ---- server cursors and other statements with rows ------------------------------

def test_fetch_from_a_declared_cursor(conn, cur):
    conn.begin()
    cur.execute("declare c cursor for select generate_series(1, 2500) as n")
    rows = query(cur, "fetch 1000 from c")
    assert len(rows) == 1000 and rows[0] == (1,) and rows[-1] == (1000,)
    assert [d[0] for d in cur.description] == ["n"]
    cur.execute("move 500 in c")
    rows = query(cur, "fetch all from c")
    assert rows == [(n,) for n in range(1501, 2501)]
    assert query(cur, "fetch 10 from c") == []
    cur.execute("close c")
    conn.rollback()


def test_fetch_with_autocommit_off(conn, cur):
    conn.autocommit(False)
    cur.execute("declare c2 cursor for select n, n::text as t from generate_series(1, 5) n")
    assert query(cur, "fetch 2 from c2") == [(1, "1"), (2, "2")]
    assert query(cur, "fetch next from c2") == [(3, "3")]
    conn.commit()


def test_cursor_held_past_commit(cur):
    cur.execute("declare h cursor with hold for select generate_series(1, 3)")
    assert query(cur, "fetch all from h") == [(1,), (2,), (3,)]
    cur.execute("close h")


@pytest.mark.parametrize("sql, check", [
    ("show server_version_num", lambda rows: int(rows[0][0]) >= 100000),
    ("show client_encoding", lambda rows: rows == [("UTF8",)]),
    ("show DateStyle", lambda rows: rows[0][0].startswith("ISO")),
    ("explain select 1", lambda rows: len(rows) >= 1 and isinstance(rows[0][0], str)),
    ("values (1, 'a'), (2, 'b')", lambda rows: rows == [(1, "a"), (2, "b")]),
])
def test_other_statements_give_rows(cur, sql, check):
    rows = query(cur, sql)
    assert cur.description is not None
    assert check(rows), rows


def test_returning_gives_rows(cur, table):
    name = table("id serial, v text")
    rows = query(cur, "insert into %s (v) values (?), (?) returning id, v" % name, ("a", "b"))
    assert rows == [(1, "a"), (2, "b")]


# ---- rows read as they arrive ------------------------------------------------

def test_an_error_in_the_middle_of_the_rows_is_raised(cur):
    # The server fails after it has sent rows: no read may end quietly.
    sql = "select 10 / (3000 - g) from generate_series(1, 5000) g"
    cur.execute(sql)
    with pytest.raises(vkcondb.OperationalError, match="division by zero"):
        cur.fetchall()
    cur.execute(sql)
    with pytest.raises(vkcondb.OperationalError, match="division by zero"):
        while cur.fetchmany(1000):
            pass
    assert query(cur, "select 1") == [(1,)]


def test_a_second_cursor_runs_while_rows_stream(conn, table, other):
    # Rows still on their way when the connection runs something else are
    # kept for the first cursor; a cursor given up drops them.
    name = table("id int")
    a, b, c = conn.cursor(), conn.cursor(), conn.cursor()
    a.execute("select g from generate_series(1, 3000) g")
    assert a.fetchone() == (1,)
    c.execute("select g from generate_series(1, 3000) g")
    c.close()
    b.execute("insert into %s values (1)" % name)
    conn.begin()
    b.execute("insert into %s values (2)" % name)
    conn.commit()
    assert [r[0] for r in a.fetchall()] == list(range(2, 3001))
    assert query(other, "select id from %s order by id" % name) == [(1,), (2,)]


def test_rows_outlive_their_connection_as_a_clear_error(pg_server):
    import pg_support
    c = pg_support.connect(pg_server)
    cur = c.cursor()
    cur.execute("select g from generate_series(1, 5000) g")
    assert cur.fetchone() == (1,)
    c.close()
    with pytest.raises(vkcondb.OperationalError):
        cur.fetchall()


# ---- executemany inside a transaction: runs sent ahead ------------------------

def test_executemany_in_a_transaction_applies_every_set(conn, cur, table, other):
    name = table("id int primary key, v text")
    rows = [(i, "v%d" % i) for i in range(1, 2601)]  # past one synchronisation
    conn.begin()
    cur.executemany("insert into %s values (?, ?)" % name, rows)
    assert query(other, "select count(*) from %s" % name) == [(0,)]
    conn.commit()
    assert query(other, "select count(*), max(id) from %s" % name) == [(2600, 2600)]


@pytest.mark.parametrize("bad", [2, 1500, 2600])
def test_executemany_in_a_transaction_reports_the_failing_set(conn, cur, table, other, bad):
    name = table("id int primary key")
    ids = list(range(1, 2601))
    ids[bad - 1] = 1  # a duplicate of the first
    conn.begin()
    # Met at a synchronisation inside the walk, the failure is the module's
    # "error execute2" for that set; met at the final flush, the server's text.
    with pytest.raises(vkcondb.OperationalError, match="duplicate key value|error execute2"):
        cur.executemany("insert into %s values (?)" % name, [(i,) for i in ids])
    # The transaction cannot go on: committing it says so.
    with pytest.raises(vkcondb.DatabaseError):
        conn.commit()
    assert query(other, "select count(*) from %s" % name) == [(0,)]
    cur.execute("insert into %s values (1)" % name)  # the connection serves again
    assert query(other, "select count(*) from %s" % name) == [(1,)]


def test_commit_after_a_failed_statement_is_refused(conn, cur, table, other):
    # The server answers COMMIT of a failed transaction by rolling it back;
    # reporting that as success would lose the earlier rows without a word.
    name = table("id int primary key")
    conn.begin()
    cur.execute("insert into %s values (1)" % name)
    with pytest.raises(vkcondb.OperationalError):
        cur.execute("insert into %s values (1)" % name)
    with pytest.raises(vkcondb.DatabaseError, match="Commit failed"):
        conn.commit()
    assert query(other, "select count(*) from %s" % name) == [(0,)]


def test_a_python_error_after_runs_sent_ahead(conn, cur, table, other):
    # The walk stops on a value that cannot be sent while earlier runs are
    # still under way; the transaction stays whole and can be committed.
    name = table("id int primary key")

    class Sets(object):
        def __len__(self):
            return 5

        def __getitem__(self, i):
            if i == 3:
                raise KeyError("gone")
            return (i + 1,)

    conn.begin()
    with pytest.raises(KeyError):
        cur.executemany("insert into %s values (?)" % name, Sets())
    conn.commit()
    assert query(other, "select id from %s order by id" % name) == [(1,), (2,), (3,)]

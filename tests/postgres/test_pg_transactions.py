"""Transactions on the PostgreSQL engine, watched from a second connection:
autocommit, begin/commit/rollback, errors inside a transaction, and
switching databases with select_db."""
import pytest

import pgserver
import vkcondb
from pg_support import (close_quietly, conn, connect, cur, drop_tables, other,  # noqa: F401
                        query, table, unique_name)


def ids(cur, name):
    return [r[0] for r in query(cur, "select id from %s order by id" % name)]


def test_autocommit_is_on_after_connect(cur, table, other):
    name = table("id int")
    cur.execute("insert into %s values (1)" % name)
    assert ids(other, name) == [1]
    cur.execute("insert into {0} values (?); insert into {0} values (?)".format(name), (2, 3))
    cur.executemany("insert into %s values (?)" % name, [(4,), (5,)])
    cur.executebatch("insert into %s values (?)" % name, [[6, 7]])
    assert ids(other, name) == [1, 2, 3, 4, 5, 6, 7]


@pytest.mark.parametrize("how", ["execute", "executemany", "executebatch", "several"])
def test_autocommit_off_holds_work_until_commit(conn, cur, table, other, how):
    name = table("id int")
    conn.autocommit(False)
    if how == "execute":
        cur.execute("insert into %s values (?)" % name, (1,))
    elif how == "executemany":
        cur.executemany("insert into %s values (?)" % name, [(1,)])
    elif how == "executebatch":
        cur.executebatch("insert into %s values (?)" % name, [[1]])
    else:
        cur.execute("insert into {0} values (1); select count(*) from {0}".format(name))
    assert ids(other, name) == []
    assert ids(cur, name) == [1]
    conn.commit()
    assert ids(other, name) == [1]
    # Still off: the next statement opens the next transaction.
    cur.execute("insert into %s values (2)" % name)
    assert ids(other, name) == [1]
    conn.rollback()
    assert ids(other, name) == [1]
    assert ids(cur, name) == [1]


@pytest.mark.parametrize("first", [
    "select 1",
    "show search_path",
    "set application_name = 'vk-several'",
], ids=["select", "show", "set"])
def test_autocommit_off_several_statements_wait_for_commit(conn, cur, table, other, first):
    # Whatever statement a text starts with, the work of the whole text
    # belongs to the open transaction.
    name = table("id int")
    conn.autocommit(False)
    cur.execute("%s; insert into %s values (1)" % (first, name))
    assert ids(other, name) == []
    conn.rollback()
    assert ids(other, name) == []
    assert ids(cur, name) == []


def test_begin_commit_and_rollback(conn, cur, table, other):
    name = table("id int")
    conn.begin()
    cur.execute("insert into %s values (1)" % name)
    conn.begin()  # already open: no effect
    cur.execute("insert into %s values (2)" % name)
    assert ids(other, name) == []
    conn.commit()
    assert ids(other, name) == [1, 2]
    conn.begin()
    cur.execute("delete from %s" % name)
    cur.execute("insert into %s values (3)" % name)
    assert ids(cur, name) == [3]
    conn.rollback()
    assert ids(other, name) == [1, 2]
    # autocommit is on again after the transaction
    cur.execute("insert into %s values (4)" % name)
    assert ids(other, name) == [1, 2, 4]


@pytest.mark.parametrize("autocommit", [True, False])
def test_commit_and_rollback_without_a_transaction(conn, cur, autocommit):
    conn.autocommit(autocommit)
    conn.commit()
    conn.rollback()
    conn.commit()
    assert query(cur, "select 1") == [(1,)]


def test_turning_autocommit_on_commits_the_open_transaction(conn, cur, table, other):
    name = table("id int")
    conn.autocommit(False)
    cur.execute("insert into %s values (1)" % name)
    assert ids(other, name) == []
    conn.autocommit(True)
    assert ids(other, name) == [1]


@pytest.mark.parametrize("opened_by", ["begin", "autocommit-off"])
def test_server_error_in_a_transaction_then_rollback(conn, cur, table, other, opened_by):
    name = table("id int primary key")
    if opened_by == "begin":
        conn.begin()
    else:
        conn.autocommit(False)
    cur.execute("insert into %s values (1)" % name)
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.execute("insert into %s values (1)" % name)
    assert "duplicate" in str(info.value) or "unique" in str(info.value)
    # The server refuses more work in the failed transaction ...
    with pytest.raises(vkcondb.OperationalError):
        cur.execute("select 1")
    # ... until it is rolled back; then the connection works.
    conn.rollback()
    assert query(cur, "select 2") == [(2,)]
    cur.execute("insert into %s values (5)" % name)
    conn.commit()
    assert ids(other, name) == [5]


def test_syntax_error_outside_a_transaction_leaves_the_connection_usable(cur):
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.execute("selec 1")
    assert "syntax" in str(info.value)
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.execute("select * from no_such_table_here")
    assert "no_such_table_here" in str(info.value)
    assert query(cur, "select 3") == [(3,)]


def test_two_connections_see_each_others_commits_only(pg_server, table):
    name = table("id int")
    a, b = connect(pg_server), connect(pg_server)
    try:
        ca, cb = a.cursor(), b.cursor()
        a.autocommit(False)
        b.autocommit(False)
        ca.execute("insert into %s values (1)" % name)
        cb.execute("insert into %s values (2)" % name)
        assert ids(ca, name) == [1] and ids(cb, name) == [2]
        a.commit()
        b.rollback()
        assert ids(cb, name) == [1]
        assert ids(ca, name) == [1]
    finally:
        close_quietly(a)
        close_quietly(b)


# ---- select_db ------------------------------------------------------------------

@pytest.fixture
def second_db(pg_server):
    """A database beside the test database, with a table `items`."""
    name = unique_name("db")
    pg_server.psql("create database %s owner %s" % (name, pgserver.SUPERUSER), db="postgres")
    try:
        pg_server.psql("create table items (id int); grant all on items to public", db=name)
        yield name
    finally:
        pg_server.psql("drop database if exists %s with (force)" % name, db="postgres")


def current_db(cur):
    return query(cur, "select current_database()")[0][0]


def test_select_db_switches_the_connection(conn, cur, second_db, table):
    name = table("id int")
    conn.select_db(second_db)
    assert current_db(cur) == second_db
    cur.execute("insert into items values (?)", (7,))
    assert query(cur, "select id from items") == [(7,)]
    with pytest.raises(vkcondb.OperationalError):
        cur.execute("select * from %s" % name)  # a table of the other database
    conn.select_db(pgserver.DATABASE)
    assert current_db(cur) == pgserver.DATABASE
    assert query(cur, "select count(*) from %s" % name) == [(0,)]


def test_select_db_with_autocommit_off(pg_server, conn, cur, second_db):
    conn.autocommit(False)
    conn.select_db(second_db)
    cur.execute("insert into items values (1)")
    assert pg_server.psql("select count(*) from items", db=second_db) == "0"
    conn.rollback()
    cur.execute("insert into items values (2)")
    conn.commit()
    assert pg_server.psql("select string_agg(id::text, ',') from items", db=second_db) == "2"


def test_select_db_then_batches_with_autocommit_off(pg_server, conn, cur, second_db):
    # Statements kept from the first database must not get in the way of
    # the work on the second.
    name = unique_name()
    pg_server.psql("create table %s (id int)" % name)
    pg_server.psql("create table %s (id int)" % name, db=second_db)
    try:
        conn.autocommit(False)
        cur.executebatch("insert into %s values (?)" % name, [[1, 2]])
        cur.executemany("insert into %s values (?)" % name, [(3,)])
        conn.commit()
        conn.select_db(second_db)
        cur.executebatch("insert into %s values (?)" % name, [[4, 5]])
        cur.executemany("insert into %s values (?)" % name, [(6,)])
        conn.commit()
        assert pg_server.psql("select string_agg(id::text, ',' order by id) from %s" % name) \
            == "1,2,3"
        assert pg_server.psql("select string_agg(id::text, ',' order by id) from %s" % name,
                              db=second_db) == "4,5,6"
    finally:
        close_quietly(conn)  # ends what it left open before the tables go
        drop_tables(pg_server, [name])
        drop_tables(pg_server, [name], db=second_db)


def test_select_db_refused_while_a_transaction_is_open(conn, cur, second_db, table, other):
    name = table("id int")
    conn.begin()
    cur.execute("insert into %s values (1)" % name)
    with pytest.raises(vkcondb.OperationalError) as info:
        conn.select_db(second_db)
    assert "transaction" in str(info.value)
    # The transaction and its work are untouched.
    assert current_db(cur) == pgserver.DATABASE
    conn.commit()
    assert ids(other, name) == [1]


@pytest.mark.parametrize("bad", [
    "bad name", "x;drop database vktest", "1abc", "", "a-b", "\"quoted\"", "a" * 129,
], ids=["blank", "semicolon", "digit-first", "empty", "dash", "quoted", "too-long"])
def test_select_db_refuses_a_bad_name_before_any_server_call(conn, cur, table, other, bad):
    # An open transaction shows that nothing reached the server: a switch
    # would have to end it, a server error would abort it.
    name = table("id int")
    conn.begin()
    cur.execute("insert into %s values (1)" % name)
    with pytest.raises(vkcondb.Error) as info:
        conn.select_db(bad)
    assert "plain database name" in str(info.value) or "too long" in str(info.value)
    assert query(cur, "select count(*) from %s" % name) == [(1,)]
    conn.commit()
    assert ids(other, name) == [1]


def test_select_db_of_a_missing_database_keeps_the_connection(conn, cur):
    with pytest.raises(vkcondb.OperationalError) as info:
        conn.select_db(unique_name("nodb"))
    assert "does not exist" in str(info.value)
    assert current_db(cur) == pgserver.DATABASE
    assert query(cur, "select 1") == [(1,)]


def test_select_db_keeps_the_password_login(pg_server, second_db):
    c = connect(pg_server, user=pgserver.PW_USER, password=pgserver.PW_PASSWORD)
    try:
        c.select_db(second_db)
        cur = c.cursor()
        assert query(cur, "select current_user, current_database()") == [
            (pgserver.PW_USER, second_db)]
    finally:
        close_quietly(c)

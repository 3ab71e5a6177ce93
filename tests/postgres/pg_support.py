"""Shared pieces of the driver's PostgreSQL tests: opening connections to a
test server and tables that are dropped after each test.

The fixtures here are imported by the test modules that use them (the
package's conftest.py is left as the server fixtures' own file).
"""
import time
import uuid

import pytest

import pgserver
import vkcondb


def unique_name(prefix="t"):
    return "%s_%s" % (prefix, uuid.uuid4().hex[:12])


def connect(server, host=None, **kwargs):
    """A driver connection to `server` as the superuser on the test
    database, unless told otherwise."""
    params = dict(host=pgserver.HOST if host is None else host, port=server.port,
                  database=pgserver.DATABASE, user=pgserver.SUPERUSER)
    params.update(kwargs)
    return vkcondb.connect(**params)


def query(cur, sql, params=None):
    """Run `sql` on `cur` and return all its rows."""
    if params is None:
        cur.execute(sql)
    else:
        cur.execute(sql, params)
    return cur.fetchall()


def close_quietly(conn):
    try:
        conn.close()
    except vkcondb.Error:
        pass


def drop_tables(server, names, db=pgserver.DATABASE):
    if names and server.running:
        # A connection that a failed test left inside a transaction may
        # still hold a lock: wait for it a bounded time only.
        server.psql("set lock_timeout = '10s'; drop table if exists %s cascade"
                    % ", ".join(names), db=db)


def wait_for(predicate, timeout, what):
    """Poll `predicate` every 20 ms until it is true; fail after `timeout` s."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            pytest.fail("timed out after %ss waiting for %s" % (timeout, what))
        time.sleep(0.02)


@pytest.fixture
def table(pg_server):
    """`table("id int primary key, v text")` creates a table of a fresh name
    (through psql, independent of the driver) and returns the name; every
    table made so is dropped after the test."""
    made = []

    def create(columns):
        name = unique_name()
        pg_server.psql("create table %s (%s)" % (name, columns))
        made.append(name)
        return name

    yield create
    drop_tables(pg_server, made)


# The connections depend on `table` so that they are closed (ending what
# they left open) before its tables are dropped.
@pytest.fixture
def conn(pg_server, table):
    c = connect(pg_server)
    yield c
    close_quietly(c)


@pytest.fixture
def cur(conn):
    return conn.cursor()


@pytest.fixture
def other(pg_server, table):
    """A second connection, to look at what the first one made visible."""
    c = connect(pg_server)
    yield c.cursor()
    close_quietly(c)

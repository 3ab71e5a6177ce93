"""Opening PostgreSQL connections and keeping them alive: the password
role, refused connects and their reasons, a host that never answers, and
ping() across a server restart."""
import time

import pytest

import pgserver
import vkcondb
from pg_support import close_quietly, connect, query, table, unique_name  # noqa: F401

CONNECT_FAILED = "Connection information is not correct"


def refused(call):
    """Run `call`, which must fail to connect; returns the exception."""
    with pytest.raises(vkcondb.OperationalError) as info:
        call()
    exc = info.value
    assert str(exc) == CONNECT_FAILED
    assert isinstance(exc.__cause__, vkcondb.OperationalError)
    return exc


# ---- credentials ----------------------------------------------------------------

def test_password_role_connects(pg_server):
    c = connect(pg_server, user=pgserver.PW_USER, password=pgserver.PW_PASSWORD)
    try:
        cur = c.cursor()
        assert query(cur, "select current_user, current_database()") == [
            (pgserver.PW_USER, pgserver.DATABASE)]
    finally:
        close_quietly(c)


@pytest.mark.parametrize("wrong", [
    "wrong",
    pgserver.PW_PASSWORD[:-1],
    pgserver.PW_PASSWORD + " ",
    pgserver.PW_PASSWORD.replace("\\", "\\\\"),
    pgserver.PW_PASSWORD.replace("'", "''"),
    pgserver.PW_PASSWORD.split(";")[0],
], ids=["other", "truncated", "blank-added", "backslash-doubled", "quote-doubled",
        "cut-at-semicolon"])
def test_wrong_password_is_refused_with_the_servers_reason(pg_server, wrong):
    exc = refused(lambda: connect(pg_server, user=pgserver.PW_USER, password=wrong))
    assert "password authentication failed" in str(exc.__cause__)
    assert pgserver.PW_USER in str(exc.__cause__)


def test_missing_password_is_refused(pg_server):
    exc = refused(lambda: connect(pg_server, user=pgserver.PW_USER))
    assert "password" in str(exc.__cause__)


def test_unknown_database_and_role_are_refused(pg_server):
    db = unique_name("nodb")
    exc = refused(lambda: connect(pg_server, database=db))
    assert db in str(exc.__cause__) and "does not exist" in str(exc.__cause__)
    role = unique_name("norole")
    exc = refused(lambda: connect(pg_server, user=role))
    assert role in str(exc.__cause__)


def test_closed_port_is_refused_at_once(pg_server):
    port = pgserver.free_port()
    start = time.monotonic()
    exc = refused(lambda: vkcondb.connect(host="127.0.0.1", port=port,
                                          database=pgserver.DATABASE, user=pgserver.SUPERUSER))
    assert time.monotonic() - start < 5
    assert str(port) in str(exc.__cause__)


def test_port_in_the_host_wins_over_the_port_argument(pg_server):
    unused = pgserver.free_port()
    c = vkcondb.connect(host="127.0.0.1:%d" % pg_server.port, port=unused,
                        database=pgserver.DATABASE, user=pgserver.SUPERUSER)
    try:
        assert query(c.cursor(), "select inet_server_port()") == [(pg_server.port,)]
    finally:
        close_quietly(c)


def test_host_that_never_answers_fails_within_the_connect_timeout():
    # The engine gives a connect 10 seconds per host.
    with pgserver.deaf_listener() as port:
        start = time.monotonic()
        exc = refused(lambda: vkcondb.connect(host="127.0.0.1", port=port,
                                              database=pgserver.DATABASE,
                                              user=pgserver.SUPERUSER))
        elapsed = time.monotonic() - start
    assert elapsed < 15, elapsed
    assert "timeout" in str(exc.__cause__)


# ---- ping ---------------------------------------------------------------------

def backend_pid(cur):
    return query(cur, "select pg_backend_pid()")[0][0]


def test_ping_leaves_a_live_connection_alone(pg_server, table):
    name = table("id int")
    c = connect(pg_server)
    try:
        cur = c.cursor()
        pid = backend_pid(cur)
        c.begin()
        cur.execute("insert into %s values (1)" % name)
        assert c.ping() is True
        assert c.ping(reconnect=1) is True
        assert c.ping(reconnect=0) is True
        c.commit()
        assert backend_pid(cur) == pid
        assert pg_server.psql("select count(*) from %s" % name) == "1"
        # Also inside a transaction that an error has spoilt.
        c.begin()
        with pytest.raises(vkcondb.OperationalError):
            cur.execute("select 1/0")
        assert c.ping() is True
        c.rollback()
        assert backend_pid(cur) == pid
    finally:
        close_quietly(c)


@pytest.fixture
def restartable(pg_server):
    """The session server, running again after the test whatever happened."""
    try:
        yield pg_server
    finally:
        if not pg_server.running:
            pg_server.start()


def test_ping_after_a_server_restart(restartable):
    server = restartable
    pinged, used = connect(server), connect(server)
    try:
        cur_p, cur_u = pinged.cursor(), used.cursor()
        old = backend_pid(cur_p), backend_pid(cur_u)
        server.restart()
        # One connection is pinged first, the other one used first.
        assert pinged.ping() is False
        assert pinged.ping() is False
        with pytest.raises(vkcondb.OperationalError):
            cur_u.execute("select 1")
        assert used.ping() is False
        for c, cur in ((pinged, cur_p), (used, cur_u)):
            assert c.ping(reconnect=1) is True
            assert c.ping() is True
            # The cursor made before the restart works on the new session.
            assert query(cur, "select ?::int + 1", (1,)) == [(2,)]
            assert query(c.cursor(), "select current_database(), current_user") == [
                (pgserver.DATABASE, pgserver.SUPERUSER)]
        assert (backend_pid(cur_p), backend_pid(cur_u)) != old
    finally:
        close_quietly(pinged)
        close_quietly(used)


def test_reconnect_goes_back_to_the_database_of_the_connect(restartable):
    # A reconnect opens the connection with every parameter it was opened
    # with (as on the embedded engine): a select_db switch is not kept.
    server = restartable
    db = unique_name("db")
    server.psql("create database %s" % db, db="postgres")
    c = connect(server)
    try:
        c.select_db(db)
        cur = c.cursor()
        assert query(cur, "select current_database()") == [(db,)]
        server.restart()
        assert c.ping(reconnect=1) is True
        cur = c.cursor()
        assert query(cur, "select current_database()") == [("vktest",)]
    finally:
        close_quietly(c)
        if server.running:
            server.psql("drop database if exists %s with (force)" % db, db="postgres")


def test_reconnect_keeps_autocommit_off(restartable, table):
    server = restartable
    name = table("id int")
    c = connect(server)
    try:
        c.autocommit(False)
        server.restart()
        assert c.ping(reconnect=1) is True
        cur = c.cursor()
        cur.execute("insert into %s values (1)" % name)
        assert server.psql("select count(*) from %s" % name) == "0"
        c.rollback()
        assert server.psql("select count(*) from %s" % name) == "0"
    finally:
        close_quietly(c)

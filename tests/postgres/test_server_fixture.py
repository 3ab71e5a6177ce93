"""The PostgreSQL test servers themselves, checked through psql.

The driver's PostgreSQL tests rely on these servers: if one of these fails,
look here before at the driver.
"""
import socket
import threading
import time
import uuid

import pytest

import pgserver

# Bound on how long a standby may take to show a primary's commit.
REPLAY_TIMEOUT = 30


def unique_table():
    return "t_" + uuid.uuid4().hex[:12]


class TestSessionServer(object):
    def test_answers_on_its_loopback_port(self, pg_server):
        assert pg_server.host == "127.0.0.1"
        assert pg_server.psql("select 1") == "1"
        # Reached over TCP on the port it reports, listening on loopback only.
        out = pg_server.psql(
            "select inet_server_addr(), inet_server_port(), current_setting('listen_addresses')")
        assert out == "127.0.0.1|%d|127.0.0.1" % pg_server.port

    def test_database_and_roles(self, pg_server):
        out = pg_server.psql(
            "select current_database(), current_user, rolsuper,"
            " current_setting('server_encoding')"
            " from pg_roles where rolname = current_user")
        assert out == "vktest|vk|t|UTF8"

    def test_psql_reports_sql_errors(self, pg_server):
        with pytest.raises(pgserver.PsqlError) as info:
            pg_server.psql("select * from no_such_table_here")
        assert "no_such_table_here" in info.value.stderr

    def test_psql_runs_statements_one_by_one(self, pg_server):
        # CREATE DATABASE refuses to run inside a transaction block: psql
        # must not send the statements as one.
        name = "db_" + uuid.uuid4().hex[:12]
        try:
            assert pg_server.psql(
                "create database %s; select datname from pg_database where datname = '%s'"
                % (name, name), db="postgres") == name
        finally:
            pg_server.psql("drop database if exists %s" % name, db="postgres")

    def test_non_ascii_text_round_trips(self, pg_server):
        assert pg_server.psql("select 'z\u00e9\u4e2d\U0001f600'") == "z\u00e9\u4e2d\U0001f600"


class TestPasswordRole(object):
    def test_password_has_the_awkward_characters(self):
        for ch in ";=\"' \\":
            assert ch in pgserver.PW_PASSWORD

    def test_connects_with_its_password(self, pg_server):
        out = pg_server.psql("select current_user", user=pgserver.PW_USER,
                             password=pgserver.PW_PASSWORD)
        assert out == pgserver.PW_USER

    def test_refused_without_a_password(self, pg_server):
        with pytest.raises(pgserver.PsqlError) as info:
            pg_server.psql("select 1", user=pgserver.PW_USER)
        assert "no password supplied" in info.value.stderr

    @pytest.mark.parametrize("wrong", [
        "wrong",
        pgserver.PW_PASSWORD[:-1],
        pgserver.PW_PASSWORD.replace("\\", "\\\\"),
        pgserver.PW_PASSWORD.replace("'", "''"),
    ], ids=["other", "truncated", "backslash-doubled", "quote-doubled"])
    def test_refused_with_a_wrong_password(self, pg_server, wrong):
        with pytest.raises(pgserver.PsqlError) as info:
            pg_server.psql("select 1", user=pgserver.PW_USER, password=wrong)
        assert "password authentication failed" in info.value.stderr

    def test_unix_socket_demands_the_password_too(self, pg_server):
        sock = pg_server.socket_dir
        with pytest.raises(pgserver.PsqlError) as info:
            pg_server.psql("select 1", user=pgserver.PW_USER, host=sock)
        assert "no password supplied" in info.value.stderr
        assert pg_server.psql("select current_user", user=pgserver.PW_USER, host=sock,
                              password=pgserver.PW_PASSWORD) == pgserver.PW_USER
        assert pg_server.psql("select current_user", host=sock) == "vk"

    def test_password_in_a_connect_string(self, pg_server):
        dsn = pg_server.dsn(user=pgserver.PW_USER, password=pgserver.PW_PASSWORD)
        assert pg_server.psql("select current_user", dsn=dsn) == pgserver.PW_USER
        with pytest.raises(pgserver.PsqlError):
            pg_server.psql("select 1", dsn=pg_server.dsn(user=pgserver.PW_USER,
                                                          password="wrong"))

    def test_other_roles_need_no_password(self, pg_server):
        assert pg_server.psql("select current_user", password="anything") == "vk"


class TestRestart(object):
    def test_restart_keeps_data_and_port(self, pg_server):
        table = unique_table()
        pg_server.psql("create table %s (x text); insert into %s values ('kept')"
                       % (table, table))
        port = pg_server.port
        try:
            pg_server.restart()
            assert pg_server.port == port
            assert pg_server.psql("select x from %s" % table) == "kept"
        finally:
            pg_server.psql("drop table if exists %s" % table)

    def test_kill_keeps_committed_data(self, pg_server):
        table = unique_table()
        pg_server.psql("create table %s (x int); insert into %s values (7)" % (table, table))
        try:
            pg_server.kill()
            with pytest.raises(pgserver.PsqlError):
                pg_server.psql("select 1")
            pg_server.start()
            assert pg_server.psql("select x from %s" % table) == "7"
        finally:
            pg_server.start()
            pg_server.psql("drop table if exists %s" % table)

    def test_stopped_server_refuses_connections(self, pg_server):
        pg_server.stop()
        try:
            with pytest.raises(pgserver.PsqlError) as info:
                pg_server.psql("select 1")
            assert "refused" in info.value.stderr
        finally:
            pg_server.start()
        assert pg_server.psql("select 1") == "1"


class TestFailover(object):
    def test_standby_is_read_only_and_follows(self, pg_failover):
        primary, standby = pg_failover
        assert standby.port != primary.port
        assert standby.in_recovery()
        assert not primary.in_recovery()
        table = unique_table()
        primary.psql("create table %s (x int); insert into %s values (1)" % (table, table))
        pgserver.wait_until(
            lambda: _count(standby, table) == 1, REPLAY_TIMEOUT, interval=0.1,
            what="the row to reach the standby")
        with pytest.raises(pgserver.PsqlError) as info:
            standby.psql("insert into %s values (2)" % table)
        assert "read-only" in info.value.stderr

    def test_promoted_standby_takes_writes(self, pg_failover):
        primary, standby = pg_failover
        table = unique_table()
        primary.psql("create table %s (x int); insert into %s values (1)" % (table, table))
        pgserver.wait_until(
            lambda: _count(standby, table) == 1, REPLAY_TIMEOUT, interval=0.1,
            what="the row to reach the standby")
        primary.stop()
        standby.promote()
        assert not standby.in_recovery()
        standby.psql("insert into %s values (2)" % table)
        assert standby.psql("select string_agg(x::text, ',' order by x) from %s"
                            % table) == "1,2"
        # The password role came along with the base backup.
        assert standby.psql("select current_user", user=pgserver.PW_USER,
                            password=pgserver.PW_PASSWORD) == pgserver.PW_USER


def _count(server, table):
    try:
        return int(server.psql("select count(*) from %s" % table))
    except pgserver.PsqlError:
        return None  # the table itself has not arrived yet


class TestDeafListener(object):
    def test_accepts_and_never_answers(self):
        with pgserver.deaf_listener() as port:
            socks = []
            try:
                for _ in range(3):
                    s = socket.create_connection(("127.0.0.1", port), timeout=5)
                    socks.append(s)
                    s.sendall(b"\x00\x00\x00\x08\x04\xd2\x16\x2f")
                for s in socks:
                    s.settimeout(0.3)
                    started = time.monotonic()
                    with pytest.raises(socket.timeout):
                        s.recv(1)
                    assert time.monotonic() - started >= 0.25
            finally:
                for s in socks:
                    s.close()

    def test_stops_on_exit(self):
        before = set(threading.enumerate())
        with pgserver.deaf_listener() as port:
            conn = socket.create_connection(("127.0.0.1", port), timeout=5)
        try:
            # The held connection is closed: the peer sees end of stream.
            conn.settimeout(5)
            assert conn.recv(1) == b""
        finally:
            conn.close()
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
        assert not [t for t in set(threading.enumerate()) - before if t.is_alive()]

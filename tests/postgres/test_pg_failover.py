"""A host list: the connection goes to the writable server of the list, and
after the primary stops and its standby is promoted, ping(reconnect=1)
finds the new primary."""
import pytest

import pgserver
import vkcondb
from pg_support import close_quietly, query, wait_for

REPLAY_TIMEOUT = 30


def host_list(*ports):
    return ",".join("127.0.0.1:%d" % p for p in ports)


def connect_list(ports, port):
    return vkcondb.connect(host=host_list(*ports), port=port, database=pgserver.DATABASE,
                           user=pgserver.SUPERUSER)


def where(cur):
    return query(cur, "select inet_server_port(), pg_is_in_recovery()")[0]


def test_failover_to_the_promoted_standby(pg_failover):
    primary, standby = pg_failover
    c = connect_list([primary.port, standby.port], primary.port)
    try:
        cur = c.cursor()
        assert where(cur) == (primary.port, False)
        cur.execute("create table f (id int)")
        cur.execute("insert into f values (?)", (1,))
        wait_for(lambda: standby.psql("select count(*) from pg_class where relname = 'f'") == "1"
                 and standby.psql("select count(*) from f") == "1",
                 REPLAY_TIMEOUT, "the standby to replay the insert")

        primary.stop()
        assert c.ping() is False
        # Nothing writable is left: a reconnect must not settle on the
        # standby that is still read-only.
        try:
            assert c.ping(reconnect=1) is not True
        except vkcondb.OperationalError:
            pass

        standby.promote()
        assert c.ping(reconnect=1) is True
        cur = c.cursor()
        assert where(cur) == (standby.port, False)
        cur.execute("insert into f values (?)", (2,))
        assert query(cur, "select id from f order by id") == [(1,), (2,)]
        assert standby.psql("select string_agg(id::text, ',' order by id) from f") == "1,2"
    finally:
        close_quietly(c)


def test_host_list_skips_dead_and_read_only_hosts(pg_failover):
    primary, standby = pg_failover
    dead = pgserver.free_port()
    c = connect_list([dead, standby.port, primary.port], standby.port)
    try:
        assert where(c.cursor()) == (primary.port, False)
    finally:
        close_quietly(c)

    # Only hosts that cannot take writes: refused, every host named.
    with pytest.raises(vkcondb.OperationalError) as info:
        connect_list([dead, standby.port], dead)
    assert str(info.value) == "Connection information is not correct"
    reason = str(info.value.__cause__)
    assert str(dead) in reason and str(standby.port) in reason

"""The pool against the scripted engine: what it opens, with which connect
string, and what it sends when a connection comes back."""
import pytest

from vkcondb import _pyvkdb37 as m

CONNSTR = "IP=h; DB=d; USER=u; PWD=p; PORT=7; CHAR_SET=c;USESSL=s;"


def make_pool(maxconnections=3, mincached=2):
    return m._conpool(port=7, maxconnections=maxconnections, mincached=mincached, host="h",
                      database="d", user="u", password="p", charset="c", usessl="s")


def test_opening_counts(script):
    pool = make_pool(3, 2)
    assert script.calls("cli_connect") == [(CONNSTR, 0), (CONNSTR, 0)]
    lent = [pool.getconn() for _ in range(3)]
    assert len(set(map(id, lent))) == 3
    assert script.count("cli_connect") == 3          # the third get opened one
    with pytest.raises(m.ProgrammingError, match="^create conn fail$"):
        pool.getconn()
    assert script.count("cli_connect") == 3          # and a refused one opens nothing


def test_host_list_pool_uses_multi_connect(script):
    m._conpool(7, 2, 1, "a,b", "d", "u", "p", "c", "s")
    assert script.calls("cli_connect_multi") == [(CONNSTR.replace("IP=h", "IP=a,b"), 1, 0, 0)]


def test_setters_change_the_next_connect_string(script):
    pool = make_pool(4, 0)
    pool.set_host("h2")
    pool.set_port(9)
    pool.set_dbname("d2")
    pool.set_user("u2")
    pool.set_password("")
    pool.set_charset("utf8")
    pool.getconn()
    assert script.last("cli_connect")[0] == \
        "IP=h2; DB=d2; USER=u2; PWD=; PORT=9; CHAR_SET=utf8;USESSL=s;"


def test_failed_open_leaves_the_pool_unchanged(script):
    pool = make_pool(2, 0)
    script.script("cli_connect", {"ret": -1})
    with pytest.raises(m.OperationalError, match="^Connpool create  conn failed$"):
        pool.getconn()
    lent = [pool.getconn(), pool.getconn()]            # both slots still free
    assert lent[0] is not lent[1]
    with pytest.raises(m.ProgrammingError, match="^create conn fail$"):
        pool.getconn()


def test_init_failure(script):
    script.script("cli_connect", {}, {"ret": -1})
    with pytest.raises(m.OperationalError, match="^Connpool init conn failed$"):
        make_pool(3, 3)


def test_return_cleans_up_and_does_not_disconnect(script):
    pool = make_pool(1, 1)
    conn = pool.getconn()
    before = len(script.calls())
    conn.close()
    assert script.calls()[before:] == [("cli_exec_command", (1, "rollback;")),
                                       ("cli_exec_command", (1, "set auto commit on"))]
    assert pool.getconn() is conn                      # checked before it is lent
    before = len(script.calls())
    conn.close()
    conn.close()                                       # not on the busy list: nothing sent
    assert [c for c in script.calls()[before:] if c[0] == "cli_exec_command"] == \
        [("cli_exec_command", (1, "rollback;")), ("cli_exec_command", (1, "set auto commit on"))]
    assert script.count("cli_disconnect") == 0


def test_idle_connection_is_checked_and_reopened_before_it_is_lent(script):
    pool = make_pool(2, 1)
    before = len(script.calls())
    conn = pool.getconn()
    assert script.calls()[before:] == [("cli_exec_command", (1, "select 1 from dual;"))]
    conn.close()
    # Its server went away while it was idle: it is opened afresh, then lent.
    script.script("cli_exec_command", {"ret": -4})
    before = len(script.calls())
    assert pool.getconn() is conn
    assert script.calls()[before:] == [("cli_exec_command", (1, "select 1 from dual;")),
                                       ("cli_reconnect", (1,))]
    # A connection the pool has just opened is lent unchecked.
    before = len(script.calls())
    pool.getconn()
    assert [c[0] for c in script.calls()[before:]] == ["cli_connect"]


def test_idle_connection_that_cannot_be_reopened_stays_idle(script):
    pool = make_pool(1, 1)
    script.script("cli_exec_command", {"ret": -4})
    script.script("cli_reconnect", {"ret": -1})
    with pytest.raises(m.OperationalError, match="^Connpool create  conn failed$"):
        pool.getconn()
    conn = pool.getconn()                              # lent once it answers again
    with pytest.raises(m.ProgrammingError, match="^create conn fail$"):
        pool.getconn()
    assert script.count("cli_connect") == 1
    conn.close()


def test_cursor_of_a_returned_connection_is_closed(script):
    pool = make_pool(1, 1)
    conn = pool.getconn()
    cur = conn.cursor()
    conn.close()
    again = pool.getconn()
    assert again is conn
    with pytest.raises(m.OperationalError, match="^The cursor object does not exist$"):
        cur.execute("select 1")
    assert cur.close() is None
    fresh = again.cursor()
    fresh.execute("select 1")                          # the new borrower's cursor works


def test_pool_destruction_releases_idle_connections(script):
    pool = make_pool(3, 2)
    lent = pool.getconn()
    del pool
    # the idle connection was disconnected with the pool; the lent one lives on
    assert script.calls("cli_disconnect") == [(1,)]
    lent.close()
    assert script.calls("cli_disconnect") == [(1,), (2,)]

"""Connections against the scripted engine: the connect string, which
library call each method makes with which arguments, and every failure."""
import pytest

from vkcondb import _pyvkdb37 as m

ARGS = dict(host="h", port=7, database="d", user="u", password="p", charset="c",
            usessl="s", usetls="", usetlcp="")
CONNSTR = "IP=h; DB=d; USER=u; PWD=p; PORT=7; CHAR_SET=c;USESSL=s;"


def connect(**over):
    args = dict(ARGS)
    args.update(over)
    return m._connect(**args)


def test_connect_string_and_single_address(script):
    conn = connect()
    assert script.calls() == [("cli_connect", (CONNSTR, 0))]
    conn.close()
    assert script.calls("cli_disconnect") == [(1,)]


@pytest.mark.parametrize("usetls,usetlcp", [("", ""), ("x", "y"), ("tls1.3", "")])
def test_tls_texts_never_reach_the_library(script, usetls, usetlcp):
    connect(usetls=usetls, usetlcp=usetlcp)
    assert script.calls("cli_connect") == [(CONNSTR,  0)]


@pytest.mark.parametrize("host", ["a,b", "a,", ",", "10.0.0.1,10.0.0.2,10.0.0.3"])
def test_host_list_opens_through_multi_connect(script, host):
    conn = connect(host=host)
    expected = CONNSTR.replace("IP=h;", "IP=%s;" % host)
    assert script.calls("cli_connect_multi") == [(expected, 1, 0, 0)]
    assert script.count("cli_connect") == 0
    conn.close()
    # the attribute set goes back on close, after the disconnect
    assert script.ops()[-2:] == ["cli_disconnect", "cli_free_addr_attrs"]
    assert script.calls("cli_free_addr_attrs") == [(501,)]


def test_port_passes_second_to_the_constructor(script):
    m._connect(9, "h", "d", "u", "p", "c", "s", "", "")
    assert script.last("cli_connect")[0] == CONNSTR.replace("PORT=7", "PORT=9")


def test_high_port_written_as_given(script):
    connect(port=65535)
    assert "PORT=65535;" in script.last("cli_connect")[0]


def test_failed_connect(script):
    script.script("cli_connect", {"ret": -1})
    script.script("cli_error_text", {"text": "no route to the server"})
    with pytest.raises(m.OperationalError) as info:
        connect()
    assert str(info.value) == "Connection information is not correct"
    assert getattr(info.value, "__notes__", ["no route to the server"]) == ["no route to the server"]


@pytest.mark.parametrize("method,sql,message", [
    ("begin", "begin;", "Begin failed"),
    ("commit", "commit;", "Commit failed"),
    ("rollback", "rollback;", "rollback() failed"),
])
def test_transaction_statements(script, method, sql, message):
    conn = connect()
    assert getattr(conn, method)() is None
    assert script.last("cli_exec_command") == (1, sql)
    script.script("cli_exec_command", {"ret": -1})
    with pytest.raises(m.DatabaseError) as info:
        getattr(conn, method)()
    assert str(info.value) == message
    assert type(info.value) is m.DatabaseError


@pytest.mark.parametrize("flag,sql", [
    (0, "set auto commit off"), (False, "set auto commit off"), ("", "set auto commit off"),
    (True, "set auto commit on"), ("no", "set auto commit on"), ([1], "set auto commit on"),
])
def test_autocommit_texts(script, flag, sql):
    conn = connect()
    conn.autocommit(flag)
    assert script.last("cli_exec_command") == (1, sql)


def test_autocommit_none_and_failures(script):
    conn = connect()
    before = len(script.calls())
    assert conn.autocommit(None) is None
    assert len(script.calls()) == before
    with pytest.raises(m.ProgrammingError, match="^parameters is not object$"):
        conn.autocommit(flag=True)
    script.script("cli_exec_command", {"ret": -2})
    with pytest.raises(m.DatabaseError, match="^set auto commit failed$"):
        conn.autocommit(1)

    class Unsure(object):
        def __bool__(self):
            raise RuntimeError("cannot tell")
    with pytest.raises(RuntimeError):
        conn.autocommit(Unsure())


@pytest.mark.parametrize("first,reconnect,expected", [
    (0, 0, True), (-1, 0, True), (-3, 0, True),   # only -4 means lost
    (-4, 0, False),
])
def test_ping_results(script, first, reconnect, expected):
    conn = connect()
    script.script("cli_exec_command", {"ret": first})
    assert conn.ping(reconnect) is expected
    assert script.last("cli_exec_command") == (1, "select 1 from dual;")
    assert script.count("cli_reconnect") == 0


def test_ping_reconnect(script):
    conn = connect()
    script.script("cli_exec_command", {"ret": -4})
    assert conn.ping(reconnect=1) is True
    assert script.calls("cli_reconnect") == [(1,)]
    script.script("cli_exec_command", {"ret": -4})
    script.script("cli_reconnect", {"ret": -1})
    with pytest.raises(m.OperationalError, match="^reconnect fail$"):
        conn.ping(reconnect=1)
    with pytest.raises(m.ProgrammingError, match="^ping Parameter mismatch$"):
        conn.ping("x")


def test_after_close(script):
    conn = connect()
    conn.close()
    for method in ("begin", "commit", "rollback", "cursor"):
        with pytest.raises(m.OperationalError, match="^Connection does not exist$"):
            getattr(conn, method)()
    with pytest.raises(m.OperationalError, match="^Connection does not exist$"):
        conn.autocommit(1)
    # ping and select_db still hand the empty handle to the library
    script.script("cli_exec_command", {"ret": -4}, {"ret": 0})
    assert conn.ping() is False
    conn.select_db("other")
    assert script.calls("cli_exec_command")[-2:] == [(0, "select 1 from dual;"),
                                                      (0, "USE other;")]


def test_select_db(script):
    conn = connect()
    assert conn.select_db("second") is None
    assert script.last("cli_exec_command") == (1, "USE second;")
    script.script("cli_exec_command", {"ret": -1})
    script.script("cli_error_text", {"text": "no such database"})
    with pytest.raises(m.OperationalError) as info:
        conn.select_db("nosuch")
    assert str(info.value) == "no such database"
    script.script("cli_exec_command", {"ret": -1})
    script.script("cli_error_text", {"text": ""})
    with pytest.raises(m.OperationalError) as info:
        conn.select_db("nosuch")
    assert str(info.value) == ""
    # the longest name that fits the statement buffer, and one more
    conn.select_db("n" * 250)
    assert script.last("cli_exec_command") == (1, "USE %s;" % ("n" * 250))
    calls = len(script.calls())
    with pytest.raises(m.ProgrammingError):
        conn.select_db("n" * 251)
    assert len(script.calls()) == calls


def test_error_text_is_bounded(script):
    conn = connect()
    script.script("cli_exec_command", {"ret": -1})
    script.script("cli_error_text", {"text": "é" * 300})
    with pytest.raises(m.OperationalError) as info:
        conn.select_db("x")
    text = str(info.value)
    assert len(text.encode("utf-8", "surrogateescape")) <= 255
    assert text.startswith("é" * 100)


def test_close_failures(script):
    conn = connect()
    script.script("cli_disconnect", {"ret": -1})
    with pytest.raises(m.ProgrammingError, match="^Pointer in error$"):
        conn.close()
    with pytest.raises(m.OperationalError, match="^Connection does not exist$"):
        conn.commit()                       # the handle is empty all the same
    multi = connect(host="a,b")
    script.script("cli_free_addr_attrs", {"ret": -1})
    with pytest.raises(m.ProgrammingError, match="^turnIP_attrs in error$"):
        multi.close()


def test_second_close_calls_the_library_again(script):
    conn = connect()
    conn.close()
    conn.close()
    assert script.calls("cli_disconnect") == [(1,), (0,)]


def test_destructor_disconnects(script):
    conn = connect()
    conn.close()
    del conn
    assert script.calls("cli_disconnect") == [(1,), (0,)]
    connect(host="a,b")          # dropped at once: disconnect and attribute set release
    assert script.ops()[-2:] == ["cli_disconnect", "cli_free_addr_attrs"]


def test_cursor_arguments(script):
    conn = connect()
    plain = conn.cursor()
    named = conn.cursor("n", cursor_factory=object, withhold=True, scrollable=False)
    assert type(plain) is m.cursor and type(named) is m.cursor
    with pytest.raises(m.ProgrammingError, match="^Parameter mismatch$"):
        conn.cursor(nosuch=1)
    with pytest.raises(m.ProgrammingError, match="^Parameter mismatch$"):
        conn.cursor(1, 2, 3, 4, 5)


def test_with_statement_closes_and_passes_exceptions(script):
    with pytest.raises(KeyError):
        with connect() as conn:
            assert isinstance(conn, m.connection)
            raise KeyError("inside")
    assert script.calls("cli_disconnect")[0] == (1,)


def test_reinitialising_an_open_connection_is_refused(script):
    conn = connect()
    with pytest.raises(m.ProgrammingError):
        conn.__init__(**ARGS)
    assert script.count("cli_connect") == 1

import threading
from ctypes import byref, c_void_p

import pytest

from vk import ERROR, OK, connect_string


def test_password_with_separators_connects(lib, tmp_path):
    rc, h = lib.try_connect(db=str(tmp_path / "a.db"), pwd="a;b=c")
    assert rc == OK and h.value
    assert lib.disconnect(byref(h)) == OK and not h.value


@pytest.mark.parametrize("field, value, needle", [
    ("pwd", "x; DB=y", "PWD"),
    ("pwd", "x;PORT=5", "PORT"),
    ("db", "d; USER=evil", "USER"),
    ("user", "u; PWD=evil", "PWD"),
    ("usessl", "0;IP=h", "IP"),
])
def test_ambiguous_values_are_refused(lib, tmp_path, monkeypatch, field, value, needle):
    monkeypatch.chdir(tmp_path)
    kw = {"db": "main.db", field: value}
    rc, h = lib.try_connect(**kw)
    assert rc == ERROR and not h.value
    text = lib.thread_error()
    assert "ambiguous" in text and needle in text
    # nothing was opened under another name
    assert sorted(p.name for p in tmp_path.iterdir()) == []


@pytest.mark.parametrize("charset", ["utf8", "UTF-8", "Utf-8", "UTF8"])
def test_utf8_spellings_accepted(lib, charset):
    c = lib.connect(charset=charset)
    assert c.close() == OK


@pytest.mark.parametrize("kw, needle", [
    ({"charset": "latin1"}, "unsupported character set 'latin1': only utf8 is supported"),
    ({"charset": ""}, "unsupported character set"),
    ({"port": 70000}, "PORT"),
    ({"port": -1}, "PORT"),
    ({"db": ""}, "no database given"),
    # a server host with nothing listening (loopback only: no test reaches out)
    ({"ip": "127.0.0.1:1"}, "127.0.0.1"),
    ({"ip": "127.0.0.1:1", "usessl": "sometimes"}, "USESSL 'sometimes' is not one of"),
])
def test_refused_connects_leave_handle_empty(lib, kw, needle):
    rc, h = lib.try_connect(**kw)
    assert rc < 0 and not h.value
    assert needle in lib.thread_error()


@pytest.mark.parametrize("text", [
    "", "DB=x;", "IP=; DB=x; USER=u; PWD=p; PORT=1; CHAR_SET=utf8;USESSL=0",
    "IP=; DB=x; USER=u; PORT=1; PWD=p; CHAR_SET=utf8;USESSL=0;",
])
def test_malformed_connect_strings(lib, text):
    h = c_void_p()
    assert lib.dll.cli_connect(text.encode(), byref(h)) == ERROR
    assert not h.value and "connect string" in lib.thread_error()


def test_connect_error_text_is_per_thread(lib):
    lib.try_connect(charset="koi8")
    seen = {}

    def other():
        lib.try_connect(port=99999)
        seen["text"] = lib.thread_error()

    t = threading.Thread(target=other)
    t.start()
    t.join()
    assert "PORT" in seen["text"]
    assert "koi8" in lib.thread_error()


def test_database_file_is_created_relative_to_cwd(lib, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    c = lib.connect(db="rel.db")
    c.close()
    assert (tmp_path / "rel.db").exists()


def test_connect_multi_uses_first_host_that_answers(lib, tmp_path):
    h, attrs = c_void_p(), c_void_p()
    # a server host that refuses (nothing listens there), then the embedded engine
    s = connect_string(ip="127.0.0.1:1,", db=str(tmp_path / "m.db")).encode()
    assert lib.dll.cli_connect_multi(s, 1, byref(attrs), byref(h)) == OK
    assert h.value and attrs.value
    assert lib.dll.cli_free_addr_attrs(byref(attrs)) == OK and not attrs.value
    assert lib.dll.cli_disconnect(byref(h)) == OK


def test_connect_multi_all_hosts_failing(lib):
    h, attrs = c_void_p(), c_void_p()
    s = connect_string(ip="127.0.0.1:1, 127.0.0.2:1").encode()
    assert lib.dll.cli_connect_multi(s, 1, byref(attrs), byref(h)) == ERROR
    assert not h.value and not attrs.value
    text = lib.thread_error()
    assert "host '127.0.0.1:1'" in text and "host '127.0.0.2:1'" in text


def test_disconnect_edge_cases(lib):
    h = c_void_p()
    assert lib.dll.cli_disconnect(byref(h)) == OK
    assert lib.dll.cli_disconnect(None) == ERROR
    assert lib.dll.cli_free_addr_attrs(None) == ERROR


# ---- database names are file names --------------------------------------

@pytest.mark.parametrize("name", [
    "file:x?mode=memory",
    "file:x.db?mode=ro",
    "file::memory:?cache=shared",
    "FILE:y.db?immutable=1",
])
def test_uri_like_name_is_a_file_of_that_name(lib, tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    c = lib.connect(db=name)
    c.direct("create table t(x)")
    c.direct("insert into t values (1)")
    c.close()
    assert [p.name for p in tmp_path.iterdir()] == [name]
    again = lib.connect(db=name)
    assert again.query("select x from t") == [(1,)]
    again.close()


def test_uri_name_cannot_reach_another_path(lib, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    rc, h = lib.try_connect(db="file:%s" % (elsewhere / "y.db"))
    assert rc == ERROR and not h.value
    assert "unable to open" in lib.thread_error()
    assert list(elsewhere.iterdir()) == []


def test_reconnect_and_use_after_a_uri_like_name(lib, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    c = lib.connect(db="file:m?mode=memory")
    c.direct("create table t(x)")
    c.direct("insert into t values (5)")
    other = tmp_path / "sub"
    other.mkdir()
    monkeypatch.chdir(other)
    assert lib.dll.cli_reconnect(c.ref) == OK
    assert c.query("select x from t") == [(5,)]
    assert c.command("USE second;") == OK
    c.direct("create table u(y)")
    c.close()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file:m?mode=memory", "second.db",
                                                          "sub"]

import ctypes
from ctypes import byref, c_int32

import pytest

from vk import OK


def test_long_error_text_is_cut_on_a_character(mem):
    name = "é" * 300
    res = None
    try:
        res = mem.direct('select * from "%s"' % name)
    except Exception:
        pass
    assert res is None
    buf = ctypes.create_string_buffer(b"\x7f" * 300, 300)
    n = c_int32(0)
    assert mem.lib.dll.cli_error_text(mem.ref, buf, byref(n)) == OK
    assert n.value <= 255 and buf.raw[n.value] == 0
    assert buf.raw[256:] == b"\x7f" * 44  # nothing written past 256 bytes
    buf.raw[:n.value].decode("utf-8")  # whole characters only


@pytest.mark.parametrize("name", ["a" * 300, "€" * 100, "x" + "é" * 200])
def test_long_column_name_is_cut_on_a_character(mem, name):
    res = mem.direct('select 1 as "%s"' % name)
    buf = ctypes.create_string_buffer(b"\x7f" * 200, 200)
    assert mem.lib.dll.cli_column_name(res.ref, 1, buf) == OK
    text = buf.raw.split(b"\0", 1)[0]
    assert len(text) <= 127 and buf.raw[128:] == b"\x7f" * 72
    assert name.encode().startswith(text)
    text.decode("utf-8")
    res.free()


def test_rowid_fits_its_buffer(mem):
    mem.direct("create table t(id integer primary key)")
    mem.direct("insert into t values (-9223372036854775808)")
    buf = ctypes.create_string_buffer(b"\x7f" * 40, 40)
    assert mem.lib.dll.cli_get_rowid(mem.ref, buf) == OK
    assert buf.raw.split(b"\0")[0] == b"-9223372036854775808"
    assert buf.raw[33:] == b"\x7f" * 7


def test_fixed_width_fields_need_room(mem):
    res = mem.direct("select 1")
    res.fetch()
    rc, n, raw = res.field(1, 6, 4)
    assert rc < 0 and raw[:4] == b"\0\0\0\0"
    res.free()


def test_calls_without_result_or_connection(lib):
    r = ctypes.c_void_p()
    n = c_int32(5)
    assert lib.dll.cli_fetch_row(byref(r)) < 0
    assert lib.dll.cli_free_result(byref(r)) == OK
    assert lib.dll.cli_get_field(byref(r), 1, 6, None, 0, byref(n)) < 0 and n.value == -1
    assert lib.dll.cli_lob_free(None) == OK
    assert lib.dll.cli_exec_direct(byref(r), b"select 1", None, None, None, None) == -4

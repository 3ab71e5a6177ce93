import ctypes
import mmap
import struct
from ctypes import byref, c_int32

import pytest

from vk import (BIGINT, BINARY, BLOB, BOOLEAN, CLOB, DOUBLE, ERROR, INTEGER, NUMERIC, OK, VARCHAR,
                DbError)

TINYINT, SMALLINT, FLOAT = 3, 4, 7


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


def test_error_text_length_is_what_was_copied(mem):
    dll = mem.lib.dll
    with pytest.raises(DbError):
        mem.direct("select * from no_such_table")
    buf = ctypes.create_string_buffer(b"\x7f" * 256, 256)
    n = c_int32(-9)
    assert dll.cli_error_text(mem.ref, buf, byref(n)) == OK
    assert buf.raw[:n.value + 1] == b"no such table: no_such_table\0"
    # a text longer than the buffer: *len is the cut length, buf[*len] its zero
    with pytest.raises(DbError):
        mem.direct('select * from "%s"' % ("x" * 400))
    assert dll.cli_error_text(mem.ref, buf, byref(n)) == OK
    assert n.value == 255 and buf.raw[255] == 0 and b"\0" not in buf.raw[:255]
    n.value = -9
    assert dll.cli_error_text(mem.ref, None, byref(n)) == OK and n.value == 0
    assert dll.cli_error_text(mem.ref, buf, None) == OK


# ---- reading the caller's buffers ---------------------------------------
#
# A bind reads at most `buflen` bytes of `buf`, whatever the length cell
# says.  The value is put at the very end of a readable page that is
# followed by an unreadable one, so a read past `buflen` faults at once.

PAGE = mmap.PAGESIZE
_libc = ctypes.CDLL(None, use_errno=True)
_libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]


@pytest.fixture
def edge():
    """edge(data) -> address of `data` placed to end where readable memory ends."""
    area = mmap.mmap(-1, 2 * PAGE)
    base = ctypes.addressof(ctypes.c_char.from_buffer(area))
    assert _libc.mprotect(base + PAGE, PAGE, 0) == 0  # PROT_NONE

    def place(data):
        area.seek(PAGE - len(data))
        area.write(data)
        return base + PAGE - len(data)

    yield place
    assert _libc.mprotect(base + PAGE, PAGE, 3) == 0  # PROT_READ | PROT_WRITE


def bind_at(c, typ, addr, buflen, length):
    c.lib.dll.cli_reset_params(c.ref)
    cell = c_int32(length) if length is not None else None
    return c.lib.dll.cli_bind_param(c.ref, 1, 1, typ, addr, buflen,
                                    byref(cell) if cell is not None else None)


def bound_value(c):
    """(value, typeof) of what is bound at position 1 now."""
    res = c.run("select ?1, typeof(?1)")
    try:
        return res.fetchall()[0]
    finally:
        res.free()


@pytest.mark.parametrize("typ, data, buflen, length, expect", [
    (VARCHAR, b"abcd", 4, 24, ("abcd", "text")),
    (VARCHAR, b"ab\0d", 4, 24, ("ab", "text")),
    (VARCHAR, b"abcd", 4, None, ("abcd", "text")),      # no length cell: buflen
    (VARCHAR, b"abcd", 4, 2, ("ab", "text")),           # the cell is shorter
    (VARCHAR, b"abcd", -1, 24, ("", "text")),           # a negative buflen holds nothing
    (VARCHAR, b"abcd", 4, -5, ("", "text")),            # so does a negative length cell
    (VARCHAR, b"", 0, 0, ("", "text")),
    (CLOB, b"abcd", 4, 1 << 30, ("abcd", "text")),
    (NUMERIC, b"1234.5600", 9, 40, ("1234.5600", "text")),
    (NUMERIC, b"-0.5000", 7, None, ("-0.5000", "text")),
    (BINARY, b"\x01\x02\x03\x04", 4, 24, (b"\x01\x02\x03\x04", "blob")),
    (BINARY, b"\x01\x02\x03\x04", 4, 3, (b"\x01\x02\x03", "blob")),
    (BINARY, b"\x01\x02", -5, 2, (b"", "blob")),
    (BLOB, b"\x00\xff", 2, 1 << 20, (b"\x00\xff", "blob")),
])
def test_bind_reads_no_further_than_buflen(mem, edge, typ, data, buflen, length, expect):
    assert bind_at(mem, typ, edge(data), buflen, length) == OK, mem.error()
    assert bound_value(mem) == expect


@pytest.mark.parametrize("typ, fmt, value", [
    (TINYINT, "=b", -5), (SMALLINT, "=h", -300), (INTEGER, "=i", 70000),
    (BOOLEAN, "=b", 1), (BIGINT, "=q", -2 ** 40), (FLOAT, "=f", 0.5), (DOUBLE, "=d", 2.25),
])
def test_fixed_width_bind_needs_its_width(mem, edge, typ, fmt, value):
    raw = struct.pack(fmt, value)
    addr = edge(raw)
    assert bind_at(mem, typ, addr, len(raw), len(raw)) == OK
    assert bound_value(mem)[0] == value
    for short in (len(raw) - 1, -1):
        assert bind_at(mem, typ, addr + 1, short, len(raw)) == ERROR
        text = "parameter of type %d needs a buffer of %d bytes, %d given" % (
            typ, len(raw), short)
        assert mem.error() == text
        with pytest.raises(DbError) as e:
            mem.run("select ?")  # the refused bind fails the next execution
        assert str(e.value) == text


def test_numeric_column_in_a_batch(mem):
    mem.direct("create table m(v)")  # no affinity: the text is kept as sent
    rows = [b"1234.5600", b"-0.0001", None]
    lens = (c_int32 * 3)(9, 7, 0)
    data = b"".join(struct.pack("=i", len(v or b"")) + (v or b"") for v in rows)
    buf = ctypes.create_string_buffer(data, len(data))
    dll = mem.lib.dll
    dll.cli_reset_params(mem.ref)
    assert dll.cli_bind_array(mem.ref, 1, 1, 1, NUMERIC, 3, buf, len(data), lens) == OK
    assert dll.cli_exec_batch(mem.ref, b"insert into m values (?)", 3) == OK, mem.error()
    assert mem.query("select v, typeof(v) from m order by rowid") == [
        ("1234.5600", "text"), ("-0.0001", "text"), (None, "null")]

import struct

import pytest

from vk import (BIGINT, BLOB, BOOLEAN, CLOB, DATE, DATETIME_MS, DOUBLE, NO_DATA, NUMERIC, OK,
                TIME, VARCHAR)


@pytest.mark.parametrize("decl, code, size", [
    ("BOOLEAN", BOOLEAN, 1),
    ("INTEGER", BIGINT, 8),
    ("BIGINT", BIGINT, 8),
    ("POINT", BIGINT, 8),
    ("VARCHAR(20)", VARCHAR, 20),
    ("NATIVE CHARACTER(70)", VARCHAR, 70),
    ("TEXT", VARCHAR, -1),
    ("CLOB", VARCHAR, -1),
    ("VARCHAR(100000000)", VARCHAR, -1),
    ("BLOB", BLOB, -1),
    ("REAL", DOUBLE, 8),
    ("DOUBLE PRECISION", DOUBLE, 8),
    ("FLOAT", DOUBLE, 8),
    ("NUMERIC", NUMERIC, 0),
    ("DECIMAL(10,2)", NUMERIC, (10 << 16) | 2),
    ("DATE", DATE, 10),
    ("TIME", TIME, 8),
    ("DATETIME", DATETIME_MS, 8),
    ("TIMESTAMP", DATETIME_MS, 8),
])
def test_declared_types(mem, decl, code, size):
    mem.direct("create table t(c %s)" % decl)
    res = mem.direct("select c from t")
    assert (res.ctype(1), res.size(1)) == (code, size)
    res.free()


@pytest.mark.parametrize("expr, code", [
    ("1", BIGINT), ("1.5", DOUBLE), ("'a'", VARCHAR), ("x'00'", BLOB), ("NULL", VARCHAR),
])
def test_expression_columns_take_first_value(mem, expr, code):
    res = mem.direct("select %s" % expr)
    assert res.ctype(1) == code
    res.free()


LONG = "é" * 600000  # 1.2 MB of text


@pytest.mark.parametrize("decl, value, code, back", [
    ("TEXT", "short", VARCHAR, "short"),
    ("TEXT", LONG, CLOB, LONG),
    ("VARCHAR(2)", "abcdefghijklm", CLOB, "abcdefghijklm"),
    ("INT", "abc", VARCHAR, "abc"),
    ("INT", 2 ** 63 - 1, BIGINT, 2 ** 63 - 1),
    ("BOOL", 1, BOOLEAN, True),
    ("BOOL", 0, BOOLEAN, False),
    ("BOOL", 2, BIGINT, 2),
    ("BOOL", "yes", VARCHAR, "yes"),
    ("NUMERIC", 2 ** 53 + 1, BIGINT, 2 ** 53 + 1),
    ("NUMERIC", 12, NUMERIC, 12.0),
    ("NUMERIC", 0.1, NUMERIC, 0.1),
    ("NUMERIC", "abc", VARCHAR, "abc"),
    ("REAL", 0.1, DOUBLE, 0.1),
    ("DATETIME", "2024-01-02 03:04:05.000006", VARCHAR, "2024-01-02 03:04:05.000006"),
    ("DATETIME", "yesterday", VARCHAR, "yesterday"),
    ("DATETIME", "2024-02-30 00:00:00", VARCHAR, "2024-02-30 00:00:00"),
    ("DATETIME", "2024-01-02 03:04:05.250000", DATETIME_MS, ("ms", 1704164645250)),
    ("DATETIME", "1970-01-01T00:00:01", DATETIME_MS, ("ms", 1000)),
    ("DATETIME", "1969-12-31 23:59:59.999", DATETIME_MS, ("ms", -1)),
    ("DATETIME", "2000-02-29", DATETIME_MS, ("ms", 951782400000)),
    ("DATE", "2024-01-02", DATE, "2024-01-02"),
    ("DATE", "2024-01-02 extra", VARCHAR, "2024-01-02 extra"),
    ("TIME", "01:02:03", TIME, "01:02:03"),
    ("TIME", "01:02:03.000000", VARCHAR, "01:02:03.000000"),
    ("BLOB", b"\x00" * 5, BLOB, b"\x00" * 5),
    ("BLOB", b"", BLOB, b""),
    ("TEXT", "", VARCHAR, ""),
    ("DATE", None, DATE, None),
    ("BLOB", None, BLOB, None),
])
def test_per_cell_type_brings_value_back_whole(mem, decl, value, code, back):
    mem.direct("create table t(c %s)" % decl)
    mem.execute("insert into t values (?)", (value,))
    res = mem.direct("select c from t")
    assert res.fetch() == OK
    assert res.ctype(1) == code
    assert res.value(1) == back
    assert res.fetch() == NO_DATA
    # after the end the declared code is reported again
    res.free()


def test_text_delivery_respects_capacity(mem):
    mem.direct("create table t(c text)")
    mem.execute("insert into t values (?)", ("ab€cd",))  # € is 3 bytes
    res = mem.direct("select c from t")
    res.fetch()
    rc, n, raw = res.field(1, VARCHAR, 4)
    assert rc == OK and n == 7
    assert raw[:5] == b"ab\0\0\0"  # cut before the split character, nothing past cap
    rc, n, raw = res.field(1, 69, 7)
    assert raw[:8] == "ab€cd".encode() + b"\0"
    res.free()


@pytest.mark.parametrize("typ, cap, expect", [
    (BIGINT, 8, struct.pack("=q", 42)),
    (5, 4, struct.pack("=i", 42)),
    (DOUBLE, 8, struct.pack("=d", 42.0)),
    (NUMERIC, 40, b"42"),
    (VARCHAR, 10, b"42"),
    (BOOLEAN, 1, b"T"),
])
def test_get_field_conversions(mem, typ, cap, expect):
    res = mem.direct("select 42")
    res.fetch()
    rc, n, raw = res.field(1, typ, cap)
    assert rc == OK and n == len(expect) and raw[:n] == expect
    assert raw[n:cap + 1].strip(b"\0") == b""
    res.free()


def test_large_blob_through_locator(mem):
    blob = bytes(range(256)) * 4096  # 1 MB
    mem.direct("create table t(b blob)")
    mem.execute("insert into t values (?)", (blob,))
    res = mem.direct("select b from t")
    res.fetch()
    assert res.lob(1, BLOB) == (OK, len(blob), blob)
    res.free()


def test_null_delivery(mem):
    res = mem.direct("select NULL")
    res.fetch()
    for typ, cap in ((VARCHAR, 10), (BIGINT, 8), (DATETIME_MS, 8)):
        assert res.field(1, typ, cap)[1] == -1
    assert res.lob(1, BLOB)[1] == -1
    res.free()


def test_column_metadata(mem):
    res = mem.direct('select 1 as "Alpha", 2 as beta')
    assert res.ncols() == 2
    assert res.name(1) == (OK, b"Alpha" + b"\0" * 251)
    assert res.name(3)[0] == -1 and res.name(0)[0] == -1
    idx = mem.lib.dll.cli_column_index
    assert idx(res.ref, b"beta") == 2 and idx(res.ref, b"ALPHA") == 1
    assert idx(res.ref, b"gamma") == 0
    res.free()

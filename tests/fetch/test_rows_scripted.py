"""Row conversion against the scripted engine: what is asked of the library
per column type and what Python value comes back."""
import datetime
import struct

import pytest

from fetch_support import RESULT_ID

LOB_CODES = (15, 41, 42)


def i32(v):
    return struct.pack("<i", v)


def i64(v):
    return struct.pack("<q", v)


DAY_US = 86400 * 10 ** 6

# (type code, raw size, cell, expected value, requested code, length argument)
READ_TABLE = [
    (1, 1, b"T", True, 1, 1),
    (1, 1, b"F", False, 1, 1),
    (1, 1, b"1", False, 1, 1),
    (1, 1, b"t", False, 1, 1),
    (1, 1, None, None, 1, 1),
    (2, 10, u"h\u00e9llo".encode("utf-8"), u"h\u00e9llo", 2, 60),
    (2, -1, b"abc", "abc", 2, 196608),
    (2, -1, b"\0", "", 2, 196608),
    (2, 5, None, None, 2, 30),
    (3, 1, b"\xff", -1, 3, 1),
    (4, 2, b"\x00\x80", -32768, 4, 2),
    (5, 4, i32(-5), -5, 5, 4),
    (6, 8, i64(-2 ** 63), -2 ** 63, 6, 8),
    (7, 4, struct.pack("<f", 1.5), 1.5, 7, 4),
    (8, 8, struct.pack("<d", -2.25), -2.25, 8, 8),
    (8, 8, None, None, 8, 8),
    (9, 0, b"12.50", 12.5, 9, 40),
    (9, 0, b"abc", 0.0, 9, 40),
    (9, 0, None, None, 9, 40),
    (10, 10, b"2020-01-02", "2020-01-02", 10, 11),
    (11, 8, b"03:04:05", "03:04:05", 11, 9),
    (13, 19, b"2020-01-02 03:04:05", "2020-01-02 03:04:05", 13, 20),
    (13, 19, None, None, 13, 20),
    (15, -1, b"\x01\x02", "<BINARY> ", 15, 8),
    (15, -1, None, None, 15, 8),
    (23, 8, i64(0), datetime.datetime(1970, 1, 1), 23, 8),
    (23, 8, i64(-1), datetime.datetime(1969, 12, 31, 23, 59, 59, 999000), 23, 8),
    (23, 8, {"data": i64(0), "len": 4}, None, 23, 8),
    (23, 8, None, None, 23, 8),
    (28, 4, i32(14), "1-02", 28, 32),
    (28, 4, i32(-14), "-1-02", 28, 32),
    (28, 4, i32(0), "0-00", 28, 32),
    (28, 4, i32(-2 ** 31), "-178956970-08", 28, 32),
    (28, 4, None, None, 28, 32),
    (31, 8, i64(DAY_US + (2 * 3600 + 3 * 60 + 4) * 10 ** 6 + 5), "0000001 02:03:04.000005", 31, 64),
    (31, 8, i64(-1), "-0000000 00:00:00.000001", 31, 64),
    (31, 8, i64(-2 ** 63), "-106751991 04:00:54.775808", 31, 64),
    (31, 8, None, None, 31, 64),
    (41, -1, b"ab\0cd", "ab", 41, 8),
    (41, -1, u"\u20ac".encode("utf-8") * 3, u"\u20ac" * 3, 41, 8),
    (41, -1, None, None, 41, 8),
    (42, -1, b"\0\0x\0\0", b"\0\0x\0\0", 42, 8),
    (42, -1, {"data": b"", "len": 0}, b"", 42, 8),
    (42, -1, None, None, 42, 8),
    (62, 5, b"abc", "abc", 62, 5),
    (62, -1, b"x", "x", 62, 196608),
    (62, 5, None, None, 62, 5),
    (69, 10, b"txt", "txt", 2, 60),
    (69, -1, None, None, 2, 196608),
    (40, -1, b"old clob", "old clob", 40, 400),
    (63, 4, b"nchr", "nchr", 63, 400),
    (12, 8, b"01:02:03+01", "01:02:03+01", 12, 400),
    (40, -1, None, "", 40, 400),
    (-3, 0, b"neg", "neg", -3, 400),
]


@pytest.mark.parametrize("code,size,cell,expected,requested,cap", READ_TABLE)
def test_column_read_table(script, make_query, code, size, cell, expected, requested, cap):
    cur = make_query([("c", code, size)], [[cell]])
    row = cur.fetchone()
    assert row == (expected,)
    assert type(row[0]) is type(expected)
    reads = script.calls("cli_get_field")
    assert len(reads) == 1
    result, col, req, buf, length_arg, _ = reads[0]
    assert (result, col, req, length_arg) == (RESULT_ID, 1, requested, cap)
    if code in LOB_CODES:
        created = script.calls("cli_lob_create")
        freed = script.calls("cli_lob_free")
        assert len(created) == 1 and freed == [(buf,)]
        assert script.lobs() == [] and script.errors() == []
    else:
        assert script.count("cli_lob_create") == 0


def test_null_code_reads_nothing(script, make_query):
    cur = make_query([("c", 0, -1), ("d", 5, 4)], [[b"ignored", i32(7)]])
    assert cur.fetchone() == (None, 7)
    assert [args[1] for args in script.calls("cli_get_field")] == [2]


def test_row_calls_in_order(script, make_query):
    cur = make_query([("a", 5, 4), ("b", 2, -1)], [[i32(1), b"x"]])
    before = len(script.ops())
    assert cur.fetchone() == (1, "x")
    assert script.ops()[before:] == [
        "cli_fetch_row", "cli_column_count",
        "cli_column_type", "cli_get_field",
        "cli_column_type", "cli_column_size", "cli_get_field"]


def test_column_size_is_asked_once_per_result(script, make_query):
    cur = make_query([("a", 2, 4), ("b", 62, 3)], [[b"x", b"y"]] * 4)
    before = len(script.calls())
    assert cur.fetchall() == [("x", "y")] * 4
    fetch_calls = script.calls()[before:]
    assert sorted(args[1] for op, args in fetch_calls if op == "cli_column_size") == [1, 2]
    assert sum(op == "cli_column_type" for op, _ in fetch_calls) == 8


def test_column_size_is_asked_again_under_another_code(script, make_query):
    cur = make_query([("a", 2, 4)], [[b"x"], [{"data": b"y", "type": 62}], [b"z"]])
    before = len(script.calls())
    assert cur.fetchall() == [("x",), ("y",), ("z",)]
    sizes = [op for op, _ in script.calls()[before:] if op == "cli_column_size"]
    assert len(sizes) == 3


def test_per_cell_type_decides_the_read(script, make_query):
    # The same column delivers one row as text and a long one as a CLOB.
    cur = make_query([("t", 2, 3)], [[b"abc"], [{"data": b"z" * 500, "type": 41}]])
    assert cur.fetchall() == [("abc",), ("z" * 500,)]
    assert [args[2] for args in script.calls("cli_get_field")] == [2, 41]
    assert script.lobs() == []


def test_zero_columns_give_empty_tuple(script, make_query):
    cur = make_query([], [[]])
    assert cur.fetchone() == ()


@pytest.mark.parametrize("code,size,value,first_cap", [
    (2, 2, u"\u00e9" * 10, 12),        # 20 bytes in a 12-byte read
    (62, 3, u"\u00e9\u00e9\u00e9", 3),  # CHAR(3) of two-byte characters
    (69, 1, "x" * 50, 6),
    (10, 10, "2020-01-02 is long", 11),
    (63, 1, "y" * 1000, 400),
])
def test_text_longer_than_the_read_is_not_cut(script, make_query, code, size, value, first_cap):
    data = value.encode("utf-8")
    cur = make_query([("c", code, size)], [[data]])
    assert cur.fetchone() == (value,)
    caps = [args[4] for args in script.calls("cli_get_field")]
    assert caps == [first_cap, len(data)]


@pytest.mark.parametrize("code", [2, 41, 62, 40])
def test_invalid_utf8_fails_the_fetch(script, make_query, code):
    cur = make_query([("a", 5, 4), ("c", code, -1)], [[i32(1), b"ok\xff"], [i32(2), b"fine"]])
    with pytest.raises(UnicodeDecodeError):
        cur.fetchone()
    assert script.lobs() == []
    # The cursor stays usable: the next row reads normally.
    assert cur.fetchone() == (2, "fine")

"""How execute turns each Python value into one bound parameter: type code,
value bytes, buffer length, length cell and which bind operation carries it
(checked against the scripted engine's record of the bind calls)."""
import datetime
import decimal
import enum
import struct

import pytest

import vkcondb
from vkcondb import _pyvkdb37 as m


def pad(text, size):
    return text + b"\0" * (size - len(text))


class Color(enum.IntEnum):
    RED = 7


class Zone(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(hours=5)


def positional_binds(script, cursor, params):
    """Run execute with params; the recorded positional binds as
    (pos, type, bytes, buflen, len) tuples."""
    cursor.execute("insert", params)
    out = []
    for args in script.calls("cli_bind_param"):
        handle, pos, direction, type_code, data, buflen, length = args
        assert handle == 1 and direction == 1
        out.append((pos, type_code, data, buflen, length))
    return out


ONE_VALUE = [
    # value, type code, value bytes, buffer length, length cell
    (True, 5, struct.pack("=i", 1), 4, 4),
    (False, 5, struct.pack("=i", 0), 4, 4),
    (5, 6, struct.pack("=q", 5), 8, 8),
    (-2 ** 63, 6, struct.pack("=q", -2 ** 63), 8, 8),
    (2 ** 63 - 1, 6, struct.pack("=q", 2 ** 63 - 1), 8, 8),
    (Color.RED, 6, struct.pack("=q", 7), 8, 8),
    (datetime.datetime(2024, 1, 2, 3, 4, 5, 6), 13,
     pad(b"2024-01-02 03:04:05.000006", 64), 64, 64),
    (datetime.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=Zone()), 13,
     pad(b"2024-01-02 03:04:05.000006", 64), 64, 64),
    (datetime.date(5, 1, 1), 10, b"0005-01-01\0", 11, 11),
    (datetime.date(2020, 12, 31), 10, b"2020-12-31\0", 11, 11),
    (datetime.time(1, 2, 3), 11, pad(b"01:02:03.000000", 32), 32, 32),
    (datetime.time(23, 59, 59, 999999, tzinfo=Zone()), 11,
     pad(b"23:59:59.999999", 32), 32, 32),
    (1.5, 2, pad(b"1.5000000000000", 64), 64, 64),
    (-0.1, 2, pad(b"-0.1000000000000", 64), 64, 64),
    (0.0, 2, pad(b"0.0000000000000", 64), 64, 64),
    ("abc", 2, b"abc\0", 4, 3),
    ("", 2, b"\0\0", 2, 1),
    (u"\u00e9t\u00e9", 2, u"\u00e9t\u00e9".encode("utf-8") + b"\0", 6, 5),
    (b"abc", 15, b"abc\0", 4, 3),
    (b"", 15, b"\0", 1, 0),
    (b"a\0b", 15, b"a\0b\0", 4, 3),
    (None, 0, None, 0, 0),
]


@pytest.mark.parametrize("value,type_code,data,buflen,length", ONE_VALUE)
def test_value_conversion(script, cur, value, type_code, data, buflen, length):
    assert positional_binds(script, cur, (value,)) == [(1, type_code, data, buflen, length)]


@pytest.mark.parametrize("value", [1e-20, 1e70, 0.1 + 0.2, 123456.78901234567, -1e-300,
                                   2.0 ** 60 + 2 ** 8, 1e60, 1.7976931348623157e308])
def test_float_text_reads_back_as_the_same_double(script, cur, value):
    [(pos, type_code, data, buflen, length)] = positional_binds(script, cur, (value,))
    assert (type_code, buflen, length) == (2, 64, 64)
    text = data.split(b"\0")[0]
    assert float(text) == value
    # the thirteen-decimal form is kept wherever it is exact
    classic = (b"%0.13f" % value)[:64]
    if float(classic) == value:
        assert text == classic


def test_float_longer_than_64_characters_is_cut_without_terminator(script, cur):
    [(_, _, data, buflen, length)] = positional_binds(script, cur, (1e60,))
    assert len(b"%0.13f" % 1e60) > 64
    assert data == (b"%0.13f" % 1e60)[:64]
    assert b"\0" not in data and (buflen, length) == (64, 64)


@pytest.mark.parametrize("sizes,value,data,buflen,length", [
    ([3], "abcdef", b"abcd", 4, 3),
    ([10], "abc", b"abc\0", 4, 3),
    ([None], "abcdef", b"abcdef\0", 7, 6),
    ([-1], "abcdef", b"abcdef\0", 7, 6),
    ([0], "abc", b"a", 1, 0),
    ([0], "", b"\0\0", 2, 1),
    # a cut never splits a character: back to the start of the second one
    ([3], u"\u00e9\u00e9\u00e9", b"\xc3\xa9\xc3", 3, 2),
    ([2], b"abc", b"abc", 3, 2),
    ([0], b"abc", b"a", 1, 0),
    # a declared size larger than the bytes value never reads past it
    ([10], b"abc", b"abc\0", 4, 3),
    ([None], b"abc", b"abc\0", 4, 3),
])
def test_declared_size(script, cur, sizes, value, data, buflen, length):
    cur.setinputsizes(sizes)
    [(_, _, got, got_buflen, got_length)] = positional_binds(script, cur, (value,))
    assert (got, got_buflen, got_length) == (data, buflen, length)


def test_positions_past_a_short_size_list_have_no_declared_size(script, cur):
    cur.setinputsizes([2])
    binds = positional_binds(script, cur, ("abcdef", "abcdef", b"xyz"))
    assert [(b[0], b[4]) for b in binds] == [(1, 2), (2, 6), (3, 3)]


def test_size_list_is_read_by_index_for_named_binding(script, cur):
    cur.setinputsizes([None, 1])
    cur.execute("x", {"a": "aaaa", "b": "bbbb"})
    assert [(c[1], c[7]) for c in script.calls("cli_bind_param_named")] == [("a", 4), ("b", 1)]


@pytest.mark.parametrize("value, name", [(datetime.timedelta(1), "datetime.timedelta"),
                                         ({"k": 1}, "dict"), (object(), "object"),
                                         (1j, "complex")])
def test_values_without_a_conversion_are_refused_before_anything_runs(script, cur, value, name):
    with pytest.raises(m.ProgrammingError,
                       match="^parameter 2: a value of type '%s' cannot be sent$" % name):
        cur.execute("insert", (1, value, 2))
    assert script.count("cli_exec_direct") == 0
    with pytest.raises(m.ProgrammingError,
                       match="^parameter 'b': a value of type '%s' cannot be sent$" % name):
        cur.execute("insert", {"a": 1, "b": value})
    assert script.count("cli_exec_direct") == 0


def test_decimal_bytes_like_and_non_finite_floats(script, cur):
    binds = positional_binds(script, cur, (decimal.Decimal("-12.3400"), bytearray(b"ab"),
                                           memoryview(b"xyz")[::2], float("inf"), float("nan")))
    assert [b[1:] for b in binds[:3]] == [
        (9, b"-12.3400\0", 9, 8),      # NUMERIC: the exact text
        (15, b"ab", 2, 2),             # a bytearray from its own storage
        (15, b"xz\0", 3, 2),           # a strided view as a copy
    ]
    assert binds[3][1:] == (8, struct.pack("=d", float("inf")), 8, 8)
    assert binds[4][1] == 8 and struct.unpack("=d", binds[4][2])[0] != 0


def test_named_binding(script, cur):
    cur.execute("select :id", {"id": 5, u"n\u00e4me": "x", "z": None})
    assert script.calls("cli_bind_param_named") == [
        (1, "id", 1, 6, struct.pack("=q", 5), 8, None, 8),
        (1, u"n\u00e4me", 1, 2, b"x\0", 2, None, 1),
        (1, "z", 1, 0, None, 0, None, 0),
    ]
    assert script.count("cli_bind_param") == 0


@pytest.mark.parametrize("params,error", [
    ((2 ** 63,), OverflowError),
    ((-2 ** 63 - 1,), OverflowError),
    ((2 ** 100,), OverflowError),
    (("a\0b",), vkcondb.ProgrammingError),
    ((u"\ud800",), UnicodeEncodeError),
    ({1: 5}, vkcondb.ProgrammingError),
    ({"a\0b": 5}, vkcondb.ProgrammingError),
])
def test_values_that_cannot_be_sent_whole_are_refused(script, cur, params, error):
    with pytest.raises(error):
        cur.execute("insert", params)
    assert script.count("cli_exec_direct") == 0
    assert script.count("cli_bind_param") + script.count("cli_bind_param_named") == 0
    assert cur.rowcount == 0 and cur.description is None


def float_samples():
    import random
    rnd = random.Random(20261208)
    values = [0.0, -0.0, 0.5, -0.5, 2.5e-13, 5e-14, 1.5e-13, 2.0 ** 52, 2.0 ** 53 - 1,
              -(2.0 ** 52) - 0.5, 2.0 ** -43, 2.0 ** -44, 0.1, 0.2, 0.3, 1 / 3.0]
    values += [2.0 ** k for k in range(-60, 54)]
    values += [rnd.uniform(-1, 1) * 10.0 ** rnd.randint(-16, 16) for _ in range(3000)]
    values += [round(rnd.uniform(-1e6, 1e6), rnd.randint(0, 14)) for _ in range(3000)]
    # exact binary fractions that land on ties at the thirteenth decimal
    values += [k * 2.0 ** -rnd.randint(40, 50) for k in range(1, 400)]
    return values


def test_float_text_agrees_with_the_thirteen_decimal_form(script, cur):
    values = float_samples()
    for start in range(0, len(values), 500):
        chunk = values[start:start + 500]
        script.reset()
        binds = positional_binds(script, cur, tuple(chunk))
        for value, (_, _, data, _, _) in zip(chunk, binds):
            text = data.split(b"\0")[0]
            classic = (b"%0.13f" % value)[:64]
            if float(classic) == value:
                assert text == classic, value
            else:
                assert float(text) == value, value

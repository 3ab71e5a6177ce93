"""callproc and callfunc against the scripted engine: the routine statement,
what each parameter is bound with, what comes back, and the server cursor a
routine returns."""
import datetime
import struct

import pytest

from vkcondb import DataError, OperationalError, ProgrammingError

GBK_LINE = bytes.fromhex("B2BBD6A7B3D6B5C4C0E0D0CD0A")


def binds(script):
    """(position, direction, type, buffer length, length cell, bytes sent)
    of every cli_bind_param call."""
    return [(a[1], a[2], a[3], a[5], a[6], a[4]) for a in script.calls("cli_bind_param")]


def statement(script):
    return script.last("cli_exec_routine")[1]


def outputs(**by_position):
    return {"outputs": {int(k[1:]): v for k, v in by_position.items()}}


# ---- the statement and the bind table ----------------------------------------

def test_name_only(script, cur):
    assert cur.callproc("p") == []
    assert statement(script) == "execute p"
    assert script.count("cli_bind_param") == 0
    assert cur.rowcount == 0 and cur.description is None


def test_inferred_types_and_the_statement(script, cur):
    assert cur.callproc("p", [5, "ab"]) == [5, "ab"]
    (p1, p2) = binds(script)
    assert p1 == (1, 1, 6, 8, 8, struct.pack("=q", 5))
    assert p2[:5] == (2, 1, 2, 65537, 2) and p2[5][:3] == b"ab\0"
    assert statement(script) == "execute p(?,?);"
    assert cur.callproc("q", []) == [] and statement(script) == "execute q();"


def test_earlier_bindings_are_dropped_before_the_first_bind(script, cur):
    cur.callproc("p", [1])
    ops = [op for op in script.ops() if op in ("cli_reset_params", "cli_bind_param",
                                               "cli_exec_routine")]
    assert ops == ["cli_reset_params", "cli_bind_param", "cli_exec_routine"]


@pytest.mark.parametrize("types, value, expected", [
    ([1], True, (1, 1, b"\x01")),
    ([1], 7, (1, 1, b"\x01")),          # a set flag is sent as 1
    ([3], -5, (1, 1, b"\xfb")),
    ([4], -300, (2, 2, struct.pack("=h", -300))),
    ([5], 70000, (4, 4, struct.pack("=i", 70000))),
    ([7], 0.5, (4, 4, struct.pack("=f", 0.5))),
    ([8], 2, (8, 8, struct.pack("=d", 2.0))),
    ([9], 123456.789, (64, 10, b"123456.789")),
    ([9], "1234.5600", (64, 9, b"1234.5600")),
    ([9], 10 ** 30, (64, 31, b"1" + b"0" * 30)),
    ([10], datetime.date(987, 6, 5), (11, 10, b"0987-06-05\0")),
    ([11], datetime.time(1, 2, 3), (32, 15, b"01:02:03.000000\0")),
    ([13], datetime.datetime(2024, 1, 2, 3, 4, 5, 6), (64, 26, b"2024-01-02 03:04:05.000006\0")),
    ([13], datetime.date(2024, 1, 2), (64, 26, b"2024-01-02 00:00:00.000000\0")),
    ([15], b"a\0b", (4, 3, b"a\0b\0")),
    ([42], b"", (1, 0, b"\0")),
    ([2], "", (65537, 1, b"\0")),                     # empty text: one zero byte
    ([5], None, (4, -1, None)),                       # NULL, with room for an output
    ([2], None, (65537, -1, None)),
])
def test_bind_table(script, cur, types, value, expected):
    cur.setinputtype(types)
    cur.callproc("p", [value])
    (pos, direction, typ, buflen, cell, data), = binds(script)
    assert (pos, direction, typ) == (1, 1, types[0])
    assert (buflen, cell) == expected[:2]
    if expected[2] is not None:
        assert data[:len(expected[2])] == expected[2]


def test_function_date_and_time_buffers(script, cur):
    script.script("cli_exec_routine", outputs(p3={"data": b"r"}))
    cur.setinputtype([10, 11, 2])
    cur.callfunc("f", [datetime.date(2024, 1, 2), datetime.time(5, 6, 7)])
    d, t, ret = binds(script)
    assert d[3:5] == (64, 63) and d[5].startswith(b"2024-01-02\0")
    assert t[3:5] == (64, 63)
    assert ret[:5] == (3, 6, 2, 65536, 65536)


def test_declared_sizes(script, cur):
    cur.setinputsizes([10, -1, None])
    cur.callproc("p", ["abc", "d", b"xy"])
    a, b, c = binds(script)
    assert (a[3], a[4]) == (11, 3)
    assert b[3] == 65537
    assert (c[3], c[4]) == (3, 2)
    cur.setinputsizes([2])
    with pytest.raises(ProgrammingError, match="parameter 1: the value has 3 bytes, more than "
                                               "its declared size 2"):
        cur.callproc("p", ["abc"])
    assert script.count("cli_exec_routine") == 1


def test_long_text_without_declared_size_gets_a_buffer_that_holds_it(script, cur):
    text = "x" * 70000
    assert cur.callproc("p", [text]) == [text]
    (_, _, _, buflen, cell, _), = binds(script)
    assert buflen == 70001 and cell == 70000


@pytest.mark.parametrize("types, value, message", [
    ([5], "1", "parameter 1: a value of type 'str' cannot be sent as INTEGER"),
    ([5], 2 ** 31, "parameter 1: the value is out of the range of INTEGER"),
    ([3], 200, "parameter 1: the value is out of the range of TINYINT"),
    ([6], 1.5, "parameter 1: a value of type 'float' cannot be sent as BIGINT"),
    ([9], object(), "parameter 1: a value of type 'object' cannot be sent as NUMERIC"),
    ([10], "2024-01-02", "parameter 1: a value of type 'str' cannot be sent as DATE"),
    ([2], "a\0b", "parameter 1: the text holds a NUL character"),
])
def test_values_that_do_not_suit_their_code(script, cur, types, value, message):
    cur.setinputtype(types)
    with pytest.raises(ProgrammingError) as e:
        cur.callproc("p", [value])
    assert str(e.value) == message
    assert script.count("cli_exec_routine") == 0


def test_codes_without_a_conversion_print_a_line(script, cur, capfdbinary):
    assert cur.callproc("p", [None, 1]) == [None, 1]
    assert capfdbinary.readouterr().out == b"the type not supported\n"
    assert [b[0] for b in binds(script)] == [2]
    assert statement(script) == "execute p(?,?);"
    cur.setinputtype([23, 2])
    script.script("cli_exec_routine", outputs(p2={"data": b"r"}))
    assert cur.callfunc("f", [1]) == [None, "r"]
    assert capfdbinary.readouterr().out == GBK_LINE


def test_directions(script, cur):
    with pytest.raises(ProgrammingError, match="^Please set the parameter data type first$"):
        cur.callproc("p", [1, 2], [1, 2])
    assert script.count("cli_exec_routine") == 0
    cur.setinputtype([5, 5, 5])
    cur.callproc("p", [1, None, 3], (1, 2, 3))
    assert [b[1] for b in binds(script)][-3:] == [1, 2, 3]
    with pytest.raises(ProgrammingError, match="no item for parameter 3"):
        cur.callproc("p", [1, 2, 3], [1, 1])
    with pytest.raises(ProgrammingError, match="direction of parameter 1 is not an integer"):
        cur.callproc("p", [1], ["in"])


def test_arguments(script, conn, cur):
    for args in [(), (5,), ("p", 5), ("p", [1], [1], 1)]:
        with pytest.raises(ProgrammingError, match="^callproc Parameter mismatch$"):
            cur.callproc(*args)
    with pytest.raises(ProgrammingError, match="^callfunc Parameter mismatch$"):
        cur.callfunc()
    assert cur.callproc("p", None) == [] and statement(script) == "execute p"
    conn.close()
    with pytest.raises(OperationalError, match="^The cursor object does not exist$"):
        cur.callproc("p")


def test_parameter_counts_beyond_the_old_fixed_buffers(script, cur):
    n = 300
    out = {n: {"data": struct.pack("=q", 99), "len": 8}}
    script.script("cli_exec_routine", {"outputs": out})
    cur.setinputtype([6] * n)
    got = cur.callproc("p", list(range(n)), [1] * (n - 1) + [3])
    assert got == list(range(n - 1)) + [99]
    assert statement(script) == "execute p(" + ",".join("?" * n) + ");"
    with pytest.raises(ProgrammingError, match="32766 parameters given; at most 32765"):
        cur.callproc("p", [0] * 32766)


def test_sequences_that_change_while_they_are_bound(script, cur):
    class Growing(list):
        def __len__(self):
            return min(super().__len__(), 3)

        def __getitem__(self, i):
            self.append(i)
            return super().__getitem__(i)

    assert cur.callproc("p", Growing([10])) == [10, 0, 1]

    class Failing(object):
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i == 1:
                raise KeyError("gone")
            return 1

    with pytest.raises(KeyError):
        cur.callproc("p", Failing())
    assert script.count("cli_exec_routine") == 1
    assert cur.callproc("p", {0: "a", 1: 2}) == ["a", 2]


def test_execution_failure(script, cur):
    script.script("cli_exec_routine", {"ret": -1})
    script.script("cli_error_text", {"text": "no such routine"})
    with pytest.raises(OperationalError, match="^no such routine$"):
        cur.callproc("p", [1])


# ---- read-back ----------------------------------------------------------------

@pytest.mark.parametrize("types, out, expected", [
    ([1], {"data": b"T"}, True),
    ([1], {"data": b"F"}, False),
    ([1], {"data": b"\x01"}, True),
    ([1], {"data": b"\x00", "len": 1}, False),
    ([3], {"data": b"\xfb", "len": 1}, -5),
    ([4], {"data": struct.pack("=h", -2), "len": 2}, -2),
    ([5], {"data": struct.pack("=i", 7), "len": 4}, 7),
    ([6], {"data": struct.pack("=q", -2 ** 40), "len": 8}, -2 ** 40),
    ([7], {"data": struct.pack("=f", 0.25), "len": 4}, 0.25),
    ([8], {"data": struct.pack("=d", 2.5), "len": 8}, 2.5),
    ([9], {"data": b"123.25\0"}, 123.25),
    ([9], {"data": b"abc\0", "len": 3}, 0.0),
    ([10], {"data": b"2024-01-02\0", "len": 10}, "2024-01-02"),
    ([15], {"data": b"a\0b\0", "len": 3}, "a\0b"),
    ([2], {"data": b"\0", "len": 1}, ""),
    ([2], {"len": 0}, None),
    ([2], {"len": -7}, None),
])
def test_read_back_table(script, cur, types, out, expected):
    cur.setinputtype(types)
    script.script("cli_exec_routine", outputs(p1=out))
    assert cur.callproc("p", [None], [2]) == [expected]


@pytest.mark.parametrize("types, sizes, out, error, message", [
    ([2], [3], {"data": b"abc", "len": 4}, ProgrammingError,
     "parameter 1: the returned value has 4 bytes, more than the 3 its buffer holds"),
    ([9], None, {"data": b"1" * 63, "len": 64}, ProgrammingError,
     "parameter 1: the returned value has 64 bytes, more than the 63"),
    ([2], None, {"data": b"\xff\xfe", "len": 2}, DataError,
     "parameter 1: the returned value is not valid UTF-8"),
    ([58], None, {"data": b"c" * 64, "len": 64}, ProgrammingError,
     "parameter 1: the server cursor's name has 64 bytes; at most 63 fit"),
])
def test_values_that_cannot_be_read_back(script, cur, types, sizes, out, error, message):
    cur.setinputtype(types)
    if sizes:
        cur.setinputsizes(sizes)
    script.script("cli_exec_routine", outputs(p1=out))
    with pytest.raises(error) as e:
        cur.callproc("p", [None], [2])
    assert str(e.value).startswith(message)
    assert script.count("cli_open_named_cursor") == 0


# ---- callfunc's return value --------------------------------------------------

def test_return_slot(script, cur):
    script.script("cli_exec_routine", outputs(p2={"data": b"hello"}))
    assert cur.callfunc("f", [1]) == [1, "hello"]
    assert statement(script) == "execute f(?);"
    assert binds(script)[-1][:5] == (2, 6, 2, 65536, 65536)
    script.script("cli_exec_routine", outputs(p1={"len": 0}))
    assert cur.callfunc("f") == [None]
    assert statement(script) == "execute f"


@pytest.mark.parametrize("types, text, expected", [
    ([5, 6], b"42", 42),
    ([5, 5], b"-7 apples", -7),
    ([5, 6], b"123456789012345678901", 123456789012345678901),
    ([5, 8], b"2.5", 2.5),
    ([5, 1], b"TRUE", True),
    ([5, 1], b"f", False),
    ([5, 58], b"c1", "c1"),     # a returned cursor name is only a name
])
def test_return_value_by_declared_type(script, cur, types, text, expected):
    cur.setinputtype(types)
    script.script("cli_exec_routine", outputs(p2={"data": text}))
    assert cur.callfunc("f", [1]) == [1, expected]
    assert script.count("cli_open_named_cursor") == 0


def test_return_value_errors(script, cur):
    cur.setinputtype([5])
    with pytest.raises(ProgrammingError, match="^The parameter is out of range$"):
        cur.callfunc("f", [1])
    assert script.count("cli_exec_routine") == 1   # found after the run
    cur.setinputtype([5, 6])
    script.script("cli_exec_routine", outputs(p2={"data": b"many"}))
    with pytest.raises(DataError, match="not an integer"):
        cur.callfunc("f", [1])
    cur.cleartype()
    cur.setinputsizes([10, 100])
    script.script("cli_exec_routine", outputs(p2={"data": b"x" * 100, "len": 100}))
    with pytest.raises(ProgrammingError, match="return value has 100 bytes"):
        cur.callfunc("f", [1])
    assert binds(script)[-1][3:5] == (100, 100)


# ---- returned server cursors ---------------------------------------------------

COL = [("n", 6, 8)]


def rows(*values):
    return [[v.to_bytes(8, "little", signed=True)] for v in values]


def test_refcursor_becomes_the_current_result(script, cur):
    script.table(11, COL, rows(1, 2))
    script.script("cli_exec_routine", outputs(p2={"data": b"c1"}))
    script.script("cli_open_named_cursor", {"ret": 2, "result": 11}, {"ret": 0})
    cur.setinputtype([5, 58])
    assert cur.callproc("p", [4, None], [1, 2]) == [4, "c1"]
    assert script.calls("cli_open_named_cursor")[0][1] == "c1"
    assert cur.description[0][0] == "n"
    assert cur.fetchall() == [(1,), (2,)]
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]


def test_second_refcursor_closes_the_first(script, cur):
    script.table(11, COL, rows(1))
    script.table(12, COL, rows(2))
    script.script("cli_exec_routine", outputs(p1={"data": b"c1"}, p2={"data": b"c2"}))
    script.script("cli_open_named_cursor", {"ret": 1, "result": 11}, {"ret": 1, "result": 12},
                  {"ret": 0})
    cur.setinputtype([58, 58])
    assert cur.callproc("p", [None, None], [2, 2]) == ["c1", "c2"]
    calls = [c for c in script.calls() if c[0] in ("cli_open_named_cursor",
                                                   "cli_close_named_cursor")]
    assert [(op, args[1]) for op, args in calls] == [
        ("cli_open_named_cursor", "c1"), ("cli_close_named_cursor", "c1"),
        ("cli_open_named_cursor", "c2")]
    assert cur.fetchall() == [(2,)]


def test_failed_refcursor_open_and_empty_refcursor(script, cur):
    cur.setinputtype([58])
    script.script("cli_exec_routine", outputs(p1={"data": b"c1"}))
    script.script("cli_open_named_cursor", {"ret": -1})
    script.script("cli_error_text", {"text": "cursor c1 is gone"})
    with pytest.raises(OperationalError, match="^cursor c1 is gone$"):
        cur.callproc("p", [None], [2])
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]
    script.script("cli_exec_routine", outputs(p1={"data": b"c2"}))
    script.script("cli_open_named_cursor", {"ret": 0})
    assert cur.callproc("p", [None], [2]) == ["c2"]
    assert cur.fetchall() == []
    assert script.calls("cli_close_named_cursor")[-1] == (1, "c2")


def test_read_back_failure_after_a_refcursor_closes_it(script, cur):
    script.table(11, COL, rows(1))
    cur.setinputtype([58, 2])
    script.script("cli_exec_routine",
                  outputs(p1={"data": b"c1"}, p2={"data": b"\xff", "len": 1}))
    script.script("cli_open_named_cursor", {"ret": 1, "result": 11})
    with pytest.raises(DataError):
        cur.callproc("p", [None, None], [2, 2])
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]
    with pytest.raises(ProgrammingError, match="The result set does not exist"):
        cur.fetchall()


@pytest.mark.parametrize("code", [-1, -7, -2 ** 31])
def test_negative_declared_codes_have_no_conversion(script, cur, capfdbinary, code):
    # Found by the fuzzer: a declared -1 read as a failed type resolution and
    # the call returned without an exception (SystemError).
    cur.setinputtype([code, 2])
    assert cur.callproc("p", ["a", "b"]) == [None, "b"]
    assert capfdbinary.readouterr().out == b"the type not supported\n"
    assert [b[0] for b in binds(script)] == [2]
    cur.setinputtype([2, code])
    script.script("cli_exec_routine", outputs(p2={"data": b"r", "len": 1}))
    assert cur.callfunc("f", ["x"]) == ["x", "r"]

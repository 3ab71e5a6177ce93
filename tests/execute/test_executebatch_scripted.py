"""executebatch against the scripted engine: how each column becomes one
array bind (type code, packed bytes, width, length array), the call order,
the row count, and every refusal."""
import datetime
import decimal
import re
import struct

import pytest

from scripted.helpers import IN_USE, ClosingSequence

from vkcondb import _pyvkdb37 as m


def rec(data):
    """One packed text record: native int32 length, then the bytes."""
    return struct.pack("=i", len(data)) + data


NULL_REC = struct.pack("=i", 0)




@pytest.fixture
def cur(script, cur):
    script.reset()  # forget the connect; the cursor keeps handle 1
    return cur


def array_binds(script):
    """The recorded array binds as (pos, columns, type, count, data, width, lens)."""
    out = []
    for handle, pos, columns, direction, type_code, count, data, width, lens in \
            script.calls("cli_bind_array"):
        assert handle == 1 and direction == 1
        out.append((pos, columns, type_code, count, data, width, lens))
    return out


def test_int_and_str_columns_call_order_and_rowcount(script, cur):
    cur.executebatch("insert into t values (?, ?)", [[1, 2, 3], ["ab", "", None]])
    assert script.ops() == ["cli_reset_params", "cli_sql_kind", "cli_bind_array",
                            "cli_bind_array", "cli_sql_kind", "cli_exec_batch"]
    assert array_binds(script) == [
        (1, 2, 6, 3, struct.pack("=3q", 1, 2, 3), 8, (8, 8, 8)),
        (2, 2, 2, 3, rec(b"ab") + rec(b"\0") + NULL_REC, 15, (2, 1, 0)),
    ]
    assert script.calls("cli_exec_batch") == [(1, "insert into t values (?, ?)", 3)]
    assert cur.rowcount == 3
    assert cur.description is None


D1 = datetime.date(2024, 1, 2)
T1 = datetime.time(1, 2, 3, 4)
DT1 = datetime.datetime(2024, 1, 2, 3, 4, 5, 6)


class Zone(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(hours=3)


COLUMNS = [
    # column, type code, data, width, lengths
    ([True, None, False], 5, struct.pack("=3i", 1, 0, 0), 4, (4, 0, 4)),
    ([True, 7, -2 ** 31], 5, struct.pack("=3i", 1, 7, -2 ** 31), 4, (4, 4, 4)),
    ([None, 5], 6, struct.pack("=2q", 0, 5), 8, (0, 8)),
    ([2 ** 63 - 1, True], 6, struct.pack("=2q", 2 ** 63 - 1, 1), 8, (8, 8)),
    ([1.5, None, 2], 8, struct.pack("=3d", 1.5, 0.0, 2.0), 8, (8, 0, 8)),
    ([D1, datetime.date(5, 1, 1)], 2, rec(b"2024-01-02") + rec(b"0005-01-01"), 28, (10, 10)),
    ([T1, None], 2, rec(b"01:02:03.000004") + NULL_REC, 23, (15, 0)),
    ([DT1.replace(tzinfo=Zone()), None, DT1], 2,
     rec(b"2024-01-02 03:04:05.000006") + NULL_REC + rec(b"2024-01-02 03:04:05.000006"),
     64, (26, 0, 26)),
    (["", None], 2, rec(b"\0") + NULL_REC, 9, (1, 0)),
    (["h\u00e9", "x" * 300], 2, rec("h\u00e9".encode()) + rec(b"x" * 300), 311, (3, 300)),
    # an empty bytes value: a record of no bytes under element length 1
    ([b"\x00\x01", b"", None], 15, rec(b"\x00\x01") + rec(b"") + NULL_REC, 14, (2, 1, 0)),
]


@pytest.mark.parametrize("column, type_code, data, width, lens", COLUMNS)
def test_column_kinds(script, cur, column, type_code, data, width, lens):
    cur.executebatch("insert", [column])
    assert array_binds(script) == [(1, 1, type_code, len(column), data, width, lens)]
    assert script.last("cli_exec_batch")[2] == len(column)


@pytest.mark.parametrize("column", [[datetime.timedelta(1)], [None, object()], [{"k": 1}]])
def test_column_without_a_conversion_is_refused_before_anything_runs(script, cur, column):
    with pytest.raises(m.ProgrammingError, match=r"^executebatch column 1 row \d: a value of type"):
        cur.executebatch("insert", [column, [4] * len(column)])
    assert script.count("cli_bind_array") == 0
    assert script.count("cli_exec_batch") == 0


def test_decimal_and_bytes_like_columns(script, cur):
    cur.executebatch("insert", [[decimal.Decimal("1.50"), None, decimal.Decimal("-1E+3")],
                                [bytearray(b"ab"), memoryview(b"cde"), b""]])
    (dec, blob) = array_binds(script)
    # Decimals go as their exact texts under the NUMERIC code
    assert (dec[2], dec[4], dec[6]) == (9, rec(b"1.50") + NULL_REC + rec(b"-1E+3"), (4, 0, 5))
    assert (blob[2], blob[4], blob[6]) == (15, rec(b"ab") + rec(b"cde") + NULL_REC, (2, 3, 1))


def test_empty_parameters_run_zero_rows(script, cur):
    cur.executebatch("insert", [])
    assert script.count("cli_bind_array") == 0
    assert script.calls("cli_exec_batch") == [(1, "insert", 0)]
    assert cur.rowcount == 0


def test_rowcount_stays_zero_for_a_query(script, cur):
    script.default("cli_sql_kind", {"ret": 4})
    cur.rowcount = 9
    cur.executebatch("select", [[1, 2]])
    assert cur.rowcount == 0
    assert cur.description is None


MULTI = ("This function does not support multi-result set operations, "
         "use the 'execute()' function")
LENGTHS = ("The number of parameters does not match and the batch operation "
           "cannot be performed")

REFUSALS = [
    # params, exception, message (None: any)
    ([[None, None]], m.ProgrammingError, "Parameter is null"),
    ([[1, 2], [1, 2, 3]], m.ProgrammingError, LENGTHS),
    ([[1, 2, 3], [1, 2]], m.ProgrammingError, LENGTHS),
    ([[], []], m.ProgrammingError, None),
    (5, m.ProgrammingError, "executebatch Parameter mismatch"),
    ({"a": [1]}, m.ProgrammingError, "executebatch Parameter mismatch"),
    ([5], m.ProgrammingError, None),
    ([{0: 1}], m.ProgrammingError, None),
    ([[1, "x"]], m.ProgrammingError, None),
    ([["x", 1]], m.ProgrammingError, None),
    ([[D1, T1]], m.ProgrammingError, None),
    ([[D1, DT1]], m.ProgrammingError, None),  # the time would be dropped
    ([[DT1, D1]], m.ProgrammingError, None),
    ([[b"x", "x"]], m.ProgrammingError, None),
    ([["a\0b"]], m.ProgrammingError, None),
    ([[True, 2 ** 31]], OverflowError, None),
    ([[1, 2 ** 63]], OverflowError, None),
    ([[1.0, 10 ** 400]], OverflowError, None),
]


@pytest.mark.parametrize("params, exc, message", REFUSALS)
def test_refusals_never_run_the_batch(script, cur, params, exc, message):
    with pytest.raises(exc) as info:
        cur.executebatch("insert", params)
    if message is not None:
        assert str(info.value) == message
    assert script.count("cli_exec_batch") == 0
    if message == LENGTHS:
        assert script.ops() == ["cli_reset_params", "cli_sql_kind"]  # nothing bound


def test_columns_bound_before_a_refused_column_stay_bound(script, cur):
    with pytest.raises(m.ProgrammingError, match="Parameter is null"):
        cur.executebatch("insert", [[1], [None]])
    assert [b[0] for b in array_binds(script)] == [1]


def test_multi_result_statement_is_refused_before_binding(script, cur):
    script.default("cli_sql_kind", {"ret": 9})
    with pytest.raises(m.ProgrammingError) as info:
        cur.executebatch("a; b", [[1]])
    assert str(info.value) == MULTI
    assert script.count("cli_bind_array") == 0


@pytest.mark.parametrize("args", [(), ("insert",), ("insert", [[1]], 3), (5, [[1]]),
                                  ("ins\0ert", [[1]])])
def test_argument_mismatch(script, cur, args):
    with pytest.raises(m.ProgrammingError):
        cur.executebatch(*args)
    assert script.count("cli_exec_batch") == 0


@pytest.mark.parametrize("failing_op", ["cli_bind_array", "cli_exec_batch"])
def test_library_failure_carries_its_error_text(script, cur, failing_op):
    script.script(failing_op, {"ret": -1})
    script.script("cli_error_text", {"text": "row 2: UNIQUE constraint failed"})
    with pytest.raises(m.OperationalError) as info:
        cur.executebatch("insert", [[1, 1]])
    assert str(info.value) == "row 2: UNIQUE constraint failed"
    assert cur.rowcount == 0


def test_closed_connection(script, conn, cur):
    conn.close()
    script.reset()
    with pytest.raises(m.OperationalError, match="The cursor object does not exist"):
        cur.executebatch("insert", [[1]])
    assert script.ops() == []


def test_a_column_may_be_any_sequence(script, cur):
    cur.executebatch("insert", ((1, 2), range(3, 5)))
    assert [b[4] for b in array_binds(script)] == [struct.pack("=2q", 1, 2),
                                                   struct.pack("=2q", 3, 4)]


def test_connection_close_while_reading_columns_is_refused(script, conn, cur):
    seq = ClosingSequence(conn)
    cur.executebatch("insert", [seq])
    assert isinstance(seq.refused, m.ProgrammingError)
    assert re.match(IN_USE, str(seq.refused))
    assert script.count("cli_disconnect") == 0
    assert script.count("cli_bind_array") == 1
    assert script.count("cli_exec_batch") == 1

"""Routine calls on the embedded engine: no stored procedures, and a
function call runs the SQL function of that name."""
import pytest

import vkcondb


@pytest.fixture
def cur():
    conn = vkcondb.connect(database=":memory:")
    cursor = conn.cursor()
    yield cursor
    cursor.close()
    conn.close()


def test_function_calls(cur):
    assert cur.callfunc("upper", ["a"]) == ["a", "A"]
    cur.setinputtype([6, 6])
    assert cur.callfunc("abs", [-5]) == [-5, 5]
    cur.setinputtype([8, 8, 8])
    assert cur.callfunc("max", [1.5, 2.25]) == [1.5, 2.25, 2.25]
    cur.cleartype()
    # An empty text reaches the function as an empty text, not as NULL.
    assert cur.callfunc("length", [""]) == ["", "0"]
    assert cur.callfunc("typeof", [""]) == ["", "text"]
    assert cur.callfunc("hex", [b"a\0b"]) == ["a\0b", "610062"]
    assert cur.callfunc("typeof", [1.5]) == [1.5, "real"]
    assert cur.callfunc("nullif", [1, 1]) == [1, 1, None]
    assert cur.callfunc("zeroblob", [0]) == [0, ""]


def test_unbound_position_is_null(cur, capfdbinary):
    assert cur.callfunc("coalesce", [None, "x"]) == [None, "x", "x"]
    assert capfdbinary.readouterr().out == bytes.fromhex("B2BBD6A7B3D6B5C4C0E0D0CD0A")


def test_procedures_and_bad_names_are_refused(cur):
    with pytest.raises(vkcondb.OperationalError, match="has no stored procedures"):
        cur.callproc("p", [1])
    with pytest.raises(vkcondb.OperationalError, match="no such function: nosuch"):
        cur.callfunc("nosuch", [1])
    with pytest.raises(vkcondb.OperationalError, match="by its name alone"):
        cur.callfunc("main.upper", ["a"])
    with pytest.raises(vkcondb.OperationalError, match="^routine statement: "):
        cur.callfunc("upper('a'); select 1 --", [])
    # the connection goes on
    cur.execute("select 2")
    assert cur.fetchall() == [(2,)]


def test_return_value_longer_than_its_declared_size(cur):
    cur.setinputsizes([None, 3])
    assert cur.callfunc("upper", ["ab"]) == ["ab", "AB"]
    with pytest.raises(vkcondb.ProgrammingError, match="return value has 4 bytes"):
        cur.callfunc("upper", ["abcd"])

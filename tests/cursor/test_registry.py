"""setinputtype, setinputsizes, cleartype and clearsize: what they accept,
what they refuse, and that a refused list leaves the previous one in force
(the declared sizes show in the lengths execute binds)."""
import pytest

import vkcondb






def bound_lengths(script, cur, params):
    before = script.count("cli_bind_param")
    cur.execute("insert", params)
    return [c[6] for c in script.calls("cli_bind_param")[before:]]


class Sized(object):
    """Has a length, but its items cannot all be fetched."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 2:
            raise IndexError(i)
        return 4


class Huge(object):
    def __len__(self):
        return 2 ** 40

    def __getitem__(self, i):
        return 1


@pytest.mark.parametrize("sizes,lengths", [
    ([10, None, 0], [3, 3, 0]),
    ((2, 2, 2), [2, 2, 2]),
    ({0: 1, 1: 2, 2: 3}, [1, 2, 3]),
    (range(1, 4), [1, 2, 3]),
    ([True, None], [1, 3, 3]),
    ([], [3, 3, 3]),
])
def test_setinputsizes_accepts(script, cur, sizes, lengths):
    assert cur.setinputsizes(sizes) is None
    assert bound_lengths(script, cur, ("abc", "abc", "abc")) == lengths


@pytest.mark.parametrize("bad,error,message", [
    ([1, "a"], vkcondb.ProgrammingError, "^setinputsizes  Parameter is not int$"),
    ([1.5], vkcondb.ProgrammingError, "^setinputsizes  Parameter is not int$"),
    ([2 ** 31], OverflowError, None),
    ([-2 ** 31 - 1], OverflowError, None),
    (5, TypeError, None),
    ({1: 1}, KeyError, None),
    (Sized(), IndexError, None),
    (Huge(), vkcondb.ProgrammingError, "too many"),
])
def test_setinputsizes_refuses_and_keeps_the_previous_list(script, cur, bad, error, message):
    cur.setinputsizes([1])
    with pytest.raises(error, match=message):
        cur.setinputsizes(bad)
    assert bound_lengths(script, cur, ("abc",)) == [1]


@pytest.mark.parametrize("method,args,message", [
    ("setinputsizes", (), "setinputsizes  Parameter mismatch"),
    ("setinputsizes", ([1], [2]), "setinputsizes  Parameter mismatch"),
    ("setinputtype", (), "setinputtype  Parameter mismatch"),
    ("setinputtype", ([1], [2]), "setinputtype  Parameter mismatch"),
])
def test_argument_mismatch(cur, method, args, message):
    with pytest.raises(vkcondb.ProgrammingError) as info:
        getattr(cur, method)(*args)
    assert str(info.value) == message


def test_keywords_are_ignored(script, cur):
    cur.setinputsizes([1], sizes=[5])
    assert bound_lengths(script, cur, ("abc",)) == [1]


@pytest.mark.parametrize("types", [[], (2, 6), [True, 5], {0: 6, 1: 2}, range(3),
                                   [2 ** 31 - 1, -2 ** 31]])
def test_setinputtype_accepts(cur, types):
    assert cur.setinputtype(types) is None
    assert cur.cleartype() is None


@pytest.mark.parametrize("bad,error", [
    ([6, None], vkcondb.ProgrammingError),
    ([6, "2"], vkcondb.ProgrammingError),
    ([6.0], vkcondb.ProgrammingError),
    ([2 ** 31], OverflowError),
    (None, TypeError),
    ({5: 1}, KeyError),
    (Sized(), IndexError),
    (Huge(), vkcondb.ProgrammingError),
])
def test_setinputtype_refuses(cur, bad, error):
    cur.setinputtype([6])
    with pytest.raises(error):
        cur.setinputtype(bad)


def test_clearsize_drops_the_sizes(script, cur):
    cur.setinputsizes([1, 1])
    assert cur.clearsize() is None
    assert bound_lengths(script, cur, ("abc", "abc")) == [3, 3]
    assert cur.clearsize() is None


def test_sizes_survive_results_and_close(script, cur):
    cur.setinputsizes([2])
    cur.execute("x")
    cur.close()
    assert bound_lengths(script, cur, ("abc",)) == [2]
    assert bound_lengths(script, cur, ("abc",)) == [2]


@pytest.mark.parametrize("method,args", [
    ("setinputtype", ([1],)), ("setinputsizes", ([1],)), ("cleartype", ()), ("clearsize", ())])
def test_closed_connection(conn, cur, method, args):
    conn.close()
    with pytest.raises(vkcondb.OperationalError, match="^The cursor object does not exist$"):
        getattr(cur, method)(*args)

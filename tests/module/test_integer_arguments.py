"""Integer arguments take whole numbers only, on every Python version: an
int, a bool, or an object with __index__; a float or a Decimal is refused
with TypeError instead of being cut to its integer part."""
import decimal

import pytest

import vkcondb


class Two(object):
    def __index__(self):
        return 2


NOT_WHOLE = [2.9, decimal.Decimal("2.5"), "2"]


@pytest.fixture
def cur():
    conn = vkcondb.connect()
    cur = conn.cursor()
    cur.execute("create table t(x integer)")
    cur.executemany("insert into t values (?)", [(1,), (2,), (3,)])
    yield cur
    conn.close()


@pytest.mark.parametrize("value", NOT_WHOLE)
def test_cursor_integer_arguments_refuse_other_numbers(cur, value):
    with pytest.raises(TypeError):
        cur.arraysize = value
    assert cur.arraysize == 1
    with pytest.raises(TypeError):
        cur.rowcount = value
    cur.execute("select x from t")
    with pytest.raises(vkcondb.ProgrammingError, match="fetchmany Parameter mismatch"):
        cur.fetchmany(value)
    with pytest.raises(vkcondb.ProgrammingError):
        cur.getResultcolname(value)
    with pytest.raises(vkcondb.ProgrammingError):
        cur.setinputsizes([value])


def test_index_objects_are_whole_numbers(cur):
    cur.arraysize = Two()
    cur.execute("select x from t order by x")
    assert cur.fetchmany() == [(1,), (2,)]
    assert cur.fetchmany(Two()) == [(3,)]
    assert cur.getResultcolname(True) == "x"


def test_out_of_range_is_an_overflow(cur):
    with pytest.raises(OverflowError):
        cur.arraysize = 2 ** 31


@pytest.mark.parametrize("value", [decimal.Decimal("0.9"), 0.0])
def test_connect_and_pool_ports_refuse_other_numbers(value, capfd):
    with pytest.raises(TypeError):
        vkcondb.connect(port=value)
    with pytest.raises(TypeError):
        vkcondb.pool(port=value)
    with pytest.raises(TypeError):
        vkcondb.pool(maxconnections=value)
    pool = vkcondb.pool(maxconnections=2)
    with pytest.raises(vkcondb.ProgrammingError, match="setmaxnum Parameter mismatch"):
        pool.set_maxnum(decimal.Decimal("3.5"))
    conn = vkcondb.connect()
    with pytest.raises(vkcondb.ProgrammingError, match="ping Parameter mismatch"):
        conn.ping(reconnect=value)
    conn.close()
    capfd.readouterr()  # the parameter-error texts the module prints

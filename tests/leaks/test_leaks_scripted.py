"""The calls that only the scripted engine reaches (procedures with output
values, server cursors a routine returns, library failures of every kind),
repeated ITERATIONS times, leave nothing behind (see leak_support).

The engine stops logging for these runs: its log would grow by every call.
Whatever a call needs scripted it scripts itself, so every run is alike."""
import pytest

from leak_support import check
from scripted.helpers import scripted_connect
from vkcondb import DatabaseError, OperationalError, ProgrammingError

COLUMNS = [("n", 6, 8), ("s", 2, 20), ("d", 8, 8), ("b", 42, -1)]
ROWS = [[i.to_bytes(8, "little", signed=True), b"text\0", b"\0" * 8, b"blob"] for i in range(3)]
RESULT = 5
LIBRARY_ERROR = {"ret": -1}
ERROR_TEXT = {"text": b"scripted failure", "len": 16}


class Scripted(object):
    def __init__(self, script):
        self.script = script
        self.conn = scripted_connect()
        self.cur = self.conn.cursor()

    def query(self):
        """`cur` holding the scripted table."""
        self.script.table(RESULT, COLUMNS, ROWS)
        self.script.script("cli_exec_direct", {"result": RESULT})
        self.cur.execute("select")
        return self.cur

    def fail(self, op, response=LIBRARY_ERROR):
        """The next `op` fails (the error text is the default one)."""
        self.script.script(op, response)
        return self

    def routine_cursor(self, second_open=None):
        """`cur` reading the server cursor c1 that a routine returned, in two
        batches of rows then an empty one; or, with `second_open`, a first
        batch and then that answer to the second open."""
        s = self.script
        s.script("cli_exec_routine", {"outputs": {1: {"data": b"c1", "len": 2}}})
        s.table(11, COLUMNS, ROWS[:2])
        if second_open is None:
            s.table(12, COLUMNS, ROWS[2:])
            s.script("cli_open_named_cursor", {"ret": 2, "result": 11},
                     {"ret": 1, "result": 12}, {"ret": 0})
        else:
            s.script("cli_open_named_cursor", {"ret": 2, "result": 11}, second_open)
        self.cur.setinputtype([58])
        self.cur.callproc("p", [None], [2])
        return self.cur


def _outputs(s):
    s.script.script("cli_exec_routine", {"outputs": {2: {"data": b"out", "len": 3},
                                                     3: {"data": b"\x07\0\0\0\0\0\0\0",
                                                         "len": 8}}})
    s.cur.setinputtype([2, 2, 6])
    s.cur.callproc("p", ["in", None, None], [1, 2, 2])


def _fetchone_to_the_end(s):
    cur = s.routine_cursor()
    for _ in range(4):
        cur.fetchone()


def _pool_connect_failure(s):
    from vkcondb import _pyvkdb37
    pool = _pyvkdb37._conpool(port=7, maxconnections=2, mincached=0, host="h", database="d",
                              user="u", password="p", charset="c", usessl="")
    s.fail("cli_connect")
    pool.getconn()


def _connect_failure(s):
    s.fail("cli_connect")
    scripted_connect()


# (name, call taking a Scripted, the exception it ends in or None)
CALLS = [
    ("execute and fetchall", lambda s: s.query().fetchall(), None),
    ("fetchone and fetchmany", lambda s: (s.query().fetchone(), s.cur.fetchmany(5)), None),
    ("description", lambda s: s.query().description, None),
    ("nextset", lambda s: s.query().nextset(), None),
    ("execute library error", lambda s: s.fail("cli_exec_direct").cur.execute("select"),
     OperationalError),
    ("execute connection lost", lambda s: s.fail("cli_exec_direct", {"ret": -4}).cur.execute(
        "select"), OperationalError),
    ("fetch library error", lambda s: s.query() and s.fail("cli_fetch_row").cur.fetchall(),
     OperationalError),
    ("executemany library error", lambda s: s.fail("cli_exec_prepared").cur.executemany(
        "insert ?", [(1,), (2,)]), OperationalError),
    ("executebatch library error", lambda s: s.fail("cli_exec_batch").cur.executebatch(
        "insert ?", [[1, 2]]), OperationalError),
    ("callproc", lambda s: s.cur.callproc("p", [5, "ab", 1.5, b"x", None]), None),
    ("callproc outputs", _outputs, None),
    ("callproc library error", lambda s: s.fail("cli_exec_routine").cur.callproc("p", [1]),
     OperationalError),
    ("callproc bad arguments", lambda s: s.cur.callproc(5), ProgrammingError),
    ("callfunc", lambda s: s.script.script("cli_exec_routine", {"outputs": {
        3: {"data": b"r", "len": 1}}}) and s.cur.callfunc("f", [1, "a"]), None),
    ("callfunc library error", lambda s: s.fail("cli_exec_routine").cur.callfunc("f", [1]),
     OperationalError),
    ("server cursor fetchall", lambda s: s.routine_cursor().fetchall(), None),
    ("server cursor fetchone", _fetchone_to_the_end, None),
    ("server cursor fetchmany", lambda s: s.routine_cursor().fetchmany(10), None),
    # A failed batch open raises the library's error; nothing may stay behind.
    ("server cursor open failure", lambda s: s.routine_cursor(LIBRARY_ERROR).fetchall(),
     OperationalError),
    ("commit library error", lambda s: s.fail("cli_exec_command").conn.commit(),
     DatabaseError),
    ("ping lost", lambda s: s.fail("cli_exec_command", {"ret": -4}).conn.ping(), None),
    ("ping reconnect", lambda s: s.fail("cli_exec_command", {"ret": -4}).conn.ping(1), None),
    ("connect library error", _connect_failure, OperationalError),
    ("pool connect library error", _pool_connect_failure, OperationalError),
]


@pytest.fixture
def scripted(script):
    script.logging(False)
    script.default("cli_sql_kind", {"ret": 4})
    script.default("cli_error_text", ERROR_TEXT)
    s = Scripted(script)
    yield s
    s.cur.close()
    s.conn.close()


@pytest.mark.parametrize("name,call,error", CALLS, ids=[c[0] for c in CALLS])
def test_repeated_call_leaves_nothing(scripted, name, call, error):
    check("scripted " + name, lambda: call(scripted), error)
    # Every scripted response was taken: nothing piled up in the engine.
    assert scripted.script.pending() == {}
    assert scripted.script.lobs() == [] and scripted.script.errors() == []

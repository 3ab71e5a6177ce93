"""Every public call on the embedded engine, repeated ITERATIONS times on
success and on its failure paths, leaves nothing behind (see leak_support)."""
import datetime
import decimal
import os

import pytest

import vkcondb
from leak_support import check
from vkcondb import OperationalError, ProgrammingError

SyntaxFailure = vkcondb.OperationalProgrammingError
Duplicate = vkcondb.OperationalIntegrityError
NoProcedures = vkcondb.OperationalNotSupportedError

TEXT = "\u00e9" * 5000 + "end"            # 10 kB: past the per-cell buffers
BLOB = b"\0\x01" * 5000
HUGE_TEXT = "\u00e9" * 150000              # 300 kB: past the unbounded text cap
# Calls that open a database file cost a millisecond each: 2,000 runs still
# show one block or chunk left behind per call many times over.
FILE_RUNS = 2000

# One value of every kind the driver sends, and a row of every column type
# it reads back.
VALUES = (None, True, 5, -2 ** 63, 1.5, decimal.Decimal("1.25"), "t\u00e9xt", b"b\0",
          bytearray(b"ba"), memoryview(b"mv"), datetime.date(2020, 1, 2),
          datetime.time(1, 2, 3, 4), datetime.datetime(2020, 1, 2, 3, 4, 5, 6))
TYPED_COLUMNS = ("b boolean, i integer, r real, n numeric(10,2), t varchar(20), x text, "
                 "bl blob, d date, tm time, dt datetime, ts timestamp")
TYPED_ROW = (True, 7, 2.5, decimal.Decimal("3.25"), "vc", TEXT, BLOB,
             datetime.date(2021, 3, 4), datetime.time(5, 6, 7), datetime.datetime(2021, 3, 4, 5, 6, 7),
             datetime.datetime(2021, 3, 4, 5, 6, 7, 8000))


class Db(object):
    """What the calls work on: a connection on an in-memory database with
    tables t (rows 1..3) and typed (one row of every column type), its
    cursor `cur`; a connection `files` on a file (`path`) with a neighbour
    other.db; a closed connection `closed` and a cursor `orphan` of it;
    pools."""

    def __init__(self, folder):
        self.folder = str(folder)
        self.path = os.path.join(self.folder, "main.db")
        vkcondb.connect(os.path.join(self.folder, "other.db")).close()
        self.files = vkcondb.connect(self.path)
        self.conn = vkcondb.connect(":memory:")
        self.cur = self.conn.cursor()
        self.cur.execute("create table t(id integer primary key, v text)")
        self.cur.executemany("insert into t values (?, ?)", [(1, "a"), (2, "b"), (3, "c")])
        self.cur.execute("create table typed(%s)" % TYPED_COLUMNS)
        self.cur.execute("insert into typed values (%s)" % ", ".join("?" * len(TYPED_ROW)),
                         TYPED_ROW)
        self.closed = vkcondb.connect(":memory:")
        self.orphan = self.closed.cursor()
        self.closed.close()
        self.pool = vkcondb.pool(database=self.path, maxconnections=2)
        self.held = self.pool.getconn()       # one of the two is lent out
        self.full = vkcondb.pool(database=":memory:", maxconnections=1)
        self.full_held = self.full.getconn()

    def query(self, sql="select id, v from t order by id"):
        self.cur.execute(sql)
        return self.cur

    def close(self):
        self.held.close()
        self.full_held.close()
        self.cur.close()
        self.conn.close()
        self.files.close()


def _pool_round(db):
    conn = db.pool.getconn()
    conn.cursor().execute("select 1")
    conn.close()


def _switch_db(db):
    db.files.select_db("other")
    db.files.select_db("main")


def _with_blocks(db):
    with db.conn.cursor() as cur:
        cur.execute("select 1")
    with vkcondb.connect(":memory:") as conn:
        conn.execute("select 1")


# (name, call taking a Db, the exception it ends in or None)
CALLS = [
    # module functions
    ("version", lambda db: vkcondb.version(), None),
    ("connect memory", lambda db: vkcondb.connect(":memory:").close(), None),
    ("connect file", lambda db: vkcondb.connect(db.path).close(), None, FILE_RUNS),
    ("connect keywords", lambda db: vkcondb.connect(database=db.path, user="u").close(), None,
     FILE_RUNS),
    ("connect missing folder", lambda db: vkcondb.connect("/nonexistent/x.db"), OperationalError),
    ("connect bad target", lambda db: vkcondb.connect(5), ProgrammingError),
    ("pool create", lambda db: vkcondb.pool(database=":memory:", maxconnections=2), None),
    # connection
    ("cursor", lambda db: db.conn.cursor().close(), None),
    ("cursor closed conn", lambda db: db.closed.cursor(), OperationalError),
    ("commit", lambda db: db.conn.commit(), None),
    ("commit closed", lambda db: db.closed.commit(), OperationalError),
    ("rollback", lambda db: db.conn.rollback(), None),
    ("rollback closed", lambda db: db.closed.rollback(), OperationalError),
    ("begin rollback", lambda db: (db.conn.begin(), db.conn.rollback()), None),
    ("begin closed", lambda db: db.closed.begin(), OperationalError),
    ("autocommit", lambda db: (db.conn.autocommit(False), db.conn.autocommit(True)), None),
    ("autocommit bad", lambda db: db.conn.autocommit(1, 2), ProgrammingError),
    ("autocommit closed", lambda db: db.closed.autocommit(True), OperationalError),
    ("ping", lambda db: db.conn.ping(), None),
    ("ping closed", lambda db: db.closed.ping(), None),
    ("select_db", _switch_db, None, FILE_RUNS),
    ("select_db bad", lambda db: db.conn.select_db(5), ProgrammingError),
    ("select_db closed", lambda db: db.closed.select_db("x"), OperationalError),
    ("conn.execute", lambda db: db.conn.execute("select id from t").fetchall(), None),
    ("conn.execute error", lambda db: db.conn.execute("selec 1"), SyntaxFailure),
    ("close closed", lambda db: db.closed.close(), None),
    ("with blocks", _with_blocks, None),
    # execute
    ("execute", lambda db: db.cur.execute("select ?, ?", (1, "a")), None),
    ("execute named", lambda db: db.cur.execute("select :a, @b", {"a": 1, "b": "x"}), None),
    ("execute every value", lambda db: db.cur.execute("select " + ",".join("?" * len(VALUES)),
                                                      VALUES), None),
    ("execute big values", lambda db: db.cur.execute("select ?, ?", (TEXT, BLOB)), None),
    ("execute update", lambda db: db.cur.execute("update t set v = ? where id = 1", ("a",)),
     None),
    ("execute sql error", lambda db: db.cur.execute("selec 1"), SyntaxFailure),
    ("execute bad value", lambda db: db.cur.execute("select ?", (object(),)), ProgrammingError),
    ("execute missing value", lambda db: db.cur.execute("select ?", ()), OperationalError),
    ("execute bad arguments", lambda db: db.cur.execute(5), ProgrammingError),
    ("execute duplicate key", lambda db: db.cur.execute("insert into t values (1, 'x')"),
     Duplicate),
    ("execute closed conn", lambda db: db.orphan.execute("select 1"), OperationalError),
    # executemany
    ("executemany", lambda db: db.cur.executemany("update t set v = ? where id = ?",
                                                  [("a", 1), ("b", 2), ("c", 3)]), None),
    ("executemany named", lambda db: db.cur.executemany("update t set v = :v where id = :i",
                                                        [{"v": "a", "i": 1}]), None),
    ("executemany sql error", lambda db: db.cur.executemany("updat t", [(1,)]), SyntaxFailure),
    ("executemany bad value", lambda db: db.cur.executemany(
        "update t set v = ? where id = ?", [("a", 1), (object(), 2)]), ProgrammingError),
    ("executemany not iterable", lambda db: db.cur.executemany("select ?", 5),
     ProgrammingError),
    ("executemany closed conn", lambda db: db.orphan.executemany("select ?", [(1,)]),
     OperationalError),
    # executebatch
    ("executebatch", lambda db: db.cur.executebatch("insert or replace into t values (?, ?)",
                                                    [[1, 2, 3], ["a", "b", "c"]]), None),
    ("executebatch ragged", lambda db: db.cur.executebatch(
        "insert or replace into t values (?, ?)", [[1, 2, 3], ["a", "b"]]), ProgrammingError),
    ("executebatch bad value", lambda db: db.cur.executebatch(
        "insert or replace into t values (?, ?)", [[1, 2], ["a", object()]]), ProgrammingError),
    ("executebatch sql error", lambda db: db.cur.executebatch(
        "insert or replac into t values (?, ?)", [[1], ["a"]]), SyntaxFailure),
    ("executebatch closed conn", lambda db: db.orphan.executebatch("select ?", [[1]]),
     OperationalError),
    # fetching
    ("fetchone", lambda db: db.query().fetchone(), None),
    ("fetchmany", lambda db: db.query().fetchmany(2), None),
    ("fetchall", lambda db: db.query().fetchall(), None),
    ("fetch every type", lambda db: db.query("select * from typed").fetchall(), None),
    ("fetch huge text", lambda db: db.cur.execute("select ?", (HUGE_TEXT,)) or db.cur.fetchall(),
     None, FILE_RUNS),
    ("iterate", lambda db: list(db.query()), None),
    ("nextset", lambda db: db.query().nextset(), None),
    ("fetchone no result", lambda db: db.conn.cursor().fetchone(), ProgrammingError),
    ("fetchall no result", lambda db: db.conn.cursor().fetchall(), ProgrammingError),
    ("fetchone closed conn", lambda db: db.orphan.fetchone(), OperationalError),
    ("fetchmany closed conn", lambda db: db.orphan.fetchmany(), OperationalError),
    # description, members and column metadata
    ("description", lambda db: db.query("select * from typed").description, None),
    ("members", lambda db: (db.cur.rowcount, db.cur.lastrowid, db.cur.arraysize,
                            setattr(db.cur, "arraysize", 3)), None),
    ("column metadata", lambda db: (db.query().getResultcolname(1), db.cur.getResultcolseq("v"),
                                    db.cur.getResultcolsize(1), db.cur.getResultcolscale(1),
                                    db.cur.getResultcolisnull(1), db.cur.getResultcoldefault(1),
                                    db.cur.getResulttable(), db.cur.getResultRowid()), None),
    ("column name out of range", lambda db: db.query().getResultcolname(5), OperationalError),
    ("column seq unknown", lambda db: db.query().getResultcolseq("zz"), OperationalError),
    ("column name no result", lambda db: db.conn.cursor().getResultcolname(1),
     OperationalError),
    # the type and size registry
    ("setinputsizes", lambda db: (db.cur.setinputsizes([None, 3, 10]), db.cur.clearsize()),
     None),
    ("setinputsizes bad", lambda db: db.cur.setinputsizes(5), TypeError),
    ("setinputtype", lambda db: (db.cur.setinputtype([6, 2]), db.cur.cleartype()), None),
    ("setinputtype bad", lambda db: db.cur.setinputtype("x"), ProgrammingError),
    ("setoutputsize", lambda db: db.cur.setoutputsize(5, 1), None),
    ("setoutputsize bad", lambda db: db.cur.setoutputsize("x"), ProgrammingError),
    # routines: the embedded engine calls SQL functions and has no procedures
    ("callfunc", lambda db: db.cur.callfunc("upper", ["a"]), None),
    ("callfunc typed", lambda db: (db.cur.setinputtype([8, 8, 8]),
                                   db.cur.callfunc("max", [1.5, 2.25])), None),
    ("callfunc no such function", lambda db: db.cur.callfunc("nosuch", [1]), OperationalError),
    ("callproc", lambda db: db.cur.callproc("p", [1]), NoProcedures),
    ("callfunc closed conn", lambda db: db.orphan.callfunc("upper", ["a"]), OperationalError),
    # pool
    ("pool getconn and release", _pool_round, None),
    ("pool exhausted", lambda db: db.full.getconn(), ProgrammingError),
    ("pool setters", lambda db: (db.pool.set_maxnum(2), db.pool.set_host(""), db.pool.set_port(5432),
                                 db.pool.set_dbname(db.path), db.pool.set_user("u"),
                                 db.pool.set_password("p"), db.pool.set_charset("utf8")), None),
    ("pool setter bad", lambda db: db.pool.set_maxnum("x"), ProgrammingError),
    ("pool connect failure", lambda db: vkcondb.pool(database="/nonexistent/x.db").getconn(),
     OperationalError),
]


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    made = Db(tmp_path_factory.mktemp("leaks"))
    yield made
    made.close()


@pytest.mark.parametrize("name,call,error,runs", [c + (None,) * (4 - len(c)) for c in CALLS],
                         ids=[c[0] for c in CALLS])
def test_repeated_call_leaves_nothing(db, name, call, error, runs):
    check(name, lambda: call(db), error, runs)

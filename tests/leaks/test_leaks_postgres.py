"""The main calls on the PostgreSQL engine, on success and on failure, leave
nothing behind (see leak_support).  Each run is a round trip to the server,
so these run RUNS times, still far past what a per-call leak needs to show."""
import pytest

import pgserver
import vkcondb
from leak_support import check
from vkcondb import OperationalError, ProgrammingError

RUNS = 2000
VARCHAR, BOOLEAN, IN, OUT = 2, 1, 1, 2


class Pg(object):
    def __init__(self, server):
        self.conn = vkcondb.connect(host=pgserver.HOST, port=server.port,
                                    database=pgserver.DATABASE, user=pgserver.SUPERUSER)
        self.cur = self.conn.cursor()
        server.psql("""
            drop table if exists leak_t;
            create table leak_t(id int4 primary key, v text);
            insert into leak_t values (1, 'a'), (2, 'b'), (3, 'c');
            create or replace procedure leak_texts(in a text, out is_null bool, out same text)
            language plpgsql as $$ begin is_null := a is null; same := a; end $$;""")

    def query(self):
        self.cur.execute("select id, v, now(), 1.5::numeric, 'x'::bytea from leak_t")
        return self.cur

    def close(self):
        self.cur.close()
        self.conn.close()


def _procedure(pg):
    pg.cur.setinputtype([VARCHAR, BOOLEAN, VARCHAR])
    pg.cur.callproc("leak_texts", ["v", None, None], [IN, OUT, OUT])


# (name, call taking a Pg, the exception it ends in or None)
CALLS = [
    ("execute and fetchall", lambda pg: pg.query().fetchall(), None),
    ("fetchone and fetchmany", lambda pg: (pg.query().fetchone(), pg.cur.fetchmany(5)), None),
    ("execute parameters", lambda pg: pg.cur.execute("select ?::int4, ?::text, ?::bytea",
                                                     (1, "a", b"b")), None),
    ("execute sql error", lambda pg: pg.cur.execute("selec 1"),
     vkcondb.OperationalProgrammingError),
    ("execute duplicate key", lambda pg: pg.cur.execute("insert into leak_t values (1, 'x')"),
     vkcondb.OperationalIntegrityError),
    ("executemany", lambda pg: pg.cur.executemany("update leak_t set v = ? where id = ?",
                                                  [("a", 1), ("b", 2)]), None),
    ("executebatch", lambda pg: pg.cur.executebatch(
        "insert into leak_t values (?, ?) on conflict (id) do update set v = excluded.v",
        [[1, 2], ["a", "b"]]), None),
    ("executebatch bad value", lambda pg: pg.cur.executebatch(
        "insert into leak_t values (?, ?)", [[1, 2], ["a", object()]]), ProgrammingError),
    ("callfunc", lambda pg: pg.cur.callfunc("upper", ["a"]), None),
    ("callfunc no such function", lambda pg: pg.cur.callfunc("leak_nosuch", [1]),
     vkcondb.OperationalProgrammingError),
    ("callproc", _procedure, None),
    ("transactions", lambda pg: (pg.conn.begin(), pg.conn.commit(), pg.conn.begin(),
                                 pg.conn.rollback()), None),
    ("ping", lambda pg: pg.conn.ping(), None),
]


@pytest.fixture(scope="module")
def pg(pg_server):
    made = Pg(pg_server)
    yield made
    made.close()


@pytest.mark.parametrize("name,call,error", CALLS, ids=[c[0] for c in CALLS])
def test_repeated_call_leaves_nothing(pg, name, call, error):
    check("postgres " + name, lambda: call(pg), error, RUNS)


def test_batches_give_their_statements_back_to_the_server(pg):
    # Each batch prepares a statement of its own on the server; in autocommit
    # the batch's own transaction used to keep it from being deallocated, so
    # the session held one more statement per call.
    sql = "insert into leak_t values (?, ?) on conflict (id) do update set v = excluded.v"
    for _ in range(50):
        pg.cur.executebatch(sql, [[1, 2], ["a", "b"]])
    pg.cur.execute("select count(*) from pg_prepared_statements")
    assert pg.cur.fetchall()[0][0] <= 2

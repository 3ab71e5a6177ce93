"""One thread of the load tests: mixed statements in small transactions on
rows of its own, with what it committed tracked in Python.

Each unit of work runs a few statements (inserts, executemany, updates,
deletes, reads of its own rows with each fetch method, a read over all
rows) and then commits or rolls back.  The worker keeps `committed`, the
rows it knows are in the table (id -> n), and `view`, what its open
transaction should see; each read of its own rows is checked against
`view`, and the test checks the table against `committed` at the end.

An expected error (the embedded engine's lock not obtained in time:
SQLSTATE 55P03, or the fixed texts of executemany and commit, which carry
none; the pool's "create conn fail" when every connection is lent out)
rolls the unit back and tries again; it is counted.  Any other
error is kept in `failure` and ends the worker.
"""
import random
import time

import vkcondb

BUSY = "55P03"
# executemany reports a failed set with this fixed text and no SQLSTATE: on
# the embedded engine under load that is a lock not obtained in time.
MANY_FAILED = "error execute2"
# Likewise a commit that could not get its lock is a DatabaseError with this
# text; the transaction is still open and is rolled back.
COMMIT_FAILED = "Commit failed"
POOL_EMPTY = "create conn fail"
ID_STRIDE = 10 ** 9


class Worker(object):
    def __init__(self, number, deadline, table, get_conn, put_conn=None, seed=14,
                 locks_fail=False):
        self.number = number
        self.deadline = deadline
        self.table = table
        self.get_conn = get_conn
        self.locks_fail = locks_fail      # lock waits may run out (embedded engine)
        self.put_conn = put_conn
        self.rng = random.Random(seed * 1000 + number)
        self.next_id = number * ID_STRIDE + 1
        self.committed = {}
        self.view = {}
        self.statements = 0
        self.commits = 0
        self.rollbacks = 0
        self.busy = 0
        self.many_failed = 0
        self.commit_failed = 0
        self.pool_empty = 0
        self.failure = None

    # -- statements ----------------------------------------------------------
    def _ids(self):
        return sorted(self.view)

    def insert(self, cur):
        i = self.next_id
        self.next_id += 1
        cur.execute("insert into %s(id, owner, n, note) values (?, ?, ?, ?)" % self.table,
                    (i, self.number, 0, "w%d" % self.number))
        self.view[i] = 0

    def insert_many(self, cur):
        ids = list(range(self.next_id, self.next_id + self.rng.randint(2, 6)))
        self.next_id += len(ids)
        cur.executemany("insert into %s(id, owner, n, note) values (?, ?, ?, ?)" % self.table,
                        [(i, self.number, 1, None) for i in ids])
        for i in ids:
            self.view[i] = 1

    def update(self, cur):
        if not self.view:
            return self.insert(cur)
        i = self.rng.choice(self._ids())
        cur.execute("update %s set n = n + 1 where id = ?" % self.table, (i,))
        self.view[i] += 1

    def delete(self, cur):
        if not self.view:
            return self.insert(cur)
        i = self.rng.choice(self._ids())
        cur.execute("delete from %s where id = ?" % self.table, (i,))
        del self.view[i]

    def read_own(self, cur):
        cur.execute("select id, n from %s where owner = ? order by id" % self.table,
                    (self.number,))
        how = self.rng.randrange(3)
        if how == 0:
            rows = cur.fetchall()
        elif how == 1:
            rows = []
            while True:
                part = cur.fetchmany(self.rng.randint(1, 7))
                if not part:
                    break
                rows.extend(part)
        else:
            rows = []
            row = cur.fetchone()
            while row is not None:
                rows.append(row)
                row = cur.fetchone()
        got = {int(i): int(n) for i, n in rows}
        if got != self.view:
            raise AssertionError("worker %d read %d rows of its own, expected %d (first "
                                 "difference: %r)" % (self.number, len(got), len(self.view),
                                                      sorted(set(got.items()) ^
                                                             set(self.view.items()))[:3]))

    def read_all(self, cur):
        cur.execute("select count(*), sum(n) from %s" % self.table)
        cur.fetchall()

    STEPS = ("insert", "insert", "insert_many", "update", "update", "delete", "read_own",
             "read_all")

    # -- units of work -----------------------------------------------------------
    def unit(self, conn):
        cur = conn.cursor()
        try:
            for _ in range(self.rng.randint(1, 5)):
                getattr(self, self.rng.choice(self.STEPS))(cur)
                self.statements += 1
            if self.rng.random() < 0.8:
                conn.commit()
                self.committed = dict(self.view)
                self.commits += 1
            else:
                conn.rollback()
                self.view = dict(self.committed)
                self.rollbacks += 1
        finally:
            cur.close()

    def expected(self, exc):
        if not self.locks_fail:
            return False
        if getattr(exc, "sqlstate", None) == BUSY:
            self.busy += 1
            return True
        if str(exc) == MANY_FAILED and getattr(exc, "sqlstate", None) is None:
            self.many_failed += 1
            return True
        if str(exc) == COMMIT_FAILED and type(exc) is vkcondb.DatabaseError:
            self.commit_failed += 1
            return True
        return False

    def run(self):
        try:
            while time.monotonic() < self.deadline:
                conn = self.get_conn()
                if conn is None:               # the pool had none to lend
                    self.pool_empty += 1
                    time.sleep(0.001)
                    continue
                try:
                    conn.autocommit(False)
                    self.unit(conn)
                except vkcondb.DatabaseError as exc:
                    if not self.expected(exc):
                        raise
                    conn.rollback()
                    self.view = dict(self.committed)
                finally:
                    if self.put_conn is not None:
                        self.put_conn(conn)
                        # A task's own work between two borrowings: the
                        # others get their turn at the pool.
                        time.sleep(0.002)
        except BaseException as exc:  # noqa: BLE001 - the test reports it
            self.failure = exc

    def summary(self):
        return ("worker %d: %d statements, %d commits, %d rollbacks, retried: %d busy, "
                "%d executemany, %d commit, %d pool empty; %d rows" % (
                    self.number, self.statements, self.commits, self.rollbacks, self.busy,
                    self.many_failed, self.commit_failed, self.pool_empty, len(self.committed)))

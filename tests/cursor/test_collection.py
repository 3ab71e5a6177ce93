"""Garbage collection: cursors, connections and pools take part in
reference cycles (a connection subclass that keeps its cursors, a cursor's
description that points back at it) and are collected with them; the three
types take weak references."""
import gc
import os
import weakref

import pytest

import vkcondb


def open_files_named(path):
    """How many of this process's file descriptors are open on `path`."""
    fd_dir = "/proc/self/fd"
    if not os.path.isdir(fd_dir):
        pytest.skip("no /proc/self/fd")
    count = 0
    for fd in os.listdir(fd_dir):
        try:
            if os.readlink(os.path.join(fd_dir, fd)) == path:
                count += 1
        except OSError:
            pass
    return count


class TrackingConnection(vkcondb.connection):
    """A connection that keeps a list of the cursors it made."""

    def cursor(self, *args, **kwargs):
        cur = super(TrackingConnection, self).cursor(*args, **kwargs)
        self.cursors.append(cur)
        return cur


def test_connection_keeping_its_cursors_is_collected_and_closes_its_file(tmp_path):
    path = str(tmp_path / "x.db")
    conn = TrackingConnection("", 0, path, "", "", "utf8", "", "", "")
    conn.cursors = []
    cur = conn.cursor()
    cur.execute("create table t(x integer)")
    cur.execute("select * from t")  # a result held at collection time
    assert open_files_named(path) == 1
    gone = weakref.ref(conn)
    del conn, cur
    gc.collect()
    assert gone() is None
    assert open_files_named(path) == 0


def test_cursor_whose_description_points_back_is_collected():
    conn = vkcondb.connect()
    cur = conn.cursor()

    class Holder(object):
        pass

    holder = Holder()
    holder.cur = cur
    cur.description = [holder]
    gone = weakref.ref(cur)
    del cur, holder
    gc.collect()
    assert gone() is None
    conn.close()


class Pool(vkcondb.conpool):
    pass


def test_pool_in_a_cycle_is_collected_and_its_connections_outlive_it():
    pool = Pool("", 0, ":memory:", "", "", "utf8", "", 2, 1)
    lent = pool.getconn()
    idle = pool.getconn()
    idle.close()  # back on the idle list
    # the collector sees what the pool holds
    assert lent in gc.get_referents(pool) and idle in gc.get_referents(pool)
    pool.me = pool
    gone = weakref.ref(pool)
    del pool
    gc.collect()
    assert gone() is None
    # a connection that outlived its pool is a standalone connection
    cur = lent.cursor()
    cur.execute("select 1")
    assert cur.fetchall() == [(1,)]
    lent.close()
    with pytest.raises(vkcondb.OperationalError):
        lent.cursor()


def test_the_collector_sees_what_a_cursor_holds():
    conn = vkcondb.connect()
    cur = conn.cursor()
    cur.execute("select 1 as one")
    referents = gc.get_referents(cur)
    assert conn in referents and cur.description in referents
    conn.close()


def test_weak_references_to_all_three_types():
    pool = vkcondb.pool(maxconnections=1)
    conn = vkcondb.connect()
    cur = conn.cursor()
    refs = [weakref.ref(x) for x in (pool, conn, cur)]
    assert [r() for r in refs] == [pool, conn, cur]
    del pool, cur
    conn.close()
    del conn
    assert [r() for r in refs] == [None, None, None]


def test_cursor_collected_while_its_connection_runs_a_call(tmp_path):
    conn = vkcondb.connect(database=str(tmp_path / "x.db"))
    cur = conn.cursor()
    cur.execute("create table t(x integer)")
    cur.executemany("insert into t values (?)", [(1,), (2,)])

    class Node(object):
        pass

    # a cursor with an open result, reachable only through a cycle
    other = conn.cursor()
    other.execute("select x from t")
    node = Node()
    node.self = node
    node.cur = other
    gone = weakref.ref(other)
    del other, node

    class Collecting(object):
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError(i)
            gc.collect()
            return 3

    cur.execute("insert into t values (?)", Collecting())
    assert gone() is None
    cur.execute("select x from t order by x")
    assert cur.fetchall() == [(1,), (2,), (3,)]
    conn.close()

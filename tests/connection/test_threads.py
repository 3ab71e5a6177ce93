"""Threads: while the embedded engine waits for a lock that another
connection holds, other Python threads run (the holder can commit and the
waiter goes on); two connections work from two threads at once; a
connection shared by two threads refuses the second call instead of
interleaving with the first."""
import threading
import time

import pytest

import vkcondb


@pytest.fixture
def path(tmp_path):
    p = str(tmp_path / "x.db")
    conn = vkcondb.connect(database=p)
    conn.cursor().execute("create table t(x integer)")
    conn.close()
    return p


def hold_write_lock(path, seconds, started):
    """In a thread: open a write transaction, keep it `seconds`, commit."""
    conn = vkcondb.connect(database=path)
    try:
        conn.autocommit(False)
        conn.cursor().execute("insert into t values (1)")
        started.set()
        time.sleep(seconds)
        conn.commit()
    finally:
        conn.close()


def test_waiting_writer_succeeds_once_the_holder_commits(path):
    started = threading.Event()
    holder = threading.Thread(target=hold_write_lock, args=(path, 0.2, started))
    holder.start()
    try:
        assert started.wait(10)
        conn = vkcondb.connect(database=path)
        t0 = time.monotonic()
        conn.cursor().execute("insert into t values (2)")
        waited = time.monotonic() - t0
        cur = conn.cursor()
        cur.execute("select x from t order by x")
        assert cur.fetchall() == [(1,), (2,)]
        conn.close()
    finally:
        holder.join(10)
    # the holder's 0.2 s and a margin for a busy machine, far below the
    # 5 s the lock wait allows
    assert waited < 3


def test_other_threads_keep_running_during_a_lock_wait(path):
    started = threading.Event()
    holder = threading.Thread(target=hold_write_lock, args=(path, 0.5, started))
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    holder.start()
    assert started.wait(10)
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        conn = vkcondb.connect(database=path)
        t0 = time.monotonic()
        conn.cursor().execute("insert into t values (2)")
        t1 = time.monotonic()
        conn.close()
    finally:
        stop.set()
        ticker.join(10)
        holder.join(10)
    during = [t for t in ticks if t0 <= t <= t1]
    # the wait lasted about 0.5 s; a ticker starved by a held interpreter
    # lock would have ticked once or not at all
    assert t1 - t0 > 0.2
    assert len(during) >= 10


def test_lock_held_too_long_still_fails_with_the_engine_text(path):
    started = threading.Event()
    done = threading.Event()

    def hold():
        conn = vkcondb.connect(database=path)
        conn.autocommit(False)
        conn.cursor().execute("insert into t values (1)")
        started.set()
        done.wait(30)
        conn.rollback()
        conn.close()

    holder = threading.Thread(target=hold)
    holder.start()
    try:
        assert started.wait(10)
        conn = vkcondb.connect(database=path)
        t0 = time.monotonic()
        with pytest.raises(vkcondb.OperationalError, match="locked"):
            conn.cursor().execute("insert into t values (2)")
        assert 4 < time.monotonic() - t0 < 15
        conn.close()
    finally:
        done.set()
        holder.join(10)


def test_two_connections_in_two_threads(path):
    errors = []

    def work(n):
        try:
            conn = vkcondb.connect(database=path)
            cur = conn.cursor()
            for i in range(200):
                cur.execute("insert into t values (?)", (n * 1000 + i,))
                cur.execute("select count(*) from t where x >= ? and x < ?",
                            (n * 1000, n * 1000 + 1000))
                assert cur.fetchall() == [(i + 1,)]
            conn.close()
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    conn = vkcondb.connect(database=path)
    cur = conn.cursor()
    cur.execute("select count(*) from t")
    assert cur.fetchall() == [(400,)]
    conn.close()


def test_a_shared_connection_refuses_the_second_thread_during_a_wait(path):
    started = threading.Event()
    holder = threading.Thread(target=hold_write_lock, args=(path, 0.5, started))
    holder.start()
    assert started.wait(10)
    conn = vkcondb.connect(database=path)
    waiting = threading.Event()
    outcome = []

    def second_thread():
        waiting.wait(10)
        time.sleep(0.1)  # the first thread is in its lock wait by now
        try:
            conn.cursor().execute("select 1")
            outcome.append("ran")
        except vkcondb.ProgrammingError as exc:
            outcome.append(str(exc))

    other = threading.Thread(target=second_thread)
    other.start()
    try:
        waiting.set()
        conn.cursor().execute("insert into t values (2)")
    finally:
        other.join(10)
        holder.join(10)
    assert outcome == ["the connection is in use by another call"]
    cur = conn.cursor()
    cur.execute("select count(*) from t")
    assert cur.fetchall() == [(2,)]
    conn.close()

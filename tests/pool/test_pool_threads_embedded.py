"""The pool used from several threads while a connection it opens waits
(here: for a lock another connection holds on the database file)."""
import threading
import time

import pytest

import vkcondb

JOIN_TIMEOUT = 30


def test_an_opening_connection_counts_against_the_limit(tmp_path):
    path = str(tmp_path / "p.db")
    holder = vkcondb.connect(path)
    holder.execute("create table t(x integer)")
    holder.execute("begin exclusive")         # opening a connection now waits
    pool = vkcondb.pool(database=path, maxconnections=1)
    got = {}

    def borrow():
        try:
            got["conn"] = pool.getconn()
        except BaseException as exc:  # noqa: BLE001 - the test reports it
            got["error"] = exc

    t = threading.Thread(target=borrow, daemon=True)
    t.start()
    time.sleep(0.3)                            # the thread is waiting in its connect
    try:
        # The one connection the pool may open is on its way: no second one.
        with pytest.raises(vkcondb.ProgrammingError, match="^create conn fail$"):
            pool.getconn()
    finally:
        holder.execute("rollback")
        t.join(JOIN_TIMEOUT)
    assert not t.is_alive()
    assert "error" not in got, got.get("error")
    conn = got["conn"]
    conn.close()
    assert pool.getconn() is conn
    holder.close()

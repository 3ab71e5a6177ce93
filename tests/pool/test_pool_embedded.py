"""The connection pool on the embedded engine: lending order, limits,
returns, setters, pool lifetime, and a clean hand-over between borrowers."""
import gc
import sqlite3
import threading

import pytest

import vkcondb


def make_pool(maxconnections=3, mincached=0, database=":memory:"):
    return vkcondb.pool(database=database, maxconnections=maxconnections, mincached=mincached)


def test_limit_and_lending():
    pool = make_pool(maxconnections=3, mincached=2)
    lent = [pool.getconn() for _ in range(3)]     # the third opens a connection
    assert len(set(map(id, lent))) == 3
    with pytest.raises(vkcondb.ProgrammingError, match="^create conn fail$"):
        pool.getconn()
    for c in lent:
        assert c.ping()


def test_returned_connection_is_lent_again_lifo():
    pool = make_pool(maxconnections=2)
    first, second = pool.getconn(), pool.getconn()
    first.close()
    second.close()
    assert pool.getconn() is second
    assert pool.getconn() is first


def test_return_twice_changes_the_lists_once():
    pool = make_pool(maxconnections=2)
    a = pool.getconn()
    a.close()
    a.close()
    assert pool.getconn() is a
    b = pool.getconn()
    assert b is not a
    with pytest.raises(vkcondb.ProgrammingError, match="^create conn fail$"):
        pool.getconn()


def test_returned_connection_stays_open():
    pool = make_pool(maxconnections=1)
    c = pool.getconn()
    c.close()
    assert c.ping() is True


@pytest.mark.parametrize("mincached,maxconnections,gets", [(5, 2, 2), (0, 2, 2), (-3, 1, 1)])
def test_mincached_clamped_and_lazy(mincached, maxconnections, gets):
    pool = make_pool(maxconnections=maxconnections, mincached=mincached)
    for _ in range(gets):
        pool.getconn()
    with pytest.raises(vkcondb.ProgrammingError, match="^create conn fail$"):
        pool.getconn()


@pytest.mark.parametrize("limit", [0, -1])
def test_no_limit_no_connection(limit):
    pool = make_pool(maxconnections=limit, mincached=3)
    with pytest.raises(vkcondb.ProgrammingError, match="^create conn fail$"):
        pool.getconn()


def test_set_maxnum_growth_keeps_both_lists_in_order():
    pool = make_pool(maxconnections=3)
    a, b, c = pool.getconn(), pool.getconn(), pool.getconn()
    b.close()
    a.close()                       # idle: b, a ; busy: c
    pool.set_maxnum(40)             # beyond the arrays: they grow
    c.close()                       # c was still on the busy list
    assert [pool.getconn() for _ in range(3)] == [c, a, b]
    d = pool.getconn()              # the higher limit opens more
    assert d not in (a, b, c)


def test_set_maxnum_below_opened_closes_nothing():
    pool = make_pool(maxconnections=3)
    a, b = pool.getconn(), pool.getconn()
    a.close()
    pool.set_maxnum(1)
    assert pool.getconn() is a       # idle ones are still lent
    with pytest.raises(vkcondb.ProgrammingError, match="^create conn fail$"):
        pool.getconn()
    assert b.ping()


@pytest.mark.parametrize("call,message", [
    (lambda p: p.set_maxnum(0), "setmaxnum Parameter mismatch"),
    (lambda p: p.set_maxnum(), "setmaxnum Parameter mismatch"),
    (lambda p: p.set_maxnum("x"), "setmaxnum Parameter mismatch"),
    (lambda p: p.set_port(0), "setport Parameter mismatch"),
    (lambda p: p.set_port(), "setport Parameter mismatch"),
    (lambda p: p.set_port(70000), "setport Parameter mismatch"),
    (lambda p: p.set_password(), "setpassword Parameter mismatch"),
    (lambda p: p.set_password(5), "setpassword Parameter mismatch"),
    (lambda p: p.set_host(), "sethost Parameter mismatch"),
    (lambda p: p.set_dbname(), "setdbname Parameter mismatch"),
    (lambda p: p.set_user(None), "setuser Parameter mismatch"),
    (lambda p: p.set_charset(), "setcharset Parameter mismatch"),
])
def test_setter_refusals(call, message):
    pool = make_pool()
    with pytest.raises(vkcondb.ProgrammingError) as info:
        call(pool)
    assert str(info.value) == message


@pytest.mark.parametrize("setter", ["set_host", "set_dbname", "set_user", "set_password",
                                    "set_charset"])
def test_texts_of_100_bytes_refused_99_accepted(setter):
    pool = make_pool()
    with pytest.raises(vkcondb.ProgrammingError, match="too long"):
        getattr(pool, setter)("x" * 100)
    assert getattr(pool, setter)("x" * 99) is None


def test_constructor_refuses_long_texts():
    with pytest.raises(vkcondb.ProgrammingError, match="too long"):
        vkcondb.pool(database="d" * 100)


def test_setters_apply_to_later_connections(tmp_path):
    pool = make_pool(maxconnections=2, database=str(tmp_path / "one.db"))
    first = pool.getconn()
    assert pool.set_dbname(str(tmp_path / "two.db")) is None
    assert pool.set_password("") is None
    second = pool.getconn()
    second.cursor().execute("create table made_here(x integer)")
    first.cursor().execute("create table made_there(x integer)")
    two = sqlite3.connect(str(tmp_path / "two.db"))
    names = {r[0] for r in two.execute("select name from sqlite_master")}
    two.close()
    assert names == {"made_here"}


def test_bad_parameters_fail_construction_and_getconn():
    with pytest.raises(vkcondb.OperationalError, match="^Connpool init conn failed$"):
        vkcondb.pool(charset="latin1", maxconnections=2, mincached=1)
    pool = vkcondb.pool(charset="latin1", maxconnections=2, mincached=0)
    with pytest.raises(vkcondb.OperationalError, match="^Connpool create  conn failed$"):
        pool.getconn()
    pool.set_charset("utf8")
    assert pool.getconn().ping()


def test_pool_deleted_while_connections_lent():
    pool = make_pool(maxconnections=2)
    lent = pool.getconn()
    idle = pool.getconn()
    idle.close()
    del idle
    del pool
    gc.collect()
    # the lent connection outlives its pool; closing it now disconnects it
    assert lent.ping() is True
    lent.close()
    assert lent.ping() is False


def test_open_transaction_is_rolled_back_at_return(tmp_path):
    path = tmp_path / "shared.db"
    pool = make_pool(maxconnections=1, database=str(path))
    first_user = pool.getconn()
    cur = first_user.cursor()
    cur.execute("create table t(x integer)")
    first_user.begin()
    cur.execute("insert into t values (1)")
    first_user.close()                           # returned half-done

    second_user = pool.getconn()
    assert second_user is first_user
    second_user.commit()                         # commits nothing of the first user's
    check = sqlite3.connect(str(path))
    assert check.execute("select count(*) from t").fetchone()[0] == 0
    check.close()
    # the first user's cursor no longer reaches the connection
    with pytest.raises(vkcondb.OperationalError, match="^The cursor object does not exist$"):
        cur.execute("insert into t values (2)")


def test_autocommit_restored_at_return(tmp_path):
    path = tmp_path / "ac.db"
    pool = make_pool(maxconnections=1, database=str(path))
    c = pool.getconn()
    c.cursor().execute("create table t(x integer)")
    c.autocommit(False)
    c.close()
    c = pool.getconn()
    c.cursor().execute("insert into t values (1)")   # autocommit again: visible at once
    check = sqlite3.connect(str(path), timeout=5)
    assert check.execute("select count(*) from t").fetchone()[0] == 1
    check.close()


def test_threads_borrow_and_return():
    pool = make_pool(maxconnections=4)
    errors = []

    def worker():
        done = 0
        attempts = 0
        while done < 1000 and attempts < 200000:
            attempts += 1
            try:
                c = pool.getconn()
            except vkcondb.ProgrammingError:
                continue          # all four are lent right now
            try:
                if not c.ping():
                    errors.append("dead connection lent")
            finally:
                c.close()
            done += 1
        if done < 1000:
            errors.append("worker starved")

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    # exactly four were opened, and every one is back on the idle list
    back = [pool.getconn() for _ in range(4)]
    assert len(set(map(id, back))) == 4
    with pytest.raises(vkcondb.ProgrammingError, match="^create conn fail$"):
        pool.getconn()

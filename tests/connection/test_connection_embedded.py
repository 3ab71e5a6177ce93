"""Connections on the embedded engine: transactions, autocommit, liveness,
database switch, refusals of bad parameters."""
import sqlite3
import sys

import pytest

import vkcondb

HAS_NOTES = sys.version_info >= (3, 11)


def rows_seen_by_other_reader(path, sql="select count(*) from t"):
    other = sqlite3.connect(str(path), timeout=5)
    try:
        return other.execute(sql).fetchone()[0]
    finally:
        other.close()


@pytest.fixture
def dbfile(tmp_path):
    path = tmp_path / "main.db"
    setup = sqlite3.connect(str(path))
    setup.execute("create table t(x integer)")
    setup.commit()
    setup.close()
    return path


def test_ping_before_and_after_close():
    conn = vkcondb.connect()
    assert conn.ping() is True
    conn.close()
    assert conn.ping() is False
    with pytest.raises(vkcondb.OperationalError, match="^reconnect fail$"):
        conn.ping(reconnect=1)
    for method in (conn.commit, conn.rollback, conn.begin, conn.cursor):
        with pytest.raises(vkcondb.OperationalError, match="^Connection does not exist$"):
            method()
    with pytest.raises(vkcondb.OperationalError, match="^Connection does not exist$"):
        conn.autocommit(True)
    conn.close()  # a second close is harmless


def test_with_block_closes():
    with vkcondb.connect() as conn:
        assert conn.ping()
    assert conn.ping() is False


def test_commit_and_rollback_without_transaction_succeed():
    conn = vkcondb.connect()
    assert conn.commit() is None
    assert conn.rollback() is None
    assert conn.autocommit(None) is None
    conn.close()


def test_begin_rollback_discards(dbfile):
    conn = vkcondb.connect(database=str(dbfile))
    cur = conn.cursor()
    conn.begin()
    cur.execute("insert into t values (1)")
    assert rows_seen_by_other_reader(dbfile) == 0
    conn.rollback()
    assert rows_seen_by_other_reader(dbfile) == 0
    conn.begin()
    cur.execute("insert into t values (2)")
    conn.commit()
    assert rows_seen_by_other_reader(dbfile) == 1
    conn.close()


def test_autocommit_off_holds_work_until_commit(dbfile):
    conn = vkcondb.connect(database=str(dbfile))
    cur = conn.cursor()
    cur.execute("insert into t values (1)")          # autocommit is on after connect
    assert rows_seen_by_other_reader(dbfile) == 1
    conn.autocommit(False)
    cur.execute("insert into t values (2)")
    assert rows_seen_by_other_reader(dbfile) == 1
    conn.rollback()
    cur.execute("insert into t values (3)")
    conn.commit()
    assert rows_seen_by_other_reader(dbfile, "select sum(x) from t") == 4
    conn.autocommit(True)
    cur.execute("insert into t values (5)")
    assert rows_seen_by_other_reader(dbfile, "select sum(x) from t") == 9
    conn.close()


def test_select_db_switches_to_a_second_file(tmp_path, dbfile):
    conn = vkcondb.connect(database=str(dbfile))
    conn.select_db("second")
    cur = conn.cursor()
    cur.execute("create table only_here(y integer)")
    cur.execute("insert into only_here values (7)")
    conn.close()
    others = [p for p in tmp_path.iterdir() if p.name.startswith("second")]
    assert len(others) == 1
    assert rows_seen_by_other_reader(others[0], "select y from only_here") == 7
    # the first file was not touched
    db = sqlite3.connect(str(dbfile))
    assert db.execute("select count(*) from sqlite_master where name='only_here'").fetchone()[0] == 0
    db.close()


@pytest.mark.parametrize("name", [
    "x; drop table t", "../escape", "a b", "", "t;", "1abc", "name'--",
])
def test_select_db_refuses_names_that_are_not_identifiers(dbfile, name):
    conn = vkcondb.connect(database=str(dbfile))
    with pytest.raises(vkcondb.OperationalError) as info:
        conn.select_db(name)
    assert str(info.value)                       # the library says why
    assert conn.ping() is True
    conn.close()
    assert rows_seen_by_other_reader(dbfile) == 0   # t still exists


def test_select_db_too_long_name_is_refused_before_the_library():
    conn = vkcondb.connect()
    with pytest.raises(vkcondb.ProgrammingError, match="too long"):
        conn.select_db("a" * 251)
    with pytest.raises(vkcondb.ProgrammingError, match="^select_db Parameter mismatch$"):
        conn.select_db(5)
    conn.close()


@pytest.mark.parametrize("charset", ["utf8", "UTF-8", "Utf8", "utf-8"])
def test_utf8_charset_spellings_accepted(charset):
    vkcondb.connect(charset=charset).close()


def test_bad_charset_refused_with_reason():
    with pytest.raises(vkcondb.OperationalError) as info:
        vkcondb.connect(charset="latin1")
    assert str(info.value) == "Connection information is not correct"
    # the reason travels on every Python: as the cause, and as a note where
    # exceptions have notes
    assert isinstance(info.value.__cause__, vkcondb.OperationalError)
    assert "latin1" in str(info.value.__cause__)
    if HAS_NOTES:
        assert any("latin1" in note for note in info.value.__notes__)


def test_missing_directory_refused_with_reason(tmp_path):
    with pytest.raises(vkcondb.OperationalError) as info:
        vkcondb.connect(database=str(tmp_path / "no" / "such" / "dir.db"))
    assert str(info.value) == "Connection information is not correct"
    assert "unable to open database file" in str(info.value.__cause__)
    if HAS_NOTES:
        assert info.value.__notes__ == [str(info.value.__cause__)]


@pytest.mark.parametrize("port", [-1, 65536, 2 ** 31 - 1])
def test_ports_out_of_range_refused(port):
    with pytest.raises(vkcondb.ProgrammingError, match="port"):
        vkcondb.connect(port=port)


def test_port_zero_only_for_the_embedded_engine():
    with pytest.raises(vkcondb.ProgrammingError, match="port"):
        vkcondb.connect(host="db.example", port=0)


@pytest.mark.parametrize("field", ["database", "user", "password"])
def test_connect_string_overflow_refused(field):
    with pytest.raises(vkcondb.ProgrammingError, match="too long"):
        vkcondb.connect(**{field: "x" * 600})


@pytest.mark.parametrize("password", ["a;b=c", "x; DB=other.db", "p;USESSL=1;", "=;=;"])
def test_passwords_with_separators_never_change_other_parameters(tmp_path, password):
    path = tmp_path / "p.db"
    try:
        conn = vkcondb.connect(database=str(path), password=password)
    except vkcondb.OperationalError:
        return  # refused outright is acceptable
    conn.cursor().execute("create table marker(x integer)")
    conn.close()
    # the connection used exactly the database that was given
    assert sorted(p.name for p in tmp_path.iterdir()) == ["p.db"]


def test_cursor_of_a_connection_opened_again_stays_closed():
    conn = vkcondb.connect()
    cur = conn.cursor()
    conn.close()
    conn.__init__("", 0, ":memory:", "", "", "utf8", "", "", "")
    assert conn.ping()
    with pytest.raises(vkcondb.OperationalError, match="^The cursor object does not exist$"):
        cur.execute("select 1")
    fresh = conn.cursor()
    fresh.execute("select 1")
    assert fresh.fetchall() == [(1,)]

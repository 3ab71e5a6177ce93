"""fetchone, fetchmany, fetchall and nextset against the scripted engine,
on plain results and on a named server cursor read in batches."""
import pytest

from fetch_support import open_by_routine, scripted_connection
from vkcondb import OperationalError, ProgrammingError

COL = [("n", 6, 8)]


def rows(*values):
    return [[v.to_bytes(8, "little", signed=True)] for v in values]


def tuples(*values):
    return [(v,) for v in values]


NO_RESULT = "The result set does not exist"


def test_fetchone_to_the_end_and_beyond(make_query):
    cur = make_query(COL, rows(1, 2, 3))
    assert [cur.fetchone() for _ in range(5)] == [(1,), (2,), (3,), None, None]


@pytest.mark.parametrize("arraysize,args,expected", [
    (1, (), [1]),
    (1, (0,), [1]),
    (2, (), [1, 2]),
    (0, (), [1, 2, 3]),
    (1, (-1,), [1, 2, 3]),
    (1, (5,), [1, 2, 3]),
])
def test_fetchmany_counts(make_query, arraysize, args, expected):
    cur = make_query(COL, rows(1, 2, 3))
    cur.arraysize = arraysize
    assert cur.fetchmany(*args) == tuples(*expected)


def test_fetchmany_keyword_and_end(make_query):
    cur = make_query(COL, rows(1, 2, 3))
    assert cur.fetchmany(size=2) == tuples(1, 2)
    assert cur.fetchmany(5) == tuples(3)
    assert cur.fetchmany(5) == []
    assert cur.fetchall() == []


@pytest.mark.parametrize("args,kwargs", [(("x",), {}), ((1, 2), {}), ((), {"count": 1})])
def test_fetchmany_argument_mismatch(make_query, args, kwargs):
    cur = make_query(COL, rows(1))
    with pytest.raises(ProgrammingError, match="^fetchmany Parameter mismatch$"):
        cur.fetchmany(*args, **kwargs)


def test_without_a_result(script):
    conn = scripted_connection()
    cur = conn.cursor()
    assert cur.fetchmany() is None
    for method in (cur.fetchone, cur.fetchall, cur.nextset):
        with pytest.raises(ProgrammingError, match="^%s$" % NO_RESULT):
            method()


def test_closed_connection_fails_the_precondition(script):
    conn = scripted_connection()
    other = conn.cursor()
    conn.close()
    for call in (other.fetchone, other.fetchall, other.nextset, other.fetchmany):
        with pytest.raises(OperationalError, match="^The cursor object does not exist$"):
            call()


@pytest.mark.parametrize("kind,one,many,whole", [
    (10, True, False, False),
    (9, False, True, True),
    (4, True, True, True),
    (7, False, False, False),
])
def test_result_kinds_each_method_reads(make_query, kind, one, many, whole):
    cur = make_query(COL, rows(1, 2, 3), kind=kind)
    assert cur.fetchmany() == (tuples(1) if many else None)
    if one:
        assert cur.fetchone() == ((2,) if many else (1,))
    else:
        with pytest.raises(ProgrammingError, match=NO_RESULT):
            cur.fetchone()
    if whole:
        assert cur.fetchall()[-1] == (3,)
    else:
        with pytest.raises(ProgrammingError, match=NO_RESULT):
            cur.fetchall()


def test_failed_row_fetch(script, make_query):
    cur = make_query(COL, rows(1, 2, 3))
    assert cur.fetchone() == (1,)
    script.default("cli_fetch_row", {"ret": -1})
    script.default("cli_error_text", {"text": "link down"})
    # Every read reports the library's text: a list cut short by a failure
    # is never passed off as the whole result.
    for read in (lambda: cur.fetchmany(2), cur.fetchall, cur.fetchone):
        with pytest.raises(OperationalError, match="^link down$"):
            read()


def test_nextset_walks_result_sets(script, make_query):
    cur = make_query(COL, rows(1, 2))
    script.table(5, [("a", 5, 4), ("b", 2, -1)], [[b"\x07\0\0\0", b"x"]], kind=9)
    assert cur.fetchone() == (1,)
    assert cur.nextset() == "TRUE"
    assert cur.fetchall() == [(7, "x")]
    assert cur.nextset() is None
    # No further set: the result stays and keeps answering.
    assert cur.fetchall() == []
    cur.close()
    with pytest.raises(ProgrammingError, match=NO_RESULT):
        cur.nextset()


def test_nextset_failure_on_plain_result_returns_none(script, make_query):
    cur = make_query(COL, rows(1, 2))
    script.script("cli_next_result", {"ret": -1})
    assert cur.nextset() is None
    assert cur.fetchall() == tuples(1, 2)


# ---- named server cursor: batches of 2, 2 and 1 rows, then an empty one ----

def test_named_first_batch_comes_with_the_call(script, named_cursor):
    cur = named_cursor
    opens = script.calls("cli_open_named_cursor")
    assert [args[1] for args in opens] == ["c1"]
    assert [d[0] for d in cur.description] == ["n"]
    assert cur.rowcount == 0
    assert script.calls("cli_result_info")[-1][0] == 11


def test_named_fetchall_reads_every_batch(script, named_cursor):
    cur = named_cursor
    assert cur.fetchall() == tuples(1, 2, 3, 4, 5)
    opens = script.calls("cli_open_named_cursor")
    assert [args[1] for args in opens] == ["c1", "c1", "c1", "c1"]
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]
    assert cur.rowcount == 0
    with pytest.raises(AttributeError):
        cur.description
    with pytest.raises(ProgrammingError, match=NO_RESULT):
        cur.fetchall()


def test_named_fetchone_counts_down_and_releases(script, named_cursor):
    cur = named_cursor
    got = [cur.fetchone() for _ in range(6)]
    assert got == tuples(1, 2, 3, 4, 5) + [None]
    assert script.count("cli_open_named_cursor") == 4
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]
    with pytest.raises(ProgrammingError, match=NO_RESULT):
        cur.fetchone()


def test_named_refill_replaces_result(script, named_cursor):
    cur = named_cursor
    assert cur.fetchone() == (1,)
    assert script.count("cli_open_named_cursor") == 1
    assert cur.fetchone() == (2,)
    # The used-up batch is given back before the next one is opened.
    calls = script.calls()
    freed = calls.index(("cli_free_result", (11,)))
    assert calls[freed + 1][0] == "cli_open_named_cursor"
    assert cur.fetchone() == (3,)


@pytest.mark.parametrize("sizes,expected", [
    ([3, 3], [[1, 2, 3], [4, 5]]),     # beyond the batch: refill inside one call
    ([1, 1, 1, 1, 1, 1], [[1], [2], [3], [4], [5], []]),
    ([2, 2, 2], [[1, 2], [3, 4], [5]]),
    ([-1], [[1, 2, 3, 4, 5]]),
    ([0], [[1]]),                      # arraysize 1
])
def test_named_fetchmany(script, named_cursor, sizes, expected):
    cur = named_cursor
    got = [cur.fetchmany(k) for k in sizes]
    assert got == [tuples(*e) for e in expected]


def test_named_fetchmany_ends_with_release(script, named_cursor):
    cur = named_cursor
    assert cur.fetchmany(10) == tuples(1, 2, 3, 4, 5)
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]
    assert cur.fetchmany(10) is None


def test_named_fetch_failure_reports_library_text(script, named_cursor):
    cur = named_cursor
    script.script("cli_fetch_row", {"ret": 100})
    script.default("cli_error_text", {"text": "batch gone"})
    with pytest.raises(OperationalError, match="^batch gone$"):
        cur.fetchone()
    # The failed read still counted: the next row comes from the same batch.
    assert cur.fetchone() == (1,)
    assert script.count("cli_open_named_cursor") == 2


def test_named_fetchall_reports_last_failure_after_reading_all(script, named_cursor):
    cur = named_cursor
    script.script("cli_fetch_row", {"ret": -1})
    script.script("cli_error_text", {"text": "first"}, {"text": "second"})
    with pytest.raises(OperationalError, match="^first$"):
        cur.fetchall()
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]


def test_named_nextset(script, named_cursor):
    cur = named_cursor
    script.script("cli_next_result", {"ret": 0}, {"ret": 0})
    assert cur.nextset() == "TRUE"
    assert cur.fetchall()[:2] == tuples(3, 4)


def test_named_cursor_closed_as_soon_as_its_last_batch_is_empty(script, named_cursor):
    cur = named_cursor
    assert cur.fetchmany(5) == tuples(1, 2, 3, 4, 5)
    # The empty batch came back without a handle: the server cursor is closed
    # at once, and nothing of it reaches the next statement's result.
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]
    script.table(21, COL, rows(7, 8))
    script.script("cli_exec_direct", {"result": 21})
    cur.execute("select")
    assert cur.fetchall() == tuples(7, 8)
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]


def test_named_refill_without_a_handle_ends_the_cursor(script):
    # Rows announced without a result handle end the named cursor instead of
    # looping on a missing batch.
    script.table(11, COL, rows(1, 2))
    conn, cur = open_by_routine(script, [{"ret": 2, "result": 11}, {"ret": 3}])
    assert cur.fetchall() == tuples(1, 2)
    assert script.count("cli_open_named_cursor") == 2
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]
    with pytest.raises(ProgrammingError, match=NO_RESULT):
        cur.fetchone()
    conn.close()


@pytest.mark.parametrize("read", ["fetchall", "fetchmany", "fetchone"])
def test_failed_refill_is_raised_not_taken_for_the_end(script, read):
    # A batch that cannot be opened (the connection went away between two
    # batches) is a failure: the rows before it are not passed off as all.
    script.table(11, COL, rows(1, 2))
    conn, cur = open_by_routine(script, [{"ret": 2, "result": 11}, {"ret": -1}])
    script.default("cli_error_text", {"text": "link down"})
    script.default("cli_sqlstate", {"text": "08006"})
    if read == "fetchone":
        # The rows read before the failure are handed out; the fetch after
        # them raises it.
        assert [cur.fetchone(), cur.fetchone()] == tuples(1, 2)
        fail = cur.fetchone
    elif read == "fetchmany":
        def fail():
            return cur.fetchmany(5)
    else:
        fail = cur.fetchall
    with pytest.raises(OperationalError, match="^link down$") as info:
        fail()
    assert info.value.sqlstate == "08006"
    assert script.count("cli_open_named_cursor") == 2
    assert script.calls("cli_close_named_cursor") == [(1, "c1")]
    # Raised once: the cursor has no result now.
    with pytest.raises(ProgrammingError, match=NO_RESULT):
        cur.fetchall()
    conn.close()

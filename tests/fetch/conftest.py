"""Fixtures of the fetch tests."""
import pytest

from fetch_support import RESULT_ID, CursorRecord, query


@pytest.fixture
def make_query(script):
    made = []

    def make(columns, rows, kind=4, result_id=RESULT_ID):
        conn, cur = query(script, columns, rows, kind, result_id)
        made.append((conn, cur))
        return cur

    yield make
    for conn, cur in made:
        cur.close()
        conn.close()


@pytest.fixture
def named_cursor(script, make_query):
    """A cursor reading the named cursor "c1" whose batches hold 2, 2 and 1
    rows (results 11, 12, 13), then an empty batch."""
    col = [("n", 6, 8)]

    def row(i):
        return [i.to_bytes(8, "little", signed=True)]

    script.table(12, col, [row(3), row(4)])
    script.table(13, col, [row(5)])
    script.script("cli_open_named_cursor", {"ret": 2, "result": 12}, {"ret": 1, "result": 13},
                  {"ret": 0})
    cur = make_query(col, [row(1), row(2)], result_id=11)
    record = CursorRecord(cur)
    record.open_named(b"c1", 2)
    return cur, record

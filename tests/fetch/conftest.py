"""Fixtures of the fetch tests."""
import pytest

from fetch_support import RESULT_ID, open_by_routine, query


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
def named_cursor(script):
    """A cursor reading the named cursor "c1" that a routine returned, whose
    batches hold 2, 2 and 1 rows (results 11, 12, 13), then an empty batch."""
    col = [("n", 6, 8)]

    def row(i):
        return [i.to_bytes(8, "little", signed=True)]

    script.table(11, col, [row(1), row(2)])
    script.table(12, col, [row(3), row(4)])
    script.table(13, col, [row(5)])
    conn, cur = open_by_routine(script, [{"ret": 2, "result": 11}, {"ret": 2, "result": 12},
                                         {"ret": 1, "result": 13}, {"ret": 0}])
    yield cur
    cur.close()
    conn.close()

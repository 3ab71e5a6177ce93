"""A program written against the package's types: `mypy --strict` must
accept it, and it runs on the embedded engine (test_stubs.py does both)."""
import datetime
from typing import Any, Dict, List, Optional, Tuple

import vkcondb

Row = Tuple[Any, ...]


def fill(conn: vkcondb.connection) -> int:
    with conn.cursor() as cur:
        cur.execute("create table t(id integer primary key, name varchar(20), born date)")
        cur.execute("insert into t values (?, ?, ?)", (1, "one", datetime.date(2020, 1, 2)))
        named: Dict[str, Any] = {"id": 2, "name": "two", "born": None}
        cur.execute("insert into t values (:id, :name, :born)", named)
        cur.executemany("insert into t(id, name) values (?, ?)", [(3, "three"), (4, "four")])
        cur.executebatch("insert into t(id) values (?)", [[5, 6]])
        last: Optional[int] = cur.lastrowid
        conn.commit()
        return last if last is not None else -1


def read(conn: vkcondb.connection) -> Tuple[Optional[Row], List[Row], List[Row], List[str]]:
    cur = conn.cursor()
    cur.arraysize = 2
    cur.execute("select id, name from t where id < ? order by id", [5])
    names: List[str] = []
    if cur.description is not None:
        names = [column[0] for column in cur.description]
        assert cur.description[0][1] == vkcondb.NUMBER
    first = cur.fetchone()
    some = cur.fetchmany()
    rest: List[Row] = []
    for row in cur:
        rest.append(row)
    cur.close()
    return first, some if some is not None else [], rest, names


def failures(conn: vkcondb.connection) -> List[Optional[str]]:
    states: List[Optional[str]] = []
    try:
        conn.execute("insert into t(id) values (?)", (1,))
    except vkcondb.IntegrityError as exc:
        states.append(exc.sqlstate)
    cur = conn.cursor()
    cur.setinputtype([6, 6])  # BIGINT, BIGINT
    try:
        cur.callproc("archive", [1, None], [1, 2])
    except vkcondb.NotSupportedError as exc:  # no stored procedures here
        states.append(exc.sqlstate)
    except vkcondb.Error:
        states.append(None)
    values: List[Any] = cur.callfunc("abs", [-5])
    assert values == [-5, 5], values
    return states


def from_pool() -> List[Row]:
    pool = vkcondb.pool(database=":memory:", maxconnections=2)
    conn = pool.getconn()
    try:
        rows = conn.execute("select ?, ?", ("a", vkcondb.Binary(b"b"))).fetchall()
    finally:
        conn.close()
    return rows


def main() -> None:
    with vkcondb.connect(":memory:") as conn:
        assert conn.ping()
        assert fill(conn) == 6
        first, some, rest, names = read(conn)
        assert first == (1, "one") and names == ["id", "name"]
        assert [row[0] for row in some + rest] == [2, 3, 4]
        assert failures(conn) == ["23505", "0A000"]
    assert from_pool() == [("a", b"b")]
    assert vkcondb.apilevel == "2.0" and isinstance(vkcondb.version(), str)
    when: datetime.datetime = vkcondb.TimestampFromTicks(0.0)
    assert when.year >= 1969


if __name__ == "__main__":
    main()

"""Helpers of the fetch tests: a cursor holding a scripted result, or a
named server cursor returned by a scripted routine."""
RESULT_ID = 5


def scripted_connection():
    from vkcondb import _pyvkdb
    return _pyvkdb._connect(port=7, host="h", database="d", user="u", password="p",
                            charset="c", usessl="s", usetls="", usetlcp="")


def query(script, columns, rows, kind=4, result_id=RESULT_ID):
    """A connection and a cursor whose current result is the given table."""
    script.table(result_id, columns, rows, kind)
    script.default("cli_sql_kind", {"ret": 4})
    script.script("cli_exec_direct", {"result": result_id})
    conn = scripted_connection()
    cur = conn.cursor()
    cur.execute("select")
    return conn, cur


def open_by_routine(script, opens, name=b"c1"):
    """A cursor whose current result is the server cursor `name` that a
    scripted routine returned in its one RefCursor parameter; the batch
    opens are answered with `opens` in turn."""
    script.script("cli_exec_routine", {"outputs": {1: {"data": name, "len": len(name)}}})
    script.script("cli_open_named_cursor", *opens)
    conn = scripted_connection()
    cur = conn.cursor()
    cur.setinputtype([58])
    assert cur.callproc("p", [None], [2]) == [name.decode()]
    return conn, cur


"""The description builder and the five column-metadata methods against the
scripted engine."""
import pytest

import vkcondb

WIDTH_MESSAGE = "The result set does not exist and the column width cannot be obtained"






def run_query(script, cur, columns, result_id=10):
    script.script("cli_sql_kind", {"ret": 4})
    script.script("cli_exec_direct", {"result": result_id})
    script.table(result_id, columns, [])
    cur.execute("select")


TYPE_TABLE = [
    # type code, raw size, type name, size, scale
    (0, 99, "NULL", 0, 0),
    (1, 99, "BOOLEAN", 1, 0),
    (2, 100, "VARCHAR", 100, 0),
    (2, -1, "VARCHAR", 65535, 0),
    (3, 99, "TINYINT", 1, 0),
    (4, 99, "SMALLINT", 2, 0),
    (5, 99, "INTEGER", 4, 0),
    (6, 99, "BIGINT", 8, 0),
    (7, 99, "FLOAT", 4, 0),
    (8, 99, "DOUBLE", 8, 0),
    (9, (10 << 16) | 2, "NUMERIC", 10, 2),
    (9, (20 << 16) | 18, "NUMERIC", 20, 2),
    (9, -((3 << 16) | 5), "NUMERIC", -4, -5),
    (10, 99, "DATE", 3, 0),
    (11, 15, "TIME", 15, 0),
    (12, 16, "TIME", 16, 0),
    (13, 26, "DATETIME", 26, 0),
    (14, 27, "DATETIME", 27, 0),
    (23, 8, "DATETIME", 8, 0),
    (15, 30, "BINARY", 30, 0),
    (18, 31, "BINARY", 31, 0),
    (28, 99, "INTERVAL YEAR TO MONTH", 4, 0),
    (31, 99, "INTERVAL DAY TO SECOND", 8, 0),
    (40, 40, "CLOB", 40, 0),
    (41, 41, "CLOB", 41, 0),
    (42, -1, "BLOB", -1, 0),
    (58, 5, "RefCursor", 5, 0),
    (62, 6, "CHAR", 6, 0),
    (63, 7, "CHAR", 7, 0),
    (44, 123, "", 123, 0),
    (-3, 12, "", 12, 0),
]


@pytest.mark.parametrize("code,raw,name,size,scale", TYPE_TABLE)
def test_type_name_table(script, cur, code, raw, name, size, scale):
    run_query(script, cur, [("c", code, raw)])
    assert cur.description == [("c", name, None, None, size, scale, None)]
    assert cur.getResultcolsize(1) == size
    assert cur.getResultcolscale(1) == scale


@pytest.mark.parametrize("reported,shown", [
    ("T.ID", "ID"), ("A%B.C", "B.C"), ("plain", "plain"), ("x.", ""),
    ("a.b.c", "b.c"), ("%", ""), (u"t.n\u00e4me", u"n\u00e4me"),
    (b"ab\xff\xfe", u"ab\ufffd\ufffd"),
])
def test_name_cut(script, cur, reported, shown):
    run_query(script, cur, [(reported, 6, 8)])
    assert cur.description[0][0] == shown


def test_long_column_name_stays_within_the_buffers(script, cur):
    run_query(script, cur, [("n" * 300, 6, 8)])
    assert cur.description[0][0] == "n" * 127
    assert cur.getResultcolname(1) == "n" * 127


def test_no_columns_gives_none(script, cur):
    run_query(script, cur, [])
    assert cur.description is None
    with pytest.raises(vkcondb.OperationalError, match="^The serial number abnormality$"):
        cur.getResultcolsize(1)


def test_getResultcolname(script, cur):
    run_query(script, cur, [("T.ID", 6, 8), ("b", 6, 8)])
    assert cur.getResultcolname(1) == "T.ID"  # no name cut here
    assert cur.getResultcolname(2) == "b"
    script.script("cli_column_name", {"ret": -1})
    with pytest.raises(vkcondb.OperationalError, match="^The serial number abnormality$"):
        cur.getResultcolname(7)
    script.script("cli_column_name", {"name": "zero"})
    assert cur.getResultcolname(0) == "zero"
    assert script.last("cli_column_name")[:2] == (10, 0)


def test_getResultcolseq(script, cur):
    run_query(script, cur, [("a", 6, 8), ("b", 6, 8)])
    assert cur.getResultcolseq("b") == 2
    assert script.last("cli_column_index") == (10, "b")
    with pytest.raises(vkcondb.OperationalError, match="^The specified column was not found$"):
        cur.getResultcolseq("zz")


@pytest.mark.parametrize("method,n", [("getResultcolsize", 0), ("getResultcolscale", -1),
                                      ("getResultcolsize", 3), ("getResultcolscale", 3)])
def test_size_and_scale_out_of_range(script, cur, method, n):
    run_query(script, cur, [("a", 6, 8), ("b", 6, 8)])
    with pytest.raises(vkcondb.OperationalError, match="^The serial number abnormality$"):
        getattr(cur, method)(n)


def test_size_and_scale_read_a_user_list(script, cur):
    run_query(script, cur, [("a", 6, 8)])
    cur.description = [("x", "T", None, None, 77, 3, None), "junk"]
    assert cur.getResultcolsize(1) == 77 and cur.getResultcolscale(1) == 3
    with pytest.raises(vkcondb.ProgrammingError):
        cur.getResultcolsize(2)


def test_getResultRowid(script, cur):
    run_query(script, cur, [("a", 6, 8)])
    script.script("cli_get_rowid", {"rowid": "42"})
    assert cur.getResultRowid() == "42"
    assert script.last("cli_get_rowid")[0] == 1
    script.script("cli_get_rowid", {"rowid": "9" * 60})
    assert cur.getResultRowid() == "9" * 32


def test_getResultRowid_failure_reports_the_library_text(script, cur):
    run_query(script, cur, [("a", 6, 8)])
    script.script("cli_get_rowid", {"ret": -1})
    script.script("cli_error_text", {"text": "no row inserted"})
    with pytest.raises(vkcondb.OperationalError, match="^no row inserted$"):
        cur.getResultRowid()
    script.script("cli_get_rowid", {"ret": -1})
    script.script("cli_error_text", {"text": ""})
    with pytest.raises(vkcondb.OperationalError, match="row identifier"):
        cur.getResultRowid()


@pytest.mark.parametrize("call", [
    lambda c: c.getResultcolname(1), lambda c: c.getResultcolseq("a"),
    lambda c: c.getResultRowid()])
def test_no_result_handle(script, cur, call):
    with pytest.raises(vkcondb.OperationalError, match="^Result is NONE$"):
        call(cur)


def test_after_release(script, cur):
    run_query(script, cur, [("a", 6, 8)])
    cur.close()
    with pytest.raises(vkcondb.OperationalError, match="^%s$" % WIDTH_MESSAGE):
        cur.getResultcolsize(1)
    with pytest.raises(vkcondb.OperationalError, match="^%s$" % WIDTH_MESSAGE):
        cur.getResultcolscale(1)
    with pytest.raises(vkcondb.OperationalError, match="^Result is NONE$"):
        cur.getResultcolname(1)


@pytest.mark.parametrize("method,args,message", [
    ("getResultcolname", (), "getResultcolname  Parameter mismatch"),
    ("getResultcolname", ("1",), "getResultcolname  Parameter mismatch"),
    ("getResultcolseq", (1,), "getResultcolseq Parameter mismatch"),
    ("getResultcolseq", ("a\0b",), "getResultcolseq Parameter mismatch"),
    ("getResultcolsize", (), "getResultcolsize Parameter mismatch"),
    ("getResultcolscale", (1, 2), "getResultcolscale Parameter mismatch"),
])
def test_argument_mismatch(script, cur, method, args, message):
    run_query(script, cur, [("a", 6, 8)])
    with pytest.raises(vkcondb.ProgrammingError) as info:
        getattr(cur, method)(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("method,args", [
    ("getResultcolname", (1,)), ("getResultcolseq", ("a",)), ("getResultcolsize", (1,)),
    ("getResultcolscale", (1,)), ("getResultRowid", ())])
def test_closed_connection(script, conn, cur, method, args):
    run_query(script, cur, [("a", 6, 8)])
    conn.close()
    before = len(script.calls())
    with pytest.raises(vkcondb.OperationalError, match="^The cursor object does not exist$"):
        getattr(cur, method)(*args)
    assert len(script.calls()) == before

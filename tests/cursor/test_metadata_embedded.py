"""description and the column-metadata methods on real results of the
embedded engine."""
import pytest

import vkcondb


@pytest.fixture
def cur():
    conn = vkcondb.connect(database=":memory:")
    cursor = conn.cursor()
    yield cursor
    cursor.close()
    conn.close()


DECLARED = [
    # declared column type, type name, size, scale
    ("BOOLEAN", "BOOLEAN", 1, 0),
    ("INTEGER", "BIGINT", 8, 0),
    ("VARCHAR(30)", "VARCHAR", 30, 0),
    ("TEXT", "VARCHAR", 65535, 0),
    ("BLOB", "BLOB", -1, 0),
    ("REAL", "DOUBLE", 8, 0),
    ("NUMERIC(12,4)", "NUMERIC", 12, 4),
    ("DECIMAL(8,3)", "NUMERIC", 8, 3),
    ("DATE", "DATE", 3, 0),
    ("TIME", "TIME", 8, 0),
    ("DATETIME", "DATETIME", 8, 0),
    ("TIMESTAMP", "DATETIME", 8, 0),
]


@pytest.mark.parametrize("declared,name,size,scale", DECLARED)
def test_description_of_each_declared_type(cur, declared, name, size, scale):
    cur.execute("create table t(c %s)" % declared)
    cur.execute("select c from t")
    assert cur.description == [("c", name, None, None, size, scale, None)]
    assert cur.getResultcolsize(1) == size
    assert cur.getResultcolscale(1) == scale


def test_column_metadata_methods(cur):
    cur.execute("create table t(id integer, v varchar(10))")
    cur.execute("insert into t values (?, ?)", (1, "a"))
    cur.execute("insert into t values (?, ?)", (2, "b"))
    cur.execute('select id as "T.ID", v, id + 1 as "A%B.C" from t')
    assert [d[0] for d in cur.description] == ["ID", "v", "B.C"]
    assert cur.getResultcolname(1) == "T.ID"
    assert cur.getResultcolname(3) == "A%B.C"
    assert cur.getResultcolseq("v") == 2
    assert cur.getResultcolsize(2) == 10
    assert cur.getResultcolscale(2) == 0
    assert cur.getResultRowid() == "2"
    with pytest.raises(vkcondb.OperationalError, match="^The specified column was not found$"):
        cur.getResultcolseq("nope")
    with pytest.raises(vkcondb.OperationalError, match="^The serial number abnormality$"):
        cur.getResultcolname(9)
    with pytest.raises(vkcondb.OperationalError, match="^The serial number abnormality$"):
        cur.getResultcolsize(4)


def test_long_column_name_is_cut_safely(cur):
    name = u"\u00e9" * 100  # 200 bytes of UTF-8
    cur.execute('select 1 as "%s"' % name)
    described = cur.description[0][0]
    assert name.startswith(described) and 0 < len(described.encode("utf-8")) < 128
    assert cur.getResultcolname(1) == described


def test_statement_results_leave_no_result(cur):
    cur.execute("create table t(a int)")
    assert cur.description is None
    with pytest.raises(vkcondb.OperationalError, match="^Result is NONE$"):
        cur.getResultRowid()
    with pytest.raises(vkcondb.OperationalError, match="^Result is NONE$"):
        cur.getResultcolname(1)

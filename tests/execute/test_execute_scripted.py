"""execute against the scripted engine: the order of the library calls, the
counters and description it leaves, and every way it fails."""
import struct

import pytest

import vkcondb
from scripted.helpers import IN_USE

BATCH_MESSAGE = ("This function does not support batch operations, use the "
                 "'executemany' function to perform batch operations")






def ops_after(script, first):
    ops = script.ops()
    return ops[ops.index(first):]


def query(script, result_id=10, columns=(("id", 6, 8),), rows=(), kind=4, **counters):
    script.script("cli_sql_kind", {"ret": kind})
    response = {"result": result_id}
    response.update(counters)
    script.script("cli_exec_direct", response)
    script.table(result_id, list(columns), [list(r) for r in rows], kind)


def test_call_order_of_a_query(script, cur):
    query(script, columns=[("a", 6, 8), ("b", 2, 20)])
    assert cur.execute("select ?", (5,)) is None
    assert ops_after(script, "cli_reset_params") == [
        "cli_reset_params", "cli_bind_param", "cli_sql_kind", "cli_exec_direct",
        "cli_result_info",
        "cli_column_count",
        "cli_column_name", "cli_column_type", "cli_column_size",
        "cli_column_name", "cli_column_type", "cli_column_size",
    ]
    assert script.last("cli_sql_kind") == ("select ?",)
    assert script.last("cli_exec_direct")[:2] == (1, "select ?")
    assert script.last("cli_bind_param") == (1, 1, 1, 6, struct.pack("=q", 5), 8, 8)
    assert cur.description == [("a", "BIGINT", None, None, 8, 0, None),
                               ("b", "VARCHAR", None, None, 20, 0, None)]


def test_sql_text_only_still_resets_the_bindings(script, cur):
    cur.execute("delete from t")
    assert ops_after(script, "cli_reset_params") == [
        "cli_reset_params", "cli_sql_kind", "cli_exec_direct"]


@pytest.mark.parametrize("params", [None, (), [], {}])
def test_empty_or_none_parameters_bind_nothing(script, cur, params):
    cur.execute("delete from t", params)
    assert script.count("cli_bind_param") + script.count("cli_bind_param_named") == 0
    assert script.count("cli_exec_direct") == 1


def test_parameters_given_by_keyword_are_ignored(script, cur):
    cur.execute("select ?", params=(5,))
    assert script.count("cli_bind_param") == 0
    assert script.count("cli_exec_direct") == 1


def test_statement_without_rows_counts_one(script, cur):
    script.script("cli_sql_kind", {"ret": 1})
    script.script("cli_exec_direct", {"rowcount": 40, "second": 3, "third": 40})
    cur.execute("update t set a = 1")
    assert cur.rowcount == 1
    assert cur.description is None
    assert script.count("cli_result_info") == 0


def test_query_takes_the_third_counter_when_rowcount_is_zero(script, cur):
    query(script, rows=[[b"\0" * 8]])
    script.script("cli_result_info", {"kind": 4, "rowcount": 0, "third": 5})
    cur.execute("select id from t")
    assert cur.rowcount == 5


def test_multi_result_kind_is_accepted(script, cur):
    query(script, kind=9)
    cur.execute("select 1; select 2")
    assert script.count("cli_result_info") == 1
    assert cur.description == [("id", "BIGINT", None, None, 8, 0, None)]


def test_result_kind_from_result_info_decides_about_description(script, cur):
    query(script)
    script.script("cli_result_info", {"kind": 1})
    cur.execute("select 1")
    assert cur.description is None
    assert script.count("cli_column_count") == 0


def test_previous_result_is_released_first(script, cur):
    query(script, result_id=10)
    cur.execute("select 1")
    query(script, result_id=11)
    cur.execute("select 2")
    assert script.calls("cli_free_result") == [(10,)]
    ops = script.ops()
    assert ops.index("cli_free_result") < len(ops) - ops[::-1].index("cli_reset_params") - 1


def test_missing_sql_text(script, cur):
    query(script)
    cur.execute("select 1")
    cur.rowcount = 9
    with pytest.raises(vkcondb.ProgrammingError, match="^execute Parameter mismatch$"):
        cur.execute()
    assert script.calls("cli_free_result") == [(10,)]
    assert cur.rowcount == 0
    assert cur.description is None
    assert script.count("cli_exec_direct") == 1


@pytest.mark.parametrize("args", [(b"select 1",), (5,), ("select 1", (1,), 3),
                                  ("select 1", 5), ("select 1", object())])
def test_argument_mismatch(script, cur, args):
    with pytest.raises(vkcondb.ProgrammingError, match="^execute Parameter mismatch$"):
        cur.execute(*args)
    assert script.count("cli_exec_direct") == 0


def test_nul_in_sql_text_is_refused(script, cur):
    with pytest.raises(vkcondb.ProgrammingError, match="NUL"):
        cur.execute("select 1\0; drop table t")
    assert script.count("cli_exec_direct") == 0


@pytest.mark.parametrize("params,bound", [((1, [2, 3]), 1), ((1, 2, (3,)), 2),
                                          ({"a": 1, "b": [2]}, 1)])
def test_list_or_tuple_value_is_refused(script, cur, params, bound):
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.execute("insert", params)
    assert str(info.value) == BATCH_MESSAGE
    assert script.count("cli_bind_param") + script.count("cli_bind_param_named") == bound
    assert script.count("cli_sql_kind") == 0
    assert script.count("cli_exec_direct") == 0


def test_dict_inside_a_sequence_is_refused(script, cur):
    with pytest.raises(vkcondb.ProgrammingError,
                       match="^parameter 2: a value of type 'dict' cannot be sent$"):
        cur.execute("insert", (1, {"a": 1}))
    assert script.count("cli_exec_direct") == 0


def test_library_failure_carries_its_error_text(script, cur):
    script.script("cli_exec_direct", {"ret": -1, "rowcount": 3})
    script.script("cli_error_text", {"text": "no such table: t"})
    with pytest.raises(vkcondb.OperationalError) as info:
        cur.execute("select * from t")
    assert str(info.value) == "no such table: t"
    assert script.last("cli_error_text")[0] == 1
    assert cur.rowcount == 0
    assert cur.description is None
    with pytest.raises(vkcondb.OperationalError, match="Result is NONE"):
        cur.getResultcolname(1)


@pytest.mark.parametrize("how", ["close", "cursor_first"])
def test_closed_connection(script, conn, how):
    if how == "close":
        cur = conn.cursor()
        conn.close()
    else:
        cursor_type = type(conn.cursor())
        conn.close()
        cur = cursor_type(conn)
    before = len(script.calls())
    with pytest.raises(vkcondb.OperationalError, match="^The cursor object does not exist$"):
        cur.execute("select 1", (1,))
    assert len(script.calls()) == before
    assert cur.close() is None


def test_description_attribute_lifecycle(script, cur):
    with pytest.raises(AttributeError):
        cur.description
    script.script("cli_sql_kind", {"ret": 1})
    cur.execute("create table t(a int)")
    assert cur.description is None
    query(script)
    cur.execute("select 1")
    assert cur.description is not None
    cur.close()
    with pytest.raises(AttributeError):
        cur.description


def test_query_without_a_result_handle_has_no_description(script, cur):
    script.script("cli_sql_kind", {"ret": 4})
    cur.execute("select 1")
    assert cur.description is None
    assert script.count("cli_column_count") == 0


class Hostile(object):
    """A parameter sequence whose item fetch runs code against the cursor."""

    def __init__(self, action):
        self.action = action

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 1:
            self.action()
        if i >= 2:
            raise IndexError(i)
        return i


def refused(action):
    """`action` run from inside a call: what it raised."""
    def run():
        with pytest.raises(vkcondb.ProgrammingError, match=IN_USE):
            action()
    return run


def test_calls_on_the_connection_during_the_walk_are_refused(script, conn, cur):
    other = conn.cursor()
    actions = [conn.close, conn.commit, conn.rollback, conn.begin, conn.ping,
               lambda: conn.autocommit(True), lambda: conn.select_db("x"), conn.cursor,
               lambda: cur.execute("select inner"), lambda: other.execute("select inner"),
               lambda: other.executemany("insert", [(1,)]),
               lambda: other.executebatch("insert", [[1]]),
               other.fetchall, other.close, lambda: cur.setinputsizes([1])]
    cur.execute("insert", Hostile(lambda: [refused(a)() for a in actions]))
    # the outer call went on as if nothing had happened
    assert [c[1:5] for c in script.calls("cli_bind_param")] == [(1, 1, 6, b"\0" * 8),
                                                                (2, 1, 6, b"\1" + b"\0" * 7)]
    assert [c[1] for c in script.calls("cli_exec_direct")] == ["insert"]
    assert script.count("cli_disconnect") == script.count("cli_exec_command") == 0
    assert cur.rowcount == 1
    # and the connection takes calls again afterwards
    other.execute("select 2")
    conn.commit()

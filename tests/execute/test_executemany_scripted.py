"""executemany against the scripted engine: the prepare/bind/execute cycle,
nested parameter sets and their count, the release between sets, failures
part way through, and every refusal."""
import re
import struct

import pytest

from scripted.helpers import IN_USE, ClosingSequence

from vkcondb import _pyvkdb37 as m

MULTI = ("This function does not support multi-result set operations, "
         "use the 'execute()' function")
ONE_RUN = ["cli_reset_params", "cli_sql_kind", "cli_prepare", "cli_exec_prepared",
           "cli_exec_flush"]




@pytest.fixture
def cur(script, cur):
    script.reset()  # forget the connect; the cursor keeps handle 1
    return cur


def q(v):
    return struct.pack("=q", v)


def runs(script):
    """The operations split into one list per cli_reset_params (one per
    executemany call, nested ones included), binds shown as
    (op, position or name, type code).  The flush that ends the outermost
    call is checked by its own test and left out here."""
    out = []
    for op, args in script.calls():
        if op == "cli_exec_flush":
            continue
        if op == "cli_reset_params":
            out.append([])
        elif op == "cli_bind_param":
            out[-1].append(("pos", args[1], args[3]))
        elif op == "cli_bind_param_named":
            out[-1].append(("name", args[1], args[3]))
        else:
            out[-1].append(op)
    return out


@pytest.mark.parametrize("args", [("insert",), ("insert", []), ("insert", None)])
def test_without_values_prepares_and_executes_once(script, cur, args):
    cur.executemany(*args)
    assert script.ops() == ONE_RUN
    assert script.calls("cli_prepare") == [(1, "insert", 0)]
    assert script.calls("cli_exec_prepared") == [(1, 0, 0, 0)]
    assert cur.rowcount == 1  # the rowcount rule for a statement without rows


def test_plain_values_are_one_set(script, cur):
    cur.executemany("insert", (1, "x"))
    assert runs(script) == [["cli_sql_kind", "cli_prepare", ("pos", 1, 6), ("pos", 2, 2),
                             "cli_exec_prepared"]]


def test_list_of_tuples_runs_each_set_and_not_the_outer_call(script, cur):
    cur.executemany("insert", [(1, 2), (3, 4)])
    nested = ["cli_sql_kind", "cli_prepare", ("pos", 1, 6), ("pos", 2, 6), "cli_exec_prepared"]
    assert runs(script) == [["cli_sql_kind", "cli_prepare"], nested, nested]
    values = [args[4] for args in script.calls("cli_bind_param")]
    assert values == [q(1), q(2), q(3), q(4)]


def test_list_of_dicts_binds_by_name(script, cur):
    cur.executemany("insert", [{"k": 1}, {"k": 2}])
    assert runs(script)[1:] == [
        ["cli_sql_kind", "cli_prepare", ("name", "k", 6), "cli_exec_prepared"]] * 2


def test_dict_of_tuples_runs_the_values_positionally(script, cur):
    cur.executemany("insert", {"a": (1,), "b": [2]})
    assert runs(script)[1:] == [
        ["cli_sql_kind", "cli_prepare", ("pos", 1, 6), "cli_exec_prepared"]] * 2


def test_mixed_sets_and_values_execute_the_outer_call_too(script, cur):
    cur.executemany("insert", [(1,), 5])
    # The outer call's own bind and execution come after the nested run.
    assert runs(script) == [
        ["cli_sql_kind", "cli_prepare"],
        ["cli_sql_kind", "cli_prepare", ("pos", 1, 6), "cli_exec_prepared",
         ("pos", 2, 6), "cli_exec_prepared"],
    ]


def test_each_set_releases_the_result_of_the_one_before(script, cur):
    script.default("cli_sql_kind", {"ret": 4})
    script.script("cli_exec_prepared", {"result": 5}, {"result": 6})
    script.table(5, [("a", 6, 8)], [])
    script.table(6, [("b", 6, 8)], [])
    script.script("cli_result_info", {"kind": 4, "rowcount": 0, "third": 7},
                  {"kind": 4, "rowcount": 0, "third": 9})
    cur.executemany("select", [(1,), (2,)])
    ops = script.ops()
    second = [i for i, op in enumerate(ops) if op == "cli_reset_params"][2]
    assert ops[second - 2:second] == ["cli_unprepare", "cli_free_result"]
    assert script.calls("cli_free_result") == [(5,)]
    assert cur.rowcount == 9
    assert [d[0] for d in cur.description] == ["b"]


def test_failing_second_set_stops_the_sequence(script, cur):
    script.script("cli_exec_prepared", {"ret": 0}, {"ret": -1})
    with pytest.raises(m.OperationalError) as info:
        cur.executemany("insert", [(1,), (2,), (3,)])
    assert str(info.value) == "error execute2"
    values = [args[4] for args in script.calls("cli_bind_param")]
    assert values == [q(1), q(2)]
    assert script.count("cli_exec_prepared") == 2
    assert cur.rowcount == 0


def test_successive_calls_start_their_count_afresh(script, cur):
    cur.executemany("insert", [(1,), (2,)])
    first = script.ops()
    script.reset()
    cur.executemany("insert", [(1,), (2,)])
    assert script.ops() == first
    assert first.count("cli_exec_prepared") == 2


def test_multi_result_statement_is_refused_before_prepare(script, cur):
    script.default("cli_sql_kind", {"ret": 9})
    with pytest.raises(m.OperationalError) as info:
        cur.executemany("a; b", [(1,)])
    assert str(info.value) == MULTI
    assert script.count("cli_prepare") == 0


def test_prepare_failure_carries_the_error_text(script, cur):
    script.script("cli_prepare", {"ret": -1})
    script.script("cli_error_text", {"text": "no such table: t"})
    with pytest.raises(m.OperationalError) as info:
        cur.executemany("insert into t values (?)", [(1,)])
    assert str(info.value) == "no such table: t"
    assert script.count("cli_exec_prepared") == 0


def test_nested_failure_propagates_its_own_exception(script, cur):
    with pytest.raises(OverflowError):
        cur.executemany("insert", [(1,), (2 ** 64,), (3,)])
    values = [args[4] for args in script.calls("cli_bind_param")]
    assert values == [q(1)]
    assert script.count("cli_exec_prepared") == 1


def nested(depth):
    value = (1,)
    for _ in range(depth):
        value = [value]
    return value


def test_deep_but_bounded_nesting_runs(script, cur):
    cur.executemany("insert", nested(30))
    assert script.count("cli_exec_prepared") == 1


@pytest.mark.parametrize("params", ["self", nested(200)])
def test_runaway_nesting_is_refused(script, cur, params):
    if params == "self":
        params = []
        params.append(params)
    with pytest.raises(m.ProgrammingError, match="nested"):
        cur.executemany("insert", params)
    assert script.count("cli_exec_prepared") == 0


@pytest.mark.parametrize("args", [(), ("insert", (1,), 3), (5,), ("insert", 5),
                                  ("ins\0ert",)])
def test_argument_mismatch(script, cur, args):
    with pytest.raises(m.ProgrammingError) as info:
        cur.executemany(*args)
    if len(args) != 1:
        assert str(info.value) == "executemany Parameter mismatch"
    # The reset comes before the arguments are looked at.
    assert script.ops() == ["cli_reset_params"]


def test_closed_connection(script, conn, cur):
    conn.close()
    script.reset()
    with pytest.raises(m.OperationalError, match="The cursor object does not exist"):
        cur.executemany("insert", [(1,)])
    assert script.ops() == []


def test_outer_execution_gives_back_the_last_sets_result(script, cur):
    script.default("cli_sql_kind", {"ret": 4})
    script.script("cli_exec_prepared", {"result": 5}, {"result": 6})
    script.table(5, [("a", 6, 8)], [])
    script.table(6, [("b", 6, 8)], [])
    cur.executemany("select", [(1,), 2])
    assert script.calls("cli_free_result") == [(5,)]
    assert script.count("cli_unprepare") == 0  # the statement about to run stays
    assert [d[0] for d in cur.description] == ["b"]


def test_connection_close_from_the_parameters_is_refused(script, conn, cur):
    seq = ClosingSequence(conn)
    cur.executemany("insert", seq)
    assert re.match(IN_USE, str(seq.refused))
    assert script.count("cli_disconnect") == 0
    assert script.count("cli_bind_param") == 1
    assert script.count("cli_exec_prepared") == 1


def test_one_flush_ends_the_call_and_reports_runs_sent_ahead(script, cur):
    # Runs the library sent ahead are waited for once, after the last set,
    # and a failure among them is the call's.
    cur.executemany("insert", [(1,), (2,), (3,)])
    ops = script.ops()
    assert ops.count("cli_exec_flush") == 1 and ops[-1] == "cli_exec_flush"
    script.script("cli_exec_flush", {"ret": -1})
    script.script("cli_error_text", {"text": "run 2: duplicate key"})
    with pytest.raises(m.OperationalError, match="^run 2: duplicate key$"):
        cur.executemany("insert", [(1,), (2,)])
    # a call that failed before its end leaves nothing to flush
    script.reset()
    with pytest.raises(m.ProgrammingError):
        cur.executemany("insert", [(1,), (object(),)])
    assert "cli_exec_flush" not in script.ops()


@pytest.mark.parametrize("state,kind", [("08006", None), ("23505", m.IntegrityError), ("", None)])
def test_failed_set_carries_the_library_sqlstate(script, cur, state, kind):
    # The message stays fixed; the class and `sqlstate` say what failed, so
    # a lost connection (class 08) or a duplicate key can be told apart.
    script.script("cli_exec_prepared", {"ret": -1})
    script.default("cli_sqlstate", {"text": state})
    with pytest.raises(m.OperationalError) as info:
        cur.executemany("insert", [(1,)])
    assert str(info.value) == "error execute2"
    assert info.value.sqlstate == (state or None)
    if kind is not None:
        assert isinstance(info.value, kind)

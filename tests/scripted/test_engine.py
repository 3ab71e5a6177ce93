"""The scripted engine itself, driven through libvesksql.so with ctypes."""
import gc
from ctypes import byref, c_int32, c_void_p, create_string_buffer

import pytest

import vkcondb
from scripted.helpers import scripted_connect

NO_DATA = 100


@pytest.fixture
def lib(script):
    return script.library()


def handle(value=0):
    return c_void_p(value)


def sentinel_buffer(size):
    return create_string_buffer(b"\xaa" * size, size)


# ---- recording -----------------------------------------------------------

def _recorded_cases():
    h = handle(7)
    cells = [c_int32(5), c_int32(-1)]
    loc = handle(1234)
    return [
        ("cli_connect", lambda L: L.cli_connect(b"IP=; DB=x", byref(handle())),
         ("IP=; DB=x", 0)),
        ("cli_connect", lambda L: L.cli_connect(None, None), (None, None)),
        ("cli_exec_command", lambda L: L.cli_exec_command(byref(h), b"caf\xc3\xa9 \xff"),
         (7, "caf\u00e9 \udcff")),
        ("cli_exec_direct",
         lambda L: L.cli_exec_direct(byref(h), b"select 1", byref(handle(3)),
                                     byref(cells[0]), byref(cells[1]), None),
         (7, "select 1", 3, 5, -1, None)),
        ("cli_unprepare", lambda L: L.cli_unprepare(byref(h), None), (7, None)),
        ("cli_unprepare", lambda L: L.cli_unprepare(byref(h), byref(cells[0])), (7, True)),
        ("cli_bind_param",
         lambda L: L.cli_bind_param(byref(h), 2, 1, 15, b"ab\0cd", 4, byref(cells[0])),
         (7, 2, 1, 15, b"ab\0c", 4, 5)),
        ("cli_bind_param", lambda L: L.cli_bind_param(byref(h), 1, 1, 0, None, 0, None),
         (7, 1, 1, 0, None, 0, None)),
        ("cli_bind_param", lambda L: L.cli_bind_param(byref(h), 1, 1, 2, b"x", -3, None),
         (7, 1, 1, 2, b"", -3, None)),
        ("cli_bind_param_named",
         lambda L: L.cli_bind_param_named(byref(h), b"p", 1, 6, b"12345678", 8, None,
                                          byref(cells[1])),
         (7, "p", 1, 6, b"12345678", 8, None, -1)),
        ("cli_bind_array",
         lambda L: L.cli_bind_array(byref(h), 1, 2, 1, 5, 3, b"\1\0\0\0\2\0\0\0\3\0\0\0\xff", 4,
                                    (c_int32 * 3)(4, 0, 4)),
         (7, 1, 2, 1, 5, 3, b"\1\0\0\0\2\0\0\0\3\0\0\0", 4, (4, 0, 4))),
        ("cli_bind_array",  # packed records: `width` is the total
         lambda L: L.cli_bind_array(byref(h), 2, 2, 1, 2, 2, b"\1\0\0\0a\1\0\0\0bXX", 10, None),
         (7, 2, 2, 1, 2, 2, b"\1\0\0\0a\1\0\0\0b", 10, None)),
        ("cli_error_text",
         lambda L: L.cli_error_text(byref(h), create_string_buffer(256), byref(cells[1])),
         (7, None, -1)),
        ("cli_get_field",
         lambda L: L.cli_get_field(byref(h), 1, 5, create_string_buffer(4), 4, None),
         (7, 1, 5, None, 4, None)),
        ("cli_get_field",
         lambda L: L.cli_get_field(byref(h), 2, 42, byref(loc), 8, byref(cells[0])),
         (7, 2, 42, 1234, 8, 5)),
        ("cli_exec_routine",
         lambda L: L.cli_exec_routine(byref(h), b"execute p(?);", c_void_p(0)),
         (7, "execute p(?);", 0)),
        ("cli_result_info",
         lambda L: L.cli_result_info(byref(h), None, None, byref(c_int32(5)), None, None),
         (7, None, None, 5, None, None)),
    ]


@pytest.mark.parametrize("op,call,expected", _recorded_cases())
def test_arguments_are_recorded_as_they_were_at_entry(script, lib, op, call, expected):
    call(lib)
    assert script.calls() == [(op, expected)]


def test_calls_bypass_the_engine_once_uninstalled(script, lib):
    script.uninstall()
    lib.cli_sql_kind(b"select 1")
    script.install()
    lib.cli_sql_kind(b"select 2")
    assert script.calls() == [("cli_sql_kind", ("select 2",))]


def _real_cursor_in_a_cycle():
    conn = vkcondb.connect(database=":memory:")
    cur = conn.cursor()
    cur.execute("select 1")
    cycle = [cur, conn]
    cycle.append(cycle)


def test_real_garbage_goes_back_to_the_library_not_to_the_engine(script):
    """A real engine's cursor left in a reference cycle before the engine
    went in: had the collector freed it after, its result would have gone
    to the engine, not to the library, and leaked."""
    script.uninstall()
    gc.disable()
    try:
        _real_cursor_in_a_cycle()
        script.install()
        script.reset()
        gc.collect()
    finally:
        gc.enable()
    assert script.calls() == []
    # And the other way round: scripted handles in a cycle are answered by
    # the engine before it goes.
    gc.disable()
    try:
        conn = scripted_connect()
        conn.cursor().execute("select 1")
        cycle = [conn]
        cycle.append(cycle)
        del conn, cycle
        script.uninstall()
        assert "cli_disconnect" in script.ops()
    finally:
        gc.enable()
        script.install()


def test_logging_off_still_answers_and_reset_turns_it_on(script, lib):
    script.script("exec_command", {"ret": -4})
    script.logging(False)
    h = handle(1)
    assert lib.cli_exec_command(byref(h), b"x") == -4
    assert script.calls() == [] and script.pending() == {}
    script.reset()
    lib.cli_sql_kind(b"z")
    assert script.calls() == [("cli_sql_kind", ("z",))]


# ---- queues and defaults --------------------------------------------------

def test_queue_first_then_override_then_builtin_default(script, lib):
    script.script("exec_command", {"ret": -4}, {"ret": 3})
    script.default("cli_exec_command", {"ret": -1})
    h = handle(1)
    got = [lib.cli_exec_command(byref(h), b"x") for _ in range(3)]
    script.default("cli_exec_command", None)
    got.append(lib.cli_exec_command(byref(h), b"x"))
    assert got == [-4, 3, -1, 0]
    assert lib.cli_sql_kind(b"x") == 1 and lib.cli_next_result(byref(h)) == NO_DATA


def test_keys_left_out_keep_the_default(script, lib):
    script.default("exec_direct", {"rowcount": 9, "result": 4})
    script.script("exec_direct", {"ret": -1})
    r, rc = handle(), c_int32(0)
    assert lib.cli_exec_direct(byref(handle(1)), b"x", byref(r), None, byref(rc), None) == -1
    assert (r.value, rc.value) == (4, 9)


@pytest.mark.parametrize("args,error", [
    (("cli_nothing", {}), ValueError),
    (("cli_connect", {"rows": 1}), ValueError),
    (("cli_sql_kind", {"handle": 1}), ValueError),
    (("cli_connect", {"ret": "0"}), TypeError),
    (("cli_connect", {"ret": 2 ** 31}), ValueError),
    (("cli_connect", {"handle": -1}), ValueError),
    (("cli_error_text", {"text": 5}), TypeError),
    (("cli_exec_routine", {"outputs": {1: {"size": 3}}}), ValueError),
    (("cli_connect", {}, ["ret"]), TypeError),
])
def test_bad_responses_are_refused_and_nothing_is_queued(script, args, error):
    with pytest.raises(error):
        script.engine.script(*args)
    assert script.pending() == {}


# ---- connections and ids ------------------------------------------------------

def test_fresh_ids_failures_and_reset(script, lib):
    a, b, attrs, failed = handle(), handle(), handle(), handle(55)
    assert lib.cli_connect(b"", byref(a)) == 0
    assert lib.cli_connect_multi(b"IP=a,b", 1, byref(attrs), byref(b)) == 0
    script.script("connect", {"ret": -1})
    assert lib.cli_connect(b"", byref(failed)) == -1
    assert (a.value, b.value, attrs.value, failed.value) == (1, 2, 501, 55)
    assert lib.cli_disconnect(byref(a)) == 0 and not a.value
    assert lib.cli_free_addr_attrs(byref(attrs)) == 0 and not attrs.value
    assert lib.cli_disconnect(None) == -1
    script.reset()
    assert script.calls() == []
    lib.cli_connect(b"", byref(a))
    assert a.value == 1


# ---- bounded text outputs ------------------------------------------------------

@pytest.mark.parametrize("text,expected", [
    (b"e" * 300, b"e" * 255),
    ("e" * 300, b"e" * 255),
    ("e" * 254 + "\u00e9", b"e" * 254),  # a character is never split
    (b"e" * 254 + b"\xc3\xa9", b"e" * 254 + b"\xc3"),  # bytes are cut exactly
    ("short", b"short"),
])
def test_error_text_is_cut_to_its_capacity(script, lib, text, expected):
    script.script("error_text", {"text": text})
    buf, n = sentinel_buffer(300), c_int32(-7)
    assert lib.cli_error_text(byref(handle(1)), buf, byref(n)) == 0
    assert buf.raw[:len(expected) + 1] == expected + b"\0"
    assert buf.raw[256:] == b"\xaa" * 44
    assert n.value == len(expected)


@pytest.mark.parametrize("op,key,cap", [
    ("cli_column_name", "name", 128),
    ("cli_get_rowid", "rowid", 33),
])
def test_name_and_rowid_stay_within_their_capacity(script, lib, op, key, cap):
    script.script(op, {key: "n" * 400})
    buf = sentinel_buffer(400)
    if op == "cli_column_name":
        lib.cli_column_name(byref(handle(1)), 1, buf)
    else:
        lib.cli_get_rowid(byref(handle(1)), buf)
    assert buf.raw[:cap] == b"n" * (cap - 1) + b"\0"
    assert buf.raw[cap:] == b"\xaa" * (400 - cap)


# ---- tables --------------------------------------------------------------------

COLUMNS = [("id", 5, 4), ("name", 2, 10)]


def read_rows(lib, rid, ncols):
    rows, r = [], handle(rid)
    while lib.cli_fetch_row(byref(r)) == 0:
        row = []
        for col in range(1, ncols + 1):
            t, n, buf = c_int32(), c_int32(), create_string_buffer(16)
            lib.cli_column_type(byref(r), col, byref(t))
            lib.cli_get_field(byref(r), col, t.value, buf, 16, byref(n))
            row.append((t.value, n.value, buf.raw[:max(n.value, 0)]))
        rows.append(row)
    return rows


def test_table_answers_metadata_rows_and_fields(script, lib):
    script.table(7, COLUMNS, [
        [b"\1\0\0\0", b"ann"],
        [None, {"data": b"a long text", "len": 3, "type": 62}],
    ], kind=10)
    r = handle(7)
    count, kind, size, name = c_int32(), c_int32(), c_int32(), create_string_buffer(128)
    lib.cli_column_count(byref(r), byref(count))
    lib.cli_result_info(byref(r), byref(kind), None, None, None, None)
    lib.cli_column_size(byref(r), 2, byref(size))
    lib.cli_column_name(byref(r), 2, name)
    assert (count.value, kind.value, size.value, name.value) == (2, 10, 10, b"name")
    assert lib.cli_column_index(byref(r), b"name") == 2
    assert lib.cli_column_index(byref(r), b"nope") == 0
    assert lib.cli_column_name(byref(r), 3, name) == -1
    assert read_rows(lib, 7, 2) == [
        [(5, 4, b"\1\0\0\0"), (2, 3, b"ann")],
        [(5, -1, b""), (62, 3, b"a l")],
    ]
    assert lib.cli_fetch_row(byref(r)) == NO_DATA


def test_field_reads_never_pass_the_capacity(script, lib):
    script.table(3, [("t", 2, 20)], [[b"0123456789"]])
    r, n, buf = handle(3), c_int32(), sentinel_buffer(12)
    lib.cli_fetch_row(byref(r))
    lib.cli_get_field(byref(r), 1, 2, buf, 4, byref(n))
    assert buf.raw == b"0123" + b"\xaa" * 8 and n.value == 10


def test_queued_responses_win_over_the_table(script, lib):
    script.table(5, [("a", 5, 4)], [[b"\1\0\0\0"], [b"\2\0\0\0"], [b"\3\0\0\0"]])
    script.script("fetch_row", {}, {"ret": -1})
    script.script("column_type", {"type": 99})
    r = handle(5)
    assert [lib.cli_fetch_row(byref(r)) for _ in range(4)] == [0, -1, 0, 0]
    t = c_int32()
    lib.cli_column_type(byref(r), 1, byref(t))
    assert t.value == 99


def test_next_result_walks_queued_tables_and_free_drops_them(script, lib):
    script.table(9, [("a", 5, 4)], [[b"\1\0\0\0"]])
    script.table(9, [("b", 2, 5), ("c", 2, 5)], [[b"x", b"y"], [b"z", None]])
    r = handle(9)
    assert len(read_rows(lib, 9, 1)) == 1
    assert lib.cli_next_result(byref(r)) == 0
    assert [[cell[2] for cell in row] for row in read_rows(lib, 9, 2)] == [[b"x", b"y"], [b"z", b""]]
    assert lib.cli_next_result(byref(r)) == NO_DATA
    assert lib.cli_free_result(byref(r)) == 0 and not r.value
    assert lib.cli_fetch_row(byref(handle(9))) == NO_DATA


def test_named_cursor_batches(script, lib):
    for rid, n in ((11, 2), (12, 2), (13, 1)):
        script.table(rid, [("v", 5, 4)], [[bytes([rid, 0, 0, 0])]] * n)
    script.script("open_named_cursor", {"ret": 2, "result": 11}, {"ret": 2, "result": 12},
                  {"ret": 1, "result": 13})
    h, r, seen = handle(1), handle(), []
    while True:
        batch = lib.cli_open_named_cursor(byref(h), b"c1", byref(r))
        if batch == 0:
            break
        for _ in range(batch):
            assert lib.cli_fetch_row(byref(r)) == 0
            buf, n = create_string_buffer(4), c_int32()
            lib.cli_get_field(byref(r), 1, 5, buf, 4, byref(n))
            seen.append(buf.raw[0])
        lib.cli_free_result(byref(r))
    assert seen == [11, 11, 12, 12, 13]
    assert script.calls("open_named_cursor")[0] == (1, "c1", 0)


# ---- large objects ---------------------------------------------------------------

def test_locator_lifecycle(script, lib):
    script.table(4, [("doc", 42, 0), ("old", 40, 0)],
                 [[b"\0blob-bytes", b"clob text"]])
    r, a, b, n = handle(4), handle(), handle(), c_int32()
    lib.cli_lob_create(byref(a))
    lib.cli_lob_create(byref(b))
    assert (a.value, b.value) == (1000, 1001)
    lib.cli_fetch_row(byref(r))
    lib.cli_get_field(byref(r), 1, 42, byref(a), 8, byref(n))
    assert n.value == 11 and script.lob(1000) == b"\0blob-bytes"
    buf = sentinel_buffer(8)
    assert lib.cli_lob_read(byref(a), buf, 5) == 0
    assert buf.raw == b"\0blob" + b"\xaa" * 3
    # code 40 through a locator, and through a plain zero-filled buffer
    lib.cli_get_field(byref(r), 2, 40, byref(b), 8, byref(n))
    plain = create_string_buffer(400)
    lib.cli_get_field(byref(r), 2, 40, plain, 400, byref(n))
    assert script.lob(1001) == b"clob text" and plain.value == b"clob text"
    for loc in (a, b):
        assert lib.cli_lob_free(byref(loc)) == 0 and not loc.value
    assert script.lobs() == [] and script.errors() == []
    assert lib.cli_lob_read(byref(c_void_p(1000)), buf, 5) == -1
    lib.cli_lob_free(byref(c_void_p(1000)))
    assert len(script.errors()) == 2


# ---- routine outputs --------------------------------------------------------------

def test_routine_outputs_go_to_the_bound_buffers(script, lib):
    h = handle(1)
    out, out_len = sentinel_buffer(8), c_int32(0)
    ret_cell, ret_len = sentinel_buffer(4), c_int32(4)
    lib.cli_reset_params(byref(h))
    lib.cli_bind_param(byref(h), 1, 2, 2, out, 6, byref(out_len))
    lib.cli_bind_param(byref(h), 2, 6, 5, ret_cell, 4, byref(ret_len))
    script.script("exec_routine", {"outputs": {1: {"data": b"abcdefghij"},
                                              2: {"data": b"\7\0\0\0", "len": 0}}})
    assert lib.cli_exec_routine(byref(h), b"execute f(?,?);", None) == 0
    assert out.raw == b"abcdef\xaa\xaa" and out_len.value == 10
    assert ret_cell.raw == b"\7\0\0\0" and ret_len.value == 0
    lib.cli_reset_params(byref(h))
    script.script("exec_routine", {"outputs": {1: {"data": b"zz"}}})
    lib.cli_exec_routine(byref(h), b"execute f(?,?);", None)
    assert out.raw.startswith(b"abc") and "not bound" in script.errors()[0]


# ---- subprocess helper ---------------------------------------------------------

def test_run_python_captures_c_level_output(script, run_python):
    code = ("import ctypes, sys\n"
            "from scripted import control\n"
            "control.load_engine()\n"
            "ctypes.CDLL(None).printf(b'from C: %d', 42)\n"
            "sys.stderr.write('err')\n"
            "sys.exit(3)\n")
    assert run_python(code) == (3, "from C: 42", "err")


def test_sqlstate_is_recorded_and_answered_within_six_bytes(script, lib):
    h = handle(7)
    buf = sentinel_buffer(16)
    assert lib.cli_sqlstate(byref(h), buf) == 0
    assert buf.raw[:1] == b"\0" and buf.raw[1:] == b"\xaa" * 15
    script.script("cli_sqlstate", {"text": "23505"}, {"text": "4200099"})
    lib.cli_sqlstate(byref(h), buf)
    assert buf.raw[:6] == b"23505\0"
    buf = sentinel_buffer(16)
    lib.cli_sqlstate(byref(h), buf)
    assert buf.raw[:6] == b"42000\0" and buf.raw[6:] == b"\xaa" * 10
    assert script.calls("cli_sqlstate") == [(7, None)] * 3


# ---- planted faults and live resources ------------------------------------------

def test_a_planted_fault_answers_its_call_once(script, lib):
    script.script("cli_exec_direct", {"result": 4}, {"result": 5})
    script.inject(1, "cli_exec_direct", {"ret": -1})
    cells = [c_int32(0) for _ in range(3)]
    results = [handle(), handle(), handle()]
    rets = [lib.cli_exec_direct(byref(handle(1)), b"s", byref(r), *map(byref, cells))
            for r in results]
    # The faulted call used up its queued response and wrote no result.
    assert rets == [0, -1, 0] and script.fault_fired()
    assert [r.value for r in results] == [4, None, None]
    script.reset()
    script.inject(0, "cli_get_field", {"len": 0}, False)
    script.script("cli_get_field", {"data": b"abc", "ret": 3})
    n = c_int32(-9)
    buf = create_string_buffer(8)
    # Laid over the call's own response: the data and result stay.
    assert lib.cli_get_field(byref(handle(2)), 1, 2, buf, 8, byref(n)) == 3
    assert (n.value, buf.value) == (0, b"abc")


def test_live_resources(script, lib):
    h, attrs, r = handle(), handle(), handle()
    assert lib.cli_connect_multi(b"IP=a,b", 1, byref(attrs), byref(h)) == 0
    script.script("cli_exec_direct", {"result": 8})
    lib.cli_exec_direct(byref(h), b"s", byref(r), None, None, None)
    lib.cli_prepare(byref(h), b"s", 0)
    lib.cli_open_named_cursor(byref(h), b"c1", byref(handle()))
    assert script.live() == {"conns": [1], "attrs": [501], "results": [8], "prepared": [1],
                             "named": ["1:c1"], "lobs": []}
    lib.cli_free_result(byref(r))
    lib.cli_close_named_cursor(byref(h), b"c1")
    lib.cli_free_addr_attrs(byref(attrs))
    lib.cli_disconnect(byref(h))  # gives back the prepared statement too
    assert not any(script.live().values())
    script.script("cli_exec_command", {"ret": 1})
    script.clear_queues()
    assert lib.cli_exec_command(byref(handle(1)), b"x") == 0

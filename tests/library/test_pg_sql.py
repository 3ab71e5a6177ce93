"""The PostgreSQL engine's SQL text scanner: statement splitting and the
rewrite of ?, :name, @name and $name placeholders into $1..$k.

Driven through vesk_test_pg_split, which only a test build of the library
exports; against a shipped build the whole module is skipped.  Each result is
a list of (statement text, params), params being "p<k>" for positional value
k (0-based) or the placeholder's name as written."""
import ctypes
import re
import threading

import pytest


class Refused(Exception):
    pass


@pytest.fixture(scope="module")
def split_fn(lib):
    try:
        fn = lib.dll.vesk_test_pg_split
    except AttributeError:
        pytest.skip("library built without test hooks (no vesk_test_pg_split)")
    fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32]
    fn.restype = ctypes.c_int
    return fn


_UNESCAPE = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}


def _decode(dump, count):
    lines = dump.split("\n")
    assert lines[-1] == "" and len(lines) == count + 1, dump
    out = []
    for line in lines[:-1]:
        text, tab, params = line.rpartition("\t")
        assert tab, line
        text = re.sub(r"\\(.)", lambda m: _UNESCAPE[m.group(1)], text)
        out.append((text, params.split(",") if params else []))
    return out


def run(fn, sql):
    data = sql.encode("utf-8") if isinstance(sql, str) else sql
    cap = 64 * len(data or b"") + 4096
    while True:
        buf = ctypes.create_string_buffer(cap)
        n = fn(data, buf, cap)
        if len(buf.value) < cap - 1:
            break
        cap *= 4
    text = buf.value.decode("utf-8")
    if n < 0:
        assert n == -1
        raise Refused(text)
    return _decode(text, n)


@pytest.fixture
def split(split_fn):
    return lambda sql: run(split_fn, sql)


def one(split, sql):
    stmts = split(sql)
    assert len(stmts) == 1, stmts
    return stmts[0]


def refused(split, sql):
    with pytest.raises(Refused) as e:
        split(sql)
    return str(e.value)


# ---- positional ? ---------------------------------------------------------

@pytest.mark.parametrize("sql, text, params", [
    ("select ?", "select $1", ["p0"]),
    ("insert into t values (?,?,?)", "insert into t values ($1,$2,$3)", ["p0", "p1", "p2"]),
    ("select x from t where a=? and b<>?", "select x from t where a=$1 and b<>$2", ["p0", "p1"]),
    ("select ?::int, ?::text", "select $1::int, $2::text", ["p0", "p1"]),
    # jsonb's ? operators cannot be told apart: every top-level ? is a value
    ("select j ? 'k', j ?| a, j ?& b", "select j $1 'k', j $2| a, j $3& b", ["p0", "p1", "p2"]),
    ("select ??", "select $1 $2", ["p0", "p1"]),
])
def test_positional_rewrite(split, sql, text, params):
    assert one(split, sql) == (text, params)


def test_positional_values_count_across_statements(split):
    assert split("select ?, ?; select ?; select 1; select ?, '?'") == [
        ("select $1, $2", ["p0", "p1"]),
        (" select $1", ["p2"]),
        (" select 1", []),
        (" select $1, '?'", ["p3"]),
    ]


def test_question_marks_in_skipped_text_take_no_value(split):
    sql = ("select '?', \"?\", E'\\'?', $$?$$, $t$?$t$ /* ? /* ? */ ? */ -- ?\n, ?;"
           " select ?")
    assert split(sql) == [
        ("select '?', \"?\", E'\\'?', $$?$$, $t$?$t$ /* ? /* ? */ ? */ -- ?\n, $1", ["p0"]),
        (" select $1", ["p1"]),
    ]


# ---- a blank keeps $n from fusing with its neighbour -----------------------

@pytest.mark.parametrize("sql, text", [
    ("select x from t where a=?and b=?", "select x from t where a=$1 and b=$2"),
    ("select * from t limit?", "select * from t limit $1"),
    ("select 1?", "select 1 $1"),
    ("select a:b", "select a $1"),
    ("select :a$", "select $1 $"),
    ("select ?_x", "select $1 _x"),
    # no blank where nothing would fuse
    ("select (?,?),[?],?||?", "select ($1,$2),[$3],$4||$5"),
    ("select f(:a,:b)", "select f($1,$2)"),
    ("select 'x'?", "select 'x'$1"),
])
def test_blank_only_where_tokens_would_fuse(split, sql, text):
    assert one(split, sql)[0] == text


# ---- named placeholders -----------------------------------------------------

@pytest.mark.parametrize("sql, text, params", [
    ("select :id", "select $1", [":id"]),
    ("select @id", "select $1", ["@id"]),
    ("select $id", "select $1", ["$id"]),
    ("select :_x1, :a_2b", "select $1, $2", [":_x1", ":a_2b"]),
    ("select :a, :b, :a", "select $1, $2, $1", [":a", ":b"]),
    ("select :a, @a, $a, :a, $a", "select $1, $2, $3, $1, $3", [":a", "@a", "$a"]),
    ("select :a, :A", "select $1, $2", [":a", ":A"]),
    ("select :a, ?, :a, ?, @a", "select $1, $2, $1, $3, $4", [":a", "p0", "p1", "@a"]),
    ("select :t.col, :a1.b", "select $1.col, $2.b", [":t", ":a1"]),
    ("select :a::int", "select $1::int", [":a"]),
    ("select $a.b", "select $1.b", ["$a"]),
    ("select x=@x", "select x=$1", ["@x"]),
])
def test_named_rewrite(split, sql, text, params):
    assert one(split, sql) == (text, params)


def test_named_numbering_restarts_in_each_statement(split):
    assert split("select :b, :a; select :a, :b, :b, ?") == [
        ("select $1, $2", [":b", ":a"]),
        (" select $1, $2, $2, $3", [":a", ":b", "p0"]),
    ]


# ---- look-alikes that are not placeholders ----------------------------------

@pytest.mark.parametrize("sql", [
    "select x::text, y :: int, z:::w",
    "select a[1:2], a[:3], a[2:]",
    "select tags @> array[1], tags <@ b, @ -5, @1",
    "select v @@ q, to_tsvector(d)@@to_tsquery(q), a@@@b",
    "select f(a := 1), :'var', :\"var\", @",
    "select foo$bar, a$1, x$, tab$$ from t$y",
    "select $ , $, $ $",
])
def test_not_placeholders(split, sql):
    assert one(split, sql) == (sql, [])


# ---- quoted text and comments ---------------------------------------------

@pytest.mark.parametrize("sql, text, params", [
    ("select 'it''s ? ;', ?", "select 'it''s ? ;', $1", ["p0"]),
    ("select '', '''', ?", "select '', '''', $1", ["p0"]),
    # standard strings: a backslash is an ordinary character
    ("select 'a\\', ?", "select 'a\\', $1", ["p0"]),
    ("select E'it\\'s ?;', ?", "select E'it\\'s ?;', $1", ["p0"]),
    ("select e'\\\\', ?", "select e'\\\\', $1", ["p0"]),
    ("select e'it\\'s ?', ?", "select e'it\\'s ?', $1", ["p0"]),
    ("select E'a''b?\\'c', ?", "select E'a''b?\\'c', $1", ["p0"]),
    # a name ending in E is no escape-string prefix
    ("select typE'a\\', ?", "select typE'a\\', $1", ["p0"]),
    ("select U&'d\\0061t?', U&\"?\", ?", "select U&'d\\0061t?', U&\"?\", $1", ["p0"]),
    ("select \"a\"\"?;b\", ?", "select \"a\"\"?;b\", $1", ["p0"]),
    ("select 1 as \"a;b\", ?", "select 1 as \"a;b\", $1", ["p0"]),
    ("select 1 -- ?; :a\n, ?", "select 1 -- ?; :a\n, $1", ["p0"]),
    ("select 1 -- ?\r, ?", "select 1 -- ?\r, $1", ["p0"]),
    ("select 1--?\n, ?", "select 1--?\n, $1", ["p0"]),
    ("select /* ? /* ; */ :a */ ?", "select /* ? /* ; */ :a */ $1", ["p0"]),
    ("select /*/ ? */ ?", "select /*/ ? */ $1", ["p0"]),
    ("select /**/?", "select /**/$1", ["p0"]),
])
def test_quoted_text_and_comments_are_copied(split, sql, text, params):
    assert one(split, sql) == (text, params)


@pytest.mark.parametrize("sql, params", [
    # a segment after a newline continues an E'' string, escapes included
    ("select E'a'\n'b\\'?', ?", ["p0"]),
    ("select E'a'  -- note ?\n  'b\\'?', ?", ["p0"]),
    ("select E'a'\r\n\t'b\\'?' \n 'c\\'?', ?", ["p0"]),
    # without a newline, or across a block comment, the next quote opens a
    # plain string in which the backslash is ordinary
    ("select E'a' 'b\\', ?", ["p0"]),
    ("select E'a' /* c */\n'b\\', ?", ["p0"]),
    ("select 'a'\n'b\\', ?", ["p0"]),
])
def test_escape_string_continuation(split, sql, params):
    text, got = one(split, sql)
    assert got == params
    assert text == sql[:sql.rindex("?")] + "$1"


# ---- dollar quotes ---------------------------------------------------------

@pytest.mark.parametrize("sql, text, params", [
    ("select $$?;:a$$, ?", "select $$?;:a$$, $1", ["p0"]),
    ("select $$$$, ?", "select $$$$, $1", ["p0"]),
    ("select $t$ it's ? $$ ; $t$, ?", "select $t$ it's ? $$ ; $t$, $1", ["p0"]),
    ("select $_$?$_$, $a1$?$a1$, ?", "select $_$?$_$, $a1$?$a1$, $1", ["p0"]),
    # tags are case-sensitive and an inner tag does not close the outer one
    ("select $T$ ? $t$ ; ? $T$, ?", "select $T$ ? $t$ ; ? $T$, $1", ["p0"]),
    ("select $f$ $q$;$q$ $f $f$, ?", "select $f$ $q$;$q$ $f $f$, $1", ["p0"]),
    ("select $ab$ $a $ab $abc$ $ab$, ?", "select $ab$ $a $ab $abc$ $ab$, $1", ["p0"]),
    # $name$ opens a quote, $name followed by anything else is a placeholder
    ("select $x, $x$?$x$, $x", "select $1, $x$?$x$, $1", ["$x"]),
    # glued to an identifier, $$ belongs to the identifier
    ("select tab$$?", "select tab$$ $1", ["p0"]),
])
def test_dollar_quotes(split, sql, text, params):
    assert one(split, sql) == (text, params)


def test_function_body_with_semicolons_stays_one_statement(split):
    body = ("CREATE FUNCTION f(x int) RETURNS int AS $body$\n"
            "DECLARE s text := 'a;b';\n"
            "BEGIN\n"
            "  x := x + 1; -- ?\n"
            "  RETURN x + $1 + (SELECT $q$;$q$::int);\n"
            "END;\n"
            "$body$ LANGUAGE plpgsql")
    assert split(body + "; SELECT f(?); DO $$ BEGIN PERFORM 1; END $$") == [
        (body, []),
        (" SELECT f($1)", ["p0"]),
        (" DO $$ BEGIN PERFORM 1; END $$", []),
    ]


# ---- splitting ---------------------------------------------------------------

@pytest.mark.parametrize("sql, stmts", [
    ("", []),
    (";;;", []),
    ("  \n\t ", []),
    (" -- only a comment", []),
    ("/* a */ ; -- b\n ; \n", []),
    ("select 1;", [("select 1", [])]),
    ("  select 1 ;\n select 2\n", [("  select 1 ", []), ("\n select 2\n", [])]),
    ("select 1;;  ; /* c */ ;select 2; -- end", [("select 1", []), ("select 2", [])]),
    ("select 1 -- c ; d\n; select 2", [("select 1 -- c ; d\n", []), (" select 2", [])]),
    ("/* lead */ select 1", [("/* lead */ select 1", [])]),
])
def test_split(split, sql, stmts):
    assert split(sql) == stmts


def test_null_text_has_no_statements(split_fn):
    assert run(split_fn, None) == []


# ---- unterminated constructs run to the end of the text --------------------

@pytest.mark.parametrize("sql", [
    "select 'abc; select ?",
    "select E'abc\\'; select ?",
    "select \"abc; select ?",
    "select $$abc; select ?",
    "select $t$abc $t; select ? $T$",
    "select /* abc /* */ ; select ?",
    "select E'a'\n'b\\'; select ?",
])
def test_unterminated_runs_to_the_end(split, sql):
    assert split(sql) == [(sql, [])]


def test_unterminated_comment_alone_is_kept_for_the_server(split):
    assert split("select ?; /* open ; ?") == [("select $1", ["p0"]), (" /* open ; ?", [])]


def test_line_comment_at_end_of_text_is_not_an_open_construct(split):
    assert split("select ?; -- done ; ?") == [("select $1", ["p0"])]


# ---- native $n ------------------------------------------------------------

@pytest.mark.parametrize("sql, params", [
    ("select $1, $2", ["p0", "p1"]),
    ("select $2, $2", ["p0", "p1"]),
    ("select $3", ["p0", "p1", "p2"]),
    ("select $0002", ["p0", "p1"]),
    ("select $1::int, '$9', $$ $9 $$, \"$9\", $2", ["p0", "p1"]),
    ("select $0", []),
    ("select a$9, $1", ["p0"]),
])
def test_native_numbered_parameters(split, sql, params):
    assert one(split, sql) == (sql, params)


def test_native_parameters_take_positions_of_the_whole_text(split):
    assert split("select ?, ?; select $2; select ?") == [
        ("select $1, $2", ["p0", "p1"]),
        (" select $2", ["p0", "p1"]),
        (" select $1", ["p2"]),
    ]


@pytest.mark.parametrize("sql, which", [
    ("select $1, ?", 1),
    ("select ?, $1", 1),
    ("select :a, $1", 1),
    ("select $1, @a", 1),
    ("select $2, $x", 1),
    ("select 1; select $1, ?", 2),
    ("select $1; select 2; select ? || $1", 3),
])
def test_mixing_native_and_rewritten_is_refused(split, sql, which):
    msg = refused(split, sql)
    assert "mixes" in msg and ("statement %d " % which) in msg


def test_native_in_skipped_text_does_not_mix(split):
    assert one(split, "select '$1', $$ $1 $$, ? /* $1 */") == (
        "select '$1', $$ $1 $$, $1 /* $1 */", ["p0"])


# ---- limits ----------------------------------------------------------------

def test_positional_limit_per_statement(split):
    text, params = one(split, "select " + ",".join(["?"] * 65535))
    assert len(params) == 65535 and params[-1] == "p65534" and text.endswith(",$65535")
    assert "65535" in refused(split, "select " + ",".join(["?"] * 65536))


def test_limit_is_per_statement_not_per_text(split):
    stmts = split("select " + ",".join(["?"] * 40000) + "; select " + ",".join(["?"] * 40000))
    assert [len(p) for _, p in stmts] == [40000, 40000]
    assert stmts[1][1][0] == "p40000" and stmts[1][1][-1] == "p79999"


def test_named_limit_counts_distinct_names(split):
    text, params = one(split, "select " + ",".join([":same"] * 70000))
    assert params == [":same"] and text == "select " + ",".join(["$1"] * 70000)
    many = "select " + ",".join(":n%d" % i for i in range(65536))
    assert "65535" in refused(split, many)


def test_native_limit(split):
    assert len(one(split, "select $65535")[1]) == 65535
    assert "65535" in refused(split, "select $65536")
    assert "65535" in refused(split, "select $" + "9" * 30)


# ---- multi-byte UTF-8 ----------------------------------------------------------

@pytest.mark.parametrize("sql, text, params", [
    ("select 'é?', ?", "select 'é?', $1", ["p0"]),
    ("select :имя, :имя, @名前", "select $1, $1, $2", [":имя", "@名前"]),
    ("select :a€b, ?", "select $1, $2", [":a€b", "p0"]),
    ("select $é$ ? ; $é$, $é", "select $é$ ? ; $é$, $1", ["$é"]),
    ("select café?, ?é", "select café $1, $2 é", ["p0", "p1"]),
    ("select \"naïve?\" from t where ñ=?", "select \"naïve?\" from t where ñ=$1", ["p0"]),
    ("select 1 -- ✓ ?\n, ✓?", "select 1 -- ✓ ?\n, ✓ $1", ["p0"]),
])
def test_utf8_around_placeholders(split, sql, text, params):
    assert one(split, sql) == (text, params)


# ---- scale: no quadratic paths ---------------------------------------------

@pytest.mark.parametrize("sql", [
    # a long tag and a body full of near-misses of it
    "select $" + "t" * 20000 + "$" + ("$" + "t" * 19999 + "x") * 100 + ";",
    # deep comment nesting
    "select " + "/*" * 200000 + "*/" * 200000 + " ?",
    # many statements and placeholders
    "select ?, :a, :a;" * 100000,
    "select " + ",".join(":n%d" % (i % 60000) for i in range(300000)),
])
@pytest.mark.not_sanitized("a bound on time: instrumented code runs several times slower")
def test_large_inputs_are_linear(split, sql):
    # A quadratic walk over these texts would run for hours; a linear one
    # takes well under a second.  The limit only keeps a regression from
    # hanging the run, so it is far above any load the machine may carry.
    done = threading.Event()
    worker = threading.Thread(target=lambda: (split(sql), done.set()), daemon=True)
    worker.start()
    worker.join(120.0)
    assert done.is_set(), "splitting did not finish: a quadratic path?"


# ---- the test export's buffer handling ----------------------------------------

def test_dump_is_bounded_and_terminated(split_fn):
    buf = ctypes.create_string_buffer(b"\xff" * 16)
    assert split_fn(b"select 1; select ?", buf, 8) == 2
    assert buf.raw[:8] == b"select \x00" and buf.raw[8:16] == b"\xff" * 8
    assert split_fn(b"select $1, ?", buf, 5) == -1
    assert buf.raw[4] == 0

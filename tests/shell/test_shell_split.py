"""Cutting input into statements: quotes, comments, dollar-quoted bodies,
bodies with inner ";", text fed piece by piece, and what the end of the
input does to a statement left open."""
import pytest

from vkcondb.shell_split import IncompleteInput, Splitter, split_statements


def texts(text, dialect="sqlite"):
    return [s.text for s in split_statements(text, dialect)]


@pytest.mark.parametrize("dialect", ["sqlite", "postgres"])
def test_semicolons_inside_quotes_and_comments_do_not_end_a_statement(dialect):
    text = ("select 'a;b', 'it''s;' from t; select \"x;\"\"y\" from u;\n"
            "select 1 -- not here; nor here\n + 2; /* ; */ select 3")
    assert texts(text, dialect) == [
        "select 'a;b', 'it''s;' from t;",
        "select \"x;\"\"y\" from u;",
        "select 1 -- not here; nor here\n + 2;",
        "/* ; */ select 3",
    ]


def test_quotes_of_the_embedded_engine():
    assert texts("select `a;` from [b;c]; select 2") == ["select `a;` from [b;c];", "select 2"]
    # Comments do not nest there: the first */ ends the comment.
    assert texts("/* a /* b */ select 1; select 2;") == ["/* a /* b */ select 1;", "select 2;"]


def test_postgres_dollar_quotes_escapes_and_nested_comments():
    text = ("create function f() returns text as $body$ begin return '$$;'; end $body$ "
            "language plpgsql;\n"
            "select $$a;b$$, $q$ $$ ; $q$;\n"
            "select E'it\\'s;', 'back\\';\n"
            "select x$y, $1 from t; /* outer /* inner; */ still; */ select 4;")
    assert texts(text, "postgres") == [
        "create function f() returns text as $body$ begin return '$$;'; end $body$ "
        "language plpgsql;",
        "select $$a;b$$, $q$ $$ ; $q$;",
        "select E'it\\'s;', 'back\\';",
        "select x$y, $1 from t;",
        "/* outer /* inner; */ still; */ select 4;",
    ]


def test_bodies_with_inner_semicolons():
    trigger = ("create trigger tr after insert on t begin\n"
               "  update u set n = case when new.a > 0 then 1 else 0 end;\n"
               "  delete from v;\nend;")
    assert texts(trigger + " begin; select 1;") == [trigger, "begin;", "select 1;"]
    atomic = "create function g() returns int language sql begin atomic select 1; end;"
    assert texts(atomic + "select 2", "postgres") == [atomic, "select 2"]
    # A column called begin does not open a body; parentheses hold ";".
    assert texts("create table b(begin int); select 1") == ["create table b(begin int);",
                                                            "select 1"]
    rule = "create rule r as on insert to t do instead (insert into a values (1); select 1);"
    assert texts(rule + " select 2", "postgres") == [rule, "select 2"]


def test_empty_statements_and_lone_comments_are_dropped():
    assert texts(";; ;\n-- only a comment\n/* and another */") == []
    assert texts("select 1;;select 2") == ["select 1;", "select 2"]


def test_statements_know_their_first_line_and_words():
    statements = split_statements("\n\n-- note\n  select\n 1;\n\ncopy t to 'x' ;"
                                  "copy t from stdin", "postgres")
    assert [s.line for s in statements] == [4, 7, 7]
    assert statements[1].words == ["COPY", "T", "TO"]
    assert statements[2].words == ["COPY", "T", "FROM", "STDIN"]


@pytest.mark.parametrize("text, inside", [
    ("select 'abc", "a quoted text"),
    ("select $$ abc", "a dollar-quoted body"),
    ("select 1 /* abc", "a /* comment"),
    ("create trigger tr after insert on t begin delete from u;", "BEGIN ... END body"),
])
def test_input_ending_inside_a_quote_comment_or_body_is_incomplete(text, inside):
    with pytest.raises(IncompleteInput) as caught:
        split_statements("select 0;\n" + text, "postgres")
    assert inside in str(caught.value) and "line 2" in str(caught.value)


def test_feeding_piece_by_piece_keeps_quotes_cut_between_pieces():
    splitter = Splitter("postgres")
    pieces = ["select 1; create function f() returns int as $bo", "dy$ select 1; $b",
              "ody", "$ language sql;", " select 'a'", "'b", "'; sel", "ect 3"]
    done = []
    states = []
    for piece in pieces:
        done.extend(s.text for s in splitter.feed(piece))
        states.append((splitter.idle, splitter.open_quote))
    done.extend(s.text for s in splitter.finish())
    assert done == ["select 1;",
                    "create function f() returns int as $body$ select 1; $body$ language sql;",
                    "select 'a''b';", "select 3"]
    assert states[1] == (False, "$")
    assert states[3] == (True, "")


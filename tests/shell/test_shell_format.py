"""How values and results show: one line per cell whatever the value holds,
numbers right-aligned, wide characters measured, and the lines after a
table or a statement without rows."""
import datetime
import decimal
import io

import pytest

from vkcondb.shell_format import TableWriter, cell_text, changed_note, rows_note


@pytest.mark.parametrize("value, shown", [
    (None, "NULL"),
    ("two\nlines\tand\rmore", "two\\nlines\\tand\\rmore"),
    ("back\\slash \\n", "back\\\\slash \\\\n"),    # tells a backslash from an escape
    ("bell\x07 del\x7f sep\u2028", "bell\\x07 del\\x7f sep\\u2028"),
    (b"\x00\xff", "\\x00ff"),
    (True, "true"),
    (-2e20, "-2e+20"),
    (decimal.Decimal("1.50"), "1.50"),
    (datetime.datetime(2024, 1, 2, 3, 4, 5), "2024-01-02 03:04:05"),
])
def test_cell_text(value, shown):
    assert cell_text(value) == shown


def test_long_bytes_show_their_start_and_length():
    assert cell_text(bytes(range(64))) == "\\x" + bytes(range(64)).hex()
    assert cell_text(bytes(range(65))) == "\\x%s... (65 bytes)" % bytes(range(32)).hex()


def table(names, *blocks, **kwargs):
    out = io.StringIO()
    writer = TableWriter(out, names, **kwargs)
    for block in blocks:
        writer.write_block(block)
    writer.finish()
    return out.getvalue().splitlines()


def test_table_aligns_numbers_right_and_text_left():
    assert table(["id", "name", "price"],
                 [(1, "tea", 2.5), (10, None, None), (None, "日本", 10.0)]) == [
        "  id | name | price",
        "-----+------+------",
        "   1 | tea  |   2.5",
        "  10 | NULL |  NULL",
        "NULL | 日本 |  10.0",          # wide characters take two columns
    ]


def test_a_column_is_numeric_only_when_every_value_is_a_number():
    # bool is an int to Python, but not a number to show.
    assert table(["a", "b", "c"], [(1, True, None), ("x", False, None)]) == [
        "a | b     | c",
        "--+-------+-----",
        "1 | true  | NULL",
        "x | false | NULL",
    ]


def test_an_empty_result_shows_its_header():
    assert table(["a", "bb"]) == ["a | bb", "--+---"]


def test_notes_after_a_result():
    assert rows_note(1) == "(1 row)"
    assert rows_note(3, elapsed=0.0021) == "(3 rows, 0.002 s)"
    assert rows_note(1000, 234) == "(1000 rows shown, 234 more not shown)"
    assert rows_note(5, 3000, more_exact=False) == "(5 rows shown, at least 3000 more not shown)"
    assert changed_note() == "OK"
    assert changed_note(1, 0.5) == "OK, 1 row changed (0.500 s)"
    assert changed_note(0) == "OK, 0 rows changed"

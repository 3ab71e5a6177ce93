"""How the shell shows values and results.

A result is an aligned table: the column names, a line of dashes, then
the rows, columns parted by " | ".  Numbers are right-aligned, everything
else left-aligned.  Each value takes one line:

- NULL shows as the NULL marker ("NULL" unless chosen otherwise);
- text is shown as it is, except that control characters are escaped
  (\\n, \\r, \\t, \\xNN, \\uNNNN) and a backslash shows as \\\\, so
  every cell reads back unambiguously;
- bytes show as \\x followed by hex digits; past 64 bytes the first 32
  are shown, then "... (N bytes)";
- floats as Python writes them (1.5, 1e+20, inf, nan), booleans as
  true/false, dates and times in ISO form.
"""
import datetime
import decimal
import re
import unicodedata

__all__ = ["cell_text", "display_width", "TableWriter", "rows_note", "changed_note"]

BYTES_SHOWN_WHOLE = 64
BYTES_SHOWN_CUT = 32

_ESCAPED = re.compile("[\\\\\x00-\x1f\x7f-\x9f\u2028\u2029]")
_NAMED_ESCAPES = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape_one(match):
    ch = match.group(0)
    named = _NAMED_ESCAPES.get(ch)
    if named is not None:
        return named
    code = ord(ch)
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code


def escape_text(text):
    return _ESCAPED.sub(_escape_one, text)


def _bytes_text(value):
    data = bytes(value)
    if len(data) <= BYTES_SHOWN_WHOLE:
        return "\\x" + data.hex()
    return "\\x%s... (%d bytes)" % (data[:BYTES_SHOWN_CUT].hex(), len(data))


def cell_text(value, null="NULL"):
    """The one-line text a value shows as."""
    if value is None:
        return null
    if isinstance(value, str):
        return escape_text(value)
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return _bytes_text(value)
    if isinstance(value, (datetime.datetime, datetime.time)):
        return escape_text(value.isoformat(" ") if isinstance(value, datetime.datetime)
                           else value.isoformat())
    return escape_text(str(value))


def is_number(value):
    return (isinstance(value, (int, float, decimal.Decimal))
            and not isinstance(value, bool))


def display_width(text):
    """Terminal columns `text` takes: wide East Asian characters take two,
    combining marks none."""
    if text.isascii():
        return len(text)
    width = 0
    for ch in text:
        if unicodedata.combining(ch) or unicodedata.category(ch) in ("Mn", "Me", "Cf"):
            continue
        width += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return width


class TableWriter(object):
    """Writes one result as an aligned table to `out` (a text stream).

    The columns are measured on the first block of rows given to
    `write_block`; a later block may widen a column (its rows are then
    aligned on the wider measure), so a result can be written as it is
    read without holding all of it.
    """

    def __init__(self, out, names, null="NULL"):
        self.out = out
        self.null = null
        self.names = [escape_text(str(name)) for name in names]
        self.widths = [display_width(name) for name in self.names]
        self.numeric = None       # per column, decided on the first block
        self.started = False

    def _texts(self, rows):
        null = self.null
        return [[cell_text(v, null) for v in row] for row in rows]

    def write_block(self, rows):
        texts = self._texts(rows)
        widths = self.widths
        for row in texts:
            for i, text in enumerate(row):
                w = display_width(text)
                if w > widths[i]:
                    widths[i] = w
        if not self.started:
            self.numeric = [self._numeric_column(rows, i) for i in range(len(self.names))]
            self._write_header()
            self.started = True
        lines = [self._line(row) for row in texts]
        if lines:
            self.out.write("\n".join(lines) + "\n")

    def finish(self):
        if not self.started:
            self.write_block([])

    @staticmethod
    def _numeric_column(rows, i):
        seen = False
        for row in rows:
            value = row[i]
            if value is None:
                continue
            if not is_number(value):
                return False
            seen = True
        return seen

    def _write_header(self):
        self.out.write(self._line(self.names) + "\n")
        self.out.write("-+-".join("-" * w for w in self.widths) + "\n")

    def _line(self, texts):
        parts = []
        for i, text in enumerate(texts):
            pad = " " * (self.widths[i] - display_width(text))
            parts.append(pad + text if self.numeric[i] else text + pad)
        return " | ".join(parts).rstrip()


def _seconds(elapsed):
    return "" if elapsed is None else "%.3f s" % elapsed


def _count(n, what="row"):
    return "%d %s%s" % (n, what, "" if n == 1 else "s")


def rows_note(shown, more=0, more_exact=True, elapsed=None):
    """The line after a table: "(3 rows, 0.002 s)", or with rows left out
    "(1000 rows shown, 234 more not shown, 0.010 s)"."""
    if more or not more_exact:
        parts = ["%d rows shown" % shown,
                 ("%d more not shown" if more_exact else "at least %d more not shown") % more]
    else:
        parts = [_count(shown)]
    if elapsed is not None:
        parts.append(_seconds(elapsed))
    return "(%s)" % ", ".join(parts)


def changed_note(changed=None, elapsed=None):
    """The line for a statement without rows: "OK", "OK, 3 rows changed",
    each with the time in parentheses."""
    text = "OK" if changed is None else "OK, %s changed" % _count(changed)
    if elapsed is not None:
        text += " (%s)" % _seconds(elapsed)
    return text

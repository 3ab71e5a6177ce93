"""Cutting SQL text into statements for the interactive shell.

A statement ends at a ";" that stands outside string literals, quoted
names, comments and parentheses.  The two engines differ in what quotes
exist:

- "sqlite": '...', "...", `...` and [...]; comments -- and /* */.
- "postgres": '...', E'...' (backslash escapes), "...", dollar-quoted
  bodies $$...$$ and $tag$...$tag$; comments -- and nested /* */.

In a statement that starts with CREATE, a BEGIN outside parentheses opens
a body (a trigger's, or a function's BEGIN ATOMIC) whose inner ";" do not
end the statement; CASE ... END pairs inside such a body are counted, and
the END that closes the body does.

The splitter is fed text piece by piece (a line at a time, say) and keeps
its place, so text of any length is scanned once.
"""
import re

__all__ = ["Statement", "Splitter", "IncompleteInput", "split_statements"]

# Scanning states.
NORMAL, LINE_COMMENT, BLOCK_COMMENT, QUOTE, DOLLAR = range(5)

_DOLLAR_TAG = re.compile(r"\$(?:[A-Za-z_\x80-\U0010ffff][A-Za-z0-9_\x80-\U0010ffff]*)?\$")
_DOLLAR_OPEN_END = re.compile(r"\$[A-Za-z0-9_\x80-\U0010ffff]*\Z")
_WORD = re.compile(r"[A-Za-z0-9_$\x80-\U0010ffff]+")


def _word_char(ch):
    return ch.isalnum() or ch in "_$" or ord(ch) >= 0x80


class IncompleteInput(ValueError):
    """The text ended inside a quote, a comment or a body."""


class Statement(object):
    """One statement: its text (ending with ";" when it had one), the line
    it starts on (counted from 1) and its words outside quotes and
    comments, in upper case."""

    __slots__ = ("text", "line", "words")

    def __init__(self, text, line, words):
        self.text = text
        self.line = line
        self.words = words

    @property
    def first_word(self):
        return self.words[0] if self.words else ""

    def __repr__(self):
        return "Statement(%r, line=%d)" % (self.text, self.line)


class Splitter(object):
    def __init__(self, dialect="sqlite"):
        if dialect not in ("sqlite", "postgres"):
            raise ValueError("unknown dialect %r" % dialect)
        self._pg = dialect == "postgres"
        self._buf = ""
        self._line = 1           # the line the statement's text starts on
        self._start(0)

    def _start(self, at):
        """Set up for the next statement, whose text begins at _buf[at]."""
        self._begin = at         # where the statement's text begins in _buf
        self._pos = at           # next character of _buf to scan
        self._state = NORMAL
        self._close = ""         # what ends the quote or the dollar body
        self._escapes = False    # backslash escapes inside the quote
        self._comment_depth = 0
        self._parens = 0
        self._body = 0           # BEGIN ... END nesting inside CREATE
        self._words = []
        self._first_line = 0     # the line of the first word
        self._content = False    # anything but blanks and comments seen

    def reset(self):
        """Drop the statement being collected (the next text fed starts a
        new one)."""
        self._drop(len(self._buf))

    def skip(self, text):
        """Pass over a line that holds no statement (a command of the
        shell's own) while idle; return the number of that line."""
        self.reset()
        line = self._line
        self._line += text.count("\n")
        return line

    # --- what the caller asks -------------------------------------------------
    @property
    def idle(self):
        """True when nothing but blanks and comments waits for its ";"."""
        return (self._state in (NORMAL, LINE_COMMENT) and not self._content
                and not self._buf[self._pos:].strip())

    @property
    def open_quote(self):
        """What the unfinished text is inside of: "'", '"', "`", "[", "$",
        "/*", "(" (parentheses or a body) or "" (nothing)."""
        if self._state == QUOTE:
            return "[" if self._close == "]" else self._close
        if self._state == DOLLAR:
            return "$"
        if self._state == BLOCK_COMMENT:
            return "/*"
        if self._parens or self._body:
            return "("
        return ""

    # --- feeding --------------------------------------------------------------
    def feed(self, text):
        """Add text; return the statements it completed."""
        if self._begin:
            # Keep only the statement being collected (once per piece: a
            # long piece holding many statements is not copied for each).
            self._buf = self._buf[self._begin:]
            self._pos -= self._begin
            self._begin = 0
        self._buf += text
        done = []
        self._scan(done, final=False)
        if self.idle and self._state == NORMAL:
            self._drop(len(self._buf))  # blanks and comments between statements
        return done

    def finish(self):
        """The end of the input: return the statements still held (a last
        one without ";" included) and start afresh.  Raises
        IncompleteInput when the text ends inside a quote, a comment or a
        body; the held text is dropped then too."""
        done = []
        self._scan(done, final=True)
        incomplete = self._state not in (NORMAL, LINE_COMMENT) or self._body
        if incomplete:
            what = {QUOTE: "a quoted text", DOLLAR: "a dollar-quoted body",
                    BLOCK_COMMENT: "a /* comment"}.get(self._state, "a BEGIN ... END body")
            line = self._first_line or self._line
            self.reset()
            raise IncompleteInput("the input ends inside %s (statement from line %d)"
                                  % (what, line))
        if self._content:
            done.append(self._take(len(self._buf)))
        self.reset()
        return done

    # --- the scanner ----------------------------------------------------------
    def _drop(self, end):
        """Forget the text up to _buf[end], which holds no statement, and
        start the next statement there."""
        self._line += self._buf.count("\n", self._begin, end)
        self._start(end)

    def _take(self, end):
        statement = Statement(self._buf[self._begin:end].strip(), self._first_line,
                              self._words)
        self._drop(end)
        return statement

    def _mark_content(self, pos):
        if not self._content:
            self._content = True
            self._first_line = self._line + self._buf.count("\n", self._begin, pos)

    def _note_word(self, word):
        words = self._words
        words.append(word)
        if words[0] != "CREATE" or self._parens:
            return
        if word == "BEGIN" and not self._body:
            self._body = 1
        elif self._body and word == "CASE":
            self._body += 1
        elif self._body and word == "END":
            self._body -= 1

    def _scan(self, done, final):
        buf = self._buf
        pos = self._pos
        n = len(buf)
        pg = self._pg
        while pos < n:
            state = self._state
            ch = buf[pos]
            if state == NORMAL:
                if ch in " \t\r\n\f\v":
                    pos += 1
                elif ch == "-" or ch == "/":
                    if pos + 1 >= n and not final:
                        break                       # "--" or "/*" may follow
                    pair = buf[pos:pos + 2]
                    if pair == "--":
                        self._state = LINE_COMMENT
                        pos += 2
                    elif pair == "/*":
                        self._state = BLOCK_COMMENT
                        self._comment_depth = 1
                        pos += 2
                    else:
                        self._mark_content(pos)
                        pos += 1
                elif ch == ";" and not self._parens and not self._body:
                    pos += 1
                    if self._content:
                        done.append(self._take(pos))
                    else:
                        self._drop(pos)
                elif ch in "'\"" or (not pg and ch in "`["):
                    self._mark_content(pos)
                    self._state = QUOTE
                    self._close = "]" if ch == "[" else ch
                    self._escapes = False
                    pos += 1
                elif ch == "$" and pg:
                    if not final and _DOLLAR_OPEN_END.match(buf, pos):
                        break                       # the tag may go on
                    self._mark_content(pos)
                    m = _DOLLAR_TAG.match(buf, pos)
                    if m is None:                   # $1 and the like
                        pos = _WORD.match(buf, pos).end()
                    else:
                        self._state = DOLLAR
                        self._close = m.group(0)
                        pos = m.end()
                elif _word_char(ch):
                    end = _WORD.match(buf, pos).end()
                    if end == n and not final:
                        break                       # the word may go on
                    self._mark_content(pos)
                    word = buf[pos:end]
                    if pg and word in ("E", "e") and end < n and buf[end] == "'":
                        self._state = QUOTE
                        self._close = "'"
                        self._escapes = True
                        pos = end + 1
                        continue
                    self._note_word(word.upper())
                    pos = end
                else:
                    self._mark_content(pos)
                    if ch == "(":
                        self._parens += 1
                    elif ch == ")" and self._parens:
                        self._parens -= 1
                    pos += 1
            elif state == LINE_COMMENT:
                end = buf.find("\n", pos)
                if end < 0:
                    pos = n
                else:
                    self._state = NORMAL
                    pos = end + 1
            elif state == BLOCK_COMMENT:
                if ch == "*" or ch == "/":
                    if pos + 1 >= n and not final:
                        break
                    pair = buf[pos:pos + 2]
                    if pair == "*/":
                        self._comment_depth -= 1
                        if not self._comment_depth:
                            self._state = NORMAL
                        pos += 2
                    elif pair == "/*" and pg:
                        self._comment_depth += 1
                        pos += 2
                    else:
                        pos += 1
                else:
                    stop = _next_of(buf, pos, "*/")
                    pos = n if stop < 0 else stop
            elif state == QUOTE:
                close = self._close
                if self._escapes and ch == "\\":
                    if pos + 1 >= n and not final:
                        break
                    pos += 2
                elif ch == close:
                    if close != "]":
                        if pos + 1 >= n and not final:
                            break                   # a doubled quote may follow
                        if buf[pos + 1:pos + 2] == close:
                            pos += 2
                            continue
                    self._state = NORMAL
                    pos += 1
                else:
                    stop = _next_of(buf, pos, close + ("\\" if self._escapes else ""))
                    pos = n if stop < 0 else stop
            else:  # DOLLAR
                end = buf.find(self._close, pos)
                if end < 0:
                    # The closing tag may be cut by the end of this piece.
                    pos = n if final else max(pos, n - len(self._close) + 1)
                    break
                self._state = NORMAL
                pos = end + len(self._close)
        self._pos = min(pos, n)


def _next_of(buf, pos, chars):
    """The position of the first of `chars` at or after pos, or -1."""
    best = -1
    for c in chars:
        i = buf.find(c, pos)
        if i >= 0 and (best < 0 or i < best):
            best = i
    return best


def split_statements(text, dialect="sqlite"):
    """All statements of a complete text, a last one without ";" included.
    Raises IncompleteInput when the text ends inside a quote, a comment
    or a body."""
    splitter = Splitter(dialect)
    done = splitter.feed(text)
    done.extend(splitter.finish())
    return done

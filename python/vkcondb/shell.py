"""The shell's session: reads lines, runs the statements and commands they
hold on one connection, and prints what each gives.

`python -m vkcondb` (see __main__.py) builds a Shell and calls
`interact()` when its input is a terminal, else `run_lines()`.
"""
import os
import signal
import sys
import time

import vkcondb

from .shell_commands import EMBEDDED, POSTGRES, Commands
from .shell_format import TableWriter, changed_note, rows_note
from .shell_split import IncompleteInput, Splitter

__all__ = ["Shell", "EMBEDDED", "POSTGRES", "error_text"]

FETCH_BATCH = 1000
HISTORY_LENGTH = 2000

# Statements whose rows changed the embedded engine reports with changes().
_COUNTED_VERBS = ("INSERT", "UPDATE", "DELETE", "REPLACE")

# The DB-API kinds a library failure (an OperationalError) may also be.
_ERROR_KINDS = ("IntegrityError", "DataError", "ProgrammingError", "NotSupportedError",
                "InternalError")


def error_text(exc):
    """"IntegrityError: UNIQUE constraint failed: t.a (SQLSTATE 23505)":
    the DB-API class the failure is best known by, its message, its
    SQLSTATE when it has one."""
    name = type(exc).__name__
    if isinstance(exc, vkcondb.OperationalError):
        name = "OperationalError"
        for kind in _ERROR_KINDS:
            if isinstance(exc, getattr(vkcondb, kind)):
                name = kind
                break
    message = str(exc).strip() or "(no message)"
    sqlstate = getattr(exc, "sqlstate", None)
    if sqlstate:
        message += " (SQLSTATE %s)" % sqlstate
    return "%s: %s" % (name, message)


class Shell(object):
    """One session on an open connection.

    engine: EMBEDDED or POSTGRES (what the statements are split by and
    what the commands look up).  out and err: text streams for results
    and for errors.  After a run, `failed` says whether anything failed.
    """

    def __init__(self, conn, engine, out=None, err=None, max_rows=1000, null="NULL",
                 timing=True, bail=False):
        self.conn = conn
        self.engine = engine
        self.out = out if out is not None else sys.stdout
        self.err = err if err is not None else sys.stderr
        self.max_rows = max_rows
        self.null = null
        self.timing = timing
        self.bail = bail
        self.failed = False
        self.stopped = False      # .quit, or a failure under bail
        self.interactive = False
        self.source = None        # a file name for error messages
        self._command_line = None  # the line of the command running
        self.cur = conn.cursor()
        self.splitter = Splitter("postgres" if engine == POSTGRES else "sqlite")
        self.commands = Commands(self)

    # --- reporting -------------------------------------------------------------
    def report(self, message, line=None):
        """Write a failure to err and remember it."""
        self.failed = True
        if self.bail and not self.interactive:
            self.stopped = True
        where = ""
        if line is None:
            line = self._command_line
        if self.source is not None and line is not None:
            where = "%s:%d: " % (self.source, line)
        self.out.flush()
        self.err.write(where + message + "\n")
        self.err.flush()

    def _fresh_cursor(self):
        """Leave a result that was not read to its end behind."""
        try:
            self.cur.close()
        except Exception:
            pass
        self.cur = self.conn.cursor()

    # --- input -----------------------------------------------------------------
    def run_lines(self, lines, source=None):
        """Run every statement and command of `lines` (an iterable of
        lines, each ending with a newline but perhaps the last) until they
        end or a command or --bail stops the run.  A last statement without
        ";" runs too."""
        self.source = source
        for line in lines:
            self.feed_line(line)
            if self.stopped:
                self.splitter.reset()
                return
        try:
            statements = self.splitter.finish()
        except IncompleteInput as exc:
            self.report("incomplete input: %s" % exc)
            return
        for statement in statements:
            self.run_statement(statement)
            if self.stopped:
                return

    def feed_line(self, line):
        """One line of input: a command when it starts with "." or "\\"
        while no statement is being typed, else more statement text."""
        if self.splitter.idle and line.lstrip()[:1] in (".", "\\"):
            self._command_line = self.splitter.skip(line)
            try:
                self.commands.run(line)
            finally:
                self._command_line = None
            return
        for statement in self.splitter.feed(line):
            self.run_statement(statement)
            if self.stopped:
                return

    # --- statements ------------------------------------------------------------
    def run_statement(self, statement):
        """Run one statement and print its result; True when it succeeded."""
        words = statement.words
        if (self.engine == POSTGRES and statement.first_word == "COPY"
                and ("STDIN" in words or "STDOUT" in words)):
            self.report("COPY with STDIN or STDOUT cannot run in this shell: copy to or "
                        "from a file on the server, or use INSERT and SELECT",
                        statement.line)
            return False
        try:
            started = time.monotonic()
            self.cur.execute(statement.text)
            if self.cur.description is None:
                changed = self._changed(statement)
                elapsed = time.monotonic() - started
                self.out.write(changed_note(changed, elapsed if self.timing else None) + "\n")
            else:
                self._print_rows(started)
            return True
        except KeyboardInterrupt:
            self._fresh_cursor()
            if not self.interactive:
                raise
            self.report("interrupted")
            raise
        except BrokenPipeError:
            raise                 # nobody reads the results any more
        except Exception as exc:  # a shell goes on after any failure
            self._fresh_cursor()
            self.report(error_text(exc), statement.line)
            return False

    def _changed(self, statement):
        """How many rows a change statement changed, where the engine can
        say (the embedded engine's changes()); None elsewhere."""
        if self.engine != EMBEDDED or statement.first_word not in _COUNTED_VERBS:
            return None
        try:
            self.cur.execute("select changes()")
            return self.cur.fetchone()[0]
        except vkcondb.Error:
            return None

    def _print_rows(self, started):
        cur = self.cur
        writer = TableWriter(self.out, [d[0] for d in cur.description], self.null)
        limit = self.max_rows
        spent = time.monotonic() - started   # time in the engine, printing left out
        if not limit:
            shown = 0
            while True:
                t = time.monotonic()
                batch = cur.fetchmany(FETCH_BATCH)
                spent += time.monotonic() - t
                if not batch:
                    break
                writer.write_block(batch)
                shown += len(batch)
            writer.finish()
            self._rows_note(shown, 0, True, spent)
            return
        rows = []
        t = time.monotonic()
        while len(rows) < limit:
            batch = cur.fetchmany(min(FETCH_BATCH, limit - len(rows)))
            if not batch:
                break
            rows.extend(batch)
        spent += time.monotonic() - t
        more = 0
        exact = True
        if len(rows) == limit:
            writer.write_block(rows)
            self.out.flush()
            t = time.monotonic()
            try:
                while True:
                    batch = cur.fetchmany(FETCH_BATCH)
                    if not batch:
                        break
                    more += len(batch)
            except KeyboardInterrupt:
                if not self.interactive:
                    raise
                exact = False
                self._fresh_cursor()
            spent += time.monotonic() - t
        else:
            writer.write_block(rows)
        self._rows_note(len(rows), more, exact, spent)

    def _rows_note(self, shown, more, exact, spent):
        self.out.write(rows_note(shown, more, exact, spent if self.timing else None) + "\n")

    # --- helpers for the commands ----------------------------------------------
    def query(self, sql, params):
        """The rows of a catalog query, or None after reporting its failure."""
        try:
            self.cur.execute(sql, params)
            rows = []
            while True:
                batch = self.cur.fetchmany(FETCH_BATCH)
                if not batch:
                    return rows
                rows.extend(batch)
        except Exception as exc:
            self._fresh_cursor()
            self.report(error_text(exc))
            return None

    def show_query(self, sql, params):
        """Print the rows of a catalog query as a table; True on success."""
        rows = self.query(sql, params)
        if rows is None:
            return False
        writer = TableWriter(self.out, [d[0] for d in self.cur.description], self.null)
        writer.write_block(rows)
        self.out.write(rows_note(len(rows)) + "\n")
        return True

    # --- the terminal ----------------------------------------------------------
    def _prompt(self):
        if self.splitter.idle:
            return "vkcondb> "
        return "%7s> " % ("..." + self.splitter.open_quote)

    def interact(self, banner=""):
        """Read statements from the terminal until .quit or end of input."""
        self.interactive = True
        self.source = None
        _catch_interrupts()
        history = _History()
        if banner:
            self.out.write(banner)
        try:
            while not self.stopped:
                self.out.flush()
                try:
                    line = input(self._prompt())
                except EOFError:
                    self.out.write("\n")
                    if not self.splitter.idle:
                        self.err.write("(the unfinished statement was not run)\n")
                    break
                except KeyboardInterrupt:
                    self.splitter.reset()
                    self.out.write("\n")
                    continue
                try:
                    self.feed_line(line + "\n")
                except KeyboardInterrupt:
                    self.splitter.reset()
        finally:
            history.save()


def _catch_interrupts():
    """Ctrl-C must reach the session even when the shell was started with
    interrupts ignored (as a job started in the background by a script
    is)."""
    try:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    except (ValueError, OSError):  # not the main thread
        pass


def _history_path():
    path = os.environ.get("VKCONDB_HISTORY")
    if path is not None:
        return path or None  # set but empty: no history
    return os.path.join(os.path.expanduser("~"), ".vkcondb_history")


class _History(object):
    """Line editing and a history file, where readline is there; any
    failure to read or write the file is ignored."""

    def __init__(self):
        self.path = _history_path()
        try:
            import readline
        except ImportError:
            self.readline = None
            return
        self.readline = readline
        if self.path is None:
            return
        try:
            readline.set_history_length(HISTORY_LENGTH)
            readline.read_history_file(self.path)
        except (OSError, IOError):
            pass

    def save(self):
        if self.readline is None or self.path is None:
            return
        try:
            if not os.path.exists(self.path):
                # The history may hold passwords typed in statements.
                os.close(os.open(self.path, os.O_WRONLY | os.O_CREAT, 0o600))
            self.readline.write_history_file(self.path)
        except (OSError, IOError):
            pass

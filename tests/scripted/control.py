"""Control of the scripted engine, the test-only stand-in for vesksql.

The engine (module ``vkcondb._vkscript``) fills the library's hook table: while
it is installed every ``cli_*`` call is recorded with its arguments and
answered from what the test scripted.

    s = Script()
    s.install(); s.reset()
    s.script("cli_connect", {"ret": -1})          # the next connect fails
    s.default("cli_exec_command", {"ret": -4})    # every liveness check: lost
    s.table(7, [("id", 5, 4)], [[b"\\x01\\0\\0\\0"], [None]])
    ...
    assert s.ops() == ["cli_connect", ...]
    assert s.calls("cli_exec_command") == [(1, "commit;")]

Operation names may be given with or without their "cli_" prefix.

Every response is a dict whose keys are optional; a key that is left out
keeps the operation's default behaviour (the default override given with
``default()``, else the engine's own).  Queued responses win over tables.
"""
import ctypes
import gc
import glob
import importlib.machinery
import importlib.util
import os
import sys

__all__ = ["Script", "load_engine", "EngineUnavailable"]


# The engine loaded from its file when the package could not be imported.
_loaded = None


class EngineUnavailable(ImportError):
    """The engine module was not built or cannot be found."""


def _load_from_path():
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    for entry in sys.path:
        folder = os.path.join(entry or os.curdir, "vkcondb")
        for suffix in suffixes:
            for path in glob.glob(os.path.join(folder, "_vkscript" + suffix)):
                loader = importlib.machinery.ExtensionFileLoader("vkcondb._vkscript", path)
                found = importlib.util.spec_from_file_location(
                    "vkcondb._vkscript", path, loader=loader)
                module = importlib.util.module_from_spec(found)
                found.loader.exec_module(module)
                return module
    return None


def load_engine():
    """Return the engine module.

    It is imported as ``vkcondb._vkscript``; when the package itself cannot
    be imported (its driver module not built yet), the engine file is loaded
    straight from the package folder on sys.path, so the engine can be tested
    on its own.  Raises EngineUnavailable when it is nowhere to be found.
    """
    global _loaded
    try:
        from vkcondb import _vkscript
        return _vkscript
    except ImportError as exc:
        first = exc
    if _loaded is None:
        try:
            _loaded = _load_from_path()
        except ImportError as exc:
            first = exc
    if _loaded is None:
        raise EngineUnavailable(
            "vkcondb._vkscript is not importable (%s); configure with "
            "-DVKCONDB_TEST_ENGINE=ON and put <build>/python on PYTHONPATH" % (first,))
    return _loaded


def op(name):
    """The full operation name: "exec_direct" -> "cli_exec_direct"."""
    if not name.startswith("cli_"):
        name = "cli_" + name
    return name


class Script(object):
    """A thin, checked wrapper over the engine module."""

    def __init__(self, engine=None):
        self.engine = engine if engine is not None else load_engine()

    # -- installation -----------------------------------------------------
    # While the engine is installed it answers every call, frees included: a
    # result or connection of a real engine that the garbage collector frees
    # then would go to the script and never back to the library, and a
    # scripted handle freed after the engine is gone would go to the library.
    # So garbage waiting in reference cycles is collected on either side of
    # the switch.
    def install(self):
        gc.collect()
        self.engine.install()
        return self

    def uninstall(self):
        gc.collect()
        self.engine.uninstall()
        return self

    def installed(self):
        return self.engine.installed()

    def reset(self):
        """Forget every call, queue, default override, table, locator and
        bind; handle ids start again at 1 (attribute sets at 501, locators
        at 1000); logging is on again."""
        self.engine.reset()
        return self

    def logging(self, on):
        """Log every call (the default) or only answer them: loops of many
        thousand calls turn it off so the log does not grow."""
        self.engine.set_logging(on)
        return self

    # -- scripting ----------------------------------------------------------
    def script(self, op_name, *responses):
        """Queue responses for the next calls of op_name, first in first out."""
        self.engine.script(op(op_name), *responses)
        return self

    def default(self, op_name, response=None):
        """Replace op_name's default response; None restores the built-in one."""
        self.engine.set_default(op(op_name), response)
        return self

    def table(self, result_id, columns, rows, kind=4):
        """Queue a result set for result_id.

        columns: [(name, type_code, raw_size), ...]; rows: [[cell, ...], ...]
        where a cell is bytes, None (NULL) or {"data": b, "len": n, "type": t}.
        Several tables for one id are walked by cli_next_result.
        """
        self.engine.table(result_id, columns, rows, kind)
        return self

    def inject(self, index, op_name, response, replace=True):
        """Call `index` (counted from 0 since the reset) answers with
        `response` for op_name: alone when `replace`, else over what it would
        have answered.  The queue head of that call is used up either way."""
        self.engine.inject(index, op(op_name), response, replace)
        return self

    def clear_queues(self):
        """Drop the queued responses and default overrides, keeping the
        log, tables, locators and live-resource records."""
        self.engine.clear_queues()
        return self

    def fault_fired(self):
        return self.engine.fault_fired()

    # -- inspection ---------------------------------------------------------
    def calls(self, op_name=None):
        """All calls as (op_name, args); with op_name, just the args of that
        operation's calls."""
        log = self.engine.calls()
        if op_name is None:
            return log
        name = op(op_name)
        return [args for called, args in log if called == name]

    def ops(self):
        """The operation names of all calls, in order."""
        return [called for called, _ in self.engine.calls()]

    def last(self, op_name):
        """The args of the last call of op_name; AssertionError when none."""
        found = self.calls(op_name)
        assert found, "%s was never called; calls: %r" % (op(op_name), self.ops())
        return found[-1]

    def count(self, op_name):
        return len(self.calls(op_name))

    def pending(self, op_name=None):
        """Responses still queued: a count for one op, or {op: count}."""
        return self.engine.pending(op(op_name) if op_name else None)

    def errors(self):
        """Faults the engine saw in the calls it received (reads of freed
        locators, routine outputs for unbound positions...)."""
        return self.engine.errors()

    def lob(self, locator_id):
        """The bytes held by a live locator, or None."""
        return self.engine.lob(locator_id)

    def lobs(self):
        """The ids of the live locators (empty when every one was freed)."""
        return self.engine.lobs()

    def live(self):
        """What the module holds of the library: {"conns", "attrs",
        "results", "prepared", "named", "lobs": [ids or "conn:name"]}."""
        return self.engine.live()

    def op_names(self):
        return self.engine.op_names()

    def library(self):
        """ctypes access to the libvesksql.so the engine is linked with, for
        tests that call the library directly."""
        folder = os.path.dirname(os.path.abspath(self.engine.__file__))
        return ctypes.CDLL(os.path.join(folder, "libvesksql.so"))

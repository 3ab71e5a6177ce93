"""Shared test support.

- tests/ is put on sys.path, so tests can ``from scripted import control``.
- Fixture ``script``: the scripted engine installed and reset for one test,
  as a ``scripted.control.Script``; the test is skipped when the engine was
  not built (configure with -DVKCONDB_TEST_ENGINE=ON).
- Fixtures ``conn`` and ``cur``: a connection and a cursor on the scripted
  engine (test modules on the embedded engine define their own).
- ``run_python(code)`` (also a fixture of that name): runs a snippet in a
  fresh interpreter with the same module path and returns
  (returncode, stdout, stderr); stdout includes what C code printed.
- Marker ``not_sanitized(reason)``: the test is skipped under
  dev/sanitize.sh (see sanitized.py), for the reason given.
"""
import os
import subprocess
import sys

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
if TESTS_DIR not in sys.path:
    sys.path.insert(0, TESTS_DIR)

# SQLAlchemy's compliance suite runs under SQLAlchemy's own pytest plugin,
# in a pytest of its own: sqla_dialects/run_compliance.py.
collect_ignore = ["sqla_dialects/compliance", "sqla_dialects/run_compliance.py"]

import sanitized  # noqa: E402

# Importing pandas (numpy with it) leaves 53 blocks unfreed at the
# interpreter's exit, which LeakSanitizer reports even for a script that
# only builds a DataFrame without vkcondb: under the sanitizers the pandas
# tests are not even collected.  The driver paths they take run there
# through the ORM and value tests.
if sanitized.ACTIVE:
    collect_ignore.append("sqla_dialects/usage/test_pandas.py")
from scripted import control  # noqa: E402
from scripted.helpers import scripted_connect  # noqa: E402


def _forget_failure_frames():
    # A failed test leaves its frames (and so its connections and cursors)
    # reachable from sys.last_traceback.  They must go while the engine is
    # still installed: their destructors call the library with handle ids
    # that only the engine knows.  (Script.uninstall collects the garbage.)
    for name in ("last_type", "last_value", "last_traceback", "last_exc"):
        if hasattr(sys, name):
            setattr(sys, name, None)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_sanitized(reason): skipped under dev/sanitize.sh, for that reason")


def pytest_collection_modifyitems(config, items):
    if not sanitized.ACTIVE:
        return
    for item in items:
        marker = item.get_closest_marker("not_sanitized")
        if marker is not None:
            item.add_marker(pytest.mark.skip(
                reason="not under the sanitizers: %s" % marker.args[0]))


def pytest_make_parametrize_id(config, val, argname):
    # A long text or bytes value (the megabyte values of the large-value
    # tests) is named by its type and length: pytest would otherwise escape
    # the whole value into the test's id.
    if isinstance(val, (str, bytes)) and len(val) > 40:
        return "%s%d" % (type(val).__name__, len(val))
    return None


@pytest.fixture
def script():
    try:
        s = control.Script()
    except control.EngineUnavailable as exc:
        pytest.skip(str(exc))
    s.install()
    s.reset()
    try:
        yield s
    finally:
        _forget_failure_frames()
        s.uninstall()
        s.reset()


def run_python(code, timeout=120):
    """Run `code` with this interpreter in a subprocess.

    The child sees the same module path (PYTHONPATH plus tests/), so it can
    import vkcondb and the scripted engine.  Returns (returncode, stdout,
    stderr) as str; stdout holds everything written to file descriptor 1,
    C-level printf included.
    """
    env = dict(os.environ)
    paths = [TESTS_DIR] + [p for p in sys.path if p and os.path.isdir(p)]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    proc = subprocess.run(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        timeout=timeout,
    )
    return (proc.returncode,
            proc.stdout.decode("utf-8", "replace"),
            proc.stderr.decode("utf-8", "replace"))


@pytest.fixture(name="run_python")
def run_python_fixture():
    return run_python


@pytest.fixture
def conn(script):
    """A connection on the scripted engine, closed while the engine is
    still installed (pytest drops fixture values only after the `script`
    fixture has uninstalled it)."""
    connection = scripted_connect()
    yield connection
    connection.close()


@pytest.fixture
def cur(conn):
    """A cursor of `conn`, closed while the engine is still installed."""
    cursor = conn.cursor()
    yield cursor
    cursor.close()

"""What the PostgreSQL benches (pg_fetch.py, pg_insert.py) share: a private
server from tests/pgserver.py, the drivers that happen to be installed, and
interleaved best-of rounds that survive a failing driver.

The peer drivers are for the benches only (bench/requirements-postgres.txt;
bench/setup-peers.sh makes build/bench-venv with them).  A driver that
cannot be imported is reported as such and its ways are skipped.
"""
import asyncio
import importlib
import os
import shutil
import subprocess
import sys
import time

import c_floor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# Server settings of the benches, over those of tests/pgserver.py: the
# table stays in shared buffers, and no background job (autovacuum, JIT
# compiling) runs in the middle of a timed round.
BENCH_SETTINGS = {
    "shared_buffers": "'512MB'",
    "autovacuum": "off",
    "jit": "off",
}

SETUP_HINT = ("missing peers: run `bash bench/setup-peers.sh` and use "
              "build/bench-venv/bin/python")


def load_pgserver():
    """tests/pgserver.py, imported from its folder by path."""
    tests = os.path.join(ROOT, "tests")
    sys.path.insert(0, tests)
    try:
        return importlib.import_module("pgserver")
    finally:
        sys.path.remove(tests)


def start_server(name):
    """A started private server (database vktest, superuser vk, trust
    authentication on 127.0.0.1).  The caller closes it in a finally."""
    pgserver = load_pgserver()
    reason = pgserver.unavailable_reason()
    if reason:
        raise SystemExit("no PostgreSQL server here: %s" % reason)
    server = pgserver.Server(name=name, settings=BENCH_SETTINGS)
    try:
        server.start()
    except BaseException:
        server.close()
        raise
    return server


class Drivers:
    """The drivers of this interpreter: each attribute is the module or
    None, and `why[name]` says why a module is None."""

    NAMES = ("vkcondb", "psycopg", "psycopg2", "asyncpg")

    def __init__(self):
        self.why = {}
        for name in self.NAMES:
            try:
                module = importlib.import_module(name)
            except ImportError as exc:
                module = None
                self.why[name] = ("not installed" if getattr(exc, "name", None) == name
                                  else "not importable: %s" % exc)
            except Exception as exc:  # a broken build, for instance
                module = None
                self.why[name] = "not importable: %s: %s" % (type(exc).__name__, exc)
            setattr(self, name, module)

    def describe(self):
        pieces = []
        for name in self.NAMES:
            module = getattr(self, name)
            if module is None:
                pieces.append("%s %s" % (name, self.why[name]))
                continue
            version = getattr(module, "__version__", "")
            if name == "psycopg":
                version += " (%s implementation)" % module.pq.__impl__
            elif name == "psycopg2":
                version = version.split()[0] if version else ""
            elif name == "vkcondb":
                version = "from %s" % os.path.dirname(os.path.dirname(module.__file__))
            pieces.append("%s %s" % (name, version))
        return ", ".join(pieces)

    def psycopg_label(self):
        """How psycopg 3 is named in the tables: its implementation shows."""
        if self.psycopg is None:
            return "psycopg"
        return "psycopg (%s)" % self.psycopg.pq.__impl__


class AsyncRunner:
    """One event loop for every asyncpg call of a bench."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()

    def run(self, coro):
        return self.loop.run_until_complete(coro)

    def close(self):
        self.loop.close()


def connect_kwargs(server):
    return {"host": server.host, "port": server.port, "user": "vk", "database": "vktest"}


def open_vkcondb(drivers, server):
    kw = connect_kwargs(server)
    return drivers.vkcondb.connect(host=kw["host"], port=kw["port"],
                                   database=kw["database"], user=kw["user"])


def open_psycopg(drivers, server, autocommit):
    return drivers.psycopg.connect(server.dsn(), autocommit=autocommit)


def open_psycopg2(drivers, server, autocommit):
    conn = drivers.psycopg2.connect(server.dsn())
    conn.autocommit = autocommit
    return conn


def open_asyncpg(drivers, server, runner):
    return runner.run(drivers.asyncpg.connect(**connect_kwargs(server)))


def build_c(folder, name):
    """Compile bench/NAME.c against libpq into `folder`; returns (path,
    None) or (None, why not)."""
    include = "/usr/include/postgresql"
    pg_config = shutil.which("pg_config")
    if pg_config:
        try:
            include = subprocess.run([pg_config, "--includedir"], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, universal_newlines=True,
                                     check=True).stdout.strip() or include
        except (OSError, subprocess.CalledProcessError):
            pass
    return c_floor.build_c(folder, name, flags=["-I" + include], libs=["-lpq"])


def plain_env():
    """This environment without libpq's variables."""
    return {k: v for k, v in os.environ.items() if not k.startswith("PG")}


class Way:
    """One timed way of a bench.  `open()` makes its connection (untimed);
    `run()` does the work once and returns the seconds it took; `close()`
    ends the connection.  `missing` is why the way cannot run (a driver not
    installed), else None."""

    def __init__(self, label, missing=None):
        self.label = label
        self.missing = missing

    def open(self):
        pass

    def run(self):
        raise NotImplementedError

    def close(self):
        pass


def error_text(exc):
    text = str(exc).strip().splitlines()
    return "%s: %s" % (type(exc).__name__, text[0] if text else "")


def interleave(ways, repeat, before=None, after=None, progress=None, errors=None):
    """Run every way once a round for `repeat` rounds, each round starting
    one way further on, so that all of them see the same load on a shared
    machine.  `before(way)` runs untimed ahead of each run, `after(way)`
    untimed after it (a check that raises on a wrong result).  A way that
    fails is reported and left out of later rounds, as is every way already
    in `errors` (label: why).

    Returns (best seconds by label, error text by label)."""
    best, errors = {}, dict(errors or {})
    live = [w for w in ways if w.missing is None and w.label not in errors]
    for way in live:
        try:
            way.open()
        except Exception as exc:
            errors[way.label] = "connect failed: " + error_text(exc)
    try:
        for r in range(repeat):
            order = live[r % len(live):] + live[:r % len(live)] if live else []
            for way in order:
                if way.label in errors:
                    continue
                try:
                    if before:
                        before(way)
                    elapsed = way.run()
                    if after:
                        after(way)
                except Exception as exc:
                    errors[way.label] = error_text(exc)
                    # Its connection may hold a transaction (and locks)
                    # that would stall the other ways: end it now.
                    try:
                        way.close()
                    except Exception:
                        pass
                    continue
                best[way.label] = min(best.get(way.label, elapsed), elapsed)
                if progress:
                    progress("  round %d  %-34s %8.3f s" % (r + 1, way.label, elapsed))
    finally:
        for way in live:
            try:
                way.close()
            except Exception:
                pass
    return best, errors


def status_of(way, best, errors):
    """'' when the way has a time, else why not."""
    if way.missing:
        return way.missing
    if way.label in errors:
        return "FAILED: " + errors[way.label]
    if way.label not in best:
        return "no time"
    return ""


def say(line=""):
    print(line)
    sys.stdout.flush()


def stamp():
    return time.perf_counter()

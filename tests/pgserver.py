"""Private PostgreSQL servers for tests, run from Debian's server packages.

No pytest here: the fixtures in tests/postgres/conftest.py build on it, and
it can be used by hand::

    srv = Server()
    srv.start()
    print(srv.psql("select 1"))          # "1"
    standby = make_standby(srv)          # streaming standby of srv
    srv.stop(); standby.promote()
    standby.close(); srv.close()

Every server lives in its own temporary folder (data directory, Unix
socket, log), listens on a free port of 127.0.0.1 only and is removed by
``close()``.  The server refuses to run as root, so when this process is
root every server program runs as the unprivileged user ``postgres``
(set in the child between fork and exec); otherwise it runs as the
current user.

Roles and databases of a started server:

- ``vk`` (``SUPERUSER``), trust authentication: what tests connect as.
- ``pwuser``: must give ``PW_PASSWORD`` (scram-sha-256), on TCP and on
  the Unix socket alike.
- database ``vktest`` owned by ``vk``.

Replication connections are trusted from 127.0.0.1 and the socket, so
``make_standby()`` can follow any server.  Every wait is bounded and raises
``ServerError`` with the tail of the server log when it runs out.
"""
import atexit
import contextlib
import glob
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import threading
import time
import weakref

import sanitized

__all__ = [
    "PW_PASSWORD", "PW_USER", "SUPERUSER", "DATABASE", "HOST",
    "ServerUnavailable", "ServerError", "PsqlError",
    "find_bindir", "free_port", "wait_until", "unavailable_reason",
    "Server", "make_standby", "deaf_listener",
]

HOST = "127.0.0.1"
SUPERUSER = "vk"
DATABASE = "vktest"
PW_USER = "pwuser"
# Characters that a connect string, a shell or an SQL literal would have to
# quote: ; = ' " blank and backslash.
PW_PASSWORD = "p;w= 'q\" \\x"

SERVER_OS_USER = "postgres"
START_TIMEOUT = 60      # seconds for pg_ctl -w (start, stop, promote)
RUN_TIMEOUT = 120       # seconds for any one program run to completion
_LOG_TAIL_LINES = 40

# Settings of every server, written to an included file so that a standby
# copied by pg_basebackup can get its own port and socket folder.
_BASE_SETTINGS = [
    ("listen_addresses", "'127.0.0.1'"),
    ("fsync", "off"),
    # Committed work must survive kill(): keep synchronous_commit on (with
    # fsync off a commit costs a write(), not a disk flush).
    ("shared_buffers", "'32MB'"),
    ("max_connections", "100"),
    ("checkpoint_timeout", "'30min'"),
    ("max_wal_size", "'1GB'"),
    ("wal_level", "replica"),
    ("max_wal_senders", "5"),
    ("wal_keep_size", "'128MB'"),
    ("hot_standby", "on"),
    ("wal_retrieve_retry_interval", "'500ms'"),
    ("password_encryption", "'scram-sha-256'"),
    ("ssl", "off"),
    ("logging_collector", "off"),
]

_HBA = """\
# written by tests/pgserver.py; the first matching line wins
local   all           {pw}                     scram-sha-256
host    all           {pw}    127.0.0.1/32     scram-sha-256
local   all           all                      trust
host    all           all     127.0.0.1/32     trust
local   replication   all                      trust
host    replication   all     127.0.0.1/32     trust
""".format(pw=PW_USER)


class ServerUnavailable(RuntimeError):
    """The PostgreSQL server programs (or the user to run them) are missing."""


class ServerError(RuntimeError):
    """A server program failed or a wait ran out; the message holds the
    program output and the tail of the server log."""


class PsqlError(RuntimeError):
    """psql exited with an error; ``returncode``, ``stderr`` and ``stdout``
    tell what happened."""

    def __init__(self, message, returncode, stdout, stderr):
        RuntimeError.__init__(self, message)
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr


# ---------------------------------------------------------------------------
# Finding programs and ports


def _version_key(path):
    name = os.path.basename(os.path.dirname(path))
    return [int(x) if x.isdigit() else -1 for x in re.split(r"[.]", name)]


def find_bindir():
    """Folder of the newest installed PostgreSQL server programs
    (/usr/lib/postgresql/<version>/bin), or None when there is none."""
    found = []
    for bindir in glob.glob("/usr/lib/postgresql/*/bin"):
        if all(os.access(os.path.join(bindir, prog), os.X_OK)
               for prog in ("initdb", "pg_ctl", "postgres")):
            found.append(bindir)
    if not found:
        return None
    return max(found, key=_version_key)


def _server_user():
    """(uid, gid) to run server programs as, or None to stay as we are."""
    if os.geteuid() != 0:
        return None
    import pwd
    try:
        entry = pwd.getpwnam(SERVER_OS_USER)
    except KeyError:
        raise ServerUnavailable(
            "running as root, and there is no user %r to run the PostgreSQL "
            "server as" % SERVER_OS_USER)
    return entry.pw_uid, entry.pw_gid


def unavailable_reason():
    """Why servers cannot be run here, or None when they can."""
    bindir = find_bindir()
    if bindir is None:
        return ("PostgreSQL server programs not found under "
                "/usr/lib/postgresql/*/bin (install the Debian package "
                "'postgresql', see dev/install-deps.sh)")
    for prog in ("psql", "pg_basebackup", "pg_isready"):
        if not os.access(os.path.join(bindir, prog), os.X_OK):
            return "%s is missing from %s" % (prog, bindir)
    try:
        _server_user()
    except ServerUnavailable as exc:
        return str(exc)
    return None


def require_for_test():
    """In a pytest fixture: skip the test when servers cannot be run here,
    except when the environment variable CI is set, where the tests must
    run and so fail instead."""
    reason = unavailable_reason()
    if reason is None:
        return
    import pytest
    message = "PostgreSQL test server unavailable: %s" % reason
    if os.environ.get("CI", "").strip().lower() not in ("", "0", "false", "no"):
        pytest.fail(message + " (CI is set, so this is a failure, not a skip)", pytrace=False)
    pytest.skip(message)


@contextlib.contextmanager
def started_for_test(name):
    """A started Server for a pytest fixture (see require_for_test), closed
    when the block ends, also when tests fail."""
    require_for_test()
    server = Server(name=name)
    try:
        server.start()
        yield server
    finally:
        server.close()


def free_port():
    """A TCP port of 127.0.0.1 that was free a moment ago."""
    with contextlib.closing(socket.socket(socket.AF_INET, socket.SOCK_STREAM)) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Call `predicate` until it returns a true value (returned) or
    `timeout` seconds have passed (raises ServerError naming `what`)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise ServerError("timed out after %.1fs waiting for %s" % (timeout, what))
        time.sleep(interval)


# ---------------------------------------------------------------------------
# Running programs


def _clean_env(extra=None):
    """This environment without libpq's variables (a PGHOST or a PGPASSWORD
    of the caller must not steer the test programs), nor the sanitizer
    runtime of a dev/sanitize.sh run."""
    env = {k: v for k, v in sanitized.foreign_env(dict(os.environ)).items()
           if not k.startswith("PG") and k != "LC_ALL"}
    env["LC_MESSAGES"] = "C"
    # A password file that does not exist: no ~/.pgpass is read.
    env["PGPASSFILE"] = "/nonexistent/vktest-pgpass"
    env["PGCONNECT_TIMEOUT"] = "10"
    if extra:
        env.update(extra)
    return env


def _run(args, as_server=False, input=None, env=None, timeout=RUN_TIMEOUT, cwd=None):
    """Run `args` to completion; returns (returncode, stdout, stderr) as str.

    Output goes through files, not pipes: pg_ctl leaves a server behind
    that must not keep us waiting for the end of a pipe.
    """
    if as_server:
        ids = _server_user()
        if ids is not None:
            uid, gid = ids
            # setpriv takes the server's user in the child: a preexec_fn
            # would run Python between fork and exec, which deadlocks when
            # another thread held a lock at the fork (a proxy's thread and
            # the sanitizers' allocator lock, for one).
            args = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups",
                    "--"] + list(args)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            proc = subprocess.run(
                args,
                input=input.encode("utf-8") if input is not None else None,
                stdin=None if input is not None else subprocess.DEVNULL,
                stdout=out, stderr=err,
                env=env if env is not None else _clean_env(),
                cwd=cwd, timeout=timeout)
            rc = proc.returncode
        except subprocess.TimeoutExpired:
            rc = None
        out.seek(0)
        err.seek(0)
        stdout = out.read().decode("utf-8", "replace")
        stderr = err.read().decode("utf-8", "replace")
    if rc is None:
        raise ServerError("%s did not finish within %ss\n%s%s"
                          % (" ".join(args), timeout, stdout, stderr))
    return rc, stdout, stderr


def _traversable_by_others(path):
    path = os.path.abspath(path)
    while True:
        if not os.stat(path).st_mode & stat.S_IXOTH:
            return False
        parent = os.path.dirname(path)
        if parent == path:
            return True
        path = parent


def _make_tempdir(prefix):
    """A new folder that the server user owns, short enough for a socket
    path (at most 107 bytes on Linux)."""
    ids = _server_user()
    base = tempfile.gettempdir()
    if len(base) > 60 or (ids is not None and not _traversable_by_others(base)):
        base = "/tmp"
    path = tempfile.mkdtemp(prefix=prefix, dir=base)
    os.chmod(path, 0o700)
    if ids is not None:
        os.chown(path, ids[0], ids[1])
    return path


# ---------------------------------------------------------------------------
# Servers

_live = weakref.WeakSet()


@atexit.register
def _close_all():
    for server in list(_live):
        try:
            server.close()
        except Exception:  # noqa: BLE001 - best effort at interpreter exit
            pass


class Server(object):
    """One private PostgreSQL server (see the module docstring).

    ``start()`` creates the cluster the first time and starts it;
    ``stop()``/``kill()`` stop it and ``start()`` starts it again on the
    same port with the same data.  ``close()`` stops it and removes its
    folder.  Usable as a context manager (started on entry, closed on exit).
    """

    def __init__(self, name="pg", settings=None, bindir=None, timeout=START_TIMEOUT):
        reason = None if bindir else unavailable_reason()
        if reason:
            raise ServerUnavailable(reason)
        self.name = name
        self.bindir = bindir or find_bindir()
        self.timeout = timeout
        self.extra_settings = dict(settings or {})
        self._tempdir = _make_tempdir("vkpg-%s-" % name)
        self._datadir = os.path.join(self._tempdir, "data")
        self._sockdir = os.path.join(self._tempdir, "sock")
        self._logfile = os.path.join(self._tempdir, "server.log")
        self._port = None
        self._initialized = False
        self._running = False
        self._closed = False
        self.standby = False
        self._mkdir_as_server(self._sockdir)
        _live.add(self)

    # -- properties

    @property
    def host(self):
        return HOST

    @property
    def port(self):
        return self._port

    @property
    def datadir(self):
        return self._datadir

    @property
    def socket_dir(self):
        return self._sockdir

    @property
    def logfile(self):
        return self._logfile

    @property
    def running(self):
        return self._running

    def dsn(self, user=SUPERUSER, db=DATABASE, **extra):
        """A libpq connect string for this server."""
        parts = {"host": HOST, "port": str(self._port), "user": user, "dbname": db}
        parts.update({k: str(v) for k, v in extra.items()})
        return " ".join("%s=%s" % (k, _conninfo_quote(v)) for k, v in parts.items())

    def __repr__(self):
        return "<Server %s port=%s %s>" % (
            self.name, self._port, "running" if self._running else "stopped")

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    # -- helpers

    def _prog(self, name):
        return os.path.join(self.bindir, name)

    def _mkdir_as_server(self, path):
        os.mkdir(path, 0o700)
        ids = _server_user()
        if ids is not None:
            os.chown(path, ids[0], ids[1])

    def _log_size(self):
        try:
            return os.path.getsize(self._logfile)
        except OSError:
            return 0

    def log_tail(self, lines=_LOG_TAIL_LINES, since=0):
        """The last `lines` lines of the server log ("" when there is none),
        from byte offset `since` on."""
        try:
            with open(self._logfile, "rb") as f:
                f.seek(since)
                data = f.read()
        except OSError:
            return ""
        return "\n".join(data.decode("utf-8", "replace").splitlines()[-lines:])

    def _fail(self, what, output=""):
        raise ServerError("%s: %s\n%s\n--- server log (%s), last lines ---\n%s"
                          % (self, what, output.strip(), self._logfile, self.log_tail()))

    def _run_server_prog(self, args, what, timeout=None):
        rc, out, err = _run(args, as_server=True, cwd=self._tempdir,
                            timeout=timeout or RUN_TIMEOUT)
        if rc != 0:
            self._fail("%s failed (exit %s)" % (what, rc), out + err)
        return out

    def _write_settings(self):
        lines = ["# written by tests/pgserver.py"]
        settings = list(_BASE_SETTINGS) + [
            ("port", str(self._port)),
            ("unix_socket_directories", _sql_quote(self._sockdir)),
        ] + [(k, v) for k, v in self.extra_settings.items()]
        for key, value in settings:
            lines.append("%s = %s" % (key, value))
        path = os.path.join(self._datadir, "vktest.conf")
        self._write_server_file(path, "\n".join(lines) + "\n")

    def _write_server_file(self, path, text):
        with open(path, "w") as f:
            f.write(text)
        ids = _server_user()
        if ids is not None:
            os.chown(path, ids[0], ids[1])
        os.chmod(path, 0o600)

    def _include_settings(self):
        conf = os.path.join(self._datadir, "postgresql.conf")
        with open(conf) as f:
            text = f.read()
        if "include_if_exists = 'vktest.conf'" not in text:
            with open(conf, "a") as f:
                f.write("\ninclude_if_exists = 'vktest.conf'\n")

    # -- life cycle

    def start(self):
        """Create the cluster if needed and start the server; returns self."""
        if self._closed:
            raise ServerError("%s was closed" % self)
        if self._running:
            return self
        if not self._initialized:
            self._initdb()
            self._start_on_free_port()
            self._setup_roles()
        else:
            self._pg_ctl_start()
        return self

    def _initdb(self):
        args = [self._prog("initdb"), "-D", self._datadir, "-E", "UTF8", "--no-sync",
                "-U", "postgres", "--auth-local=trust", "--auth-host=trust"]
        # C.UTF-8 classifies non-ASCII letters; plain C is there everywhere.
        rc, out, err = _run(args + ["--locale=C.UTF-8"], as_server=True, cwd=self._tempdir)
        if rc != 0 and "locale" in out + err and not os.path.exists(self._datadir):
            rc, out, err = _run(args + ["--locale=C"], as_server=True, cwd=self._tempdir)
        if rc != 0:
            self._fail("initdb failed (exit %s)" % rc, out + err)
        self._write_server_file(os.path.join(self._datadir, "pg_hba.conf"), _HBA)
        self._include_settings()
        self._initialized = True

    def _start_on_free_port(self, attempts=5):
        # free_port() only says the port was free: another process may take
        # it before the server binds it.  Then try another one.
        for attempt in range(attempts):
            self._port = free_port()
            self._write_settings()
            logged = self._log_size()
            try:
                self._pg_ctl_start()
                return
            except ServerError:
                if (attempt + 1 < attempts
                        and "Address already in use" in self.log_tail(since=logged)):
                    continue
                raise

    def _pg_ctl_start(self):
        rc, out, err = _run(
            [self._prog("pg_ctl"), "start", "-D", self._datadir, "-l", self._logfile,
             "-w", "-t", str(self.timeout)],
            as_server=True, cwd=self._tempdir, timeout=self.timeout + 30)
        if rc != 0:
            # A server that came up after pg_ctl gave up must not linger.
            self._stop_quietly()
            self._fail("pg_ctl start failed (exit %s)" % rc, out + err)
        self._running = True
        self._wait_ready()

    def _wait_ready(self):
        """Wait until the server takes connections on its TCP port."""
        args = [self._prog("pg_isready"), "-q", "-h", HOST, "-p", str(self._port),
                "-U", SUPERUSER, "-d", "postgres", "-t", "5"]
        try:
            wait_until(lambda: _run(args, timeout=30)[0] == 0, self.timeout,
                       interval=0.1, what="pg_isready on port %s" % self._port)
        except ServerError as exc:
            self._fail(str(exc))

    def _setup_roles(self):
        sql = (
            "CREATE ROLE {su} SUPERUSER LOGIN;\n"
            "CREATE ROLE {pw} LOGIN PASSWORD {pwlit};\n"
            "CREATE DATABASE {db} OWNER {su};\n"
        ).format(su=SUPERUSER, pw=PW_USER, pwlit=_sql_quote(PW_PASSWORD), db=DATABASE)
        self.psql(sql, db="postgres", user="postgres")

    def stop(self, mode="fast"):
        """Stop the server (pg_ctl stop -m `mode`), bounded in time; a server
        that does not stop in time is stopped immediately, then killed."""
        if not self._initialized or not self._running:
            return
        rc, out, err = _run(
            [self._prog("pg_ctl"), "stop", "-D", self._datadir, "-m", mode,
             "-w", "-t", str(self.timeout)],
            as_server=True, cwd=self._tempdir, timeout=self.timeout + 30)
        if rc != 0 and self._postmaster_pid() is not None:
            self._stop_quietly()
            if self._postmaster_pid() is not None:
                self._fail("pg_ctl stop -m %s failed (exit %s)" % (mode, rc), out + err)
        self._running = False

    def kill(self):
        """Stop at once, without a shutdown checkpoint (pg_ctl stop -m
        immediate): the next start() runs crash recovery."""
        self.stop(mode="immediate")

    def restart(self):
        """Stop (fast) and start again on the same port; returns self."""
        self.stop()
        return self.start()

    def promote(self):
        """Make a standby a primary; waits until it accepts writes."""
        self._run_server_prog(
            [self._prog("pg_ctl"), "promote", "-D", self._datadir,
             "-w", "-t", str(self.timeout)],
            "pg_ctl promote", timeout=self.timeout + 30)
        self.standby = False
        return self

    def close(self):
        """Stop the server whatever its state and remove its folder."""
        if self._closed:
            return
        try:
            if self._initialized:
                self._stop_quietly()
        finally:
            self._closed = True
            self._running = False
            shutil.rmtree(self._tempdir, ignore_errors=True)
            _live.discard(self)

    def _postmaster_pid(self):
        """Pid of a live postmaster of this data directory, else None."""
        try:
            with open(os.path.join(self._datadir, "postmaster.pid")) as f:
                pid = int(f.readline().strip())
        except (OSError, ValueError):
            return None
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return None
        except PermissionError:
            pass
        # pg_ctl leaves the postmaster to init, which may reap it late: a
        # zombie is gone for our purposes.
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return None
        except (OSError, IndexError):
            pass
        return pid

    def _stop_quietly(self):
        """Stop by any means, bounded: pg_ctl -m immediate, then SIGKILL."""
        if self._postmaster_pid() is None:
            self._running = False
            return
        try:
            _run([self._prog("pg_ctl"), "stop", "-D", self._datadir, "-m", "immediate",
                  "-w", "-t", "20"], as_server=True, cwd=self._tempdir, timeout=40)
        except ServerError:
            pass
        pid = self._postmaster_pid()
        if pid is not None:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
            # Its children notice that the postmaster is gone and exit.
            try:
                wait_until(lambda: self._postmaster_pid() is None, 10, what="postmaster exit")
            except ServerError:
                pass
        self._running = False

    # -- client

    def psql(self, sql, db=DATABASE, user=SUPERUSER, password=None, host=HOST,
             dsn=None, timeout=60):
        """Run `sql` (one or more statements, each in its own transaction)
        with psql; returns the output, unaligned and without headers, fields
        separated by "|", trailing newline removed.  It connects over TCP,
        or to the Unix socket with ``host=server.socket_dir``, or with the
        libpq connect string `dsn` (which then replaces db, user, host).
        Raises PsqlError when psql fails (connection refused, SQL error)."""
        env = _clean_env({"PGCLIENTENCODING": "UTF8", "PGAPPNAME": "vktest-psql"})
        if password is not None:
            env["PGPASSWORD"] = password
        args = [self._prog("psql"), "-X", "-w", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1"]
        if dsn is not None:
            args += ["-d", dsn]
            where = dsn
        else:
            args += ["-h", host, "-p", str(self._port), "-U", user, "-d", db]
            where = "user=%s db=%s host=%s port=%s" % (user, db, host, self._port)
        rc, out, err = _run(args + ["-f", "-"], input=sql, env=env, timeout=timeout)
        if rc != 0:
            raise PsqlError("psql (%s) failed (exit %s): %s" % (where, rc, err.strip()),
                            rc, out, err)
        return out[:-1] if out.endswith("\n") else out

    def in_recovery(self):
        return self.psql("select pg_is_in_recovery()", db="postgres") == "t"


def _sql_quote(text):
    return "'" + text.replace("'", "''") + "'"


def _conninfo_quote(text):
    if text and not re.search(r"[\s'\\]", text):
        return text
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def make_standby(primary, name="standby", timeout=None):
    """A started streaming standby of `primary` (pg_basebackup -R), on its
    own free port; returns it once its WAL receiver is streaming."""
    if not primary.running:
        raise ServerError("make_standby: %s is not running" % primary)
    standby = Server(name=name, bindir=primary.bindir,
                     timeout=timeout or primary.timeout,
                     settings=primary.extra_settings)
    try:
        standby._run_server_prog(
            [standby._prog("pg_basebackup"), "-D", standby._datadir,
             "-h", HOST, "-p", str(primary.port), "-U", SUPERUSER,
             "-R", "-X", "stream", "-c", "fast", "--no-sync", "-w"],
            "pg_basebackup from %s" % primary, timeout=standby.timeout + 60)
        standby._initialized = True
        standby.standby = True
        standby._include_settings()
        standby._start_on_free_port()
        wait_until(
            lambda: standby.psql("select status from pg_stat_wal_receiver",
                                 db="postgres") == "streaming",
            standby.timeout, interval=0.1, what="the standby to stream from the primary")
    except BaseException:
        standby.close()
        raise
    return standby


# ---------------------------------------------------------------------------
# A port that never answers


@contextlib.contextmanager
def deaf_listener():
    """Context manager giving a port of 127.0.0.1 whose listener accepts
    connections and never sends or closes anything; everything is closed on
    exit.  For tests of connect and read timeouts."""
    lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    held = []
    stop = threading.Event()

    def accept_loop():
        while not stop.is_set():
            try:
                conn, _ = lsock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            held.append(conn)

    try:
        lsock.bind((HOST, 0))
        lsock.listen(64)
        lsock.settimeout(0.1)
        thread = threading.Thread(target=accept_loop, name="deaf-listener", daemon=True)
        thread.start()
        try:
            yield lsock.getsockname()[1]
        finally:
            stop.set()
            thread.join(5)
    finally:
        lsock.close()
        for conn in held:
            conn.close()

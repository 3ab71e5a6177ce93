"""Run SQLAlchemy's dialect compliance suite against one database URL.

    python run_compliance.py sqlite          # sqlite+vkcondb on a temporary file
    python run_compliance.py postgresql      # postgresql+vkcondb on a private server
    python run_compliance.py sqlite --driver pysqlite       # SQLAlchemy's own, to compare
    python run_compliance.py postgresql --driver psycopg
    ... -- <more pytest arguments>

SQLAlchemy's pytest plugin takes over pytest's configuration, so the suite
runs in a pytest of its own, from compliance/ with its setup.cfg.  The
PostgreSQL server is tests/pgserver.py's (127.0.0.1 only), closed at the
end.  The exit status is pytest's; without SQLAlchemy the run is skipped
(status 0) with a line saying so.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SUITE = os.path.join(HERE, "compliance")
sys.path.insert(0, os.path.dirname(HERE))


def _run_pytest(url, workdir, extra):
    cmd = [sys.executable, "-m", "pytest", "-c", os.path.join(SUITE, "setup.cfg"),
           "--rootdir", SUITE, os.path.join(SUITE, "test_suite.py"), "--dburi", url] + extra
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([SUITE] + [p for p in sys.path if p])
    return subprocess.call(cmd, cwd=workdir, env=env)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("database", choices=["sqlite", "postgresql"])
    parser.add_argument("--driver", default="vkcondb")
    args, pytest_args = parser.parse_known_args(argv)
    args.pytest_args = [a for a in pytest_args if a != "--"]
    try:
        import sqlalchemy  # noqa: F401
    except ImportError:
        print("SQLAlchemy is not installed: compliance suite skipped")
        return 0
    workdir = tempfile.mkdtemp(prefix="vk-sqla-")
    try:
        if args.database == "sqlite":
            url = "sqlite+%s:///%s" % (args.driver, os.path.join(workdir, "compliance.db"))
            return _run_pytest(url, workdir, args.pytest_args)
        import pgserver
        reason = pgserver.unavailable_reason()
        if reason is not None:
            print("PostgreSQL server unavailable (%s): compliance suite skipped" % reason)
            return 1 if os.environ.get("CI") else 0
        with pgserver.Server(name="sqla") as server:
            server.psql("CREATE SCHEMA test_schema; CREATE SCHEMA test_schema_2;")
            url = "postgresql+%s://%s@%s:%d/%s" % (args.driver, pgserver.SUPERUSER, server.host,
                                                   server.port, pgserver.DATABASE)
            return _run_pytest(url, workdir, args.pytest_args)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

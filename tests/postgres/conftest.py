"""Fixtures that run private PostgreSQL servers (see tests/pgserver.py).

- ``pg_server``: one server for the whole session, started on first use and
  closed at the end of the session, also when tests fail.  Tests that stop
  or restart it must leave it running.
- ``pg_failover``: a fresh primary and its streaming standby for one test,
  both closed after it; ``.primary`` and ``.standby`` are ``Server``s.

Without the PostgreSQL server programs the fixtures skip the test, unless
the environment variable CI is set: there the tests must run, so they fail.
"""
import collections
import os
import sys

import pytest

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if TESTS_DIR not in sys.path:
    sys.path.insert(0, TESTS_DIR)

import pgserver  # noqa: E402

Failover = collections.namedtuple("Failover", "primary standby")


def _in_ci():
    return os.environ.get("CI", "").strip().lower() not in ("", "0", "false", "no")


def _unavailable(reason):
    message = "PostgreSQL test server unavailable: %s" % reason
    if _in_ci():
        pytest.fail(message + " (CI is set, so this is a failure, not a skip)",
                    pytrace=False)
    pytest.skip(message)


def _require_server_programs():
    reason = pgserver.unavailable_reason()
    if reason is not None:
        _unavailable(reason)


@pytest.fixture(scope="session")
def pg_server():
    _require_server_programs()
    server = pgserver.Server(name="session")
    try:
        server.start()
        yield server
    finally:
        server.close()


@pytest.fixture
def pg_failover():
    _require_server_programs()
    primary = pgserver.Server(name="primary")
    standby = None
    try:
        primary.start()
        standby = pgserver.make_standby(primary)
        yield Failover(primary, standby)
    finally:
        try:
            if standby is not None:
                standby.close()
        finally:
            primary.close()

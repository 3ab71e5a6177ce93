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


@pytest.fixture(scope="session")
def pg_server():
    with pgserver.started_for_test("session") as server:
        yield server


@pytest.fixture
def pg_failover():
    pgserver.require_for_test()
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

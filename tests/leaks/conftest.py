"""Fixtures of the leak checks: a PostgreSQL server of their own for the
module (tests/pgserver.py), skipped when the server programs are missing,
except under CI, where that fails."""
import os

import pytest

import pgserver


@pytest.fixture(scope="module")
def pg_server():
    reason = pgserver.unavailable_reason()
    if reason is not None:
        message = "PostgreSQL test server unavailable: %s" % reason
        if os.environ.get("CI", "").strip().lower() not in ("", "0", "false", "no"):
            pytest.fail(message + " (CI is set, so this is a failure, not a skip)", pytrace=False)
        pytest.skip(message)
    server = pgserver.Server(name="leaks")
    try:
        server.start()
        yield server
    finally:
        server.close()

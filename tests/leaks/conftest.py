"""Fixtures of the leak checks: a PostgreSQL server of their own for the
module (tests/pgserver.py), skipped when the server programs are missing,
except under CI, where that fails."""
import pytest

import pgserver


@pytest.fixture(scope="module")
def pg_server():
    with pgserver.started_for_test("leaks") as server:
        yield server

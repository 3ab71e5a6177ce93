"""Fixtures of the load tests.

- ``load_seconds``: how long each load runs, from VKCONDB_LOAD_SECONDS
  (10 s unless set; dev/stress.sh runs a minute).
- ``pg_load_server``: a PostgreSQL server of its own for this folder (see
  tests/pgserver.py); skipped without the server programs, failed in CI.
"""
import os
import sys

import pytest

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if TESTS_DIR not in sys.path:
    sys.path.insert(0, TESTS_DIR)

import pgserver  # noqa: E402


@pytest.fixture(scope="session")
def load_seconds():
    return float(os.environ.get("VKCONDB_LOAD_SECONDS", "10"))


@pytest.fixture(scope="module")
def pg_load_server():
    with pgserver.started_for_test("load") as server:
        yield server

"""ctypes access to libvesksql.so for the library tests.

The library is found next to the staged package (vkcondb's folder, through
PYTHONPATH) or through VESKSQL_LIB; the Python module itself is not used.
"""
import ctypes
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from vk import Lib  # noqa: E402


def _find_library():
    explicit = os.environ.get("VESKSQL_LIB")
    if explicit:
        return explicit
    for entry in sys.path + os.environ.get("PYTHONPATH", "").split(os.pathsep):
        if not entry:
            continue
        cand = os.path.join(entry, "vkcondb", "libvesksql.so")
        if os.path.exists(cand):
            return cand
    pytest.exit("libvesksql.so not found: set PYTHONPATH=<build>/python", returncode=2)


@pytest.fixture(scope="session")
def lib():
    return Lib(ctypes.CDLL(_find_library()))


@pytest.fixture
def conn(lib, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    c = lib.connect(db=str(tmp_path / "main.db"))
    yield c
    c.close()


@pytest.fixture
def mem(lib):
    c = lib.connect(db=":memory:")
    yield c
    c.close()

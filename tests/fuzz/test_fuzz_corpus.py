"""The fuzz driver's committed inputs, replayed without a fuzzer on every
Python: each plays a random call sequence on the embedded or the scripted
engine (fuzz/api_driver.py) and must end with no finding.  Inputs that once
found a fault stay in fuzz/corpus as regressions."""
import glob
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "fuzz"))

import api_driver  # noqa: E402

CORPUS = sorted(glob.glob(os.path.join(ROOT, "fuzz", "corpus", "*")))


def test_corpus_is_there():
    assert len(CORPUS) >= 10


@pytest.mark.parametrize("path", CORPUS, ids=os.path.basename)
def test_replay(path):
    with open(path, "rb") as f:
        api_driver.run_one(f.read())


@pytest.mark.parametrize("engine_byte", [0, 2, 3])
def test_every_action_on_each_engine(engine_byte):
    # One call of each kind in turn, whatever the bytes after it ask.
    for i in range(len(api_driver.ACTIONS)):
        api_driver.run_one(bytes([engine_byte, i]) + bytes(range(40)))


def test_an_unexpected_exception_is_a_finding():
    with pytest.raises(api_driver.Finding):
        api_driver.check_exception(SystemError("returned a result with an exception set"))
    with pytest.raises(api_driver.Finding):
        api_driver.check_exception(KeyError(0))
    api_driver.check_exception(KeyError(0), api_driver.LOOKUPS)

"""Coverage-guided fuzzing of the vkcondb API with atheris.

    python fuzz/fuzz_api.py CORPUS_DIR -max_total_time=60 -timeout=20

Arguments go to libFuzzer as they are (docs/stress.md has the useful
ones).  Each input is played by api_driver.run_one; a Finding, an exception
outside the expected set, a crash or an input running past -timeout stops
the run with the input saved as crash-*/timeout-* in the working directory
(or -artifact_prefix).  The scripted engine comes from tests/scripted, so
the package must be built with -DVKCONDB_TEST_ENGINE=ON for it to take part.
"""
import os
import sys

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

with atheris.instrument_imports():
    import vkcondb  # noqa: F401 - instrumented for coverage
    import api_driver


def test_one_input(data):
    api_driver.run_one(data)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

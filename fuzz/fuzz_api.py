"""Coverage-guided fuzzing of the vkcondb API with atheris.

    python fuzz/fuzz_api.py fuzz/corpus -max_total_time=60 -timeout=20

Arguments go to libFuzzer as they are (docs/fuzzing.md lists the useful
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
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

with atheris.instrument_imports():
    import vkcondb  # noqa: F401 - instrumented for coverage
    import api_driver


def test_one_input(data):
    api_driver.run_one(data)


def absolute_paths(argv):
    """The driver plays in a folder of its own (select_db makes files in the
    working directory), so corpus folders and artifact paths given relative
    to where the run started are made absolute first."""
    out = argv[:1]
    for arg in argv[1:]:
        if not arg.startswith("-"):
            arg = os.path.abspath(arg)
        else:
            for key in ("-artifact_prefix=", "-exact_artifact_path=", "-dict="):
                if arg.startswith(key):
                    value = arg[len(key):]
                    slash = value.endswith("/")
                    arg = key + os.path.abspath(value) + ("/" if slash else "")
        out.append(arg)
    return out


def main():
    atheris.Setup(absolute_paths(sys.argv), test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

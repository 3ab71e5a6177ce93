#!/usr/bin/env bash
# The long checks CI runs once, on one Python, after dev/test.sh: the fuzzer
# for a bounded time (dev/fuzz.sh, 60 s) and the load tests for a full
# minute per engine and mode (tests/load, 4 runs).
#   VKCONDB_FUZZ_SECONDS, VKCONDB_LOAD_SECONDS change the durations;
#   VKCONDB_FUZZ_PYTHON picks the interpreter (default: python3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

py=${VKCONDB_FUZZ_PYTHON:-$(command -v python3)}
export VKCONDB_FUZZ_PYTHON="$py"
bash dev/fuzz.sh

ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
echo "=== load tests, ${VKCONDB_LOAD_SECONDS:-60}s per engine and mode, Python $ver"
(cd tests && VKCONDB_LOAD_SECONDS=${VKCONDB_LOAD_SECONDS:-60} \
   "$root/build/venv-$ver/bin/python" -m pytest -q -s -p no:cacheprovider load)

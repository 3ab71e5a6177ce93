#!/usr/bin/env bash
# Build vkcondb with AddressSanitizer and UndefinedBehaviorSanitizer and run
# the whole test suite under them, on one Python (python3, or the one named
# by VKCONDB_SANITIZE_PYTHON).  Any finding fails the run:
# - ASan (buffer overflows, use after free, double free, mismatched frees)
#   aborts the process at the first one;
# - UBSan is built without recovery, so its first finding aborts too;
# - LeakSanitizer checks at the exit of pytest and of every Python child a
#   test starts; leaks make the exit status non-zero.
# The modules are loaded into the stock interpreter, so the ASan runtime is
# preloaded into it, and PYTHONMALLOC=malloc sends the interpreter's own
# allocations to the checked allocator as well.  dev/lsan.supp holds the
# only leak suppressions, each with its reason.
#
# Usage: bash dev/sanitize.sh [pytest arguments]   (default: the whole tests/)
# VKCONDB_SKIP_DEPS=1 skips the Debian package step (.ci/run has done it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ -z "${VKCONDB_SKIP_DEPS:-}" ]; then
  bash dev/install-deps.sh
fi

py=${VKCONDB_SANITIZE_PYTHON:-$(command -v python3)}
ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="$root/build/venv-sanitize-$ver"
echo "=== Sanitizers: Python $ver ($py) ==="
start=$SECONDS

# The runtime that the modules were linked against: the compiler's own.
asan_runtime=$(gcc -print-file-name=libasan.so)
if [ ! -e "$asan_runtime" ] || [ "$asan_runtime" = libasan.so ]; then
  echo "sanitize.sh: the compiler has no libasan.so" >&2
  exit 2
fi
asan_runtime=$(readlink -f "$asan_runtime")

rm -rf "$venv"
"$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
CMAKE_ARGS="-DVKCONDB_TEST_ENGINE=ON -DVKCONDB_SANITIZE=ON" \
  "$venv/bin/python" -m pip install -q ".[test]"
echo "built and installed in $((SECONDS - start)) s"

if [ $# -eq 0 ]; then set -- .; fi
# Every report is written to a file of its own (prefix.PID): pytest captures
# the standard error of a test, and a report of a process that aborts in the
# middle of one would be lost with it.
logs="$root/build/sanitize-logs"
rm -rf "$logs"
mkdir -p "$logs"
status=0
# From tests/, so the source tree's python/ folder never shadows the
# installed package.  Tests that cannot run under the sanitizers say so with
# the not_sanitized marker (see tests/conftest.py) and are skipped.
(
  cd tests
  export VKCONDB_SANITIZED=1
  export LD_PRELOAD="$asan_runtime"
  export PYTHONMALLOC=malloc
  export ASAN_OPTIONS="detect_leaks=${VKCONDB_SANITIZE_LEAKS:-1}:exitcode=66:log_path=$logs/asan"
  export LSAN_OPTIONS="suppressions=$root/dev/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
) || status=$?

# A report of a child process (a test's own Python child) need not change
# pytest's exit status: every report file is a finding.
reports=$(find "$logs" -type f | sort)
if [ -n "$reports" ]; then
  for f in $reports; do
    echo "--- $f"
    cat "$f"
  done
  echo "sanitize.sh: $(echo "$reports" | wc -l) sanitizer report(s), see above" >&2
  [ $status -ne 0 ] || status=1
fi
echo "=== Sanitizers: exit status $status after $((SECONDS - start)) s ==="
exit $status

#!/usr/bin/env bash
# Fuzz the vkcondb API for a bounded time (fuzz/fuzz_api.py, atheris).
#
#   bash dev/fuzz.sh                      # 60 s
#   VKCONDB_FUZZ_SECONDS=3600 bash dev/fuzz.sh -jobs=2 -workers=2
#
# Runs in the venv dev/test.sh made for this Python (build/venv-X.Y, with
# the scripted engine), or makes one.  The committed seeds in fuzz/corpus are
# copied into build/fuzz/corpus, which keeps what the run finds across runs;
# a crash, a hang past the timeout or a finding is saved under
# build/fuzz/artifacts/ and fails the script.  Arguments go to libFuzzer.
# VKCONDB_FUZZ_PYTHON picks the interpreter (default: python3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

py=${VKCONDB_FUZZ_PYTHON:-$(command -v python3)}
seconds=${VKCONDB_FUZZ_SECONDS:-60}
ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="$root/build/venv-$ver"
if ! "$venv/bin/python" -c "import vkcondb._vkscript" 2>/dev/null; then
  echo "--- building vkcondb into $venv"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  CMAKE_ARGS="-DVKCONDB_TEST_ENGINE=ON" "$venv/bin/python" -m pip install -q ".[test]"
fi
"$venv/bin/python" -m pip install -q -r fuzz/requirements.txt

work="$root/build/fuzz"
mkdir -p "$work/corpus" "$work/artifacts"
cp -n fuzz/corpus/* "$work/corpus/" 2>/dev/null || true
log="$work/last-run.log"

echo "=== fuzzing for ${seconds}s on Python $ver (log: $log)"
status=0
# The driver's own diagnostic lines go to standard output: into the log.
(cd "$work" && "$venv/bin/python" "$root/fuzz/fuzz_api.py" "$work/corpus" \
    -max_total_time="$seconds" -timeout=20 -max_len=1024 -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$@") \
    >"$work/stdout.log" 2>"$log" || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
echo "fuzz: ${runs:-?} executions, ${rate:-?} per second, corpus $(ls "$work/corpus" | wc -l) inputs"
if [ "$status" != 0 ]; then
  # The finding's traceback, without the driver's own diagnostic lines.
  grep -a -v -e "^the type not supported" -e $'^\xb2\xbb' "$work/stdout.log" | tail -40 || true
  grep -a -v "^#" "$log" | tail -40
  echo "fuzz: FAILED (exit $status); inputs kept in $work/artifacts/:"
  ls -l "$work/artifacts/"
  exit 1
fi
echo "fuzz: no findings"

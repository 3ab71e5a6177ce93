#!/usr/bin/env bash
# Install what vkcondb needs and run every test, once per Python: the
# machine's python3, and Python 3.7 and the newest Python where pyenv has
# them.  Each Python gets a fresh virtual environment under build/, the
# package is built and installed into it with the scripted test engine, and
# pytest runs the tests/ suites.  SQLAlchemy's dialect compliance suite runs
# in a pytest of its own (its plugin takes over pytest's configuration), on
# both engines, with the first Python only unless VKCONDB_SQLA_COMPLIANCE=all
# (about two minutes per Python); VKCONDB_SQLA_COMPLIANCE=none skips it.
# VKCONDB_PYTHONS="python3 /path/to/python3.x" picks the interpreters.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash dev/install-deps.sh

if [ -z "${VKCONDB_PYTHONS:-}" ]; then
  VKCONDB_PYTHONS=$(command -v python3)
  for p in /root/.pyenv/versions/3.7*/bin/python3; do
    [ -x "$p" ] && VKCONDB_PYTHONS="$VKCONDB_PYTHONS $p"
  done
  # and the newest Python pyenv offers: the one new users have
  newest=$(ls -d /root/.pyenv/versions/3.* 2>/dev/null | sort -V | tail -1)
  if [ -n "$newest" ] && [ -x "$newest/bin/python3" ]; then
    case " $VKCONDB_PYTHONS " in
      *" $newest/bin/python3 "*) ;;
      *) VKCONDB_PYTHONS="$VKCONDB_PYTHONS $newest/bin/python3" ;;
    esac
  fi
fi

status=0
compliance=${VKCONDB_SQLA_COMPLIANCE:-first}
leak_cycles=${VKCONDB_LEAK_CYCLES:-1000000}
for py in $VKCONDB_PYTHONS; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$root/build/venv-$ver"
  echo "=== Python $ver ($py) ==="
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  CMAKE_ARGS="-DVKCONDB_TEST_ENGINE=ON" "$venv/bin/python" -m pip install -q ".[test]"
  # Run from tests/ so the source tree's python/ folder never shadows the
  # installed package.
  if ! (cd tests && VKCONDB_LEAK_CYCLES="$leak_cycles" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider .); then
    status=1
  fi
  # The million execute/fetch cycles of tests/leaks run on the first Python;
  # the others run a tenth of them, which still shows a leak of a byte a cycle.
  leak_cycles=${VKCONDB_LEAK_CYCLES:-100000}
  if [ "$compliance" != none ]; then
    for database in sqlite postgresql; do
      echo "--- SQLAlchemy compliance suite, $database+vkcondb (Python $ver)"
      if ! (cd tests && "$venv/bin/python" sqla_dialects/run_compliance.py "$database" -q); then
        status=1
      fi
    done
    [ "$compliance" = all ] || compliance=none
  fi
done
exit $status

#!/usr/bin/env bash
# Make build/bench-venv: a virtual environment with the peer drivers of the
# PostgreSQL benches (bench/requirements-postgres.txt) and vkcondb.
#
#   bash bench/setup-peers.sh            # vkcondb from build/dev/python
#   bash bench/setup-peers.sh --install  # vkcondb built from the tree (slow)
#
# By default the venv reads vkcondb from the developer build in
# build/dev/python (a .pth file), so a rebuild there is what the bench
# measures, with no reinstall.  --install builds and installs the package
# from the tree with pip instead.
#
# psycopg[c] and psycopg2 compile against Debian's libpq-dev (pg_config must
# be on PATH).  When a compile fails the binary wheel is installed instead
# (psycopg[binary], psycopg2-binary) and a line says so.
#
# Then:  build/bench-venv/bin/python bench/fetch.py --engine postgres
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
venv="$root/build/bench-venv"
python=${PYTHON:-python3}
install_tree=0
[ "${1:-}" = "--install" ] && install_tree=1

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv" || exit 1
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check)
"${pip[@]}" install -q --upgrade pip wheel setuptools || exit 1

status=0
# A peer that will not install is reported; the benches skip it.
if "${pip[@]}" install -q "psycopg[c]"; then
    echo "psycopg[c]: installed (C implementation built against libpq-dev)"
elif "${pip[@]}" install -q "psycopg[binary]"; then
    echo "psycopg[c]: build failed; installed psycopg[binary] instead"
else
    echo "psycopg: NOT installed"; status=1
fi
if "${pip[@]}" install -q psycopg2; then
    echo "psycopg2: installed (built against libpq-dev)"
elif "${pip[@]}" install -q psycopg2-binary; then
    echo "psycopg2: build failed; installed psycopg2-binary instead"
else
    echo "psycopg2: NOT installed"; status=1
fi
if "${pip[@]}" install -q asyncpg; then
    echo "asyncpg: installed"
else
    echo "asyncpg: NOT installed"; status=1
fi

site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
if [ "$install_tree" = 1 ]; then
    rm -f "$site/vkcondb-dev.pth"
    if "${pip[@]}" install -q "$root"; then
        echo "vkcondb: installed from $root"
    else
        echo "vkcondb: NOT installed"; status=1
    fi
else
    "${pip[@]}" uninstall -q -y vkcondb >/dev/null 2>&1
    echo "$root/build/dev/python" > "$site/vkcondb-dev.pth"
    echo "vkcondb: read from $root/build/dev/python (build it with the dev build)"
fi

"$venv/bin/python" - <<'PY'
import importlib
for name in ("vkcondb", "psycopg", "psycopg2", "asyncpg"):
    try:
        mod = importlib.import_module(name)
    except Exception as exc:
        print("  %-9s import failed: %s" % (name, exc))
        continue
    extra = ""
    if name == "psycopg":
        extra = " (implementation: %s)" % mod.pq.__impl__
    version = getattr(mod, "__version__", None) or "from " + mod.__file__
    print("  %-9s %s%s" % (name, version, extra))
PY
exit $status

#!/usr/bin/env bash
# The main job on a fresh machine: install what vkcondb needs, build and
# install it into a virtual environment (.venv in this checkout), and run a
# query through its shell on the embedded engine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash dev/install-deps.sh
python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q .
.venv/bin/python -m vkcondb :memory: -c \
  "select 'vkcondb' as driver, sqlite_version() as engine, 6 * 7 as answer;"

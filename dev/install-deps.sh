#!/usr/bin/env bash
# Install the Debian packages that building and testing vkcondb need.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libsqlite3-dev libpq-dev postgresql
          python3-dev python3-venv)
sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null

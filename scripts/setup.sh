#!/usr/bin/env bash
# Installs everything the project needs on a fresh machine, then builds and
# installs the module into the running Python.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq g++ nlohmann-json3-dev libgtest-dev >/dev/null
# clang and its runtime (libFuzzer, the sanitizers) for the fuzz targets under fuzz/.
$SUDO apt-get install -y -qq clang libclang-rt-dev >/dev/null

PYTHON="${PYTHON:-python3}"
"$PYTHON" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
"$PYTHON" -m pip install -q cmake ninja
"$PYTHON" -m pip install -q ".[test]"

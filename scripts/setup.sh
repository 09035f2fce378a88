#!/usr/bin/env bash
# Installs what the project needs and is missing, then builds the module and
# installs it into the project's virtual environment .venv (made from
# $PYTHON, default python3, on first use).
#
# Debian packages are installed only when one is missing (and only then is
# the package list updated). The build keeps its directory under build/, so a
# second run rebuilds only what changed, and nothing at all when no source
# changed since the last install.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
BASE_PYTHON="${PYTHON:-python3}"
VENV="${VORA_VENV:-$PWD/.venv}"

# --- Debian packages: the compilers, GoogleTest, clang with its libFuzzer
# runtime for fuzz/, patch (the tests apply `check --diff` with it), neovim
# (the language server's test in a real editor, headless); venv
# and headers only for a Debian Python.
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
fuzzer_runtime() {
    command -v clang++ >/dev/null &&
        compgen -G "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null
}
missing=()
for package in g++ libgtest-dev clang patch neovim; do
    installed "$package" || missing+=("$package")
done
fuzzer_runtime || missing+=(libclang-rt-dev)
if ! "$BASE_PYTHON" -c 'import ensurepip, venv' 2>/dev/null; then missing+=(python3-venv); fi
if ! "$BASE_PYTHON" -c 'import os, sysconfig; assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
    missing+=(python3-dev)
fi
if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- The project's virtual environment, with the build tools and test tools.
if ! "$VENV/bin/python" -c '' 2>/dev/null; then
    rm -rf "$VENV"
    "$BASE_PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"
stamp="$VENV/.vora-installed"   # its time: the sources the installed module was built from
install() {
    touch "$stamp.next"
    "$PY" -m pip install -q --no-build-isolation -C build-dir=build/{wheel_tag} "$@"
    mv "$stamp.next" "$stamp"
}
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ]; then
    "$PY" -m pip install -q --upgrade pip
    "$PY" -m pip install -q "scikit-build-core>=0.11" cmake ninja
    install ".[test]"
elif [ -n "$(find src third_party CMakeLists.txt -newer "$stamp" -print -quit)" ]; then
    install --no-deps .
fi

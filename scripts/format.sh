#!/usr/bin/env bash
# Lays out the project's C++ by .clang-format, with the pinned clang-format
# from PyPI (installed into the project's environment when missing);
# --check changes nothing and fails, naming the files, when one is not laid
# out so.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="${VORA_VENV:-$PWD/.venv}"
version=19.1.7
if [ "$("$VENV/bin/clang-format" --version 2>/dev/null | sed -n 's/.*version \([0-9.]*\).*/\1/p')" != "$version" ]; then
    "$VENV/bin/python" -m pip install -q "clang-format==$version"
fi
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp' \
    'bench/*.cpp' 'bench/*.hpp')
if [ "${1:-}" = "--check" ]; then
    "$VENV/bin/clang-format" --dry-run -Werror "${files[@]}"
    echo "format: ${#files[@]} files laid out by .clang-format"
else
    "$VENV/bin/clang-format" -i "${files[@]}"
fi

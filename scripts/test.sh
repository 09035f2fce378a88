#!/usr/bin/env bash
# Runs every test: the C++ unit tests (under AddressSanitizer and
# UndefinedBehaviorSanitizer) and the Python tests of the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
PYTHON="${PYTHON:-python3}"

build=build/ci-tests
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORA_BUILD_MODULE=OFF -DVORA_BUILD_TESTS=ON \
    -DVORA_SANITIZE=ON >/dev/null
cmake --build "$build" -j2
(cd "$build" && ctest --output-on-failure)

# Run pytest from outside the source tree so the installed module is the one tested.
"$PYTHON" -m pytest -q -p no:cacheprovider "$PWD/tests/python"

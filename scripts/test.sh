#!/usr/bin/env bash
# Runs every test: the C++ unit tests (under AddressSanitizer and
# UndefinedBehaviorSanitizer), the fuzz targets, the Python tests against a
# sanitizer build of the module, and the Python tests of the installed module.
#
# VORA_FUZZ_SECONDS: how long each fuzz target runs (default 60; 0 skips
# fuzzing, for a quicker run by hand).
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds="${VORA_FUZZ_SECONDS:-60}"
if ! [[ "$fuzz_seconds" =~ ^[0-9]+$ ]]; then
    echo "scripts/test.sh: VORA_FUZZ_SECONDS must be a whole number of seconds, not '$fuzz_seconds'" >&2
    exit 2
fi
scripts/setup.sh
# The project's virtual environment that scripts/setup.sh made: its Python,
# cmake and ninja.
VENV="${VORA_VENV:-$PWD/.venv}"
export PATH="$VENV/bin:$PATH"
PYTHON="$VENV/bin/python"

# The C++ laid out by .clang-format (scripts/format.sh lays it out).
scripts/format.sh --check

build=build/ci-tests
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORA_BUILD_MODULE=OFF -DVORA_BUILD_TESTS=ON \
    -DVORA_SANITIZE=ON -DVORA_WERROR=ON >/dev/null
cmake --build "$build" -j2
(cd "$build" && ctest --output-on-failure -j2)
# The TOML differential tests in tests/python read documents through the
# sanitizer build of toml_dump.
export VORA_TOML_DUMP="$PWD/$build/toml_dump"
# The model-reader tests read files through its sanitizer build of model_dump.
export VORA_MODEL_DUMP="$PWD/$build/model_dump"

# Fuzzing: each libFuzzer target for VORA_FUZZ_SECONDS from the seed corpus
# (built with clang in a build directory of its own; fails on any crash).
if [ "$fuzz_seconds" -gt 0 ]; then
    if ! command -v clang++ >/dev/null; then
        sudo_cmd=""
        if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq clang libclang-rt-dev >/dev/null
    fi
    VORA_FUZZ_JOBS=2 fuzz/run.sh "$fuzz_seconds"
else
    echo "fuzzing skipped (VORA_FUZZ_SECONDS=0)"
fi

# The Python tests once more against a module built with the sanitizers
# (the long memory-growth test is left to the plain run below), and with the
# sanitizer build of vora-config from the unit-test build.
asan_build=build/ci-asan-module
cmake -S . -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORA_SANITIZE=ON -DVORA_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$asan_build" -j2 --target vora_convert_inner
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONPATH="$PWD/$asan_build" VORA_CONFIG="$PWD/$build/vora-config" "$PYTHON" -m pytest -q -p no:cacheprovider -k "not memory" "$PWD/tests/python"

# Run pytest on the installed module; this run's summary closes the output.
"$PYTHON" -m pytest -q -p no:cacheprovider "$PWD/tests/python"

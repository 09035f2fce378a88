#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a bounded time.
#
#   fuzz/run.sh [seconds per target]      (default 60)
#
# Each target first replays every input under fuzz/regressions/, then fuzzes
# from the seed corpus: the TOML conformance files under tests/toml-test/valid
# and tests/toml-test/invalid and examples/, with the dictionary
# fuzz/toml.dict; the model-file reader from the small models and arrays
# under fuzz/seeds/model/; the language server from the sessions under
# fuzz/seeds/lsp/ with fuzz/lsp.dict. New corpus entries are written only
# into a temporary directory, removed at the end. A crashing input is kept as
# build/fuzz/artifacts/<target>-crash-<hash>, and the script exits non-zero.
#
# Environment: VORA_FUZZ_BUILD (build directory, default build/fuzz),
# VORA_FUZZ_JOBS (build jobs, default 1), VORA_FUZZ_KEEP (a directory to keep
# the new corpus entries in, instead of the temporary one).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
build="${VORA_FUZZ_BUILD:-build/fuzz}"
targets=(fuzz_toml_reader fuzz_load_summary fuzz_model_reader fuzz_lsp)

if ! command -v clang++ >/dev/null; then
    echo "fuzz/run.sh: clang++ not found (scripts/setup.sh installs it)" >&2
    exit 2
fi

CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORA_BUILD_FUZZ=ON -DVORA_BUILD_MODULE=OFF -DVORA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"${VORA_FUZZ_JOBS:-1}" --target "${targets[@]}"

artifacts="$build/artifacts"
mkdir -p "$artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
corpus_root="${VORA_FUZZ_KEEP:-$work/corpus}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

regressions=()
for f in fuzz/regressions/*; do
    [ -f "$f" ] && regressions+=("$f")
done

status=0
for target in "${targets[@]}"; do
    log="$work/$target.log"
    if [ "${#regressions[@]}" -gt 0 ]; then
        if ! "$build/$target" "${regressions[@]}" >"$log" 2>&1; then
            echo "$target: a regression input fails again" >&2
            grep -E 'Running:|invariant broken|ERROR:|runtime error|SUMMARY:' "$log" | tail -n 20 >&2
            status=1
            continue
        fi
    fi
    mkdir -p "$corpus_root/$target"
    seeds=(tests/toml-test/valid tests/toml-test/invalid examples -dict=fuzz/toml.dict)
    if [ "$target" = fuzz_model_reader ]; then seeds=(fuzz/seeds/model); fi
    if [ "$target" = fuzz_lsp ]; then seeds=(fuzz/seeds/lsp -dict=fuzz/lsp.dict); fi
    if "$build/$target" "$corpus_root/$target" "${seeds[@]}" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
        -artifact_prefix="$artifacts/$target-" -print_final_stats=1 >"$log" 2>&1; then
        runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)"
        cov="$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)"
        echo "$target: ${seconds} s, ${runs:-?} inputs, ${cov:-cov: ?}, no crash"
    else
        echo "$target: CRASH (input kept under $artifacts/)" >&2
        grep -v '^#[0-9]' "$log" | tail -n 60 >&2
        status=1
    fi
done
exit "$status"

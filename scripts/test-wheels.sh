#!/usr/bin/env bash
# Builds the wheels (scripts/wheels.sh, the same arguments) and checks each:
#
#   scripts/test-wheels.sh [--arch x86_64|aarch64] [VERSION...]
#   scripts/test-wheels.sh --debug
#
# - auditwheel finds it consistent with manylinux_2_17_<arch>; its module and
#   vora-config need no shared library but libc, libm, libpthread, libdl,
#   librt and the dynamic loader (the module also libgcc_s, the system's
#   unwinder), no GLIBC_ symbol version above 2.17, and carry no debug
#   information or symbol table;
# - x86_64: installed into a fresh virtual environment of its Python with the
#   test dependencies from PyPI (binary wheels only), with no compiler or
#   CMake reachable (CC=false CXX=false, and a PATH without them), it passes
#   the whole Python suite (but the pre-commit hook test, a source build) with no test skipped, and its vora-config explain
#   prints the module's bytes. Pythons 3.8-3.13 are pyenv's; 3.14 and 3.15,
#   where pyenv has none, are Debian's own, run inside the Debian unstable
#   root of scripts/sid-python.sh, which has no compiler at all;
# - aarch64: Debian's own ARM64 Pythons 3.11 and 3.15 under qemu import the
#   module from the wheel of their version; rust_explain and vora-config
#   explain of the examples print the same bytes as the x86-64 wheel of that
#   version, vora-config check gives the same findings, and the Python suite
#   runs there too;
# - --debug: the module of the cp315 x86-64 wheel under Debian's debug
#   interpreter python3.15-dbg (assertions, reference-count checks, a checking
#   allocator), with -X dev and PYTHONMALLOC=debug, passes the Python suite.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
work="$root/build/wheels"
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
# CMake and Ninja of the project environment (scripts/setup.sh), when there is one.
if [ -d "$root/.venv/bin" ]; then export PATH="$root/.venv/bin:$PATH"; fi

arch=x86_64
args=()
versions=()
debug=0
while [ $# -gt 0 ]; do
    case "$1" in
        --debug) debug=1; shift; continue ;;
        --arch) arch="${2:-}"; args+=("$1" "$arch"); shift 2 || exit 2; continue ;;
        --arch=*) arch="${1#--arch=}" ;;
        *) versions+=("$1") ;;
    esac
    args+=("$1")
    shift
done
if [ "$debug" = 1 ]; then
    [ "$arch" = x86_64 ] && [ "${#versions[@]}" -eq 0 ] || { echo "test-wheels.sh: --debug takes no other argument" >&2; exit 2; }
    args=(3.15)
    versions=(3.15)
fi

scripts/wheels.sh "${args[@]}"
sid="$root/build/sid"

fail() { echo "test-wheels.sh: $*" >&2; exit 1; }

# The ELF checks, by readelf (it reads either architecture): the libraries a
# binary needs, the newest glibc symbol version, and what it carries.
check_binary() {
    local file="$1" name
    name="$(basename "$file")"
    local needed
    needed="$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')"
    for library in $needed; do
        case "$library" in
            libc.so.6|libm.so.6|libpthread.so.0|libdl.so.2|librt.so.1|ld-linux-x86-64.so.2|ld-linux-aarch64.so.1) ;;
            # The module unwinds with the system's unwinder, which the C
            # library itself loads to end a thread (see wheels.sh).
            libgcc_s.so.1) [[ "$name" == vora_convert_inner.* ]] || fail "$name needs $library" ;;
            *) fail "$name needs $library" ;;
        esac
    done
    local newest
    newest="$(readelf -V -W "$file" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)"
    if [ "$(printf '%s\n2.17\n' "$newest" | sort -V | tail -n 1)" != 2.17 ]; then
        fail "$name needs GLIBC_$newest"
    fi
    if readelf -S -W "$file" | grep -Eq ' \.(debug_[a-z]+|symtab) '; then
        fail "$name carries debug information or a symbol table"
    fi
    echo "  $name: $(stat -c %s "$file") bytes; needs ${needed% }; newest glibc symbol version GLIBC_$newest; stripped"
}

# The newest pyenv interpreter of a version, or nothing.
pyenv_python() {
    ls -d "$pyenv_root"/versions/"$1".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true
}

# How a version's interpreter is run here: pyenv's on this machine, with
# CC=false CXX=false and a PATH without compilers; 3.14 and 3.15 without
# pyenv's, Debian's inside the unstable root (no compiler there at all). Sets
# base (the interpreter) and runner (the command prefix; the venv's scripts
# folder, given as $1, goes first on its PATH).
choose_python() {  # version, venv
    base="$(pyenv_python "$1")"
    if [ -n "$base" ]; then
        runner=(env CC=false CXX=false PATH="$2/bin:$clean_bin")
    elif [ "$1" = 3.14 ] || [ "$1" = 3.15 ]; then
        scripts/sid-python.sh >/dev/null
        base="python$1"
        runner=("$sid/run" CC=false CXX=false PATH="$2/bin:/usr/local/bin:/usr/bin:/bin")
    else
        runner=()
    fi
}

unpack_wheel() {  # wheel, folder
    rm -rf "$2"
    mkdir -p "$2"
    (cd "$2" && "$work/tools/bin/python" -m zipfile -e "$1" .)
    chmod +x "$2"/*.data/scripts/vora-config
}

check_wheel_files() {  # wheel, unpack folder
    local wheel="$1" unpacked="$2"
    local shown
    shown="$("$work/tools/bin/auditwheel" show "$wheel" 2>/dev/null | tr -s ' \n' ' ')"
    grep -q "consistent with the following platform tag: \"manylinux_2_17_$arch\"" <<<"$shown" ||
        fail "auditwheel: $(basename "$wheel") is not consistent with manylinux_2_17_$arch: $shown"
    echo "  auditwheel show: consistent with manylinux_2_17_$arch"
    unpack_wheel "$wheel" "$unpacked"
    check_binary "$(ls "$unpacked"/vora_convert_inner.*.so)"
    check_binary "$(ls "$unpacked"/*.data/scripts/vora-config)"
}

# A PATH of every command the machine has but compilers, linkers and CMake.
no_compiler_path() {
    local farm="$work/no-compiler-bin"
    rm -rf "$farm"
    mkdir -p "$farm"
    local dir file name
    for dir in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin; do
        [ -d "$dir" ] || continue
        for file in "$dir"/*; do
            name="$(basename "$file")"
            case "$name" in
                g++*|gcc*|c++*|cc|cpp*|clang*|cmake*|ccmake*|ninja*|ld|ld.*|c89*|c99*|*-g++*|*-gcc*|*-c++*|*-cpp*|*-ld|*-ld.*|zig*) continue ;;
            esac
            [ -e "$farm/$name" ] || ln -s "$file" "$farm/$name"
        done
    done
    echo "$farm"
}

# The reader's command-line form that the TOML tests compare, built before
# the compiler goes away (it is a test tool, not part of the wheel).
test_tools() {  # builds toml_dump and model_dump; prints their folder
    local build="$root/build/toml-dump"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORA_BUILD_MODULE=OFF -DVORA_BUILD_TESTS=ON >/dev/null
    cmake --build "$build" --target toml_dump model_dump -j2 >/dev/null
    echo "$build"
}

# The preloaded fsync stand-in of the --fix tests, built before the compiler
# goes away, by the wheels' toolchain for the architecture the suite runs on.
fsync_shim() {  # arch -> prints the library's path
    local out="$work/fsync-shim-$1.so"
    "$work/toolchain-$1/cc" -shared -fPIC -O2 -o "$out" "$root/tests/python/data/fsync_shim.c" -ldl
    echo "$out"
}

# A fresh virtual environment of the version's Python holding the wheel and
# the test dependencies.
install_venv() {  # version, wheel -> prints the environment's folder
    local version="$1" wheel="$2"
    local venv="$work/check-$arch-py$version"
    rm -rf "$venv"
    choose_python "$version" "$venv"
    "${runner[@]}" "$base" -m venv "$venv"
    "${runner[@]}" "$venv/bin/python" -m pip install -q \
        --only-binary :all: "$wheel[test]" 2>&1 | { grep -v "^WARNING: Location" || true; } >&2
    echo "$venv"
}

summary=()
if ! command -v cmake >/dev/null; then fail "cmake is needed to build the test tools toml_dump and model_dump (scripts/setup.sh installs it into .venv)"; fi
tools="$(test_tools)"
dump="$tools/toml_dump"
model_dump="$tools/model_dump"
# The Python suite with the module of the cp315 x86-64 wheel under Debian's
# debug interpreter, in the unstable root: -X dev and PYTHONMALLOC=debug, in
# the interpreter that runs pytest and in each it starts. The release and
# debug ABIs are the same since 3.8, and Debian's debug interpreter loads
# the release suffix too; one that looks for its own suffix and the plain
# file name only gets a link of the plain name for each extension module.
debug_suite() {
    local wheel venv log result started=$SECONDS
    wheel="$(ls "$root"/dist/vora_convert_inner-*-cp315-cp315-manylinux*_x86_64.whl)"
    venv="$work/check-debug-py3.15"
    echo "=== $(basename "$wheel") under Debian's python3.15-dbg (build/sid/root), -X dev, PYTHONMALLOC=debug"
    scripts/sid-python.sh >/dev/null
    local runner=("$sid/run" CC=false CXX=false PATH="$venv/bin:/usr/local/bin:/usr/bin:/bin")
    rm -rf "$venv"
    "${runner[@]}" python3.15d -m venv "$venv"
    "${runner[@]}" "$venv/bin/python" -m pip install -q --only-binary :all: "$wheel[test]" 2>&1 |
        { grep -v "^WARNING: Location" || true; } >&2
    local module
    if ! "${runner[@]}" "$venv/bin/python" -c 'import importlib.machinery as m, sys
sys.exit(".cpython-315-x86_64-linux-gnu.so" not in m.EXTENSION_SUFFIXES)'; then
        while IFS= read -r -d '' module; do
            ln -s "$(basename "$module")" "${module%.cpython-315-x86_64-linux-gnu.so}.so"
        done < <(find "$venv/lib" -name '*.cpython-315-x86_64-linux-gnu.so' -print0)
        echo "  the extension modules linked by their plain names"
    fi
    "${runner[@]}" PYTHONMALLOC=debug "$venv/bin/python" -X dev -c 'import sys, vora_convert_inner
assert hasattr(sys, "gettotalrefcount") and sys.flags.dev_mode, "not the debug interpreter in dev mode"
print("  imported by", sys.version.split()[0], "(debug) from", vora_convert_inner.__file__)'
    log="$work/check-debug-py3.15.log"
    (cd "$work" && "${runner[@]}" PYTHONMALLOC=debug PYTHONDEVMODE=1 VORA_TOML_DUMP="$dump" VORA_MODEL_DUMP="$model_dump" VORA_FSYNC_SHIM="$shim" VORA_SARIF_SCHEMA="$sarif_schema" \
        "$venv/bin/python" -X dev -m pytest -q -rfEs -p no:cacheprovider -k "not test_pre_commit_hook and not test_neovim" \
        "$root/tests/python" > "$log" 2>&1) ||
        { grep -E "^(FAILED|ERROR) " "$log" || tail -n 30 "$log"; fail "the Python suite failed under the debug interpreter ($log)"; }
    result="$(tail -n 1 "$log" | tr -d '=' | sed 's/^ *//; s/ in [0-9.]*s.*//')"
    if grep -q "skipped" <<<"$result"; then grep SKIP "$log"; fail "tests were skipped under the debug interpreter"; fi
    echo "  Python suite under python3.15-dbg: $result"
    summary+=("3.15  $(basename "$wheel") under python3.15-dbg: $result ($((SECONDS - started)) s)")
}

clean_bin="$(no_compiler_path)"
# The SARIF schema the tests validate against, copied into the checkout,
# which is all that the Debian root sees of this machine.
sarif_schema="$work/sarif-schema-2.1.0.json"
cp "$root/../shared/sarif/sarif-schema-2.1.0.json" "$sarif_schema" 2>/dev/null || sarif_schema=""
shim=""
if [ "$arch" = x86_64 ]; then shim="$(fsync_shim x86_64)"; fi
if [ "$debug" = 1 ]; then
    debug_suite
elif [ "$arch" = x86_64 ]; then
    for wheel in "$root"/dist/vora_convert_inner-*-manylinux*_x86_64.whl; do
        py="$(basename "$wheel" | sed 's/.*-cp\([0-9]*\)-cp.*/\1/')"
        version="${py:0:1}.${py:1}"
        if [ "${#versions[@]}" -gt 0 ] && [[ " ${versions[*]} " != *" $version "* ]]; then continue; fi
        venv="$work/check-$arch-py$version"
        choose_python "$version" "$venv"
        [ "${#runner[@]}" -gt 0 ] || continue
        where=""
        if [ "${runner[0]}" = "$sid/run" ]; then where=" (Debian's python$version in build/sid/root)"; fi
        echo "=== $(basename "$wheel")$where"
        started=$SECONDS
        check_wheel_files "$wheel" "$work/unpacked-$arch-py$version"
        venv="$(install_venv "$version" "$wheel")"
        for tool in g++ c++ gcc cc clang clang++ cmake; do
            if "${runner[@]}" sh -c "command -v $tool" >/dev/null; then fail "$tool is reachable"; fi
        done
        # vora-config explain from the wheel: the module's bytes.
        for example in "$root"/examples/*.toml; do
            "${runner[@]}" "$venv/bin/vora-config" explain "$example" > "$work/explain-cli.txt"
            "${runner[@]}" "$venv/bin/python" -c 'import sys, vora_convert_inner; vora_convert_inner.rust_explain(sys.argv[1])' \
                "$example" > "$work/explain-module.txt"
            cmp -s "$work/explain-cli.txt" "$work/explain-module.txt" || fail "vora-config explain and rust_explain differ on $example"
        done
        echo "  vora-config explain prints the module's bytes ($(wc -c < "$work/explain-module.txt") bytes for the example)"
        log="$work/check-$arch-py$version.log"
        # Left out: the pre-commit hook test, whose hook environment is a
        # source build of the project, and the language server's Neovim test,
        # which needs the editor (neither is in the unstable root);
        # scripts/test.sh runs both.
        (cd "$work" && "${runner[@]}" VORA_TOML_DUMP="$dump" VORA_MODEL_DUMP="$model_dump" VORA_FSYNC_SHIM="$shim" VORA_SARIF_SCHEMA="$sarif_schema" \
            "$venv/bin/python" -m pytest -q -rfEs -p no:cacheprovider -k "not test_pre_commit_hook and not test_neovim" \
            "$root/tests/python" > "$log" 2>&1) ||
            { tail -n 30 "$log"; fail "the Python suite failed with $(basename "$wheel") ($log)"; }
        result="$(tail -n 1 "$log" | tr -d '=' | sed 's/^ *//; s/ in [0-9.]*s.*//')"
        if grep -q "skipped" <<<"$result"; then grep SKIP "$log"; fail "tests were skipped with $(basename "$wheel")"; fi
        echo "  Python suite: $result"
        summary+=("$version  $(basename "$wheel"): $(($(stat -c %s "$wheel") / 1024)) KiB, $result ($((SECONDS - started)) s)")
    done
else
    # Files to explain and check: the examples, and copies with mistakes
    # that check warns of or that stop loading.
    inputs="$work/arm64-inputs"
    rm -rf "$inputs"
    mkdir -p "$inputs"
    cp "$root"/examples/*.toml "$inputs/"
    sed -e 's/^optimization_level = 3/optimisation_level = 2/' -e 's/^quantized_algorithm = "normal"/quantized_algorithm = "mmsee"/' \
        -e 's/^dataset = /datset = /' "$root/examples/example.toml" > "$inputs/misspelled.toml"
    printf '[config]\noptimization_level = 300\n' > "$inputs/out-of-range.toml"
    printf '[load]\nmodel_type = "onnx"\n' > "$inputs/bad-variant.toml"
    printf '[config]\nmean_values = [1, 2,\n' > "$inputs/unclosed.toml"

    for wheel in "$root"/dist/vora_convert_inner-*-manylinux*_aarch64.whl; do
        py="$(basename "$wheel" | sed 's/.*-cp\([0-9]*\)-cp.*/\1/')"
        version="${py:0:1}.${py:1}"
        # Only the versions asked for: another may be an older build.
        if [ "${#versions[@]}" -gt 0 ] && [[ " ${versions[*]} " != *" $version "* ]]; then continue; fi
        echo "=== $(basename "$wheel")"
        started=$SECONDS
        unpacked="$work/unpacked-aarch64-py$version"
        check_wheel_files "$wheel" "$unpacked"
        # The ARM64 interpreter (Debian's, under qemu) and the reference: the
        # x86-64 wheel of the same version, run by an x86-64 interpreter of it
        # (for 3.15 Debian's, inside the unstable root).
        case "$version" in
            3.11) arm_dir="$root/build/arm64"; ref_run=(env); host_python="$(pyenv_python 3.11)" ;;
            3.15) scripts/sid-python.sh >/dev/null
                  arm_dir="$sid/arm64"; ref_run=("$sid/run"); host_python=python3.15 ;;
            *) summary+=("$version  $(basename "$wheel"): $(($(stat -c %s "$wheel") / 1024)) KiB, untested (no ARM64 interpreter of this version here)")
               continue ;;
        esac
        arm_python="$arm_dir/python$version"
        scripts/wheels.sh "$version" >/dev/null
        reference="$work/unpacked-x86_64-py$version"
        unpack_wheel "$(ls "$root"/dist/*-cp$py-cp$py-manylinux*_x86_64.whl)" "$reference"
        arm_cli="$work/arm64-vora-config"
        printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$arm_dir/run" "$(ls "$unpacked"/*.data/scripts/vora-config)" > "$arm_cli"
        chmod +x "$arm_cli"
        PYTHONPATH="$unpacked" "$arm_python" -c 'import platform, vora_convert_inner; assert platform.machine() == "aarch64"; print("  imported on", platform.machine(), "from", vora_convert_inner.__file__)'
        explain='import sys, vora_convert_inner
try:
    vora_convert_inner.rust_explain(sys.argv[1])
except RuntimeError as e:
    print("RuntimeError:", e, file=sys.stderr)'
        compared=0
        for file in "$inputs"/*.toml; do
            (cd "$inputs" && "${ref_run[@]}" PYTHONPATH="$reference" "$host_python" -c "$explain" "$(basename "$file")" > "$work/x86.out" 2> "$work/x86.err") || true
            (cd "$inputs" && PYTHONPATH="$unpacked" "$arm_python" -c "$explain" "$(basename "$file")" > "$work/arm.out" 2> "$work/arm.err") || true
            cmp -s "$work/x86.out" "$work/arm.out" && cmp -s "$work/x86.err" "$work/arm.err" ||
                fail "rust_explain differs between x86-64 and ARM64 on $file"
            (cd "$inputs" && "$reference"/*.data/scripts/vora-config explain "$(basename "$file")" > "$work/x86-cli.out" 2> "$work/x86-cli.err") || true
            (cd "$inputs" && "$arm_cli" explain "$(basename "$file")" > "$work/arm-cli.out" 2> "$work/arm-cli.err") || true
            cmp -s "$work/x86.out" "$work/arm-cli.out" && cmp -s "$work/x86-cli.err" "$work/arm-cli.err" ||
                fail "vora-config explain on ARM64 differs from the module on x86-64 on $file"
            compared=$((compared + 1))
        done
        for format in text json github; do
            (cd "$inputs" && "$reference"/*.data/scripts/vora-config check --format "$format" ./*.toml > "$work/x86-check.out" 2>&1) || true
            (cd "$inputs" && "$arm_cli" check --format "$format" ./*.toml > "$work/arm-check.out" 2>&1) || true
            cmp -s "$work/x86-check.out" "$work/arm-check.out" || fail "vora-config check --format $format differs between x86-64 and ARM64"
        done
        echo "  rust_explain and vora-config explain: the same bytes as x86-64 on $compared files; vora-config check: the same findings (text, json, github)"
        # The Python suite under emulation: the module from the wheel, its
        # vora-config through qemu. Left out: the two schema tests that need
        # the validators jsonschema and check-jsonschema (not in the ARM64
        # folder), the typing tests (mypy; skipped), and the pre-commit hook
        # test, a source build of the project by this machine's pre-commit and
        # compiler that says nothing of ARM64; for 3.15 also the colour test:
        # under this machine's emulator (qemu 7.2) the C library of Debian
        # unstable does not take a pseudo-terminal for a terminal (isatty is
        # false), so "auto" never colours there.
        log="$work/check-aarch64-py$version.log"
        left_out="not test_check_jsonschema_reads_the_schema and not test_schema_accepts_what_checks_clean"
        left_out+=" and not test_pre_commit_hook"
        if [ "$version" != 3.11 ]; then left_out+=" and not test_colour_on_a_terminal_or_when_asked"; fi
        (cd "$work" && PYTHONPATH="$unpacked" VORA_CONFIG="$arm_cli" VORA_TOML_DUMP="$dump" VORA_MODEL_DUMP="$model_dump" VORA_FSYNC_SHIM="$(fsync_shim aarch64)" VORA_SARIF_SCHEMA="$sarif_schema" \
            "$arm_python" -m pytest -q -rs -p no:cacheprovider -k "$left_out" \
            "$root/tests/python" > "$log" 2>&1) ||
            { tail -n 30 "$log"; fail "the Python suite failed on ARM64 ($log)"; }
        result="$(tail -n 1 "$log" | tr -d '=' | sed 's/^ *//; s/ in [0-9.]*s.*//')"
        echo "  Python suite under qemu: $result"
        grep '^SKIPPED' "$log" | sed 's/^/    /' || true
        summary+=("$version  $(basename "$wheel"): $(($(stat -c %s "$wheel") / 1024)) KiB, $result ($((SECONDS - started)) s)")
    done
fi

echo "=== checked wheels ($arch$([ "$debug" = 0 ] || echo ", debug interpreter"))"
printf '%s\n' "${summary[@]}"

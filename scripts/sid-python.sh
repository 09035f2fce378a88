#!/usr/bin/env bash
# Prepares build/sid/: Debian's own CPython 3.14 and 3.15 (with the 3.15 debug
# interpreter), which need a newer glibc than this machine has, in a Debian
# unstable root made with debootstrap; their headers for the wheel builds; and
# Debian's ARM64 CPython 3.15 under user-mode emulation, as
# scripts/arm64-python.sh does for 3.11.
#
#   build/sid/root/          the Debian unstable root (x86-64, minbase): python3.14,
#                            python3.15 with their venv modules and python3.15-dbg;
#                            no compiler, no CMake
#   build/sid/run            runs a command inside the root: run [VAR=VALUE...]
#                            PROGRAM ARGS...; the checkout is bound at its own path,
#                            the environment is only the variables given, PATH and HOME
#   build/sid/include-<arch>-py<version>/
#                            the headers of libpython<version>-dev of that
#                            architecture, pyconfig.h included (x86_64: 3.14 3.15;
#                            aarch64: 3.15), for scripts/wheels.sh
#   build/sid/arm64/python3.15   Debian's ARM64 CPython 3.15 under qemu (a wrapper; its
#                            arguments are Python's, PYTHONPATH given to it is kept)
#   build/sid/arm64/run      runs an ARM64 executable against the ARM64 sysroot
#   build/sid/arm64/root/, site/   the sysroot and numpy, pytest, tomli for it
#   build/sid/debs/          the downloaded packages, reused by later runs
#
# Installs debootstrap and qemu-user-static when missing (updating the package
# list only then). The first run takes a few minutes (the root); a later run
# finds its stamp and prints one line. Deleting build/sid/.ready makes the
# next run check and complete the root and remake the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout="$PWD"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
apt_root() { $SUDO env DEBIAN_FRONTEND=noninteractive DEBCONF_NOWARNINGS=yes apt-get "$@"; }
HOST_PYTHON="${PYTHON:-python3}"
MIRROR="${VORA_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

out="$checkout/build/sid"
root="$out/root"
arm="$out/arm64"
stamp="$out/.ready"
versions=(3.14 3.15)
# git and patch: for pre-commit and the diff tests (neither is a compiler).
root_packages=(python3.14 python3.14-venv python3.15 python3.15-venv python3.15-dbg git patch)
# The unstable suite's signed index may be past its Valid-Until date on a
# machine whose archive is a snapshot: the signature is still checked.
apt_options=(-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false
             -o Dpkg::Use-Pty=0 -o quiet=2)
arm_roots=(python3.15-minimal libpython3.15-minimal libpython3.15-stdlib libc6 libexpat1 zlib1g
           libffi8 libbz2-1.0 liblzma5 libzstd1 libcrypt1 libuuid1 libssl3t64 libsqlite3-0 libncursesw6
           libtinfo6 libreadline8t64 libgcc-s1 libstdc++6 libmpdec4)
wheels=(pytest numpy tomli)
recipe="1 ${root_packages[*]} | ${arm_roots[*]} | ${wheels[*]}"

# --- The runner: the root with the checkout, /dev, /proc and /tmp of its own
# mounted in a mount namespace of its own (gone when the command ends).
write_runner() {
    {
        echo '#!/bin/sh'
        echo '# Runs a command inside the Debian unstable root; made by scripts/sid-python.sh.'
        echo '# Usage: run [VAR=VALUE...] PROGRAM ARGS... (in the working folder when it is'
        echo '# inside the checkout, else in the checkout).'
        echo "root='$root'"
        echo "checkout='$checkout'"
        echo "sudo='$SUDO'"
        cat <<'EOF'
case "$PWD/" in "$checkout"/*) dir="$PWD" ;; *) dir="$checkout" ;; esac
exec $sudo unshare -m /bin/sh -c '
    set -e
    mkdir -p "$1$2"
    mount --bind "$2" "$1$2"
    mount --rbind /dev "$1/dev"
    mount -t proc proc "$1/proc"
    root="$1" dir="$3"
    shift 3
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/sh -c "cd \"\$0\" && exec /usr/bin/env \"\$@\"" "$dir" "$@"
' sh "$root" "$checkout" "$dir" "$@"
EOF
    } >"$out/run"
    chmod +x "$out/run"
}

write_arm_wrappers() {
    cat >"$arm/python3.15" <<EOF
#!/bin/sh
# Debian's ARM64 CPython 3.15 under emulation; made by scripts/sid-python.sh.
export PYTHONHOME='$arm/root/usr'
export PYTHONNOUSERSITE=1
export PYTHONPATH="\${PYTHONPATH:+\$PYTHONPATH:}$arm/site"
exec '$qemu' -L '$arm/root' -0 '$arm/python3.15' '$arm/root/usr/bin/python3.15' "\$@"
EOF
    cat >"$arm/run" <<EOF
#!/bin/sh
# Runs an ARM64 executable under emulation against the ARM64 sysroot; made by
# scripts/sid-python.sh.
exec '$qemu' -L '$arm/root' "\$@"
EOF
    chmod +x "$arm/python3.15" "$arm/run"
}

# --- The host tools: debootstrap and the emulator.
missing=()
command -v debootstrap >/dev/null || missing+=(debootstrap)
qemu="$(command -v qemu-aarch64-static || command -v qemu-aarch64 || true)"
[ -n "$qemu" ] || missing+=(qemu-user-static)
if [ "${#missing[@]}" -gt 0 ]; then
    echo "sid: installing ${missing[*]}"
    if [ -z "$(apt-cache policy "${missing[@]}" 2>/dev/null | awk '$1 == "Candidate:" && $2 != "(none)"')" ]; then
        apt_root update -qq
    fi
    apt_root install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    qemu="$(command -v qemu-aarch64-static || command -v qemu-aarch64)"
fi

mkdir -p "$out" "$arm"
if [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$recipe" ] && [ -x "$root/usr/bin/python3.15" ]; then
    write_runner
    write_arm_wrappers
    echo "sid: build/sid ready ($(tail -n 1 "$stamp"))"
    exit 0
fi
rm -f "$stamp"
write_runner

# --- The root. debootstrap writes it whole, or the next run starts it again.
if [ ! -x "$root/usr/bin/apt-get" ] || [ ! -f "$root/.debootstrap-done" ]; then
    echo "sid: debootstrap of Debian unstable into build/sid/root"
    rm -rf "$root"
    started=$SECONDS
    $SUDO debootstrap --variant=minbase --arch=amd64 unstable "$root" "$MIRROR" >"$out/debootstrap.log" 2>&1 ||
        { tail -n 20 "$out/debootstrap.log" >&2; echo "sid: debootstrap failed ($out/debootstrap.log)" >&2; exit 1; }
    touch "$root/.debootstrap-done"
    echo "sid: debootstrap took $((SECONDS - started)) s"
fi
# Name resolution and the machine's certificate authorities, for apt and pip
# inside; pip's index settings of the machine (http and https ones: a local
# folder of the machine is not inside).
# The bundle is copied again once the packages are in: Debian's
# ca-certificates, which they bring, writes its own.
copy_host_files() {
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    mkdir -p "$root/etc/ssl/certs"
    local bundle host_bundle
    host_bundle="$(PYTHONNOUSERSITE=1 "$HOST_PYTHON" -c 'import ssl; print(ssl.get_default_verify_paths().openssl_cafile)')"
    for bundle in /etc/ssl/certs/ca-certificates.crt "$host_bundle"; do
        if [ -f "$bundle" ]; then cp -L "$bundle" "$root/etc/ssl/certs/ca-certificates.crt"; break; fi
    done
}
copy_host_files
{
    echo "[global]"
    echo "cert = /etc/ssl/certs/ca-certificates.crt"
    "$HOST_PYTHON" -m pip config list 2>/dev/null | sed -n "s/^[a-z:]*\.\(index-url\|extra-index-url\|trusted-host\|timeout\|default-timeout\)='\(.*\)'$/\1 \2/p" |
        while read -r key value; do
            kept=()
            for url in $value; do case "$url" in file:*|/*) ;; *) kept+=("$url") ;; esac; done
            if [ "${#kept[@]}" -gt 0 ]; then echo "${key/default-/} = ${kept[*]}"; fi
        done
} >"$root/etc/pip.conf"
printf 'Acquire::Check-Valid-Until "false";\n' >"$root/etc/apt/apt.conf.d/99valid-until"
if ! grep -qx arm64 <<<"$("$out/run" dpkg --print-foreign-architectures)"; then
    "$out/run" dpkg --add-architecture arm64
fi
echo "sid: installing ${root_packages[*]} into the root"
{ "$out/run" DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" update &&
  "$out/run" DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" install -y "${root_packages[@]}"; } >"$out/apt.log" 2>&1 ||
    { tail -n 20 "$out/apt.log" >&2; echo "sid: apt-get in the root failed ($out/apt.log)" >&2; exit 1; }
"$out/run" apt-get clean
copy_host_files
for tool in gcc g++ cc c++ clang cmake; do
    if "$out/run" sh -c "command -v $tool" >/dev/null; then echo "sid: the root has $tool" >&2; exit 1; fi
done

# --- Downloads through the root's apt (its lists are unstable's), into debs/.
mkdir -p "$out/debs"
download() {  # NAME:ARCH...
    local want=() name
    for name in "$@"; do
        compgen -G "$out/debs/${name%:*}_*_${name#*:}.deb" >/dev/null ||
            compgen -G "$out/debs/${name%:*}_*_all.deb" >/dev/null || want+=("$name")
    done
    [ "${#want[@]}" -eq 0 ] || (cd "$out/debs" && "$out/run" apt-get "${apt_options[@]}" -o APT::Sandbox::User=root download "${want[@]}")
}

# --- Headers: libpython<version>-dev of each architecture, unpacked; the
# architecture's pyconfig.h takes the place of Debian's dispatching one.
for pair in x86_64:amd64:3.14 x86_64:amd64:3.15 aarch64:arm64:3.15; do
    IFS=: read -r cpu debarch version <<<"$pair"
    download "libpython$version-dev:$debarch"
    unpacked="$out/unpacked-$debarch-py$version"
    rm -rf "$unpacked"
    dpkg-deb -x "$(ls "$out/debs/libpython$version-dev_"*"_$debarch.deb" | sort -V | tail -n 1)" "$unpacked"
    include="$out/include-$cpu-py$version"
    rm -rf "$include"
    cp -r "$unpacked/usr/include/python$version" "$include"
    cp "$unpacked/usr/include/$cpu-linux-gnu/python$version/pyconfig.h" "$include/pyconfig.h"
    rm -rf "$unpacked"
done

# --- The ARM64 sysroot: the closure of the roots over Depends and PreDepends
# in arm64, less what only package tools use; lib -> usr/lib for the loader.
echo "sid: the ARM64 CPython 3.15"
mapfile -t arm_packages < <("$out/run" apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances "${arm_roots[@]/%/:arm64}" |
    awk '/^[a-z0-9]/ { sub(/:arm64$/, ""); print }' |
    grep -vxE 'dpkg|install-info|tar|perl-base|debconf|cdebconf|debianutils|base-files|mawk|sensible-utils|readline-common|media-types|netbase|tzdata|ca-certificates|openssl-provider-legacy|libpython3.15' |
    sort -u)
download "${arm_packages[@]/%/:arm64}"
new="$arm/root.new"
rm -rf "$new"
mkdir -p "$new"
for name in "${arm_packages[@]}"; do
    deb="$({ ls "$out/debs/${name}_"*_arm64.deb "$out/debs/${name}_"*_all.deb 2>/dev/null || true; } | sort -V | tail -n 1)"
    [ -n "$deb" ] || { echo "sid: no ARM64 package $name was downloaded" >&2; exit 1; }
    dpkg-deb -x "$deb" "$new"
done
for dir in bin sbin lib; do
    if [ -d "$new/$dir" ] && [ ! -L "$new/$dir" ]; then
        mkdir -p "$new/usr/$dir"
        cp -a "$new/$dir/." "$new/usr/$dir/"
        rm -rf "${new:?}/$dir"
    fi
    if [ -d "$new/usr/$dir" ]; then ln -sfn "usr/$dir" "$new/$dir"; fi
done
find "$new" -type l -lname '/*' -print0 |
    while IFS= read -r -d '' link; do ln -sfnr "$new$(readlink "$link")" "$link"; done
mkdir -p "$new/etc"
: >"$new/etc/ld.so.cache"
[ -e "$new/lib/ld-linux-aarch64.so.1" ] || { echo "sid: the ARM64 sysroot has no lib/ld-linux-aarch64.so.1" >&2; exit 1; }
rm -rf "$arm/root"
mv "$new" "$arm/root"

platforms=(--platform manylinux2014_aarch64)
for minor in $(seq 40 -1 17); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
mkdir -p "$arm/wheels"
"$HOST_PYTHON" -m pip download -q --disable-pip-version-check --only-binary :all: \
    "${platforms[@]}" --python-version 3.15 --implementation cp --abi cp315 \
    -d "$arm/wheels" "${wheels[@]}" 2>&1 | { grep -v "^WARNING: Location" || true; } >&2
mapfile -t wheel_files < <(cd "$arm/wheels" && ls -- *.whl | sort -t- -k1,1 -k2,2V |
                           awk -F- '{ newest[$1] = $0 } END { for (name in newest) print newest[name] }')
rm -rf "$arm/site.new"
mkdir -p "$arm/site.new"
for wheel in "${wheel_files[@]}"; do "$HOST_PYTHON" -m zipfile -e "$arm/wheels/$wheel" "$arm/site.new"; done
rm -rf "$arm/site"
mv "$arm/site.new" "$arm/site"
write_arm_wrappers
# Bytecode now: compiling on import under emulation costs seconds a run. The
# root's x86-64 python3.15 writes the same bytecode, in a fraction of the time.
"$out/run" python3.15 -m compileall -q -j 0 "$arm/root/usr/lib/python3.15" "$arm/site" >/dev/null || true

# --- The smoke checks.
checks=()
for version in "${versions[@]}"; do
    checks+=("$("$out/run" "python$version" -c 'import sys, platform, ssl, venv; print(platform.machine(), sys.version.split()[0])')")
done
checks+=("$("$out/run" python3.15d -X dev -c 'import sys; assert hasattr(sys, "gettotalrefcount"); print("debug", sys.version.split()[0])')")
checks+=("$("$arm/python3.15" -c 'import sys, platform, numpy, pytest; print(platform.machine(), sys.version.split()[0], "numpy", numpy.__version__)')")
case "${checks[*]}" in
    "x86_64 3.14."*" x86_64 3.15."*" debug 3.15."*" aarch64 3.15."*) ;;
    *) echo "sid: the smoke checks printed '${checks[*]}'" >&2; exit 1 ;;
esac
printf '%s\n%s\n' "$recipe" "$(IFS=';'; echo "${checks[*]}")" >"$stamp"
echo "sid: build/sid ready (${checks[*]})"

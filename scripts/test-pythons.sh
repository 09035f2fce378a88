#!/usr/bin/env bash
# The Python suite on every supported Python that pyenv keeps on this machine
# (3.8 to 3.15), each in a virtual environment of its own under build/venvs/
# with its own build directory; a version that is absent is skipped with a
# line saying so (3.14 and 3.15 are tested anyway, as Debian's own
# interpreters with the wheel: scripts/test-wheels.sh 3.14 3.15). The version of $PYTHON (default python3), which
# scripts/test.sh tests in .venv, is left to it. Prints a table of the
# versions and exits non-zero when a suite failed. The pre-commit hook test
# builds the whole project into a hook environment of its own: it runs with
# scripts/test.sh only, not once more for every version here.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
main_version="$("${PYTHON:-python3}" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)"

table=()
failed=0
for version in 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15; do
    if [ "$version" = "$main_version" ]; then
        table+=("$version  tested by scripts/test.sh")
        continue
    fi
    base="$(ls -d "$pyenv_root"/versions/"$version".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)"
    if [ -z "$base" ]; then
        echo "Python $version: not on this machine, skipped"
        case "$version" in
            3.14|3.15) table+=("$version  skipped (not in pyenv; Debian's with the wheel: scripts/test-wheels.sh $version)") ;;
            *) table+=("$version  skipped (not on this machine)") ;;
        esac
        continue
    fi
    echo "=== Python $version ($base)"
    venv="$root/build/venvs/py$version"
    log="$root/build/venvs/py$version.log"
    started=$SECONDS
    if PYTHON="$base" VORA_VENV="$venv" scripts/setup.sh &&
        (PATH="$venv/bin:$PATH" "$venv/bin/python" -m pytest -q -p no:cacheprovider -k "not test_pre_commit_hook" \
            "$root/tests/python" 2>&1 | tee "$log" | tail -n 3; exit "${PIPESTATUS[0]}"); then
        table+=("$version  pass: $(tail -n 1 "$log" | tr -d '=') ($((SECONDS - started)) s)")
    else
        table+=("$version  FAIL: $(tail -n 1 "$log" 2>/dev/null | tr -d '=') ($((SECONDS - started)) s)")
        failed=1
    fi
done
echo "=== Python versions"
printf '%s\n' "${table[@]}"
exit "$failed"

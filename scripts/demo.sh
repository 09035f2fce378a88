#!/usr/bin/env bash
# The demo: explains the bundled example configuration, then converts it with
# the project's stand-in converter and shows what the converter wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
root="$PWD"
PYTHON="${VORA_VENV:-$PWD/.venv}/bin/python"  # the project's environment (scripts/setup.sh)
work="$(mktemp -d)"
cd "$work"
PYTHONPATH="$root/tests/standin" "$PYTHON" - "$root/examples/example.toml" <<'PY'
import json, os, sys
import vora_convert_inner

path = sys.argv[1]
vora_convert_inner.rust_explain(path)
vora_convert_inner.rust_convert(path)
for folder, _, files in sorted(os.walk(".")):
    for name in sorted(files):
        written = os.path.join(folder, name)
        print(f"--- the converter wrote {os.path.normpath(written)}:")
        with open(written) as f:
            print(f.read())
PY

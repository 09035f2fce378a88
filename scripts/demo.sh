#!/usr/bin/env bash
# The demo: the bundled example configuration explained by vora-config (and
# the same bytes from the module's rust_explain), converted with the
# project's stand-in converter, a misspelled copy of it checked, and the
# schema that editors read.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
root="$PWD"
VENV="${VORA_VENV:-$PWD/.venv}"  # the project's environment (scripts/setup.sh)
PYTHON="$VENV/bin/python"
CLI="$VENV/bin/vora-config"
example="$root/examples/example.toml"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "=== vora-config explain examples/example.toml"
"$CLI" explain "$example" | tee explained.txt
"$PYTHON" -c 'import sys, vora_convert_inner; vora_convert_inner.rust_explain(sys.argv[1])' "$example" > module.txt
if cmp -s explained.txt module.txt; then
    echo "(rust_explain printed the same $(wc -c < module.txt) bytes)"
else
    echo "vora-config explain and rust_explain differ" >&2
    exit 1
fi

echo
echo "=== rust_convert(examples/example.toml) with the stand-in converter"
PYTHONPATH="$root/tests/standin" "$PYTHON" - "$example" <<'PY'
import os, sys
import vora_convert_inner

vora_convert_inner.rust_convert(sys.argv[1])
for folder, _, files in sorted(os.walk(".")):
    for name in sorted(files):
        if name.endswith(".txt"):
            continue
        written = os.path.join(folder, name)
        print(f"--- the converter wrote {os.path.normpath(written)}:")
        with open(written) as f:
            print(f.read())
PY

echo "=== vora-config check examples/example.toml, beside a model and data made to match it"
# The files the example names, relative to the folder the conversion runs
# in: an ONNX model with the example's input and output (made with onnx),
# the calibration list and the image it names, the export's folder.
"$PYTHON" - <<'PY'
import os
import onnx
from onnx import TensorProto, helper

os.makedirs("models", exist_ok=True)
os.makedirs("data/images", exist_ok=True)
os.makedirs("build", exist_ok=True)
x = helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, 224, 224])
y = helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 3, 224, 224])
graph = helper.make_graph([helper.make_node("Relu", ["input"], ["output"])], "mobilenet_v2", [x], [y])
onnx.save(helper.make_model(graph), "models/mobilenet_v2.onnx")
with open("data/images/cat.jpg", "wb") as f:
    f.write(b"\xff\xd8\xff\xd9")
with open("data/calibration.txt", "w") as f:
    f.write("images/cat.jpg\n")
PY
"$CLI" check "$example"

echo
echo "=== vora-config check on a misspelled copy of the example"
sed -e 's/^optimization_level = 3/optimisation_level = 2/' \
    -e 's/^quantized_algorithm = "normal"/quantized_algorithm = "mmsee"/' \
    -e 's/^dataset = /datset = /' \
    -e 's/^\[config\]/[config]\nQuant_img_RGB2BGR = false/' \
    -e 's/^\[export\]/[export]\ndevice_id = "0"/' \
    "$example" > misspelled.toml
# check exits 1 when a file has an error: shown here, not the end of the demo.
status=0
"$CLI" check misspelled.toml || status=$?
echo "exit status: $status (1: the converter would ignore the misspelled keys)"
echo
echo "--- the same as JSON, the first finding:"
status=0
"$CLI" check --format json misspelled.toml > findings.json || status=$?
"$PYTHON" -c 'import json, sys; print(json.dumps(json.load(open(sys.argv[1]))[0], indent=2))' findings.json
echo "(exit status $status again)"

echo
echo "=== vora-config schema"
"$CLI" schema > schema.json
echo "the JSON Schema (draft-07) of the whole file: $(wc -c < schema.json) bytes, $("$PYTHON" -c 'import json, sys; d = json.load(open(sys.argv[1])); print(sum(len(s["properties"]) for s in d["properties"].values()))' schema.json) keys in $("$PYTHON" -c 'import json, sys; print(len(json.load(open(sys.argv[1]))["properties"]))' schema.json) sections"
if cmp -s schema.json "$root/examples/vora-config.schema.json"; then
    echo "bundled as examples/vora-config.schema.json; the example's first line points editors at it:"
else
    echo "examples/vora-config.schema.json is not the program's schema" >&2
    exit 1
fi
head -n 1 "$example"
echo
echo "Shown: the example explained (vora-config and rust_explain, the same bytes), converted by the stand-in converter, checked beside its model and data, a misspelled copy checked, and the schema editors read."

#!/usr/bin/env bash
# What the portable build of the wheels costs against the g++ build of the
# same sources, in instructions counted by callgrind and in time:
#   - the reader: instructions per byte of one parse (bench/reader_ir.cpp,
#     Ir(11 parses) - Ir(1 parse), over 10 and the size), each compiler with
#     the flags of the release build (-O3 -DNDEBUG; the wheel's compiler with
#     its glibc 2.17 target and static libc++);
#   - rust_explain: instructions of one call on examples/example.toml
#     (a Python process making 21 calls less one making 1, over 20; the
#     summary goes to /dev/null), the wheel's module against the g++ module;
#   - rust_convert: the median time of one call on examples/example.toml
#     with a converter whose methods return 0 at once, in 11 interleaved rounds
#     of 10,000 calls each.
#
#   bench/wheel_cost.sh WHEEL_MODULE_DIR GXX_MODULE_DIR
# (folders holding vora_convert_inner.*.so: an unpacked wheel, and the source
# build, e.g. .venv's site-packages). Prints figures; asserts nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
wheel_dir="$(realpath "$1")"
gxx_dir="$(realpath "$2")"
python="$("${PYTHON:-python3}" -c "import sys; print(sys.executable)")"  # the binary itself, not a shim
out="$root/build/wheel-cost"
mkdir -p "$out"
zig="$(ls "$root"/build/wheels/tools/lib/python3*/site-packages/ziglang/zig)"

sources=(bench/reader_ir.cpp src/configuration/*.cpp src/toml/*.cpp src/text/utf8.cpp src/text/format.cpp src/text/json_string.cpp
         src/text/source_index.cpp src/text/display.cpp
         src/io/*.cpp src/summary/*.cpp src/lint/*.cpp src/cli/report*.cpp)
flags=(-std=c++20 -O3 -DNDEBUG -Isrc -isystem third_party)
g++ "${flags[@]}" "${sources[@]}" -o "$out/reader_ir-gxx"
"$zig" c++ -target x86_64-linux-gnu.2.17 "${flags[@]}" "${sources[@]}" -o "$out/reader_ir-wheel"

ir() { # command... -> the total Ir callgrind counts
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

echo "the reader, Ir per byte of one parse (g++ | wheel's compiler | ratio):"
inputs=(bench/config_819.toml examples/example.toml)
"$python" - "$out/list.toml" <<'PY'
import sys
with open(sys.argv[1], "w") as f:
    f.write('[config]\ntarget_platform = "vora-m1"\n\n[accuracy_analysis]\ninputs = [\n')
    n = 0
    while f.tell() < 200_000:
        n += 1
        f.write(f'  "./images/img_{n:06d}.jpg",\n')
    f.write("]\n")
PY
inputs+=("$out/list.toml")
for file in "${inputs[@]}"; do
    size=$(stat -c %s "$file")
    for mode in "" --loader; do
        a1=$(ir "$out/reader_ir-gxx" "$file" 1 $mode); a2=$(ir "$out/reader_ir-gxx" "$file" 11 $mode)
        b1=$(ir "$out/reader_ir-wheel" "$file" 1 $mode); b2=$(ir "$out/reader_ir-wheel" "$file" 11 $mode)
        awk -v n="$(basename "$file") ${mode:---reader}" -v s="$size" -v a=$((a2 - a1)) -v b=$((b2 - b1)) \
            'BEGIN { printf "  %-28s %7.1f | %7.1f | %.3f\n", n, a / 10 / s, b / 10 / s, b / a }'
    done
done

explain_ir() { # module dir, calls
    PYTHONPATH="$1" ir "$python" -c "
import os, sys, vora_convert_inner
fd = os.open(os.devnull, os.O_WRONLY); os.dup2(fd, 1)
for _ in range($2): vora_convert_inner.rust_explain('examples/example.toml')"
}
a=$(( $(explain_ir "$gxx_dir" 21) - $(explain_ir "$gxx_dir" 1) ))
b=$(( $(explain_ir "$wheel_dir" 21) - $(explain_ir "$wheel_dir" 1) ))
awk -v a="$a" -v b="$b" 'BEGIN { printf "rust_explain(examples/example.toml), Ir per call: g++ %d | wheel %d | ratio %.3f\n", a / 20, b / 20, b / a }'

"$python" - "$wheel_dir" "$gxx_dir" <<'PY'
import os, statistics, subprocess, sys
ROUND = """
import sys, time
sys.path[:0] = [sys.argv[1], sys.argv[2]]
import vora_convert_inner
calls = 10000
vora_convert_inner.rust_convert("examples/example.toml")
start = time.perf_counter()
for _ in range(calls):
    vora_convert_inner.rust_convert("examples/example.toml")
print((time.perf_counter() - start) / calls * 1e6)
"""
standin = os.path.join(os.environ.get("TMPDIR", "/tmp"), "vora-wheel-cost-standin")
os.makedirs(os.path.join(standin, "vora"), exist_ok=True)
open(os.path.join(standin, "vora", "__init__.py"), "w").close()
with open(os.path.join(standin, "vora", "api.py"), "w") as f:
    f.write("class VORA:\n" + "".join(f"    def {m}(self, *a, **k):\n        return 0\n" for m in
            ("config", "load_onnx", "build", "accuracy_analysis", "export_vora")))
times = {"wheel": [], "g++": []}
for _ in range(11):
    for name, folder in (("wheel", sys.argv[1]), ("g++", sys.argv[2])):
        done = subprocess.run([sys.executable, "-c", ROUND, folder, standin], capture_output=True, text=True, check=True)
        times[name].append(float(done.stdout))
w, g = statistics.median(times["wheel"]), statistics.median(times["g++"])
print(f"rust_convert(examples/example.toml), median us per call over 11 interleaved rounds of 10,000 calls: g++ {g:.1f} | wheel {w:.1f} | ratio {w / g:.3f}")
PY

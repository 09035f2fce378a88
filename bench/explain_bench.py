"""Time of one vora_convert_inner.rust_explain(path) call against its floor.

The floor is what any implementation has to do at least: read the same file
and write the same output bytes to the same file descriptor, here from Python
with os.open/os.read/os.close and os.write. Standard output (file descriptor
1) is pointed at /dev/null with os.dup2 while timing and restored afterwards.
The output bytes are captured once beforehand from a real call.

Beside them runs the same job in plain Python: read the file, parse it with
tomllib (tomli before 3.11), fill in the defaults of every key of every
section, draw the same "[Configuration Summary]" tables and write them to
file descriptor 1 with os.write. Its output is compared once with
rust_explain's, on the file and on an empty file, before timing.

All are timed in the same run, in alternating rounds of many calls each, so
that a change of machine load falls on all of them alike; each figure is the
median over the rounds, each ratio the median of the rounds' ratios. Prints
figures; asserts nothing.

    PYTHONPATH=build/rel python3 bench/explain_bench.py [--calls N] [--rounds R] [--path FILE]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import math
import os
import re
import struct
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, NamedTuple

import vora_convert_inner

try:
    import tomllib
except ImportError:  # before Python 3.11
    try:
        import tomli as tomllib
    except ImportError:
        tomllib = None

REPO = Path(__file__).resolve().parent.parent

# rust_explain should cost at most this many times its floor.
GOAL_RATIO = 2.0

# rust_explain should be at least this many times faster than the same job in
# plain Python.
GOAL_SPEEDUP = 40.0

# Used only when the repository has no examples/example.toml.
FALLBACK_CONFIG = """\
# Conversion of an image classifier.
[config]
mean_values = [123.675, 116.28, 103.53]
std_values = [58.395, 57.12, 57.375]
quantized_dtype = "asymmetric_quantized-8"
quantized_algorithm = "normal"
quantized_method = "channel"
target_platform = "vora-m1"
quant_img_RGB2BGR = true
optimization_level = 3

[load]
model_type = "Onnx"
model = "models/classifier.onnx"
inputs = ["input"]
input_size_list = [[1, 3, 224, 224]]
outputs = ["output"]

[build]
do_quantization = true
dataset = "data/calibration.txt"
vora_batch_size = 1

[accuracy_analysis]
inputs = ["data/images/cat.jpg", "data/images/dog.jpg"]
output_dir = "snapshot"

[export]
export_path = "build/classifier.vora"
"""


# ---------------------------------------------------------------------------
# The same job in plain Python.


class Key(NamedTuple):
    kind: str  # how the value is checked and converted, see convert_value
    default: Any
    description: str


# Every key of every section with its default and description, sections in
# the order they are printed. [load] lists the keys of its "Onnx" model source.
SECTIONS: dict[str, dict[str, Key]] = {
    "config": {
        "mean_values": Key("f32_list", None, "Mean values for normalization."),
        "std_values": Key("f32_list", None, "Standard deviation values for normalization."),
        "quantized_dtype": Key("str", "asymmetric_quantized-8", "Quantized dtype. [asymmetric_quantized-8]"),
        "quantized_algorithm": Key("str", "normal", "Quantized algorithm. [normal, mmse]"),
        "quantized_method": Key("str", "channel", "Quantized method. [channel, group, layers]"),
        "target_platform": Key(
            "str", None, "target platform [vora-s1, vora-s2, vora-m1, vora-m2, vora-l1, vora-l2, vora-x1, ...]"
        ),
        "quant_img_RGB2BGR": Key("bool", False, "BGR channel order instead of RGB"),
        "float_dtype": Key("str", "float16", "float_dtype [float16, float32, bfloat16]"),
        "optimization_level": Key("u8", 3, "Optimization level [0, 1, 2, 3]"),
        "custom_string": Key("str", None, "A custom string to add to the model."),
        "remove_weight": Key("bool", False, "Remove the weights from the model."),
        "compress_weight": Key("bool", False, "Compress the model weights."),
        "inputs_yuv_fmt": Key("str", None, "Input YUV format."),
        "single_core_mode": Key("bool", False, "Single core mode."),
    },
    "load": {
        "model": Key("str", "model.onnx", "Path to the ONNX model file"),
        "inputs": Key("str_list", None, 'Optional list of input names (e.g. ["input0"])'),
        "input_size_list": Key(
            "shape_list", None, "Optional shape list matching each input (e.g. [[1, 3, 224, 224]])"
        ),
        "input_initial_val_file": Key(
            "str", None, "Path to a `.npy` or `.npz` file containing a list of NumPy arrays"
        ),
        "outputs": Key("str_list", None, "Optional list of output names"),
    },
    "build": {
        "do_quantization": Key("bool", True, "Whether to quantize the model (default: true)"),
        "dataset": Key("str", None, "Path to dataset file for quantization (default: None)"),
        "vora_batch_size": Key("i32", None, "Batch size for inference (default: None)"),
        "auto_hybrid": Key("bool", False, "Enable automatic hybrid quantization (default: false)"),
    },
    "accuracy_analysis": {
        "inputs": Key("str_list", [], "Input file paths for accuracy analysis."),
        "output_dir": Key("str", None, "Directory where accuracy snapshots and analysis files are written."),
        "target": Key("str", None, "Optional target hardware platform for board-side analysis."),
        "device_id": Key("str", None, "Optional target device ID."),
    },
    "export": {
        "export_path": Key("str", None, ""),
    },
}

# Sections printed only when the file has them.
OPTIONAL_SECTIONS = {"accuracy_analysis"}

INTEGER_RANGES = {"u8": (0, 2**8 - 1), "i32": (-(2**31), 2**31 - 1), "usize": (0, 2**64 - 1)}

HEADINGS = ["Key", "Value", "Default", "Set by User?", "Description"]

# The whitespace characters of a cell; one that follows a non-whitespace
# character is drawn as a space.
WHITESPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000"
WHITESPACE_AFTER_WORD = re.compile(f"(?<=[^{WHITESPACE}])[{WHITESPACE}]")


def is_integer(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def check_integer(value: Any, kind: str, where: str) -> int:
    low, high = INTEGER_RANGES[kind]
    if not is_integer(value) or not low <= value <= high:
        raise ValueError(f"{where}: expected {kind}, got {value!r}")
    return value


def to_f32(value: float) -> float:
    """The value rounded to single precision, as a float."""
    try:
        return struct.unpack("f", struct.pack("f", value))[0]
    except OverflowError:
        return math.copysign(math.inf, value)


def convert_value(kind: str, value: Any, where: str) -> Any:
    if kind == "str":
        if not isinstance(value, str):
            raise ValueError(f"{where}: expected a string, got {value!r}")
        return value
    if kind == "bool":
        if not isinstance(value, bool):
            raise ValueError(f"{where}: expected a boolean, got {value!r}")
        return value
    if kind in ("u8", "i32"):
        return check_integer(value, kind, where)
    if not isinstance(value, list):
        raise ValueError(f"{where}: expected an array, got {value!r}")
    if kind == "f32_list":
        floats = []
        for item in value:
            if not (isinstance(item, float) or is_integer(item)):
                raise ValueError(f"{where}: expected f32, got {item!r}")
            floats.append(to_f32(float(item)))
        return floats
    if kind == "str_list":
        for item in value:
            if not isinstance(item, str):
                raise ValueError(f"{where}: expected a string, got {item!r}")
        return list(value)
    if kind == "shape_list":
        shapes = []
        for shape in value:
            if not isinstance(shape, list):
                raise ValueError(f"{where}: expected a sequence, got {shape!r}")
            shapes.append([check_integer(size, "usize", where) for size in shape])
        return shapes
    raise AssertionError(f"unknown kind {kind}")


def load_configuration(path: str) -> dict[str, dict[str, Any]]:
    """Every section to print, each with the value of every key."""
    with open(path, "rb") as file:
        document = tomllib.load(file)
    configuration = {}
    for section, keys in SECTIONS.items():
        table = document.get(section)
        if table is None:
            if section in OPTIONAL_SECTIONS:
                continue
            table = {}
        elif not isinstance(table, dict):
            raise ValueError(f"[{section}]: expected a table")
        elif section == "load" and table.get("model_type") != "Onnx":
            raise ValueError("[load]: model_type must be \"Onnx\"")
        values = {}
        for key, declared in keys.items():
            if key in table:
                values[key] = convert_value(declared.kind, table[key], f"{section}.{key}")
            else:
                values[key] = declared.default
        configuration[section] = values
    return configuration


def json_float(value: float) -> str:
    """Shortest round-trip digits; fixed notation for decimal exponents -5..15."""
    if not math.isfinite(value):
        return "null"
    text = repr(value)
    if "e" not in text:
        return text
    mantissa, exponent_text = text.split("e")
    exponent = int(exponent_text)
    if exponent == -5:  # repr switches to exponent notation one place earlier
        sign = "-" if mantissa.startswith("-") else ""
        return f"{sign}0.0000{mantissa.lstrip('-').replace('.', '')}"
    return f"{mantissa}e{'-' if exponent < 0 else '+'}{abs(exponent)}"


def json_text(value: Any) -> str:
    """The compact JSON text of a value."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return json_float(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    return "[" + ",".join(json_text(item) for item in value) + "]"


def cell_text(value: Any) -> str:
    """A string bare, any other value as its JSON text."""
    return value if isinstance(value, str) else json_text(value)


def cell_lines(text: str) -> list[str]:
    """The drawn lines of a cell's text."""
    *ended, last = text.split("\n")
    lines = [line.removesuffix("\r") for line in ended]
    if last or not lines:  # no further line after a final line feed
        lines.append(last)
    return [WHITESPACE_AFTER_WORD.sub(" ", line) for line in lines]


def draw_table(rows: list[list[str]]) -> str:
    """The box drawing of a table of text cells, without a final line feed."""
    cells = [[cell_lines(text) for text in row] for row in rows]
    widths = [max(len(line) for cell in column for line in cell) for column in zip(*cells)]

    def rule(left: str, fill: str, junction: str, right: str) -> str:
        return left + junction.join(fill * width for width in widths) + right

    lines = [rule("\u2554", "\u2550", "\u2564", "\u2557")]
    for index, row in enumerate(cells):
        if index > 0:
            lines.append(rule("\u255f", "\u2500", "\u253c", "\u2562"))
        for k in range(max(len(cell) for cell in row)):
            texts = [(cell[k] if k < len(cell) else "").ljust(width) for cell, width in zip(row, widths)]
            lines.append("\u2551" + "\u2502".join(texts) + "\u2551")
    lines.append(rule("\u255a", "\u2550", "\u2567", "\u255d"))
    return "\n".join(lines)


def summary_text(configuration: dict[str, dict[str, Any]]) -> str:
    parts = ["\n[Configuration Summary]\n\n"]
    for section, values in configuration.items():
        keys = SECTIONS[section]
        rows = [HEADINGS]
        for key in sorted(values):
            value = values[key]
            default = keys[key].default
            is_set = json_text(value) != json_text(default)
            rows.append([key, cell_text(value), cell_text(default), "Yes" if is_set else "No", keys[key].description])
        parts.append(f"[{section}]\n{draw_table(rows)}\n\n")
    return "".join(parts)


def python_explain(path: str) -> None:
    """rust_explain(path) in plain Python."""
    os.write(1, summary_text(load_configuration(path)).encode("utf-8"))


@contextlib.contextmanager
def stdout_fd_to(target_fd: int):
    """Points file descriptor 1 at `target_fd` and restores it afterwards."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(target_fd, 1)
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)


def capture_output(path: str, explain=vora_convert_inner.rust_explain) -> bytes:
    """The bytes one explain(path) call writes to file descriptor 1."""
    with tempfile.TemporaryFile() as sink:
        with stdout_fd_to(sink.fileno()):
            explain(path)
        sink.seek(0)
        return sink.read()


def compare_outputs(path: str) -> bool:
    """Prints whether python_explain writes what rust_explain writes for `path`."""
    expected = capture_output(path)
    try:
        actual = capture_output(path, python_explain)
    except Exception as error:  # noqa: BLE001 - reported, and the row is still timed
        print(f"compare: {path}: plain Python equivalent failed: {error!r}")
        return False
    if actual == expected:
        print(f"compare: {path}: identical output ({len(expected)} bytes)")
        return True
    expected_lines = expected.decode("utf-8", "replace").split("\n")
    actual_lines = actual.decode("utf-8", "replace").split("\n")
    for number, (want, got) in enumerate(zip(expected_lines, actual_lines), start=1):
        if want != got:
            break
    else:
        number = min(len(expected_lines), len(actual_lines)) + 1
        want = expected_lines[number - 1] if number <= len(expected_lines) else "<end>"
        got = actual_lines[number - 1] if number <= len(actual_lines) else "<end>"
    print(f"compare: {path}: outputs DIFFER ({len(expected)} against {len(actual)} bytes), first at line {number}:")
    print(f"  rust_explain : {want!r}")
    print(f"  plain Python : {got!r}")
    return False


def time_calls(fn, calls: int) -> float:
    """Mean seconds per call over `calls` calls."""
    start = time.perf_counter_ns()
    for _ in range(calls):
        fn()
    return (time.perf_counter_ns() - start) / calls / 1e9


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="calls per round (default 2000)")
    parser.add_argument("--rounds", type=int, default=15, help="alternating rounds (default 15)")
    parser.add_argument("--path", help="configuration file (default examples/example.toml)")
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        if args.path:
            path = args.path
        elif (REPO / "examples" / "example.toml").is_file():
            path = str(REPO / "examples" / "example.toml")
        else:
            tmp = Path(stack.enter_context(tempfile.TemporaryDirectory()))
            (tmp / "config.toml").write_text(FALLBACK_CONFIG, encoding="utf-8")
            path = str(tmp / "config.toml")

        output = capture_output(path)
        if not output:
            print(f"rust_explain({path!r}) wrote nothing", file=sys.stderr)
            return 1
        file_size = os.path.getsize(path)

        # The plain-Python equivalent: compared once, then timed if it runs.
        time_python = False
        if tomllib is None:
            print("note: neither tomllib (Python 3.11+) nor tomli is available; no plain Python row")
        else:
            empty = Path(stack.enter_context(tempfile.TemporaryDirectory())) / "empty.toml"
            empty.write_bytes(b"")
            same_on_file = compare_outputs(path)
            same_on_empty = compare_outputs(str(empty))
            identical = same_on_file and same_on_empty
            try:
                capture_output(path, python_explain)
                time_python = True
            except Exception as error:  # noqa: BLE001
                print(f"note: the plain Python equivalent fails on {path} ({error!r}); no plain Python row")
            if time_python and not identical:
                print("note: the plain Python equivalent is timed although its output is not identical")
            print()

        def explain() -> None:
            vora_convert_inner.rust_explain(path)

        def python() -> None:
            python_explain(path)

        def floor() -> None:
            fd = os.open(path, os.O_RDONLY)
            try:
                os.read(fd, file_size + 1)
            finally:
                os.close(fd)
            os.write(1, output)

        explain_rounds: list[float] = []
        floor_rounds: list[float] = []
        python_rounds: list[float] = []
        devnull = os.open(os.devnull, os.O_WRONLY)
        gc_was_enabled = gc.isenabled()
        gc.disable()
        try:
            with stdout_fd_to(devnull):
                # Warm-up: caches, the allocator, the file in the page cache.
                time_calls(explain, max(1, args.calls // 10))
                time_calls(floor, max(1, args.calls // 10))
                if time_python:
                    time_calls(python, max(1, args.calls // 10))
                for _ in range(args.rounds):
                    explain_rounds.append(time_calls(explain, args.calls))
                    floor_rounds.append(time_calls(floor, args.calls))
                    if time_python:
                        python_rounds.append(time_calls(python, args.calls))
        finally:
            if gc_was_enabled:
                gc.enable()
            os.close(devnull)

    def median_ratio(numerators: list[float], denominators: list[float]) -> float:
        return statistics.median(n / d for n, d in zip(numerators, denominators))

    explain_median = statistics.median(explain_rounds)
    floor_median = statistics.median(floor_rounds)

    print("explain_bench: one rust_explain(path) call against reading the file and writing its output,")
    print("               and against the same job in plain Python")
    print(f"module : {vora_convert_inner.__file__}")
    print(f"file   : {path} ({file_size} bytes); output {len(output)} bytes to fd 1 -> /dev/null")
    print(f"timing : {args.rounds} alternating rounds x {args.calls} calls each; medians over the rounds")
    print()
    ratio = median_ratio(explain_rounds, floor_rounds)
    verdict = "met" if ratio <= GOAL_RATIO else "MISSED"
    print(f"{'':34} | {'per call':>10} | goal")
    print(f"{'-' * 34}-+-{'-' * 10}-+-{'-' * 14}")
    print(f"{'rust_explain(path)':34} | {explain_median * 1e6:7.2f} us |")
    print(f"{'floor: os.read file + os.write out':34} | {floor_median * 1e6:7.2f} us |")
    print(f"{'ratio explain / floor':34} | {ratio:8.2f} x | <= {GOAL_RATIO:g} x {verdict}")
    if python_rounds:
        speedup = median_ratio(python_rounds, explain_rounds)
        verdict = "met" if speedup >= GOAL_SPEEDUP else "MISSED"
        print(f"{'plain Python equivalent':34} | {statistics.median(python_rounds) * 1e6:7.2f} us |")
        print(f"{'speed-up python / explain':34} | {speedup:8.2f} x | >= {GOAL_SPEEDUP:g} x {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Time of one vora_convert_inner.rust_explain(path) call against its floor.

The floor is what any implementation has to do at least: read the same file
and write the same output bytes to the same file descriptor, here from Python
with os.open/os.read/os.close and os.write. Standard output (file descriptor
1) is pointed at /dev/null with os.dup2 while timing and restored afterwards.
The output bytes are captured once beforehand from a real call.

Both are timed in the same run, in alternating rounds of many calls each.
Prints figures; asserts nothing.

    PYTHONPATH=build/rel python3 bench/explain_bench.py [--calls N] [--rounds R] [--path FILE]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import os
import sys
import tempfile
import time
from pathlib import Path

import vora_convert_inner

REPO = Path(__file__).resolve().parent.parent

# rust_explain should cost at most this many times its floor (best rounds).
GOAL_RATIO = 3.0

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


def capture_output(path: str) -> bytes:
    """The bytes one rust_explain(path) call writes to file descriptor 1."""
    with tempfile.TemporaryFile() as sink:
        with stdout_fd_to(sink.fileno()):
            vora_convert_inner.rust_explain(path)
        sink.seek(0)
        return sink.read()


def time_calls(fn, calls: int) -> float:
    """Mean seconds per call over `calls` calls."""
    start = time.perf_counter_ns()
    for _ in range(calls):
        fn()
    return (time.perf_counter_ns() - start) / calls / 1e9


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="calls per round (default 2000)")
    parser.add_argument("--rounds", type=int, default=7, help="alternating rounds (default 7)")
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

        def explain() -> None:
            vora_convert_inner.rust_explain(path)

        def floor() -> None:
            fd = os.open(path, os.O_RDONLY)
            try:
                os.read(fd, file_size + 1)
            finally:
                os.close(fd)
            os.write(1, output)

        explain_rounds: list[float] = []
        floor_rounds: list[float] = []
        devnull = os.open(os.devnull, os.O_WRONLY)
        gc_was_enabled = gc.isenabled()
        gc.disable()
        try:
            with stdout_fd_to(devnull):
                # Warm-up: caches, the allocator, the file in the page cache.
                time_calls(explain, max(1, args.calls // 10))
                time_calls(floor, max(1, args.calls // 10))
                for _ in range(args.rounds):
                    explain_rounds.append(time_calls(explain, args.calls))
                    floor_rounds.append(time_calls(floor, args.calls))
        finally:
            if gc_was_enabled:
                gc.enable()
            os.close(devnull)

    explain_mean = sum(explain_rounds) / len(explain_rounds)
    floor_mean = sum(floor_rounds) / len(floor_rounds)
    explain_best = min(explain_rounds)
    floor_best = min(floor_rounds)

    print("explain_bench: one rust_explain(path) call against reading the file and writing its output")
    print(f"module : {vora_convert_inner.__file__}")
    print(f"file   : {path} ({file_size} bytes); output {len(output)} bytes to fd 1 -> /dev/null")
    print(f"timing : {args.rounds} alternating rounds x {args.calls} calls each")
    print()
    ratio_mean = explain_mean / floor_mean
    ratio_best = explain_best / floor_best
    verdict = "met" if ratio_best <= GOAL_RATIO else "MISSED"
    print(f"{'':34} | {'mean/call':>10} | {'best round':>10} | goal")
    print(f"{'-' * 34}-+-{'-' * 10}-+-{'-' * 10}-+-{'-' * 14}")
    print(f"{'rust_explain(path)':34} | {explain_mean * 1e6:7.2f} us | {explain_best * 1e6:7.2f} us |")
    print(f"{'floor: os.read file + os.write out':34} | {floor_mean * 1e6:7.2f} us | {floor_best * 1e6:7.2f} us |")
    print(f"{'ratio explain / floor':34} | {ratio_mean:8.2f} x | {ratio_best:8.2f} x | <= {GOAL_RATIO:g} x {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Time, peak memory and output of `vora-config check` on hostile models:
cases whose cost once grew with the model rather than with what the checks
need.

usage: bench/check_hostile.py [--vora-config PATH] [--timeout S] [CASE...]

Cases (all models written by hand in protobuf's wire format):
  wrong-1, wrong-4    1 or 4 wrong names in `inputs` against a 6 MB model of
                      10,000 node outputs of 600 bytes (the suggestion search)
  inputs-50k/100k/200k  a correct `inputs` naming every one of N graph inputs
  dims-33mb           a 33.5 MB model: one value_info of 8.4 million dimensions
  names-33mb          a 33.5 MB model: 2.8 million node outputs
  wrong-1000          1,000 wrong names against a 3.2 MB model of 100,000 inputs
  shapes-200          200 shapes of `input_size_list` against one input of
                      1,000,000 dimensions
Prints per case the model's size, the wall time, the peak resident memory of
the check (as /usr/bin/time reports it) and the bytes it wrote to standard
output; a run past --timeout is stopped and shown as such.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def field(number, payload):
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def value_info(name, dims=b""):
    """A float tensor ValueInfoProto; `dims` the encoded Dimension fields."""
    return field(1, name.encode()) + field(2, field(1, b"\x08\x01" + field(2, dims)))


def dim(n):
    return field(1, b"\x08" + varint(n))


def model(graph_fields):
    return b"\x08\x08" + field(7, b"".join(graph_fields))


def node(output):
    return field(1, field(2, output.encode()))


def long_name(i):
    return f"block{i:06d}/" + "layer_" * 98 + "out"


CASES = {
    "wrong-1": lambda: (model([field(11, value_info("x", dim(1)))] + [node(long_name(i)) for i in range(10_000)]),
                        'inputs = ["' + long_name(5).replace("layer_", "layr_", 40) + '"]'),
    "wrong-4": lambda: (CASES["wrong-1"]()[0],
                        "inputs = [" + ", ".join('"' + long_name(i).replace("layer_", "layr_", 40) + '"'
                                                 for i in range(4)) + "]"),
    **{f"inputs-{n // 1000}k": (lambda n=n: (model([field(11, value_info(f"input_{i}", dim(1))) for i in range(n)]),
                                           "inputs = [" + ", ".join(f'"input_{i}"' for i in range(n)) + "]"))
       for n in (50_000, 100_000, 200_000)},
    "dims-33mb": lambda: (model([field(11, value_info("x", dim(1))),
                                 field(13, value_info("v", dim(3) * 8_400_000))]), 'inputs = ["x"]'),
    "names-33mb": lambda: (model([field(11, value_info("x", dim(1)))] +
                                 [node(f"n{i:07d}") for i in range(2_800_000)]), 'inputs = ["x"]'),
    "wrong-1000": lambda: (model([field(11, value_info(f"input_{i:011d}", dim(1))) for i in range(100_000)]),
                           "inputs = [" + ", ".join(f'"wrong_{i}"' for i in range(1000)) + "]"),
    "shapes-200": lambda: (model([field(11, value_info("x", dim(1) * 1_000_000))]),
                           'inputs = [' + ", ".join(['"x"'] * 200) + ']\ninput_size_list = [' +
                           ", ".join(["[1]"] * 200) + "]"),
}


def run(tool, folder, timeout):
    """Seconds, peak resident bytes and bytes written of one check, or None past the timeout."""
    start = time.perf_counter()
    peak_file = os.path.join(folder, "peak.txt")
    # /usr/bin/time's peak is the check's own; the child's rusage would count this process's pages at the fork.
    timed = ["/usr/bin/time", "-f", "%M", "-o", peak_file] if os.path.exists("/usr/bin/time") else []
    with open(os.path.join(folder, "out.txt"), "wb") as out:
        child = subprocess.Popen([*timed, tool, "check", "c.toml"], stdout=out, stderr=subprocess.DEVNULL,
                                 cwd=folder, start_new_session=True)
        deadline = start + timeout
        while True:
            pid, status, usage = os.wait4(child.pid, os.WNOHANG)
            if pid:
                break
            if time.perf_counter() > deadline:
                os.killpg(child.pid, signal.SIGKILL)  # the check, under /usr/bin/time
                os.wait4(child.pid, 0)
                return None
            time.sleep(0.01)
    seconds = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code not in (0, 1):
        sys.exit(f"check exited {code}: {Path(folder, 'out.txt').read_text()[:2000]}")
    peak = int(Path(peak_file).read_text().split()[-1]) if timed else usage.ru_maxrss
    return seconds, peak * 1024, os.path.getsize(os.path.join(folder, "out.txt"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vora-config", default=shutil.which("vora-config") or str(REPO / ".venv/bin/vora-config"))
    parser.add_argument("--timeout", type=float, default=300)
    parser.add_argument("--make", nargs=2, metavar=("CASE", "FOLDER"), help=argparse.SUPPRESS)
    parser.add_argument("cases", nargs="*", default=list(CASES))
    args = parser.parse_args()
    if args.make:
        data, lines = CASES[args.make[0]]()
        Path(args.make[1], "m.onnx").write_bytes(data)
        Path(args.make[1], "c.toml").write_text(f'[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\n{lines}\n')
        return 0
    print(f"{'case':>12} {'model MB':>9} {'seconds':>8} {'peak MB':>8} {'output MB':>10}")
    for name in args.cases:
        with tempfile.TemporaryDirectory() as folder:
            # Made by a child, so that this process stays small: a child's peak counts the pages it had at the fork.
            subprocess.run([sys.executable, __file__, "--make", name, folder], check=True)
            result = run(os.path.abspath(args.vora_config), folder, args.timeout)
            size = f"{os.path.getsize(os.path.join(folder, 'm.onnx')) / 1e6:9.1f}"
            if result is None:
                print(f"{name:>12} {size} {'> ' + str(int(args.timeout)):>8} {'-':>8} {'-':>10}", flush=True)
            else:
                seconds, peak, written = result
                print(f"{name:>12} {size} {seconds:8.2f} {peak / 1e6:8.1f} {written / 1e6:10.3f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

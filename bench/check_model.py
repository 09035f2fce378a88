#!/usr/bin/env python3
"""Time and peak memory of `vora-config check` of a configuration that names
a 256 MB model (its initializer written before the graph's inputs), against
the same configuration naming a 1 MB model with the same graph.

usage: bench/check_model.py [--vora-config PATH] [--runs N] [--mb BIG]

The configuration names the model, its input shapes and names, mean and
std values, so that check reads the graph's interface and compares it. Prints,
per model, the file size, the best and median wall time of N runs and the
peak resident memory of the child (ru_maxrss); then whether the large model
keeps within 1.5 times the small one's median plus 20 ms and under 50 MB.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "bench"))

from model_read import make_model  # noqa: E402  (the same graph: four inputs of [batch, 3, 224, 224])

CONFIG = """\
[config]
mean_values = [123.675, 116.28, 103.53]
std_values = [58.395, 57.12, 57.375]

[load]
model_type = "Onnx"
model = "{model}"
inputs = ["input0", "input1", "input2", "input3"]
input_size_list = [[1, 3, 224, 224], [1, 3, 224, 224], [1, 3, 224, 224], [1, 3, 224, 224]]
outputs = ["sum0", "sum3"]
"""


def run(tool, config):
    """Seconds and peak resident bytes of one run."""
    start = time.perf_counter()
    child = subprocess.Popen([tool, "check", "--strict", "--quiet", config], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    out = child.stdout.read() + child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    seconds = time.perf_counter() - start
    if child.returncode != 0:
        sys.exit(f"check failed on {config}: {out.decode()}")
    return seconds, usage.ru_maxrss * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vora-config", default=shutil.which("vora-config") or str(REPO / ".venv/bin/vora-config"))
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--mb", type=int, default=256)
    args = parser.parse_args()
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        print(f"{'initializer':>11} {'file MB':>8} {'best ms':>8} {'median ms':>10} {'peak MB':>8}")
        for mb in (1, args.mb):
            model = os.path.join(folder, f"model_{mb}.onnx")
            # Made by a child, so that this process stays small.
            subprocess.run([sys.executable, str(REPO / "bench" / "model_read.py"), "--make", model, str(mb)],
                           check=True)
            config = os.path.join(folder, f"check_{mb}.toml")
            with open(config, "w") as f:
                f.write(CONFIG.format(model=model))
            run(args.vora_config, config)  # once to warm the page cache
            runs = [run(args.vora_config, config) for _ in range(args.runs)]
            times = [r[0] for r in runs]
            peak = max(r[1] for r in runs)
            results[mb] = (statistics.median(times), peak)
            print(f"{str(mb) + ' MB':>11} {os.path.getsize(model) / 1e6:8.1f} {min(times) * 1e3:8.2f} "
                  f"{statistics.median(times) * 1e3:10.2f} {peak / 1e6:8.1f}")
            os.remove(model)
    small, big = results[1], results[args.mb]
    limit = 1.5 * small[0] + 0.020
    print(f"median {big[0] * 1e3:.2f} ms against a limit of {limit * 1e3:.2f} ms (1.5 x {small[0] * 1e3:.2f} + 20): "
          f"{'within' if big[0] <= limit else 'OVER'}; peak {big[1] / 1e6:.1f} MB: "
          f"{'within' if big[1] < 50e6 else 'OVER'} 50 MB")
    return 0 if big[0] <= limit and big[1] < 50e6 else 1


if __name__ == "__main__":
    sys.exit(main())

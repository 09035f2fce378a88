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
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "bench"))

from model_read import compare  # noqa: E402  (the same graph: four inputs of [batch, 3, 224, 224])

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

    def prepare(folder, model):
        config = os.path.join(folder, "check.toml")
        with open(config, "w") as f:
            f.write(CONFIG.format(model=model))
        return lambda: run(args.vora_config, config)

    return compare(args.mb, args.runs, prepare)

if __name__ == "__main__":
    sys.exit(main())

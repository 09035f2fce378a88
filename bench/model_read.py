#!/usr/bin/env python3
"""Time and peak memory of the ONNX model reader (tests/tools/model_dump) on a
model whose graph follows a 256 MB initializer, and on the same graph with a
1 MB initializer.

usage: bench/model_read.py [--model-dump PATH] [--runs N] [--mb BIG]

The initializer is written before the graph's inputs (where onnx's
serialisation puts initializers), so the reader must pass over it to reach
them. Prints, per model, the file size, the best and median wall time of N
runs of `model_dump onnx`, its peak resident memory and the bytes it read
from the file; then whether the large model keeps within 1.5 times the small
one's time plus 20 ms and under 50 MB.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def make_model(path, megabytes):
    """Writes the model (in a process of its own: see main)."""
    import numpy as np
    from onnx import TensorProto, helper, numpy_helper

    weights = numpy_helper.from_array(np.ones(megabytes * (1 << 20) // 4, np.float32), "weights")
    inputs = [helper.make_tensor_value_info(f"input{i}", TensorProto.FLOAT, ["batch", 3, 224, 224]) for i in range(4)]
    nodes = [helper.make_node("Add", [f"input{i}", "weights"], [f"sum{i}"]) for i in range(4)]
    outputs = [helper.make_tensor_value_info(f"sum{i}", TensorProto.FLOAT, None) for i in range(4)]
    model = helper.make_model(helper.make_graph(nodes, "bench", inputs, outputs, [weights]))
    with open(path, "wb") as f:
        f.write(model.SerializeToString())
    del model, weights


def run(tool, path):
    """Seconds, peak resident bytes (the child's own VmHWM: its rusage would
    count this process's pages at the fork) and bytes read of one run."""
    start = time.perf_counter()
    child = subprocess.Popen([tool, "--stats", "onnx", path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = child.stderr.read()
    status = os.waitpid(child.pid, 0)[1]
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"model_dump failed on {path}: {err.decode()}")
    stats = dict(line.rsplit(":", 1) for line in err.decode().splitlines())
    return seconds, int(stats["peak kB"]) * 1024, int(stats["bytes read"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model-dump", default=str(REPO / "build" / "dev" / "model_dump"))
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--mb", type=int, default=256)
    parser.add_argument("--make", nargs=2, metavar=("PATH", "MB"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.make:
        make_model(args.make[0], int(args.make[1]))
        return 0
    return compare(args.mb, args.runs, lambda folder, model: (lambda: run(args.model_dump, model)),
                   ("read KB", lambda r: r[2] / 1e3))


def compare(big_mb, runs, prepare, extra=None):
    """Times a job on a model with a 1 MB and one with a `big_mb` MB
    initializer (the same graph), prints a row per model and the verdict,
    and returns the exit status. prepare(folder, model) gives the job: a
    callable returning (seconds, peak bytes, ...); `extra` an optional
    (heading, value of a run) column."""
    results = {}
    head, value = extra if extra else ("", None)
    with tempfile.TemporaryDirectory() as folder:
        print(f"{'initializer':>11} {'file MB':>8} {'best ms':>8} {'median ms':>10} {'peak MB':>8}"
              + (f" {head:>8}" if head else ""))
        for mb in (1, big_mb):
            path = os.path.join(folder, f"model_{mb}.onnx")
            # Made by a child, so that this process stays small and quick to fork.
            subprocess.run([sys.executable, __file__, "--make", path, str(mb)], check=True)
            job = prepare(folder, path)
            job()  # once to warm the page cache
            measured = [job() for _ in range(runs)]
            times = [r[0] for r in measured]
            peak = max(r[1] for r in measured)
            results[mb] = (statistics.median(times), peak)
            print(f"{str(mb) + ' MB':>11} {os.path.getsize(path) / 1e6:8.1f} {min(times) * 1e3:8.2f} "
                  f"{statistics.median(times) * 1e3:10.2f} {peak / 1e6:8.1f}"
                  + (f" {value(measured[0]):8.1f}" if value else ""))
            os.remove(path)
    small, big = results[1], results[big_mb]
    limit = 1.5 * small[0] + 0.020
    print(f"median {big[0] * 1e3:.2f} ms against a limit of {limit * 1e3:.2f} ms (1.5 x {small[0] * 1e3:.2f} + 20): "
          f"{'within' if big[0] <= limit else 'OVER'}; peak {big[1] / 1e6:.1f} MB: {'within' if big[1] < 50e6 else 'OVER'} 50 MB")
    return 0 if big[0] <= limit and big[1] < 50e6 else 1

if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""What the file checks of `vora-config check` cost: peak resident memory,
time and output on a configuration whose accuracy_analysis.inputs names
N files that are not there (689,653 in a 19 MB file by default), with and
without --no-files; and the time check takes when the files it names are a
FIFO with no writer or a device that never ends.

usage: bench/check_files.py [--vora-config PATH] [--size BYTES] [--timeout SECONDS]

Prints one row per run: peak MB (and its ratio to the configuration's
size), seconds, output MB and the number of findings, or that the run had
not ended after --timeout seconds (it is then killed).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time


def inputs_file(path, size):
    """A configuration of `size` bytes or a little more, its entries under ./images/ (which is not there)."""
    head = '[config]\ntarget_platform = "vora-m1"\n\n[accuracy_analysis]\ninputs = [\n'
    with open(path, "w") as f:
        f.write(head)
        written, n = len(head), 0
        while written < size:
            line = f'  "./images/img_{n:06d}.jpg",\n'
            f.write(line)
            written, n = written + len(line), n + 1
        f.write("]\n")
    return n


def run(command, cwd, timeout):
    """Peak resident bytes, seconds, output bytes and text-format findings of one run; None past `timeout`."""
    start = time.perf_counter()
    with tempfile.TemporaryFile() as out:
        child = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.DEVNULL)
        while True:
            pid, status, usage = os.wait4(child.pid, os.WNOHANG)
            if pid:
                break
            if time.perf_counter() - start > timeout:
                child.kill()
                child.wait()
                return None
            time.sleep(0.01)
        seconds = time.perf_counter() - start
        # Read a line at a time: a parent that grew would pass its size on
        # to the next child's peak.
        out.seek(0)
        output = findings = 0
        for line in out:
            output += len(line)
            findings += b": warning[" in line or b": error[" in line
    return usage.ru_maxrss * 1024, seconds, output, findings


def row(label, result, size=None):
    if result is None:
        print(f"{label:34} did not end (killed)")
        return
    peak, seconds, output, findings = result
    ratio = f"{peak / size:7.2f}" if size else " " * 7
    print(f"{label:34} {peak / 1e6:8.1f} {ratio} {seconds:8.2f} {output / 1e6:10.3f} {findings:9}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vora-config", default=shutil.which("vora-config") or "vora-config")
    parser.add_argument("--size", type=int, default=20_000_000)
    parser.add_argument("--timeout", type=float, default=10)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        entries = inputs_file(os.path.join(folder, "inputs.toml"), args.size)
        size = os.path.getsize(os.path.join(folder, "inputs.toml"))
        print(f"accuracy_analysis.inputs of {entries} missing files, {size / 1e6:.1f} MB")
        print(f"{'run':34} {'peak MB':>8} {'x file':>7} {'seconds':>8} {'output MB':>10} {'findings':>9}")
        for options in ([], ["--no-files"]):
            row(" ".join(["check", *options]), run([args.vora_config, "check", *options, "inputs.toml"], folder,
                                                    args.timeout * 10), size)
        os.mkfifo(os.path.join(folder, "fifo"))  # never written: opening it to read would wait for ever
        hazards = {"model = FIFO": '[load]\nmodel_type = "Onnx"\nmodel = "fifo"\n',
                   "input_initial_val_file = FIFO": '[load]\nmodel_type = "Onnx"\ninput_initial_val_file = "fifo"\n',
                   "dataset = FIFO": '[build]\ndataset = "fifo"\n',
                   "dataset = /dev/urandom": '[build]\ndataset = "/dev/urandom"\n',
                   "dataset = /dev/zero": '[build]\ndataset = "/dev/zero"\n'}
        for label, text in hazards.items():
            with open(os.path.join(folder, "h.toml"), "w") as f:
                f.write(text)
            row(label, run([args.vora_config, "check", "h.toml"], folder, args.timeout))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Peak resident memory and time of `vora-config check` in each format, on a
generated file of 1,000,000 unknown keys in [config] (17 MB).

usage: bench/check_memory.py [--vora-config PATH] [--keys N]

Prints, per format, the peak resident memory (and its ratio to the file's
size), the wall time and the size of the output.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time


def run(command):
    """Peak resident bytes, seconds and output bytes of one run."""
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=sink)
        size = 0
        while chunk := child.stdout.read(1 << 20):
            size += len(chunk)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        seconds = time.perf_counter() - start
    return usage.ru_maxrss * 1024, seconds, size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vora-config", default=shutil.which("vora-config") or "vora-config")
    parser.add_argument("--keys", type=int, default=1_000_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "keys.toml")
        with open(path, "w") as f:
            f.write("[config]\n" + "".join(f"key{n:07d} = 100\n" for n in range(args.keys)))
        file_size = os.path.getsize(path)
        print(f"{args.keys} unknown keys, {file_size / 1e6:.1f} MB")
        print(f"{'format':8} {'peak MB':>8} {'x file':>7} {'seconds':>8} {'output MB':>10}")
        for format in ("text", "json", "github", "sarif"):
            peak, seconds, size = run([args.vora_config, "check", "--format", format, path])
            print(f"{format:8} {peak / 1e6:8.1f} {peak / file_size:7.2f} {seconds:8.2f} {size / 1e6:10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

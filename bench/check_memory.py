#!/usr/bin/env python3
"""Peak resident memory and time of `vora-config check` in each format, on a
generated file of 1,000,000 unknown keys in [config] (17 MB); and of loading
long lists of values, generated: `check --no-files`, `check` and the module's
rust_explain on each.

usage: bench/check_memory.py [--vora-config PATH] [--module DIR] [--python PATH]
                             [--keys N] [--scale F] [--only keys|lists]

Prints, per format and per list, the peak resident memory (and its ratio to
the file's size), the wall time and the size of the output. rust_explain runs
in a fresh interpreter that imports vora_convert_inner from --module (a
folder put first on PYTHONPATH; by default the installed module), so its peak
holds the interpreter's own few megabytes. --scale sizes the lists (1: the
sizes below).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

# The lists: a name, the file's text around the elements, one element (by its
# number) and the file size (MB) at scale 1. Every path of the last list
# names the one file the bench makes, so that `check` reads files that are
# there.
LISTS = [
    ("input_size_list of [1]", '[load]\nmodel_type = "Onnx"\ninput_size_list = [', "]\n", lambda n: "[1], ", 25),
    ("outputs of empty strings", '[load]\nmodel_type = "Onnx"\noutputs = [', "]\n", lambda n: '"", ', 20),
    ("mean_values of floats", "[config]\nmean_values = [", "]\n", lambda n: f"{n % 10}.{n % 7}, ", 25),
    ("accuracy_analysis inputs of paths", "[accuracy_analysis]\ninputs = [", "]\n",
     lambda n: '"images/0000000.jpg", ', 19),
]


def run(command, env=None):
    """Peak resident bytes, seconds and output bytes of one run."""
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=sink, env=env)
        size = 0
        while chunk := child.stdout.read(1 << 20):
            size += len(chunk)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        seconds = time.perf_counter() - start
    return usage.ru_maxrss * 1024, seconds, size


def write_list(path, head, tail, element, megabytes):
    with open(path, "w") as f:
        f.write(head)
        written, n, chunk = len(head), 0, []
        while written < megabytes * 1e6:
            text = element(n)
            chunk.append(text)
            written += len(text)
            n += 1
            if len(chunk) == 10000:
                f.write("".join(chunk))
                chunk = []
        f.write("".join(chunk) + tail)
    return n


def keys(args, folder):
    path = os.path.join(folder, "keys.toml")
    with open(path, "w") as f:
        f.write("[config]\n" + "".join(f"key{n:07d} = 100\n" for n in range(args.keys)))
    file_size = os.path.getsize(path)
    print(f"{args.keys} unknown keys, {file_size / 1e6:.1f} MB")
    print(f"{'format':8} {'peak MB':>8} {'x file':>7} {'seconds':>8} {'output MB':>10}")
    for format in ("text", "json", "github", "sarif"):
        peak, seconds, size = run([args.vora_config, "check", "--format", format, path])
        print(f"{format:8} {peak / 1e6:8.1f} {peak / file_size:7.2f} {seconds:8.2f} {size / 1e6:10.1f}")


def lists(args, folder):
    os.makedirs(os.path.join(folder, "images"))
    open(os.path.join(folder, "images", "0000000.jpg"), "wb").close()
    env = dict(os.environ)
    if args.module:
        env["PYTHONPATH"] = os.pathsep.join([args.module, *filter(None, [env.get("PYTHONPATH")])])
    explain = "import sys, vora_convert_inner; vora_convert_inner.rust_explain(sys.argv[1])"
    print(f"\n{'list':34} {'MB':>5} {'elements':>9} {'run':16} {'peak MB':>8} {'x file':>7} {'seconds':>8}")
    for name, head, tail, element, megabytes in LISTS:
        path = os.path.join(folder, "list.toml")
        count = write_list(path, head, tail, element, megabytes * args.scale)
        file_size = os.path.getsize(path)
        for run_name, command in [
            ("check --no-files", [args.vora_config, "check", "--no-files", "--base", folder, path]),
            ("check", [args.vora_config, "check", "--base", folder, path]),
            ("rust_explain", [args.python, "-c", explain, path]),
        ]:
            peak, seconds, _ = run(command, env)
            print(f"{name:34} {file_size / 1e6:5.1f} {count:9} {run_name:16} {peak / 1e6:8.1f} "
                  f"{peak / file_size:7.2f} {seconds:8.2f}")
            name = ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vora-config", default=shutil.which("vora-config") or "vora-config")
    parser.add_argument("--module", help="the folder of vora_convert_inner (default: the installed one)")
    parser.add_argument("--python", default=sys.executable, help="the interpreter of rust_explain")
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--only", choices=["keys", "lists"])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        if args.only != "lists":
            keys(args, folder)
        if args.only != "keys":
            lists(args, folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())

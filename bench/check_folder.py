#!/usr/bin/env python3
"""What walking a folder costs `vora-config check`: the wall time of checking
N configurations (bench/config_819.toml, each in a folder of ten) given as
their folder, against the same files named one by one on the command line,
and of the folder with as many other TOML files beside them (pyproject.toml,
Cargo.toml: read, found to be no configurations and skipped).

usage: bench/check_folder.py [--vora-config PATH] [--count N] [--runs R] [--no-files]

Prints the least CPU time (user and system) of R runs of each command in
seconds, and the folder's time over the named files'. Each run prints the text format to /dev/null, reads
no settings file (--isolated: a settings lookup costs both alike) and checks
the files the configurations name (none are there: a warning each), or
with --no-files none. Where valgrind is at hand, the instructions of one run
of each (callgrind) follow: they do not vary from run to run.
"""

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
CONFIG = (ROOT / "bench" / "config_819.toml").read_text(encoding="utf-8")
OTHERS = {"pyproject.toml": '[project]\nname = "x"\nversion = "1"\n[tool.other]\nline-length = 100\n',
          "Cargo.toml": '[package]\nname = "x"\nversion = "0.1.0"\n[dependencies]\nserde = "1"\n'}


def tree(root, count, others):
    """`count` configurations, ten to a folder; with `others`, the other tools' files in each folder."""
    names = []
    for n in range(count):
        folder = root / f"group{n // 10:04d}"
        folder.mkdir(exist_ok=True)
        (folder / f"convert{n % 10}.toml").write_text(CONFIG, encoding="utf-8")
        names.append(str((folder / f"convert{n % 10}.toml").relative_to(root)))
        if others and n % 10 == 0:
            for name, text in OTHERS.items():
                (folder / name).write_text(text, encoding="utf-8")
    return names


def best(command, cwd, runs):
    """The least CPU seconds (user and system) of `runs` runs: on a shared machine the wall time of a run
    this short varies by more than what is measured."""
    times = []
    for _ in range(runs):
        child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, _, usage = os.wait4(child.pid, 0)
        times.append(usage.ru_utime + usage.ru_stime)
    return min(times)


def instructions(command, cwd):
    """The instructions one run executes, counted by callgrind: the same on every run."""
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command], cwd=cwd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=False)
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vora-config", default=shutil.which("vora-config"))
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--no-files", action="store_true")
    args = parser.parse_args()
    if not args.vora_config:
        sys.exit("no vora-config: pass --vora-config PATH")
    check = [os.path.abspath(args.vora_config), "check", "--isolated"] + ["--no-files"] * args.no_files
    with tempfile.TemporaryDirectory() as scratch:
        plain, mixed = pathlib.Path(scratch, "plain"), pathlib.Path(scratch, "mixed")
        plain.mkdir()
        mixed.mkdir()
        names = tree(plain, args.count, others=False)
        tree(mixed, args.count, others=True)
        runs = [("named one by one", check + names, plain), ("their folder", check + ["."], plain),
                (f"with {2 * ((args.count + 9) // 10)} other TOML files", check + ["."], mixed)]
        seconds = [best(command, cwd, args.runs) for _, command, cwd in runs]
        counted = [instructions(command, cwd) for _, command, cwd in runs] if shutil.which("valgrind") else None
    print(f"{args.count} configurations of {len(CONFIG)} bytes{' (--no-files)' * args.no_files}, "
          f"best of {args.runs} runs")
    for n, (label, _, _) in enumerate(runs):
        row = f"  {label:<28} {seconds[n]:.3f} s CPU ({seconds[n] / seconds[0]:.2f} times)"
        if counted:
            row += f"  {counted[n] / 1e6:7.1f} M instructions ({counted[n] / counted[0]:.3f} times)"
        print(row)


if __name__ == "__main__":
    main()

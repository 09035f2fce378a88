#!/usr/bin/env python3
"""Time of the npz reader (tests/tools/model_dump arrays) on archives whose
members' headers hide behind long runs of empty deflate blocks.

usage: bench/npz_read.py [--model-dump PATH] [--runs N]

The archives (made with the generators of tests/python/test_model_reader.py):
  shared     60 members whose local headers all lead to one 4 MB stream of
             360,000 empty dynamic blocks (11 bytes each) before the npy bytes
  long       one member behind 1,400,000 such blocks (15.75 MB, within the
             16 MiB inflate budget)
  staggered  60 members that start 1,000 bytes apart in one 4 MB run of
             empty stored blocks (each needs the rest of the run: 240 MB in
             all, past the budget)
  plain      np.savez_compressed of 60 arrays of 1 MB
Prints, per archive, its size, the best and median wall time of N runs,
the bytes read from the file, and the verdict: how many arrays and how many
of them judged (header_read), or the refusal. Point --model-dump at an older
build to compare.
"""

import argparse
import io
import json
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "python"))

import numpy as np  # noqa: E402
from test_model_reader import npy_of, shared_stream, tiny_blocks  # noqa: E402


def staggered(members, blocks, content, step):
    """Members that start `step` bytes apart in a run of empty stored blocks (5 bytes each)."""
    final = b"\x01" + struct.pack("<HH", len(content), len(content) ^ 0xFFFF) + content
    stream = b"\x00\x00\x00\xff\xff" * blocks + final
    names = [f"s{i}.npy".encode() for i in range(members)]
    start = sum(30 + len(n) for n in names)
    crc, local, central, at = zlib.crc32(content), b"", b"", 0
    for i, n in enumerate(names):
        skip = i * step
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(stream) - skip, len(content), len(n),
                             start - at - 30 - len(n) + skip) + n
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, len(stream) - skip,
                               len(content), len(n), 0, 0, 0, 0, 0, at) + n
        at += 30 + len(n)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, members, members, len(central), len(local) + len(stream), 0)
    return local + stream + central + end


def plain():
    f = io.BytesIO()
    rng = np.random.default_rng(0)
    np.savez_compressed(f, *[rng.random(1 << 17) for _ in range(60)])
    return f.getvalue()


def archives():
    header = npy_of(np.zeros((1, 3), np.float32))
    return {
        "shared": shared_stream(60, 360_000, header),
        "long": shared_stream(1, 1_400_000, header),
        "staggered": staggered(60, 800_000, header, 1000),
        "plain": plain(),
    }


def run(tool, path):
    start = time.perf_counter()
    done = subprocess.run([tool, "--stats", "arrays", str(path)], capture_output=True, text=True)
    seconds = time.perf_counter() - start
    result = json.loads(done.stdout)
    read = int(done.stderr.split()[-1])
    if not result["ok"]:
        return seconds, read, "refused: " + result["message"]
    arrays = result["arrays"]
    judged = sum(a.get("header_read", True) for a in arrays)
    return seconds, read, f"{len(arrays)} arrays, {judged} judged"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model-dump", default=str(REPO / "build" / "dev" / "model_dump"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    print(f"{'archive':>10} {'MB':>6} {'best ms':>9} {'median ms':>10} {'read MB':>8}  verdict")
    with tempfile.TemporaryDirectory() as folder:
        for name, data in archives().items():
            path = Path(folder) / f"{name}.npz"
            path.write_bytes(data)
            runs = [run(args.model_dump, path) for _ in range(args.runs)]
            times = [r[0] * 1e3 for r in runs]
            print(f"{name:>10} {len(data) / 1e6:6.2f} {min(times):9.1f} {statistics.median(times):10.1f} "
                  f"{runs[0][1] / 1e6:8.2f}  {runs[0][2][:110]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

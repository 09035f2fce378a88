#!/usr/bin/env python3
"""What `vora-config lsp` takes from an edit to its diagnostics on a 1 MB configuration: the time from writing a
didChange (one character typed, sent as an incremental change) to reading the publishDiagnostics it causes, over
a number of edits; for two shapes of file: a list of 1 MB of accuracy_analysis.inputs (files that are not there,
each looked for), and a list of 1 MB of mean_values (the text checks alone).

usage: bench/lsp_latency.py [--vora-config PATH] [--size BYTES] [--edits N]

Prints one row per shape: the file's size, the time of the first check (didOpen) and the median and largest
time of an edit, in milliseconds.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HEAD = '[config]\noptimization_level = 2\nquantized_algorithm = "normal"\n\n[load]\nmodel_type = "Onnx"\n\n'


def inputs_shape(size):
    lines = [HEAD, "[accuracy_analysis]\ninputs = [\n"]
    written, n = sum(map(len, lines)), 0
    while written < size:
        line = f'  "images/sample_{n:07d}.jpg",\n'
        lines.append(line)
        written, n = written + len(line), n + 1
    return "".join(lines) + "]\n"


def means_shape(size):
    """[config] with a list of 1 MB of means: read, mapped and checked whole."""
    head, tail = HEAD.split("\n\n", 1)
    lines = [head + "\nmean_values = [\n"]
    written, n = len(lines[0]), 0
    while written < size:
        line = f"  {n % 256}.{n % 1000:03d},\n"
        lines.append(line)
        written, n = written + len(line), n + 1
    return "".join(lines) + "]\n\n" + tail


class Server:
    def __init__(self, program):
        self.process = subprocess.Popen([program, "lsp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def send(self, message):
        body = json.dumps(message).encode()
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.process.stdin.flush()

    def receive(self):
        length = None
        while True:
            line = self.process.stdout.readline()
            if line in (b"\r\n", b""):
                break
            if line.lower().startswith(b"content-length:"):
                length = int(line.split(b":")[1])
        return json.loads(self.process.stdout.read(length))

    def until(self, method):
        while True:
            message = self.receive()
            if message.get("method") == method:
                return message

    def close(self):
        self.send({"jsonrpc": "2.0", "id": 2, "method": "shutdown"})
        self.send({"jsonrpc": "2.0", "method": "exit"})
        self.process.wait(timeout=60)


def measure(program, text, folder, edits):
    server = Server(program)
    server.send({"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"capabilities": {}}})
    server.receive()
    uri = "file://" + os.path.join(folder, "c.toml")
    start = time.perf_counter()
    server.send({"jsonrpc": "2.0", "method": "textDocument/didOpen",
                 "params": {"textDocument": {"uri": uri, "languageId": "toml", "version": 1, "text": text}}})
    server.until("textDocument/publishDiagnostics")
    opened = time.perf_counter() - start
    times = []
    for version in range(2, edits + 2):
        # "2" and "3" typed in turn over the optimization_level's value, line 2 (0-based 1), column 21.
        change = {"range": {"start": {"line": 1, "character": 21}, "end": {"line": 1, "character": 22}},
                  "text": "3" if version % 2 else "2"}
        start = time.perf_counter()
        server.send({"jsonrpc": "2.0", "method": "textDocument/didChange",
                     "params": {"textDocument": {"uri": uri, "version": version}, "contentChanges": [change]}})
        server.until("textDocument/publishDiagnostics")
        times.append(time.perf_counter() - start)
    server.close()
    return opened, times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vora-config", default=shutil.which("vora-config"))
    parser.add_argument("--size", type=int, default=1 << 20)
    parser.add_argument("--edits", type=int, default=40)
    args = parser.parse_args()
    if not args.vora_config:
        sys.exit("lsp_latency.py: no vora-config (give --vora-config PATH)")
    print(f"{'file':<34} {'MB':>6} {'open ms':>8} {'edit ms (median)':>17} {'edit ms (max)':>14}")
    with tempfile.TemporaryDirectory() as folder:
        for name, shape in (("accuracy_analysis.inputs", inputs_shape), ("mean_values", means_shape)):
            text = shape(args.size)
            opened, times = measure(args.vora_config, text, folder, args.edits)
            print(f"{name:<34} {len(text) / 1e6:>6.2f} {opened * 1e3:>8.1f} {statistics.median(times) * 1e3:>17.1f} "
                  f"{max(times) * 1e3:>14.1f}")


if __name__ == "__main__":
    main()

"""Ctrl-C while the module blocks in the file's open or read or in the write of the summary."""

import os
import signal
import subprocess
import sys
import time

import pytest

# The child makes Ctrl-C raise KeyboardInterrupt even where it was started
# with SIGINT ignored, says it is about to block, and reports what ended it
# and whether another thread ran meanwhile.
CHILD = """
import signal, sys, threading, time, vora_convert_inner
signal.signal(signal.SIGINT, signal.default_int_handler)
ticks = []
threading.Thread(target=lambda: [ticks.append(time.sleep(0.01)) for _ in range(1000)], daemon=True).start()
sys.stderr.write("blocking\\n"); sys.stderr.flush()
before = len(ticks)
try:
    vora_convert_inner.{function}({path!r})
except KeyboardInterrupt:
    sys.stderr.write(f"KeyboardInterrupt; the other thread ran: {{len(ticks) - before > 10}}\\n")
"""


@pytest.mark.parametrize("function, where", [
    ("rust_explain", "open"),   # a FIFO that no writer opens
    ("rust_convert", "open"),
    ("rust_explain", "read"),   # standard input from a writer that stays silent
    ("rust_explain", "write"),  # standard output into a pipe that nobody drains
])
def test_ctrl_c_ends_a_blocked_call(function, where, tmp_path):
    stdin = subprocess.DEVNULL
    path = str(tmp_path / "in.toml")
    if where == "open":
        os.mkfifo(path)
    elif where == "read":
        path = "/dev/stdin"
        stdin = subprocess.PIPE
    else:
        # Far more summary than a pipe holds.
        inputs = ", ".join(f'"./images/img_{n:06d}.jpg"' for n in range(20000))
        with open(path, "w") as f:
            f.write(f"[accuracy_analysis]\ninputs = [{inputs}]\n")
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD.format(function=function, path=path)],
        stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
    )
    try:
        assert child.stderr.readline() == b"blocking\n"
        time.sleep(0.5)
        assert child.poll() is None, "the call did not block"
        interrupted = time.monotonic()
        child.send_signal(signal.SIGINT)
        child.wait(timeout=5)
        took = time.monotonic() - interrupted
    finally:
        child.kill()
        child.wait()
    assert child.stderr.read() == b"KeyboardInterrupt; the other thread ran: True\n"
    assert child.returncode == 0
    assert took < 1.0


"""Ctrl-C while the module blocks in the file's open or read or in the write of the summary."""

import array
import fcntl
import os
import signal
import subprocess
import sys
import termios
import time
from pathlib import Path

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

# Another thread's summary fills the pipe first, so that the main thread's
# call waits for the writer that the other thread holds.
WAIT_FIRST = """
import threading, time, vora_convert_inner
threading.Thread(target=vora_convert_inner.rust_explain, args=({path!r},), daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.parametrize("function, where", [
    ("rust_explain", "open"),   # a FIFO that no writer opens
    ("rust_convert", "open"),
    ("rust_explain", "read"),   # standard input from a writer that stays silent
    ("rust_explain", "write"),  # standard output into a pipe that nobody drains
    ("rust_explain", "device"),  # a device whose reads never end and always return data
    ("rust_explain", "wait"),   # the writer held by another thread whose write blocks
])
def test_ctrl_c_ends_a_blocked_call(function, where, tmp_path):
    stdin = subprocess.DEVNULL
    path = str(tmp_path / "in.toml")
    if where == "open":
        os.mkfifo(path)
    elif where == "read":
        path = "/dev/stdin"
        stdin = subprocess.PIPE
    elif where == "device":
        path = "/dev/zero"
    else:
        # Far more summary than a pipe holds.
        inputs = ", ".join(f'"./images/img_{n:06d}.jpg"' for n in range(20000))
        with open(path, "w") as f:
            f.write(f"[accuracy_analysis]\ninputs = [{inputs}]\n")
    code = CHILD.format(function=function, path=path)
    if where == "wait":
        code = WAIT_FIRST.format(path=path) + code
    child = subprocess.Popen(
        [sys.executable, "-c", code],
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
        said = child.stderr.read()
    finally:
        child.kill()
        child.communicate()
    assert said == b"KeyboardInterrupt; the other thread ran: True\n"
    assert child.returncode == 0
    assert took < 1.0



# Daemon threads still inside a call when the main thread returns: the
# interpreter ends each as it asks for the lock back, and the process exits
# cleanly, whatever the thread was doing.
DAEMONS = """
import sys, threading, time, vora_convert_inner
function = getattr(vora_convert_inner, sys.argv[1])
def loop():
    while True:
        try:
            function(sys.argv[2])
        except RuntimeError:
            pass
for _ in range(8):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.05)
"""


@pytest.mark.parametrize("function", ["rust_explain", "rust_convert"])
def test_daemon_threads_in_a_call_at_exit(function, tmp_path):
    example_file = Path(__file__).resolve().parents[2] / "examples" / "example.toml"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    codes = [
        subprocess.run([sys.executable, "-c", DAEMONS, function, str(example_file)], cwd=tmp_path, env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).returncode
        for _ in range(20)
    ]
    assert codes == [0] * 20


# A signal handler that explains while the main thread's own summary is
# blocked on a full pipe: the handler's call is refused at once, and the
# interrupted summary goes on whole once the pipe drains.
REENTER = """
import signal, sys, vora_convert_inner
said = []
def handler(*_):
    try:
        vora_convert_inner.rust_explain({path!r})
    except RuntimeError as e:
        said.append(str(e))
signal.signal(signal.SIGUSR1, handler)
sys.stderr.write("ready\\n"); sys.stderr.flush()
vora_convert_inner.rust_explain({path!r})
sys.stderr.write(repr(said))
"""


def test_explain_from_a_signal_handler_during_a_blocked_write(tmp_path):
    path = tmp_path / "big.toml"
    inputs = ", ".join(f'"./images/img_{n:06d}.jpg"' for n in range(20000))
    path.write_text(f"[accuracy_analysis]\ninputs = [{inputs}]\n")
    child = subprocess.Popen([sys.executable, "-c", REENTER.format(path=str(path))],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert child.stderr.readline() == b"ready\n"
        # The signal comes once the pipe is full: the summary's write blocks.
        capacity = fcntl.fcntl(child.stdout.fileno(), 1032)  # F_GETPIPE_SZ
        held = array.array("i", [0])
        deadline = time.monotonic() + 60
        while held[0] < capacity and time.monotonic() < deadline:
            time.sleep(0.05)
            fcntl.ioctl(child.stdout.fileno(), termios.FIONREAD, held)
        time.sleep(0.2)
        child.send_signal(signal.SIGUSR1)
        time.sleep(0.5)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.communicate()
    assert err.decode() == repr(["rust_explain called while this thread is writing a summary "
                                 "(from a signal handler); nothing was printed"])
    whole = subprocess.run([sys.executable, "-c", "import sys, vora_convert_inner; "
                            "vora_convert_inner.rust_explain(sys.argv[1])", str(path)], stdout=subprocess.PIPE)
    assert out == whole.stdout

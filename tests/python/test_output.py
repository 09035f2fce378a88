"""rust_explain's write to file descriptor 1 while a thread of the same process
drains it (as a notebook kernel captures standard output): the call finishes,
and every summary arrives whole."""

import subprocess
import sys
import textwrap

import pytest

# Runs rust_explain on each path given, every call on a thread of its own (a
# single call on the main thread), with descriptor 1 on a pipe that a thread
# of the same process drains; prints what came through the pipe.
DRAINED = textwrap.dedent("""
    import os, sys, threading
    import vora_convert_inner

    paths = sys.argv[1:]
    read_end, write_end = os.pipe()
    saved = os.dup(1)
    os.dup2(write_end, 1)
    os.close(write_end)
    chunks = []

    def drain():
        while True:
            chunk = os.read(read_end, 1 << 16)
            if not chunk:
                return
            chunks.append(chunk)

    failures = []

    def explain(path):
        try:
            vora_convert_inner.rust_explain(path)
        except BaseException as error:
            failures.append(repr(error))

    drainer = threading.Thread(target=drain)
    drainer.start()
    if len(paths) == 1:
        explain(paths[0])
    else:
        callers = [threading.Thread(target=explain, args=(path,)) for path in paths]
        for caller in callers:
            caller.start()
        for caller in callers:
            caller.join()
    os.dup2(saved, 1)  # the pipe's last write end closes: the drainer reaches its end
    drainer.join()
    assert not failures, failures
    sys.stdout.buffer.write(b"".join(chunks))
""")


def long_configuration(tmp_path, name, count):
    """A configuration whose summary is several hundred kilobytes: a long inputs list."""
    inputs = ", ".join(f'"./{name}/image_{i:05}.jpg"' for i in range(count))
    path = tmp_path / f"{name}.toml"
    path.write_text(f'[export]\nexport_path = "{name}.vora"\n\n[accuracy_analysis]\ninputs = [{inputs}]\n')
    return str(path)


def explain_to_pipe_of_parent(path):
    """The summary as this (other) process reads it from the child's pipe."""
    done = subprocess.run([sys.executable, "-c", "import sys, vora_convert_inner; "
                           "vora_convert_inner.rust_explain(sys.argv[1])", path],
                          capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


def explain_drained(paths):
    try:
        done = subprocess.run([sys.executable, "-c", DRAINED, *paths], capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("rust_explain blocked on a pipe drained by a thread of its own process")
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


@pytest.mark.parametrize("count", [1, 600])
def test_one_summary_through_a_drained_pipe(tmp_path, count):
    path = long_configuration(tmp_path, "single", count)
    expected = explain_to_pipe_of_parent(path)
    if count > 1:
        assert len(expected) > 300_000  # well beyond any pipe's buffer
    assert explain_drained([path]) == expected


# Summaries of one write each, and of many (beyond the writer's buffer).
@pytest.mark.parametrize("count", [1, 3000])
def test_summaries_of_threads_arrive_whole(tmp_path, count):
    names = ["first", "second", "third"]
    paths = [long_configuration(tmp_path, name, count) for name in names]
    summaries = [explain_to_pipe_of_parent(path) for path in paths]
    assert len(set(summaries)) == 3
    output = explain_drained(paths)
    assert len(output) == sum(map(len, summaries))
    # Whole and one after another, in some order of the threads.
    order = sorted(range(3), key=lambda i: output.find(summaries[i]))
    assert all(output.find(summary) >= 0 for summary in summaries)
    assert output == b"".join(summaries[i] for i in order)


PEAK = "import resource, sys, vora_convert_inner\n{call}\nprint(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)"


def test_peak_memory_of_a_long_summary_is_bounded_by_the_file(tmp_path):
    # 20 MB of file names: a summary of about 500 MB, drawn as it is written.
    path = tmp_path / "long.toml"
    with open(path, "w") as out:
        out.write('[config]\ntarget_platform = "vora-m1"\n\n[accuracy_analysis]\ninputs = [\n')
        out.writelines(f'  "./images/img_{n:06d}.jpg",\n' for n in range(1, 690_000))
        out.write("]\n")

    def peak_kib(call):
        done = subprocess.run([sys.executable, "-c", PEAK.format(call=call)], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=300, check=True)
        return int(done.stderr.split()[-1])

    explained = peak_kib(f"vora_convert_inner.rust_explain({str(path)!r})")
    assert (explained - peak_kib("")) * 1024 <= 5 * path.stat().st_size

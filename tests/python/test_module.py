"""The module itself, reading and loading through Python, and rust_explain's output."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vora_convert_inner


def run_python(code, stdin=None, **kwargs):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        stdin=stdin,
        **kwargs,
    )


def explain_output(path):
    """What rust_explain writes to file descriptor 1, captured in a subprocess."""
    proc = run_python(
        f"""
        import vora_convert_inner
        vora_convert_inner.rust_explain({str(path)!r})
        """
    )
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stderr == b""
    return proc.stdout.decode("utf-8")


def test_module_surface():
    m = vora_convert_inner
    assert m.__doc__ == ""
    assert [n for n in dir(m) if not n.startswith("__")] == ["check", "rust_convert", "rust_explain"]
    assert m.check.__text_signature__ == "(path, *, files=True, base=None)"
    for f in (m.rust_convert, m.rust_explain, m.check):
        assert f.__text_signature__ in ("(path)", "(path, *, files=True, base=None)")
        assert f.__doc__ is None
        assert f.__module__ == "vora_convert_inner"
        assert f.__self__ is m


ONCE = "ImportError: vora_convert_inner may only be initialized once per interpreter process"

# Sub-interpreters made by the interpreter's own module for them (3.12 on).
SUBINTERPRETERS = """
import sys
try:
    import _interpreters as interpreters
    make = lambda isolated: interpreters.create("isolated" if isolated else "legacy")
except ImportError:
    import _xxsubinterpreters as interpreters
    make = lambda isolated: interpreters.create(isolated=isolated)
def in_subinterpreter(isolated):
    interp = make(isolated)
    interpreters.run_string(interp, TRY)
    interpreters.destroy(interp)
"""
TRY = """
try:
    import vora_convert_inner
    print("imported", callable(vora_convert_inner.rust_explain), flush=True)
except ImportError as e:
    print("ImportError:", e, flush=True)
"""


@pytest.mark.parametrize("steps, said", [
    (["main", "del sys.modules['vora_convert_inner']", "main"], ["imported True", ONCE]),
] + ([
    # An isolated sub-interpreter's refused import leaves the main one its own.
    (["isolated", "main"], ["ImportError: *", "imported True"]),
    (["main", "legacy"], ["imported True", ONCE]),
] if sys.version_info >= (3, 12) else []))  # sub-interpreters of these kinds come with 3.12
def test_one_initialisation_per_process(steps, said):
    code = [SUBINTERPRETERS if sys.version_info >= (3, 12) else "import sys", f"TRY = {TRY!r}"]
    for step in steps:
        code.append({"main": "exec(TRY)", "isolated": "in_subinterpreter(True)",
                     "legacy": "in_subinterpreter(False)"}.get(step, step))
    proc = run_python("\n".join(code))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.decode().splitlines()
    assert len(lines) == len(said)
    for line, expected in zip(lines, said):
        assert line.startswith(expected[:-1]) if expected.endswith("*") else line == expected


@pytest.mark.parametrize("function", ["rust_explain", "rust_convert"])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{f}() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, "{f}() takes 1 positional arguments but 2 were given"),
        (("a", "b", "c"), {}, "{f}() takes 1 positional arguments but 3 were given"),
        ((), {"file": "a"}, "{f}() got an unexpected keyword argument 'file'"),
        (("a",), {"path": "b"}, "{f}() got multiple values for argument 'path'"),
        ((b"a.toml",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ((None,), {}, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(vora_convert_inner, function)(*args, **kwargs)
    assert str(info.value) == message.format(f=function)


def test_str_subclass_and_keyword_accepted(tmp_path, capfd):
    class Name(str):
        def __fspath__(self):
            raise AssertionError("not used")

    (tmp_path / "c.toml").write_text("")
    vora_convert_inner.rust_explain(Name(tmp_path / "c.toml"))
    vora_convert_inner.rust_explain(path=str(tmp_path / "c.toml"))
    assert capfd.readouterr().out.count("[Configuration Summary]") == 2


@pytest.mark.parametrize("function", ["rust_explain", "rust_convert"])
def test_read_errors(function, tmp_path):
    f = getattr(vora_convert_inner, function)
    cases = [
        (str(tmp_path / "missing.toml"), "No such file or directory (os error 2)"),
        (str(tmp_path), "Is a directory (os error 21)"),
        ("a\0b", "file name contained an unexpected NUL byte"),
    ]
    bad = tmp_path / "bad.toml"
    bad.write_bytes(b'[config]\ncustom_string = "\xff"\n')
    cases.append((str(bad), "stream did not contain valid UTF-8"))
    # A device that never ends stops at its first byte that is not UTF-8.
    cases.append(("/dev/urandom", "stream did not contain valid UTF-8"))
    for path, message in cases:
        with pytest.raises(RuntimeError) as info:
            f(path)
        assert str(info.value) == message


def test_lone_surrogate_raises_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError) as info:
        vora_convert_inner.rust_explain("\udc80.toml")
    assert "surrogates not allowed" in str(info.value)


@pytest.mark.parametrize(
    "text, message",
    [
        (
            "[config]\nquantized_dtype = 'x'\noptimization_level = 300\n",
            "TOML parse error at line 3, column 22\n  |\n3 | optimization_level = 300\n"
            "  |                      ^^^\ninvalid value: integer `300`, expected u8\n",
        ),
        (
            "[load]\n",
            "TOML parse error at line 1, column 1\n  |\n1 | [load]\n  | ^^^^^^\nmissing field `model_type`\n",
        ),
        (
            "a = [1,,2]\n",
            "TOML parse error at line 1, column 8\n  |\n1 | a = [1,,2]\n  |        ^\n"
            "expected a value, found `,`\n",
        ),
    ],
)
def test_load_errors_reach_python_unchanged(tmp_path, text, message):
    path = tmp_path / "c.toml"
    path.write_text(text)
    for f in (vora_convert_inner.rust_explain, vora_convert_inner.rust_convert):
        with pytest.raises(RuntimeError) as info:
            f(str(path))
        assert str(info.value) == message


def test_nothing_happens_before_the_file_loads(tmp_path):
    (tmp_path / "bad.toml").write_text("build = 1\n")
    # A long summary's worth of values before the error on the last line.
    inputs = "".join(f'  "./images/img_{n:06d}.jpg",\n' for n in range(20_000))
    (tmp_path / "late.toml").write_text(f"[accuracy_analysis]\ninputs = [\n{inputs}]\ndevice_id = 1\n")
    paths = [str(tmp_path / name) for name in ("missing.toml", "bad.toml", "late.toml")]
    proc = run_python(
        f"""
        import sys, vora_convert_inner
        for f in (vora_convert_inner.rust_convert, vora_convert_inner.rust_explain):
            for path in {paths!r}:
                try:
                    f(path)
                except RuntimeError:
                    pass
        print("vora.api" in sys.modules, "vora" in sys.modules, "numpy" in sys.modules, file=sys.stderr)
        """
    )
    assert proc.stdout == b""
    assert proc.stderr.decode() == "False False False\n"


BUILD_EXAMPLE = """\
[build]
do_quantization = false
dataset = "./dataset.txt"
"""

BUILD_TABLE = """\
[build]
╔═══════════════╤═════════════╤═══════╤════════════╤═════════════════════════════════════════════════════╗
║Key            │Value        │Default│Set by User?│Description                                          ║
╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢
║auto_hybrid    │false        │false  │No          │Enable automatic hybrid quantization (default: false)║
╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢
║dataset        │./dataset.txt│null   │Yes         │Path to dataset file for quantization (default: None)║
╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢
║do_quantization│false        │true   │Yes         │Whether to quantize the model (default: true)        ║
╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢
║vora_batch_size│null         │null   │No          │Batch size for inference (default: None)             ║
╚═══════════════╧═════════════╧═══════╧════════════╧═════════════════════════════════════════════════════╝

"""

EXPORT_TABLE = """\
[export]
╔═══════════╤═════╤═══════╤════════════╤═══════════╗
║Key        │Value│Default│Set by User?│Description║
╟───────────┼─────┼───────┼────────────┼───────────╢
║export_path│null │null   │No          │           ║
╚═══════════╧═════╧═══════╧════════════╧═══════════╝

"""


def sections(output):
    """Splits a summary into {heading: block}."""
    assert output.startswith("\n[Configuration Summary]\n\n")
    blocks = {}
    for block in output[len("\n[Configuration Summary]\n\n") :].split("\n\n")[:-1]:
        heading = block.split("\n", 1)[0]
        blocks[heading] = block + "\n\n"
    return blocks


def rows(block):
    """{key: [value, default, flag, description]} of a section block, cells stripped."""
    out = {}
    for line in block.splitlines():
        if line.startswith("║") and not line.startswith("║Key"):
            cells = [c.rstrip() for c in line[1:-1].split("│")]
            out[cells[0]] = cells[1:]
    return out


def test_explain_build_example_byte_for_byte(tmp_path):
    path = tmp_path / "c.toml"
    path.write_text(BUILD_EXAMPLE)
    out = explain_output(path)
    blocks = sections(out)
    assert list(blocks) == ["[config]", "[load]", "[build]", "[export]"]
    assert blocks["[build]"] == BUILD_TABLE
    assert out.endswith(BUILD_TABLE + EXPORT_TABLE)


def test_explain_whole_output_of_an_empty_file(tmp_path):
    path = tmp_path / "c.toml"
    path.write_text("")
    expected = (Path(__file__).parent / "data" / "default_summary.txt").read_text(encoding="utf-8")
    assert explain_output(path) == expected


def test_explain_default_file_says_no_everywhere(tmp_path):
    path = tmp_path / "c.toml"
    path.write_text("# nothing set\n")
    out = explain_output(path)
    rows = [line for line in out.splitlines() if line.startswith("║") and not line.startswith("║Key")]
    assert len(rows) == 14 + 5 + 4 + 1
    for row in rows:
        cells = [c.rstrip() for c in row[1:-1].split("│")]
        assert cells[1] == cells[2] and cells[3] == "No", row


def test_explain_accuracy_section_and_values(tmp_path):
    path = tmp_path / "c.toml"
    path.write_text(
        '[config]\nmean_values = [0.1]\nfloat_dtype = "float16"\noptimization_level = 3\n'
        "[load]\nmodel_type = 'Onnx'\ninputs = []\n"
        "[accuracy_analysis]\ninputs = []\n"
    )
    blocks = sections(explain_output(path))
    assert list(blocks) == ["[config]", "[load]", "[build]", "[accuracy_analysis]", "[export]"]
    config = rows(blocks["[config]"])
    assert config["mean_values"] == ["[0.10000000149011612]", "null", "Yes", "Mean values for normalization."]
    assert config["float_dtype"] == ["float16", "float16", "No", "float_dtype [float16, float32, bfloat16]"]
    assert config["optimization_level"][:3] == ["3", "3", "No"]
    assert rows(blocks["[load]"])["inputs"][:3] == ["[]", "null", "Yes"]
    assert rows(blocks["[accuracy_analysis]"]) == {
        "device_id": ["null", "null", "No", "Optional target device ID."],
        "inputs": ["[]", "[]", "No", "Input file paths for accuracy analysis."],
        "output_dir": ["null", "null", "No", "Directory where accuracy snapshots and analysis files are written."],
        "target": ["null", "null", "No", "Optional target hardware platform for board-side analysis."],
    }


def test_explain_bypasses_sys_stdout(tmp_path):
    (tmp_path / "c.toml").write_text("")
    proc = run_python(
        f"""
        import io, sys, vora_convert_inner
        sys.stdout = io.StringIO()
        vora_convert_inner.rust_explain({str(tmp_path / 'c.toml')!r})
        captured = sys.stdout.getvalue()
        sys.stdout = sys.__stdout__
        print("python saw", len(captured), file=sys.stderr)
        """
    )
    assert proc.returncode == 0
    assert proc.stdout.decode().startswith("\n[Configuration Summary]\n\n[config]\n")
    assert proc.stderr.decode() == "python saw 0\n"


PANIC_PROBE = """
import os, sys, vora_convert_inner
{setup}
try:
    vora_convert_inner.rust_explain({path!r})
except BaseException as e:
    t = type(e)
    os.write(2, f"{{t.__module__}}.{{t.__qualname__}}|{{issubclass(t, Exception)}}|{{e}}\\n".encode())
"""


@pytest.mark.parametrize("text", ["", "[load]\nmodel_type = 'Onnx'\ninputs = [" + '"i",' * 30_000 + "]\n"],
                         ids=["short", "longer-than-the-buffer"])
@pytest.mark.parametrize(
    "setup, error",
    [
        ("os.close(1)", "Bad file descriptor (os error 9)"),
        ("fd = os.open('/dev/full', os.O_WRONLY); os.dup2(fd, 1)", "No space left on device (os error 28)"),
        ("r, w = os.pipe(); os.close(r); os.dup2(w, 1)", "Broken pipe (os error 32)"),
    ],
    ids=["closed", "full", "broken-pipe"],
)
def test_unwritable_stdout_raises_the_panic_exception(tmp_path, setup, error, text):
    (tmp_path / "c.toml").write_text(text)
    proc = run_python(PANIC_PROBE.format(setup=setup, path=str(tmp_path / "c.toml")))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.decode().splitlines()
    assert lines[-1] == f"vora_convert_inner.PanicException|False|failed printing to stdout: {error}"


def test_hostile_values_render_by_the_rules(tmp_path):
    path = tmp_path / "c.toml"
    path.write_text(
        '[config]\ncustom_string = "a\\tb\\r\\nc\\u001b  d\\u00e9\\u4e2d\\U0001F600"\n'
        '[build]\ndataset = "' + "x" * 100000 + '"\n'
        "[load]\nmodel_type = 'Onnx'\ninputs = [" + ", ".join(['"i"'] * 100000) + "]\n"
    )
    blocks = sections(explain_output(path))
    config = blocks["[config]"].splitlines()
    row = next(i for i, line in enumerate(config) if line.startswith("║custom_string"))
    # Two lines for the CRLF; the tab after a word becomes one space, the
    # escape character is copied and counts one, wide characters count one.
    assert config[row].split("│")[1].rstrip() == "a b"
    assert config[row + 1].split("│")[1].rstrip() == "c\x1b  dé中😀"
    widths = {len(line) for line in config if line and line[0] in "╔║╟╚"}
    assert len(widths) == 1
    assert "x" * 100000 in blocks["[build]"]
    assert '["i",' + '"i",' * 99998 + '"i"]' in blocks["[load]"]


@pytest.mark.parametrize(
    "content, first_line",
    [
        (b"x = " + b"[" * 100000 + b"]" * 100000, "TOML parse error at line 1, column "),
        (b"a" + b".a" * 100000 + b" = 1\n", "TOML parse error at line 1, column 8193\n"),
        (b"[config]\ncustom_string = 'unterminated", "TOML parse error at line 2, column "),
        (bytes(range(256)) * 4, None),
        (b"\x00\x01\x02garbage", "TOML parse error at line 1, column 1"),
    ],
    ids=["deep-array", "deep-dotted-key", "truncated", "binary", "control-bytes"],
)
def test_hostile_files_give_one_clean_error(tmp_path, content, first_line):
    path = tmp_path / "c.toml"
    path.write_bytes(content)
    for f in (vora_convert_inner.rust_explain, vora_convert_inner.rust_convert):
        with pytest.raises(RuntimeError) as info:
            f(str(path))
        message = str(info.value)
        if first_line is None:
            assert message == "stream did not contain valid UTF-8"
        else:
            assert message.startswith(first_line)

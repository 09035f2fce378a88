"""vora-config plan and explain --format json: the converter calls and the effective configuration."""

import functools
import importlib.util
import json
import re
import subprocess
import sys

import numpy as np
import pytest

from conftest import REPO
from test_cli import EXAMPLE, cli, run  # noqa: F401 (cli: a fixture)
from vora_convert_inner import rust_convert

# The interpreters the tables of repr() were made with, found as the maker finds them.
_spec = importlib.util.spec_from_file_location("printable_ranges", REPO / "scripts" / "printable-ranges.py")
printable_ranges = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(printable_ranges)


def recorded_lines(standin):
    return [f"{c.method}({', '.join([*map(repr, c.args), *(f'{k}={v!r}' for k, v in c.kwargs.items())])})"
            for c in standin.CALLS]


@pytest.mark.parametrize("text", [
    EXAMPLE.read_text(encoding="utf-8"),
    "",
    "[accuracy_analysis]\ninputs = []\n",
    "[export]\n",
    # Texts: the quote repr chooses, escapes, characters repr shows and those it escapes.
    "[config]\ncustom_string = \"it's\"\ntarget_platform = 'say \"hi\"'\ninputs_yuv_fmt = \"both ' and \\\"\"\n",
    '[config]\ncustom_string = "tab\\t nl\\n cr\\r esc\\e del\\u007f nbsp\\u00a0 shy\\u00ad é ✓ 模型"\n',
    '[config]\ncustom_string = "\\u0085 \\u2028 \\u200b \\ue000 \\u0378 \\U0001F600 \\U000E0001 \\uFFFF back\\\\slash"\n',
    # Floats around the change of notation, signed zero, non-finite values.
    "[config]\nmean_values = [1e-5, 0.0001, 1e15, 1e16, 123456789012345680.0, -0.0, 0.1, 3.4e38, 1e-45]\n"
    "std_values = [inf, -inf, nan]\n",
    "[load]\nmodel_type = \"Onnx\"\ninput_size_list = [[18446744073709551615, 0], []]\n"
    "[build]\nvora_batch_size = -2147483648\n",
], ids=["example", "empty", "no-analysis", "no-export-path", "quotes", "escapes", "unprintable", "floats", "integers"])
def test_plan_is_what_the_converter_receives(cli, write_config, standin, text):
    path = write_config(text)
    standin.SCRIPT["export_vora"] = 0
    rust_convert(path)
    done = run(cli, "plan", path)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode("utf-8").splitlines() == recorded_lines(standin)


def test_plan_of_initial_values_shows_the_file(cli, write_config, standin, tmp_path):
    np.save(tmp_path / "init.npy", np.zeros(3, np.float32))
    path = write_config('[load]\nmodel_type = "Onnx"\ninput_initial_val_file = "init.npy"\noutputs = ["y"]\n')
    text = run(cli, "plan", path).stdout.decode()
    assert text.splitlines()[1] == ("load_onnx('model.onnx', outputs=['y'], "
                                    "input_initial_val=<the arrays of numpy.load('init.npy'), not loaded here>)")
    calls = json.loads(run(cli, "plan", "--format", "json", path).stdout)
    assert calls[1] == {"method": "load_onnx", "args": ["model.onnx"],
                        "kwargs": {"outputs": ["y"], "input_initial_val": {"numpy_load": "init.npy"}}}


def test_plan_json_holds_the_recorded_values(cli, standin):
    rust_convert(str(EXAMPLE))
    calls = json.loads(run(cli, "plan", "--format=json", str(EXAMPLE)).stdout)
    assert [(c["method"], c["args"], list(c["kwargs"].items())) for c in calls] == [
        (c.method, list(c.args), [(k, pytest.approx(v) if k.endswith("_values") else v) for k, v in c.kwargs.items()])
        for c in standin.CALLS]


# A character first assigned in each Unicode version from 13.0 to 17.0, each
# escaped by the Pythons of the versions before.
NEWER = ["\u08be", "\u0870", "\u0cf3", "\u2ffc", "\u0897", "\u088f"]


@pytest.mark.parametrize("args, shown", [
    ([], 4), (["--python", "3.13"], 4), (["--python", "3.8"], 0), (["--python=3.9"], 1), (["--python", "3.10"], 1),
    (["--python", "3.11"], 2), (["--python", "3.12"], 3), (["--python", "3.14"], 5), (["--python", "3.15"], 6),
])
def test_plan_escapes_what_the_unicode_of_that_python_has_not_assigned(cli, write_config, args, shown):
    path = write_config("[config]\ncustom_string = \"" + " ".join(NEWER) + "\"\n")
    done = run(cli, "plan", *args, path)
    assert (done.returncode, done.stderr) == (0, b"")
    words = [c if n < shown else f"\\u{ord(c):04x}" for n, c in enumerate(NEWER)]
    assert f"custom_string='{' '.join(words)}'" in done.stdout.decode("utf-8").splitlines()[0]


# Every Unicode scalar value: all that any Python's Unicode data tells apart.
EVERY_CHARACTER = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c < 0xE000)
REPR = "import sys; sys.stdout.buffer.write(repr(sys.stdin.buffer.read().decode('utf-8')).encode('utf-8'))"


@functools.lru_cache(maxsize=None)
def every_character_file():
    """A [config] whose custom_string holds EVERY_CHARACTER, its controls, quote and backslash escaped."""
    escaped = "".join(f"\\u{ord(c):04x}" if c < " " or c in '"\\\x7f' else c for c in EVERY_CHARACTER)
    return f'[config]\ncustom_string = "{escaped}"\n'


def pythons_present():
    """(version, command) of each Python 3.8 to 3.15 found here; the one running the tests at least."""
    found = []
    for minor in range(8, 16):
        command, _ = printable_ranges.interpreter((3, minor), {})
        if command is not None and subprocess.run([*command, "-c", ""], capture_output=True).returncode != 0:
            command = None  # named but not runnable here (the unstable root's runner from inside it)
        if command is None and sys.version_info[:2] == (3, minor):
            command = [sys.executable]
        if command is not None:
            found.append((f"3.{minor}", command))
    return found


def test_plan_shows_repr_of_each_python_present(cli, tmp_path):
    path = tmp_path / "every.toml"
    path.write_text(every_character_file(), encoding="utf-8")
    found = pythons_present()
    assert found
    for version, command in found:
        expected = subprocess.run([*command, "-I", "-c", REPR], input=EVERY_CHARACTER.encode("utf-8"),
                                  capture_output=True, check=True, timeout=300).stdout.decode("utf-8")
        done = subprocess.run([cli, "plan", "--python", version, path], capture_output=True, timeout=300)
        assert (done.returncode, done.stderr) == (0, b""), version
        line = done.stdout.decode("utf-8").splitlines()[0]
        shown = line[line.index("custom_string=") + len("custom_string="):]
        assert where_they_part(shown, expected) is None, version


def where_they_part(shown, expected):
    """None when `shown` is the argument `expected` (then `,` or `)`), else both around their first
    difference (not megabytes of diff)."""
    if shown.startswith(expected) and shown[len(expected):len(expected) + 1] in (",", ")"):
        return None
    at = next((i for i, (a, b) in enumerate(zip(shown, expected)) if a != b), min(len(shown), len(expected)))
    return at, shown[max(0, at - 30):at + 30], expected[max(0, at - 30):at + 30]


ROW = re.compile(r"^║([^│]*)│([^│]*)│([^│]*)│([^│]*)│(.*)║$")


def test_explain_json_agrees_with_the_summary(cli):
    summary = run(cli, "explain", str(EXAMPLE)).stdout.decode()
    document = json.loads(run(cli, "explain", "--format", "json", str(EXAMPLE)).stdout)
    rows, section = {}, None
    for line in summary.splitlines():
        if re.fullmatch(r"\[\w+\]", line):
            section = line[1:-1]
        elif (match := ROW.match(line)) and match[1].strip() != "Key":
            rows[section, match[1].strip()] = [cell.strip() for cell in match.groups()[1:]]
    shown = {}
    for section, keys in document.items():
        for key, entry in (keys or {}).items():
            cells = [value if isinstance(value, str) else json.dumps(value, separators=(",", ":"))
                     for value in (entry["value"], entry["default"])]
            shown[section, key] = [*cells, "Yes" if entry["differs_from_default"] else "No", entry["description"]]
    assert shown == rows
    assert document["accuracy_analysis"] is not None and list(document) == [
        "config", "load", "build", "accuracy_analysis", "export"]


LONG = "x" * 100


@pytest.mark.parametrize("source, cut", [
    (EXAMPLE.read_text(encoding="utf-8"), {("config", "custom_string"), ("config", "mean_values"),
                                           ("config", "std_values")}),
    ('[config]\ncustom_string = "' + LONG + '"\n[build]\ndataset = "calibration\\u001b[2J.txt"\n'
     '[export]\nexport_path = "モデル/出力.vora"\n', {("config", "custom_string")}),
])
def test_explain_list_is_the_json_form_one_key_a_line_within_80_columns(cli, tmp_path, source, cut):
    path = tmp_path / "c.toml"
    path.write_text(source, encoding="utf-8")
    lines = run(cli, "explain", "--format", "list", str(path)).stdout.decode().splitlines()
    document = json.loads(run(cli, "explain", "--format", "json", str(path)).stdout)
    expected = []
    for section, keys in document.items():
        for key, entry in (keys or {}).items():
            value = json.dumps(entry["value"], ensure_ascii=False, separators=(",", ":"))
            default = json.dumps(entry["default"], separators=(",", ":"))
            expected.append((section, key, value, default if entry["differs_from_default"] else None))
    assert len(lines) == len(expected)
    for line, (section, key, value, default) in zip(lines, expected):
        match = re.fullmatch(r"\[(\w+)\] (\w+) = (.*?)(?:  \(default: (.*)\))?", line)
        assert match and (match[1], match[2], match[4]) == (section, key, default), line
        width = sum(2 if "\u3000" <= c <= "\u9fff" or "\uff00" <= c <= "\uffef" else 1 for c in line)
        assert width <= 80, line
        if (section, key) in cut:
            assert match[3].endswith("...") and value.startswith(match[3][:-3]), line
        else:
            assert match[3] == value, line


PYTHONS = "3.8, 3.9, 3.10, 3.11, 3.12, 3.13, 3.14 or 3.15"


@pytest.mark.parametrize("args, status, stderr", [
    (["plan"], 2, "vora-config: plan needs exactly one FILE\n"),
    (["plan", "a.toml", "b.toml"], 2, "vora-config: plan needs exactly one FILE\n"),
    (["explain", "--format", "sarif", "a.toml"], 2, "vora-config: explain: --format is text, json or list\n"),
    (["plan", "--format", "list", "a.toml"], 2, "vora-config: plan: --format is text or json\n"),
    (["plan", "--colour", "a.toml"], 2, "vora-config: plan: unknown option '--colour'\n"),
    *[(["plan", *option, "a.toml"], 2, f"vora-config: plan: unknown --python '{value}': choose {PYTHONS}\n")
      for value in ["3.7", "3.16", "3", "3.08", "3.1x", "2.7", "", " 3.9"]
      for option in (["--python", value], [f"--python={value}"])],
    (["plan", "a.toml", "--python"], 2, f"vora-config: --python needs a value: {PYTHONS}\n"),
    (["explain", "--python", "3.11", "a.toml"], 2, "vora-config: explain: unknown option '--python'\n"),
    (["plan", "bad.toml"], 1, "vora-config: bad.toml: TOML parse error at line 1, column 8\n"),
    (["explain", "--format", "json", "missing.toml"], 1, "vora-config: missing.toml: "),
])
def test_plan_and_explain_refusals(cli, tmp_path, args, status, stderr):
    (tmp_path / "bad.toml").write_text("[config\n")
    done = subprocess.run([cli, *args], capture_output=True, cwd=tmp_path, timeout=60)
    assert (done.returncode, done.stdout) == (status, b"")
    assert done.stderr.decode().startswith(stderr)

"""vora-config check --fix and --diff: which keys are renamed, byte for byte, and how the file is replaced."""

import difflib
import json
import os
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

import pytest

from test_cli import cli, run, sarif_log  # noqa: F401 (cli: the program under test, a fixture)

FIXES = [
    # (file, fixed file, remaining findings: (line, column, code, suggestion))
    ("[config]\nOptimization_Level = 2\n", "[config]\noptimization_level = 2\n", []),
    ("[config]\nmean_value = [1] # kept\n\n\n\n\n\n\n\n[load]\nmodel_type = 'Onnx'\nmodle = 'm'\n",
     "[config]\nmean_values = [1] # kept\n\n\n\n\n\n\n\n[load]\nmodel_type = 'Onnx'\nmodel = 'm'\n", []),
    ("[config]\n'Mean_Values' = [1]\n\"std value\" = [2]\n", "[config]\nmean_values = [1]\nstd_values = [2]\n", []),
    ("[config]\nmed_values = [1]\n", None, [(2, 1, "unknown-key", "mean_values")]),  # as near to std_values
    ("[config]\n'med_values' = [1]\n", None, [(2, 1, "unknown-key", "mean_values")]),
    ("[config]\nmean_value = [1]\nmean_values = [2]\n", None, [(2, 1, "unknown-key", "mean_values")]),
    ("[config]\nMean_Values = [1]\nmean_value = [2]\n", None,  # two keys for one
     [(2, 1, "unknown-key", "mean_values"), (3, 1, "unknown-key", "mean_values")]),
    ("[config]\ndataset = 'd'\n", None, [(2, 1, "unknown-key", "[build]")]),
    ("config.Mean_Values = [1]\nconfig = 1\n", None, [(2, 1, "parse-error", None)]),
    ("config.Mean_Values = [1]\nconfig.std_value = [2]\n", "config.mean_values = [1]\nconfig.std_values = [2]\n", []),
    ("config = { a = 'é', Mean_Values = [1], std_value = [2] }\n",
     "config = { a = 'é', mean_values = [1], std_values = [2] }\n", [(1, 12, "unknown-key", None)]),
    ("\ufeff[config]\r\n\t\"Mean_Values\" = [1] # é\r\n", "\ufeff[config]\r\n\tmean_values = [1] # é\r\n", []),
    ("[Config]\nmean_value = [1]\nx.y = 1\n[Buld]\n", "[config]\nmean_values = [1]\nx.y = 1\n[build]\n",
     [(3, 1, "unknown-key", None)]),
    # A key naming a table may be written again in another header or dotted key: not renamed.
    ("[Config]\n[Config.x]\n", None, [(1, 2, "unknown-section", "config"), (2, 9, "unknown-key", None)]),
    ("[Config]\na.b = 1\n[Config.a.c]\n", None, [(1, 2, "unknown-section", "config"), (2, 1, "unknown-key", None)]),
    ("[[Config]]\n", None, [(1, 3, "unknown-section", "config")]),
    ("[config]\nmean_value.a = 1\n", None, [(2, 1, "unknown-key", "mean_values")]),
    # A value that would not load under the key meant: the rename stays a suggestion.
    ("[config]\nOptimization_Level = 'high'\nmean_value = [1]\n",
     "[config]\nOptimization_Level = 'high'\nmean_values = [1]\n", [(2, 1, "unknown-key", "optimization_level")]),
    ("[Config]\noptimization_level = 'high'\n", None,
     [(1, 2, "unknown-section", "config"), (2, 22, "load-error", None)]),
    # The value that would not load under the right name is corrected first, so the section is renamed too.
    ("[Load]\nmodel_type = 'onnx'\nmodle = 'm.onnx'\n", "[load]\nmodel_type = 'Onnx'\nmodel = 'm.onnx'\n", []),
    ("config = { Mean_Values = [1], Optimization_Level = -1 }\n",
     "config = { mean_values = [1], Optimization_Level = -1 }\n", [(1, 31, "unknown-key", "optimization_level")]),
    # A closed choice in other letter case or the single nearest: the text between the quotes, quotes kept.
    ('[config]\nquantized_algorithm = "MMSE" # é\nquantized_method = \'layer\'\nfloat_dtype = "float61"\n',
     '[config]\nquantized_algorithm = "mmse" # é\nquantized_method = \'layers\'\nfloat_dtype = "float16"\n', []),
    ("[load]\nmodel_type = 'ONNX'\nmodel = 'm.onnx'\n", "[load]\nmodel_type = 'Onnx'\nmodel = 'm.onnx'\n", []),
    ('load = { model_type = "onnx", modle = "m" }\n', 'load = { model_type = "Onnx", model = "m" }\n', []),
    ('[CONFIG]\nquantized_algorithm = "mmsee"\n', '[config]\nquantized_algorithm = "mmse"\n', []),
    ('[config]\nfloat_dtype = "float36"\n', None, [(2, 15, "unknown-choice", "float16")]),  # float32 as near
    ('[config]\nquantized_algorithm = "MMS\\u0045"\n', None, [(2, 23, "unknown-choice", "mmse")]),  # an escape
    ("[config]\nquantized_algorithm = '''MMSE'''\n", None, [(2, 23, "unknown-choice", "mmse")]),
    ('[config]\nquantized_algorithm = "fp16"\n', None, [(2, 23, "unknown-choice", None)]),
    # A key silenced on its line is left as it is (and stays a silenced finding).
    ("[config]\nOptimization_Level = 2 # vora-config: ignore[unknown-key]\nmean_value = [1]\n",
     "[config]\nOptimization_Level = 2 # vora-config: ignore[unknown-key]\nmean_values = [1]\n",
     [(2, 1, "unknown-key", "optimization_level")]),
]
WARNINGS = {"unknown-choice"}


def findings(done):
    assert done.returncode in (0, 1), done.stderr
    return [(f["line"], f["column"], f["code"], f["suggestion"]) for f in json.loads(done.stdout)]


@pytest.mark.parametrize("before, after, remaining", FIXES)
def test_fix_renames_certain_keys_only(cli, tmp_path, before, after, remaining):
    after = before if after is None else after
    path = tmp_path / "vora.toml"
    path.write_bytes(before.encode())
    expected = "".join(difflib.unified_diff(before.splitlines(True), after.splitlines(True), str(path), str(path)))
    done = run(cli, "check", "--diff", str(path))
    errors_left = any(code not in WARNINGS for _, _, code, _ in remaining)
    assert (done.returncode, done.stdout.decode()) == (int(before != after or errors_left), expected)
    assert path.read_bytes() == before.encode()
    for _ in range(2):  # the second run finds nothing more to do
        assert findings(run(cli, "check", "--fix", "--no-files", "--format", "json", str(path))) == remaining
        assert path.read_bytes() == after.encode()


@pytest.mark.parametrize("before, after, remaining", FIXES)
def test_sarif_fixes_are_the_certain_renames_and_the_suggested_ones(cli, tmp_path, before, after, remaining):
    path = tmp_path / "vora.toml"
    fixed = before.encode()
    for _ in range(8):  # as --fix does, round after round until no certain fix is left
        path.write_bytes(fixed)
        done = run(cli, "check", "--format", "sarif", str(path))
        fixes = [(fix["properties"]["applicability"], fix["description"]["text"], change["artifactLocation"]["uri"], r)
                 for result in sarif_log(done.stdout)["runs"][0]["results"] for fix in result.get("fixes", [])
                 for change in fix["artifactChanges"] for r in change["replacements"]]
        assert all(uri == str(path) and text == f"Write `{r['insertedContent']['text']}` here"
                   for _, text, uri, r in fixes)
        certain = [r for kind, _, _, r in fixes if kind == "certain"]
        if not certain:
            break
        for r in sorted(certain, key=lambda r: r["deletedRegion"]["byteOffset"], reverse=True):
            at, length = r["deletedRegion"]["byteOffset"], r["deletedRegion"]["byteLength"]
            fixed = fixed[:at] + r["insertedContent"]["text"].encode() + fixed[at + length:]
    assert fixed == (before if after is None else after).encode()
    # What is left suggests renames to the bare keys its messages name.
    assert [r["insertedContent"]["text"] for kind, _, _, r in fixes if kind == "suggestion"] == [
        s for _, _, code, s in remaining if code in ("unknown-key", "unknown-section") and s and not s.startswith("[")]


@pytest.mark.parametrize("text, options, fixes", [
    ("[config]\nOptimization_Level = 2\n", [], [("certain", "optimization_level")]),
    ("[config]\n'med_values' = [1]\n", [], [("suggestion", "mean_values")]),  # near two keys; written quoted
    # A fix --fix does not make is a suggestion: of a silenced finding, of a misspelled section's value.
    ("[config]\nquantized_algorithm = 'MMSE' # vora-config: ignore\n", [], [("suggestion", "mmse")]),
    ("[CONFIG]\nquantized_algorithm = 'MMSE'\n", [], [("certain", "config"), ("suggestion", "mmse")]),
    # What is left after --fix, the files the configuration names checked again: the rename it refused.
    ("[config]\nOptimization_Level = 'high'\nmean_value = [1]\n", ["--fix"], [("suggestion", "optimization_level")]),
])
def test_sarif_fixes_are_those_fix_makes_whatever_the_options(cli, tmp_path, text, options, fixes):
    path = tmp_path / "vora.toml"
    path.write_text(text)
    done = run(cli, "check", *options, "--format", "sarif", str(path))
    assert [(fix["properties"]["applicability"], r["insertedContent"]["text"])
            for result in sarif_log(done.stdout)["runs"][0]["results"] for fix in result.get("fixes", [])
            for change in fix["artifactChanges"] for r in change["replacements"]] == fixes


def test_fix_replaces_the_link_target_whole_and_keeps_its_mode(cli, tmp_path):
    target = tmp_path / "real" / "vora.toml"
    target.parent.mkdir()
    target.write_text("[config]\nmean_value = [1]\n")
    target.chmod(0o640)
    link = tmp_path / "link.toml"
    link.symlink_to(target)
    inode = target.stat().st_ino
    done = run(cli, "check", "--fix", str(link))
    assert (done.returncode, done.stdout, done.stderr) == (
        0, b"1 file checked: 0 errors, 0 warnings\n",
        f"{link}:2:1: `mean_value` \u2192 `mean_values`\nvora-config: {link}: renamed 1 key\n".encode())
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_text() == "[config]\nmean_values = [1]\n"
    assert (target.stat().st_mode & 0o777, target.stat().st_ino != inode) == (0o640, True)
    assert sorted(p.name for p in target.parent.iterdir()) == ["vora.toml"]


def test_fix_of_standard_input_prints_the_fixed_text(cli):
    done = run(cli, "check", "--fix", "--format", "github", "-", stdin=b"[config]\nMEAN_VALUES = [1]\nx = 1\n")
    assert (done.returncode, done.stdout) == (1, b"[config]\nmean_values = [1]\nx = 1\n")
    assert done.stderr == ("<stdin>:2:1: `MEAN_VALUES` \u2192 `mean_values`\n".encode()
                           + b"vora-config: <stdin>: renamed 1 key\n"
                           b"::error file=<stdin>,line=3,col=1,endLine=3,endColumn=2,"
                           b"title=vora-config unknown-key::`x` is not a key of [config]; the converter ignores it\n")


CHANGES = [
    # (file, the lines --fix writes to standard error, its name as NAME)
    ("[config]\nmean_value = [1]\n", ["NAME:2:1: `mean_value` → `mean_values`", "vora-config: NAME: renamed 1 key"]),
    # Each change where the original text has it: columns in characters, a later round's after an earlier's.
    ('[Confg] # é\n"é" = 1\n  std_value = [1]\nquantized_algorithm = "MMSE"\n'
     '[lod]\nmodel_type = \'Onnx\'\nmodle = "m"\n',
     ["NAME:1:2: `Confg` → `config`", "NAME:3:3: `std_value` → `std_values`", "NAME:4:24: `MMSE` → `mmse`",
      "NAME:5:2: `lod` → `load`", "NAME:7:1: `modle` → `model`",
      "vora-config: NAME: renamed 4 keys, corrected 1 value"]),
    ('confg = { quantized_method = "Layers", Std_Value = [1] }\n',
     ["NAME:1:1: `confg` → `config`", "NAME:1:31: `Layers` → `layers`", "NAME:1:40: `Std_Value` → `std_values`",
      "vora-config: NAME: renamed 2 keys, corrected 1 value"]),
    ("[config]\nquantized_algorithm = 'Normal'\n",
     ["NAME:2:24: `Normal` → `normal`", "vora-config: NAME: corrected 1 value"]),
    ('\ufeff[Confg]\r\nquantized_algorithm = "MMSE"\r\n',  # columns do not count the byte-order mark
     ["NAME:1:2: `Confg` → `config`", "NAME:2:24: `MMSE` → `mmse`",
      "vora-config: NAME: renamed 1 key, corrected 1 value"]),
    ("[config]\nmean_values = [1]\n", []),
]


@pytest.mark.parametrize("text, lines", CHANGES)
def test_fix_lists_each_change_once(cli, tmp_path, text, lines):
    path = tmp_path / "vora.toml"
    path.write_bytes(text.encode())
    assert run(cli, "check", "--diff", str(path)).stderr == b""  # the diff shows the changes
    done = run(cli, "check", "--fix", str(path))
    assert done.stderr.decode().splitlines() == [line.replace("NAME", str(path)) for line in lines]
    assert run(cli, "check", "--fix", str(path)).stderr == b""  # nothing left to change
    stdin = run(cli, "check", "--fix", "--quiet", "-", stdin=text.encode())
    assert (stdin.stdout, stdin.stderr.decode().splitlines()[:-1]) == (
        path.read_bytes(), [line.replace("NAME", "<stdin>") for line in lines])


def test_diff_and_fix_refuse_each_other_and_other_formats(cli, tmp_path):
    for options, message in [(["--fix", "--diff"], b"--diff and --fix contradict each other: choose one\n"),
                             (["--diff", "--format=json"], b"--diff prints a unified diff, not --format json\n")]:
        done = run(cli, "check", *options, "vora.toml")
        assert (done.returncode, done.stdout) == (2, b"")
        assert done.stderr.startswith(b"vora-config: check: " + message + b"usage: ")


@pytest.mark.parametrize("text, why", [
    ("[config\n", "the file does not load: 1:8: expected `]` to close the header, found a line break"),
    ("[config]\noptimization_level = 'high'\n",
     "the file does not load: 2:22: invalid type: string \"high\", expected u8"),
    (None, "the file cannot be read: No such file or directory (os error 2)"),
])
def test_diff_says_why_a_file_with_an_error_shows_nothing(cli, tmp_path, text, why):
    if text is not None:
        (tmp_path / "vora.toml").write_text(text)
    done = run(cli, "check", "--diff", "vora.toml")
    assert (done.returncode, done.stdout, done.stderr.decode()) == (1, b"", f"vora-config: vora.toml: nothing to show: {why}\n")


PATCH, GIT_APPLY = ["patch", "-s", "-p0"], ["git", "apply", "-p0"]


# GNU patch 2.8 on refuses to write a name with a line feed, whatever the
# header says ("Invalid byte sequence"); git apply takes it.
@pytest.mark.parametrize("tool, name", [
    (tool, name) for tool in (PATCH, GIT_APPLY)
    for name in ["a b.toml", "tab\there.toml", "line\nfeed.toml", '"quoted\\ \t.toml']
    if not (tool is PATCH and "\n" in name)
])
def test_diff_applies_whatever_the_name(cli, tmp_path, name, tool):
    if shutil.which(tool[0]) is None:
        pytest.skip(f"{tool[0]} is not installed")
    (tmp_path / name).write_text("[config]\nmean_value = [1]\n")
    diff = run(cli, "check", "--diff", name)
    assert diff.returncode == 1
    subprocess.run(tool, input=diff.stdout, check=True, capture_output=True, timeout=60)
    assert (tmp_path / name).read_text() == "[config]\nmean_values = [1]\n"


@pytest.mark.parametrize("stdin", [
    b"[config]\nmean_value = [1]\n\xff# not UTF-8\n",
    b"[config]\nmean_value = [1]\n[config\n",
    b"[config]\nmean_values = 'x'\n",
    b"\xef\xbb\xbf[config]\r\noptimization_level = 1\r\n",
    b"",
])
def test_fix_filter_prints_what_it_cannot_fix_unchanged(cli, stdin):
    done = run(cli, "check", "--fix", "-", stdin=stdin)
    assert done.stdout == stdin


def test_fix_of_dev_stdin_filters_and_leaves_the_file_behind_it(cli, tmp_path):
    path = tmp_path / "vora.toml"
    path.write_text("[config]\nMean_Values = [1]\n")
    with open(path, "rb") as stdin:
        done = subprocess.run([cli, "check", "--fix", "/dev/stdin"], stdin=stdin, capture_output=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, b"[config]\nmean_values = [1]\n")
    assert path.read_text() == "[config]\nMean_Values = [1]\n"


@pytest.mark.parametrize("name", ["n" * 227 + ".toml", "é" * 125 + ".toml"])
def test_fix_of_a_file_with_a_long_name(cli, tmp_path, name):
    (tmp_path / name).write_text("[config]\nmean_value = [1]\n")
    done = run(cli, "check", "--fix", name)
    assert done.returncode == 0, done.stdout
    assert (tmp_path / name).read_text() == "[config]\nmean_values = [1]\n"
    assert os.listdir(tmp_path) == [name]


def test_fix_writes_a_file_with_two_names_in_place(cli, tmp_path):
    (tmp_path / "vora.toml").write_text("[config]\nmean_value = [1]\n")
    os.link(tmp_path / "vora.toml", tmp_path / "other.toml")
    inode = (tmp_path / "vora.toml").stat().st_ino
    assert run(cli, "check", "--fix", "vora.toml").returncode == 0
    for name in ("vora.toml", "other.toml"):
        assert ((tmp_path / name).read_text(), (tmp_path / name).stat().st_ino) == ("[config]\nmean_values = [1]\n", inode)
    assert sorted(os.listdir(tmp_path)) == ["other.toml", "vora.toml"]


def test_fix_keeps_extended_attributes(cli, tmp_path):
    path = tmp_path / "vora.toml"
    path.write_text("[config]\nmean_value = [1]\n")
    try:
        os.setxattr(path, "user.origin", b"hand-written")
    except OSError as error:
        pytest.skip(f"no user extended attributes here: {error}")
    assert run(cli, "check", "--fix", "vora.toml").returncode == 0
    assert (path.read_text(), os.listxattr(path), os.getxattr(path, "user.origin")) == (
        "[config]\nmean_values = [1]\n", ["user.origin"], b"hand-written")


def test_fix_leaves_a_file_the_user_may_not_write(cli, tmp_path):
    """Its owner (not root, who may write anything) has made it read-only."""
    folder, command = tmp_path, [cli]
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("no setpriv to run as another user")
        # tmp_path may be closed to others: a folder of nobody's under /tmp.
        folder = Path(tempfile.mkdtemp(dir="/tmp"))
        os.chown(folder, 65534, 65534)
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", cli]
    try:
        path = folder / "vora.toml"
        path.write_text("[config]\nmean_value = [1]\n")
        os.chown(path, os.stat(folder).st_uid, os.stat(folder).st_gid)
        path.chmod(0o444)
        if subprocess.run([*command, "--version"], capture_output=True).returncode != 0:
            pytest.skip("vora-config cannot be run as another user here")
        done = subprocess.run([*command, "check", "--fix", "--format=json", str(path)], capture_output=True, timeout=60)
        assert done.returncode == 1
        assert [(f["code"], f["message"]) for f in json.loads(done.stdout)] == [
            ("unknown-key", "`mean_value` is not a key of [config]; the converter ignores it; did you mean `mean_values`?"),
            ("write-error", f"cannot fix {path}: the file may not be written: Permission denied (os error 13)")]
        assert (path.read_text(), sorted(os.listdir(folder))) == ("[config]\nmean_value = [1]\n", ["vora.toml"])
    finally:
        if folder != tmp_path:
            shutil.rmtree(folder)


# A stand-in for the C library's fsync, preloaded: before the new file is
# flushed, another program appends to the file being fixed, or a signal
# comes; both at the one moment a test needs, every time.
# (tests/python/data/fsync_shim.c; VORA_FSYNC_SHIM names one built beforehand,
# for a run where no compiler is reachable.)
SHIM = Path(__file__).parent / "data" / "fsync_shim.c"


@pytest.fixture(scope="module")
def fsync_shim(tmp_path_factory):
    if os.environ.get("VORA_FSYNC_SHIM"):
        return os.environ["VORA_FSYNC_SHIM"]
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the fsync stand-in (VORA_FSYNC_SHIM names a built one)")
    folder = tmp_path_factory.mktemp("shim")
    subprocess.run([compiler, "-shared", "-fPIC", "-o", folder / "shim.so", SHIM, "-ldl"], check=True)
    return str(folder / "shim.so")


def run_with_shim(cli, shim, path, signal_number=None, **settings):
    env = dict(os.environ, **settings)
    env["LD_PRELOAD"] = ":".join(p for p in (os.environ.get("LD_PRELOAD"), shim) if p)
    return subprocess.run([cli, "check", "--fix", "--format=json", str(path)], capture_output=True, env=env,
                          timeout=60, preexec_fn=lambda: signal.signal(signal_number, signal.SIG_DFL) if signal_number else None)


def test_fix_leaves_a_file_written_meanwhile(cli, tmp_path, fsync_shim):
    path = tmp_path / "vora.toml"
    path.write_text("[config]\nmean_value = [1]\n")
    done = run_with_shim(cli, fsync_shim, path, SHIM_APPEND_TO=str(path))
    assert done.returncode == 1
    assert [(f["code"], f["message"]) for f in json.loads(done.stdout)][-1] == (
        "write-error", f"cannot fix {path}: it changed while it was being fixed (left as it is)")
    assert (path.read_text(), os.listdir(tmp_path)) == ("[config]\nmean_value = [1]\nx = 1\n", ["vora.toml"])


@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_fix_removes_its_new_file_when_a_signal_ends_it(cli, tmp_path, fsync_shim, signal_number):
    path = tmp_path / "vora.toml"
    path.write_text("[config]\nmean_value = [1]\n")
    done = run_with_shim(cli, fsync_shim, path, signal_number, SHIM_SIGNAL=str(int(signal_number)))
    assert (done.returncode, done.stdout) == (-signal_number, b"")
    assert (path.read_text(), os.listdir(tmp_path)) == ("[config]\nmean_value = [1]\n", ["vora.toml"])

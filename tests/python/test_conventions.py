"""vora-config check as linters are used: folders walked for the configurations in them, settings files
(vora-config.toml, [tool.vora-config]), --format concise, and the same findings from Python's check()."""

import json
import os
import subprocess

import pytest

import vora_convert_inner
from test_cli import cli  # noqa: F401  (a fixture)
from test_model_reader import TensorProto, graph, tensor

BROKEN = "[config\n"
UNKNOWN_KEY = "a.toml:2:1: error[unknown-key] `optimisation_level` is not a key of [config]; the converter ignores " \
              "it; did you mean `optimization_level`?"
ABOVE = "`optimization_level` = 7 is above the maximum of 3"

# A project's folder: configurations beside another tool's files, and folders the walk never enters (each file
# in them would be an error).
TREE = {
    "a.toml": "[config]\noptimisation_level = 2\n",
    "sub/b.toml": "[config]\noptimization_level = 7\n",
    "sub/deep/broken.toml": BROKEN,  # no TOML: checked, so that its error is seen
    "pyproject.toml": '[project]\nname = "x"\n',
    "Cargo.toml": '[package]\nname = "x"\n[workspace]\n',
    "Cargo.lock": '[[package]]\nname = "x"\n',
    "sub/mixed.toml": "[config]\noptimization_level = 1\n[tool.other]\nx = 1\n",
    "sub/notes.toml": 'title = "notes"\n',
    "sub/typo.toml": "[Load]\nmodel_type = 'Onnx'\n",  # its one section misspelled: a configuration
    **{f"{folder}/c.toml": BROKEN for folder in (".git", ".venv", ".hidden", "build", "node_modules", "__pycache__")},
}


def write(folder, files):
    for name, text in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(text, encoding="utf-8")


def run(cli, cwd, *args):  # noqa: F811
    done = subprocess.run([cli, "check", *args], capture_output=True, text=True, cwd=cwd, timeout=120)
    return done.returncode, done.stdout.splitlines(), done.stderr.splitlines()


def summary(files, errors, warnings, skipped=0):
    line = f"{files} file{'s' * (files != 1)} checked: {errors} error{'s' * (errors != 1)}, " \
           f"{warnings} warning{'s' * (warnings != 1)}"
    return line + (f"; {skipped} TOML file{'s' * (skipped != 1)} skipped: not configurations" if skipped else "")


B = f"sub/b.toml:2:22: warning[out-of-range] {ABOVE}"
PARSE = "sub/deep/broken.toml:1:8: error[parse-error] expected `]` to close the header, found a line break"
TYPO = "sub/typo.toml:1:2: error[unknown-section] [Load] is not a section; the converter ignores it; " \
       "did you mean [load]?"


@pytest.mark.parametrize("args, status, out, err", [
    (["."], 1, [UNKNOWN_KEY, B, PARSE, TYPO, summary(4, 3, 1, 4)], []),
    (["-v", "."], 1, [UNKNOWN_KEY, B, PARSE, TYPO, summary(4, 3, 1, 4)],
     [f"vora-config: {name}: skipped: not a configuration"
      for name in ("Cargo.toml", "pyproject.toml", "sub/mixed.toml", "sub/notes.toml")]),
    (["sub"], 1, [B, PARSE, TYPO, summary(3, 2, 1, 2)], []),
    (["sub/"], 1, [B, PARSE, TYPO, summary(3, 2, 1, 2)], []),
    (["--exclude", "deep", "--exclude", "a.*", "--exclude", "sub/t*", "."], 0, [B, summary(1, 0, 1, 4)], []),
    (["--exclude", "sub/*", "."], 1, [UNKNOWN_KEY, summary(1, 1, 0, 2)], []),
    (["--strict", "--exclude", "deep", "--exclude", "typo.toml", "sub"], 1, [B, summary(1, 0, 1, 2)], []),
    # A file named is checked whatever it is; with --force-exclude it is taken as the walk takes it.
    (["pyproject.toml", "sub/notes.toml"], 1, [
        "pyproject.toml:1:2: error[unknown-section] [project] is not a section; the converter ignores it",
        "sub/notes.toml:1:1: error[unknown-key] `title` is not a key at the top level; the converter ignores it",
        summary(2, 2, 0)], []),
    (["--force-exclude", "pyproject.toml", "sub/notes.toml", "a.toml"], 1, [UNKNOWN_KEY, summary(1, 1, 0, 2)], []),
    (["--force-exclude", "--exclude", "a.toml", "a.toml"], 0, [summary(0, 0, 0)], []),
    (["-q", "."], 1, [summary(4, 3, 1, 4)], []),
])
def test_folders_are_walked_for_their_configurations(cli, tmp_path, args, status, out, err):  # noqa: F811
    write(tmp_path, TREE)
    assert run(cli, tmp_path, "--format", "concise", *args) == (status, out, err)


def test_a_link_loop_a_fifo_and_an_unreadable_folder_neither_hang_nor_stop_the_walk(cli, tmp_path):  # noqa: F811
    write(tmp_path, {"a/x.toml": "[config]\noptimisation_level = 2\n", "b/y.toml": "[config]\n"})
    (tmp_path / "a" / "up").symlink_to("..")
    (tmp_path / "a" / "dangling.toml").symlink_to("nowhere.toml")
    os.mkfifo(tmp_path / "a" / "pipe.toml")
    os.mkfifo(tmp_path / "a" / "vora-config.toml")  # no settings file: never opened
    (tmp_path / "a" / "closed").mkdir()
    (tmp_path / "a" / "closed").chmod(0)
    try:
        status, out, _ = run(cli, tmp_path, "--format", "concise", ".")
    finally:
        (tmp_path / "a" / "closed").chmod(0o700)
    closed = [] if os.geteuid() == 0 else ["a/closed: error[read-error] Permission denied (os error 13)"]
    assert (status, out) == (1, closed + [
        "a/x.toml:2:1: error[unknown-key] `optimisation_level` is not a key of [config]; the converter ignores it; "
        "did you mean `optimization_level`?", summary(2, 1 + len(closed), 0)])


# ---- settings -------------------------------------------------------------------------------------------------

WARNED = "[config]\noptimization_level = 7\n"
MISSPELT = "[config]\noptimisation_level = 2\n"
MODEL = '[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\n'


def line(name, rest):
    return f"{name}:{rest}"


W = "2:22: warning[out-of-range] " + ABOVE
K = "2:1: error[unknown-key] `optimisation_level` is not a key of [config]; the converter ignores it; " \
    "did you mean `optimization_level`?"
M = "3:9: error[missing-file] `model` names `m.onnx`, which does not exist"

# (files, arguments, exit status, concise output): each setting and flag.
SETTINGS = [
    ({"w.toml": WARNED, "k.toml": MISSPELT}, [], 1, [line("k.toml", K), line("w.toml", W), summary(2, 1, 1)]),
    ({"vora-config.toml": 'ignore = ["unknown-key"]\n', "w.toml": WARNED, "k.toml": MISSPELT}, [], 0,
     [line("w.toml", W), summary(2, 0, 1, 1)]),
    ({"vora-config.toml": 'select = ["unknown-key"]\n', "w.toml": WARNED, "k.toml": MISSPELT}, [], 1,
     [line("k.toml", K), summary(2, 1, 0, 1)]),
    # Read and syntax errors are never dropped.
    ({"vora-config.toml": 'select = ["out-of-range"]\n', "b.toml": BROKEN}, [], 1,
     ["b.toml:1:8: error[parse-error] expected `]` to close the header, found a line break", summary(1, 1, 0, 1)]),
    ({"vora-config.toml": 'per-file-ignores = {"old/*" = ["unknown-key"], "w.toml" = ["out-of-range"]}\n',
      "k.toml": MISSPELT, "old/k.toml": MISSPELT, "sub/w.toml": WARNED}, [], 1,
     [line("k.toml", K), summary(3, 1, 0, 1)]),
    ({"vora-config.toml": "strict = true\n", "w.toml": WARNED}, [], 1, [line("w.toml", W), summary(1, 0, 1, 1)]),
    ({"vora-config.toml": "strict = false\n", "w.toml": WARNED}, ["--strict"], 1,
     [line("w.toml", W), summary(1, 0, 1, 1)]),
    ({"vora-config.toml": "files = false\n", "m.toml": MODEL}, [], 0, [summary(1, 0, 0, 1)]),
    ({"m.toml": MODEL}, ["--no-files"], 0, [summary(1, 0, 0)]),
    ({"vora-config.toml": 'exclude = ["gen"]\n', "gen/k.toml": MISSPELT, "w.toml": WARNED}, [], 0,
     [line("w.toml", W), summary(1, 0, 1, 1)]),
    # The command line wins: its list in place of the file's.
    ({"vora-config.toml": 'ignore = ["unknown-key"]\n', "w.toml": WARNED, "k.toml": MISSPELT},
     ["--ignore", "out-of-range"], 1, [line("k.toml", K), summary(2, 1, 0, 1)]),
    ({"vora-config.toml": 'select = ["unknown-key"]\n', "w.toml": WARNED, "k.toml": MISSPELT},
     ["--select", "out-of-range,unknown-key"], 1, [line("k.toml", K), line("w.toml", W), summary(2, 1, 1, 1)]),
    ({"vora-config.toml": 'ignore = ["unknown-key"]\n', "k.toml": MISSPELT}, ["--isolated"], 1,
     [line("k.toml", K), summary(1, 1, 0, 1)]),
    ({"cfg/other.toml": 'ignore = ["unknown-key"]\n', "k.toml": MISSPELT, "vora-config.toml": "strict = true\n"},
     ["--config", "cfg/other.toml"], 0, [summary(1, 0, 0, 2)]),
    # pyproject.toml's table; in one folder vora-config.toml wins; a pyproject.toml without the table is passed
    # over; the nearest settings hold, not merged with those above.
    ({"pyproject.toml": '[project]\nname = "x"\n[tool.vora-config]\nignore = ["unknown-key"]\n', "k.toml": MISSPELT},
     [], 0, [summary(1, 0, 0, 1)]),
    ({"pyproject.toml": '[tool.vora-config]\nignore = ["unknown-key"]\n', "vora-config.toml": "strict = true\n",
      "k.toml": MISSPELT}, [], 1, [line("k.toml", K), summary(1, 1, 0, 2)]),
    ({"vora-config.toml": 'ignore = ["unknown-key"]\n', "sub/pyproject.toml": '[project]\nname = "x"\n',
      "sub/k.toml": MISSPELT}, [], 0, [summary(1, 0, 0, 2)]),
    ({"vora-config.toml": 'ignore = ["unknown-key"]\n', "sub/vora-config.toml": 'ignore = ["out-of-range"]\n',
      "sub/k.toml": MISSPELT, "sub/w.toml": WARNED, "k.toml": MISSPELT}, [], 1,
     [line("sub/k.toml", K), summary(3, 1, 0, 2)]),
    # Faults of the settings are findings of the settings file, at their place.
    ({"vora-config.toml": 'ignroe = ["unknown-key"]\nselect = ["out-of-range", "unknown-keys"]\nstrict = "yes"\n'
                          'per-file-ignores = ["x"]\nbase = 1\nexclude = "gen"\n', "w.toml": WARNED}, [], 1, [
        "vora-config.toml:1:1: error[bad-setting] `ignroe` is not a setting of vora-config check; did you mean "
        "`ignore`?",
        "vora-config.toml:2:27: warning[unknown-code] `unknown-keys` is not a code of vora-config check; did you "
        "mean `unknown-key`?",
        "vora-config.toml:3:10: error[bad-setting] `strict` takes true or false",
        "vora-config.toml:4:20: error[bad-setting] `per-file-ignores` takes a table of globs, each with a list of "
        "codes",
        "vora-config.toml:5:8: error[bad-setting] `base` takes \"config\" or a folder",
        "vora-config.toml:6:11: error[bad-setting] `exclude` takes a list of texts",
        line("w.toml", W), summary(1, 5, 2, 1)]),
    # A file that is no TOML is a configuration by its headers: the broken settings are not checked as one.
    ({"pyproject.toml": "[tool.vora-config\n", "w.toml": WARNED}, [], 1, [
        "pyproject.toml:1:18: error[parse-error] expected `]` to close the header, found a line break",
        line("w.toml", W), summary(1, 1, 1, 1)]),
]


@pytest.mark.parametrize("files, args, status, out", SETTINGS)
def test_settings_and_the_flags_that_win_over_them(cli, tmp_path, files, args, status, out):  # noqa: F811
    write(tmp_path, files)
    assert run(cli, tmp_path, "--format", "concise", *args, ".")[:2] == (status, out)


@pytest.mark.parametrize("args, message", [
    (["--select", "unknown-keys", "."],
     "check: --select: 'unknown-keys' is not a code (vora-config rule --all lists them)"),
    (["--ignore=unknown-key,", "."], "check: --ignore: '' is not a code (vora-config rule --all lists them)"),
    ([".", "--ignore"], "--ignore needs a value: codes, comma-separated"),
    (["--config", "nowhere.toml", "."], "check: --config 'nowhere.toml' is not a file"),
    (["--config", ".", "."], "check: --config '.' is not a file"),
    (["--base", "nowhere", "."], "check: --base 'nowhere' is not a folder"),
    (["--format", "brief", "."], "unknown format 'brief': choose text, concise, json, github or sarif"),
])
def test_bad_flags_are_usage_errors(cli, tmp_path, args, message):  # noqa: F811
    status, out, err = run(cli, tmp_path, *args)
    assert (status, out, err[0]) == (2, [], "vora-config: " + message)


def write_model(folder, name):
    (folder / "m.onnx").write_bytes(graph([tensor(name, TensorProto.FLOAT, [1])]).SerializeToString())


@pytest.mark.parametrize("args, settings, out", [
    ([], None, ["one/c.toml:3:9: error[missing-file] `model` names `m.onnx`, which does not exist",
                "two/c.toml:3:9: error[missing-file] `model` names `m.onnx`, which does not exist"]),
    (["--base", "config"], None, []),
    ([], 'base = "config"\n', []),
    ([], 'base = "TMP/one"\n', ["two/c.toml:4:11: error[model-mismatch] `inputs` names `b`, which is no value of "
                               "the model; its inputs are a; did you mean `a`?"]),
    ([], 'base = "one"\n', ["two/c.toml:4:11: error[model-mismatch] `inputs` names `b`, which is no value of the "
                           "model; its inputs are a; did you mean `a`?"]),
    (["--base", "two"], 'base = "one"\n', ["one/c.toml:4:11: error[model-mismatch] `inputs` names `a`, which is "
                                          "no value of the model; its inputs are b; did you mean `b`?"]),
])
def test_base_config_takes_each_files_paths_from_its_folder(cli, tmp_path, args, settings, out):  # noqa: F811
    for folder, name in (("one", "a"), ("two", "b")):
        write(tmp_path, {f"{folder}/c.toml": MODEL + f'inputs = ["{name}"]\n'})
        write_model(tmp_path / folder, name)
    if settings:
        write(tmp_path, {"vora-config.toml": settings.replace("TMP", str(tmp_path))})
    status, shown, _ = run(cli, tmp_path, "--format", "concise", *args, "one", "two")
    assert (status, shown[:-1]) == (int(any("error" in s for s in out)), out)


# ---- --format concise -----------------------------------------------------------------------------------------

def test_concise_is_one_line_per_shown_finding_and_escapes_like_text(cli, tmp_path):  # noqa: F811
    write(tmp_path, {"k.toml": MISSPELT + "optimisation_lvl = 2  # vora-config: ignore\n"})
    status, out, _ = run(cli, tmp_path, "--format", "concise", "k.toml", "gone\x1b[2J.toml")
    assert (status, out) == (1, [line("k.toml", K), "gone\\u{1b}[2J.toml: error[read-error] No such file or directory "
                                 "(os error 2)", summary(2, 2, 0) + ", 1 silenced"])


# ---- Python's check() -----------------------------------------------------------------------------------------

PYTHON_CASES = {
    "k.toml": MISSPELT + "optimisation_lvl = 2  # vora-config: ignore\n",
    "w.toml": WARNED,
    "b.toml": BROKEN,
    "m/c.toml": MODEL + 'inputs = ["b"]\n',
    "m/gone.toml": MODEL.replace("m.onnx", "gone.onnx"),
    "[Load].toml": '[Load]\nmodel_type = "onnx"\n',
    "vora-config.toml": 'ignore = ["unknown-key"]\n',  # read by vora-config check, not by check()
}


@pytest.mark.parametrize("name, kwargs, args", [
    ("k.toml", {}, []),
    ("w.toml", {}, []),
    ("b.toml", {}, []),
    ("[Load].toml", {}, []),
    ("nowhere.toml", {}, []),
    ("m/c.toml", {}, []),
    ("m/c.toml", {"base": "m"}, ["--base", "m"]),
    ("m/gone.toml", {"files": False}, ["--no-files"]),
    ("m/gone.toml", {"files": True, "base": None}, []),
])
def test_check_from_python_gives_the_findings_of_the_json_format(cli, tmp_path, monkeypatch, name, kwargs,
                                                                 args):  # noqa: F811
    write(tmp_path, PYTHON_CASES)
    write_model(tmp_path / "m", "a")
    monkeypatch.chdir(tmp_path)
    done = subprocess.run([cli, "check", "--isolated", "--format", "json", *args, name], capture_output=True,
                          text=True, timeout=60)
    assert vora_convert_inner.check(name, **kwargs) == json.loads(done.stdout)


def test_check_from_python_reads_a_file_only(tmp_path):
    assert vora_convert_inner.check(str(tmp_path)) == [{
        "file": str(tmp_path), "line": None, "column": None, "end_line": None, "end_column": None,
        "severity": "error", "code": "read-error", "message": "Is a directory (os error 21)", "suggestion": None,
        "related": [], "help": None}]


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "check() missing 1 required argument: 'path'"),
    ((b"c.toml",), {}, "check(): argument 'path' must be a str"),
    (("a", "b"), {}, "check() takes 1 positional argument but 2 were given"),
    (("c.toml",), {"files": 1}, "check(): argument 'files' must be a bool"),
    (("c.toml",), {"base": b"."}, "check(): argument 'base' must be a str or None"),
    (("c.toml",), {"strict": True}, "check() got an unexpected keyword argument 'strict'"),
    (("c.toml",), {"path": "c.toml"}, "check() got multiple values for argument 'path'"),
])
def test_check_refuses_bad_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        vora_convert_inner.check(*args, **kwargs)
    assert str(raised.value) == message

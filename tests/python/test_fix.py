"""vora-config check --fix and --diff: which keys are renamed, byte for byte, and how the file is replaced."""

import difflib
import json
import os

import pytest

from test_cli import cli, run  # noqa: F401 (cli: the program under test, a fixture)

FIXES = [
    # (file, fixed file, remaining findings: (line, column, code, suggestion))
    ("[config]\nOptimization_Level = 2\n", "[config]\noptimization_level = 2\n", []),
    ("[config]\nmean_value = [1] # kept\n\n\n\n\n\n\n\n[load]\nmodel_type = 'Onnx'\nmodle = 'm'\n",
     "[config]\nmean_values = [1] # kept\n\n\n\n\n\n\n\n[load]\nmodel_type = 'Onnx'\nmodel = 'm'\n", []),
    ("[config]\n'Mean_Values' = [1]\n\"std value\" = [2]\n", "[config]\nmean_values = [1]\nstd_values = [2]\n", []),
    ("[config]\nmed_values = [1]\n", None, [(2, 1, "unknown-key", "mean_values")]),  # as near to std_values
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
    ("[Config]\n[Config.x]\n", None, [(1, 2, "unknown-section", "config")]),
    ("[Config]\na.b = 1\n[Config.a.c]\n", None, [(1, 2, "unknown-section", "config")]),
    ("[[Config]]\n", None, [(1, 3, "unknown-section", "config")]),
    ("[config]\nmean_value.a = 1\n", None, [(2, 1, "unknown-key", "mean_values")]),
]


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
    assert (done.returncode, done.stdout.decode()) == (int(before != after or "error" in str(remaining)), expected)
    assert path.read_bytes() == before.encode()
    for _ in range(2):  # the second run finds nothing more to do
        assert findings(run(cli, "check", "--fix", "--format", "json", str(path))) == remaining
        assert path.read_bytes() == after.encode()


def test_fix_replaces_the_link_target_whole_and_keeps_its_mode(cli, tmp_path):
    target = tmp_path / "real" / "vora.toml"
    target.parent.mkdir()
    target.write_text("[config]\nmean_value = [1]\n")
    target.chmod(0o640)
    link = tmp_path / "link.toml"
    link.symlink_to(target)
    inode = target.stat().st_ino
    done = run(cli, "check", "--fix", str(link))
    assert (done.returncode, done.stdout, done.stderr) == (0, b"1 file checked: 0 errors, 0 warnings\n",
                                                               f"vora-config: {link}: renamed 1 key\n".encode())
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_text() == "[config]\nmean_values = [1]\n"
    assert (target.stat().st_mode & 0o777, target.stat().st_ino != inode) == (0o640, True)
    assert sorted(p.name for p in target.parent.iterdir()) == ["vora.toml"]


def test_fix_of_standard_input_prints_the_fixed_text(cli):
    done = run(cli, "check", "--fix", "--format", "github", "-", stdin=b"[config]\nMEAN_VALUES = [1]\nx = 1\n")
    assert (done.returncode, done.stdout) == (0, b"[config]\nmean_values = [1]\nx = 1\n")
    assert done.stderr == (b"vora-config: <stdin>: renamed 1 key\n"
                           b"::warning file=<stdin>,line=3,col=1,endLine=3,endColumn=2,"
                           b"title=vora-config unknown-key::unknown key `x` in [config]\n")

"""vora-config rule: every code's text from the one table of codes, its example found by check and
its fix made by --fix."""

import json
import re
import subprocess

import pytest

from test_cli import cli, sarif_log  # noqa: F401  (cli: a fixture)
from test_model_reader import TensorProto, graph, tensor
from test_readme import README


def rules(cli):  # noqa: F811
    done = subprocess.run([cli, "rule", "--all", "--format", "json"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_rule_all_agrees_with_the_readme_and_the_sarif_rules(cli, tmp_path):  # noqa: F811
    table = rules(cli)
    rows = re.findall(r"^\| `([a-z-]+)` \| ([^|]+) \| ([^|]+) \|$", README.read_text(encoding="utf-8"), re.M)
    assert [(r["code"], r["severity"], r["description"][0].lower() + r["description"][1:]) for r in table] == [
        (code, severity.strip(), text.strip()) for code, severity, text in rows]
    (tmp_path / "c.toml").write_text("")
    sarif = subprocess.run([cli, "check", "--format", "sarif", "c.toml"], capture_output=True, text=True,
                           cwd=tmp_path, timeout=60).stdout
    sarif_rules = sarif_log(sarif)["runs"][0]["tool"]["driver"]["rules"]
    assert [(r["id"], r["shortDescription"]["text"], r["fullDescription"]["text"]) for r in sarif_rules] \
        == [(r["code"], r["description"], r["explanation"]) for r in table]
    # Each rule's help is what `rule CODE` prints, and in Markdown its example and what to write instead.
    for rule, code in zip(sarif_rules, table):
        shown = subprocess.run([cli, "rule", code["code"]], capture_output=True, text=True, timeout=60).stdout
        assert rule["help"]["text"] == shown
        blocks = re.findall(r"```toml\n(.*?)\n```", rule["help"]["markdown"], re.S)
        assert blocks == ([code["example"], code["instead"]] if code["example"] else []), code["code"]
        assert rule["help"]["markdown"].endswith(f"`--fix`: {code['fix'] or 'does not fix it'}\n")
    listed = subprocess.run([cli, "rule", "--all"], capture_output=True, text=True, timeout=60).stdout.splitlines()
    assert [line.split()[0] for line in listed] == [r["code"] for r in table]


def files_for(code, folder):
    """What an example of `code` needs beside it to show the code with the file checks on."""
    if code in ("model-mismatch", "missing-section"):
        (folder / "model.onnx").write_bytes(graph([tensor("images", TensorProto.FLOAT, [1])]).SerializeToString())
    elif code == "not-a-model":
        (folder / "net.vora").write_bytes(b"VORA")
    elif code == "bad-array-file":
        (folder / "init.txt").write_text("1 2 3\n")
    elif code == "backslash-path":
        (folder / "models").mkdir()
        (folder / "models" / "net.onnx").write_bytes(graph([tensor("images", TensorProto.FLOAT, [1])]).SerializeToString())


def test_each_example_has_its_code_and_its_fix_gives_what_to_write_instead(cli, tmp_path):  # noqa: F811
    examples = [r for r in rules(cli) if r["example"]]
    assert len(examples) >= 14
    for n, rule in enumerate(examples):
        folder = tmp_path / str(n)
        folder.mkdir()
        files_for(rule["code"], folder)
        (folder / "c.toml").write_text(rule["example"] + "\n", encoding="utf-8")
        done = subprocess.run([cli, "check", "--format", "json", "c.toml"], capture_output=True, text=True,
                              cwd=folder, timeout=60)
        assert rule["code"] in [f["code"] for f in json.loads(done.stdout)], (rule["code"], done.stdout)
        fixed = subprocess.run([cli, "check", "--fix", "-"], input=rule["example"] + "\n", capture_output=True,
                               text=True, cwd=folder, timeout=60).stdout
        assert (fixed == rule["instead"] + "\n") == (rule["fix"] is not None), (rule["code"], fixed)


@pytest.mark.parametrize("args, stderr", [
    (["rule"], "vora-config: rule takes one CODE, or --all\n"),
    (["rule", "unknown-key", "--all"], "vora-config: rule takes one CODE, or --all\n"),
    (["rule", "unknown-keys"], "vora-config: rule: 'unknown-keys' is no code of vora-config check; "
                               "did you mean 'unknown-key'?\n"),
    (["rule", "--format", "sarif", "--all"], "vora-config: rule: --format is text or json\n"),
])
def test_rule_refusals(cli, args, stderr):  # noqa: F811
    done = subprocess.run([cli, *args], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr.splitlines(keepends=True)[0]) == (2, "", stderr)

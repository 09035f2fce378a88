"""The editor side: vora-config init, the schema in a TOML language server (tombi lsp), the pre-commit hook."""

import json
import os
import re
import select
import shutil
import subprocess
import sys

import pytest

from conftest import REPO, write_example_files
from test_cli import EXAMPLE, SCHEMA_FILE, cli, run, tool  # noqa: F401 (cli: a fixture)

SECTIONS = json.loads(SCHEMA_FILE.read_text(encoding="utf-8"))["properties"]


def lines(text):
    """(line, its section, the key it sets: None on a header, "" elsewhere), commented out or not."""
    section = None
    for line in text.splitlines():
        header, key = re.fullmatch(r"(?:# )?\[(\w+)\]", line), re.match(r"(?:# )?(\w+) = ", line)
        section = header.group(1) if header else section
        yield line, section, None if header else key.group(1) if key else ""


def uncommented(text, keep):
    return "".join((line[2:] if key != "" and keep(s, key) else line) + "\n" for line, s, key in lines(text))


def test_init_writes_a_file_that_checks_clean_and_each_key_uncommented_loads(cli, tmp_path):
    text, out = run(cli, "init").stdout.decode(), tmp_path / "convert.toml"
    assert text.startswith("#:schema ./vora-config.schema.json\n")
    assert sorted((s, k) for _, s, k in lines(text) if k) == \
        sorted((s, k) for s in SECTIONS for k in SECTIONS[s]["properties"])
    done = run(cli, "init", "--output", str(out))
    assert done.stdout.decode() == f"wrote {out}\nwrote {tmp_path}/vora-config.schema.json\n"
    assert (out.read_text(), (tmp_path / "vora-config.schema.json").read_text()) == (text, SCHEMA_FILE.read_text())
    (tmp_path / "empty.toml").write_text("")
    assert run(cli, "check", "--strict", str(out)).returncode == 0
    assert run(cli, "explain", str(out)).stdout == run(cli, "explain", str(tmp_path / "empty.toml")).stdout
    # Never over an existing file; an existing schema beside it stays as it is.
    (tmp_path / "vora-config.schema.json").write_text("mine")
    done = run(cli, "init", "--output", str(tmp_path / "empty.toml"))
    assert (done.returncode, done.stderr.decode()) == \
        (1, f"vora-config: {tmp_path}/empty.toml: already exists; init does not overwrite a file\n")
    assert run(cli, "init", f"--output={tmp_path}/new.toml").stdout.decode() == f"wrote {tmp_path}/new.toml\n"
    assert ((tmp_path / "empty.toml").read_text(), (tmp_path / "vora-config.schema.json").read_text()) == ("", "mine")
    # Each key alone under its uncommented header (with [load]'s tag) loads and checks without a finding:
    # no key shows an empty text or list, which the converter would receive as such.
    for n, (_, section, key) in enumerate((x for x in lines(text) if x[2])):
        alone = uncommented(text, lambda s, k: s == section and k in (None, key, "model_type"))
        (tmp_path / f"{n}.toml").write_text(alone)
    done = run(cli, "check", "--strict", "--no-files", "--format", "json", *map(str, tmp_path.glob("[0-9]*.toml")))
    assert (done.returncode, json.loads(done.stdout)) == (0, [])


def test_the_whole_template_uncommented_reaches_the_converter_as_its_example_values(cli, tmp_path, calls):
    import numpy as np
    from vora_convert_inner import rust_convert

    text = run(cli, "init").stdout.decode()
    assert "Run `vora-config check`\n# on the file before converting with it." in text
    (tmp_path / "convert.toml").write_text(uncommented(text, lambda s, k: True))
    done = run(cli, "check", "--strict", "--no-files", "--format", "json", str(tmp_path / "convert.toml"))
    assert (done.returncode, json.loads(done.stdout)) == (0, [])
    initial = np.arange(6, dtype=np.float32).reshape(1, 6)
    np.save(tmp_path / "input_initial_val.npy", initial)
    rust_convert(str(tmp_path / "convert.toml"))
    made = {method: (args, dict(kwargs)) for method, args, kwargs in calls()}
    f32 = lambda *values: [float(np.float32(v)) for v in values]  # noqa: E731
    np.testing.assert_array_equal(made["load_onnx"][1].pop("input_initial_val"), [initial])
    assert made == {
        "config": ((), {"mean_values": f32(123.675, 116.28, 103.53), "std_values": f32(58.395, 57.12, 57.375),
                        "quantized_dtype": "asymmetric_quantized-8", "quantized_algorithm": "normal",
                        "quantized_method": "channel", "target_platform": "vora-s1", "quant_img_RGB2BGR": False,
                        "float_dtype": "float16", "optimization_level": 3,
                        "custom_string": "converted by vora-config", "remove_weight": False,
                        "compress_weight": False, "inputs_yuv_fmt": "nv12", "single_core_mode": False}),
        "load_onnx": (("model.onnx",), {"inputs": ["input0"], "outputs": ["output0"],
                                        "input_size_list": [[1, 3, 224, 224]]}),
        "build": ((), {"do_quantization": True, "dataset": "dataset.txt", "vora_batch_size": 1,
                       "auto_hybrid": False}),
        "accuracy_analysis": ((), {"inputs": ["image.jpg"], "output_dir": "snapshot", "target": "vora-m1",
                                   "device_id": "0"}),
        "export_vora": (("model.vora",), {}),
    }


class Lsp:
    """A language server on standard input and output; its own requests are answered with null."""

    def __init__(self, command, cwd):
        self.process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.buffer, self.last = b"", 0

    def send(self, **message):
        body = json.dumps({"jsonrpc": "2.0", **message}).encode()
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        self.process.stdin.flush()

    def request(self, method, params):
        self.last += 1
        self.send(id=self.last, method=method, params=params)
        while True:
            head, sep, rest = self.buffer.partition(b"\r\n\r\n")
            length = int(re.search(rb"Content-Length: (\d+)", head).group(1)) if sep else len(rest) + 1
            if length > len(rest):
                assert select.select([self.process.stdout], [], [], 60)[0], f"no answer to {method}"
                self.buffer += os.read(self.process.stdout.fileno(), 1 << 16)
            else:
                self.buffer, message = rest[length:], json.loads(rest[:length])
                if "method" in message and "id" in message:
                    self.send(id=message["id"], result=None)
                elif message.get("id") == self.last:
                    return message["result"]

    def open(self, path, text):
        """Opens a document; returns it and its diagnostics (asked for first: they wait for the document)."""
        document = {"uri": path.as_uri()}
        opened = {**document, "languageId": "toml", "version": 1, "text": text}
        self.send(method="textDocument/didOpen", params={"textDocument": opened})
        return document, self.request("textDocument/diagnostic", {"textDocument": document})["items"]

    def at(self, method, document, line, character):
        return self.request(method, {"textDocument": document, "position": {"line": line, "character": character}})


@pytest.fixture(scope="module")
def tombi(tmp_path_factory):
    if sys.version_info < (3, 10) and not shutil.which("tombi"):
        pytest.skip("tombi installs on Python 3.10 and later only")
    folder = tmp_path_factory.mktemp("tombi")
    shutil.copy(SCHEMA_FILE, folder)
    server = Lsp([tool("tombi"), "lsp", "--offline"], folder)
    server.request("initialize", {"processId": os.getpid(), "rootUri": folder.as_uri(), "capabilities": {}})
    server.send(method="initialized", params={})
    yield server, folder
    server.process.kill()
    server.process.wait()


def test_tombi_shows_each_keys_description_and_completes_each_sections_keys(cli, tombi):
    (server, folder), text = tombi, run(cli, "init").stdout.decode()
    full, headers = uncommented(text, lambda s, k: True), uncommented(text, lambda s, k: k is None)
    document, _ = server.open(folder / "full.toml", full)
    for n, (_, section, key) in enumerate(lines(full)):
        if key:
            hover = server.at("textDocument/hover", document, n, 1)
            assert SECTIONS[section]["properties"][key].get("description", "") in hover["contents"]["value"], key
    document, _ = server.open(folder / "headers.toml", headers)
    for n, (_, section, key) in enumerate(lines(headers)):
        if key is None:  # a header, an empty line below it
            items = server.at("textDocument/completion", document, n + 1, 0)
            assert {item["label"].split(" = ")[0] for item in items} == set(SECTIONS[section]["properties"]), section


@pytest.mark.parametrize("text, marked", [
    (EXAMPLE.read_text(encoding="utf-8"), []),
    ("#:schema ./vora-config.schema.json\n[config]\noptimisation_level = 2\n", [2]),
    ("#:schema ./vora-config.schema.json\n[load]\nmodel_type = 'Onnx'\nmodel = 1\n[extra]\n", [3, 4]),
])
def test_tombi_marks_misspelled_keys_and_mistyped_values_and_not_the_example(tombi, text, marked):
    _, found = tombi[0].open(tombi[1] / f"diagnosed{len(text)}.toml", text)
    assert sorted(d["range"]["start"]["line"] for d in found if d.get("severity", 1) <= 2) == marked, found


@pytest.fixture(scope="session")
def pre_commit():
    """A scratch repository using the hook of a snapshot of this one, plain and with --strict. The hook's
    environment (a source build of this project) stays in build/ for the next run of the same snapshot."""
    if not any(map(shutil.which, ("c++", "g++", "clang++"))):
        pytest.skip("pre-commit builds the hook's vora-config from source, and there is no C++ compiler")
    root = REPO / "build" / ("pre-commit-py%d.%d" % sys.version_info[:2])
    source, work = root / "source", root / "work"
    for folder in (source, work):
        shutil.rmtree(folder, ignore_errors=True)
    # Fixed dates: the same snapshot is the same revision, whose environment pre-commit keeps.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    env.update(PRE_COMMIT_HOME=str(root / "home"), GIT_AUTHOR_DATE="2000-01-01T00:00:00Z",
               GIT_COMMITTER_DATE="2000-01-01T00:00:00Z")

    def git(cwd, *args):
        identity = ["-c", "user.name=v", "-c", "user.email=v@localhost", "-c", "commit.gpgsign=false"]
        return subprocess.run(["git", *identity, *args], cwd=cwd, env=env, capture_output=True, text=True,
                              check=True).stdout.strip()

    def commit(folder):
        for args in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "snapshot"]):
            git(folder, *args)
        return git(folder, "rev-parse", "HEAD")

    for name in filter(None, git(REPO, "ls-files", "-z", "-co", "--exclude-standard").split("\0")):
        if (REPO / name).is_file():
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(REPO / name, source / name)

    work.mkdir()
    (work / ".pre-commit-config.yaml").write_text(f"repos:\n- repo: {source}\n  rev: {commit(source)}\n  hooks:\n"
                                                  "  - {id: vora-config-check, alias: plain}\n"
                                                  "  - {id: vora-config-check, alias: strict, args: [--strict]}\n")
    write_example_files(work)  # what the example names: it checks clean with its files
    commit(work)
    for command in ("gc", "install-hooks"):
        done = subprocess.run([tool("pre-commit"), command], cwd=work, env=env, capture_output=True, text=True,
                              timeout=1800)
        assert done.returncode == 0, done.stdout + done.stderr
    return work, env


@pytest.mark.parametrize("name, text, hook, status, shown", [
    ("convert.toml", "[config]\noptimization_level = 300\n", "plain", 1, "invalid value: integer `300`, expected u8"),
    ("convert.toml", EXAMPLE.read_text(encoding="utf-8"), "plain", 0, "vora-config check....Passed"),
    ("convert.toml", "[config]\noptimisation_level = 2\n", "plain", 1, "`optimisation_level` is not a key of [config]"),
    ("convert.toml", "[Load]\nmodel_type = 'Onnx'\nmodle = 'm.onnx'\n", "plain", 1, "[Load] is not a section"),
    ("convert.toml", "[config]\noptimization_level = 7\n", "plain", 0, "vora-config check....Passed"),
    ("convert.toml", "[config]\noptimization_level = 7\n", "strict", 1, "is above the maximum of 3"),
    ("convert.toml", "[config]\noptimisation_level = 2\n", "strict", 1, "`optimisation_level` is not a key of [config]; the converter ignores it"),
    # The files of two field reports: misspelled names, and a drive path whose backslashes make escapes.
    ("convert.toml", "[Load]\nmodel_type = 'Onnx'\nmodle = 'resnet.onnx'\n[config]\noptimisation_level = 3\n"
     "[export]\nexport_pth = 'resnet.vora'\n", "plain", 1, "`export_pth` is not a key of [export]"),
    ("convert.toml", '[export]\nexport_path = "D:\\exports\\build\\resnet.vora"\n', "plain", 1,
     "make control characters in `export_path`"),
    ("notes.txt", "optimization_level = 300\n", "plain", 0, "(no files to check)Skipped"),
])
def test_pre_commit_hook_fails_what_does_not_load_and_with_strict_what_warns(pre_commit, name, text, hook, status,
                                                                             shown):
    (work, env), path = pre_commit, pre_commit[0] / name
    path.write_text(text, encoding="utf-8")
    done = subprocess.run([tool("pre-commit"), "run", hook, "--files", name], cwd=work, env=env,
                          capture_output=True, text=True, timeout=600)
    path.unlink()
    assert (done.returncode, shown in re.sub(r"\.{4,}", "....", done.stdout)) == (status, True), done.stdout


@pytest.fixture(scope="session")
def system_hooks(cli, tmp_path_factory):
    """A scratch repository whose hooks run the vora-config already installed (`language: system`): this
    repository's `vora-config-check-system` and a `repo: local` hook, both with --strict. pre-commit builds
    nothing: the hooks run the vora-config under test, first on PATH (scripts/test-wheels.sh runs this with no
    compiler reachable)."""
    folder = tmp_path_factory.mktemp("system-hooks")
    source, work, bin_dir = folder / "source", folder / "work", folder / "bin"
    for made in (source, work, bin_dir):
        made.mkdir()
    (bin_dir / "vora-config").symlink_to(cli)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH", "PYTHONHOME")}
    env.update(PATH=os.pathsep.join([str(bin_dir), env.get("PATH", os.defpath)]), PRE_COMMIT_HOME=str(folder / "home"))

    def git(cwd, *args):
        identity = ["-c", "user.name=v", "-c", "user.email=v@localhost", "-c", "commit.gpgsign=false"]
        return subprocess.run(["git", *identity, *args], cwd=cwd, env=env, capture_output=True, text=True,
                              check=True).stdout.strip()

    shutil.copy2(REPO / ".pre-commit-hooks.yaml", source)
    for repository in (source, work):
        git(repository, "init", "-q")
        if repository == work:
            (work / ".pre-commit-config.yaml").write_text(
                f"repos:\n- repo: {source}\n  rev: {git(source, 'rev-parse', 'HEAD')}\n  hooks:\n"
                "  - id: vora-config-check-system\n    args: [--strict, --no-files]\n"
                "  - {id: vora-config-check-system, alias: settings}\n"
                "- repo: local\n  hooks:\n  - id: vora-config-check\n    name: vora-config check\n"
                "    entry: vora-config check\n    language: system\n    types: [toml]\n    args: [--strict, --no-files]\n")
        git(repository, "add", "-A")
        git(repository, "commit", "-q", "-m", "snapshot")
    return work, env


@pytest.mark.parametrize("hook", ["vora-config-check-system", "vora-config-check"])
@pytest.mark.parametrize("text, status, shown", [
    (EXAMPLE.read_text(encoding="utf-8"), 0, "vora-config check....Passed"),
    ("[config]\noptimisation_level = 2\n", 1, "`optimisation_level` is not a key of [config]; the converter ignores it"),
], ids=["clean", "misspelled"])
def test_system_hook_passes_a_clean_file_and_fails_a_misspelled_key(system_hooks, hook, text, status, shown):
    work, env = system_hooks
    (work / "convert.toml").write_text(text, encoding="utf-8")
    # The example names a model and data this folder does not hold: the hook of no arguments (alias settings)
    # reads none of them by its settings file, as the others by --no-files.
    (work / "vora-config.toml").write_text("files = false\n", encoding="utf-8")
    try:
        done = subprocess.run([tool("pre-commit"), "run", hook, "--files", "convert.toml"], cwd=work, env=env,
                              capture_output=True, text=True, timeout=600)
    finally:
        (work / "convert.toml").unlink()
        (work / "vora-config.toml").unlink()
    assert (done.returncode, shown in re.sub(r"\.{4,}", "....", done.stdout)) == (status, True), done.stdout + done.stderr


@pytest.mark.parametrize("settings, files, status, shown", [
    ("strict = true\nfiles = false\n", {"convert.toml": "[config]\noptimization_level = 7\n"}, 1,
     "convert.toml:2:22: warning[out-of-range]"),
    ("strict = true\nfiles = false\nignore = [\"out-of-range\"]\n",
     {"convert.toml": "[config]\noptimization_level = 7\n"}, 0, "vora-config check....Passed"),
    ("files = false\n", {"convert.toml": "[config]\noptimization_level = 7\n", "Cargo.toml": "[package]\n"}, 0,
     "vora-config check....Passed"),
    ("files = false\nexclude = [\"legacy\"]\n", {"legacy/old.toml": "[config]\noptimisation_level = 2\n",
                                                "convert.toml": EXAMPLE.read_text(encoding="utf-8")}, 0,
     "vora-config check....Passed"),
    ("[tool.vora-config]\nfiles = false\n", {"convert.toml": "[config]\noptimisation_level = 2\n"}, 1,
     "`optimisation_level` is not a key of [config]"),
], ids=["strict", "ignored", "other-tool", "excluded", "pyproject"])
def test_system_hook_takes_its_settings_from_the_settings_file(system_hooks, settings, files, status, shown):
    """The hook with no arguments: the settings file beside the files says what the long argument list did, and
    the other TOML files pre-commit names (pyproject.toml, Cargo.toml) are skipped."""
    work, env = system_hooks
    name = "pyproject.toml" if settings.startswith("[tool") else "vora-config.toml"
    written = {name: settings, **files}
    for path, text in written.items():
        (work / path).parent.mkdir(exist_ok=True)
        (work / path).write_text(text, encoding="utf-8")
    try:
        done = subprocess.run([tool("pre-commit"), "run", "settings", "--files", *written], cwd=work, env=env,
                              capture_output=True, text=True, timeout=600)
    finally:
        for path in written:
            (work / path).unlink()
    assert (done.returncode, shown in re.sub(r"\.{4,}", "....", done.stdout)) == (status, True), done.stdout

"""The editor side: vora-config init, the schema in a TOML language server (tombi lsp), the pre-commit hook."""

import json
import os
import re
import select
import shutil
import subprocess
import sys
import time

import pytest

from conftest import REPO
from test_cli import EXAMPLE, SCHEMA_FILE, cli, run, tool  # noqa: F401 (cli: a fixture)

SECTIONS = json.loads(SCHEMA_FILE.read_text(encoding="utf-8"))["properties"]


def uncommented(text, keep):
    """`text` with the lines `# [section]` and `# key = ...` uncommented where keep(section, key) says so."""
    lines, section = [], None
    for line in text.splitlines():
        header, key = re.fullmatch(r"# \[(\w+)\]", line), re.match(r"# (\w+) = ", line)
        section = header.group(1) if header else section
        lines.append(line[2:] if header and keep(section, None) or key and keep(section, key.group(1)) else line)
    return "\n".join(lines) + "\n"


def keys(text):
    """(line index, section, key) of each key line, commented out or not, under its section's header."""
    section = None
    for n, line in enumerate(text.splitlines()):
        header, key = re.fullmatch(r"(?:# )?\[(\w+)\]", line), re.match(r"(?:# )?(\w+) = ", line)
        section = header.group(1) if header else section
        if key:
            yield n, section, key.group(1)


def test_init_writes_a_file_that_checks_clean_and_each_key_uncommented_loads(cli, tmp_path):
    text = run(cli, "init").stdout.decode()
    assert text.startswith("#:schema ./vora-config.schema.json\n")
    assert sorted((s, k) for _, s, k in keys(text)) == sorted((s, k) for s, v in SECTIONS.items() for k in v["properties"])
    done = run(cli, "init", "--output", str(tmp_path / "convert.toml"))
    assert (done.returncode, done.stdout.decode()) == (0, f"wrote {tmp_path}/convert.toml\nwrote {tmp_path}/vora-config.schema.json\n")
    assert (tmp_path / "convert.toml").read_text() == text
    assert (tmp_path / "vora-config.schema.json").read_text() == SCHEMA_FILE.read_text()
    assert run(cli, "check", "--strict", str(tmp_path / "convert.toml")).returncode == 0
    (tmp_path / "empty.toml").write_text("")
    assert run(cli, "explain", str(tmp_path / "convert.toml")).stdout == run(cli, "explain", str(tmp_path / "empty.toml")).stdout
    # An existing file is never overwritten; an existing schema beside it is left as it is.
    (tmp_path / "vora-config.schema.json").write_text("mine")
    done = run(cli, "init", "--output", str(tmp_path / "empty.toml"))
    assert (done.returncode, done.stderr.decode()) == (1, f"vora-config: {tmp_path}/empty.toml: already exists; init does not overwrite a file\n")
    assert run(cli, "init", "--output", str(tmp_path / "other.toml")).stdout.decode() == f"wrote {tmp_path}/other.toml\n"
    assert (tmp_path / "empty.toml").read_text() == "" and (tmp_path / "vora-config.schema.json").read_text() == "mine"
    # Each key alone under its uncommented header (with [load]'s tag) loads and checks clean.
    paths = []
    for _, section, key in keys(text):
        paths.append(tmp_path / f"{section}.{key}.toml")
        paths[-1].write_text(uncommented(text, lambda s, k: s == section and k in (None, key, "model_type")))
    done = run(cli, "check", "--strict", "--format", "json", *map(str, paths))
    assert (done.returncode, json.loads(done.stdout)) == (0, [])


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
        deadline = time.monotonic() + 60
        while True:
            head, sep, rest = self.buffer.partition(b"\r\n\r\n")
            length = int(re.search(rb"Content-Length: (\d+)", head).group(1)) if sep else len(rest) + 1
            if length > len(rest):
                assert select.select([self.process.stdout], [], [], deadline - time.monotonic())[0], method
                self.buffer += os.read(self.process.stdout.fileno(), 1 << 16)
                continue
            self.buffer, message = rest[length:], json.loads(rest[:length])
            if "method" in message and "id" in message:
                self.send(id=message["id"], result=None)
            elif message.get("id") == self.last:
                return message["result"]

    def open(self, path, text):
        """Opens a document; returns it and its diagnostics (asked for before anything else of it)."""
        document = {"uri": path.as_uri(), "languageId": "toml", "version": 1, "text": text}
        self.send(method="textDocument/didOpen", params={"textDocument": document})
        document = {"uri": document["uri"]}
        return document, self.request("textDocument/diagnostic", {"textDocument": document})["items"]


@pytest.fixture(scope="module")
def tombi(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tombi")
    shutil.copy(SCHEMA_FILE, folder)
    server = Lsp([tool("tombi"), "lsp", "--offline"], folder)
    server.request("initialize", {"processId": os.getpid(), "rootUri": folder.as_uri(), "capabilities": {}})
    server.send(method="initialized", params={})
    yield server, folder
    server.process.kill()
    server.process.wait()


def test_tombi_shows_each_keys_description_and_completes_each_sections_keys(cli, tombi):
    server, folder = tombi
    text = run(cli, "init").stdout.decode()
    full = uncommented(text, lambda s, k: True)
    document, _ = server.open(folder / "full.toml", full)
    for line, section, key in keys(full):
        hover = server.request("textDocument/hover", {"textDocument": document, "position": {"line": line, "character": 1}})
        assert SECTIONS[section]["properties"][key].get("description", "") in hover["contents"]["value"], key
    headers = uncommented(text, lambda s, k: k is None)
    document, _ = server.open(folder / "headers.toml", headers)
    for line, header in enumerate(headers.splitlines()):
        if header.startswith("["):  # followed by an empty line
            items = server.request("textDocument/completion", {"textDocument": document, "position": {"line": line + 1, "character": 0}})
            labels = {item["label"].split(" = ")[0] for item in (items["items"] if isinstance(items, dict) else items)}
            assert labels == set(SECTIONS[header[1:-1]]["properties"]), header


@pytest.mark.parametrize("text, lines", [
    (EXAMPLE.read_text(encoding="utf-8"), []),
    ("#:schema ./vora-config.schema.json\n[config]\noptimisation_level = 2\n", [2]),
    ("#:schema ./vora-config.schema.json\n[load]\nmodel_type = 'Onnx'\nmodel = 1\n[extra]\n", [3, 4]),
])
def test_tombi_marks_misspelled_keys_and_mistyped_values_and_not_the_example(tombi, text, lines):
    server, folder = tombi
    _, found = server.open(folder / f"diagnosed{len(text)}.toml", text)
    assert sorted(d["range"]["start"]["line"] for d in found if d.get("severity", 1) <= 2) == lines, found


@pytest.fixture(scope="session")
def pre_commit():
    """A scratch repository using the hook of a snapshot of this one, plain and with --strict. The hook's
    environment (a source build of this project) is kept in build/ for the next run of the same snapshot."""
    if not any(map(shutil.which, ("c++", "g++", "clang++"))):
        pytest.skip("pre-commit builds the hook's vora-config from source, and there is no C++ compiler")
    root = REPO / "build" / ("pre-commit-py%d.%d" % sys.version_info[:2])
    source, work = root / "source", root / "work"
    shutil.rmtree(source, ignore_errors=True)
    shutil.rmtree(work, ignore_errors=True)
    listed = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], cwd=REPO, capture_output=True, check=True)
    for name in map(os.fsdecode, filter(None, listed.stdout.split(b"\0"))):
        if (REPO / name).is_file():
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(REPO / name, source / name)
    # Fixed commit dates: the same snapshot is the same revision, whose hook environment pre-commit keeps.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    env.update(PRE_COMMIT_HOME=str(root / "home"), GIT_AUTHOR_DATE="2000-01-01T00:00:00Z", GIT_COMMITTER_DATE="2000-01-01T00:00:00Z")

    def commit(folder):
        git = ["git", "-c", "user.name=vora", "-c", "user.email=vora@localhost", "-c", "commit.gpgsign=false"]
        for command in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "snapshot"]):
            subprocess.run([*git, *command], cwd=folder, env=env, check=True)
        return subprocess.run(["git", "rev-parse", "HEAD"], cwd=folder, capture_output=True, text=True, check=True).stdout.strip()

    work.mkdir()
    (work / ".pre-commit-config.yaml").write_text(f"repos:\n- repo: {source}\n  rev: {commit(source)}\n  hooks:\n"
                                                  "  - {id: vora-config-check, alias: plain}\n"
                                                  "  - {id: vora-config-check, alias: strict, args: [--strict]}\n")
    commit(work)
    for command in ("gc", "install-hooks"):
        done = subprocess.run([tool("pre-commit"), command], cwd=work, env=env, capture_output=True, text=True, timeout=1800)
        assert done.returncode == 0, done.stdout + done.stderr
    return work, env


@pytest.mark.parametrize("name, text, hook, status, shown", [
    ("convert.toml", "[config]\noptimization_level = 300\n", "plain", 1, "invalid value: integer `300`, expected u8"),
    ("convert.toml", EXAMPLE.read_text(encoding="utf-8"), "plain", 0, "vora-config check....Passed"),
    ("convert.toml", "[config]\noptimisation_level = 2\n", "plain", 0, "vora-config check....Passed"),
    ("convert.toml", "[config]\noptimisation_level = 2\n", "strict", 1, "unknown key `optimisation_level` in [config]"),
    ("notes.txt", "optimization_level = 300\n", "plain", 0, "(no files to check)Skipped"),
])
def test_pre_commit_hook_fails_what_does_not_load_and_with_strict_what_warns(pre_commit, name, text, hook, status, shown):
    work, env = pre_commit
    (work / name).write_text(text, encoding="utf-8")
    done = subprocess.run([tool("pre-commit"), "run", hook, "--files", name], cwd=work, env=env, capture_output=True, text=True, timeout=600)
    assert (done.returncode, shown in re.sub(r"\.{4,}", "....", done.stdout)) == (status, True), done.stdout + done.stderr

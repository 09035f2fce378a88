"""The levels of src/ that ARCHITECTURE.md writes down: no file includes a folder its level may not use."""

import re

from conftest import REPO

SRC = REPO / "src"


def levels():
    """folder (or module.cpp) -> the folders it may use, from ARCHITECTURE.md's table of levels."""
    text = (REPO / "ARCHITECTURE.md").read_text(encoding="utf-8")
    table = text[text.index("## Levels"):]
    rows = re.findall(r"^\| \d+ \| `([a-z_.]+)/?` [^|]*\| ([^|]+) \|$", table, re.M)
    return {folder: set(re.findall(r"`([a-z_]+)/`", uses)) for folder, uses in rows}


def test_every_include_keeps_to_the_levels():
    allowed = levels()
    assert {"base", "text", "toml", "io", "configuration", "lint", "cli", "module.cpp"} <= set(allowed)
    crossing = []
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".cpp", ".hpp", ".inc"):
            continue
        relative = path.relative_to(SRC)
        folder = relative.parts[0] if len(relative.parts) > 1 else relative.name
        assert folder in allowed, f"{relative}: its folder has no level in ARCHITECTURE.md"
        for used in re.findall(r'^#include "([a-z_]+)/', path.read_text(encoding="utf-8"), re.M):
            if used != folder and used not in allowed[folder] and used not in ("nlohmann", "puff"):
                crossing.append(f"{relative} includes {used}/")
    assert crossing == []


DECLARATION = {"configuration/structs.hpp", "configuration/fields.hpp"}
# Quoted words of src/ that are a key's name but mean something else, each with its reason.
NOT_KEYS = {
    ("pipeline/arguments.cpp", '"load"'): "numpy.load, the function that reads an initial values file",
    ("cli/check.cpp", '"config"'): "--base config, each file's paths from its own folder",
    ("cli/targets.cpp", '"config"'): "the setting base = \"config\", each file's paths from its own folder",
    ("cli/walk.cpp", '"build"'): "a build folder, left out of the walk",
}


def declared_names():
    """The quoted names of keys, sections and the tag that the declaration gives."""
    text = (SRC / "configuration/structs.hpp").read_text(encoding="utf-8")
    names = set(re.findall(r'\bfield\("([^"]+)"', text))
    names |= set(re.findall(r'\b(?:tag_key|onnx_tag) = "([^"]+)"', text))
    return names


def test_key_names_only_in_the_declaration():
    names = declared_names()
    assert {"load", "export", "model", "inputs", "input_size_list", "model_type", "vora_batch_size"} <= names
    found = []
    for path in sorted(SRC.rglob("*")):
        relative = path.relative_to(SRC).as_posix()
        if path.suffix not in (".cpp", ".hpp", ".inc") or relative in DECLARATION:
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            code = re.sub(r"//.*$", "", line) if not re.search(r'"[^"]*//', line) else line
            for quoted in re.findall(r'"([A-Za-z_][A-Za-z0-9_]*)"', code):
                if quoted in names and (relative, f'"{quoted}"') not in NOT_KEYS:
                    found.append(f"{relative}:{number}: {line.strip()}")
    assert found == []

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

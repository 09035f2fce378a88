"""Writes the single header json.hpp from the multi-header tree of a release.

    python amalgamate.py INCLUDE_DIR > json.hpp

INCLUDE_DIR holds nlohmann/json.hpp. Every `#include <nlohmann/...>` is
replaced by the file it names the first time it appears and dropped after
that (every header of the tree has an include guard); nothing else changes.
"""

import re
import sys
from pathlib import Path

INCLUDE = re.compile(r"^\s*#\s*include\s*<(nlohmann/[^>]+)>")


def amalgamate(root: Path) -> str:
    seen = set()
    out = []

    def inline(name):
        seen.add(name)
        for line in (root / name).read_text(encoding="utf-8").splitlines(keepends=True):
            match = INCLUDE.match(line)
            if not match:
                out.append(line)
            elif match.group(1) not in seen:
                inline(match.group(1))

    inline("nlohmann/json.hpp")
    return "".join(out)


if __name__ == "__main__":
    sys.stdout.write(amalgamate(Path(sys.argv[1])))

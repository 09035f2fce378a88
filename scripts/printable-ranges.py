#!/usr/bin/env python3
"""Writes src/text/unprintable.inc: per Python feature version 3.8 to 3.15, the
code points above U+00FF that its repr() of a str escapes (those its
str.isprintable() rejects: categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs but
the space), as half-open ranges, asked of that very interpreter. Versions whose
interpreters escape the same code points share one table. Below U+0100 every
version escapes the same characters, which the writer knows by itself.

    scripts/printable-ranges.py [--python 3.X=COMMAND]... [--output FILE]

Each version's interpreter is the one given by --python (a command, split on
spaces: "build/sid/run python3.14"), else pyenv's newest 3.X (under
$PYENV_ROOT, else ~/.pyenv), else build/sid/run python3.X when
scripts/sid-python.sh has made it, else python3.X on the PATH. Every version
must be found: the file is written whole or not at all.
"""

import argparse
import glob
import json
import os
import shlex
import shutil
import subprocess
import sys

VERSIONS = [(3, minor) for minor in range(8, 16)]
CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Run by each interpreter: its version, its Unicode data and its ranges.
PROBE = r"""
import json, sys, unicodedata
ranges, start = [], None
for code in range(0x100, sys.maxunicode + 2):
    unprintable = code <= sys.maxunicode and repr(chr(code)) != "'" + chr(code) + "'"
    if unprintable and start is None:
        start = code
    elif not unprintable and start is not None:
        ranges.append((start, code))
        start = None
print(json.dumps({"version": sys.version.split()[0], "unicode": unicodedata.unidata_version, "ranges": ranges}))
"""


def pyenv_python(minor):
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    found = []
    for folder in glob.glob(os.path.join(root, "versions", f"3.{minor}.*")):
        patch = os.path.basename(folder).split(".")[2]
        program = os.path.join(folder, "bin", f"python3.{minor}")
        if patch.isdigit() and os.access(program, os.X_OK):
            found.append((int(patch), program))
    return [max(found)[1]] if found else None


def interpreter(version, given):
    """The command that runs the interpreter of `version`, and how it was found."""
    name = f"{version[0]}.{version[1]}"
    if name in given:
        return shlex.split(given[name]), given[name]
    if command := pyenv_python(version[1]):
        return command, "pyenv"
    sid = os.path.join(CHECKOUT, "build", "sid", "run")
    if os.access(sid, os.X_OK) and os.path.exists(os.path.join(CHECKOUT, "build", "sid", "root", "usr", "bin",
                                                                f"python{name}")):
        return [sid, f"python{name}"], "Debian unstable, scripts/sid-python.sh"
    if program := shutil.which(f"python{name}"):
        return [program], "PATH"
    return None, None


def probe(command):
    done = subprocess.run([*command, "-I", "-c", PROBE], capture_output=True, text=True, timeout=600, check=True)
    return json.loads(done.stdout)


def table_name(unicode, shared):
    return "kUnprintable" + unicode.replace(".", "_") + ("" if shared == 0 else f"_{shared}")


def render(probes):
    """The text of the .inc: one table per distinct set of ranges, then the versions."""
    tables = []  # [name, ranges, [(version name, probe, origin)]]
    for name, (found, origin) in probes.items():
        for table in tables:
            if table[1] == found["ranges"]:
                table[2].append((name, found, origin))
                break
        else:
            same_unicode = sum(1 for t in tables if t[2][0][1]["unicode"] == found["unicode"])
            tables.append([table_name(found["unicode"], same_unicode), found["ranges"], [(name, found, origin)]])
    lines = ["// Made by scripts/printable-ranges.py, which asks each interpreter named below;",
             "// run it again to remake this file. Per table, the code points above U+00FF",
             "// that repr() of a str escapes, as half-open ranges [first, end).", ""]
    for name, ranges, users in tables:
        for version, found, origin in users:
            lines.append(f"// Python {found['version']} ({origin}), Unicode {found['unicode']}")
        lines.append(f"constexpr Range {name}[] = {{  // {len(ranges)} ranges")
        for i in range(0, len(ranges), 4):
            lines.append(" ".join(f"{{0x{a:X}, 0x{b:X}}}," for a, b in ranges[i:i + 4]))
        lines += ["};", ""]
    lines.append("// Per Python feature version, in order: its minor version and its table.")
    lines.append("constexpr ReprTable kReprTables[] = {")
    for version, (found, _) in probes.items():
        table = next(t[0] for t in tables if any(u[0] == version for u in t[2]))
        lines.append(f"    {{{version.split('.')[1]}, {table}}},  // Python {version}, Unicode {found['unicode']}")
    lines.append("};")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", default=[], metavar="3.X=COMMAND",
                        help="the interpreter of version 3.X (a command)")
    parser.add_argument("--output", default=os.path.join(CHECKOUT, "src", "text", "unprintable.inc"))
    args = parser.parse_args()
    given = dict(item.split("=", 1) for item in args.python)
    probes = {}
    for version in VERSIONS:
        name = f"{version[0]}.{version[1]}"
        command, origin = interpreter(version, given)
        if command is None:
            sys.exit(f"printable-ranges: no interpreter of Python {name} (give one with --python {name}=COMMAND)")
        found = probe(command)
        if not found["version"].startswith(name + "."):
            sys.exit(f"printable-ranges: {' '.join(command)} is Python {found['version']}, not {name}")
        probes[name] = (found, origin)
        print(f"Python {found['version']} ({origin}): Unicode {found['unicode']}, {len(found['ranges'])} ranges",
              file=sys.stderr)
    text = render(probes)
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Writes src/text/unprintable.inc: the code points above U+00FF that Python's
str.isprintable() calls unprintable (categories Cc, Cf, Cs, Co, Cn, Zl, Zp,
and Zs but the space), as half-open ranges, from the Unicode tables of the
interpreter that runs it. repr() escapes exactly these (and, below U+0100,
the control characters and U+00A0/U+00AD, which the writer knows by itself).

    python3.13 scripts/printable-ranges.py > src/text/unprintable.inc
"""
import sys
import unicodedata

ranges = []
start = None
for code in range(0x100, sys.maxunicode + 2):
    unprintable = code <= sys.maxunicode and not chr(code).isprintable()
    if unprintable and start is None:
        start = code
    elif not unprintable and start is not None:
        ranges.append((start, code))
        start = None
print(f"// Made by scripts/printable-ranges.py from Unicode {unicodedata.unidata_version} "
      f"(Python {sys.version_info.major}.{sys.version_info.minor}); {len(ranges)} ranges.")
for i in range(0, len(ranges), 4):
    print(" ".join(f"{{0x{a:X}, 0x{b:X}}}," for a, b in ranges[i:i + 4]))

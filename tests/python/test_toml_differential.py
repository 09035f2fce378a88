"""The TOML reader against an independent TOML 1.1.0 reader (tomli).

Documents come from a generator that follows the TOML 1.1.0 grammar: every
value kind, odd and dotted keys, headers, arrays of tables, multi-line
strings with line-ending backslashes, CRLF, comments, unicode, numbers in
every notation, date-times. Mutants of them (code points deleted, inserted,
swapped or replaced, lines duplicated or dropped; always valid UTF-8) are
mostly invalid. For each document both readers must agree on acceptance and,
when both accept, on the whole tree (types, values, key order). A second test
writes configuration files with the real sections and keys and checks that
the values reaching the converter are the ones tomli reads.

Where this reader deliberately differs from tomli, the case is classified,
not failed:

* an integer outside both the signed and the unsigned 64-bit range is refused
  ("integer number overflowed"); tomli reads any integer;
* a float beyond the double range is refused ("floating-point number
  overflowed"); tomli reads it as infinity;
* tomli cannot hold the year 0000 (its dates are Python dates) and refuses
  it; this reader accepts it.

tomli does not skip a leading byte-order mark; it is given the text without.

VORA_TOML_DIFF_SEED and VORA_TOML_DIFF_COUNT set the seed and the number of
generated documents (for long local runs); VORA_TOML_DUMP names the toml_dump
binary (see conftest.py).
"""

import datetime as dt
import itertools
import json
import math
import os
import random
import re
import struct
import subprocess

import numpy as np
import pytest
import tomli

from test_cli import cli  # noqa: F401 (a fixture)

SEED = int(os.environ.get("VORA_TOML_DIFF_SEED", "1101"))
COUNT = int(os.environ.get("VORA_TOML_DIFF_COUNT", "2500"))
MUTANTS = 3  # mutants per generated document
REPORTED = 8  # disagreements minimised and shown when the test fails

INT64_MIN, UINT64_MAX = -(2**63), 2**64 - 1


# --- the reader under test ---------------------------------------------------------


class Dumper:
    """toml_dump --batch in a child process: one document in, one line out."""

    def __init__(self, binary):
        self.proc = subprocess.Popen([binary, "--batch"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def read(self, data):
        """('ok', tagged JSON) or ('error', 'line:column: message') or ('invalid', reason)."""
        self.proc.stdin.write(b"%d\n" % len(data) + data)
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"toml_dump stopped (exit {self.proc.wait()}) on {data!r}")
        line = line.decode("utf-8", errors="replace").rstrip("\n")
        if line.startswith("ERROR "):
            return "error", line[6:]
        if line.startswith("INVALID "):
            return "invalid", line[8:]
        return "ok", json.loads(line)

    def close(self):
        if self.proc.poll() is None:  # a crash has been reported by read already
            self.proc.stdin.close()
            assert self.proc.wait(timeout=60) == 0
        self.proc.stdout.close()


@pytest.fixture(scope="module")
def reader(toml_dump):
    dumper = Dumper(toml_dump)
    yield dumper
    dumper.close()


# --- one comparable form for both readers ---------------------------------------------

_MOMENT = re.compile(
    r"(?:(\d{4})-(\d\d)-(\d\d))?[Tt ]?(?:(\d\d):(\d\d)(?::(\d\d)(?:\.(\d+))?)?)?(?:([Zz])|([+-])(\d\d):(\d\d))?$"
)


def tomli_loads(text):
    """tomli's reading of `text`; tomli does not skip a leading byte-order mark."""
    return tomli.loads(text[1:] if text.startswith("\ufeff") else text)


def from_tagged(node):
    """The Python value (as tomli would return it) of toml_dump's tagged JSON."""
    if isinstance(node, list):
        return [from_tagged(item) for item in node]
    if set(node) == {"type", "value"} and isinstance(node["type"], str) and isinstance(node["value"], str):
        kind, text = node["type"], node["value"]
        if kind == "string":
            return text
        if kind == "integer":
            return int(text)
        if kind == "float":
            return float(text)
        if kind == "bool":
            return {"true": True, "false": False}[text]
        m = _MOMENT.match(text)
        y, mo, d, h, mi, s, frac, z, sign, oh, om = m.groups()
        micro = int((frac or "0")[:6].ljust(6, "0"))
        if kind == "date-local":
            return dt.date(int(y), int(mo), int(d))
        if kind == "time-local":
            return dt.time(int(h), int(mi), int(s or 0), micro)
        tz = None
        if kind == "datetime":
            minutes = 0 if z else (int(oh) * 60 + int(om)) * (-1 if sign == "-" else 1)
            tz = dt.timezone(dt.timedelta(minutes=minutes))
        return dt.datetime(int(y), int(mo), int(d), int(h), int(mi), int(s or 0), micro, tz)
    return {key: from_tagged(value) for key, value in node.items()}


def canon(value, ordered=True):
    """A form in which == means same type and value (nan equals nan, -0.0 is not 0.0);
    tables compare their key order too when `ordered`."""
    if isinstance(value, dict):
        items = [(key, canon(item, ordered)) for key, item in value.items()]
        return ("table", items if ordered else sorted(items))
    if isinstance(value, list):
        return ("array", [canon(item, ordered) for item in value])
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, int):
        return ("integer", value)
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else value.hex())
    if isinstance(value, dt.datetime):
        return ("datetime" if value.tzinfo else "datetime-local", value.isoformat())
    if isinstance(value, dt.date):
        return ("date-local", value.isoformat())
    if isinstance(value, dt.time):
        return ("time-local", value.isoformat())
    return ("string", value)


def first_difference(ours, theirs, path="<root>"):
    """Where canon(ours) and canon(theirs) first differ, or None."""
    if ours[0] != theirs[0]:
        return f"{path}: {ours} vs {theirs}"
    if ours[0] == "table":
        if [k for k, _ in ours[1]] != [k for k, _ in theirs[1]]:
            return f"{path}: keys {[k for k, _ in ours[1]]} vs {[k for k, _ in theirs[1]]}"
        for (key, a), (_, b) in zip(ours[1], theirs[1]):
            found = first_difference(a, b, f"{path}.{key}")
            if found:
                return found
        return None
    if ours[0] == "array":
        if len(ours[1]) != len(theirs[1]):
            return f"{path}: {len(ours[1])} elements vs {len(theirs[1])}"
        for k, (a, b) in enumerate(zip(ours[1], theirs[1])):
            found = first_difference(a, b, f"{path}[{k}]")
            if found:
                return found
        return None
    return None if ours == theirs else f"{path}: {ours} vs {theirs}"


def has_year_zero(node):
    if isinstance(node, list):
        return any(map(has_year_zero, node))
    if set(node) == {"type", "value"} and isinstance(node["value"], str):
        return node["type"] in ("datetime", "datetime-local", "date-local") and node["value"].startswith("0000-")
    return any(map(has_year_zero, node.values()))


def literal_at(text, where):
    """The number literal at the 'line:column' of an error message."""
    line, column = (int(n) for n in where.split(":")[:2])
    lines = (text[1:] if text.startswith("\ufeff") else text).split("\n")
    m = re.match(r"[0-9A-Za-z_+\-.]+", lines[line - 1][column - 1:]) if line <= len(lines) else None
    return m.group(0) if m else ""


def deliberate(text, error):
    """Whether our refusal `error` of a document tomli reads is one of the
    deliberate differences (then the literal it names proves it)."""
    where, _, message = error.partition(": ")
    if message not in ("integer number overflowed", "floating-point number overflowed"):
        return False
    literal = literal_at(text, where)
    try:
        value = tomli.loads("x = " + literal)["x"]
    except tomli.TOMLDecodeError:
        return False
    if message == "integer number overflowed":
        return type(value) is int and not INT64_MIN <= value <= UINT64_MAX
    return type(value) is float and math.isinf(value) and "inf" not in literal


def compare(reader, data):
    """None when both readers agree on `data` (bytes), else (kind, detail)."""
    ours, result = reader.read(data)
    try:
        text = data.decode("utf-8")
        theirs = tomli_loads(text)
        their_error = None
    except (UnicodeDecodeError, tomli.TOMLDecodeError) as e:
        theirs, their_error = None, str(e)
    if ours == "invalid":
        return "unshowable", result
    if ours == "error" and their_error is None:
        if deliberate(text, result):
            return None
        return "we refuse", f"we: {result}"
    if ours == "ok" and their_error is not None:
        if has_year_zero(result) and "date" in their_error:
            return None
        return "we accept", f"tomli: {their_error}; we read {json.dumps(result, ensure_ascii=False)}"
    if ours == "ok":
        try:
            mine = from_tagged(result)
        except ValueError as e:  # a date or time out of its range
            return "trees differ", f"we read {json.dumps(result, ensure_ascii=False)}: {e}"
        found = first_difference(canon(mine), canon(theirs))
        if found:
            return "trees differ", found
    return None


# --- the generator ----------------------------------------------------------------------

BARE = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-"
KEY_POOL = [
    "a", "b", "key", "x1", "_", "-", "1", "0", "123", "true", "false", "inf", "nan", "1.5", "a.b",
    "", " ", "with space", "tab\tkey", "quote\"d", "apo'strophe", "back\\slash", "ключ", "キー",
    "é", "😀", "new\nline", "\x00nul", "\u2028", "dash-ed", "under_scored", "Case", "case", "key#hash",
    "=", "[x]", "x.y.z",
]
TEXT_PIECES = [
    "hello", " ", "\t", "world", "é", "中文", "😀", "\u2028", "\u00a0", "'", "''", "'''", '"', '""', '"""',
    "\\", "\\n", "\n", "\r\n", "\r", "\x00", "\x01", "\x08", "\x0b", "\x0c", "\x1b", "\x1f", "\x7f", "\x80",
    "\xff", "\ufeff", "\U0010ffff", "#", "=", "[", "{", "abc def", "0x12", "1979-05-27",
]
CONTROL = {chr(c) for c in range(0x20) if c != 9} | {"\x7f"}
SIMPLE_ESCAPES = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"', "\\": "\\\\",
                  "\x1b": "\\e"}


def _month_days(year, month):
    if month == 2:
        return 29 if year % 4 == 0 and (year % 100 != 0 or year % 400 == 0) else 28
    return 30 if month in (4, 6, 9, 11) else 31


class Scalar:
    def __init__(self, text, value):
        self.text, self.value = text, value


class Generator:
    """Random TOML 1.1.0 documents and the values they denote."""

    def __init__(self, rng, in_range=False):
        self.r = rng
        self.eol = "\n"
        self.in_range = in_range  # no number beyond the 64-bit integer and double ranges

    # -- layout

    def ws(self):
        return self.r.choice(["", "", " ", " ", "  ", "\t", " \t "])

    def comment(self):
        body = "".join(self.r.choice(["note", " ", "é", "😀", "#", "\t", '"', "'", "=", "[x]", "\\"])
                       for _ in range(self.r.randrange(5)))
        return "#" + body

    def newline(self):
        """A line end, maybe after a comment, maybe followed by blank lines."""
        out = self.ws() + (self.comment() if self.r.random() < 0.2 else "") + self.line_end()
        while self.r.random() < 0.1:
            out += self.ws() + self.line_end()
        return out

    def line_end(self):
        return self.eol if self.r.random() < 0.95 else self.r.choice(["\n", "\r\n"])

    # -- keys

    def key(self):
        if self.r.random() < 0.6:
            return "".join(self.r.choice(BARE) for _ in range(self.r.randrange(1, 7)))
        return self.r.choice(KEY_POOL)

    def key_text(self, key):
        if key and all(c in BARE for c in key) and self.r.random() < 0.8:
            return key
        if self.r.random() < 0.4 and "'" not in key and not CONTROL & set(key):
            return "'" + key + "'"
        return self.basic(key)

    def dotted(self, keys):
        return (self.ws() + "." + self.ws()).join(self.key_text(k) for k in keys)

    # -- strings

    def string_content(self):
        return "".join(self.r.choice(TEXT_PIECES) for _ in range(self.r.randrange(6)))

    def escape(self, c):
        cp = ord(c)
        options = []
        if c in SIMPLE_ESCAPES:
            options.append(SIMPLE_ESCAPES[c])
        if cp <= 0xFF:
            options.append(("\\x%02x" if self.r.random() < 0.5 else "\\x%02X") % cp)
        if cp <= 0xFFFF:
            options.append(("\\u%04x" if self.r.random() < 0.5 else "\\u%04X") % cp)
        options.append("\\U%08X" % cp)
        return self.r.choice(options)

    def basic(self, s):
        out = []
        for c in s:
            must = c in CONTROL or c in '"\\'
            out.append(self.escape(c) if must or self.r.random() < 0.1 else c)
        return '"' + "".join(out) + '"'

    def multiline_basic(self, s):
        out = ["\"\"\""]
        if s.startswith("\n") or self.r.random() < 0.5:
            out.append(self.line_end())  # trimmed
        quotes = 0
        for k, c in enumerate(s):
            if c == "\n" and self.r.random() < 0.8:
                out.append(self.line_end())
            elif c == '"' and quotes < 2 and self.r.random() < 0.7:
                out.append(c)
            elif c in CONTROL or c in '"\\' or self.r.random() < 0.05:
                out.append(self.escape(c))
            else:
                out.append(c)
            quotes = quotes + 1 if out[-1] == '"' else 0
            if self.r.random() < 0.15 and k + 1 < len(s) and s[k + 1] not in " \t\n":
                # a line-ending backslash: it and the white space after it read as nothing
                out.append("\\" + self.r.choice(["", " ", "\t "]) + self.line_end()
                           + self.r.choice(["", "  ", "\t", self.line_end() + " "]))
                quotes = 0
        return "".join(out) + "\"\"\""

    def literal_fits(self, s, multiline):
        if (CONTROL - ({"\n"} if multiline else set())) & set(s):
            return False
        return "'''" not in s if multiline else "'" not in s

    def string(self):
        s = self.string_content()
        forms = ["basic", "multiline_basic"]
        if self.literal_fits(s, False):
            forms.append("literal")
        if self.literal_fits(s, True):
            forms.append("multiline_literal")
        form = self.r.choice(forms)
        if form == "basic":
            return Scalar(self.basic(s), s)
        if form == "multiline_basic":
            return Scalar(self.multiline_basic(s), s)
        if form == "literal":
            return Scalar("'" + s + "'", s)
        lead = self.line_end() if s.startswith("\n") or self.r.random() < 0.5 else ""
        return Scalar("'''" + lead + s.replace("\n", self.eol) + "'''", s)

    # -- numbers

    def digits(self, text):
        """Underscores between some digits."""
        out = text[0]
        for c in text[1:]:
            out += ("_" if self.r.random() < 0.15 else "") + c
        return out

    def integer(self, low=None, high=None):
        r = self.r
        if low is None:
            kind = r.choices(["small", "int64", "edge", "wide", "huge"], [50, 20, 10, 10, 0 if self.in_range else 3])[0]
            if kind == "small":
                value = r.randrange(-1000, 1000)
            elif kind == "int64":
                value = r.randrange(INT64_MIN, 2**63)
            elif kind == "edge":
                value = r.choice([0, INT64_MIN, 2**63 - 1, 2**63, UINT64_MAX, -1, 1])
            elif kind == "wide":
                value = r.randrange(2**63, 2**64)
            else:
                value = r.choice([1, -1]) * r.randrange(2**64, 2**80)
        else:
            value = r.randrange(low, high + 1)
        base = r.choices([10, 16, 8, 2], [70, 14, 8, 8])[0] if value >= 0 else 10
        if base == 10:
            sign = "-" if value < 0 else r.choice(["", "", "+"])
            return Scalar(sign + self.digits(str(abs(value))), value)
        body = {16: "%x", 8: "%o", 2: "{:b}"}[base]
        body = body.format(value) if base == 2 else body % value
        if base == 16 and r.random() < 0.5:
            body = body.upper()
        body = "0" * r.choice([0, 0, 1, 3]) + body
        return Scalar("0" + {16: "x", 8: "o", 2: "b"}[base] + self.digits(body), value)

    def float(self):
        r = self.r
        if r.random() < 0.08:
            text = r.choice(["", "+", "-"]) + r.choice(["inf", "nan"])
            return Scalar(text, float(text))
        if r.random() < 0.03:
            edges = ["1e-400", "4.9e-324", "2.2250738585072014e-308", "1.7976931348623157e308", "3.4028235e38"]
            if not self.in_range:
                edges += ["1e400", "-1.5e309", "1797693134862315807937289714053034150799341327e300"]
            text = r.choice(edges)
            return Scalar(text, float(text))
        int_part = r.choice(["0", str(r.randrange(1, 10)), str(r.randrange(10, 10**r.randrange(2, 20)))])
        frac = "".join(r.choice("0123456789") for _ in range(r.randrange(1, 18)))
        exp = r.choice(["e", "E"]) + r.choice(["", "+", "-"]) + "0" * r.choice([0, 0, 0, 2]) + str(r.randrange(0, 40))
        form = r.choice(["frac", "exp", "both"])
        body = self.digits(int_part)
        if form != "exp":
            body += "." + self.digits(frac)
        if form != "frac":
            body += exp
        sign = r.choice(["", "", "+", "-"])
        text = sign + body
        return Scalar(text, float(text.replace("_", "")))

    # -- date-times

    def date_time(self):
        r = self.r
        kind = r.choice(["offset", "local-datetime", "local-date", "local-time"])
        year = r.choice([1, 1979, 2000, 2024, 1900, 9999, r.randrange(1, 10000)])
        month = r.randrange(1, 13)
        day = r.choice([1, _month_days(year, month), r.randrange(1, _month_days(year, month) + 1)])
        hour, minute, second = r.randrange(24), r.randrange(60), r.randrange(60)
        date_text = "%04d-%02d-%02d" % (year, month, day)
        with_seconds = r.random() < 0.8
        frac = "".join(r.choice("0123456789") for _ in range(r.choice([1, 2, 3, 6, 9, 12]))) \
            if with_seconds and r.random() < 0.4 else ""
        micro = int(frac[:6].ljust(6, "0")) if frac else 0
        if not with_seconds:
            second = 0
        time_text = "%02d:%02d" % (hour, minute) + (":%02d" % second if with_seconds else "") + \
            ("." + frac if frac else "")
        if kind == "local-date":
            return Scalar(date_text, dt.date(year, month, day))
        if kind == "local-time":
            return Scalar(time_text, dt.time(hour, minute, second, micro))
        text = date_text + r.choice(["T", "t", " "]) + time_text
        tz = None
        if kind == "offset":
            if r.random() < 0.4:
                text += r.choice(["Z", "z"])
                tz = dt.timezone.utc
            else:
                minutes = r.choice([0, r.randrange(-23 * 60 - 59, 23 * 60 + 60)])
                text += ("-" if minutes < 0 or (minutes == 0 and r.random() < 0.3) else "+") + \
                    "%02d:%02d" % divmod(abs(minutes), 60)
                tz = dt.timezone(dt.timedelta(minutes=minutes))
        return Scalar(text, dt.datetime(year, month, day, hour, minute, second, micro, tz))

    # -- values and tables (trees of Scalar, list, dict and AoT)

    def scalar(self):
        kind = self.r.choices(["string", "integer", "float", "bool", "datetime"], [30, 25, 20, 8, 17])[0]
        if kind == "bool":
            value = self.r.random() < 0.5
            return Scalar("true" if value else "false", value)
        return {"string": self.string, "integer": self.integer, "float": self.float,
                "datetime": self.date_time}[kind]()

    def value(self, depth):
        roll = self.r.random()
        if depth < 4 and roll < 0.15:
            return [self.value(depth + 1) for _ in range(self.r.randrange(5))]
        if depth < 4 and roll < 0.22:
            return self.table(depth + 1)
        if depth < 4 and roll < 0.26:
            return AoT(self.table(depth + 1) for _ in range(self.r.randrange(1, 4)))
        return self.scalar()

    def table(self, depth, size=None):
        out = {}
        for _ in range(self.r.randrange(5) if size is None else size):
            out[self.key()] = self.value(depth)
        return out

    # -- writing

    def inline(self, node):
        """The text of a value written in place (after `key =` or in an array)."""
        if isinstance(node, Scalar):
            return node.text
        if isinstance(node, dict):
            return self.inline_table(node)
        items = [self.inline(item) for item in node]
        if not items:
            return self.r.choice(["[]", "[ ]", "[" + self.newline() + "]"])
        out = "["
        for k, item in enumerate(items):
            out += self.array_gap() + item + self.ws()
            if k + 1 < len(items) or self.r.random() < 0.3:
                out += ","
        return out + self.array_gap() + "]"

    def array_gap(self):
        return self.newline() + self.ws() if self.r.random() < 0.2 else self.ws()

    def inline_table(self, table):
        lines = []
        for key, node in table.items():
            lines.extend(self.assignments([key], node, allow_dotted=True))
        if not lines:
            return self.r.choice(["{}", "{ }"])
        out = "{"
        for k, line in enumerate(lines):
            out += self.array_gap() + line + self.ws()
            if k + 1 < len(lines) or self.r.random() < 0.2:
                out += ","
        return out + self.array_gap() + "}"

    def assignments(self, keys, node, allow_dotted):
        """`keys = value` lines for node, a non-empty table maybe spread over dotted keys."""
        if isinstance(node, dict) and node and allow_dotted and self.r.random() < 0.5:
            lines = []
            for key, child in node.items():
                lines.extend(self.assignments(keys + [key], child, allow_dotted))
            return lines
        return [self.dotted(keys) + self.ws() + "=" + self.ws() + self.inline(node)]

    def document(self, root):
        self.eol = "\r\n" if self.r.random() < 0.25 else "\n"
        out = []
        if self.r.random() < 0.05:
            out.append("\ufeff")
        if self.r.random() < 0.3:
            out.append(self.comment() + self.line_end())
        self.body([], root, out)
        return "".join(out)

    def body(self, path, table, out, headers_only=False):
        """The lines of `table` after its header: assignments, then the nested
        tables under headers of their own (only those when the table itself has
        no header line)."""
        later = []
        for key, node in table.items():
            if isinstance(node, (dict, AoT)) and (headers_only or self.r.random() < 0.6):
                later.append((key, node))
            else:
                for line in self.assignments([key], node, allow_dotted=True):
                    out.append(self.ws() + line + self.newline())
        for key, node in later:
            if isinstance(node, AoT):
                for element in node:
                    out.append(self.ws() + "[[" + self.ws() + self.dotted(path + [key]) + self.ws() + "]]" + self.newline())
                    self.body(path + [key], element, out)
                continue
            implicit = node and all(isinstance(child, (dict, AoT)) for child in node.values()) and self.r.random() < 0.3
            if not implicit:
                out.append(self.ws() + "[" + self.ws() + self.dotted(path + [key]) + self.ws() + "]" + self.newline())
            self.body(path + [key], node, out, headers_only=implicit)


class AoT(list):
    """An array of tables: written as [[headers]] or as an array of inline tables."""


def plain(node):
    """The Python value of a generated tree."""
    if isinstance(node, Scalar):
        return node.value
    if isinstance(node, dict):
        return {key: plain(child) for key, child in node.items()}
    return [plain(item) for item in node]


MUTATION_CHARS = list("\"'[]{}=.,#\\ \t\n\r_+-:0123456789eExobTZtfnai") + [
    "\r\n", "\x00", "\x01", "\x7f", "\x0c", "é", "😀", "\u2028", "\ufeff", '"""', "'''", "[[", "]]"]


def mutate(rng, text):
    """`text` with one to three random edits of code points or lines."""
    chars = list(text)
    for _ in range(rng.randrange(1, 4)):
        op = rng.choice(["delete", "insert", "insert", "swap", "replace", "line"])
        at = rng.randrange(len(chars) + 1)
        if op == "insert" or not chars:
            chars[at:at] = list(rng.choice(MUTATION_CHARS))
            continue
        at = min(at, len(chars) - 1)
        if op == "delete":
            del chars[at:at + rng.choice([1, 1, 2, 3])]
        elif op == "swap" and at + 1 < len(chars):
            chars[at], chars[at + 1] = chars[at + 1], chars[at]
        elif op == "replace":
            chars[at] = rng.choice(MUTATION_CHARS)
        elif op == "line":
            lines = "".join(chars).split("\n")
            k = rng.randrange(len(lines))
            if rng.random() < 0.5:
                lines.insert(k, lines[k])
            else:
                del lines[k]
            chars = list("\n".join(lines))
    return "".join(chars)


# --- minimising a disagreement ---------------------------------------------------------


def minimise(reader, text, kind, budget=1500):
    """A short document on which the readers still disagree the same way."""
    def same(candidate):
        nonlocal budget
        budget -= 1
        found = compare(reader, candidate.encode("utf-8"))
        return found is not None and found[0] == kind

    shrunk = True
    while shrunk and budget > 0:
        shrunk = False
        for unit in ("lines", "chars"):
            parts = text.splitlines(keepends=True) if unit == "lines" else list(text)
            step = max(1, len(parts) // 2)
            while step >= 1 and budget > 0:
                k = 0
                while k < len(parts) and budget > 0:
                    candidate = parts[:k] + parts[k + step:]
                    if same("".join(candidate)):
                        parts = candidate
                        shrunk = True
                    else:
                        k += step
                step //= 2
            text = "".join(parts)
    return text


def report(reader, found):
    # Some of each kind first, each minimised document once.
    by_kind = {}
    for item in found:
        by_kind.setdefault(item[2][0], []).append(item)
    chosen = [item for group in itertools.zip_longest(*by_kind.values()) for item in group if item][:REPORTED]
    lines, seen = [], set()
    for origin, text, (kind, detail) in chosen:
        small = minimise(reader, text, kind)
        if small in seen:
            continue
        seen.add(small)
        again = compare(reader, small.encode("utf-8"))
        ours = reader.read(small.encode("utf-8"))
        try:
            theirs = repr(tomli_loads(small))
        except tomli.TOMLDecodeError as e:
            theirs = f"error: {e}"
        lines.append(f"[{kind}] {origin}\n  document: {small!r}\n  we:    {ours[0]} {ours[1]}\n"
                     f"  tomli: {theirs}\n  ({again[1] if again else detail})")
    return f"{len(found)} disagreement(s) with tomli (seed {SEED}); minimised:\n" + "\n".join(lines)


# --- the tests ---------------------------------------------------------------------------


def test_tomli_reads_toml_1_1():
    """The reference reader knows the 1.1.0 additions the generator writes."""
    doc = 'e = "\\e\\x41"\nt = 07:32\nd = 1979-05-27T07:32Z\nit = {\n  x = 1, # c\n  y.z = 2,\n}\n'
    assert tomli.loads(doc) == {
        "e": "\x1bA", "t": dt.time(7, 32), "d": dt.datetime(1979, 5, 27, 7, 32, tzinfo=dt.timezone.utc),
        "it": {"x": 1, "y": {"z": 2}},
    }


@pytest.mark.parametrize("text, expected", [
    ("x = 18446744073709551616\n", "ERROR 1:5: integer number overflowed"),
    ("x = -9223372036854775809\n", "ERROR 1:5: integer number overflowed"),
    ("x = 0xffff_ffff_ffff_ffff_f\n", "ERROR 1:5: integer number overflowed"),
    ("x = 1e309\n", "ERROR 1:5: floating-point number overflowed"),
    ("a = [1,\n  -2.5e400]\n", "ERROR 2:3: floating-point number overflowed"),
])
def test_deliberate_differences(toml_dump, text, expected):
    """Values tomli reads that we refuse, and the classification of them."""
    out = subprocess.run([toml_dump], input=text.encode(), capture_output=True)
    assert (out.returncode, out.stdout.decode().rstrip("\n")) == (1, expected)
    assert deliberate(text, expected[len("ERROR "):])
    # The same message for a literal in range is a disagreement.
    assert not deliberate("x = 18446744073709551615\n", "1:5: integer number overflowed")
    assert not deliberate("x = 1.7976931348623157e308\n", "1:5: floating-point number overflowed")


# Hand-picked documents at the edges of the grammar, valid and invalid.
EDGES = [
    "a = 20:4-12-11", "a = 19:8-07-05T07:32:00Z",
    'a = """\\\n  \n  x"""', 'a = """""""', "a = '''''''", 'a = """a""""', 'a = """a"""""', 'a = """a""""""',
    "a = '''a'''''", "a = '''a''''''", 'a = """\n"""', 'a = """\r\n"""', "a = '''\r\nx'''",
    "a = 1979-05-27 07:32:00Z", "a = 1979-05-27 # c", "a = 1979-05-27T", "a = 1979-05-27 ", "a = 07:32", "a = 07:32.5",
    "a = 07:32:00.", "a = 1979-05-27T07:32Z", "a = 1979-05-27t07:32:00.999999999999z",
    "a = { b = 1, }", "a = {\n b = 1 # c\n }", "a = {,}", "a = { b = 1,, }", "a = { , b = 1 }", "a = [1,,2]", "a = [,]",
    'a = "\\e\\x41\\xe9"', 'a = "\\x4"', 'a = "\\xG0"', 'a = "\\u00e9\\U0001F600"', 'a = "\\uD800"', 'a = "\\U00110000"',
    "a = 0x", "a = 0x_1", "a = 1__2", "a = 01", "a = -0x1", "a = +0o7", "a = +inf", "a = -nan", "a = 1e", "a = 1.", "a = .1",
    "a = 1.e1", "a = 1_000.0_1e1_0", "a = 1e_1", "a = 0.0e-0", "a = -0.0", "a = 00.1", "a = 0e0", "a = 1E+0_1",
    "a.b = 1\n[a]", "[a]\nb.c = 1\n[a.b]", "[a]\nb.c = 1\n[a.b.d]", "[a.b]\n[a]", "[[a]]\n[a]", "a = []\n[[a]]", "a = {}\n[a.b]",
    "a = {b = {}}\na.b.c = 1", "[a]\n[a]", "[a.b]\n[a.b]", "a.b = 1\na.b.c = 2", "a = 1\na.b = 2",
    "[[a.b]]\n[a]\nc = 1", "[[a]]\nb = 1\n[[a]]\nb = 2\n[a.c]\nd = 3",
    "\ufeffa = 1", "a = 1\r\n", "a = 1\r", "# \x7f", "a = 9223372036854775808", "a = -9223372036854775808",
    "a = 1979-02-29", "a = 2000-02-29", "a = 1900-02-29", "a = 1979-05-27T24:00:00", "a = 1979-05-27T07:32:00+24:00",
    "a = 1979-05-27T07:32:00+23:59", "a = 1979-05-27T23:59:60Z", "a = 1979-13-01", "a = 1979-00-01", "a = 1979-01-00",
    '"" = 1', "'' = 1", '"a"."b" = 1', "a . b = 1", "1.2 = 3", "true = 1", "inf = 1", "- = 1", "a = 'x\ty'", 'a = "x\ty"',
    "a = true\nb = false", "a = tru", "a = True", "[ a . 'b' ]\n", "[[ a ]]\n", "[ [a]]", "[a] b = 1", "a = 1 b = 2",
    "é = 1", '"é" = 1', "a = 'é'", "[\"a\".'b'.c]", "a = [[1, 2], ['x'], [{b = 1}]]", "a = [\n# c\n1,\n# d\n]",
    "a = 1 # comment\x00", "a = \"\\\n\"", 'a = "a\\ b"', 'a = """a\\ b"""', 'a = """a\\  \n b"""', 'a = """a\\\tb"""',
    # which tables a header, a dotted key or an inline table may still define or extend
    "[a.b.c]\n[a]\nb.d = 1", "[a.b.c]\n[a]\nb = 1", "[a]\nb.c.d = 1\n[a.b.e]", "[a]\nb.c.d = 1\n[a.b.c]", "[a]\nb.c = 1\n[a.b]\n",
    "a.b.c = 1\na.b = {}", "a = {b.c = 1, b.d = 2}", "a = {b.c = 1, b = {}}", "a = {b = {c = 1}, b.d = 2}",
    "[[a]]\nb.c = 1\n[a.b]\n", "[[a]]\n[a.b]\n[[a]]\n[a.b]", "[[a]]\n[[a.b]]\n[a.b]", "[a]\n[[a.b]]\n[[a]]",
    "a = [{b = 1}]\n[[a]]", "a = [{b = 1}]\n[a.c]", "[[a]]\nb = [1]\n[[a.b]]", "x.y = 1\n[x.y.z]", "x.y.z = 1\n[x]\n[x.y.w]",
    "[x]\ny.z = 1\n[x.y]\nw = 2", "[x.y]\n[x]\ny.z = 1", "[x.y]\nz = 1\n[x]\ny.w = 2", "[x.y.z]\n[x]\ny.w = 2",
    "a.b = 1\n[a.c]\n", "[a]\nb = {}\n[a.b.c]", "[a]\nb = []\n[[a.b]]", "a = 1\n[a]", "[a]\n[a.b]\n[a]",
    "[\"a\"]\n[a]", "[a.'b']\n[a.\"b\"]", "\"a\" = 1\n'a' = 2", "a = 1\n\"\\u0061\" = 2",
    "a = {b = 1}\na.c = 2", "[t]\na = {}\n[t.a]", "a = [[{b=1}]]\n[[a]]",
    "[a]\nx = 1\n[a.b]\ny = 2\n[a]\nz = 3", "[[a.b]]\n[[a]]", "[[a]]\n[[a.b]]\n[[a]]\n[[a.b]]",
    "[a.b]\n[[a]]", "[[a.b]]\n[a]\n[[a.b]]", "k = 1\n[[k.x]]",
]


@pytest.mark.parametrize("text", EDGES, ids=range(len(EDGES)))
def test_edge_documents_agree_with_tomli(reader, text):
    found = compare(reader, text.encode("utf-8"))
    assert found is None, f"{found[0]}: {found[1]}"


def test_generated_documents_agree_with_tomli(reader):
    rng = random.Random(SEED)
    gen = Generator(rng)
    found = []
    for n in range(COUNT):
        tree = gen.table(0, size=rng.randrange(1, 8))
        text = gen.document(tree)
        # The generator's own reading, checked against tomli, keeps it honest.
        expected = canon(plain(tree), ordered=False)
        theirs = canon(tomli_loads(text), ordered=False)
        assert first_difference(theirs, expected) is None, (text, first_difference(theirs, expected))
        for origin, candidate in [(f"document {n}", text)] + [
                (f"mutant {m} of document {n}", mutate(rng, text)) for m in range(MUTANTS)]:
            disagreement = compare(reader, candidate.encode("utf-8"))
            if disagreement:
                found.append((origin, candidate, disagreement))
    if found:
        pytest.fail(report(reader, found), pytrace=False)


def test_invalid_utf8_is_refused(reader):
    for data in [b'a = "\xc3\x28"\n', b"# \xff\n", b"a = '\xed\xa0\x80'\n", b"\xe2\x82 = 1\n", b'a = "\xf4\x90\x80\x80"']:
        assert reader.read(data)[0] == "error", data


# --- the values reaching the converter --------------------------------------------------

SECTIONS = {
    "config": ("config", {
        "mean_values": "f32s", "std_values": "f32s", "quantized_dtype": "str", "quantized_algorithm": "str",
        "quantized_method": "str", "target_platform": "str", "quant_img_RGB2BGR": "bool", "float_dtype": "str",
        "optimization_level": "u8", "custom_string": "str", "remove_weight": "bool", "compress_weight": "bool",
        "inputs_yuv_fmt": "str", "single_core_mode": "bool",
    }),
    "load": ("load_onnx", {
        "model_type": "onnx", "model": "str", "inputs": "strs", "input_size_list": "u64ss", "outputs": "strs",
    }),
    "build": ("build", {"do_quantization": "bool", "dataset": "str", "vora_batch_size": "i32", "auto_hybrid": "bool"}),
    "accuracy_analysis": ("accuracy_analysis", {
        "inputs": "strs", "output_dir": "str", "target": "str", "device_id": "str",
    }),
    "export": ("export_vora", {"export_path": "str"}),
}
POSITIONAL = {("load", "model"), ("export", "export_path")}


def config_value(gen, kind):
    r = gen.r
    if kind == "str":
        return gen.string()
    if kind == "onnx":
        return r.choice([Scalar('"Onnx"', "Onnx"), Scalar("'Onnx'", "Onnx"), Scalar('"\\x4Fnnx"', "Onnx"),
                         Scalar('"""\\\n  Onnx"""', "Onnx")])
    if kind == "bool":
        value = r.random() < 0.5
        return Scalar("true" if value else "false", value)
    if kind == "u8":
        return gen.integer(0, 255)
    if kind == "i32":
        return gen.integer(-(2**31), 2**31 - 1)
    if kind == "strs":
        return [gen.string() for _ in range(r.randrange(4))]
    if kind == "u64ss":
        return [[gen.integer(0, r.choice([300, 2**32, UINT64_MAX])) for _ in range(r.randrange(5))]
                for _ in range(r.randrange(3))]
    # f32s: floats of every notation, and integers that a double holds exactly
    return [gen.float() if r.random() < 0.8 else gen.integer(-(2**53), 2**53) for _ in range(r.randrange(5))]


def expected_argument(kind, value):
    if kind == "f32s":
        with np.errstate(over="ignore"):
            return [float(np.float32(item)) for item in value]
    return value


def test_values_reaching_the_converter(standin, tmp_path, cli):
    import vora_convert_inner

    rng = random.Random(SEED + 1)
    gen = Generator(rng, in_range=True)
    for n in range(max(1, COUNT // 15)):
        tree = {}
        for section, (_, keys) in rng.sample(list(SECTIONS.items()), rng.randrange(1, len(SECTIONS) + 1)):
            chosen = rng.sample(list(keys), rng.randrange(len(keys) + 1))
            if section == "load" and "model_type" not in chosen:
                chosen.append("model_type")
            table = {key: config_value(gen, keys[key]) for key in chosen}
            for _ in range(rng.randrange(3)):  # unknown keys are ignored
                key = "x_" + gen.key()
                table[key] = gen.value(1)
            tree[section] = {key: table[key] for key in rng.sample(list(table), len(table))}
        text = gen.document(tree)
        path = tmp_path / f"config-{n}.toml"
        path.write_bytes(text.encode("utf-8"))
        read = tomli_loads(text)
        standin.reset()
        standin.SCRIPT["export_vora"] = 0  # write nothing, wherever export_path points
        try:
            vora_convert_inner.rust_convert(str(path))
        except RuntimeError as e:
            pytest.fail(f"document {n} refused: {e}\n{text}")
        # vora-config plan shows the calls as the converter got them.
        plan = subprocess.run([cli, "plan", str(path)], capture_output=True, text=True, check=True).stdout
        recorded = [f"{c.method}({', '.join([*map(repr, c.args), *(f'{k}={v!r}' for k, v in c.kwargs.items())])})"
                    for c in standin.CALLS]
        assert plan.splitlines() == recorded, text
        calls = {c.method: c for c in standin.CALLS}
        for section, table in read.items():
            method, keys = SECTIONS[section]
            if section == "accuracy_analysis" and not table.get("inputs"):
                assert method not in calls, text
                continue
            call = calls[method]
            for key, value in table.items():
                if key not in keys or keys[key] == "onnx":
                    continue
                got = call.args[0] if (section, key) in POSITIONAL else call.kwargs[key]
                want = expected_argument(keys[key], value)
                assert canon(got) == canon(want), f"document {n}: [{section}] {key}: {got!r} != {want!r}\n{text}"

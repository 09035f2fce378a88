"""vora-config: check's findings and exit status, explain against the module,
and the exported schema against real JSON Schema and TOML clients."""

import json
import os
import random
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from conftest import REPO, write_example_files

EXAMPLE = REPO / "examples" / "example.toml"
SCHEMA_FILE = REPO / "examples" / "vora-config.schema.json"


def tool(name):
    """An executable of the environment the tests run in (its scripts directory first)."""
    for folder in (Path(sys.executable).parent, Path(sysconfig.get_path("scripts"))):
        if (folder / name).is_file():
            return str(folder / name)
    found = shutil.which(name)
    if not found:
        pytest.fail(f"{name} is not installed in this environment")
    return found


@pytest.fixture(scope="session")
def cli():
    """The vora-config program: VORA_CONFIG (CI points it at a sanitizer build), else the installed one."""
    return os.environ.get("VORA_CONFIG") or tool("vora-config")


def run(cli, *args, stdin=None):
    return subprocess.run([cli, *args], capture_output=True, input=stdin, timeout=120)


def check_json(cli, text, tmp_path, *options):
    path = tmp_path / "checked.toml"
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    # The files a configuration names are checked in test_check_files.py.
    done = run(cli, "check", "--no-files", "--format", "json", *options, str(path))
    assert done.returncode in (0, 1), done.stderr
    return done.returncode, json.loads(done.stdout)


# -- misspelled keys and sections: the warning's position and suggestion -----

MISSPELLINGS = [
    # (file, line, column, code, suggestion)
    ("[config]\noptimisation_level = 2\n", 2, 1, "unknown-key", "optimization_level"),
    ("[config]\nOPTIMIZATION_LEVEL = 2\n", 2, 1, "unknown-key", "optimization_level"),  # case only, any length
    ("[config]\nQuant_Img_rgb2bgr = true\n", 2, 1, "unknown-key", "quant_img_RGB2BGR"),
    ("[config]\nmean_value = [1]\n", 2, 1, "unknown-key", "mean_values"),
    ("[config]\nflaot_dtype = 'float16'\n", 2, 1, "unknown-key", "float_dtype"),  # a swap counts one
    ("[config]\ndataset = 'd'\n", 2, 1, "unknown-key", "[build]"),  # a key of another section
    ("[build]\ninputs = ['a']\n", 2, 1, "unknown-key", "[load]"),  # of two sections: the first declared
    ("[build]\ndatset = 'd'\n", 2, 1, "unknown-key", "dataset"),
    ("[load]\nmodel_type = 'Onnx'\nmodle = 'm.onnx'\n", 3, 1, "unknown-key", "model"),
    ("[load]\nmodeltype = 'Onnx'\n", 2, 1, "unknown-key", "model_type"),
    ("[export]\nexportpath = 'm.vora'\n", 2, 1, "unknown-key", "export_path"),
    ("[export]\npath = 'm.vora'\n", 2, 1, "unknown-key", "export_path"),  # a name people give it
    ("[config]\nxyz = 1\n", 2, 1, "unknown-key", None),
    ("[config]\nab = 1\n", 2, 1, "unknown-key", None),  # short keys still allow one edit: none is that close
    ("[confg]\noptimisation_level = 2\n[confg.sub]\n", 1, 2, "unknown-section", "config"),  # its keys: as [config]
    ("[Build]\n", 1, 2, "unknown-section", "build"),
    ("[accuracy]\n", 1, 2, "unknown-section", None),
    ("[[confg]]\n", 1, 3, "unknown-section", "config"),
    ("[config]\n'quantized-dtype' = ''\n", 2, 1, "unknown-key", "quantized_dtype"),
    ("optimization_level = 1\n", 1, 1, "unknown-key", "[config]"),  # a section key at the top level
    ("  [ config . extra ]\n", 1, 12, "unknown-key", None),  # a table inside a section is a key of it
    ("config.optimisation_level = 2\n", 1, 8, "unknown-key", "optimization_level"),
    ("[config]\n\"optimization level\" = 2\n", 2, 1, "unknown-key", "optimization_level"),
]


@pytest.mark.parametrize("text, line, column, code, suggestion", MISSPELLINGS)
def test_misspelled_key_is_an_error_with_its_suggestion(cli, tmp_path, text, line, column, code, suggestion):
    status, findings = check_json(cli, text, tmp_path)
    assert status == 1
    assert [(f["line"], f["column"], f["severity"], f["code"], f["suggestion"]) for f in findings
            if f["code"] != "load-error" and "as_section" not in f] == [(line, column, "error", code, suggestion)]


# -- values outside what their key documents --------------------------------

VALUES = [
    # (section, key = value, message or None when the value checks clean)
    ("config", "optimization_level = 7",
     "`optimization_level` = 7 is above the maximum of 3"),
    ("config", "optimization_level = 0x3", None),
    ("config", 'target_platform = ""',
     '`target_platform` is empty: the converter receives "", not its default; remove the line to leave it unset'),
    ("config", 'custom_string = "a\\tb\\nc"', None),  # tab and line feed are meant in texts but paths
    ("config", 'target_platform = "vora-q9"', None),  # an open list: "..." ends it
    ("config", 'quantized_algorithm = "mmsee"',
     '`quantized_algorithm` = "mmsee" is not one of normal, mmse; did you mean "mmse"?'),
    ("config", 'quantized_algorithm = "MMSE"',
     '`quantized_algorithm` = "MMSE" is not one of normal, mmse; did you mean "mmse"?'),
    ("config", 'quantized_algorithm = "kl_divergence"',
     '`quantized_algorithm` = "kl_divergence" is not one of normal, mmse'),
    ("config", 'quantized_method = "layer"',
     '`quantized_method` = "layer" is not one of channel, group, layers; did you mean "layers"?'),
    ("config", 'float_dtype = "float61"',
     '`float_dtype` = "float61" is not one of float16, float32, bfloat16; did you mean "float16"?'),
    ("config", 'quantized_dtype = "asymmetric_quantized-16"',
     '`quantized_dtype` = "asymmetric_quantized-16" is not one of asymmetric_quantized-8; '
     'did you mean "asymmetric_quantized-8"?'),
    ("config", 'quantized_dtype = """asymmetric_quantized-8"""', None),
    ("load", 'model_type = "Onnx"\ninputs = ["data"]', None),  # "(e.g. [...])" is an example
    ("build", "vora_batch_size = 1", None),
    ("config", "mean_values = [1, 2]\nstd_values = [3, 4]", None),
    # A literal string has no escapes, but its backslashes are no folder separators.
    ("export", "export_path = 'D:\\exports\\b.vora'",
     "`export_path` holds backslashes, which the converter reads as part of a name, not as folder separators"),
    ("export", 'export_path = "D:\\\\exports\\\\b.vora"',
     "`export_path` holds backslashes, which the converter reads as part of a name, not as folder separators"),
]


@pytest.mark.parametrize("section, entry, message", VALUES)
def test_value_outside_its_documented_range(cli, tmp_path, section, entry, message):
    status, findings = check_json(cli, f"[{section}]\n{entry}\n", tmp_path)
    assert status == 0
    expected = [] if message is None else [message]
    assert [f["message"] for f in findings] == expected
    if message is not None:
        value_column = entry.index("=") + 3
        assert (findings[0]["line"], findings[0]["column"]) == (2, value_column)


# -- what the converter would get wrong: in every format ---------------------

IGNORED = "; the converter ignores it"
AT_LOAD = "the converter reports it at [load], line 1"
GATE = [
    # (file, severity, code, (line, column, end line, end column), message, related (message, line, column)[,
    # help]); the finding of the code among the file's. A key of a misspelled section: its message ends in
    # "(as [section])", which JSON gives as "as_section".
    ("[Load]\nmodel_type = 'Onnx'\nmodle = 'm.onnx'\n", "error", "unknown-section", (1, 2, 1, 6),
     f"[Load] is not a section{IGNORED}; did you mean [load]?", None),
    ("[config]\noptimisation_level = 2\n", "error", "unknown-key", (2, 1, 2, 19),
     f"`optimisation_level` is not a key of [config]{IGNORED}; did you mean `optimization_level`?", None),
    ("optimization_level = 1\n", "error", "unknown-key", (1, 1, 1, 19),
     f"`optimization_level` is not a key at the top level{IGNORED}; it is a key of [config]", None),
    ("[config]\ndataset = 'd'\n", "error", "unknown-key", (2, 1, 2, 8),
     f"`dataset` is not a key of [config]{IGNORED}; it is a key of [build]", None),
    ('[export]\nexport_path = "D:\\exports\\build\\resnet.vora"\n', "error", "control-character", (2, 18, 2, 20),
     "`\\e`, `\\b`, `\\r` make control characters in `export_path`; write the path as a literal string, "
     "'D:\\exports\\build\\resnet.vora', or with forward slashes", None),
    ('[export]\nexport_path = "C:\\tmp\\bit\'s.vora"\n', "error", "control-character", (2, 18, 2, 20),
     "`\\t`, `\\b` make control characters in `export_path`; write the path with forward slashes", None),
    ('[accuracy_analysis]\ninputs = ["a.npy", "D:\\run\\b.npy"]\n', "error", "control-character", (2, 23, 2, 25),
     "`\\r`, `\\b` make control characters in `inputs`; write the path as a literal string, 'D:\\run\\b.npy', "
     "or with forward slashes", None),
    ('[config]\ncustom_string = "a\\u001bb"\n', "warning", "control-character", (2, 19, 2, 25),
     "`\\u001b` makes a control character in `custom_string`", None),
    ('[load]\nmodel_type = "Onnx"\ninput_initial_val_file = ""\n', "warning", "empty-value", (3, 26, 3, 28),
     '`input_initial_val_file` is empty: the converter receives "", not its default; remove the line to leave it unset',
     None),
    ("[config]\nmean_values = []\n", "warning", "empty-value", (2, 15, 2, 17),
     "`mean_values` is empty: the converter receives [], not its default; remove the line to leave it unset", None),
    ("[config]\nmean_values = [1, 2, 3]\nstd_values = [1]\n", "warning", "count-mismatch", (3, 14, 3, 17),
     "`std_values` holds 1 value and `mean_values` 3; the converter pairs them one to one",
     ("`mean_values` is here", 2, 15), "write 3 values, one for each of `mean_values`"),
    ('[load]\nmodel_type = "Onnx"\ninputs = ["a", "b"]\ninput_size_list = [[1, 3, 8, 8]]\n', "error",
     "count-mismatch", (4, 19, 4, 33),
     "`input_size_list` holds 1 item and `inputs` 2; the converter pairs them one to one", ("`inputs` is here", 3, 10),
     "write 2 items, one for each of `inputs`"),
    ("[build]\nvora_batch_size = 0\n", "error", "out-of-range", (2, 19, 2, 20),
     "`vora_batch_size` = 0 is below the minimum of 1", None),
    ("[CONFIG]\noptimisation_level = 2\n", "error", "unknown-key", (2, 1, 2, 19),
     f"`optimisation_level` is not a key of [config]{IGNORED}; did you mean `optimization_level`? (as [config])", None),
    ('[Config]\nquantized_algorithm = "fp16"\n', "warning", "unknown-choice", (2, 23, 2, 29),
     '`quantized_algorithm` = "fp16" is not one of normal, mmse (as [config])', None),
    ("[CONFIG]\noptimization_level = 'high'\n", "error", "load-error", (2, 22, 2, 28),
     "invalid type: string \"high\", expected u8 (as [config])", None, "an integer from 0 to 3"),
    ("[expor]\nxport_path = 'a'\n", "error", "unknown-key", (2, 1, 2, 11),
     f"`xport_path` is not a key of [export]{IGNORED}; did you mean `export_path`? (as [export])", None),
    ('[load]\nmodel_type = "Onnx"\ninputs = 1\n', "error", "load-error", (3, 10, 3, 11),
     "invalid type: integer `1`, expected a sequence", (AT_LOAD, 1, 1)),
    ('[load]\nmodel_type = "Onnx"\ninputs = ["a", 2]\n', "error", "load-error", (3, 16, 3, 17),
     "invalid type: integer `2`, expected a string", (AT_LOAD, 1, 1)),
    ('[load]\nmodel_type = "Onnx"\ninput_size_list = [1, 3, 224, 224]\n', "error", "load-error", (3, 19, 3, 35),
     "invalid type: integer `1`, expected a sequence", (AT_LOAD, 1, 1),
     "a list of shapes, one per model input, e.g. [[1, 3, 224, 224]]"),
    ("[config]\nmean_values = ['a', 'b']\n", "error", "load-error", (2, 15, 2, 25),
     'invalid type: string "a", expected f32', None, "a number"),
    ("[load]\nmodel_type = 'ONNX'\n", "error", "load-error", (2, 14, 2, 20),
     'unknown variant `ONNX`, expected `Onnx`; did you mean "Onnx"?', None),
    # Not TOML: where the other half of the error is.
    ("[config]\noptimization_level = 1\n\noptimization_level = 2\n", "error", "parse-error", (4, 1, 4, 19),
     "duplicate key config.optimization_level", ("first defined here", 2, 1)),
    ("[load]\nmodel_type = 'Onnx'\ninputs = ['a', 'b'\noutputs = ['c']\n", "error", "parse-error", (4, 1, 4, 2),
     "expected `,` or `]` after an array element, found `o`", ("opened here", 3, 10)),
]
GATE = [row if len(row) == 7 else (*row, None) for row in GATE]


def help_line(help):
    """A help as the formats write it: what was expected after "expected ", a sentence of its own (one that tells
    what to write) as it is."""
    return help if help.startswith(("write ", "remove ", "add ", "name ")) else f"expected {help}"


@pytest.mark.parametrize("format", ["text", "json", "github", "sarif"])
@pytest.mark.parametrize("text, severity, code, place, message, related, help", GATE)
def test_what_the_converter_would_get_wrong_in_every_format(cli, tmp_path, format, text, severity, code, place,
                                                            message, related, help):
    (tmp_path / "c.toml").write_text(text, encoding="utf-8")
    done = subprocess.run([cli, "check", "--no-files", "--format", format, "c.toml"], capture_output=True, cwd=tmp_path,
                          timeout=60)
    as_section = message.rpartition(" (as [")[2][:-2] if message.endswith("])") else None
    # A key of a misspelled section comes with the section's error.
    assert done.returncode == (1 if severity == "error" or as_section else 0), done.stderr
    line, column, end_line, end_column = place
    output = done.stdout.decode()
    if format == "text":
        lines = output.splitlines()
        at = lines.index(f"c.toml:{line}:{column}: {severity}[{code}]: {message}")
        shown_help = [shown for shown in lines[at:lines.index("", at)] if shown.startswith("  = help: ")]
        assert shown_help == ([f"  = help: {help_line(help)}"] if help else [])
    elif format == "json":
        [f] = [f for f in json.loads(output) if f["code"] == code]
        plain = message[:-len(f" (as [{as_section}])")] if as_section else message
        assert ((f["severity"], f["code"], f["line"], f["column"], f["end_line"], f["end_column"], f["message"],
                 f.get("as_section"), [(r["message"], r["line"], r["column"]) for r in f["related"]], f["help"])
                == (severity, code, *place, plain, as_section, [related] if related else [], help))
    elif format == "github":
        tail = f" ({related[0]} at {related[1]}:{related[2]})" if related else ""
        tail += f"%0Ahelp: {help_line(help)}" if help else ""
        assert [shown for shown in output.splitlines(True) if f"title=vora-config {code}::" in shown] == [
            f"::{severity} file=c.toml,line={line},col={column},endLine={end_line},"
            f"endColumn={end_column},title=vora-config {code}::{message}{tail}\n"]
    else:
        [result] = [r for r in sarif_log(output)["runs"][0]["results"] if r["ruleId"] == code]
        region = result["locations"][0]["physicalLocation"]["region"]
        assert ((result["level"], result["ruleId"], result["message"]["text"], region["startLine"],
                 region["startColumn"], region["endLine"], region["endColumn"])
                == (severity, code, message, *place))
        markdown = result["message"].get("markdown", "").replace("\\[", "[").replace("\\]", "]")
        assert markdown.partition("help: ")[2] == (help_line(help) if help else "")
    strict = subprocess.run([cli, "check", "--strict", "--quiet", "c.toml"], capture_output=True, cwd=tmp_path)
    assert strict.returncode == 1


def test_the_typo_files_of_the_field_reports_fail(cli, tmp_path):
    typos = ("[Load]\nmodel_type = 'Onnx'\nmodle = 'resnet.onnx'\n[config]\noptimisation_level = 2\n"
             "[export]\nexport_pth = 'resnet.vora'\n")
    backslashes = '[export]\nexport_path = "D:\\exports\\build\\resnet.vora"\n'
    for text, expected in [(typos, [(1, 2, "unknown-section"), (3, 1, "unknown-key"), (5, 1, "unknown-key"),
                                    (7, 1, "unknown-key")]),
                           (backslashes, [(2, 18, "control-character")])]:
        status, findings = check_json(cli, text, tmp_path)
        assert (status, [(f["line"], f["column"], f["code"]) for f in findings]) == (1, expected)
        assert {f["severity"] for f in findings} == {"error"}


# -- suppression comments -----------------------------------------------------

SILENCED = [
    # (file, the findings shown (line, column, code), how many are silenced)
    ("[config]\noptimisation_level = 3 # vora-config: ignore\n", [], 1),
    ("[config]\nmean_values = [] #vora-config:ignore[ empty-value ]\nfoo = 1 # vora-config: ignore[empty-value]\n",
     [(3, 1, "unknown-key")], 1),
    ("[config]\nfoo = [] # vora-config: ignore[unknown-kye, unknown-key]\n", [(2, 32, "unknown-code")], 1),
    ("[config]\nfoo = '# vora-config: ignore'\n", [(2, 1, "unknown-key")], 0),  # inside a string
    ("[config]\nfoo = 1 # vora-config: ignored\n", [(2, 1, "unknown-key")], 0),
    ("[config]\nmean_values = [\n] # vora-config: ignore\n", [(2, 15, "empty-value")], 0),  # not the line it starts on
    ("[config]\nmean_values = [ # vora-config: ignore\n]\noptimization_level = 300 # vora-config: ignore[load-error]\n",
     [], 2),
    ("a = 1\na = 2 # vora-config: ignore\n", [(2, 1, "parse-error")], 0),  # no document: nothing to silence
]


@pytest.mark.parametrize("format", ["text", "json", "github", "sarif"])
@pytest.mark.parametrize("text, shown, silenced", SILENCED)
def test_a_comment_silences_the_findings_of_its_line_in_every_format(cli, tmp_path, format, text, shown, silenced):
    (tmp_path / "s.toml").write_text(text, encoding="utf-8")
    done = subprocess.run([cli, "check", "--format", format, "s.toml"], capture_output=True, cwd=tmp_path)
    output = done.stdout.decode()
    if format == "text":
        headlines = re.finditer(r"^s\.toml:(\d+):(\d+): \w+\[([\w-]+)\]", output, re.M)
        found = [(int(m[1]), int(m[2]), m[3]) for m in headlines]
        errors = sum(code in ("unknown-key", "parse-error") for _, _, code in found)
        summary = f"1 file checked: {errors} error{'s' * (errors != 1)}, {len(found) - errors} " \
                  f"warning{'s' * (len(found) - errors != 1)}" + (f", {silenced} silenced" if silenced else "")
        assert output.splitlines()[-1] == summary
    elif format == "json":
        findings = json.loads(output)
        found = [(f["line"], f["column"], f["code"]) for f in findings if "silenced" not in f]
        assert [f["silenced"] for f in findings if "silenced" in f] == [True] * silenced
    elif format == "github":
        annotations = re.finditer(r"^::\w+ file=s\.toml,line=(\d+),col=(\d+),.*title=vora-config ([\w-]+)::", output,
                                  re.M)
        found = [(int(m[1]), int(m[2]), m[3]) for m in annotations]
    else:
        results = sarif_log(output)["runs"][0]["results"]
        found = [(r["locations"][0]["physicalLocation"]["region"]["startLine"],
                  r["locations"][0]["physicalLocation"]["region"]["startColumn"], r["ruleId"])
                 for r in results if "suppressions" not in r]
        assert [r["suppressions"] for r in results if "suppressions" in r] == [[{"kind": "inSource"}]] * silenced
    assert found == shown
    # A silenced finding does not fail the check, not even with --strict.
    assert done.returncode == int(any(code in ("unknown-key", "parse-error") for _, _, code in shown))
    strict = subprocess.run([cli, "check", "--strict", "--quiet", "s.toml"], capture_output=True, cwd=tmp_path)
    assert strict.returncode == int(bool(shown))


# -- errors, order, formats and exit status ----------------------------------

def test_error_is_the_modules_message_at_its_position_among_warnings_in_file_order(cli, tmp_path):
    text = "[build]\nvora_batch_size = 2147483648\n[config]\nfoo = 1\n[confg]\n"
    status, findings = check_json(cli, text, tmp_path)
    assert status == 1
    assert [(f["line"], f["column"], f["end_line"], f["end_column"], f["severity"], f["code"], f["message"])
            for f in findings] == [
        (2, 19, 2, 29, "error", "load-error", "invalid value: integer `2147483648`, expected i32"),
        (4, 1, 4, 4, "error", "unknown-key", "`foo` is not a key of [config]; the converter ignores it"),
        (5, 2, 5, 7, "error", "unknown-section", "[confg] is not a section; the converter ignores it; did you mean [config]?"),
    ]


def test_positions_count_characters_after_a_byte_order_mark_across_crlf_lines(cli, tmp_path):
    text = '\ufeff[config]\r\n"\u00e9" = 1\r\nfoo = 1\r\nmean_values = ["\u4e2d", 1]\r\n'
    path = tmp_path / "checked.toml"
    path.write_bytes(text.encode())
    findings = json.loads(run(cli, "check", "--format", "json", str(path)).stdout)
    assert [(f["line"], f["column"], f["end_line"], f["end_column"], f["code"]) for f in findings] == [
        (2, 1, 2, 4, "unknown-key"), (3, 1, 3, 4, "unknown-key"), (4, 16, 4, 19, "load-error")]


def test_text_format_points_at_the_span(cli, tmp_path):
    path = tmp_path / "bad.toml"
    path.write_text('[config]\n  optimisation_level = 2\nquantized_algorithm = "mmsee"\n', encoding="utf-8")
    done = run(cli, "check", str(path))
    assert done.returncode == 1
    assert done.stdout.decode() == textwrap.dedent(f"""\
        {path}:2:3: error[unknown-key]: `optimisation_level` is not a key of [config]; the converter ignores it; did you mean `optimization_level`?
          |
        2 |   optimisation_level = 2
          |   ^^^^^^^^^^^^^^^^^^

        {path}:3:23: warning[unknown-choice]: `quantized_algorithm` = "mmsee" is not one of normal, mmse; did you mean "mmse"?
          |
        3 | quantized_algorithm = "mmsee"
          |                       ^^^^^^^

        1 file checked: 1 error, 1 warning
        """)


SARIF_SCHEMA = Path(os.environ.get("VORA_SARIF_SCHEMA", REPO.parent / "shared" / "sarif" / "sarif-schema-2.1.0.json"))


def sarif_log(output):
    """The SARIF log of `check --format sarif`, validated against the SARIF 2.1.0 schema when it and the
    validator are at hand."""
    try:
        import jsonschema
    except ImportError:  # the ARM64 run under emulation has no validator
        jsonschema = None

    log = json.loads(output)
    if jsonschema and SARIF_SCHEMA.is_file():
        validator = jsonschema.Draft4Validator(json.loads(SARIF_SCHEMA.read_text()),
                                               format_checker=jsonschema.Draft4Validator.FORMAT_CHECKER)
        validator.validate(log)
    return log


@pytest.mark.parametrize("format", ["github", "sarif"])
def test_github_and_sarif_carry_the_help_line(cli, tmp_path, format):
    if format == "sarif" and not SARIF_SCHEMA.is_file():
        pytest.skip(f"no SARIF schema at {SARIF_SCHEMA} (VORA_SARIF_SCHEMA names it)")
    (tmp_path / "h.toml").write_text("[config]\noptimization_level = 300\n_x = 1\n")
    done = subprocess.run([cli, "check", "--format", format, "h.toml"], capture_output=True, cwd=tmp_path)
    message = "invalid value: integer `300`, expected u8"
    if format == "github":
        assert done.stdout.decode().splitlines() == [
            "::error file=h.toml,line=2,col=22,endLine=2,endColumn=25,title=vora-config load-error::"
            f"{message}%0Ahelp: expected an integer from 0 to 3",
            "::error file=h.toml,line=3,col=1,endLine=3,endColumn=3,title=vora-config unknown-key::"
            "`_x` is not a key of [config]; the converter ignores it"]
    else:
        assert [r["message"] for r in sarif_log(done.stdout)["runs"][0]["results"]] == [
            {"text": message, "markdown": f"{message}\n\nhelp: expected an integer from 0 to 3"},
            {"text": "`_x` is not a key of [config]; the converter ignores it"}]


# (a file's name, its headline in the text format, its github `file` property):
# nothing in a name acts on a terminal or starts a line; github's own escaping
# keeps a line break of the name, which GitHub reads back.
FILE_NAMES = [
    (b"a\x1b]0;T\x07.toml", "a\\u{1b}]0;T\\u{7}.toml:2:1", "a\\u{1b}]0;T\\u{7}.toml"),
    (b"b\n1 file checked.toml", "b\\u{a}1 file checked.toml:2:1", "b%0A1 file checked.toml"),
    (b"c\r\xc2\x9b2J\xe2\x80\xae.toml", "c\\u{d}\\u{9b}2J\\u{202e}.toml:2:1", "c%0D\\u{9b}2J\\u{202e}.toml"),
    (b"d\xff.toml", "d\\x{ff}.toml:2:1", "d\\x{ff}.toml"),
]


@pytest.mark.parametrize("name, headline, property", FILE_NAMES)
def test_file_names_are_escaped_in_the_text_and_github_formats(cli, tmp_path, name, headline, property):
    (tmp_path / os.fsdecode(name)).write_text("[config]\nfoo = 1\n")
    text = subprocess.run([cli, "check", name], capture_output=True, cwd=tmp_path, timeout=60).stdout.decode()
    lines = text.splitlines()
    assert lines[0] == f"{headline}: error[unknown-key]: `foo` is not a key of [config]; the converter ignores it"
    assert [line for line in lines if line.startswith("1 file")] == ["1 file checked: 1 error, 0 warnings"]
    github = subprocess.run([cli, "check", "--format", "github", name], capture_output=True, cwd=tmp_path,
                            timeout=60).stdout.decode()
    assert github.startswith(f"::error file={property},line=2,col=1,")


@pytest.mark.parametrize("format, shown", [
    ("text", '2 | target_platform = vora-m1 # chip\n  |                   ^\n'
             '  = help: text values are quoted: "vora-m1"\n'),
    ("github", 'found `v`%0Ahelp: text values are quoted: "vora-m1"\n'),
    ("sarif", '"markdown": "expected a value, found `v`\\n\\nhelp: text values are quoted: \\"vora-m1\\""'),
])
def test_an_unquoted_text_gets_its_quoted_form_as_help_in_every_format(cli, tmp_path, format, shown):
    (tmp_path / "u.toml").write_text("[config]\ntarget_platform = vora-m1 # chip\n")
    done = subprocess.run([cli, "check", "--format", format, "u.toml"], capture_output=True, cwd=tmp_path)
    assert (done.returncode, shown in done.stdout.decode()) == (1, True), done.stdout.decode()


def test_github_annotations_escape_their_properties_and_message(cli, tmp_path):
    os.chdir(tmp_path)
    Path("a,b:c\n%.toml").write_text('[config]\n"100%\\ndone" = 1\n', encoding="utf-8")
    done = run(cli, "check", "--format", "github", "a,b:c\n%.toml")
    assert done.returncode == 1
    assert done.stdout.decode() == (
        "::error file=a%2Cb%3Ac%0A%25.toml,line=2,col=1,endLine=2,endColumn=13,title=vora-config unknown-key::"
        '`"100%25\\ndone"` is not a key of [config]; the converter ignores it\n'
    )


@pytest.mark.parametrize("args, stdin, status", [
    (["check", "EXAMPLE"], None, 0),
    (["check", "WARNED"], None, 0),
    (["check", "UNKNOWN"], None, 1),
    (["check", "--strict", "WARNED"], None, 1),
    (["check", "EXAMPLE", "FAILING"], None, 1),
    (["check", "EXAMPLE", "missing.toml"], None, 1),
    (["check", "--format=json", "-"], b"[config]\nfoo = 1\n", 1),
    (["check", "--format=json", "-"], b"[Config]\n", 1),
    (["check", "-"], b"[build]\ndataset = 1\n", 1),
    (["check"], None, 2),
    (["check", "--format", "xml", "EXAMPLE"], None, 2),
    (["check", "--fixes", "EXAMPLE"], None, 2),
    (["check", "--diff", "--fix", "EXAMPLE"], None, 2),
    (["check", "--fix", "--diff", "EXAMPLE"], None, 2),
    (["check", "--format=sarif", "--diff", "EXAMPLE"], None, 2),
    (["check", "--diff", "--format", "github", "EXAMPLE"], None, 2),
    (["check", "--diff", "--format", "text", "EXAMPLE"], None, 0),
    (["explain", "EXAMPLE", "EXAMPLE"], None, 2),
    (["lint", "EXAMPLE"], None, 2),
    ([], None, 2),
    (["--help"], None, 0),
    (["check", "--help"], None, 0),
    (["check", "--", "--strict"], None, 1),  # after "--" a file named --strict, which is missing
])
def test_exit_status(cli, tmp_path, args, stdin, status):
    write_example_files(tmp_path)
    (tmp_path / "warned.toml").write_text("[config]\noptimization_level = 7\n")
    (tmp_path / "unknown.toml").write_text("[config]\noptimisation_level = 1\n")
    (tmp_path / "failing.toml").write_text("[build]\ndataset = 1\n")
    names = {"EXAMPLE": str(EXAMPLE), "WARNED": str(tmp_path / "warned.toml"),
             "UNKNOWN": str(tmp_path / "unknown.toml"), "FAILING": str(tmp_path / "failing.toml")}
    done = subprocess.run([cli, *[names.get(a, a) for a in args]], capture_output=True, input=stdin,
                          cwd=tmp_path, timeout=60)
    assert done.returncode == status, done.stderr
    if status == 2:
        assert done.stdout == b"" and done.stderr.startswith(b"vora-config: ")
        assert b"usage: vora-config check" in done.stderr


def test_version_is_the_packages(cli):
    from importlib.metadata import version

    done = run(cli, "--version")
    assert (done.returncode, done.stdout.decode()) == (0, f"vora-config {version('vora_convert_inner')}\n")


def test_read_errors_are_findings_of_their_file(cli, tmp_path):
    done = run(cli, "check", "--format", "json", str(tmp_path / "missing.toml"), "-", stdin=b"\xc3")
    assert done.returncode == 1
    assert [(f["file"], f["line"], f["code"], f["message"]) for f in json.loads(done.stdout)] == [
        (str(tmp_path / "missing.toml"), None, "read-error", "No such file or directory (os error 2)"),
        ("<stdin>", None, "read-error", "stream did not contain valid UTF-8"),
    ]


# -- every error of a file, the key behind it, the type in words -------------

EVERY_ERROR = [
    # (file, [(line, column, message, related (message, line, column) or None, help)])
    ("[config]\noptimization_level = 300\nmean_values = ['a', 1, 2.5, true]\nfoo = 1\n[build]\nvora_batch_size = '8'\n",
     [(2, 22, "invalid value: integer `300`, expected u8", None, "an integer from 0 to 3"),
      (3, 16, 'invalid type: string "a", expected f32', None, "a number"),
      (3, 29, "invalid type: boolean `true`, expected f32", None, "a number"),
      (4, 1, "`foo` is not a key of [config]; the converter ignores it", None, None),
      (6, 19, 'invalid type: string "8", expected i32', None,
       "an integer from -2147483648 to 2147483647 without quotes")]),
    ("[load]\nmodel_type = 'Onnx'\ninputs = 1\ninput_size_list = [[-1]]\n",
     [(3, 10, "invalid type: integer `1`, expected a sequence", (AT_LOAD, 1, 1), None),
      (4, 21, "invalid value: integer `-1`, expected usize", (AT_LOAD, 1, 1), "a whole number ≥ 0")]),
    ("load = ['Onnx', 1]\n",  # the array form: the element stands for the key
     [(1, 17, "invalid type: integer `1`, expected a string", (AT_LOAD, 1, 8), None)]),
    # A list whose elements all fail alike: one finding at the list; else one at each element that fails.
    ("\n[load]\nmodel_type = 'Onnx'\ninput_size_list = [[1], 2, 3]\n",
     [(4, 25, "invalid type: integer `2`, expected a sequence", ("the converter reports it at [load], line 2", 2, 1),
       None),
      (4, 28, "invalid type: integer `3`, expected a sequence", ("the converter reports it at [load], line 2", 2, 1),
       None)]),
    ("[load]\nmodel_type = 'Onnx'\ninputs = [1, 2]\ninput_size_list = [[1], [2]]\n",
     [(3, 10, "invalid type: integer `1`, expected a string", (AT_LOAD, 1, 1), None)]),
    ("[config]\nmean_values = [1, 'a']\nstd_values = ['a', true]\n[build]\nvora_batch_size = '8'\n",
     [(2, 19, 'invalid type: string "a", expected f32', None, "a number"),
      (3, 15, 'invalid type: string "a", expected f32', None, "a number"),
      (3, 20, "invalid type: boolean `true`, expected f32", None, "a number"),
      (5, 19, 'invalid type: string "8", expected i32', None,
       "an integer from -2147483648 to 2147483647 without quotes")]),
    ("[load]\nmodel_type = 'Onnx'\ninput_size_list = [[1, 2], [3, 4]]\n", []),
    ("[load]\nmodel_type = 'Onnx'\ninput_size_list = [['a', 'b'], ['c']]\n",
     [(3, 20, 'invalid type: string "a", expected usize', (AT_LOAD, 1, 1), "a whole number ≥ 0"),
      (3, 33, 'invalid type: string "c", expected usize', (AT_LOAD, 1, 1), "a whole number ≥ 0")]),
    ("config = 1\nload = 2\n",
     [(1, 10, "invalid type: integer `1`, expected struct ConfigConfig", None, "a table"),
      (2, 8, "invalid type: integer `2`, expected internally tagged enum LoadConfig", None, "a table")]),
    ("[load]\nmodel_type = 1\n", [(2, 14, "invalid type: integer `1`, expected variant identifier", None,
                                  'the string "Onnx"')]),
    ("[config]\noptimization_level = 300\nx = \n",  # not TOML: the syntax error alone
     [(3, 5, "expected a value, found a line break", None, None)]),
    ("[config]\n[build]\n[config]\n", [(3, 2, "table config is defined more than once", ("first defined here", 1, 1),
                                         None)]),
    ("[config]\nmean_values = [1.0,\n  2.0\n[build]\n",
     [(4, 1, "expected `,` or `]` after an array element, found `[`", ("opened here", 2, 15), None)]),
    ("x = { a = 1, b = [2] ",
     [(1, 22, "expected `,` or `}` after a value in an inline table, found the end of the file", ("opened here", 1, 5),
       None)]),
    ("x = [1, 2 3]\n", [(1, 11, "expected `,` or `]` after an array element, found `3`", None, None)]),  # closed later
    # A text written without quotes: the help quotes it, up to the comment, its quotes escaped.
    ("[config]\ntarget_platform = vora-m1   # the chip\n",
     [(2, 19, "expected a value, found `v`", None, 'text values are quoted: "vora-m1"')]),
    ('[export]\nexport_path = my "best" model\r\n',
     [(2, 15, "expected a value, found `m`", None, 'text values are quoted: "my \\"best\\" model"')]),
    ("[config]\nmean_values = [a]\n", [(2, 16, "expected a value, found `a`", None, None)]),
    # A suppression comment naming no code: a warning of its own at the code, the code likely meant suggested.
    ("[config]\nfoo = 1 # vora-config: ignore[unknown-kye]\n",
     [(2, 1, "`foo` is not a key of [config]; the converter ignores it", None, None),
      (2, 31, "`unknown-kye` is not a code of vora-config check; it silences nothing; did you mean `unknown-key`?",
       None, None)]),
]


@pytest.mark.parametrize("text, expected", EVERY_ERROR)
def test_every_error_of_a_file_in_file_order(cli, tmp_path, text, expected):
    status, findings = check_json(cli, text, tmp_path)
    assert status == int(bool(expected))
    found = []
    for f in findings:
        related = [(r["message"], r["line"], r["column"]) for r in f["related"]]
        found.append((f["line"], f["column"], f["message"], related[0] if related else None, f["help"]))
    assert found == expected


def test_text_format_notes_the_key_gives_help_and_cuts_long_lines(cli, tmp_path):
    path = tmp_path / "t.toml"
    path.write_text('[load]\nmodel_type = "Onnx"\ninputs = "in"\n[config]\nmean_values = [' + "1, " * 100 + '"x", 2]\n')
    done = run(cli, "check", str(path))
    assert done.returncode == 1
    assert done.stdout.decode() == textwrap.dedent(f"""\
        {path}:3:10: error[load-error]: invalid type: string "in", expected a sequence
          |
        3 | inputs = "in"
          |          ^^^^
        {path}:1:1: note: the converter reports it at [load], line 1
          |
        1 | [load]
          | ^^^^^^

        {path}:5:316: error[load-error]: invalid type: string "x", expected f32
          |
        5 | ... 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, "x", 2]
          |                                            ^^^
          = help: expected a number

        1 file checked: 2 errors, 0 warnings
        """)


SHOWN_LINES = [
    # (file, the shown line and its carets): control characters escaped, a
    # tab as four spaces, wide characters two columns, combining marks none.
    (b"[config]\n# \x1b]0;pwned\x07 x\n", "2 | # \\u{1b}]0;pwned\\u{7} x\n  |   ^^^^^^\n"),
    (b"[config]\nfoo\t=\t1 # \xc2\x9b2J \xe2\x80\xae\n", "2 | foo    =    1 # \\u{9b}2J \\u{202e}\n  | ^^^\n"),
    (b"[config]\n\t\tfoo = 1\n", "2 |         foo = 1\n  |         ^^^\n"),
    (b"[config]\nx = \xc2\x9b[2J\n", "expected a value, found `\\u{9b}`\n  |\n2 | x = \\u{9b}[2J\n  |     ^^^^^^\n"),
    ('config = { "\u4e2d\u6587" = 1, "e\u0301" = 2, foo = 3 }\n'.encode(),
     'foo = 3 }\n  | ' + " " * 32 + "^^^\n"),  # 11 + 6 + 6 + 3 + 6 columns before foo
    ('[config]\n"\u4e2d\u6587" = 1\n'.encode(), '  | ^^^^^^\n'),
]


@pytest.mark.parametrize("text, shown", SHOWN_LINES)
def test_text_format_shows_source_lines_safely_and_aligns_carets_by_width(cli, tmp_path, text, shown):
    (tmp_path / "s.toml").write_bytes(text)
    output = run(cli, "check", str(tmp_path / "s.toml")).stdout.decode()
    assert shown in output and "\x1b" not in output and "\x07" not in output and "\x9b" not in output


def test_explain_error_escapes_control_characters_the_module_keeps_them(cli, tmp_path):
    import vora_convert_inner

    path = tmp_path / "e.toml"
    path.write_bytes(b"[config]\n\t# \x1b[2J\x07\n")
    done = run(cli, "explain", str(path))
    assert (done.returncode, done.stderr.decode()) == (1, (
        f"vora-config: {path}: TOML parse error at line 2, column 4\n  |\n2 |     # \\u{{1b}}[2J\\u{{7}}\n"
        "  |       ^^^^^^\ncomments may not hold the control character U+001B\n"))
    with pytest.raises(RuntimeError) as raised:
        vora_convert_inner.rust_explain(str(path))
    assert "2 | \t# \x1b[2J\x07\n" in str(raised.value)


@pytest.mark.parametrize("args, env, terminal, colored", [
    ([], {}, True, True),
    ([], {"NO_COLOR": "1"}, True, False),
    ([], {"NO_COLOR": ""}, True, True),
    (["--color", "never"], {}, True, False),
    ([], {}, False, False),
    (["--color=always"], {"NO_COLOR": "1"}, False, True),
])
def test_colour_on_a_terminal_or_when_asked(cli, tmp_path, args, env, terminal, colored):
    import pty

    (tmp_path / "w.toml").write_text("[config]\nfoo = 1\n")
    reader, writer = pty.openpty() if terminal else os.pipe()
    environment = {**{k: v for k, v in os.environ.items() if k != "NO_COLOR"}, **env}
    done = subprocess.run([cli, "check", *args, "w.toml"], stdout=writer, cwd=tmp_path, env=environment,
                          timeout=60)
    os.close(writer)
    output = os.read(reader, 65536).replace(b"\r\n", b"\n")
    os.close(reader)
    assert done.returncode == 1
    plain = b"w.toml:2:1: error[unknown-key]: `foo` is not a key of [config]; the converter ignores it\n  |\n2 | foo = 1\n  | ^^^\n"
    painted = (b"w.toml:2:1: \x1b[1;31merror[unknown-key]\x1b[0m: `foo` is not a key of [config]; the converter ignores it\n"
               b"  |\n2 | foo = 1\n  | \x1b[1;31m^^^\x1b[0m\n")
    assert output.startswith(painted if colored else plain)


@pytest.mark.parametrize("args, first_line", [
    (["check", "--help"], "usage: vora-config check [--strict] [--quiet] [--fix] [--diff]"),
    (["explain", "-h"], "usage: vora-config explain [--format text|json|list] FILE"),
    (["plan", "--help"], "usage: vora-config plan [--format text|json] [--python 3.X] FILE"),
    (["help", "schema"], "usage: vora-config schema"),
    (["check", "--quiet", "WARNED", "FAILING"], "2 files checked: 1 error, 1 warning"),
    (["check", "-q", "--format", "sarif", "WARNED"], "1 file checked: 0 errors, 1 warning"),
])
def test_command_help_and_quiet(cli, tmp_path, args, first_line):
    (tmp_path / "warned.toml").write_text("[config]\noptimization_level = 7\n")
    (tmp_path / "failing.toml").write_text("[build]\ndataset = 1\n")
    names = {"WARNED": "warned.toml", "FAILING": "failing.toml"}
    done = subprocess.run([cli, *[names.get(a, a) for a in args]], capture_output=True, cwd=tmp_path, timeout=60)
    lines = done.stdout.decode().splitlines()
    assert lines[0] == first_line
    assert len(lines) == 1 if "check" in args and "--help" not in args else done.stdout.count(b"usage:") == 1


def test_sarif_holds_what_json_holds_and_names_keep_their_bytes(cli, tmp_path):
    from urllib.parse import unquote_to_bytes

    names = [b"a b.toml", b"\xff.toml", b"\xfe.toml", "caf\u00e9.toml".encode()]
    for name in names:
        (tmp_path / os.fsdecode(name)).write_text("[load]\nmodel_type = 'Onnx'\ninputs = 1\n[config]\nfoo = 1\n")
    json_done = subprocess.run([cli, "check", "--format", "json", *names], capture_output=True, cwd=tmp_path)
    sarif_done = subprocess.run([cli, "check", "--format", "sarif", *names], capture_output=True, cwd=tmp_path)
    assert json_done.returncode == sarif_done.returncode == 1
    findings, log = json.loads(json_done.stdout), sarif_log(sarif_done.stdout)
    assert [os.fsencode(f["file"]) for f in findings[::2]] == names
    assert (log["version"], log["$schema"].endswith("sarif-schema-2.1.0.json"), len(log["runs"])) == ("2.1.0", True, 1)
    run_ = log["runs"][0]
    driver = run_["tool"]["driver"]
    assert (driver["name"], run_["columnKind"]) == ("vora-config", "unicodeCodePoints")
    assert driver["version"] == run(cli, "--version").stdout.decode().split()[1]
    rules = [rule["id"] for rule in driver["rules"]]

    def place(location):
        physical = location["physicalLocation"]
        region = physical["region"]
        return (unquote_to_bytes(physical["artifactLocation"]["uri"]), region["startLine"],
                region["startColumn"], region["endLine"], region["endColumn"])

    assert [(r["ruleId"], rules[r["ruleIndex"]], r["level"], r["message"]["text"], place(r["locations"][0]),
             [(place(x), x["message"]["text"]) for x in r.get("relatedLocations", [])])
            for r in run_["results"]] == [
        (f["code"], f["code"], f["severity"], f["message"],
         (os.fsencode(f["file"]), f["line"], f["column"], f["end_line"], f["end_column"]),
         [((os.fsencode(f["file"]), x["line"], x["column"], x["end_line"], x["end_column"]), x["message"])
          for x in f["related"]])
        for f in findings]


@pytest.mark.parametrize("format, marker", [("text", b"foo"), ("json", b"foo"), ("github", b"foo"),
                                            ("sarif", b"foo")])
def test_findings_are_written_before_the_next_file_is_read(cli, tmp_path, format, marker):
    import select

    (tmp_path / "a.toml").write_text("[config]\nfoo = 1\n")
    os.mkfifo(tmp_path / "slow.toml")
    child = subprocess.Popen([cli, "check", "--format", format, "a.toml", "slow.toml"], cwd=tmp_path,
                             stdout=subprocess.PIPE)
    seen = b""
    while marker not in seen:  # the second file blocks in its open until it has a writer
        assert select.select([child.stdout], [], [], 30)[0], seen
        chunk = os.read(child.stdout.fileno(), 65536)
        assert chunk, seen
        seen += chunk
    (tmp_path / "slow.toml").write_text("[config]\nbar = 1\n")
    seen += child.communicate(timeout=60)[0]
    assert child.returncode == 1 and b"bar" in seen


@pytest.mark.parametrize("name", ["/dev/zero", "SPARSE"])
def test_input_past_the_size_limit_stops_at_it(cli, tmp_path, name):
    if name == "SPARSE":
        name = str(tmp_path / "sparse.toml")
        with open(name, "wb") as f:
            f.truncate(2**31)
    done = run(cli, "check", name)
    assert (done.returncode, done.stdout.decode()) == (
        1, f"{name}: error[read-error]: the document is too large (2 GiB at most)\n\n"
           "1 file checked: 1 error, 0 warnings\n")


def peak_memory(command):
    """Peak resident memory (bytes) of `command` run from a fresh interpreter, its output discarded."""
    code = ("import resource, subprocess, sys\n"
            "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    return int(subprocess.run([sys.executable, "-c", code, *command], capture_output=True, check=True).stdout) * 1024


def inputs_file(path, size):
    lines = ['[config]\ntarget_platform = "vora-m1"\n\n[accuracy_analysis]\ninputs = [\n']
    written, n = len(lines[0]), 0
    while written < size:
        lines.append(f'  "./images/img_{n:06d}.jpg",\n')
        written, n = written + len(lines[-1]), n + 1
    path.write_text("".join(lines) + "]\n")
    return str(path)


@pytest.mark.soak
def test_memory_is_bounded_by_the_largest_file(cli, tmp_path):
    big = inputs_file(tmp_path / "big.toml", 20_000_000)
    assert peak_memory([cli, "check", big]) <= 3 * 20_000_000
    files = [inputs_file(tmp_path / f"f{n}.toml", 2_000_000) for n in range(40)]
    assert peak_memory([cli, "check", *files]) <= 1.5 * peak_memory([cli, "check", files[0]]) + 20_000_000
    keys = tmp_path / "keys.toml"  # 8,000 unknown keys on one line
    keys.write_text("config = {" + ", ".join(f"k{n:04d} = 1" for n in range(8000)) + "}\n")
    assert len(run(cli, "check", str(keys)).stdout) <= 20_000_000
    assert peak_memory([cli, "check", str(keys)]) <= 150_000_000


@pytest.fixture(scope="module")
def million_keys(tmp_path_factory):
    """A 17 MB file of 1,000,000 unknown keys in [config]."""
    path = tmp_path_factory.mktemp("keys") / "keys.toml"
    path.write_text("[config]\n" + "".join(f"key{n:07d} = 100\n" for n in range(1_000_000)))
    return path


@pytest.mark.soak
@pytest.mark.parametrize("format", ["text", "json", "github", "sarif"])
def test_memory_of_a_million_findings_stays_under_eight_times_the_file(cli, million_keys, format):
    assert peak_memory([cli, "check", "--format", format, str(million_keys)]) <= 8 * million_keys.stat().st_size


# -- explain: the module's bytes, or its error -------------------------------

EXPLAINED = [
    str(EXAMPLE),
    str(REPO / "bench" / "config_819.toml"),
    "[config]\nmean_values = [1, 2.5e-8, nan]\ncustom_string = 'a\\u00e9\\u0000'\n[accuracy_analysis]\n",
    "[load]\nmodel_type = 'onnx'\n",
    "\ufeff[build]\nvora_batch_size = 2147483648\n",
    "a = [\n",
    None,  # a file that does not exist
]


@pytest.mark.parametrize("source", EXPLAINED, ids=range(len(EXPLAINED)))
def test_explain_prints_what_the_module_prints(cli, tmp_path, source):
    import vora_convert_inner

    if source is None:
        path = str(tmp_path / "missing.toml")
    elif "\n" in source:
        path = str(tmp_path / "c.toml")
        Path(path).write_text(source, encoding="utf-8")
    else:
        path = source
    module = subprocess.run(
        [sys.executable, "-c", "import sys, vora_convert_inner as m\n"
                               "try: m.rust_explain(sys.argv[1])\n"
                               "except RuntimeError as e: sys.stderr.write(str(e)); sys.exit(1)", path],
        capture_output=True, timeout=60)
    done = run(cli, "explain", path)
    assert done.returncode == module.returncode
    assert done.stdout == module.stdout
    if module.returncode:
        message = module.stderr.decode()
        message = message if message.endswith("\n") else message + "\n"
        assert done.stderr.decode() == f"vora-config: {path}: {message}"
        with pytest.raises(RuntimeError):
            vora_convert_inner.rust_explain(path)


# -- the schema --------------------------------------------------------------

def test_bundled_schema_is_the_programs_and_the_example_checks_clean(cli):
    done = run(cli, "schema")
    assert done.returncode == 0
    assert done.stdout.decode() == SCHEMA_FILE.read_text(encoding="utf-8")
    schema = json.loads(done.stdout)
    assert schema["$schema"] == "http://json-schema.org/draft-07/schema#"
    assert [schema["additionalProperties"]] + [s["additionalProperties"] for s in schema["properties"].values()] == [False] * 6
    assert schema["properties"]["load"]["required"] == ["model_type"]
    assert EXAMPLE.read_text().startswith("#:schema ./vora-config.schema.json\n")
    assert run(cli, "check", "--strict", "--no-files", str(EXAMPLE)).returncode == 0


# Values per key: loads and checks clean, loads with a warning, or refused
# by loading (a type or range error).
CANDIDATES = {
    "config": {
        "mean_values": (["[1, 2.5]", "[inf, 0]"], ["[]"], ["1", '["a"]', "[[1]]"]),
        "std_values": (["[0.5, 1]"], ["[]"], ["true"]),
        "quantized_dtype": (['"asymmetric_quantized-8"'], ['"int8"'], ["8"]),
        "quantized_algorithm": (['"normal"', "'mmse'"], ['"kl"', '""'], ["true"]),
        "quantized_method": (['"channel"', '"group"', '"layers"'], ['"tensor"'], ["[1]"]),
        "target_platform": (['"vora-m1"', '"custom-x"'], ['""'], ["1", '["vora-m1"]']),
        "quant_img_RGB2BGR": (["true"], [], ['"yes"']),
        "float_dtype": (['"float32"', '"bfloat16"'], ['"fp8"'], ["16"]),
        "optimization_level": (["0", "3", "0b11"], ["4", "255"], ["256", "-1", '"3"']),
        "custom_string": (['"x"', "''"], [], ["1"]),
        "remove_weight": (["false"], [], ["0"]),
        "compress_weight": (["true"], [], ['"no"']),
        "inputs_yuv_fmt": (['"nv12"'], [], ["false"]),
        "single_core_mode": (["false"], [], ["1979-05-27"]),
    },
    "load": {
        "model": (['"m.onnx"'], [], ["1"]),
        "inputs": (['["a"]'], ["[]"], ['"a"', "[1]"]),
        "input_size_list": (["[[1, 3, 224, 224]]", "[[18446744073709551615]]"], ["[]"],
                            ["[1, 2]", "[[-1]]", "[[1.5]]"]),
        "input_initial_val_file": (['"v.npy"'], [], ["[]"]),
        "outputs": (['["o"]'], [], ["{ a = 1 }"]),
    },
    "build": {
        "do_quantization": (["true"], [], ['"true"']),
        "dataset": (['"d.txt"'], [], ["1"]),
        "vora_batch_size": (["1", "2147483647"], ["0", "-2147483648"], ["2147483648", "-2147483649", "[1]"]),
        "auto_hybrid": (["false"], [], ["1"]),
    },
    "accuracy_analysis": {
        "inputs": (['["a.jpg"]', "[]"], [], ['"a.jpg"']),
        "output_dir": (['"snapshot"'], [], ["1"]),
        "target": (['"vora-m1"'], [], ["true"]),
        "device_id": (['"0"'], [], ["0"]),
    },
    "export": {"export_path": (['"m.vora"'], [], ["1"])},
}


def generated_files(count, seed):
    """(text, outcome) pairs: outcome 0 checks clean, 1 warns (a misspelled key among them), 2 is refused."""
    rng = random.Random(seed)
    files = []
    for _ in range(count):
        top, lines, outcome = [], [], 0
        for section, keys in CANDIDATES.items():
            if rng.random() < 0.3:
                continue
            if rng.random() < 0.03:  # a section of the wrong kind
                top.append(f"{section} = 1")
                outcome = 2
                continue
            lines.append(f"[{section}]")
            if section == "load":
                tag = rng.choice(['"Onnx"'] * 12 + ['"onnx"', "1", None])
                if tag is not None:
                    lines.append(f"model_type = {tag}")
                if tag != '"Onnx"':
                    outcome = 2
            for key, (clean, warned, refused) in keys.items():
                if rng.random() < 0.5:
                    continue
                kind = rng.choices([0, 1, 2], [0.84, 0.08, 0.08])[0]
                pool = [clean, warned, refused][kind] or clean
                kind = kind if [clean, warned, refused][kind] else 0
                lines.append(f"{key} = {rng.choice(pool)}")
                outcome = max(outcome, kind)
            if rng.random() < 0.03:
                lines.append(f"{rng.choice(list(keys))}s = 1")
                outcome = max(outcome, 1)
        files.append(("\n".join(top + lines) + "\n", outcome))
    return files


def test_schema_accepts_what_checks_clean_and_refuses_what_loading_refuses(cli, tmp_path):
    import jsonschema
    try:
        import tomllib
    except ImportError:  # before Python 3.11
        import tomli as tomllib

    schema = json.loads(run(cli, "schema").stdout)
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)
    files = generated_files(400, seed=int(os.environ.get("VORA_SCHEMA_SEED", "7")))
    paths = []
    for n, (text, _) in enumerate(files):
        paths.append(tmp_path / f"f{n:03}.toml")
        paths[-1].write_text(text, encoding="utf-8")
    done = run(cli, "check", "--no-files", "--format", "json", *map(str, paths))
    by_file = {}
    for finding in json.loads(done.stdout):
        by_file.setdefault(finding["file"], []).append(finding["severity"])
        by_file[finding["file"]].append(finding["code"])
    outcomes = set()
    for path, (text, outcome) in zip(paths, files):
        reported = by_file.get(str(path), [])  # severities and codes
        found = 2 if {"load-error", "parse-error"} & set(reported) else 1 if reported else 0
        assert found == outcome, text
        valid = validator.is_valid(tomllib.loads(text))
        if outcome == 0:
            assert valid, text
        elif outcome == 2 or {"unknown-key", "unknown-section"} & set(reported):
            assert not valid, text
        outcomes.add(outcome)
    assert outcomes == {0, 1, 2}


# -- real clients: check-jsonschema and taplo --------------------------------

VALID_FILES = [
    EXAMPLE.read_text(encoding="utf-8"),
    "",
    "[config]\noptimization_level = 0\n[load]\nmodel_type = 'Onnx'\ninput_size_list = [[1, 3, 8, 8]]\n",
    "build = { vora_batch_size = -2147483648 }\nexport.export_path = 'x.vora'\n",
]
MISTYPED_FILES = [  # and misspelled: the schema closes every table it knows
    "[config]\noptimisation_level = 2\n",
    "[unknown]\nany = 1\n",
    "[config]\noptimization_level = 300\n",
    "[config]\nmean_values = 1\n",
    "[load]\nmodel = 'm.onnx'\n",
    "[load]\nmodel_type = 'onnx'\n",
    "[load]\nmodel_type = 'Onnx'\ninput_size_list = [[-1]]\n",
    "[build]\nvora_batch_size = 2147483648\n",
    "build = 1\n",
    "[accuracy_analysis]\ninputs = 'a.jpg'\n",
]


@pytest.fixture
def client_files(tmp_path):
    valid, mistyped = [], []
    for n, text in enumerate(VALID_FILES):
        valid.append(tmp_path / f"valid{n}.toml")
        valid[-1].write_text(text, encoding="utf-8")
    for n, text in enumerate(MISTYPED_FILES):
        mistyped.append(tmp_path / f"mistyped{n}.toml")
        mistyped[-1].write_text(text, encoding="utf-8")
    return valid, mistyped


def test_check_jsonschema_reads_the_schema_and_validates_toml_with_it(client_files):
    checker = tool("check-jsonschema")
    valid, mistyped = client_files
    done = subprocess.run([checker, "--check-metaschema", str(SCHEMA_FILE)], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    done = subprocess.run([checker, "--schemafile", str(SCHEMA_FILE), *map(str, valid)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    done = subprocess.run([checker, "--schemafile", str(SCHEMA_FILE), *map(str, mistyped)],
                          capture_output=True, text=True)
    assert done.returncode == 1
    assert sorted({line.split("::")[0].strip() for line in done.stdout.splitlines() if "::$" in line}) == \
        sorted(map(str, mistyped))


def test_taplo_lints_with_the_schema_and_the_examples_header(client_files, tmp_path):
    taplo = tool("taplo")
    valid, mistyped = client_files
    schema = SCHEMA_FILE.as_uri()
    lint = [taplo, "lint", "--no-auto-config", "--schema", schema]
    done = subprocess.run([*lint, *map(str, valid)], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    for path in mistyped:
        done = subprocess.run([*lint, str(path)], capture_output=True, text=True, cwd=tmp_path)
        assert done.returncode == 1, path.read_text()
    # The header of the bundled example names the schema beside it.
    (tmp_path / "examples").mkdir()
    shutil.copy(SCHEMA_FILE, tmp_path / "examples")
    copy = tmp_path / "examples" / "example.toml"
    copy.write_text(EXAMPLE.read_text().replace("optimization_level = 3", "optimization_level = 4"))
    header_lint = [taplo, "lint", "--no-auto-config"]
    assert subprocess.run([*header_lint, str(EXAMPLE)], capture_output=True, cwd=tmp_path).returncode == 0
    done = subprocess.run([*header_lint, str(copy)], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 1 and "greater than the maximum of 3" in done.stderr, done.stderr


@pytest.mark.parametrize("text", [
    '[load]\nmodel_type = "Onnx"\ninput_size_list = [[1], "x", [2, -1]]\n',
    "[accuracy_analysis]\ninputs = [1, 2]\n[config]\nfoo = 1\n",
    '[accuracy_analysis]\ninputs = ["a.jpg", 3, "b.jpg"]\n',  # an input file list, kept unmapped for the file checks
    '[config]\nmean_values = ["a", 1.5]\nstd_values = 2\n[build]\nvora_batch_size = 1e3\n',
    '[load]\nmodel = 1\n[load.model_type]\nx = 2\n',
])
def test_a_file_that_does_not_load_gives_the_same_findings_with_and_without_its_files(cli, tmp_path, text):
    # Without --no-files the file is mapped as loading maps it; with it, only for its errors.
    (tmp_path / "c.toml").write_text(text)
    shown = [subprocess.run([cli, "check", *option, "--format", "json", "c.toml"], capture_output=True, cwd=tmp_path,
                            timeout=60) for option in ([], ["--no-files"])]
    assert (shown[0].returncode, shown[0].stdout, shown[0].stderr) == \
        (shown[1].returncode, shown[1].stdout, shown[1].stderr)
    assert shown[0].returncode == 1 and json.loads(shown[0].stdout)

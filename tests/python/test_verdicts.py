"""vora-config check: each verdict as the rule of `check --help` has it. An error: the converter will fail, or will
convert something other than what the file says or the model needs. A warning: likely a mistake, but a conversion
may mean it. Nothing: what is fine, even if unusual."""

import json
import shutil

import pytest

from conftest import write_example_files
from test_check_files import LOAD, E, W, at, check, findings, make_files, save
from test_cli import EXAMPLE, cli  # noqa: F401  (cli is a fixture)
from test_model_reader import TensorProto, graph, tensor

NHWC = "NHWC"  # a model of one input of [1, 224, 224, 3]
T = "[config]\ntarget_platform = "

# id: (model, text, files to make, with the file checks only, [(line, marker, severity, code)])
ROWS = {
    # Errors.
    "shapes other than inputs": ("one input", LOAD + 'inputs = ["images"]\ninput_size_list = [[1, 3, 224, 224], [1]]',
                                 {}, False, [(5, "[[", E, "count-mismatch")]),
    "shapes other than the model's": ("one input", LOAD + "input_size_list = [[1, 3, 224, 224], [1]]", {}, True,
                                      [(4, "[[", E, "count-mismatch")]),
    "an input named twice": ("one input", LOAD + 'inputs = ["images", "images"]', {}, False,
                             [(4, '"images"]', E, "duplicate-name")]),
    "an output named twice": ("one input", LOAD + 'outputs = ["out0", "out0"]', {}, False,
                              [(4, '"out0"]', E, "duplicate-name")]),
    "a size of 0": ("one input", LOAD + "input_size_list = [[1, 0, 224, 224]]", {}, False,
                    [(4, "0,", E, "out-of-range")]),
    "a deviation of 0": ("one input", LOAD + "[config]\nstd_values = [0.0]", {}, False,
                         [(5, "0.0", E, "out-of-range")]),
    "a float that becomes inf": ("one input", LOAD + "[config]\nmean_values = [1e39]", {}, False,
                                 [(5, "1e39", E, "out-of-range")]),
    "a float that becomes 0": ("one input", LOAD + "[config]\nmean_values = [1e-50]", {}, False,
                               [(5, "1e-50", E, "out-of-range")]),
    "a float that loses digits": ("one input", LOAD + "[config]\nmean_values = [0.12345678912345]", {}, False, []),
    "a batch of 0": ("one input", LOAD + "[build]\nvora_batch_size = 0", {}, False, [(5, "0", E, "out-of-range")]),
    "a batch below 0": ("one input", LOAD + "[build]\nvora_batch_size = -1", {}, False,
                        [(5, "-1", E, "out-of-range")]),
    "no model there": (None, LOAD, {}, True, [(3, '"m.onnx"', E, "missing-file")]),
    "no dataset there": ("one input", LOAD + '[build]\ndataset = "list.txt"', {}, True,
                         [(5, '"list.txt"', E, "missing-file")]),
    "no initial values there": ("one input", LOAD + 'input_initial_val_file = "v.npy"', {}, True,
                                [(4, '"v.npy"', E, "missing-file")]),
    "no accuracy input there": ("one input", LOAD + '[accuracy_analysis]\ninputs = ["a.jpg"]', {}, True,
                                [(5, '"a.jpg"', E, "missing-file")]),
    "a dataset line of two files for one input": ("one input", LOAD + '[build]\ndataset = "list.txt"',
                                                  {"list.txt": "a.jpg b.jpg\n", "a.jpg": "", "b.jpg": ""}, True,
                                                  [(5, '"list.txt"', E, "count-mismatch")]),
    "a dataset line of one file for two inputs": (
        "two inputs, symbolic", LOAD + 'input_size_list = [[1, 3, 8, 8], [1]]\n[build]\ndataset = "list.txt"',
        {"list.txt": "a.jpg\n", "a.jpg": ""}, True, [(6, '"list.txt"', E, "count-mismatch")]),
    # Warnings.
    "means of neither 1 nor the channels": ("one input", LOAD + "[config]\nmean_values = [1.0, 2.0]", {}, True,
                                            [(5, "[", W, "model-mismatch")]),
    "means of the channels of NHWC": (NHWC, LOAD + "[config]\nmean_values = [1.0, 2.0, 3.0]", {}, True, []),
    "means of neither, NHWC": (NHWC, LOAD + "[config]\nmean_values = [1.0, 2.0]", {}, True,
                               [(5, "[", W, "model-mismatch")]),
    "one mean for all channels": ("one input", LOAD + "[config]\nmean_values = [1.0]", {}, True, []),
    "sections of a conversion without [load]": ("one input", '[build]\nvora_batch_size = 1', {"model.onnx": "m"}, True,
                                                [(1, "[build]", W, "missing-section")]),
    "settings alone": ("one input", "[config]\noptimization_level = 2", {}, True, []),
    "symbolic dimensions no shape fixes": ("two inputs, symbolic", LOAD, {}, True,
                                           [(3, '"m.onnx"', W, "model-mismatch")]),
    "inputs naming some of the graph's": ("two inputs, symbolic",
                                          LOAD + 'inputs = ["images"]\ninput_size_list = [[1, 3, 8, 8]]', {}, True,
                                          [(4, "[", W, "model-mismatch")]),
    "inputs naming a weight": ("big initializer first", LOAD + 'inputs = ["w"]', {}, True,
                               [(4, '"w"', W, "model-mismatch")]),
    "a listed platform in other case": ("one input", LOAD + T + '"VORA_M1"', {}, False,
                                        [(5, '"', W, "unknown-choice")]),
    "a platform not listed": ("one input", LOAD + T + '"vora-q9"', {}, False, []),
    "backslashes in a path": ("one input", '[load]\nmodel_type = "Onnx"\nmodel = \'d\\m.onnx\'', {"d/m.onnx": "m"},
                              False, [(3, "'", W, "backslash-path"), (3, "'", E, "missing-file")]),
    "a Windows path in double quotes": ("one input", '[load]\nmodel_type = "Onnx"\nmodel = "C:\\models\\x.onnx"',
                                        {}, False, [(3, "\\m", E, "parse-error")]),
    "a dataset line starting with #": ("one input", LOAD + '[build]\ndataset = "list.txt"',
                                       {"list.txt": "# the images\na.jpg\n", "a.jpg": ""}, True,
                                       [(5, '"list.txt"', W, "dataset-comment")]),
    # Nothing, or nothing more.
    "an export folder the conversion makes": ("one input", LOAD + '[export]\nexport_path = "out/m.vora"', {}, True,
                                              []),
    "an export below a file": ("one input", LOAD + '[export]\nexport_path = "out/m.vora"', {"out": ""}, True,
                               [(5, '"', E, "missing-file")]),
    "no count after a type error": ("one input", LOAD + '[config]\nmean_values = [1, "a"]\nstd_values = [1]', {},
                                    False, [(5, '"a"', E, "load-error")]),
    "no missing file after a control character": ("one input", LOAD + '[build]\ndataset = "d\\bx.txt"', {}, False,
                                                  [(5, "\\b", E, "control-character")]),
    "a name people give a key": ("one input", LOAD + "[build]\nbatch_size = 4", {}, False,
                                 [(5, "batch_size", E, "unknown-key")]),
}


def setup(tmp_path, model, files):
    if model == NHWC:
        (tmp_path / "m.onnx").write_bytes(graph([tensor("x", TensorProto.FLOAT, [1, 224, 224, 3])]).SerializeToString())
    else:
        save(tmp_path, model)
    for name, content in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        if content == "m":
            shutil.copy(tmp_path / "m.onnx", tmp_path / name)
        else:
            (tmp_path / name).write_text(content)


def expected(text, rows):
    return sorted(at(text, line, marker, severity, code) for line, marker, severity, code in rows)


@pytest.mark.parametrize("model, text, files, file_check, rows", ROWS.values(), ids=ROWS.keys())
def test_each_verdict_in_text_and_json(cli, tmp_path, model, text, files, file_check, rows):  # noqa: F811
    setup(tmp_path, model, files)
    want = expected(text, rows)
    status = 1 if any(severity == E for _, _, severity, _ in rows) else 0
    done = check(cli, tmp_path, text + "\n")
    assert (sorted(findings(done.stdout)), done.returncode) == (want, status)
    done = check(cli, tmp_path, text + "\n", format="json")
    shown = [(f["line"], f["column"], f["severity"], f["code"]) for f in json.loads(done.stdout)]
    assert (sorted(shown), done.returncode) == (want, status)


@pytest.mark.parametrize("model, text, files, file_check, rows", ROWS.values(), ids=ROWS.keys())
def test_no_files_gives_none_of_the_file_findings(cli, tmp_path, model, text, files, file_check, rows):  # noqa: F811
    setup(tmp_path, model, files)
    done = check(cli, tmp_path, text + "\n", "--no-files")
    assert sorted(findings(done.stdout)) == ([] if file_check else [
        f for f in expected(text, rows) if f[3] != "missing-file"])


def test_the_example_with_its_model_and_data_gives_nothing(cli, tmp_path):  # noqa: F811
    write_example_files(tmp_path)
    done = check(cli, tmp_path, EXAMPLE.read_text(encoding="utf-8"), "--strict")
    assert (done.returncode, done.stdout) == (0, "1 file checked: 0 errors, 0 warnings\n")


@pytest.mark.parametrize("text, help", [
    ('[config]\noptimization_level = "3"', "expected an integer from 0 to 3 without quotes"),
    ('[config]\nquant_img_RGB2BGR = "true"', "expected true or false without quotes"),
    ("[load]\ninputs = []", 'write model_type = "Onnx" in [load]'),
    ("[load]\nmodel_type = 'Onnx'\ninput_size_list = [[1, 0]]", "write the size of dimension 1 of input 0, 1 at least"),
    ("[config]\nmean_values = [1, 2, 3]\nstd_values = [1, 2]", "write 3 values, one for each of `mean_values`"),
    ('[load]\nmodel = "C:\\models\\x.onnx"',
     "write paths as literal strings, in single quotes ('C:\\models\\x.onnx'), or with forward slashes"),
])
def test_help_says_what_to_write(cli, tmp_path, text, help):  # noqa: F811
    done = check(cli, tmp_path, text + "\n", "--no-files")
    assert [line[len("  = help: "):] for line in done.stdout.splitlines() if line.startswith("  = help: ")] == [
        help]


def test_zero_size_help_gives_the_models_size_and_fix_writes_forward_slashes(cli, tmp_path):  # noqa: F811
    save(tmp_path, "one input")
    [finding] = json.loads(check(cli, tmp_path, LOAD + "input_size_list = [[1, 3, 0, 224]]\n", format="json").stdout)
    assert (finding["code"], finding["help"]) == (
        "out-of-range", "write 224, the size of dimension 2 of input `images` in the model")
    (tmp_path / "d").mkdir()
    shutil.copy(tmp_path / "m.onnx", tmp_path / "d" / "m.onnx")
    check(cli, tmp_path, '[load]\nmodel_type = "Onnx"\nmodel = \'d\\m.onnx\'\n', "--fix")
    assert (tmp_path / "c.toml").read_text() == '[load]\nmodel_type = "Onnx"\nmodel = "d/m.onnx"\n'

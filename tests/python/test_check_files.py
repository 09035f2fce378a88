"""vora-config check: the files a configuration names (model, arrays, dataset, folders)."""

import json
import re
import subprocess

import numpy as np
import pytest

from test_cli import cli, sarif_log  # noqa: F401  (cli is a fixture)
from test_model_reader import TensorProto, graph, npy_of, onnx, shared_stream, tensor, weights

LOAD = '[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\n'

MODELS = {
    "one input": lambda: graph([tensor("images", TensorProto.FLOAT, [1, 3, 224, 224])]),
    "two inputs, symbolic": lambda: graph([tensor("images", TensorProto.FLOAT, ["N", 3, "H", "W"]),
                                            tensor("scale", TensorProto.FLOAT, [1])]),
    "big initializer first": lambda: graph([tensor("x", TensorProto.FLOAT, [1, 3, 8, 8])], [weights("w", 300_000)]),
}


def save(tmp_path, model, name="m.onnx"):
    """Writes a model of MODELS, or one of the broken forms, as `name`."""
    path = tmp_path / name
    if model == "external data":
        onnx.save_model(MODELS["big initializer first"](), str(path), save_as_external_data=True,
                        location="w.bin", size_threshold=0)
    elif model == "truncated":
        data = MODELS["big initializer first"]().SerializeToString()
        path.write_bytes(data[: len(data) // 2])
    elif model == "not a model":
        path.write_text("hello\n")
    elif model is not None:
        path.write_bytes(MODELS[model]().SerializeToString())


def findings(text_output):
    """(line, column, severity, code) of each finding of the text format."""
    return [(int(m[1]), int(m[2]), m[3], m[4])
            for m in re.finditer(r"^c\.toml:(\d+):(\d+): (error|warning)\[([a-z-]+)\]", text_output, re.M)]


def at(text, line, marker, severity, code):
    """The expected finding at the first `marker` on `line` (1-based) of `text`."""
    return (line, text.splitlines()[line - 1].index(marker) + 1, severity, code)


def check(cli, tmp_path, text, *options, format="text"):  # noqa: F811
    (tmp_path / "c.toml").write_text(text, encoding="utf-8")
    done = subprocess.run([cli, "check", "--format", format, *options, "c.toml"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=60)
    assert done.returncode in (0, 1), done.stderr
    return done


def npy(path, *shapes):
    if len(shapes) == 1 and path.suffix == ".npy":
        np.save(path, np.zeros(shapes[0], np.float32))
    else:
        np.savez(path, *[np.zeros(s, np.float32) for s in shapes])


E, W = "error", "warning"
OBJECTS = b"\x93NUMPY\x01\x00\x76\x00{'descr': '|O', 'fortran_order': False, 'shape': (2,), }" + b" " * 61 + b"\n"
# (model, lines after LOAD, files to make, expected [(line, marker, severity, code)])
CASES = {
    "names of the graph": ("one input", 'inputs = ["images"]\noutputs = ["out0"]', {}, []),
    "input not in the graph": ("one input", 'inputs = ["image"]', {}, [(4, '"image"', E, "model-mismatch")]),
    "second output not in the graph": ("one input", 'outputs = ["out0", "nope"]', {},
                                       [(4, '"nope"', E, "model-mismatch")]),
    "shapes: one too many": ("one input", "input_size_list = [[1, 3, 224, 224], [1]]", {},
                             [(4, "[[", E, "model-mismatch")]),
    "shape of another rank": ("one input", "input_size_list = [[1, 3, 224]]", {}, [(4, "[1,", E, "model-mismatch")]),
    "fixed dimension differs": ("one input", "input_size_list = [[1, 3, 640, 224]]", {},
                                [(4, "640", E, "model-mismatch")]),
    "symbolic dimensions take any size": ("two inputs, symbolic", "input_size_list = [[8, 3, 640, 480], [1]]", {}, []),
    "two inputs, one shape": ("two inputs, symbolic", "input_size_list = [[8, 3, 640, 480]]", {},
                              [(4, "[[", E, "model-mismatch")]),
    "mean_values of the channels": ("one input", "[config]\nmean_values = [1.0, 2.0, 3.0]", {}, []),
    "mean_values of neither": ("one input", "[config]\nmean_values = [1.0, 2.0]\nstd_values = [1.0, 2.0]", {},
                               [(5, "[", W, "model-mismatch"), (6, "[", W, "model-mismatch")]),
    "mean_values of a symbolic channel": ("two inputs, symbolic", "[config]\nmean_values = [1.0, 2.0]", {}, []),
    "big initializer before the inputs": ("big initializer first", 'inputs = ["y"]', {},
                                          [(4, '"y"', E, "model-mismatch")]),
    "external data": ("external data", "input_size_list = [[1, 3, 9, 8]]", {}, [(4, "9", E, "model-mismatch")]),
    "truncated model": ("truncated", "", {}, [(3, '"m.onnx"', E, "not-a-model")]),
    "not a model": ("not a model", "", {}, [(3, '"m.onnx"', E, "not-a-model")]),
    "no model there": (None, "", {}, [(3, '"m.onnx"', W, "missing-file")]),
    "initial values of the input": ("one input", 'input_initial_val_file = "v.npy"', {"v.npy": [(1, 3, 224, 224)]}, []),
    "initial values of another shape": ("one input", 'input_initial_val_file = "v.npy"', {"v.npy": [(1, 3)]},
                                        [(4, '"v.npy"', E, "model-mismatch")]),
    "two arrays for one input": ("one input", 'input_initial_val_file = "v.npz"',
                                 {"v.npz": [(1, 3, 224, 224), (1,)]}, [(4, '"v.npz"', E, "model-mismatch")]),
    "arrays of input_size_list": ("two inputs, symbolic",
                                  'input_size_list = [[1, 3, 4, 4], [1]]\ninput_initial_val_file = "v.npz"',
                                  {"v.npz": [(1, 3, 4, 5), (1,)]}, [(5, '"v.npz"', E, "model-mismatch")]),
    "initial values not arrays": ("one input", 'input_initial_val_file = "v.npy"', {"v.npy": "text"},
                                  [(4, '"v.npy"', E, "bad-array-file")]),
    "initial values of Python objects": ("one input", 'input_initial_val_file = "v.npy"', {"v.npy": OBJECTS},
                                         [(4, '"v.npy"', E, "bad-array-file")]),
    # 60 members that lead to one stream of 360,000 empty deflate blocks: read, not refused.
    "initial values sharing a stream": ("one input", 'input_initial_val_file = "v.npz"',
                                        {"v.npz": shared_stream(60, 360_000, npy_of(np.zeros((1, 3), "<f4")))},
                                        [(4, '"v.npz"', E, "model-mismatch")]),
    "initial values not there": ("one input", 'input_initial_val_file = "v.npy"', {},
                                 [(4, '"v.npy"', W, "missing-file")]),
    "dataset entries": ("one input", '[build]\ndataset = "d/list.txt"',
                        {"d/list.txt": "a.jpg\n\nb c.jpg\nd/a.jpg\nnope.jpg\n", "d/a.jpg": "", "d/b c.jpg": ""},
                        [(5, '"', W, "missing-file")]),
    "dataset entries of two inputs": ("two inputs, symbolic", '[build]\ndataset = "list.txt"',
                                      {"list.txt": "a.jpg a.npy\nb.jpg a.npy\n", "a.jpg": "", "a.npy": ""},
                                      [(5, '"', W, "missing-file")]),
    "dataset of CRLF lines, the last unended": ("one input", '[build]\ndataset = "list.txt"',
                                                {"list.txt": "a.jpg\r\nb.jpg", "a.jpg": "", "b.jpg": ""}, []),
    "dataset that is no list": ("one input", '[build]\ndataset = "list.txt"', {"list.txt": "x" * 70_000 + "\n"},
                                [(5, '"', W, "missing-file")]),
    "empty dataset": ("one input", '[build]\ndataset = "list.txt"', {"list.txt": "\n  \n"},
                      [(5, '"', W, "empty-value")]),
    "dataset not there": ("one input", '[build]\ndataset = "list.txt"', {}, [(5, '"', W, "missing-file")]),
    "accuracy inputs": ("one input", '[accuracy_analysis]\ninputs = ["a.jpg", "b.jpg"]', {"a.jpg": ""},
                        [(5, '"b.jpg"', W, "missing-file")]),
    "export folder": ("one input", '[export]\nexport_path = "out/m.vora"', {}, [(5, '"', W, "missing-file")]),
    "export folder there": ("one input", '[export]\nexport_path = "out/m.vora"', {"out/x": ""}, []),
}


def make_files(tmp_path, files):
    for name, content in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, list):
            npy(path, *content)
        elif isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content)


@pytest.mark.parametrize("model, lines, files, expected", CASES.values(), ids=CASES.keys())
def test_files_against_the_configuration(cli, tmp_path, model, lines, files, expected):  # noqa: F811
    save(tmp_path, model)
    make_files(tmp_path, files)
    text = LOAD + lines + "\n"
    done = check(cli, tmp_path, text)
    want = [at(text, *e) for e in expected]
    assert findings(done.stdout) == want
    assert done.returncode == (1 if any(e[2] == E for e in expected) else 0)
    assert check(cli, tmp_path, text, "--no-files").stdout.startswith("1 file checked: 0 errors")


def json_of(cli, tmp_path, text, *options):  # noqa: F811
    return [(f["line"], f["column"], f["code"], f["message"], f["suggestion"], f["help"])
            for f in json.loads(check(cli, tmp_path, text, *options, format="json").stdout)]


def test_messages_name_the_graph_and_the_resolved_paths(cli, tmp_path):  # noqa: F811
    save(tmp_path, "one input")
    text = (LOAD + 'inputs = ["image"]\ninput_size_list = [[1, 3, 640, 224]]\n'
            '[config]\nmean_values = [1.0, 2.0]\n[export]\nexport_path = "out/m.vora"\n')
    assert json_of(cli, tmp_path, text) == [
        (4, 11, "model-mismatch", "`inputs` names `image`, which is no value of the model; its inputs are images; "
         "did you mean `images`?", "images", None),
        (7, 15, "model-mismatch", "`mean_values` holds 2 values and input `image` has 3 in dimension 1 and 224 in "
         "its last", None, "3 values or 224, one per channel of input `image`"),
        (9, 15, "missing-file", "`export_path` would be written into `out`, which does not exist", None, None),
    ]
    text = LOAD + "input_size_list = [[1, 3, 640, 224]]\n"
    assert json_of(cli, tmp_path, text) == [
        (4, 27, "model-mismatch", "dimension 2 of input `images` is 640 here and 224 in the model", None,
         "[1, 3, 224, 224], the shape of the model's input `images` (float32)")]


def test_default_model_is_reported_at_the_load_header(cli, tmp_path):  # noqa: F811
    text = '[config]\noptimization_level = 3\n\n[load]\nmodel_type = "Onnx"\n'
    assert json_of(cli, tmp_path, text) == [
        (4, 1, "missing-file", "`model` is not set: the converter loads its default, `model.onnx`, and `model.onnx` "
         "does not exist", None, None)]
    save(tmp_path, "not a model", "model.onnx")
    [(line, column, code, message, _, _)] = json_of(cli, tmp_path, text)
    assert (line, column, code) == (4, 1, "not-a-model")
    assert message.startswith("the default `model`, `model.onnx`, is not an ONNX model: ")
    save(tmp_path, "one input", "model.onnx")
    assert json_of(cli, tmp_path, text) == []
    assert json_of(cli, tmp_path, "[config]\noptimization_level = 3\n") == []  # no [load]: no model read


def test_dataset_reports_twenty_entries_then_a_count(cli, tmp_path):  # noqa: F811
    save(tmp_path, "one input")
    (tmp_path / "list.txt").write_text("".join(f"img{i}.jpg\n" for i in range(25)))
    found = json_of(cli, tmp_path, LOAD + '[build]\ndataset = "list.txt"\n')
    assert [f[3] for f in found] == [
        *(f"line {i + 1} of the dataset names `img{i}.jpg`, which does not exist: tried `img{i}.jpg`"
          for i in range(20)),
        "5 more entries of the dataset do not exist"]


def test_base_resolves_relative_paths(cli, tmp_path):  # noqa: F811
    run = tmp_path / "run"
    (run / "data").mkdir(parents=True)
    save(run, "one input")
    (run / "data" / "list.txt").write_text("x.jpg\n")
    (run / "x.jpg").write_text("")  # relative to the base, not to the dataset's folder
    text = LOAD + '[build]\ndataset = "data/list.txt"\n'
    assert json_of(cli, tmp_path, text, "--base", "run") == []
    (run / "x.jpg").unlink()
    assert [f[3] for f in json_of(cli, tmp_path, text, "--base", "run")] == [
        "line 1 of the dataset names `x.jpg`, which does not exist: tried `run/data/x.jpg` and `run/x.jpg`"]
    assert [f[3] for f in json_of(cli, tmp_path, text)] == [
        "`model` names `m.onnx`, which does not exist", "`dataset` names `data/list.txt`, which does not exist"]
    usage = subprocess.run([cli, "check", "--base", "nowhere", "c.toml"], capture_output=True, text=True,
                           cwd=tmp_path)
    assert (usage.returncode, usage.stderr.splitlines()[0]) == (
        2, "vora-config: check: --base 'nowhere' is not a folder")


def test_readme_example_with_a_matching_model_gives_nothing(cli, tmp_path):  # noqa: F811
    save(tmp_path, "one input", "model.onnx")
    make_files(tmp_path, {"dataset.txt": "image.jpg\n", "image.jpg": ""})
    text = ('[config]\nmean_values = [123.675, 116.28, 103.53]\ntarget_platform = "vora-m1"\n\n'
            '[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\ninput_size_list = [[1, 3, 224, 224]]\n\n'
            '[build]\ndataset = "./dataset.txt"\n\n[accuracy_analysis]\ninputs = ["./image.jpg"]\n\n'
            '[export]\nexport_path = "model.vora"\n')
    done = check(cli, tmp_path, text, "--strict")
    assert (done.returncode, done.stdout) == (0, "1 file checked: 0 errors, 0 warnings\n")


# One file with each new code: (line, column, severity, code).
EVERY_CODE = ('[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\ninputs = ["a", "b"]\ninput_initial_val_file = "v.npy"\n'
              '[build]\ndataset = "nope.txt"\n')
EVERY_EXPECTED = [(3, 9, "error", "not-a-model"), (5, 26, "error", "bad-array-file"),
                  (7, 11, "warning", "missing-file")]


@pytest.mark.parametrize("format", ["text", "json", "github", "sarif"])
def test_new_codes_in_every_format(cli, tmp_path, format):  # noqa: F811
    save(tmp_path, "not a model")
    (tmp_path / "v.npy").write_text("text")
    np.save(tmp_path / "w.npy", np.zeros(3, np.float32))
    mismatch = EVERY_CODE.replace("v.npy", "w.npy")
    done = check(cli, tmp_path, EVERY_CODE, format=format)
    assert done.returncode == 1
    out = done.stdout
    if format == "text":
        got = findings(out)
    elif format == "json":
        got = [(f["line"], f["column"], f["severity"], f["code"]) for f in json.loads(out)]
    elif format == "github":
        got = [(int(m[2]), int(m[3]), m[1], m[4]) for m in
               re.finditer(r"^::(error|warning) file=c\.toml,line=(\d+),col=(\d+),.*?title=vora-config ([a-z-]+)::",
                           out, re.M)]
    else:
        log = sarif_log(out)
        rules = [r["id"] for r in log["runs"][0]["tool"]["driver"]["rules"]]
        assert {"missing-file", "model-mismatch", "not-a-model", "bad-array-file"} <= set(rules)
        got = [(r["locations"][0]["physicalLocation"]["region"]["startLine"],
                r["locations"][0]["physicalLocation"]["region"]["startColumn"], r["level"], r["ruleId"])
               for r in log["runs"][0]["results"]]
    assert got == EVERY_EXPECTED
    # model-mismatch without a model: two inputs named, one array.
    (tmp_path / "m.onnx").unlink()
    done = check(cli, tmp_path, mismatch, format=format)
    assert ("model-mismatch" in done.stdout, done.returncode) == (True, 1)

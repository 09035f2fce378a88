"""vora-config check: the files a configuration names (model, arrays, dataset, folders)."""

import json
import os
import re
import subprocess

import numpy as np
import pytest

from test_cli import cli, sarif_log  # noqa: F401  (cli is a fixture)
from test_model_reader import TensorProto, graph, helper, npy_of, onnx, shared_stream, tensor, weights

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


def check(cli, tmp_path, text, *options, format="text", timeout=60):  # noqa: F811
    (tmp_path / "c.toml").write_text(text, encoding="utf-8")
    done = subprocess.run([cli, "check", "--format", format, *options, "c.toml"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=timeout)
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
                             [(4, "[[", E, "count-mismatch")]),
    "shape of another rank": ("one input", "input_size_list = [[1, 3, 224]]", {}, [(4, "[1,", E, "model-mismatch")]),
    "fixed dimension differs": ("one input", "input_size_list = [[1, 3, 640, 224]]", {},
                                [(4, "640", E, "model-mismatch")]),
    "symbolic dimensions take any size": ("two inputs, symbolic", "input_size_list = [[8, 3, 640, 480], [1]]", {}, []),
    "two inputs, one shape": ("two inputs, symbolic", "input_size_list = [[8, 3, 640, 480]]", {},
                              [(4, "[[", E, "count-mismatch")]),
    "mean_values of the channels": ("one input", "[config]\nmean_values = [1.0, 2.0, 3.0]", {}, []),
    "mean_values of neither": ("one input", "[config]\nmean_values = [1.0, 2.0]\nstd_values = [1.0, 2.0]", {},
                               [(5, "[", W, "model-mismatch"), (6, "[", W, "model-mismatch")]),
    # Dimension 1 holds 3 channels; N, H and W take their sizes from no shape given.
    "mean_values of a symbolic input": ("two inputs, symbolic", "[config]\nmean_values = [1.0, 2.0]", {},
                                        [(3, '"m.onnx"', W, "model-mismatch"), (5, "[", W, "model-mismatch")]),
    "big initializer before the inputs": ("big initializer first", 'inputs = ["y"]', {},
                                          [(4, '"y"', E, "model-mismatch")]),
    "external data": ("external data", "input_size_list = [[1, 3, 9, 8]]", {}, [(4, "9", E, "model-mismatch")]),
    "truncated model": ("truncated", "", {}, [(3, '"m.onnx"', E, "not-a-model")]),
    "not a model": ("not a model", "", {}, [(3, '"m.onnx"', E, "not-a-model")]),
    "no model there": (None, "", {}, [(3, '"m.onnx"', E, "missing-file")]),
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
                                 [(4, '"v.npy"', E, "missing-file")]),
    "dataset entries": ("one input", '[build]\ndataset = "d/list.txt"',
                        {"d/list.txt": "a.jpg\n\nb c.jpg\nd/a.jpg\nnope.jpg\n", "d/a.jpg": "", "d/b c.jpg": ""},
                        [(5, '"', E, "missing-file")]),
    "dataset entries of two inputs": ("two inputs, symbolic", '[build]\ndataset = "list.txt"',
                                      {"list.txt": "a.jpg a.npy\nb.jpg a.npy\n", "a.jpg": "", "a.npy": ""},
                                      [(3, '"m.onnx"', W, "model-mismatch"), (5, '"', E, "missing-file")]),
    "dataset of CRLF lines, the last unended": ("one input", '[build]\ndataset = "list.txt"',
                                                {"list.txt": "a.jpg\r\nb.jpg", "a.jpg": "", "b.jpg": ""}, []),
    "dataset that is no list": ("one input", '[build]\ndataset = "list.txt"', {"list.txt": "x" * 70_000 + "\n"},
                                [(5, '"', E, "missing-file")]),
    "empty dataset": ("one input", '[build]\ndataset = "list.txt"', {"list.txt": "\n  \n"},
                      [(5, '"', W, "empty-value")]),
    "dataset not there": ("one input", '[build]\ndataset = "list.txt"', {}, [(5, '"', E, "missing-file")]),
    "accuracy inputs": ("one input", '[accuracy_analysis]\ninputs = ["a.jpg", "b.jpg"]', {"a.jpg": ""},
                        [(5, '"b.jpg"', E, "missing-file")]),
    "export folder made by the conversion": ("one input", '[export]\nexport_path = "out/m.vora"', {}, []),
    "export below a file": ("one input", '[export]\nexport_path = "out/sub/m.vora"', {"out": ""},
                            [(5, '"', E, "missing-file")]),
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
        (7, 15, "model-mismatch", "`mean_values` holds 2 values and input `image` has 3 channels (its dimension 1)",
         None, "1 value for all channels, or 3, one per channel of input `image`"),
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
                  (7, 11, "error", "missing-file")]


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


# -- files that are no regular files: refused at once, never read ----------

# (lines after LOAD, where the FIFO is made, the messages in order); m.onnx is
# a model of one input unless the FIFO takes its name.
NOT_REGULAR = {
    "model": ("", "m.onnx", ["`model` names `m.onnx`, which is not a regular file (a FIFO)"]),
    "default model": ("", "model.onnx", ["`model` is not set: the converter loads its default, `model.onnx`, and "
                                         "`model.onnx` is not a regular file (a FIFO)"]),
    "initial values": ('input_initial_val_file = "v.npy"', "v.npy",
                       ["`input_initial_val_file` names `v.npy`, which is not a regular file (a FIFO)"]),
    "dataset": ('[build]\ndataset = "list.txt"', "list.txt",
                ["`dataset` names `list.txt`, which is not a regular file (a FIFO)"]),
    "dataset /dev/zero": ('[build]\ndataset = "/dev/zero"', None,
                          ["`dataset` names `/dev/zero`, which is not a regular file (a character device)"]),
    "dataset /dev/urandom": ('[build]\ndataset = "/dev/urandom"', None,
                             ["`dataset` names `/dev/urandom`, which is not a regular file (a character device)"]),
    "dataset entry": ('[build]\ndataset = "list.txt"', "p", ["line 1 of the dataset names `p`: `p` is not a regular "
                                                             "file (a FIFO)"]),
    "accuracy input": ('[accuracy_analysis]\ninputs = ["a.jpg"]', "a.jpg",
                       ["`accuracy_analysis.inputs` names `a.jpg`, which is not a regular file (a FIFO)"]),
    "export folder": ('[export]\nexport_path = "out/m.vora"', "out",
                      ["`export_path` would be written below `out`, which is not a folder"]),
}


@pytest.mark.parametrize("lines, fifo, messages", NOT_REGULAR.values(), ids=NOT_REGULAR.keys())
def test_files_that_are_not_regular_are_refused_without_waiting(cli, tmp_path, lines, fifo, messages):  # noqa: F811
    if fifo != "m.onnx":
        save(tmp_path, "one input")
    if fifo:
        os.mkfifo(tmp_path / fifo)  # nothing ever writes it: opening it for reading would wait for ever
    if fifo == "p":
        (tmp_path / "list.txt").write_text("p\n")
    load = LOAD.replace('model = "m.onnx"\n', "") if fifo == "model.onnx" else LOAD
    done = check(cli, tmp_path, load + lines + "\n", format="json", timeout=10)
    assert [(f["code"], f["severity"], f["message"]) for f in json.loads(done.stdout)] == [
        ("missing-file", "error", m) for m in messages]


# -- the dataset read a block at a time --------------------------------------

LONGEST = 65536  # bytes of a dataset's line, its line feed aside
# (the dataset's bytes, the messages; `there.jpg` is there)
DATASETS = {
    "last line unended": (b"there.jpg\nlonger.jpg", ["line 2 of the dataset names `longer.jpg`, which does not "
                                                    "exist: tried `longer.jpg`"]),
    "lines across blocks": (b"there.jpg\n" * 10_000 + b"gone.jpg\r\n" + b"there.jpg\n" * 10_000 + b"last.jpg",
                            [f"line {n} of the dataset names `{name}`, which does not exist: tried `{name}`"
                             for n, name in [(10_001, "gone.jpg"), (20_002, "last.jpg")]]),
    "longest line": (b" " * (LONGEST - 9) + b"there.jpg\n", []),
    "longest line unended": (b"there.jpg\n" + b" " * (LONGEST - 9) + b"there.jpg", []),
    "a byte longer": (b"there.jpg\n" + b" " * (LONGEST - 8) + b"there.jpg\n",
                      ["`list.txt` is no list of files: line 2 is longer than 65536 bytes"]),
    "a byte longer, unended": (b" " * (LONGEST - 8) + b"there.jpg",
                               ["`list.txt` is no list of files: line 1 is longer than 65536 bytes"]),
    "no line": (b"", ["the dataset `list.txt` lists no sample"]),
}


@pytest.mark.parametrize("content, messages", DATASETS.values(), ids=DATASETS.keys())
def test_dataset_lines(cli, tmp_path, content, messages):  # noqa: F811
    save(tmp_path, "one input")
    (tmp_path / "there.jpg").write_text("")
    (tmp_path / "list.txt").write_bytes(content)
    assert [f[3] for f in json_of(cli, tmp_path, LOAD + '[build]\ndataset = "list.txt"\n')] == messages


# -- names looked up whole: a NUL byte ends no name ------------------------

# (lines after LOAD, dataset bytes, the messages): each name is that of a file
# that is there, with a NUL byte and more after it.
NUL_NAMES = {
    "dataset entry": ('[build]\ndataset = "list.txt"', b"m.onnx\0.jpg\nm.onnx\n",
                      ["line 1 of the dataset names `m.onnx\0.jpg`, which holds a NUL byte: no file has such a name"]),
    "entry of two inputs": ('inputs = ["images", "images"]\n[build]\ndataset = "list.txt"', b"m.onnx m.onnx\0x\n",
                            ["line 1 of the dataset names `m.onnx\0x`, which holds a NUL byte: no file has such "
                             "a name"]),
    # A NUL made by an escape in a path is a control-character error of its own: nothing more is said of it.
    "accuracy input": ("[accuracy_analysis]\ninputs = ['m.onnx', \"m.onnx\\u0000.jpg\"]", None, []),
    "initial values": ('input_initial_val_file = "m.onnx\\u0000.npy"', None, []),
    "export path": ('[export]\nexport_path = "m.vora\\u0000x"', None, []),
}


@pytest.mark.parametrize("lines, dataset, messages", NUL_NAMES.values(), ids=NUL_NAMES.keys())
def test_a_name_with_a_nul_byte_names_no_file(cli, tmp_path, lines, dataset, messages):  # noqa: F811
    save(tmp_path, "one input")
    if dataset is not None:
        (tmp_path / "list.txt").write_bytes(dataset)
    found = json.loads(check(cli, tmp_path, LOAD + lines + "\n", format="json").stdout)
    assert [f["message"] for f in found if f["code"] == "missing-file"] == messages


def test_accuracy_inputs_report_twenty_entries_then_a_count(cli, tmp_path):  # noqa: F811
    save(tmp_path, "one input")
    (tmp_path / "there.jpg").write_text("")
    names = ["there.jpg" if i % 5 == 0 else f"img{i}.jpg" for i in range(31)]  # 24 missing, 7 there
    text = LOAD + "[accuracy_analysis]\ninputs = [\n" + "".join(f'  "{n}",\n' for n in names) + "]\n"
    found = json_of(cli, tmp_path, text)
    missing = [(i, n) for i, n in enumerate(names) if n != "there.jpg"]
    assert found == [
        *((6 + i, 3, "missing-file", f"`accuracy_analysis.inputs` names `{n}`, which does not exist", None, None)
          for i, n in missing[:20]),
        (6 + missing[20][0], 3, "missing-file",
         "4 more entries of `accuracy_analysis.inputs` name no file, from this one on", None, None)]


# -- text from files shown safely: one line each, nothing acting on a terminal

# (a name, as the text and github formats write it)
UNSAFE_NAMES = {
    "line feed": ("x\n1 file checked: 0 errors, 0 warnings", "x\\u{a}1 file checked: 0 errors, 0 warnings"),
    "carriage return": ("x\rok", "x\\u{d}ok"),
    "window title": ("x\x1b]0;TITLE\x07", "x\\u{1b}]0;TITLE\\u{7}"),
    "clear screen": ("x\x1b[2J", "x\\u{1b}[2J"),
    "C1 CSI": ("x\x9b2J", "x\\u{9b}2J"),
    "bidi override": ("x\u202eevil", "x\\u{202e}evil"),
}
RAW = ["\x1b", "\x07", "\x9b", "\u202e", "\r"]


def unsafe_model(tmp_path, name):
    (tmp_path / "m.onnx").write_bytes(graph([tensor(name, TensorProto.FLOAT, [1, 3, 224, 224])]).SerializeToString())
    return LOAD + "input_size_list = [[1, 3, 640, 224]]\n"


@pytest.mark.parametrize("name, shown", UNSAFE_NAMES.values(), ids=UNSAFE_NAMES.keys())
def test_names_from_a_model_are_escaped_in_the_text_format(cli, tmp_path, name, shown):  # noqa: F811
    done = check(cli, tmp_path, unsafe_model(tmp_path, name))
    assert done.stdout.split("\n") == [
        f"c.toml:4:27: error[model-mismatch]: dimension 2 of input `{shown}` is 640 here and 224 in the model",
        "  |", "4 | input_size_list = [[1, 3, 640, 224]]", "  |                           ^^^",
        f"  = help: expected [1, 3, 224, 224], the shape of the model's input `{shown}` (float32)", "",
        "1 file checked: 1 error, 0 warnings", ""]
    assert json.loads(check(cli, tmp_path, unsafe_model(tmp_path, name), format="json").stdout)[0]["message"] == (
        f"dimension 2 of input `{name}` is 640 here and 224 in the model")  # json keeps the exact name


@pytest.mark.parametrize("name, shown", UNSAFE_NAMES.values(), ids=UNSAFE_NAMES.keys())
def test_names_from_a_model_are_escaped_in_the_github_format(cli, tmp_path, name, shown):  # noqa: F811
    done = check(cli, tmp_path, unsafe_model(tmp_path, name), format="github")
    assert done.stdout == (
        "::error file=c.toml,line=4,col=27,endLine=4,endColumn=30,title=vora-config model-mismatch::"
        f"dimension 2 of input `{shown}` is 640 here and 224 in the model%0A"
        f"help: expected [1, 3, 224, 224], the shape of the model's input `{shown}` (float32)\n")


@pytest.mark.parametrize("format", ["text", "github"])
def test_paths_from_files_are_escaped(cli, tmp_path, format):  # noqa: F811
    save(tmp_path, "one input")
    (tmp_path / "list.txt").write_bytes(b"a\x1b[2J\nb\xc2\x9b2J\nc\xe2\x80\xaeevil\nd\x9b\nx\ry\n")
    text = LOAD + '[build]\ndataset = "list.txt"\n[accuracy_analysis]\ninputs = ["e\\n1 file checked"]\n'
    out = check(cli, tmp_path, text, format=format).stdout
    assert not any(c in out for c in RAW) and out.count("1 file checked: ") == (format == "text")
    names = ["a\\u{1b}[2J", "b\\u{9b}2J", "c\\u{202e}evil", "d\\x{9b}", "x\\u{d}y"]
    shown = [f"line {i + 1} of the dataset names `{n}`, which does not exist: tried `{n}`" for i, n in enumerate(names)]
    if format == "text":
        assert [line.split(": ", 2)[2] for line in out.splitlines() if "[missing-file]" in line] == shown
    else:
        assert [line.split("::")[2] for line in out.splitlines() if "missing-file" in line] == shown


# ---- models made to make check slow, large or wrong ------------------------------------------------------

def write_model(tmp_path, inputs, nodes=()):
    """A model of tensor inputs {name: dims} and node outputs."""
    g = helper.make_graph([helper.make_node("Identity", ["x"], [o]) for o in nodes], "g",
                          [tensor(n, TensorProto.FLOAT, d) for n, d in inputs.items()], [])
    (tmp_path / "m.onnx").write_bytes(helper.make_model(g).SerializeToString())


def messages(cli, tmp_path, lines, timeout=60):  # noqa: F811
    (tmp_path / "c.toml").write_text(LOAD + lines + "\n", encoding="utf-8")
    done = subprocess.run([cli, "check", "--format", "json", "c.toml"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=timeout)
    assert done.returncode in (0, 1), done.stderr
    return [(f["code"], f["message"], f["help"]) for f in json.loads(done.stdout)], len(done.stdout)


def long_name(i):
    return f"block{i:05d}/" + "layer_" * 98 + "out"


def test_wrong_names_against_many_long_value_names_are_quick(cli, tmp_path):  # noqa: F811
    # Each wrong name was measured against every value name (once 7 s a name, release build).
    write_model(tmp_path, {"x": [1]}, nodes=[long_name(i) for i in range(3000)])
    wrong = [long_name(i).replace("layer_", "layr_", 40) for i in range(4)]
    found, _ = messages(cli, tmp_path, "inputs = [" + ", ".join(f'"{w}"' for w in wrong) + "]", timeout=20)
    assert [f[0] for f in found] == ["model-mismatch"] * 4
    assert found[0][1].endswith("which is no value of the model; its inputs are x")


def test_naming_every_input_of_a_large_model_is_quick(cli, tmp_path):  # noqa: F811
    # Each name was looked for among all inputs (quadratic: 100,000 inputs took 25 s, release build).
    names = [f"input_{i}" for i in range(100_000)]
    write_model(tmp_path, {n: [1] for n in names})
    found, _ = messages(cli, tmp_path, "inputs = [" + ", ".join(f'"{n}"' for n in names) + "]\n"
                        "input_size_list = [" + ", ".join(["[1]"] * 99_999) + ", [2]]", timeout=20)
    assert found == [("model-mismatch", "dimension 0 of input `input_99999` is 2 here and 1 in the model",
                      "[1], the shape of the model's input `input_99999` (float32)")]


def test_messages_cut_long_lists_names_and_shapes(cli, tmp_path):  # noqa: F811
    inputs = {**{f"in{i}": [1] for i in range(12)}, "n" * 65_537: [2] * 1000}
    write_model(tmp_path, inputs, nodes=["y" * 200])
    found, size = messages(cli, tmp_path, "inputs = [" + ", ".join(['"wrong"'] * 500 + [f'"{"n" * 65_537}"'] * 200) +
                           "]\ninput_size_list = [" + ", ".join(["[1]"] * 700) + "]")
    long = "`" + "n" * 100 + "...` (65537 bytes)"
    duplicates = [f for f in found if f[0] == "duplicate-name"]
    assert (len(duplicates), duplicates[-1][1]) == (499 + 199, f"`inputs` names {long} twice")
    found = [f for f in found if f[0] == "model-mismatch"][1:]  # after the inputs of the model left out
    assert found[0] == ("model-mismatch", "`inputs` names `wrong`, which is no value of the model; its inputs are "
                        "in0, in1, in2, in3, in4, in5, in6, in7, in8, in9 and 3 more", None)
    assert found[500] == (
        "model-mismatch", f"the shape [1] of input {long} has 1 dimension and the model's 1000",
        f"[2, 2, 2, 2, 2, 2, 2, 2, ... (1000 dimensions)], the shape of the model's input {long} (float32)")
    assert len(found) == 700
    assert size < 1400 * 800  # the 65 KB name and the 1000 dimensions were once in each finding


def test_model_over_two_gib_is_refused_unread(cli, tmp_path):  # noqa: F811
    data = graph([tensor("x", TensorProto.FLOAT, [1])]).SerializeToString()
    with open(tmp_path / "m.onnx", "wb") as f:  # sparse: nothing past the graph is written to the disk
        f.write(data)
        f.truncate(2**31)
    found, _ = messages(cli, tmp_path, "", timeout=10)
    assert found == [("not-a-model", "`m.onnx` is not an ONNX model: it is 2147483648 bytes, over protobuf's limit of "
                      "2 GiB (2147483647 bytes); a model that large keeps its weights in external data files", None)]
    with open(tmp_path / "m.onnx", "r+b") as f:
        f.truncate(2**31 - 1 - len(data))
    assert messages(cli, tmp_path, "")[0][0][0] == "not-a-model"  # zeros: field number 0


DATA = "the model `m.onnx` keeps initializers' data in "


@pytest.mark.parametrize("location, expected", [
    ("w.bin", []),
    ("lost.bin", [DATA + "`lost.bin`, which does not exist"]),
    ("data/lost.bin", [DATA + "`data/lost.bin`, which does not exist"]),
    ("data", [DATA + "`data`, which is a folder, not a file"]),
    ("data/../w.bin", []),
    ("../w.bin", [DATA + "`../w.bin`, which is outside the model's folder, which onnx does not load"]),
    ("/abs/w.bin", [DATA + "`/abs/w.bin`, which is an absolute path, which onnx does not load"]),
    ("link.bin", [DATA + "`link.bin`, which is a symbolic link, which onnx does not follow"]),
    ("", [DATA + "``, which is no file: the location is empty"]),
    ("w.bin:2400:0", []),
    ("w.bin:2401:0", [DATA + "`w.bin`, which is shorter than what the model reads of it"]),
    ("w.bin:2000:401", [DATA + "`w.bin`, which is shorter than what the model reads of it"]),
    ("w.bin:ten:0", [DATA + "`w.bin`, which is read at an offset or length that is no whole number of bytes"]),
])
def test_external_data_onnx_cannot_load_is_reported_at_the_model(cli, tmp_path, location, expected):  # noqa: F811
    (tmp_path / "data").mkdir()
    model = graph([tensor("x", TensorProto.FLOAT, [1, 3, 8, 8])], [weights("w", 300), weights("v", 300)])
    onnx.save_model(model, str(tmp_path / "m.onnx"), save_as_external_data=True, location="w.bin", size_threshold=0)
    (tmp_path / "link.bin").symlink_to(tmp_path / "w.bin")
    m = onnx.load(str(tmp_path / "m.onnx"), load_external_data=False)
    location, *range_ = location.split(":")  # and offset and length, of the 2400 bytes of w.bin
    for t in m.graph.initializer:
        t.external_data[0].value = location
        if range_:
            t.external_data[1].value, t.external_data[2].value = range_
    (tmp_path / "m.onnx").write_bytes(m.SerializeToString())
    text = LOAD + "\n"
    assert [f[3] for f in json_of(cli, tmp_path, text)] == expected
    assert [(f[0], f[1], f[2]) for f in json_of(cli, tmp_path, text)] == [(3, 9, "missing-file")] * len(expected)
    try:  # as the converter would load it
        onnx.load(str(tmp_path / "m.onnx"))
        assert expected == []
    except Exception:
        assert expected != []


def test_unknown_groups_and_long_names_are_read_as_onnx_reads_them(cli, tmp_path):  # noqa: F811
    name = "i" * 65_537
    data = graph([tensor(name, TensorProto.FLOAT, [1])]).SerializeToString()
    (tmp_path / "m.onnx").write_bytes(data + b"\xa3\x06\x08\x01\xa4\x06")  # group 100 holding a varint
    onnx.load(str(tmp_path / "m.onnx"))
    assert messages(cli, tmp_path, f'inputs = ["{name}"]\ninput_size_list = [[1]]') == ([], len("[]\n"))

"""The model-file readers (src/model/) compared with onnx and numpy, through model_dump."""

import ast
import io
import json
import random
import re
import shutil
import struct
import subprocess
import sys
import zipfile

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402

KINDS = {None: "none", "tensor_type": "tensor", "sequence_type": "sequence", "map_type": "map",
         "optional_type": "optional", "sparse_tensor_type": "sparse_tensor", "opaque_type": "opaque"}


def dump(tool, what, path, stats=False):
    done = subprocess.run([tool, *(["--stats"] if stats else []), what, str(path)], capture_output=True, text=True)
    assert done.returncode in (0, 1), done.stderr
    result = json.loads(done.stdout)
    assert result["ok"] == (done.returncode == 0)
    return (result, int(done.stderr.split()[-1])) if stats else result


def value(vi):
    kind = vi.type.WhichOneof("value")
    tensor = getattr(vi.type, kind) if kind in ("tensor_type", "sparse_tensor_type") else None
    shape = None
    if tensor is not None and tensor.HasField("shape"):
        shape = [d.dim_value if d.HasField("dim_value") else d.dim_param if d.HasField("dim_param") else None
                 for d in tensor.shape.dim]
    return {"name": vi.name, "kind": KINDS[kind], "elem_type": tensor.elem_type if tensor else 0, "shape": shape}


def expected(path):
    g = onnx.load(str(path), load_external_data=False).graph
    inits = [t.name for t in g.initializer] + [s.values.name for s in g.sparse_initializer]
    outs = [o for n in g.node for o in n.output]
    names = {vi.name for vi in [*g.input, *g.output, *g.value_info]} | set(inits) | set(outs)
    files = [next((e.value for e in reversed(t.external_data) if e.key == "location"), "") for t in g.initializer
             if t.HasField("data_location") and t.data_location == TensorProto.EXTERNAL]
    return {"ok": True, "inputs": [value(vi) for vi in g.input if vi.name not in inits],
            "outputs": [value(vi) for vi in g.output], "value_info": [value(vi) for vi in g.value_info],
            "initializers": inits, "node_outputs": outs, "names": sorted(names - {""}),
            "data_files": list(dict.fromkeys(files)), "data_file_problems": []}


def graph(inputs, initializers=(), sparse=(), value_info=()):
    nodes = [helper.make_node("Identity", [vi.name], [f"out{i}"]) for i, vi in enumerate(inputs)]
    outputs = [helper.make_tensor_value_info(f"out{i}", TensorProto.FLOAT, None) for i in range(len(inputs))]
    g = helper.make_graph(nodes, "g", list(inputs), outputs, list(initializers), value_info=list(value_info),
                          sparse_initializer=list(sparse))
    return helper.make_model(g)


def tensor(name, elem, dims):
    return helper.make_tensor_value_info(name, elem, dims)


def weights(name, n):
    return numpy_helper.from_array(np.full(n, 0.5, np.float32), name)


MODELS = {
    "one input": lambda: graph([tensor("x", TensorProto.FLOAT, [1, 3, 224, 224])]),
    "several inputs, symbolic and unknown": lambda: graph([
        tensor("images", TensorProto.UINT8, ["batch", 3, "height", "width"]),
        tensor("scale", TensorProto.DOUBLE, []),
        tensor("mask", TensorProto.BOOL, None),
        tensor("ids", TensorProto.INT64, [None, -1, 2**40])]),
    "initializer among the inputs": lambda: graph(
        [tensor("x", TensorProto.FLOAT, [2]), tensor("w", TensorProto.FLOAT, [4])], [weights("w", 4)]),
    "large initializer before the inputs": lambda: graph([tensor("x", TensorProto.FLOAT, ["N", 8])],
                                                         [weights("big", 2_000_000), weights("small", 3)]),
    "other types and sparse initializer": lambda: graph(
        [helper.make_tensor_sequence_value_info("seq", TensorProto.FLOAT, [2]),
         helper.make_sparse_tensor_value_info("sp", TensorProto.FLOAT16, [5, "k"]),
         helper.make_value_info("opt", helper.make_optional_type_proto(
             helper.make_tensor_type_proto(TensorProto.INT8, [1])))],
        sparse=[helper.make_sparse_tensor(weights("sv", 2), numpy_helper.from_array(np.array([0, 3]), "si"), [4])],
        value_info=[tensor("mid", TensorProto.FLOAT16, ["a", None])]),
}


@pytest.mark.parametrize("external", [False, True], ids=["inline", "external data"])
@pytest.mark.parametrize("make", MODELS.values(), ids=MODELS.keys())
def test_onnx_matches_onnx(model_dump, tmp_path, make, external):
    path = tmp_path / "model.onnx"
    onnx.save_model(make(), str(path), save_as_external_data=external, location="weights.bin",
                    size_threshold=0)
    result, read = dump(model_dump, "onnx", path, stats=True)
    assert result == expected(path)
    # Tensor data is skipped, not read: only the graph's small fields are.
    assert read < 100_000, read


def test_onnx_value_info_of_shape_inference(model_dump, tmp_path):
    x = tensor("x", TensorProto.FLOAT, ["N", 4])
    node = helper.make_node("Relu", ["x"], ["r"]), helper.make_node("Neg", ["r"], ["y"])
    model = helper.make_model(helper.make_graph(list(node), "g", [x], [tensor("y", TensorProto.FLOAT, None)]))
    path = tmp_path / "inferred.onnx"
    onnx.save(onnx.shape_inference.infer_shapes(model), str(path))
    result = dump(model_dump, "onnx", path)
    assert result == expected(path)
    assert result["value_info"] == [{"name": "r", "kind": "tensor", "elem_type": 1, "shape": ["N", 4]}]


def model_bytes():
    model = graph([tensor("x", TensorProto.FLOAT, [1, 3])], [weights("w", 1000)])
    return model.SerializeToString()


BAD_MODELS = {
    "truncated": (lambda: model_bytes()[: len(model_bytes()) // 2], "truncated"),
    "text": (lambda: b"hello world\n", "malformed"),
    "npy file": (lambda: np.lib.format.magic(1, 0) + b"\x10\x00{'descr': '<f4'}", "malformed"),
    "empty": (lambda: b"", "no_graph"),
    "a model without graph": (lambda: onnx.ModelProto(ir_version=8, producer_name="p").SerializeToString(), "no_graph"),
    "overlong varint": (lambda: b"\x08" + b"\xff" * 10 + b"\x01", "malformed"),
}


@pytest.mark.parametrize("make, error", BAD_MODELS.values(), ids=BAD_MODELS.keys())
def test_onnx_refused(model_dump, tmp_path, make, error):
    path = tmp_path / "bad.onnx"
    path.write_bytes(make())
    result = dump(model_dump, "onnx", path)
    assert (result["ok"], result["error"]) == (False, error)
    assert result["message"].startswith("not an ONNX model: ")
    if error != "no_graph":  # onnx refuses the bytes as well
        with pytest.raises(Exception):
            onnx.load_model_from_string(path.read_bytes())


ARRAYS = {
    "float32 matrix": np.zeros((2, 3), "<f4"),
    "scalar": np.array(7, ">i8"),
    "empty": np.zeros((0, 5), "u1"),
    "fortran": np.asfortranarray(np.ones((3, 4, 2))),
    "bool and strings": np.array(["ab", "c"], "<U5"),
    "structured": np.zeros(3, [("a", "<i4"), ("b", "<f8", (2,))]),
}


def numpy_header(data):
    f = io.BytesIO(data)
    version = np.lib.format.read_magic(f)
    read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
    shape, fortran, dtype = read(f)
    return {"dtype": np.lib.format.dtype_to_descr(dtype), "fortran_order": fortran, "shape": list(shape)}


def ours(array):
    dtype = array["dtype"]
    return {"dtype": ast.literal_eval(dtype) if dtype.startswith("[") else dtype,
            "fortran_order": array["fortran_order"], "shape": array["shape"]}


@pytest.mark.parametrize("version", [(1, 0), (2, 0), (3, 0)])
@pytest.mark.parametrize("array", ARRAYS.values(), ids=ARRAYS.keys())
def test_npy_matches_numpy(model_dump, tmp_path, array, version):
    f = io.BytesIO()
    np.lib.format.write_array(f, array, version=version)
    path = tmp_path / "a.npy"
    path.write_bytes(f.getvalue())
    result = dump(model_dump, "arrays", path)
    assert (result["ok"], result["archive"], len(result["arrays"])) == (True, False, 1)
    assert ours(result["arrays"][0]) == numpy_header(f.getvalue())


def savez_zip64(path, **arrays):
    """np.savez, its end record moved to zip64's (which a reader must follow when the plain one is saturated)."""
    np.savez(path, **arrays)
    data = path.read_bytes()
    _, _, _, count, _, size, offset, _ = struct.unpack("<IHHHHIIH", data[-22:])
    z64 = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, size, offset)
    locator = struct.pack("<IIQI", 0x07064B50, 0, len(data) - 22, 1)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    path.write_bytes(data[:-22] + z64 + locator + end)


@pytest.mark.parametrize("save", [np.savez, np.savez_compressed, savez_zip64], ids=["stored", "deflated", "zip64"])
def test_npz_matches_numpy(model_dump, tmp_path, save):
    rng = np.random.default_rng(1)
    members = {"random": rng.random((300, 200)), "zeros": np.zeros((64, 64), "<f2"), **ARRAYS}
    path = tmp_path / "values.npz"
    save(path, **members)
    result = dump(model_dump, "arrays", path)
    assert (result["ok"], result["archive"]) == (True, True)
    with zipfile.ZipFile(path) as z:
        want = [{"name": n[:-4], **numpy_header(z.read(n))} for n in z.namelist()]
    assert [{"name": a["name"], **ours(a)} for a in result["arrays"]] == want


def npz_bytes():
    f = io.BytesIO()
    np.savez_compressed(f, a=np.arange(10))
    return f.getvalue()


def corrupt_deflate():
    data = bytearray(npz_bytes())
    data[40:60] = b"\xff" * 20  # inside the first member's deflated bytes
    return bytes(data)


def other_method():
    f = io.BytesIO()
    with zipfile.ZipFile(f, "w", zipfile.ZIP_BZIP2) as z:
        with z.open("a.npy", "w") as member:
            np.save(member, np.arange(3))
    return f.getvalue()


BAD_ARRAYS = {
    "empty": (lambda: b"", "not_arrays"),
    "text": (lambda: b"a,b\n1,2\n", "not_arrays"),
    "zip without its end": (lambda: npz_bytes()[:-30], "bad_archive"),
    "broken deflate": (corrupt_deflate, "bad_archive"),
    "bzip2 member": (other_method, "unsupported"),
    "npy version 9": (lambda: b"\x93NUMPY\x09\x00\x10\x00{}" + b" " * 14, "bad_header"),
    "npy header cut": (lambda: np.lib.format.magic(1, 0) + b"\x40\x00{'descr': '<f4',", "bad_header"),
    "npy extra key": (lambda: b"\x93NUMPY\x01\x00\x46\x00{'descr': '<f4', 'fortran_order': False, 'shape': (), 'x': 1}\n",
                      "bad_header"),
    "npy huge header": (lambda: b"\x93NUMPY\x02\x00\xff\xff\xff\x7f{", "too_large"),
}


@pytest.mark.parametrize("make, error", BAD_ARRAYS.values(), ids=BAD_ARRAYS.keys())
def test_arrays_refused(model_dump, tmp_path, make, error):
    path = tmp_path / "bad.npz"
    path.write_bytes(make())
    result = dump(model_dump, "arrays", path)
    assert (result["ok"], result["error"]) == (False, error), result
    refused = "an npy/npz file numpy.load refuses: " if error == "too_large" else "not an npy/npz file: "
    assert result["message"].startswith(refused)
    if error == "unsupported":  # numpy reads it, through zipfile's other decompressors
        return
    with pytest.raises(Exception):
        with np.load(path, allow_pickle=False) as values:
            [values[k] for k in values.files]


# ---- the reader's verdict against onnx.load's, on hostile and mutated models --------------------------------

def wire_varint(n):
    out = bytearray()
    while True:
        out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
        n >>= 7
        if not n:
            return bytes(out)


def key(number, wire_type):
    return wire_varint(number << 3 | wire_type)


def ld(number, payload):
    return key(number, 2) + wire_varint(len(payload)) + payload


def group(number, inside=b""):
    return key(number, 3) + inside + key(number, 4)


# Unknown fields protobuf reads past: every wire type, groups nested and holding fields, and a known
# field number with another wire type than its declaration's.
GOOD_JUNK = {
    "varint": key(90, 0) + wire_varint(2**63),
    "fixed64": key(91, 1) + b"\0" * 8,
    "fixed32": key(92, 5) + b"\0" * 4,
    "bytes": ld(93, b"\xff" * 40),
    "empty group": group(94),
    "group of fields": group(95, key(1, 0) + b"\x05" + ld(2, b"x") + key(3, 5) + b"\0" * 4 + group(4, group(5))),
    "known field as varint": key(1, 0) + b"\x01",
    "known field as fixed32": key(2, 5) + b"\0" * 4,
    "known field as group": group(1, ld(1, b"y")),
}
# Bytes protobuf refuses.
BAD_JUNK = {
    "group ended by another field": key(96, 3) + key(97, 4),
    "group not closed": key(96, 3) + key(1, 0) + b"\x01",
    "end of a group never begun": key(96, 4),
    "wire type 6": key(96, 6),
    "field number 0": b"\x00\x00",
    "varint of 11 bytes": key(96, 0) + b"\xff" * 10 + b"\x01",
    "length past the end": key(96, 2) + b"\x7f",
}


def with_junk(model, place, junk):
    """The bytes of `model` with `junk` at the end of one of its messages (of the first input for the inner ones)."""
    model = onnx.ModelProto.FromString(model.SerializeToString())
    if place == "model":
        return model.SerializeToString() + junk
    graph_bytes = model.graph.SerializeToString()
    if place == "input":
        g = onnx.GraphProto.FromString(graph_bytes)
        first = g.input[0].SerializeToString()
        del g.input[0]
        graph_bytes = g.SerializeToString() + ld(11, first + junk)
    elif place in ("type", "shape", "dim"):  # only junk protobuf reads: through its own parse, kept as unknown
        vi = model.graph.input[0]
        sub = {"type": vi.type, "shape": vi.type.tensor_type.shape, "dim": vi.type.tensor_type.shape.dim[0]}[place]
        sub.CopyFrom(type(sub).FromString(sub.SerializeToString() + junk))
        graph_bytes = model.graph.SerializeToString()
    elif place == "graph":
        graph_bytes += junk
    model.ClearField("graph")
    return model.SerializeToString() + ld(7, graph_bytes)


def with_attributes():
    """A model whose nodes hold attributes of each kind, sub-graphs, and whose functions and metadata are set."""
    branch = helper.make_graph([helper.make_node("Constant", [], ["k"], value=weights("kv", 3))], "b", [],
                               [tensor("k", TensorProto.FLOAT, [3])])
    nodes = [helper.make_node("If", ["c"], ["y"], then_branch=branch, else_branch=branch),
             helper.make_node("Custom", ["y"], ["z"], domain="local", ints=[1, -2, 2**40], floats=[0.5, 2.0],
                              strings=[b"a", b"b"], i=7, f=1.5, s=b"text", tensors=[weights("t", 2)])]
    g = helper.make_graph(nodes, "g", [tensor("c", TensorProto.BOOL, [1])], [tensor("z", TensorProto.FLOAT, None)],
                          [numpy_helper.from_array(np.arange(4, dtype=np.int64), "ints")])
    model = helper.make_model(g, opset_imports=[helper.make_opsetid("", 17), helper.make_opsetid("local", 1)],
                              functions=[helper.make_function("local", "F", ["a"], ["b"],
                                                              [helper.make_node("Neg", ["a"], ["b"])],
                                                              [helper.make_opsetid("", 17)])])
    helper.set_model_props(model, {"author": "tests"})
    return model


def hostile_models(tmp_path):
    """(name, file) of a few hundred models written into tmp_path, each in a folder of its own."""
    bases = {name: MODELS[name]() for name in ("one input", "several inputs, symbolic and unknown",
                                                  "initializer among the inputs")}
    bases["shape of dims"] = graph([tensor("x", TensorProto.FLOAT, [1, "N", None])], [weights("w", 50)])
    bases["attributes and sub-graphs"] = with_attributes()
    made = {}
    for base, model in bases.items():
        for junk_name, junk in GOOD_JUNK.items():
            for place in ("model", "graph", "input", "type", "shape", "dim"):
                made[f"{base}, {junk_name} in {place}"] = with_junk(model, place, junk)
        for junk_name, junk in BAD_JUNK.items():
            for place in ("model", "graph", "input"):
                made[f"{base}, {junk_name} in {place}"] = with_junk(model, place, junk)
        data = model.SerializeToString()
        rng = random.Random(len(data))
        for cut in sorted(rng.sample(range(len(data)), 12)):
            made[f"{base}, cut at {cut} of {len(data)}"] = data[:cut]
        for at in sorted(rng.sample(range(len(data) * 8), 40)):  # a bit flipped anywhere
            flipped = bytearray(data)
            flipped[at // 8] ^= 1 << at % 8
            made[f"{base}, bit {at} flipped"] = bytes(flipped)
    one = bases["one input"]
    for depth in (99, 100, 101):
        made[f"groups {depth} deep"] = one.SerializeToString() + \
            b"".join(key(50, 3) for _ in range(depth)) + b"".join(key(50, 4) for _ in range(depth))
        made[f"groups {depth} deep in the graph"] = with_junk(
            one, "graph", b"".join(key(50, 3) for _ in range(depth)) + b"".join(key(50, 4) for _ in range(depth)))
    made["long names"] = graph([tensor("n" * 65_537, TensorProto.FLOAT, ["d" * 70_000])]).SerializeToString()
    files = []
    for i, (name, data) in enumerate(made.items()):
        (tmp_path / str(i)).mkdir()
        path = tmp_path / str(i) / "m.onnx"
        path.write_bytes(data)
        files.append((name, path))
    ranges = [{"offset": o, "length": n} for o, n in [("4000", "0"), ("4001", "0"), ("0", "4001"), ("3999", "1"),
                                                      (" +1_0 ", "3990"), ("1__0", "1"), ("-1", "1"), ("0", "x")]]
    for i, (location, rewritten) in enumerate([(location, {}) for location in [
            "w.bin", "sub/w.bin", "sub/../w.bin", "./w.bin", "lost.bin", "sub/lost.bin", "sub", "../w.bin",
            "{folder}/w.bin", "link.bin", ""]] + [("w.bin", r) for r in ranges]):
        folder = tmp_path / "external" / str(i)  # not tmp_path, the working folder, where save_model looks too
        (folder / "sub").mkdir(parents=True)
        onnx.save_model(graph([tensor("x", TensorProto.FLOAT, [2])], [weights("w", 1000)]), str(folder / "m.onnx"),
                        save_as_external_data=True, location="w.bin", size_threshold=0)
        shutil.copy(folder / "w.bin", folder / "sub" / "w.bin")
        shutil.copy(folder / "w.bin", folder.parent / "w.bin")
        (folder / "link.bin").symlink_to(folder / "w.bin")
        model = onnx.load(str(folder / "m.onnx"), load_external_data=False)
        for entry in model.graph.initializer[0].external_data:  # location, offset, length of 4000 bytes
            entry.value = rewritten.get(entry.key, location.format(folder=folder) if entry.key == "location" else
                                        entry.value)
        (folder / "m.onnx").write_bytes(model.SerializeToString())
        files.append((f"external data in {location!r} {rewritten}", folder / "m.onnx"))
    return files


def loads(path):
    """Whether onnx.load (external data loaded from the model's folder, as the converter loads it) gives a graph."""
    try:
        return onnx.load(str(path)).HasField("graph")
    except Exception:
        return False


def version_of(module):
    return tuple(int(part) for part in re.findall(r"\d+", module.__version__)[:2])


# The rules the readers follow are those of numpy 2 and of onnx 1.20 on (external data kept inside the
# model's folder, no links); older releases, which the oldest Pythons get, judge some files otherwise.
OLD_ONNX = pytest.mark.skipif(version_of(onnx) < (1, 20), reason="onnx before 1.20 judges external data otherwise")
OLD_NUMPY = pytest.mark.skipif(version_of(np) < (2, 0), reason="numpy 1 reads files numpy 2 refuses (33 dimensions)")


@OLD_ONNX
def test_verdicts_agree_with_onnx_load(model_dump, tmp_path):
    files = hostile_models(tmp_path)
    assert len(files) > 300
    done = subprocess.run([model_dump, "onnx", *(str(p) for _, p in files)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode in (0, 1), done.stderr
    results = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(results) == len(files)
    ours = {name: r["ok"] and not r["data_file_problems"] for (name, _), r in zip(files, results)}
    theirs = {name: loads(path) for name, path in files}
    assert {n for n in ours if ours[n] != theirs[n]} == set()
    assert 100 < sum(theirs.values()) < len(files) - 50  # both verdicts are well represented
# ---- the reader against numpy.load on hostile files ---------------------------------
#
# Each generated file is judged by model_dump and by numpy.load (every array
# read, as the converter reads them: an .npz member that numpy gives as bytes
# is no array). The data after a header is always whole and each member's
# CRC right: a header-only reader cannot see data cut short, a broken
# deflate stream after the header or a bad CRC, which numpy.load finds when
# it reads the data; those disagreements are out of reach and not generated.

import random  # noqa: E402
import warnings  # noqa: E402
import zlib  # noqa: E402


def numpy_loads(path):
    """The arrays (name, shape) numpy.load gives, or None when it refuses the file."""
    try:
        # The file opened here, so that it is closed whatever numpy.load raises.
        with open(path, "rb") as file, warnings.catch_warnings():
            warnings.simplefilter("ignore")
            loaded = np.load(file)
            if isinstance(loaded, np.ndarray):
                return [("", list(loaded.shape))]
            with loaded as z:
                values = [(k, z[k]) for k in z.files]
    except Exception:
        return None
    if not all(isinstance(v, np.ndarray) for _, v in values):
        return None
    return [(k, list(v.shape)) for k, v in values]


def dump_many(tool, paths):
    done = subprocess.run([tool, "arrays", *map(str, paths)], capture_output=True, text=True, timeout=60)
    assert done.returncode in (0, 1), done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def disagreements(tool, cases):
    """The cases (name -> path) where the reader and numpy.load differ."""
    names = list(cases)
    out = []
    for name, result in zip(names, dump_many(tool, [cases[n] for n in names])):
        want = numpy_loads(cases[name])
        got = [(a["name"], a["shape"]) for a in result["arrays"]] if result["ok"] else None
        assert not result["ok"] or all(a.get("header_read", True) for a in result["arrays"]), name
        if got != want:
            out.append((name, want, result))
    return out


read_array_header = getattr(np.lib.format, "_read_array_header", None) or np.lib._format_impl._read_array_header


def npy_file(text, version=(1, 0), data=None):
    """An .npy file of header `text` (str or bytes) and, unless given, the data numpy's header reading asks for."""
    raw = text if isinstance(text, bytes) else text.encode("utf-8" if version == (3, 0) else "latin1")
    size = struct.pack("<H" if version == (1, 0) else "<I", len(raw) % (1 << (16 if version == (1, 0) else 32)))
    head = np.lib.format.magic(*version) + size + raw
    if data is None:
        data = b""
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                f = io.BytesIO(head)
                np.lib.format.read_magic(f)
                shape, _, dtype = read_array_header(f, version)
            count = int(np.prod(shape, dtype=np.int64)) if shape else 1
            data = bytes(min(max(count, 0) * dtype.itemsize, 1 << 16))
        except Exception:
            data = bytes(64)
    return head + data


def header(descr="'<f4'", fortran="False", shape="(2, 3)"):
    return "{'descr': %s, 'fortran_order': %s, 'shape': %s, }" % (descr, fortran, shape)


DTYPES = ["'<f4'", "'>i8'", "'|u1'", "'u1'", "'<U5'", "'|S3'", "'|V4'", "'<c8'", "'<M8[ns]'", "'<m8[D]'",
          "'float32'", "'int'", "'b1'", "'?'", "'<f2'", "'<g'", "'f04'", "'a5'", "'S'", "'=f4'", "'M8[us/2]'",
          "'garbage'", "'<f3'", "'i16'", "'u'", "'<<f4'", "''", "'f4 '", "'M8[B]'", "'M[s]'", "'<float32'", "'c1'",
          "'O'", "'|O'", "'<O8'", "'object'", "'T'", "'f4,O'",
          "'f4,i4'", "'3f4'", "'(2,)i4'", "'f4,'", "'f4,,i4'", "',f4'", "'(2,3) f4, >i2'", "'<2f4'",
          "[('a', '<i4')]", "[('a', '<i4'), ('a', '<f4')]", "[('a', 'O')]", "[('a', [('b', '|O')])]",
          "[('', '|V4'), ('x', '<f8')]", "[(('t', 'a'), '<i4')]", "[(('t', 'a'), '<i4'), ('t', '<f4')]",
          "[('a', '<i4', (2,))]", "[('a', '<i4', -1)]", "[('a', '<i4', True)]", "[]", "[('a',)]", "[(1, '<i4')]",
          "('<f4', (2,))", "('<f4',)", "('<f4', -1)", "('<f4', 2)", "None", "1", "b'<f4'", "{'a': 1}"]

SHAPES = ["()", "(3,)", "(2, 3)", "(3)", "[3]", "(1_0, 3)", "(0x10,)", "(0o7,)", "(0b11,)", "(-1,)", "(True,)",
          "(1.0,)", "(10L,)", "(2 ,3 ,)", "( 3 , )", "((3),)", "(3,,)", "(03,)", "(3_,)", "(+3,)", "(-0,)", "(0, 5)",
          "(1 0,)", "(1e3,)", "(3j,)", "(0x,)", "(1__0,)", "(2 L,)", "(3,) # a comment", "(3,\n 4)", "(3,\\\n4)",
          "(9223372036854775808,)", "(4611686018427387904, 4)", "(4294967296, 0, 4294967296)",
          "(2147483648, 2147483648, 0)", "(" + "1," * 64 + ")", "(" + "1," * 65 + ")"]

FORTRAN = ["True", "False", "1", "0", "'False'", "None", "True and False"]

# Out of reach: a named escape (\N{...}) needs Unicode's name table, which the reader does not hold; it refuses
# the header where numpy.load reads it.
NAMED_ESCAPE = "{'descr': '\\N{LESS-THAN SIGN}f4', 'fortran_order': False, 'shape': (3,)}"
DICTS = [
    "{'descr': '<f4', 'shape': (3,)}",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (3,), 'x': 1}",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (9, 9, 9, 9, 9), 'shape': (3,)}",
    "{'descr': 'garbage', 'descr': '<f4', 'fortran_order': False, 'shape': (3,)}",
    "{1: 2, 'descr': '<f4', 'fortran_order': False, 'shape': (3,)}",
    "{\"descr\": \"<f4\", \"fortran_order\": False, \"shape\": (3,)}",
    "{'''descr''': r'<f4', 'fortran_order': False, 'shape': (3,)}",
    "{b'descr': '<f4', 'fortran_order': False, 'shape': (3,)}",
    "{'de' 'scr': '<f' \"4\", 'fortran_order': False, 'shape': (3,)}",
    "{'descr': '\\x3cf4', 'fortran_order': False, 'shape': (3,)}",
    "{'descr': '\\u003cf4', 'fortran_order': False, 'shape': (3,)}",
    NAMED_ESCAPE,
    "{'descr': '<f4', # the type\n 'fortran_order': False, 'shape': (3,)}",
    "\n{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}",
    "\n  {'descr': '<f4', 'fortran_order': False, 'shape': (3,)}",
    "  \t{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}",
    "\f{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}",
    "\n \f{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}",
    "\n\f {'descr': '<f4', 'fortran_order': False, 'shape': (3,)}",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (3,)} extra",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}, {}",
    "({'descr': '<f4', 'fortran_order': False, 'shape': (3,)})",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}\0",
    "['descr', '<f4']",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (3,)",
    "{'descr': '<f4' 'fortran_order': False, 'shape': (3,)}",
    "{'descr': f'<f4', 'fortran_order': False, 'shape': (3,)}",
    "{'descr': u'<f4', 'fortran_order': False, 'shape': (3,)}",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (3,), **{}}",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (3,), 'shape': [3]}",
    "{'descr': 'é', 'fortran_order': False, 'shape': (3,)}",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (" + "(" * 210 + "3" + ")" * 210 + ",)}",
    "{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}" + " " * 9950,
    "{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}" + " " * 9960,
]


def npy_cases():
    cases = {}
    for i, d in enumerate(DTYPES):
        cases[f"descr {d}"] = (header(descr=d, shape="(3,)"), (1, 0))
    for i, s in enumerate(SHAPES):
        for version in [(1, 0), (3, 0)] if "L" in s else [(1, 0)]:
            cases[f"shape {s} v{version[0]}"] = (header(shape=s), version)
    for f in FORTRAN:
        cases[f"fortran {f}"] = (header(fortran=f), (2, 0))
    for i, d in enumerate(DICTS):
        cases[f"dict {i}"] = (d, (1, 0))
    cases["v3 utf-8 field name"] = (header(descr="[('\u00e9\u4e2d', '<i4')]", shape="(3,)"), (3, 0))
    cases["v1 latin-1 field name"] = (header(descr="[('\u00e9', '<i4')]", shape="(3,)"), (1, 0))
    cases["v3 invalid utf-8"] = (b"{'descr': '\xff', 'fortran_order': False, 'shape': (3,)}", (3, 0))
    cases["v3 9999 wide characters"] = (header(shape="(3,)") + "\u4e2d" * 0 + " " * (9999 - len(header(shape="(3,)"))),
                                        (3, 0))
    cases["v3 10001 characters in fewer bytes ok"] = ("{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}#"
                                                      + "\u4e2d" * 3000, (3, 0))
    cases["v3 10001 characters"] = ("{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}#" + "\u4e2d" * 9950,
                                    (3, 0))
    return cases


LEADING_BLANKS = "  \t{'descr': '<f4', 'fortran_order': False, 'shape': (3,)}"
SHARED_STREAM = "three members share a stream (deflated)"


def judged_otherwise():
    """The generated files that this numpy and this Python judge otherwise than those the readers follow
    (numpy 2.4; Python 3.10 to 3.14's ast.literal_eval and zipfile): numpy before 2.3 reads a negative
    dimension of a version-1 header, numpy 2.5 refuses the type code 'a'; Python 3.9's literal_eval refuses
    a header's leading blanks; a zipfile that refuses members sharing their bytes (3.15, and the security
    releases that have it) refuses the archive of a shared stream."""
    names = set()
    if version_of(np) < (2, 3):
        names.add("shape (-1,) v1")
    if version_of(np) >= (2, 5):
        names.add("descr 'a5'")
    if sys.version_info < (3, 10):
        at = DICTS.index(LEADING_BLANKS)
        names |= {f"dict {at}", f"member with dict {at} (stored)", f"member with dict {at} (deflated)"}
    try:
        with zipfile.ZipFile(io.BytesIO(npz_cases()[SHARED_STREAM])) as archive:
            for name in archive.namelist():
                archive.read(name)
    except zipfile.BadZipFile:
        names.add(SHARED_STREAM)
    return names


@OLD_NUMPY
def test_npy_headers_agree_with_numpy(model_dump, tmp_path):
    files = {}
    for i, (name, (text, version)) in enumerate(npy_cases().items()):
        path = tmp_path / f"{i}.npy"
        path.write_bytes(npy_file(text, version))
        files[name] = path
    broken = {
        "version 1.1": b"\x93NUMPY\x01\x01\x10\x00{}" + b" " * 14,
        "version 4": b"\x93NUMPY\x04\x00\x10\x00\x00\x00{}" + b" " * 14,
        "length past the file": np.lib.format.magic(1, 0) + b"\xff\x00{'descr': '<f4'",
        "magic only": np.lib.format.magic(2, 0),
        "header 10001 characters": npy_file(header(shape="(3,)") + " " * (10001 - len(header(shape="(3,)"))), (2, 0)),
        "header 10000 characters": npy_file(header(shape="(3,)") + " " * (10000 - len(header(shape="(3,)"))), (2, 0)),
    }
    for i, (name, data) in enumerate(broken.items()):
        files[name] = tmp_path / f"b{i}.npy"
        files[name].write_bytes(data)
    assert len(files) > 150
    found = [name for name, _, _ in disagreements(model_dump, files)]
    assert set(found) - judged_otherwise() == {f"dict {DICTS.index(NAMED_ESCAPE)}"}


class Bits:
    """Deflate's bit order: values from the low bit, Huffman codes from the high bit."""

    def __init__(self):
        self.out, self.acc, self.n = bytearray(), 0, 0

    def put(self, value, count):
        self.acc |= value << self.n
        self.n += count
        while self.n >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.n -= 8

    def code(self, code, length):
        self.put(int(format(code, f"0{length}b")[::-1], 2), length)

    def align(self):
        if self.n:
            self.put(0, 8 - self.n)


def empty_dynamic_block(bits):
    """A dynamic block of 11 bytes that writes nothing: its only literal/length code is end-of-block."""
    bits.put(0, 1), bits.put(2, 2)
    bits.put(0, 5), bits.put(0, 5), bits.put(14, 4)  # 257 lengths, 1 distance, 18 code length codes
    for symbol in [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1]:
        bits.put(1 if symbol in (1, 18) else 0, 3)  # symbol 1 is code 0, symbol 18 code 1
    bits.code(1, 1), bits.put(138 - 11, 7), bits.code(1, 1), bits.put(118 - 11, 7)  # 256 zero lengths
    bits.code(0, 1), bits.code(0, 1)  # end-of-block and the distance: length 1
    bits.code(0, 1)  # end-of-block


def tiny_blocks(content, blocks):
    """A deflate stream: `blocks` empty dynamic blocks, then `content` in a final stored block."""
    four = Bits()  # four blocks end on a byte
    for _ in range(4):
        empty_dynamic_block(four)
    bits = Bits()
    for _ in range(blocks % 4):
        empty_dynamic_block(bits)
    bits.put(1, 1), bits.put(0, 2), bits.align()
    stored = struct.pack("<HH", len(content), len(content) ^ 0xFFFF) + content
    return bytes(four.out) * (blocks // 4) + bytes(bits.out) + stored


def deflate(content):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(content) + c.flush()


def member(name, content, method=0, **fields):
    return {"name": name.encode() if isinstance(name, str) else name, "content": content, "method": method, **fields}


def zip_bytes(members, count=None, zip64=None, prefix=b"", comment=b"", cd_shift=0, trailing=b""):
    """A zip archive written by hand, its CRCs right; each member may override its stream, local name,
    flags, extract version, central extra field and compressed size."""
    body, central = b"", b""
    for m in members:
        content, method = m["content"], m["method"]
        stream = m.get("stream", deflate(content) if method == 8 else content)
        crc, local_name = zlib.crc32(content), m.get("local_name", m["name"])
        flags, extra = m.get("flags", 0), m.get("extra", b"")
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x21, crc, len(stream), len(content),
                            len(local_name), 0) + local_name + stream
        sizes = m.get("sizes", (m.get("csize", len(stream)), len(content)))
        central += struct.pack("<IBBBBHHHHIIIHHHHHII", 0x02014B50, 20, 3, m.get("version", 20), 0, flags, method, 0,
                               0x21, crc, *sizes, len(m["name"]), len(extra), 0, 0, 0, 0,
                               m.get("offset", len(body) - len(stream) - len(local_name) - 30)) + m["name"] + extra
    offset = len(body) + cd_shift
    n = len(members) if count is None else count
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, n, n, len(central), offset, len(comment))
    if zip64 is not None:
        record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, zip64, zip64, len(central), offset)
        end = record + struct.pack("<IIQI", 0x07064B50, 0, len(body) + len(central), 1) + struct.pack(
            "<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, len(comment))
    return prefix + body + central + end + comment + trailing


def shared_stream(count, blocks, content):
    """`count` members whose local headers all lead to one deflate stream (each header's extra field spans the
    headers after it)."""
    stream, names = tiny_blocks(content, blocks), [f"a{i}.npy".encode() for i in range(count)]
    start = sum(30 + len(n) for n in names)
    crc, local, central, at = zlib.crc32(content), b"", b"", 0
    for n in names:
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(stream), len(content), len(n),
                             start - at - 30 - len(n)) + n
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, len(stream), len(content),
                               len(n), 0, 0, 0, 0, 0, at) + n
        at += 30 + len(n)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(central), len(local) + len(stream), 0)
    return local + stream + central + end


def npy_of(array):
    f = io.BytesIO()
    np.save(f, array)
    return f.getvalue()


def npz_cases():
    a, b, c = npy_of(np.zeros((2, 3), "<f4")), npy_of(np.arange(5)), npy_of(np.ones((1, 4), "<f2"))
    cases = {}
    for method in (0, 8):
        def base(**over):
            return [member("a.npy", a, method, **over), member("b.npy", b, method), member("c.npy", c, method)]

        structures = {
            "plain": zip_bytes(base()),
            "end count 1 of 3": zip_bytes(base(), count=1),
            "end count 9 of 3": zip_bytes(base(), count=9),
            "end count 0 of 3": zip_bytes(base(), count=0),
            "zip64 count 99 of 3": zip_bytes(base(), zip64=99),
            "zip64 count 1 of 3": zip_bytes(base(), zip64=1),
            "bytes before the archive": zip_bytes(base(), prefix=b"#!junk\n" * 15),
            "a stray local header before the archive": zip_bytes(base(), prefix=b"PK\x03\x04" + bytes(96)),
            "directory offset 10 short": zip_bytes(base(), cd_shift=-10),
            "a comment": zip_bytes(base(), comment=b"made by hand"),
            "an end signature in the comment": zip_bytes(base(), comment=b"xxPK\x05\x06yy"),
            "bytes after the end record": zip_bytes(base(), trailing=b"z" * 30),
            "the end record 70000 bytes before the end": zip_bytes(base(), trailing=b"z" * 70000),
            "directory offset 10 off": zip_bytes(base(), cd_shift=10),
            "a repeated name": zip_bytes([member("a.npy", a, method), member("a.npy", b, method)]),
            "a name without .npy and with": zip_bytes([member("a", b, method), member("a.npy", a, method)]),
            "a name with .npy and without": zip_bytes([member("a.npy", a, method), member("a", b, method)]),
            "a member that is no npy": zip_bytes(base() + [member("notes.txt", b"hello", method)]),
            "an npy member named .txt": zip_bytes([member("x.txt", a, method)]),
            "a member named .npy": zip_bytes([member(".npy", a, method)]),
            "a NUL in a name": zip_bytes([member(b"a.npy\0junk", a, method)]),
            "local name differs": zip_bytes(base(local_name=b"z.npy")),
            "local name differs past a NUL": zip_bytes([member(b"a.npy\0x", a, method, local_name=b"a.npy\0y")]),
            "UTF-8 flag on a name that is not": zip_bytes([member(b"\xff.npy", a, method, flags=0x800)]),
            "code page 437 name": zip_bytes([member(b"\x80\xe1.npy", a, method)]),
            "UTF-8 name": zip_bytes([member("\u00e9\u4e2d.npy".encode(), a, method, flags=0x800)]),
            "encrypted": zip_bytes(base(flags=1)),
            "patch data": zip_bytes(base(flags=0x20)),
            "compression method 99": zip_bytes([member("a.npy", a, 99, stream=a)]),
            "extract version 6.4": zip_bytes(base(version=64)),
            "extract version 6.3": zip_bytes(base(version=63)),
            "zip64 extra sizes": zip_bytes([member("a.npy", a, method, sizes=(0xFFFFFFFF, 0xFFFFFFFF),
                                                   extra=struct.pack("<HHQQ", 1, 16, len(a), len(
                                                       deflate(a) if method == 8 else a)))]),
            "zip64 extra cut short": zip_bytes([member("a.npy", a, method, sizes=(0xFFFFFFFF, 0xFFFFFFFF),
                                                       extra=struct.pack("<HHQ", 1, 8, len(a)))]),
            "an extra field past its end": zip_bytes(base(extra=b"\x07\x00\x20\x00abc")),
            "an unknown extra field": zip_bytes(base(extra=b"\x07\x00\x03\x00abc")),
            "empty archive": zip_bytes([]),
            "header cut by the compressed size": zip_bytes(base(csize=40)),
            "header cut by the stated size": zip_bytes(base(sizes=(len(deflate(a) if method == 8 else a), 40))),
            "stated size past the data": zip_bytes(base(sizes=(len(deflate(a) if method == 8 else a), 10**6))),
            "local header past the end": zip_bytes(base(offset=10**6)),
            "local header at the directory": zip_bytes([member("a.npy", a, method, offset=len(a) + 40)]),
        }
        if method == 8:
            structures.update({
                "1000 empty blocks before the header": zip_bytes(base(stream=tiny_blocks(a, 1000))),
                "a broken stream": zip_bytes(base(stream=b"\xff" + deflate(a)[1:])),
                "a stream cut in the header": zip_bytes(base(stream=deflate(a)[:30])),
                "three members share a stream": shared_stream(3, 200, a),
            })
        for name, data in structures.items():
            cases[f"{name} ({'deflated' if method else 'stored'})"] = data
        for i, (name, (text, version)) in enumerate(npy_cases().items()):
            if i % 4 == method // 4 and text != NAMED_ESCAPE:  # a quarter of the headers in each, in turn
                cases[f"member with {name} ({'deflated' if method else 'stored'})"] = zip_bytes(
                    [member("x.npy", npy_file(text, version), method), member("b.npy", b, method)])
    return cases


@OLD_NUMPY
def test_npz_archives_agree_with_numpy(model_dump, tmp_path):
    files = {}
    for i, (name, data) in enumerate(npz_cases().items()):
        files[name] = tmp_path / f"{i}.npz"
        files[name].write_bytes(data)
    assert len(files) > 150
    found = [name for name, _, _ in disagreements(model_dump, files)]
    assert set(found) - judged_otherwise() == set()


# ---- the faults a hostile run found, each reproduced ------------------------------------

def object_npz():
    f = io.BytesIO()
    np.savez(f, values=np.zeros(3, np.float32), obj=np.array([1, "a", None], object))
    return f.getvalue()


def wide_structured_header():
    """A structured array whose header numpy writes in 13,878 bytes (version 1)."""
    names = [f"field_number_{i:05d}_with_a_long_name" for i in range(287)]
    f = io.BytesIO()
    np.save(f, np.zeros(2, [(n, "<f4") for n in names]))
    return f.getvalue()


TWO = [member("a.npy", npy_of(np.zeros((2, 3), "<f4"))), member("b.npy", npy_of(np.arange(4)))]
HOSTILE = {
    "object dtype .npy": (lambda: npy_of(np.array([1, None], object)),
                          ("objects", "an npy/npz file numpy.load refuses: the array holds Python objects (descr "
                                      "'|O'), which numpy.load reads only with allow_pickle")),
    "object dtype .npz member": (object_npz, ("objects", "an npy/npz file numpy.load refuses: member 'obj.npy': the "
                                                         "array holds Python objects (descr '|O'), which numpy.load "
                                                         "reads only with allow_pickle")),
    "object field in a structured dtype": (
        lambda: npy_file(header(descr="[('a', '<i4'), ('b', [('c', '|O')])]", shape="(1,)")),
        ("objects", "an npy/npz file numpy.load refuses: the array holds Python objects (descr [('a', '<i4'), "
                    "('b', [('c', '|O')])]), which numpy.load reads only with allow_pickle")),
    "structured header of 13,878 bytes": (wide_structured_header, (
        "too_large", "an npy/npz file numpy.load refuses: a header of 13878 characters (numpy.load reads at most "
                     "10000)")),
    "end record counts 1 of 2 members": (lambda: zip_bytes(TWO, count=1), [[2, 3], [4]]),
    "zip64 end record counts 5 of 2 members": (lambda: zip_bytes(TWO, zip64=5), [[2, 3], [4]]),
    "local name differs from the central name": (
        lambda: zip_bytes([TWO[0], {**TWO[1], "local_name": b"c.npy"}]),
        ("bad_archive", "not an npy/npz file: member 'b.npy': the local header of 'b.npy' names 'c.npy'")),
    "shape (3), an int": (lambda: npy_file(header(shape="(3)")),
                          ("bad_header", "not an npy/npz file: the header's shape is not a tuple of integers")),
    "descr 'garbage'": (lambda: npy_file(header(descr="'garbage'")),
                        ("bad_header", "not an npy/npz file: the header's descr 'garbage' is not a dtype numpy knows")),
    "shape (1_0, 3)": (lambda: npy_file(header(shape="(1_0, 3)")), [[10, 3]]),
}


@pytest.mark.parametrize("make, expected", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_files(model_dump, tmp_path, make, expected):
    path = tmp_path / "values.npz"
    path.write_bytes(make())
    result = dump(model_dump, "arrays", path)
    if isinstance(expected, list):
        assert [a["shape"] for a in result["arrays"]] == expected
        assert [shape for _, shape in numpy_loads(path)] == expected
    else:
        assert (result["error"], result["message"]) == expected
        assert numpy_loads(path) is None


def test_members_sharing_a_stream_of_tiny_blocks(model_dump, tmp_path):
    """60 members whose local headers all lead to one 4 MB stream of 360,000 empty blocks: the stream is
    inflated once (numpy.load inflates it for each member, and reads all 60 arrays)."""
    path = tmp_path / "shared.npz"
    path.write_bytes(shared_stream(60, 360_000, npy_of(np.zeros((1, 3), "<f4"))))
    done = subprocess.run([model_dump, "--stats", "arrays", path], capture_output=True, text=True, timeout=60)
    result = json.loads(done.stdout)
    assert result["arrays"] == [{"name": f"a{i}", "dtype": "<f4", "fortran_order": False, "shape": [1, 3]}
                                for i in range(60)]
    assert int(done.stderr.split()[-1]) < path.stat().st_size + 100_000  # bytes read: the stream once

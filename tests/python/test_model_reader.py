"""The model-file readers (src/model/) compared with onnx and numpy, through model_dump."""

import ast
import io
import json
import random
import shutil
import struct
import subprocess
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
    assert result["message"].startswith("not an npy/npz file: ")
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


def test_verdicts_agree_with_onnx_load(model_dump, tmp_path):
    files = hostile_models(tmp_path)
    assert len(files) > 300
    done = subprocess.run([model_dump, "onnx", *(str(p) for _, p in files)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode in (0, 1), done.stderr
    results = [json.loads(line) for line in done.stdout.splitlines()]
    ours = {name: r["ok"] and not r["data_file_problems"] for (name, _), r in zip(files, results, strict=True)}
    theirs = {name: loads(path) for name, path in files}
    assert {n for n in ours if ours[n] != theirs[n]} == set()
    assert 100 < sum(theirs.values()) < len(files) - 50  # both verdicts are well represented

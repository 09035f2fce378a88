"""rust_convert: argument extraction, the converter calls and their arguments,
return codes, exception flattening, numpy initial values, re-entrancy,
threads, references and memory."""

import errno
import gc
import json
import operator
import os
import pathlib
import struct
import sys
import threading
import time
import types
import warnings

import numpy as np
import pytest

import vora_convert_inner
from vora_convert_inner import rust_convert

REPO = pathlib.Path(__file__).resolve().parents[2]


# --- helpers -----------------------------------------------------------------

def f32(x):
    """x rounded to a 32-bit float and widened back, as the converter receives it."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def typed(value):
    """repr-based form for comparisons in which 1, 1.0 and True differ and nan equals nan."""
    if isinstance(value, (list, tuple)):
        return type(value)(typed(item) for item in value)
    return repr(value)


def convert_error(path):
    """Runs a failing conversion and returns the message of its RuntimeError."""
    try:
        rust_convert(path)
    except BaseException as raised:  # a leaked KeyboardInterrupt must fail the test, not end the run
        error = raised
    else:
        pytest.fail("rust_convert returned without raising")
    assert type(error) is RuntimeError, repr(error)
    assert error.__cause__ is None and error.__context__ is None
    return str(error)


def methods(calls):
    return [method for method, _, _ in calls]


class Code(int):
    """An int subclass: its instances are distinct objects whose references can be counted."""


class Index:
    """Not an int, but usable as one through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class IndexFails:
    def __index__(self):
        raise ValueError("no integer here")

    def __repr__(self):
        return "IndexFails()"


class OwnValue(int):
    """An int whose __index__ disagrees with its value: the value counts."""

    def __index__(self):
        return 9

    def __repr__(self):
        return f"OwnValue({int(self)})"


class Errors:
    class Nested(Exception):
        pass


class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("no text")


DEFAULT_CONFIG = [
    ("quantized_dtype", "asymmetric_quantized-8"),
    ("quantized_algorithm", "normal"),
    ("quantized_method", "channel"),
    ("target_platform", None),
    ("quant_img_RGB2BGR", False),
    ("float_dtype", "float16"),
    ("optimization_level", 3),
    ("remove_weight", False),
    ("compress_weight", False),
    ("single_core_mode", False),
]
DEFAULT_BUILD = [("do_quantization", True), ("auto_hybrid", False)]
DEFAULT_CALLS = [
    ("config", (), DEFAULT_CONFIG),
    ("load_onnx", ("model.onnx",), []),
    ("build", (), DEFAULT_BUILD),
    ("export_vora", (None,), []),
]

# Every key of every section, sections and keys in an order unlike the calls'.
FULL = """\
[export]
export_path = "out/mobilenet.vora"

[accuracy_analysis]
device_id = "0"
target = "vora-m1"
output_dir = "snapshot"
inputs = ["images/cat.jpg", "images/dog.jpg"]

[build]
auto_hybrid = true
vora_batch_size = 4
dataset = "dataset.txt"
do_quantization = false

[load]
outputs = ["logits", "features"]
input_size_list = [[1, 3, 224, 224], [1, 10]]
model = "mobilenet.onnx"
inputs = ["image", "label"]
model_type = "Onnx"

[config]
single_core_mode = true
inputs_yuv_fmt = "nv12"
compress_weight = true
remove_weight = true
custom_string = "built by ci"
optimization_level = 2
float_dtype = "float32"
quant_img_RGB2BGR = true
target_platform = "vora-m1"
quantized_method = "layer"
quantized_algorithm = "mmse"
quantized_dtype = "dynamic_fixed_point-i8"
std_values = [58.395, 57.12, 57.375]
mean_values = [0.1, 2, 255]
"""

FULL_CALLS = [
    ("config", (), [
        ("mean_values", [0.10000000149011612, 2.0, 255.0]),
        ("std_values", [f32(58.395), f32(57.12), f32(57.375)]),
        ("quantized_dtype", "dynamic_fixed_point-i8"),
        ("quantized_algorithm", "mmse"),
        ("quantized_method", "layer"),
        ("target_platform", "vora-m1"),
        ("quant_img_RGB2BGR", True),
        ("float_dtype", "float32"),
        ("optimization_level", 2),
        ("custom_string", "built by ci"),
        ("remove_weight", True),
        ("compress_weight", True),
        ("inputs_yuv_fmt", "nv12"),
        ("single_core_mode", True),
    ]),
    ("load_onnx", ("mobilenet.onnx",), [
        ("inputs", ["image", "label"]),
        ("outputs", ["logits", "features"]),
        ("input_size_list", [[1, 3, 224, 224], [1, 10]]),
    ]),
    ("build", (), [
        ("do_quantization", False),
        ("dataset", "dataset.txt"),
        ("vora_batch_size", 4),
        ("auto_hybrid", True),
    ]),
    ("accuracy_analysis", (), [
        ("inputs", ["images/cat.jpg", "images/dog.jpg"]),
        ("output_dir", "snapshot"),
        ("target", "vora-m1"),
        ("device_id", "0"),
    ]),
    ("export_vora", ("out/mobilenet.vora",), []),
]
ALL_METHODS = methods(FULL_CALLS)


def kwargs_of(calls, method):
    return dict(next(kw for name, _, kw in calls if name == method))


# --- the argument `path` -------------------------------------------------------

class PathText(str):
    pass


@pytest.mark.parametrize("call", [
    lambda path: rust_convert(path),
    lambda path: rust_convert(path=path),
    lambda path: rust_convert(PathText(path)),
], ids=["positional", "keyword", "str-subclass"])
def test_path_forms_accepted(call, write_config, calls):
    assert call(write_config("")) is None
    assert typed(calls()) == typed(DEFAULT_CALLS)


@pytest.mark.parametrize("arguments, message", [
    (lambda p: ((), {}), "rust_convert() missing 1 required positional argument: 'path'"),
    (lambda p: ((p, p), {}), "rust_convert() takes 1 positional arguments but 2 were given"),
    (lambda p: ((p, p, p), {}), "rust_convert() takes 1 positional arguments but 3 were given"),
    (lambda p: ((p,), {"mode": "fast"}), "rust_convert() got an unexpected keyword argument 'mode'"),
    (lambda p: ((p,), {"path": p}), "rust_convert() got multiple values for argument 'path'"),
    (lambda p: ((pathlib.Path(p),), {}),
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda p: ((), {"path": pathlib.Path(p)}),
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda p: ((os.fsencode(p),), {}), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda p: ((3,), {}), "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda p: ((None,), {}), "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
], ids=["none", "two", "three", "unknown-keyword", "twice", "pathlib", "pathlib-keyword",
        "bytes", "int", "None"])
def test_argument_errors(arguments, message, write_config, standin):
    args, kwargs = arguments(write_config(""))
    with pytest.raises(TypeError) as info:
        rust_convert(*args, **kwargs)
    assert str(info.value) == message
    assert standin.CREATED == 0 and standin.CALLS == []


def test_lone_surrogate_in_path_raises_the_encoding_error(standin):
    with pytest.raises(UnicodeEncodeError) as info:
        rust_convert("conf\udc80.toml")
    try:
        "conf\udc80.toml".encode("utf-8")
    except UnicodeEncodeError as expected:
        assert str(info.value) == str(expected)
    assert standin.CALLS == []


def written(path, data):
    path.write_bytes(data)
    return path.name


@pytest.mark.parametrize("make_path, message", [
    (lambda tmp: "missing.toml", f"{os.strerror(errno.ENOENT)} (os error 2)"),
    (lambda tmp: str(tmp), f"{os.strerror(errno.EISDIR)} (os error 21)"),
    (lambda tmp: "vo\0ra.toml", "file name contained an unexpected NUL byte"),
    (lambda tmp: written(tmp / "latin1.toml", b'[build]\ndataset = "caf\xe9"\n'),
     "stream did not contain valid UTF-8"),
    (lambda tmp: written(tmp / "bad.toml", b"# levels\n[config]\noptimization_level = 300\n"),
     "TOML parse error at line 3, column 22\n"
     "  |\n"
     "3 | optimization_level = 300\n"
     "  |                      ^^^\n"
     "invalid value: integer `300`, expected u8\n"),
], ids=["missing", "directory", "nul", "not-utf8", "malformed"])
def test_unloadable_file_makes_no_converter_call(make_path, message, tmp_path, standin):
    path = make_path(tmp_path)
    assert convert_error(path) == message
    assert standin.CREATED == 0 and standin.CALLS == []


def test_unloadable_file_imports_nothing(run_python):
    out = run_python("""
        import json, pathlib, sys
        import vora_convert_inner
        pathlib.Path("bad.toml").write_text('[load]\\nmodel_type = "onnx"\\n')
        messages = []
        for path in ["missing.toml", "bad.toml", pathlib.Path("bad.toml")]:
            try:
                vora_convert_inner.rust_convert(path)
            except Exception as error:
                messages.append(f"{type(error).__name__}: {error}")
        imported = sorted(m for m in sys.modules if m.split(".")[0] in ("vora", "numpy"))
        print(json.dumps({"messages": messages, "imported": imported}))
    """)
    result = json.loads(out)
    assert result["messages"][0] == f"RuntimeError: {os.strerror(errno.ENOENT)} (os error 2)"
    assert result["messages"][1].startswith("RuntimeError: TOML parse error at line 2, column 14\n")
    assert result["messages"][1].endswith("unknown variant `onnx`, expected `Onnx`\n")
    assert result["messages"][2] == (
        "TypeError: argument 'path': 'PosixPath' object cannot be converted to 'PyString'")
    assert result["imported"] == []


# --- calls and their arguments -------------------------------------------------

@pytest.mark.parametrize("text", [
    "",
    "# nothing but a comment\n",
    "[config]\n[build]\n[export]\n",
    '[load]\nmodel_type = "Onnx"\n',
    "[accuracy_analysis]\n",
    '[accuracy_analysis]\ninputs = []\noutput_dir = "snapshot"\ndevice_id = "1"\n',
    '[config]\nMean_values = [1.0]\nbatch = 2\n[load]\nmodel_type = "Onnx"\nmodel_path = "x.onnx"\n'
    "[extra]\nkey = 1\n",
], ids=["empty", "comment", "empty-tables", "load-tag-only", "accuracy-empty",
        "accuracy-no-inputs", "unknown-keys"])
def test_defaults_make_four_calls(text, write_config, calls, standin):
    assert rust_convert(write_config(text)) is None
    assert typed(calls()) == typed(DEFAULT_CALLS)
    assert standin.CREATED == 1
    assert {call.instance for call in standin.CALLS} == {1}


def test_every_key_in_call_order_and_type(write_config, calls, standin):
    assert rust_convert(write_config(FULL)) is None
    assert typed(calls()) == typed(FULL_CALLS)
    assert standin.CREATED == 1


def test_each_run_uses_a_fresh_converter(write_config, calls, standin):
    path = write_config(FULL)
    rust_convert(path)
    rust_convert(path)
    assert [call.instance for call in standin.CALLS] == [1] * 5 + [2] * 5
    assert typed(calls()) == typed(FULL_CALLS * 2)


def test_file_is_read_again_on_every_run(write_config, calls):
    path = write_config('[load]\nmodel_type = "Onnx"\nmodel = "first.onnx"\n')
    rust_convert(path)
    write_config('[load]\nmodel_type = "Onnx"\nmodel = "second.onnx"\n')
    rust_convert(path)
    assert [args for method, args, _ in calls() if method == "load_onnx"] == [("first.onnx",), ("second.onnx",)]


# Keys shared with FULL but other texts (one of them as long, another past
# the first few elements of a list), texts beyond ASCII, and other keys left out.
ODD = """\
[config]
quantized_dtype = "asymmetric_quantized-16"
custom_string = "naïve ✓"
float_dtype = "b"
target_platform = ""

[load]
model_type = "Onnx"
model = "%s.onnx"
inputs = ["i0", "i1", "i2", "i3", "i4", "image"]

[accuracy_analysis]
inputs = ["images/cat.jpg", "images/dog.png"]
""" % ("m" * 300)

ODD_CALLS = [
    ("config", (), [
        ("quantized_dtype", "asymmetric_quantized-16"),
        *DEFAULT_CONFIG[1:3],
        ("target_platform", ""),
        ("quant_img_RGB2BGR", False),
        ("float_dtype", "b"),
        ("optimization_level", 3),
        ("custom_string", "naïve ✓"),
        *DEFAULT_CONFIG[7:],
    ]),
    ("load_onnx", ("m" * 300 + ".onnx",), [("inputs", ["i0", "i1", "i2", "i3", "i4", "image"])]),
    ("build", (), DEFAULT_BUILD),
    ("accuracy_analysis", (), [("inputs", ["images/cat.jpg", "images/dog.png"])]),
    ("export_vora", (None,), []),
]


def test_successive_files_pass_their_own_arguments(write_config, calls, standin):
    files = {"full": (FULL, FULL_CALLS), "defaults": ("", DEFAULT_CALLS), "odd": (ODD, ODD_CALLS)}
    for name in ["full", "defaults", "odd", "full", "odd", "defaults", "full"]:
        text, expected = files[name]
        rust_convert(write_config(text))
        assert typed(calls()) == typed(expected), name
        standin.CALLS.clear()


def refusing_api():
    module = types.ModuleType("vora.api")

    class VORA:
        def __init__(self):
            raise LookupError("the replacement")

    module.VORA = VORA
    return module


@pytest.mark.parametrize("change, message", [
    (lambda monkeypatch: monkeypatch.setitem(sys.modules, "vora.api", refusing_api()),
     "LookupError: the replacement"),
    (lambda monkeypatch: monkeypatch.setitem(sys.modules, "vora.api", None),
     "ModuleNotFoundError: import of vora.api halted; None in sys.modules"),
    (lambda monkeypatch: monkeypatch.delitem(sys.modules, "vora"), None),
], ids=["module-replaced", "module-blocked", "package-removed"])
def test_sys_modules_is_consulted_on_every_run(change, message, write_config, calls, standin):
    path = write_config("")
    rust_convert(path)
    package = sys.modules["vora"]
    with pytest.MonkeyPatch.context() as monkeypatch:
        change(monkeypatch)
        if message:
            assert convert_error(path) == message
        else:
            # The package is imported anew, as `import vora.api` does.
            rust_convert(path)
            assert sys.modules["vora"] is not package
    rust_convert(path)
    assert sys.modules["vora"] is package
    assert methods(calls()) == methods(DEFAULT_CALLS) * (3 if message is None else 2)


@pytest.mark.parametrize("key", ["mean_values", "std_values"])
@pytest.mark.parametrize("toml, expected", [
    ("[0, 0, 0]", [0.0, 0.0, 0.0]),
    ("[0.1, 2, 255]", [0.10000000149011612, 2.0, 255.0]),
    ("[16777217, -1.5e-3, 0x10]", [16777216.0, f32(-1.5e-3), 16.0]),
    ("[inf, -inf, nan]", [float("inf"), float("-inf"), float("nan")]),
    ("[]", []),
])
def test_float_lists_arrive_as_widened_floats(key, toml, expected, write_config, calls):
    rust_convert(write_config(f"[config]\n{key} = {toml}\n"))
    config = calls()[0][2]
    assert [name for name, _ in config] == [key] + [name for name, _ in DEFAULT_CONFIG]
    assert typed(config[0][1]) == typed(expected)


@pytest.mark.parametrize("line, key, expected", [
    ("optimization_level = 7", "optimization_level", 7),
    ("optimization_level = 0", "optimization_level", 0),
    ("optimization_level = 255", "optimization_level", 255),
    ('quantized_dtype = "int4-experimental"', "quantized_dtype", "int4-experimental"),
    ('target_platform = ""', "target_platform", ""),
    ('target_platform = "vora-x1"', "target_platform", "vora-x1"),
    ('float_dtype = ""', "float_dtype", ""),
    ('inputs_yuv_fmt = "nv12"', "inputs_yuv_fmt", "nv12"),
    ('custom_string = "line one\\nline two ✓"', "custom_string", "line one\nline two ✓"),
    ("quant_img_RGB2BGR = true", "quant_img_RGB2BGR", True),
])
def test_config_values_pass_unchanged(line, key, expected, write_config, calls):
    rust_convert(write_config(f"[config]\n{line}\n"))
    config = kwargs_of(calls(), "config")
    assert typed(config[key]) == typed(expected)


@pytest.mark.parametrize("text, args, kwargs", [
    ('model = "nets/a.onnx"', ("nets/a.onnx",), []),
    ('model = ""', ("",), []),
    ("inputs = []\noutputs = []", ("model.onnx",), [("inputs", []), ("outputs", [])]),
    ('input_size_list = [[1, 3], []]\noutputs = ["y"]\ninputs = ["x"]', ("model.onnx",),
     [("inputs", ["x"]), ("outputs", ["y"]), ("input_size_list", [[1, 3], []])]),
    ("input_size_list = [[0, 18446744073709551615]]", ("model.onnx",),
     [("input_size_list", [[0, 18446744073709551615]])]),
], ids=["model", "empty-model", "empty-lists", "order", "size-range"])
def test_load_onnx_arguments(text, args, kwargs, write_config, calls):
    rust_convert(write_config(f'[load]\nmodel_type = "Onnx"\n{text}\n'))
    assert typed(calls()[1]) == typed(("load_onnx", args, kwargs))


@pytest.mark.parametrize("text, kwargs", [
    ('dataset = "calib.txt"', [("do_quantization", True), ("dataset", "calib.txt"), ("auto_hybrid", False)]),
    ("vora_batch_size = -1", [("do_quantization", True), ("vora_batch_size", -1), ("auto_hybrid", False)]),
    ("vora_batch_size = 2147483647", [("do_quantization", True), ("vora_batch_size", 2147483647),
                                      ("auto_hybrid", False)]),
    ("auto_hybrid = true\ndo_quantization = false", [("do_quantization", False), ("auto_hybrid", True)]),
])
def test_build_arguments(text, kwargs, write_config, calls):
    rust_convert(write_config(f"[build]\n{text}\n"))
    assert typed(calls()[2]) == typed(("build", (), kwargs))


@pytest.mark.parametrize("text, kwargs", [
    ('inputs = ["a.jpg"]', [("inputs", ["a.jpg"])]),
    ('device_id = "0"\ninputs = ["a.jpg", "b.jpg"]', [("inputs", ["a.jpg", "b.jpg"]), ("device_id", "0")]),
    ('target = "vora-s2"\noutput_dir = "snap"\ninputs = ["a.jpg"]',
     [("inputs", ["a.jpg"]), ("output_dir", "snap"), ("target", "vora-s2")]),
])
def test_accuracy_analysis_arguments(text, kwargs, write_config, calls):
    rust_convert(write_config(f"[accuracy_analysis]\n{text}\n"))
    assert methods(calls()) == ["config", "load_onnx", "build", "accuracy_analysis", "export_vora"]
    assert typed(calls()[3]) == typed(("accuracy_analysis", (), kwargs))


@pytest.mark.parametrize("text, argument", [
    ("", None),
    ('[export]\nexport_path = "out.vora"', "out.vora"),
    ('[export]\nexport_path = ""', ""),
    ("[export]", None),
])
def test_export_vora_argument(text, argument, write_config, calls, script):
    script["export_vora"] = 0
    rust_convert(write_config(text))
    assert typed(calls()[-1]) == typed(("export_vora", (argument,), []))


def test_example_configuration_converts(tmp_path, calls):
    rust_convert(str(REPO / "examples" / "example.toml"))
    assert methods(calls()) == ALL_METHODS
    written = json.loads((tmp_path / "build" / "mobilenet_v2.vora").read_text())
    assert written["model"] == "models/mobilenet_v2.onnx"
    assert written["calls"][0]["kwargs"]["target_platform"] == "vora-m1"


# --- return codes ----------------------------------------------------------------

def is_integer(value):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            operator.index(value)
        except TypeError:
            return False
    return True


# numpy's bool stopped being an integer in numpy 2.3: operator.index refuses it
# there, and takes it as 0 or 1 before (with a DeprecationWarning). A converter
# result of np.False_ is a success or an unusable result accordingly.
NUMPY_BOOL_IS_INTEGER = is_integer(np.False_)


@pytest.mark.parametrize("value", [
    0, False, Code(0), Index(0), OwnValue(0), np.int32(0), np.int64(0), np.uint8(0),
] + ([np.False_] if NUMPY_BOOL_IS_INTEGER else []), ids=repr)
@pytest.mark.filterwarnings("ignore:In future, it will be an error for 'np.bool:DeprecationWarning")
def test_zero_like_results_succeed(value, write_config, script, calls):
    for method in ALL_METHODS:
        script[method] = value
    assert rust_convert(write_config(FULL)) is None
    assert methods(calls()) == ALL_METHODS


@pytest.mark.parametrize("method, value, code", [
    ("config", -1, -1),
    ("load_onnx", 1, 1),
    ("build", -1, -1),
    ("build", True, 1),
    ("build", np.int64(5), 5),
    ("build", Index(7), 7),
    ("build", Code(-3), -3),
    ("accuracy_analysis", 2**31 - 1, 2147483647),
    ("export_vora", -2**31, -2147483648),
    ("export_vora", 1, 1),
])
def test_nonzero_code_stops_the_run(method, value, code, write_config, script, calls):
    script[method] = value
    message = convert_error(write_config(FULL))
    assert message == f"RuntimeError: vora.{method} failed with code {code}"
    assert methods(calls()) == ALL_METHODS[: ALL_METHODS.index(method) + 1]


def index_error(value):
    try:
        operator.index(value)
    except TypeError as error:
        return f"TypeError: {error}"
    raise AssertionError(f"{value!r} is an integer")


@pytest.mark.parametrize("method, value, message", [
    ("config", None, "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("build", 0.0, "TypeError: 'float' object cannot be interpreted as an integer"),
    ("build", "0", index_error("0")),
    ("load_onnx", np.float64(0.0), index_error(np.float64(0.0))),
    ("export_vora", [0], index_error([0])),
    ("build", IndexFails(), "ValueError: no integer here"),
    ("build", 2**31, "OverflowError: out of range integral type conversion attempted"),
    ("build", -2**31 - 1, "OverflowError: out of range integral type conversion attempted"),
    ("build", 2**32, "OverflowError: out of range integral type conversion attempted"),
    ("build", 2**63 - 1, "OverflowError: out of range integral type conversion attempted"),
    ("build", Index(2**40), "OverflowError: out of range integral type conversion attempted"),
    ("build", 2**63, "OverflowError: Python int too large to convert to C long"),
    ("accuracy_analysis", 2**70, "OverflowError: Python int too large to convert to C long"),
    ("build", -2**70, "OverflowError: Python int too large to convert to C long"),
] + ([] if NUMPY_BOOL_IS_INTEGER else [("build", np.False_, index_error(np.False_))]))
def test_unusable_result_stops_the_run(method, value, message, write_config, script, calls):
    script[method] = value
    assert convert_error(write_config(FULL)) == message
    assert methods(calls()) == ALL_METHODS[: ALL_METHODS.index(method) + 1]


# --- exceptions --------------------------------------------------------------------

@pytest.mark.parametrize("method", ["__init__"] + ALL_METHODS)
def test_exception_anywhere_is_flattened(method, write_config, script, calls):
    script[method] = ValueError(f"{method} refused")
    assert convert_error(write_config(FULL)) == f"ValueError: {method} refused"
    stop = ALL_METHODS.index(method) + 1 if method in ALL_METHODS else 0
    assert methods(calls()) == ALL_METHODS[:stop]


@pytest.mark.parametrize("raised, message", [
    (KeyError("weights"), "KeyError: 'weights'"),
    (ValueError(), "ValueError: "),
    (ValueError, "ValueError: "),
    (ValueError("a", 2), "ValueError: ('a', 2)"),
    (OSError(errno.ENOENT, "model gone"), "FileNotFoundError: [Errno 2] model gone"),
    (Errors.Nested("deep"), "Errors.Nested: deep"),
    (RuntimeError("inner"), "RuntimeError: inner"),
    (GeneratorExit("closed"), "GeneratorExit: closed"),
    (ValueError("naïve ✓ 模型"), "ValueError: naïve ✓ 模型"),
    (UnprintableError("hidden"), "UnprintableError: <exception str() failed>"),
], ids=lambda v: type(v).__name__ if isinstance(v, BaseException) else None)
def test_exception_text(raised, message, write_config, script):
    script["build"] = raised
    assert convert_error(write_config("")) == message


@pytest.mark.parametrize("raised", [KeyboardInterrupt("stop"), SystemExit(3)], ids=lambda e: type(e).__name__)
def test_interrupt_and_exit_pass_through_unchanged(raised, write_config, script, calls):
    script["build"] = raised
    with pytest.raises(type(raised)) as info:
        rust_convert(write_config(FULL))
    assert info.value is raised
    assert methods(calls()) == ALL_METHODS[: ALL_METHODS.index("build") + 1]


def test_unencodable_exception_text_is_replaced(write_config, script):
    script["build"] = ValueError("bad \udc80 byte")
    message = convert_error(write_config(""))
    assert message.startswith("ValueError: bad ") and message.endswith(" byte")
    assert "\ufffd" in message and "\udc80" not in message
    message.encode("utf-8")


def test_exception_raised_while_handling_another_is_flattened(write_config, script):
    def build(**kwargs):
        try:
            raise KeyError("first")
        except KeyError:
            raise ValueError("second")

    script["build"] = build
    assert convert_error(write_config("")) == "ValueError: second"


@pytest.mark.parametrize("setting, shown", [(None, False), ("", False), ("0", False), ("1", True), ("yes", True)])
def test_converter_traceback_on_request(setting, shown, write_config, script, monkeypatch, capsys):
    def build(**kwargs):
        raise KeyError("first")

    if setting is not None:
        monkeypatch.setenv("VORA_CONVERT_TRACEBACK", setting)
    script["build"] = build
    assert convert_error(write_config("")) == "KeyError: 'first'"
    out, err = capsys.readouterr()
    assert out == ""
    if not shown:
        assert err == ""
        return
    lines = err.splitlines()
    assert lines[0] == "Traceback (most recent call last):"
    assert lines[-1] == "KeyError: 'first'"
    # The frames end in the converter's method and the function it called.
    frames = [line.strip() for line in lines if line.lstrip().startswith("File ")]
    assert frames[-1].endswith(", in build") and "test_convert.py" in frames[-1]
    assert frames[-2].endswith(", in _call") and "api.py" in frames[-2]


def test_missing_class(write_config, monkeypatch, standin):
    monkeypatch.delattr(standin, "VORA")
    assert convert_error(write_config("")) == "AttributeError: module 'vora.api' has no attribute 'VORA'"


def test_missing_method(write_config, monkeypatch, standin, calls):
    monkeypatch.delattr(standin.VORA, "build")
    assert convert_error(write_config(FULL)) == "AttributeError: 'VORA' object has no attribute 'build'"
    assert methods(calls()) == ["config", "load_onnx"]


def test_import_blocked(write_config, monkeypatch, standin):
    monkeypatch.setitem(sys.modules, "vora.api", None)
    assert convert_error(write_config("")) == (
        "ModuleNotFoundError: import of vora.api halted; None in sys.modules")
    assert standin.CREATED == 0


def test_missing_or_broken_package(run_python, tmp_path):
    broken = tmp_path / "broken" / "vora"
    broken.mkdir(parents=True)
    (broken / "__init__.py").write_text("")
    (broken / "api.py").write_text('raise ImportError("backend library not found")\n')
    (tmp_path / "job.toml").write_text(
        '[load]\nmodel_type = "Onnx"\ninput_initial_val_file = "absent.npy"\n'
        '[export]\nexport_path = "never.vora"\n')
    out = run_python(f"""
        import importlib, json, sys
        import vora_convert_inner
        messages = []
        def attempt():
            try:
                vora_convert_inner.rust_convert("job.toml")
            except RuntimeError as error:
                messages.append(str(error))
        attempt()
        numpy_loaded = "numpy" in sys.modules
        sys.path.insert(0, {str(broken.parent)!r})
        importlib.invalidate_caches()
        attempt()
        attempt()
        print(json.dumps({{"messages": messages, "numpy": numpy_loaded}}))
    """, standin=False)
    result = json.loads(out)
    assert result["messages"] == [
        "ModuleNotFoundError: No module named 'vora'",
        "ImportError: backend library not found",
        "ImportError: backend library not found",
    ]
    assert result["numpy"] is False
    assert not (tmp_path / "never.vora").exists()


# --- initial values through numpy ------------------------------------------------------

def load_with_initial_values(write_config, name):
    return write_config(
        '[load]\nmodel_type = "Onnx"\ninputs = ["x"]\noutputs = ["y"]\ninput_size_list = [[2, 3]]\n'
        f'input_initial_val_file = "{name}"\n')


@pytest.mark.parametrize("name", ["init.npy", "init.bin"])
def test_single_array_file(name, tmp_path, write_config, calls):
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    with open(tmp_path / name, "wb") as out:
        np.save(out, array)
    rust_convert(load_with_initial_values(write_config, name))
    load = calls()[1]
    assert [key for key, _ in load[2]] == ["inputs", "outputs", "input_size_list", "input_initial_val"]
    values = dict(load[2])["input_initial_val"]
    assert type(values) is list and len(values) == 1
    assert type(values[0]) is np.ndarray and values[0].dtype == np.float32
    np.testing.assert_array_equal(values[0], array)


@pytest.mark.parametrize("name, save", [
    ("init.npz", np.savez),
    ("init.npz", np.savez_compressed),
    ("init.dat", np.savez),
])
def test_archive_gives_arrays_in_files_order(name, save, tmp_path, write_config, calls):
    arrays = {"zeta": np.ones((1, 4), np.int16), "alpha": np.zeros(3), "mid": np.array([7], np.uint8)}
    with open(tmp_path / name, "wb") as out:
        save(out, **arrays)
    with np.load(tmp_path / name) as archive:
        assert archive.files == ["zeta", "alpha", "mid"]
    rust_convert(load_with_initial_values(write_config, name))
    values = kwargs_of(calls(), "load_onnx")["input_initial_val"]
    assert type(values) is list and len(values) == 3
    for got, expected in zip(values, arrays.values()):
        assert got.dtype == expected.dtype
        np.testing.assert_array_equal(got, expected)


def test_initial_values_path_is_relative_to_working_directory(tmp_path, write_config, calls):
    np.save(tmp_path / "init.npy", np.zeros(2))
    (tmp_path / "conf").mkdir()
    np.save(tmp_path / "conf" / "init.npy", np.zeros(5))
    rust_convert(load_with_initial_values(lambda text: write_config(text, "conf/job.toml"), "init.npy"))
    assert kwargs_of(calls(), "load_onnx")["input_initial_val"][0].shape == (2,)


def expected_load_error(path):
    try:
        np.load(path)
    except Exception as error:
        return f"{type(error).__qualname__}: {error}"
    raise AssertionError(f"numpy loads {path}")


@pytest.mark.parametrize("name, prepare, kind", [
    ("absent.npy", lambda path: None, "FileNotFoundError"),
    ("objects.npy", lambda path: np.save(path, np.array([{"a": 1}, None], dtype=object)), "ValueError"),
    ("notes.npy", lambda path: path.write_text("not an array\n"), "ValueError"),
], ids=["missing", "object-dtype", "not-numpy"])
def test_unloadable_initial_values_stop_before_load_onnx(name, prepare, kind, tmp_path, write_config, calls):
    prepare(tmp_path / name)
    expected = expected_load_error(name)
    assert expected.startswith(f"{kind}: ")
    assert convert_error(load_with_initial_values(write_config, name)) == expected
    assert methods(calls()) == ["config"]


def test_missing_initial_values_message(write_config):
    assert convert_error(load_with_initial_values(write_config, "absent.npy")) == (
        "FileNotFoundError: [Errno 2] No such file or directory: 'absent.npy'")


# --- re-entrancy and threads ------------------------------------------------------------

def test_converter_method_calls_back_into_the_module(write_config, script, standin, calls, capfd):
    outer = write_config('[export]\nexport_path = "outer.vora"\n', "outer.toml")
    inner = write_config('[load]\nmodel_type = "Onnx"\nmodel = "inner.onnx"\n', "inner.toml")

    def build(**kwargs):
        if standin.CREATED == 1:  # only the outer conversion nests
            assert vora_convert_inner.rust_convert(inner) is None
            assert vora_convert_inner.rust_explain(inner) is None
        return 0

    script["build"] = build
    assert rust_convert(outer) is None
    sequence = [(c.method, c.instance, c.args) for c in standin.CALLS]
    assert sequence == [
        ("config", 1, ()), ("load_onnx", 1, ("model.onnx",)), ("build", 1, ()),
        ("config", 2, ()), ("load_onnx", 2, ("inner.onnx",)), ("build", 2, ()), ("export_vora", 2, (None,)),
        ("export_vora", 1, ("outer.vora",)),
    ]
    assert "\n[Configuration Summary]\n\n" in capfd.readouterr().out


def test_nested_failure_is_flattened_twice(write_config, script, standin, calls):
    outer = write_config("", "outer.toml")
    inner = write_config('[load]\nmodel_type = "Onnx"\nmodel = "inner.onnx"\n', "inner.toml")
    script["load_onnx"] = lambda model, **kwargs: 3 if model == "inner.onnx" else 0
    script["build"] = lambda **kwargs: vora_convert_inner.rust_convert(inner) or 0
    assert convert_error(outer) == "RuntimeError: RuntimeError: vora.load_onnx failed with code 3"
    assert methods(calls()) == ["config", "load_onnx", "build", "config", "load_onnx"]


def test_two_threads_convert_at_once(write_config, script, standin):
    names = ["first", "second"]
    paths = [write_config(f'[load]\nmodel_type = "Onnx"\nmodel = "{n}.onnx"\n', f"{n}.toml") for n in names]
    meeting = threading.Barrier(2, timeout=30)

    def build(**kwargs):
        meeting.wait()  # both conversions are inside build at the same time
        time.sleep(0.01)
        return 0

    script["build"] = build
    errors = []

    def convert(path):
        try:
            rust_convert(path)
        except BaseException as error:  # reported below, not lost in the thread
            errors.append(error)

    threads = [threading.Thread(target=convert, args=(p,)) for p in paths]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []
    runs = {}
    for call in standin.CALLS:
        runs.setdefault(call.instance, []).append(call)
    assert sorted(runs) == [1, 2]
    models = set()
    for run in runs.values():
        assert [c.method for c in run] == ["config", "load_onnx", "build", "export_vora"]
        assert len({c.thread for c in run}) == 1
        models.add(run[1].args[0])
    assert models == {"first.onnx", "second.onnx"}
    assert runs[1][0].thread != runs[2][0].thread


# --- references and memory ----------------------------------------------------------------

def script_all(value):
    def prepare(standin, script, path):
        for method in ALL_METHODS:
            script[method] = value
        return value
    return prepare


def script_one(method, value):
    def prepare(standin, script, path):
        script[method] = value
        return value
    return prepare


@pytest.mark.parametrize("prepare", [
    script_all(Code(0)),
    script_all(Index(0)),
    script_one("build", Code(3)),
    script_one("accuracy_analysis", object()),
    script_one("load_onnx", ValueError("counted")),
    script_one("__init__", ValueError("counted")),
    lambda standin, script, path: standin.VORA,
    lambda standin, script, path: standin,
    lambda standin, script, path: path,
], ids=["int-result", "index-result", "nonzero-code", "non-integer-result", "method-exception",
        "constructor-exception", "class", "module", "path"])
def test_reference_counts_are_stable(prepare, write_config, standin, script):
    path = write_config(FULL)
    watched = prepare(standin, script, path)

    def run():
        try:
            rust_convert(path)
        except RuntimeError:
            pass
        standin.CALLS.clear()

    run()
    gc.collect()
    before = sys.getrefcount(watched)
    for _ in range(300):
        run()
    gc.collect()
    assert sys.getrefcount(watched) == before


TRIVIAL_STANDIN = """\
import itertools

_builds = itertools.count()


class VORA:
    def config(self, **kwargs):
        return 0

    def load_onnx(self, model, **kwargs):
        return 0

    def build(self, **kwargs):
        turn = next(_builds) % 3
        if turn == 1:
            return 1
        if turn == 2:
            raise ValueError("calibration failed")
        return 0

    def accuracy_analysis(self, **kwargs):
        return 0

    def export_vora(self, path):
        return 0
"""


# About 50 s: a soak run, selected only with `-m soak`.
@pytest.mark.soak
def test_resident_memory_is_steady_over_many_runs(tmp_path, run_python):
    package = tmp_path / "trivial" / "vora"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "api.py").write_text(TRIVIAL_STANDIN)
    np.save(tmp_path / "init.npy", np.zeros((2, 3), np.float32))
    np.savez(tmp_path / "init.npz", a=np.zeros(4), b=np.ones((2, 2)))
    (tmp_path / "plain.toml").write_text(FULL)
    for suffix in ("npy", "npz"):
        (tmp_path / f"{suffix}.toml").write_text(
            FULL.replace('model_type = "Onnx"', f'model_type = "Onnx"\ninput_initial_val_file = "init.{suffix}"'))
    out = run_python(f"""
        import json, sys
        sys.path.insert(0, {str(package.parent)!r})
        import vora_convert_inner

        def resident_kib():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])

        paths = ["plain.toml", "npy.toml", "plain.toml", "npz.toml"]

        def run(count):
            failures = 0
            for i in range(count):
                try:
                    vora_convert_inner.rust_convert(paths[i % 4])
                except RuntimeError:
                    failures += 1
            return failures

        run(10_000)
        before = resident_kib()
        failures = run(100_000)
        after = resident_kib()
        print(json.dumps({{"before": before, "after": after, "failures": failures}}))
    """, standin=False)
    result = json.loads(out)
    assert abs(result["failures"] - 66_667) <= 1
    # A leak of one small object per call would add well over 1 MiB here.
    assert result["after"] - result["before"] < 1024, result


def test_threads_convert_while_sys_modules_changes(write_config, standin):
    """Eight threads convert while a ninth swaps vora.api and removes vora, switching threads every
    microsecond: no crash, and the swapped modules end with the references they began with. The import
    machinery itself may fail a conversion that meets the package half removed (KeyError: 'vora')."""
    path = write_config("")
    rust_convert(path)
    api, package = sys.modules["vora.api"], sys.modules["vora"]
    replacement = types.ModuleType("vora.api")
    replacement.VORA = standin.VORA
    gc.collect()
    counts = lambda: [sys.getrefcount(m) for m in (api, package, replacement)]  # noqa: E731
    before = counts()
    stop = threading.Event()
    errors = []

    def convert():
        while not stop.is_set():
            try:
                rust_convert(path)
            except RuntimeError as e:
                errors.append(str(e))
            standin.CALLS.clear()

    def swap():
        for i in range(3000):
            sys.modules["vora.api"] = replacement if i % 2 else api
            if i % 5 == 0:
                sys.modules.pop("vora", None)
            elif i % 5 == 1:
                sys.modules["vora"] = package
        stop.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=convert) for _ in range(8)] + [threading.Thread(target=swap)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
        sys.modules["vora.api"], sys.modules["vora"] = api, package
    rust_convert(path)
    gc.collect()
    assert all("'vora" in error for error in errors), errors
    assert counts() == before

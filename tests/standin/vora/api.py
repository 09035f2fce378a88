"""Stand-in for ``vora.api``: the converter class ``VORA`` that vora_convert_inner drives.

It converts nothing. Each method checks the names and Python types of the
arguments it receives, as the real converter does, records the call in
``CALLS`` and answers as scripted in ``SCRIPT``.

Scripting, keyed by method name, or "__init__" for the constructor:

    SCRIPT["build"] = -1                  # return -1 (any object: True, None, 2**40, ...)
    SCRIPT["build"] = ValueError("bad")   # raise it (an exception instance or class)
    SCRIPT["build"] = fn                  # return fn(*args, **kwargs), same arguments as the method

A scripted entry replaces the method's default behaviour, which is to return 0
(``export_vora`` first writes a JSON description of the conversion). Argument
checks and recording always happen first. For "__init__" an exception is
raised, a callable is called with no arguments and anything else is ignored.

``reset()`` empties CALLS and SCRIPT and sets CREATED back to 0.
"""

import json
import os
import threading
from collections import namedtuple

#: One recorded method call. ``kwargs`` is a dict in the order received,
#: ``instance`` the serial number of the VORA object, ``thread`` the caller's
#: thread ident.
Call = namedtuple("Call", "method args kwargs instance thread")

CALLS = []
SCRIPT = {}
CREATED = 0

DEFAULT_EXPORT_PATH = "model.vora"


def reset():
    global CREATED
    CALLS.clear()
    SCRIPT.clear()
    CREATED = 0


# --- argument checks ---------------------------------------------------------

def _exact(kind):
    return kind.__name__, lambda value: type(value) is kind


def _list_of(item):
    name, check = item
    return f"list of {name}", lambda value: type(value) is list and all(map(check, value))


def _ndarray():
    def check(value):
        import numpy

        return type(value) is numpy.ndarray

    return "numpy.ndarray", check


_STR = _exact(str)
_BOOL = _exact(bool)
_INT = _exact(int)  # bool is refused: type(True) is bool
_FLOATS = _list_of(_exact(float))
_STRS = _list_of(_STR)

KEYWORDS = {
    "config": {
        "mean_values": _FLOATS,
        "std_values": _FLOATS,
        "quantized_dtype": _STR,
        "quantized_algorithm": _STR,
        "quantized_method": _STR,
        "target_platform": ("str or None", lambda value: value is None or type(value) is str),
        "quant_img_RGB2BGR": _BOOL,
        "float_dtype": _STR,
        "optimization_level": _INT,
        "custom_string": _STR,
        "remove_weight": _BOOL,
        "compress_weight": _BOOL,
        "inputs_yuv_fmt": _STR,
        "single_core_mode": _BOOL,
    },
    "load_onnx": {
        "inputs": _STRS,
        "outputs": _STRS,
        "input_size_list": _list_of(_list_of(_INT)),
        "input_initial_val": _list_of(_ndarray()),
    },
    "build": {
        "do_quantization": _BOOL,
        "dataset": _STR,
        "vora_batch_size": _INT,
        "auto_hybrid": _BOOL,
    },
    "accuracy_analysis": {
        "inputs": _STRS,
        "output_dir": _STR,
        "target": _STR,
        "device_id": _STR,
    },
    "export_vora": {},
}

# Positional parameters: (name, type description, check).
POSITIONAL = {
    "config": (),
    "load_onnx": (("model", "str", lambda value: type(value) is str),),
    "build": (),
    "accuracy_analysis": (),
    "export_vora": (("path", "str or None", lambda value: value is None or type(value) is str),),
}


def _check_arguments(method, args, kwargs):
    where = f"VORA.{method}()"
    params = POSITIONAL[method]
    if len(args) != len(params):
        names = ", ".join(name for name, _, _ in params) or "no positional arguments"
        raise TypeError(f"{where} takes {len(params)} positional argument(s) ({names}) but {len(args)} were given")
    for (name, kind, check), value in zip(params, args):
        if not check(value):
            raise TypeError(f"{where}: argument '{name}' must be {kind}, not {type(value).__name__}")
    known = KEYWORDS[method]
    for key, value in kwargs.items():
        if key not in known:
            raise TypeError(f"{where} got an unexpected keyword argument '{key}'")
        kind, check = known[key]
        if not check(value):
            raise TypeError(f"{where}: keyword '{key}' must be {kind}, not {_describe_type(value)}")


def _describe_type(value):
    if type(value) is list:
        return "list of [" + ", ".join(sorted({_describe_type(item) for item in value})) + "]"
    return type(value).__name__


# --- scripted answers ----------------------------------------------------------

def _is_exception(action):
    return isinstance(action, BaseException) or (
        isinstance(action, type) and issubclass(action, BaseException)
    )


def _raise(action):
    if isinstance(action, BaseException):
        # A fresh traceback per raise: re-raising one instance would otherwise
        # chain every earlier traceback (and its frames) onto it.
        raise action.with_traceback(None)
    raise action


def _summary(value):
    """JSON-friendly form of an argument; numpy arrays by shape and dtype."""
    if isinstance(value, list):
        return [_summary(item) for item in value]
    if type(value).__module__ == "numpy" and hasattr(value, "shape"):
        return {"ndarray": {"shape": list(value.shape), "dtype": str(value.dtype)}}
    return value


class VORA:
    """Converter object: one per conversion."""

    def __init__(self, *args, **kwargs):
        global CREATED
        if args or kwargs:
            raise TypeError("VORA() takes no arguments")
        action = SCRIPT.get("__init__")
        if _is_exception(action):
            _raise(action)
        if callable(action):
            action()
        CREATED += 1
        self.serial = CREATED
        self.history = []

    def _call(self, method, args, kwargs, default):
        CALLS.append(Call(method, args, dict(kwargs), self.serial, threading.get_ident()))
        self.history.append((method, args, kwargs))
        _check_arguments(method, args, kwargs)
        if method not in SCRIPT:
            return default()
        action = SCRIPT[method]
        if _is_exception(action):
            _raise(action)
        if callable(action):
            return action(*args, **kwargs)
        return action

    def config(self, *args, **kwargs):
        return self._call("config", args, kwargs, lambda: 0)

    def load_onnx(self, *args, **kwargs):
        return self._call("load_onnx", args, kwargs, lambda: 0)

    def build(self, *args, **kwargs):
        return self._call("build", args, kwargs, lambda: 0)

    def accuracy_analysis(self, *args, **kwargs):
        return self._call("accuracy_analysis", args, kwargs, lambda: 0)

    def export_vora(self, *args, **kwargs):
        return self._call("export_vora", args, kwargs, lambda: self._write(*args))

    def _write(self, path):
        path = DEFAULT_EXPORT_PATH if path is None else path
        model = next((args[0] for method, args, _ in self.history if method == "load_onnx"), None)
        description = {
            "format": "vora stand-in",
            "model": model,
            "calls": [
                {"method": method, "args": _summary(list(args)),
                 "kwargs": {key: _summary(value) for key, value in kwargs.items()}}
                for method, args, kwargs in self.history
            ],
        }
        parent = os.path.dirname(path)
        if parent:
            os.makedirs(parent, exist_ok=True)
        with open(path, "w", encoding="utf-8") as out:
            json.dump(description, out, indent=2)
            out.write("\n")
        return 0

"""Shared fixtures: the converter stand-in, configuration files, subprocesses."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
STANDIN = REPO / "tests" / "standin"

# The stand-in package is never installed: it is found through sys.path only.
if str(STANDIN) not in sys.path:
    sys.path.insert(0, str(STANDIN))

import vora.api  # noqa: E402  (the stand-in, found through the line above)

assert Path(vora.api.__file__).resolve().parent.parent == STANDIN, vora.api.__file__


@pytest.fixture(autouse=True)
def standin(monkeypatch, tmp_path):
    """The stand-in module ``vora.api``, reset; each test runs in its own tmp_path."""
    monkeypatch.chdir(tmp_path)
    vora.api.reset()
    yield vora.api
    vora.api.reset()


@pytest.fixture
def script(standin):
    """The stand-in's SCRIPT dict: method name (or "__init__") -> value, exception or callable."""
    return standin.SCRIPT


@pytest.fixture
def calls(standin):
    """Returns the recorded method calls as (method, args, [(keyword, value), ...])."""

    def recorded():
        return [(c.method, c.args, list(c.kwargs.items())) for c in standin.CALLS]

    return recorded


@pytest.fixture
def write_config(tmp_path):
    """Writes a (dedented) configuration file into tmp_path and returns its path as str."""

    def write(text, name="vora.toml"):
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text), encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a fresh interpreter (cwd tmp_path) and returns its stdout.

    With standin=True the stand-in package is on PYTHONPATH; without it no
    ``vora`` package can be imported. A non-zero exit fails the test.
    """

    def run(code, standin=True, timeout=600):
        env = dict(os.environ)
        paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p and Path(p).resolve() != STANDIN]
        if standin:
            paths.insert(0, str(STANDIN))
        env["PYTHONPATH"] = os.pathsep.join(paths)
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=timeout,
        )
        assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
        return result.stdout

    return run


def _test_tool(target, variable):
    """Path of the test tool `target`: the one `variable` names, else built with CMake
    into build/toml-dump (skipped without CMake and a C++ compiler)."""
    given = os.environ.get(variable)
    if given:
        if not (os.path.isfile(given) and os.access(given, os.X_OK)):
            pytest.fail(f"{variable}={given} is not an executable file")
        return given
    cmake = shutil.which("cmake")
    compiler = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++") or shutil.which("clang++")
    if not cmake or not compiler:
        pytest.skip(f"{target}: {variable} is not set and there is no cmake and C++ compiler to build it")
    build = REPO / "build" / "toml-dump"
    configure = [cmake, "-S", str(REPO), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DVORA_BUILD_MODULE=OFF", "-DVORA_BUILD_TESTS=ON"]
    if shutil.which("ninja") and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    done = subprocess.run(configure, capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"{target}: {variable} is not set and CMake cannot configure the build:\n{done.stderr}")
    done = subprocess.run([cmake, "--build", str(build), "--target", target, "-j1"], capture_output=True, text=True)
    assert done.returncode == 0, f"building {target} failed:\n{done.stdout}\n{done.stderr}"
    return str(build / target)


@pytest.fixture(scope="session")
def toml_dump():
    """Path of the toml_dump tool (tagged JSON of a TOML document).

    VORA_TOML_DUMP names it (CI points it at its sanitizer build); otherwise it
    is built with CMake into build/toml-dump. Without CMake or a C++ compiler
    the tests that need it are skipped.
    """
    return _test_tool("toml_dump", "VORA_TOML_DUMP")


@pytest.fixture(scope="session")
def model_dump():
    """Path of the model_dump tool (the model-file readers' findings as JSON);
    VORA_MODEL_DUMP names it, else it is built as toml_dump is."""
    return _test_tool("model_dump", "VORA_MODEL_DUMP")


def write_example_files(folder):
    """The files examples/example.toml names, in `folder`: a model of its input and output, its dataset and the
    image that dataset and accuracy_analysis list."""
    from onnx import TensorProto, helper

    shape = [1, 3, 224, 224]
    graph = helper.make_graph([helper.make_node("Identity", ["input"], ["output"])], "g",
                              [helper.make_tensor_value_info("input", TensorProto.FLOAT, shape)],
                              [helper.make_tensor_value_info("output", TensorProto.FLOAT, shape)])
    (folder / "models").mkdir()
    (folder / "models" / "mobilenet_v2.onnx").write_bytes(helper.make_model(graph).SerializeToString())
    (folder / "data" / "images").mkdir(parents=True)
    (folder / "data" / "images" / "cat.jpg").write_bytes(b"")
    (folder / "data" / "calibration.txt").write_text("images/cat.jpg\n")

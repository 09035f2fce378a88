"""Cost of one rust_convert call, compared with the same job written in Python.

Prints, per call, in microseconds:
  (0) rust_convert on examples/example.toml, with a converter whose methods return 0 at once;
  (a) the same job in plain Python: read and parse the file with tomllib, fill
      the defaults, build one dict per call and make the same five calls;
  (b) the floor: only the five method calls, with arguments built beforehand;
and the ratio (a)/(0) beside its goal (>= 20). The jobs take turns round by
round, so that a change of machine load falls on all of them alike; each
figure is the median over the rounds, the ratio the median of the rounds'
ratios. Run from anywhere: python3 bench/convert_bench.py [--runs N] [--rounds R]
"""

import argparse
import operator
import pathlib
import struct
import sys
import statistics
import tempfile
import time
import tomllib

REPO = pathlib.Path(__file__).resolve().parents[1]
EXAMPLE = REPO / "examples" / "example.toml"

# rust_convert should be at least this many times faster than the plain-Python job (a).
GOAL_SPEEDUP = 20.0

FAST_STANDIN = """\
class VORA:
    def config(self, **kwargs):
        return 0

    def load_onnx(self, model, **kwargs):
        return 0

    def build(self, **kwargs):
        return 0

    def accuracy_analysis(self, **kwargs):
        return 0

    def export_vora(self, path):
        return 0
"""


def install_fast_standin(directory):
    package = pathlib.Path(directory) / "vora"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "api.py").write_text(FAST_STANDIN)
    sys.path.insert(0, str(directory))


def f32(value):
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:
        return float("inf") if value > 0 else float("-inf")


def code_of(result):
    code = operator.index(result)
    if not -2**31 <= code < 2**31:
        raise OverflowError("out of range integral type conversion attempted")
    return code


def python_convert(path):
    """The job of rust_convert in Python (without initial values from numpy)."""
    with open(path, "rb") as file:
        document = tomllib.load(file)
    import vora.api

    converter = vora.api.VORA()

    def call(method, args, kwargs):
        code = code_of(getattr(converter, method)(*args, **kwargs))
        if code:
            raise RuntimeError(f"vora.{method} failed with code {code}")

    config = document.get("config", {})
    kwargs = {}
    for key in ("mean_values", "std_values"):
        if key in config:
            kwargs[key] = [f32(value) for value in config[key]]
    kwargs["quantized_dtype"] = config.get("quantized_dtype", "asymmetric_quantized-8")
    kwargs["quantized_algorithm"] = config.get("quantized_algorithm", "normal")
    kwargs["quantized_method"] = config.get("quantized_method", "channel")
    kwargs["target_platform"] = config.get("target_platform")
    kwargs["quant_img_RGB2BGR"] = config.get("quant_img_RGB2BGR", False)
    kwargs["float_dtype"] = config.get("float_dtype", "float16")
    kwargs["optimization_level"] = config.get("optimization_level", 3)
    if "custom_string" in config:
        kwargs["custom_string"] = config["custom_string"]
    kwargs["remove_weight"] = config.get("remove_weight", False)
    kwargs["compress_weight"] = config.get("compress_weight", False)
    if "inputs_yuv_fmt" in config:
        kwargs["inputs_yuv_fmt"] = config["inputs_yuv_fmt"]
    kwargs["single_core_mode"] = config.get("single_core_mode", False)
    call("config", (), kwargs)

    load = document.get("load", {})
    kwargs = {key: load[key] for key in ("inputs", "outputs", "input_size_list") if key in load}
    call("load_onnx", (load.get("model", "model.onnx"),), kwargs)

    build = document.get("build", {})
    kwargs = {"do_quantization": build.get("do_quantization", True)}
    for key in ("dataset", "vora_batch_size"):
        if key in build:
            kwargs[key] = build[key]
    kwargs["auto_hybrid"] = build.get("auto_hybrid", False)
    call("build", (), kwargs)

    analysis = document.get("accuracy_analysis")
    if analysis is not None and analysis.get("inputs"):
        kwargs = {"inputs": analysis["inputs"]}
        for key in ("output_dir", "target", "device_id"):
            if key in analysis:
                kwargs[key] = analysis[key]
        call("accuracy_analysis", (), kwargs)

    call("export_vora", (document.get("export", {}).get("export_path"),), {})


def recorded_arguments(convert, path):
    """The (method, args, kwargs) that one conversion passes, for a sanity check."""
    import vora.api

    seen = []
    original = {}
    for method in ("config", "load_onnx", "build", "accuracy_analysis", "export_vora"):
        original[method] = getattr(vora.api.VORA, method)

        def record(self, *args, _method=method, **kwargs):
            seen.append((_method, args, list(kwargs.items())))
            return 0

        setattr(vora.api.VORA, method, record)
    try:
        convert(path)
    finally:
        for method, function in original.items():
            setattr(vora.api.VORA, method, function)
    return seen


def per_call_us(job, runs):
    """Mean microseconds per call over `runs` calls."""
    start = time.perf_counter()
    for _ in range(runs):
        job()
    return (time.perf_counter() - start) / runs * 1e6


def alternating_rounds(jobs, runs, rounds):
    """Per job, its time per call in each round; every round runs each job once, in turn."""
    for job in jobs.values():
        per_call_us(job, max(1, runs // 10))  # warm-up
    times = {name: [] for name in jobs}
    for _ in range(rounds):
        for name, job in jobs.items():
            times[name].append(per_call_us(job, runs))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2_000, help="calls per job and round (default 2000)")
    parser.add_argument("--rounds", type=int, default=15, help="alternating rounds (default 15)")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        install_fast_standin(directory)
        import vora.api
        import vora_convert_inner

        path = str(EXAMPLE)
        same = recorded_arguments(vora_convert_inner.rust_convert, path) == recorded_arguments(python_convert, path)

        VORA = vora.api.VORA
        prebuilt = [
            (name, args, dict(kwargs)) for name, args, kwargs in recorded_arguments(python_convert, path)
        ]

        def floor():
            converter = VORA()
            for name, args, kwargs in prebuilt:
                code_of(getattr(converter, name)(*args, **kwargs))

        times = alternating_rounds(
            {
                "module": lambda: vora_convert_inner.rust_convert(path),
                "python": lambda: python_convert(path),
                "floor": floor,
            },
            options.runs,
            options.rounds,
        )

    module, python, bottom = (statistics.median(times[name]) for name in ("module", "python", "floor"))
    ratios = [p / m for p, m in zip(times["python"], times["module"])]
    ratio = statistics.median(ratios)
    print(f"configuration: {EXAMPLE.relative_to(REPO)}, {options.rounds} alternating rounds of "
          f"{options.runs} calls per job, medians")
    print(f"same arguments in (0) and (a): {'yes' if same else 'NO'}")
    print(f"(0) rust_convert               {module:9.2f} us/call")
    print(f"(a) plain Python, same job     {python:9.2f} us/call")
    print(f"(b) floor, five calls only     {bottom:9.2f} us/call")
    verdict = "met" if ratio >= GOAL_SPEEDUP else "MISSED"
    print(f"ratio (a)/(0)                  {ratio:9.2f}    goal >= {GOAL_SPEEDUP:g} {verdict}"
          f"  (rounds: {min(ratios):.2f} to {max(ratios):.2f})")


if __name__ == "__main__":
    main()

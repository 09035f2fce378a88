"""The README's quick start, run as a user pastes it into a shell: each command block copied out of
the README, in order, beside a model and data that match the file it writes."""

import os
import re
import subprocess
import sys

from test_cli import cli  # noqa: F401  (a fixture)
from test_model_reader import TensorProto, graph, tensor
from conftest import REPO, STANDIN

README = REPO / "README.md"


def quick_start_blocks():
    text = README.read_text(encoding="utf-8")
    section = re.search(r"^## Quick start\n(.*?)^## ", text, re.M | re.S)
    assert section, "the README has no quick start"
    return re.findall(r"^```sh\n(.*?)^```$", section[1], re.M | re.S)


def make_files_the_quick_start_names(folder):
    (folder / "models").mkdir()
    (folder / "models" / "net.onnx").write_bytes(
        graph([tensor("input", TensorProto.FLOAT, [1, 3, 224, 224])]).SerializeToString())
    (folder / "data" / "images").mkdir(parents=True)
    (folder / "data" / "images" / "cat.jpg").write_bytes(b"\xff\xd8\xff\xd9")
    (folder / "data" / "calibration.txt").write_text("images/cat.jpg\n")


def test_the_quick_start_runs_as_written(cli, tmp_path):  # noqa: F811
    blocks = quick_start_blocks()
    assert len(blocks) == 4
    # `python` and `vora-config` as a user's environment has them, and the stand-in converter.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "python").write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')  # a link would leave the venv
    (bin_dir / "python").chmod(0o755)
    (bin_dir / "vora-config").symlink_to(cli)
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}",
               PYTHONPATH=os.pathsep.join(filter(None, [str(STANDIN), os.environ.get("PYTHONPATH")])))
    work = tmp_path / "work"
    work.mkdir()
    outputs = []
    for n, block in enumerate(blocks):
        if n == 2:
            make_files_the_quick_start_names(work)
        done = subprocess.run(["bash", "-euo", "pipefail", "-c", block], cwd=work, env=env, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, f"block {n + 1}:\n{block}\n{done.stdout}\n{done.stderr}"
        outputs.append(done.stdout)
    assert outputs[2].count("1 file checked: 0 errors, 0 warnings\n") == 2
    plan = outputs[2].splitlines()[2:]
    assert [line.split("(")[0] for line in plan] == ["config", "load_onnx", "build", "export_vora"]
    assert plan[1].startswith("load_onnx('models/net.onnx', inputs=['input'], input_size_list=[[1, 3, 224, 224]]")
    assert (work / "vora-config.schema.json").is_file()
    assert '"model": "models/net.onnx"' in (work / "net.vora").read_text()  # the stand-in converter's export


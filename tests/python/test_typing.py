"""The stub package as type checkers meet it: mypy finds vora_convert_inner-stubs
for user code, and stubtest finds the stubs true to the installed module.

Run against the installed module only (a module on PYTHONPATH, such as the
sanitizer build, has no stub package beside it), and only where mypy is
installed."""

import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import vora_convert_inner

SITE = {Path(sysconfig.get_paths()[key]).resolve() for key in ("purelib", "platlib")}
STUBS = [site / "vora_convert_inner-stubs" / "__init__.pyi" for site in SITE]

pytestmark = [
    pytest.mark.skipif(Path(vora_convert_inner.__file__).resolve().parent not in SITE,
                       reason="vora_convert_inner is not the installed module"),
    pytest.mark.skipif(not any(stub.is_file() for stub in STUBS), reason="the stub package is not installed"),
]
mypy = pytest.importorskip("mypy")


def run_mypy(*arguments, cwd):
    done = subprocess.run([sys.executable, "-m", *arguments], cwd=cwd, capture_output=True, text=True,
                          timeout=300)
    return done.returncode, done.stdout


def test_stubs_match_the_module(tmp_path):
    code, out = run_mypy("mypy.stubtest", "vora_convert_inner", cwd=tmp_path)
    assert (code, out) == (0, "Success: no issues found in 1 module\n")


@pytest.mark.parametrize("call, error", [
    ('rust_explain("convert.toml")', None),
    ('rust_convert(path="convert.toml")', None),
    ('rust_explain(Path("convert.toml"))',
     'Argument 1 to "rust_explain" has incompatible type "Path"; expected "str"  [arg-type]'),
    ('rust_convert(path=Path("convert.toml"))',
     'Argument "path" to "rust_convert" has incompatible type "Path"; expected "str"  [arg-type]'),
    ('rust_explain()', 'Missing positional argument "path" in call to "rust_explain"  [call-arg]'),
    ('rust_convert("a.toml", "b.toml")', 'Too many arguments for "rust_convert"  [call-arg]'),
    ('rust_explain(source="convert.toml")',
     'Unexpected keyword argument "source" for "rust_explain"  [call-arg]'),
    ('check("convert.toml", files=False, base=None)[0]["line"]', None),
    ('check("convert.toml")[0]["lines"]', 'TypedDict "_Finding" has no key "lines"  [typeddict-item]'),
], ids=["str", "str-keyword", "Path", "Path-keyword", "no-argument", "two-arguments", "other-keyword", "check",
        "check-field"])
def test_user_code_is_checked_against_the_stubs(tmp_path, call, error):
    (tmp_path / "user.py").write_text(textwrap.dedent(f"""\
        from pathlib import Path

        import vora_convert_inner

        vora_convert_inner.{call}
    """))
    code, out = run_mypy("mypy", "--strict", "--no-incremental", "user.py", cwd=tmp_path)
    if error is None:
        assert (code, out) == (0, "Success: no issues found in 1 source file\n")
    else:
        # mypy's notes below an error differ between its versions.
        assert code == 1
        assert [line for line in out.splitlines() if ": error: " in line] == [f"user.py:5: error: {error}"]

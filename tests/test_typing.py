"""The type stubs installed with the module: found by type checkers, true to the module."""

import ast
import importlib.metadata
import inspect
import re
import subprocess
import sys
import textwrap

import pytest

import vorn_hyst

UINT8_ARRAY = r"numpy\.ndarray\[.*numpy\.dtype\[numpy\.unsignedinteger\[.*_8Bit\]\]\]"

# One line of code each, and what mypy --strict must say about it: a regular
# expression for the note or error on that line, or None for silence.
SAMPLE = [
    ("img: npt.NDArray[np.uint8] = np.zeros((2, 2, 3), np.uint8)", None),
    ("reveal_type(monochrome(img))", rf'Revealed type is "{UINT8_ARRAY}"'),
    ("reveal_type(vorn_hyst.monochrome)",
     r'Revealed type is "def \(img: .*, blur_n: .*SupportsIndex =, window_radius: .*SupportsIndex =, '
     r'min_prominence: .*SupportsFloat.*=, min_distance: .*SupportsIndex =, '
     rf'percentage: .*SupportsFloat.*=\) -> {UINT8_ARRAY}"'),
    ("monochrome(img, 3, 3, 0.5, 10, 0.22)", None),
    ("monochrome(img=img, blur_n=np.int64(2), window_radius=True, percentage=1)", None),
    ("out: npt.NDArray[np.uint8] = vorn_hyst.monochrome(img, min_distance=5)", None),
    ("monochrome(img, blur_n='3')", r'Argument "blur_n" to "monochrome" has incompatible type "str"'),
    ("monochrome(img, blur_n=3.0)", r'Argument "blur_n" to "monochrome" has incompatible type "float"'),
    ("monochrome(img, bogus=1)", r'Unexpected keyword argument "bogus"'),
    ("monochrome()", r'Missing positional argument "img"'),
    ("monochrome(img, 1, 2, 3, 4, 5, 6)", r"Too many arguments"),
    ("floats: npt.NDArray[np.float64] = np.zeros((2, 2, 3))", None),
    ("monochrome(floats)", r"Argument 1 to \"monochrome\" has incompatible type"),
    ("wrong: npt.NDArray[np.float64] = monochrome(img)", r"Incompatible types in assignment"),
    ("reveal_type(vorn_hyst.__all__)", r'Revealed type is "(builtins\.)?list\[(builtins\.)?str\]"'),
]


def stub_path():
    dist = importlib.metadata.distribution("vorn_hyst")
    return dist.locate_file("vorn_hyst-stubs/__init__.pyi")


def test_stub_agrees_with_the_module():
    tree = ast.parse(open(stub_path()).read())
    [func] = [n for n in tree.body if isinstance(n, ast.FunctionDef)]
    assert func.name == "monochrome"
    args = func.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    runtime = inspect.signature(vorn_hyst.monochrome).parameters.values()
    assert [(a.arg, d) for a, d in zip(args.args, defaults)] == [
        (p.name, None if p.default is p.empty else p.default) for p in runtime]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtime)
    [all_] = [n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert ast.literal_eval(all_.value) == vorn_hyst.__all__
    assert ast.get_docstring(tree) == vorn_hyst.__doc__


def test_mypy_strict_sees_the_signature(tmp_path):
    pytest.importorskip("mypy")
    npt = pytest.importorskip("numpy.typing")
    if not hasattr(npt, "NDArray"):
        pytest.skip("this NumPy has no numpy.typing.NDArray")
    header = ["import numpy as np", "import numpy.typing as npt", "import vorn_hyst",
              "from vorn_hyst import monochrome"]
    lines = header + [code for code, _ in SAMPLE]
    (tmp_path / "sample.py").write_text("\n".join(lines) + "\n")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         "--hide-error-context", "--no-error-summary", "--show-error-codes", "sample.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=240)
    said = {}
    for line in done.stdout.splitlines():
        match = re.match(r"sample\.py:(\d+): (?:note|error): (.*)", line)
        if match and not match.group(2).startswith('"monochrome" defined in'):
            said.setdefault(int(match.group(1)), []).append(match.group(2))
    assert done.returncode in (0, 1), done.stdout + done.stderr
    for number, (code, expected) in enumerate(SAMPLE, len(header) + 1):
        messages = said.pop(number, [])
        if expected is None:
            assert messages == [], code
        else:
            assert len(messages) == 1 and re.search(expected, messages[0]), (code, messages)
    assert said == {}, textwrap.indent(done.stdout, "  ")

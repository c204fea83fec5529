"""How the module finds NumPy at the first call, and how it reports failures.

Each case runs in a fresh interpreter, because the NumPy table is acquired once
per process. Where NumPy is not installed only the cases that need no NumPy run.
"""

import subprocess
import sys
import textwrap

import pytest

PREFIX = "Failed to access NumPy array API capsule: "

# A stand-in for NumPy that publishes a C-API table whose version entries the
# test chooses; entry 2 (the array type) is a plain class named ndarray.
FAKE_MULTIARRAY = """
import ctypes

ABI, FEATURE, ENDIAN = {abi}, {feature}, {endian}

class ndarray:
    pass

_abi = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: ABI)
_feature = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: FEATURE)
_endian = ctypes.CFUNCTYPE(ctypes.c_int)(lambda: ENDIAN)
_table = (ctypes.c_void_p * 300)()
for _index, _fn in ((0, _abi), (211, _feature), (210, _endian)):
    _table[_index] = ctypes.cast(_fn, ctypes.c_void_p).value
_table[2] = id(ndarray)
_new = ctypes.pythonapi.PyCapsule_New
_new.restype = ctypes.py_object
_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_ARRAY_API = {capsule}
"""


def make_fake_numpy(root, version="2.1.0", core="_core", abi="0x2000000", feature="0xc",
                    endian="1", capsule="_new(ctypes.addressof(_table), None, None)",
                    major=None, init=""):
    package = root / "numpy"
    (package / "lib").mkdir(parents=True)
    (package / core).mkdir()
    (package / "__init__.py").write_text(f"__version__ = {version!r}\n{init}")
    major_expr = f"{major}" if major is not None else "int(text.split('.')[0])"
    (package / "lib" / "__init__.py").write_text(
        "class NumpyVersion:\n"
        "    def __init__(self, text):\n"
        f"        self.major = {major_expr}\n")
    (package / core / "__init__.py").write_text("")
    (package / core / "multiarray.py").write_text(FAKE_MULTIARRAY.format(
        abi=abi, feature=feature, endian=endian, capsule=capsule))


def call_module(code, path=None):
    """Runs `code` after `import vorn_hyst`, with `show` defined to print what a call raises."""
    script = "import sys\n"
    if path is not None:
        script += f"sys.path.insert(0, {str(path)!r})\n"
    script += "import vorn_hyst\n" + SHOW + textwrap.dedent(code)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return done


SHOW = """
def show(call):
    try:
        call()
    except BaseException as e:
        base = type(e).__mro__[1].__name__
        print(type(e).__name__ if base != "BaseException" else "internal", str(e), sep="|")
"""


UNREPRESENTABLE = """
class Unrepresentable(Exception):
    def __repr__(self):
        raise KeyError("repr failed")

class Meta(type):
    def __repr__(cls):
        raise KeyError("repr failed")

class OfUnrepresentableType(Exception, metaclass=Meta):
    pass

"""


@pytest.mark.parametrize("options, expected", [
    ({}, "TypeError|'int' object is not an instance of 'ndarray'"),
    ({"version": "1.26.4", "core": "core"},
     "TypeError|'int' object is not an instance of 'ndarray'"),
    ({"version": "1.26.4"}, f"internal|{PREFIX}PyErr {{ type: <class 'ModuleNotFoundError'>"),
    ({"abi": "0x2000001"}, f"internal|{PREFIX}PyErr {{ type: <class 'RuntimeError'>, value: "
     "RuntimeError('module compiled against ABI version 0x2000000 but this version of numpy "
     "is 0x2000001'), traceback: None }"),
    ({"abi": "0x1000009"}, "TypeError|'int' object is not an instance of 'ndarray'"),
    ({"feature": "0xb"}, f"internal|{PREFIX}PyErr {{ type: <class 'RuntimeError'>, value: "
     "RuntimeError('module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the "
     "running NumPy has C-API version 0xb'), traceback: None }"),
    ({"endian": "2"}, f"internal|{PREFIX}PyErr {{ type: <class 'RuntimeError'>, value: "
     "RuntimeError('module compiled as little endian, but detected different endianness at "
     "runtime'), traceback: None }"),
    ({"capsule": "5"}, f"internal|{PREFIX}PyErr {{ type: <class 'TypeError'>, value: "
     "TypeError(\"'int' object is not an instance of 'PyCapsule'\"), traceback: None }"),
    ({"major": 256}, f"internal|{PREFIX}PyErr {{ type: <class 'OverflowError'>, value: "
     "OverflowError('number too large to fit in target type'), traceback: None }"),
    ({"major": -1}, f"internal|{PREFIX}PyErr {{ type: <class 'OverflowError'>, value: "
     "OverflowError('number too small to fit in target type'), traceback: None }"),
    # An error whose rendering fails is still the one error reported.
    ({"init": UNREPRESENTABLE + "raise Unrepresentable()\n"},
     f"internal|{PREFIX}PyErr {{ type: <class 'numpy.Unrepresentable'>, value: "
     "<unprintable Unrepresentable object>, traceback: Some(\"Traceback"),
    ({"init": UNREPRESENTABLE + "raise OfUnrepresentableType()\n"},
     f"internal|{PREFIX}PyErr {{ type: <unprintable Meta object>, value: "
     "OfUnrepresentableType(), traceback: Some(\"Traceback"),
])
def test_table_acquisition(tmp_path, options, expected):
    make_fake_numpy(tmp_path, **options)
    done = call_module("show(lambda: vorn_hyst.monochrome(1))\n", tmp_path)
    assert done.stdout.startswith(expected)


def test_failed_acquisition_is_retried(tmp_path):
    make_fake_numpy(tmp_path, feature="0xb")
    done = call_module("""
        show(lambda: vorn_hyst.monochrome(1))
        import numpy._core.multiarray as fake
        fake.FEATURE = 0xc
        show(lambda: vorn_hyst.monochrome(1))
    """, tmp_path)
    first, second = done.stdout.splitlines()
    assert "C-API version 0xb" in first
    assert second == "TypeError|'int' object is not an instance of 'ndarray'"


def test_missing_numpy():
    done = call_module("""
        sys.modules["numpy"] = None  # makes "import numpy" fail as if it were absent
        show(lambda: vorn_hyst.monochrome(1))
        show(lambda: vorn_hyst.monochrome(1))
        show(lambda: vorn_hyst.monochrome())
        show(lambda: vorn_hyst.monochrome(1, y=1))
        try:
            vorn_hyst.monochrome(1)
        except Exception:
            print("caught as Exception")
        except BaseException as e:
            print("passes Exception handlers", type(e).__mro__[1:])
    """)
    lines = done.stdout.splitlines()
    assert lines[0].startswith(f"internal|{PREFIX}PyErr {{ type: <class 'ModuleNotFoundError'>")
    assert lines[1] == lines[0]
    assert lines[2:4] == ["TypeError|monochrome() missing 1 required positional argument: 'img'",
                          "TypeError|monochrome() got an unexpected keyword argument 'y'"]
    assert lines[4] == "passes Exception handlers (<class 'BaseException'>, <class 'object'>)"


def test_internal_failure_from_python_is_resumed():
    pytest.importorskip("numpy")
    done = call_module("""
        import numpy as np
        sys.modules["numpy"] = None
        try:
            vorn_hyst.monochrome(1)
        except BaseException as e:
            failure = type(e)
        del sys.modules["numpy"]

        class Index:
            def __index__(self):
                raise failure("raised by Python code")

        show(lambda: vorn_hyst.monochrome(np.zeros((1, 1, 3), np.uint8), blur_n=Index()))
        print(vorn_hyst.monochrome(np.zeros((1, 1, 3), np.uint8)).shape)
    """)
    assert done.stdout.splitlines() == ["internal|raised by Python code", "(1, 1, 3)"]
    assert "Python stack trace below:" in done.stderr
    assert "raised by Python code" in done.stderr

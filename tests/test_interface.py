"""The module's face to Python: attributes, argument matching and conversion,
errors, the result, the finding of NumPy's C API, and the type stubs."""

import ast
import gc
import importlib.metadata
import inspect
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn_hyst
from conftest import (
    HAS_NOTES,
    Floaty,
    Index,
    IntSub,
    Unprintable,
    ndarray_subclass,
    notes,
    run_python,
)
from vorn_hyst import monochrome

IMG = np.full((2, 2, 3), 7, np.uint8)


# --- module and function attributes ----------------------------------------

def test_module_attributes():
    assert vorn_hyst.__all__ == ["monochrome", "__doc__"]
    assert vorn_hyst.__doc__ == "Monochrome level fix for RGB8 image arrays."
    assert not hasattr(vorn_hyst, "__version__")


def test_function_attributes():
    f = vorn_hyst.monochrome
    assert (f.__name__, f.__module__, f.__self__) == ("monochrome", "vorn_hyst", None)
    assert f.__text_signature__ == ("(img, blur_n=3, window_radius=3, min_prominence=0.5, "
                                    "min_distance=10, percentage=0.22)")
    assert f.__doc__.startswith("Fix black/white levels of monochrome (neutral) images.\n\nArgs:\n"
                                "    img: ``(H, W, 3)`` uint8 RGB array.\n")
    assert f.__doc__.endswith("New ``(H, W, 3)`` uint8 array; unchanged pixels when the image "
                              "is not monochrome.")
    assert len(f.__doc__.split("\n")) == 12
    params = inspect.signature(f).parameters
    assert [(p.name, p.default) for p in params.values()][1:] == [
        ("blur_n", 3), ("window_radius", 3), ("min_prominence", 0.5),
        ("min_distance", 10), ("percentage", 0.22)]


@pytest.mark.numpy_free
def test_import_does_not_import_numpy():
    out = run_python("""
        import sys, vorn_hyst
        print('numpy' in sys.modules)
        try:
            vorn_hyst.monochrome()
        except TypeError as e:
            print(e)
        print('numpy' in sys.modules)
    """)
    assert out.stdout.split("\n")[:3] == [
        "False", "monochrome() missing 1 required positional argument: 'img'", "False"]


# --- argument matching -----------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "monochrome() missing 1 required positional argument: 'img'"),
    ((IMG,) * 7, {}, "monochrome() takes from 1 to 6 positional arguments but 7 were given"),
    ((IMG,) * 8, {}, "monochrome() takes from 1 to 6 positional arguments but 8 were given"),
    ((IMG,) * 7, {"blurn": 1},
     "monochrome() takes from 1 to 6 positional arguments but 7 were given"),
    ((IMG, 3), {"blur_n": 2}, "monochrome() got multiple values for argument 'blur_n'"),
    ((IMG,), {"img": IMG}, "monochrome() got multiple values for argument 'img'"),
    ((IMG,), {"blurn": 2}, "monochrome() got an unexpected keyword argument 'blurn'"),
    ((IMG,), {"BLUR_N": 2}, "monochrome() got an unexpected keyword argument 'BLUR_N'"),
    ((IMG,), {"blur_n_": 2}, "monochrome() got an unexpected keyword argument 'blur_n_'"),
    ((), {"foo": 1}, "monochrome() got an unexpected keyword argument 'foo'"),
    ((IMG,), {"first": 1, "second": 2}, "monochrome() got an unexpected keyword argument 'first'"),
    ((IMG,), {"\udcff": 1}, "monochrome() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ((), {"blur_n": 1}, "monochrome() missing 1 required positional argument: 'img'"),
])
def test_matching_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        monochrome(*args, **kwargs)
    assert str(info.value) == message
    assert notes(info.value) == []


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_unprintable_keyword_name():
    with pytest.raises(TypeError,
                       match=r"unexpected keyword argument '<unprintable Unprintable object>'"):
        monochrome(IMG, **{Unprintable("zz"): 1})


def test_all_arguments_by_keyword():
    keywords = dict(img=IMG, blur_n=0, window_radius=2, min_prominence=1, min_distance=3,
                    percentage=0.5)
    positional = monochrome(IMG, 0, 2, 1, 3, 0.5)
    assert np.array_equal(monochrome(**keywords), positional)


# --- conversions and their notes --------------------------------------------

CONVERSION_ERRORS: list[tuple[str, object, type[Exception], str | None]] = [
    ("blur_n", 3.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("blur_n", None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ("blur_n", -1, OverflowError, None),
    ("blur_n", 2**64, OverflowError, None),
    ("window_radius", "3", TypeError, None),
    ("min_distance", Index(KeyError("k")), KeyError, "'k'"),
    ("min_prominence", "0.5", TypeError, None),
    ("min_prominence", None, TypeError, None),
    ("percentage", 2**1100, OverflowError, None),
    ("percentage", Floaty(ZeroDivisionError("float failed")), ZeroDivisionError, "float failed"),
]


@pytest.mark.parametrize("name, value, error, text", CONVERSION_ERRORS)
def test_conversion_errors_carry_a_note(name, value, error, text):
    with pytest.raises(error) as info:
        monochrome(IMG, **{name: value})
    if text is not None:
        assert str(info.value) == text
    assert notes(info.value) == ([f"while processing '{name}'"] if HAS_NOTES else [])


@pytest.mark.parametrize("value, expected", [
    ([[[0, 0, 0]]], "'list' object is not an instance of 'ndarray'"),
    (None, "'None' is not an instance of 'ndarray'"),
    (1, "'int' object is not an instance of 'ndarray'"),
    (np.zeros((2, 2), np.uint8), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros((2, 2, 3, 1), np.uint8), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros((2, 2, 3)), "'ndarray' object is not an instance of 'ndarray'"),
    *[(np.zeros((2, 2, 3), t), "'ndarray' object is not an instance of 'ndarray'")
      for t in (np.int8, np.bool_, np.uint16, np.float32)],
    (np.uint8(3), "'uint8' object is not an instance of 'ndarray'"),
])
def test_image_conversion_errors(value, expected):
    with pytest.raises(TypeError) as info:
        monochrome(value, blur_n=None)  # the image is reported before blur_n
    assert str(info.value) == expected
    assert notes(info.value) == (["while processing 'img'"] if HAS_NOTES else [])


@pytest.mark.parametrize("kwargs", [
    dict(blur_n=True), dict(blur_n=np.int64(3)), dict(blur_n=IntSub(2)),
    dict(window_radius=Index(255)), dict(min_prominence=1), dict(min_prominence=True),
    dict(percentage=np.float32(0.5)), dict(min_prominence=-0.0, percentage=0),
])
def test_accepted_conversions(kwargs):
    assert monochrome(IMG, **kwargs).shape == IMG.shape


def test_accepted_images():
    Sub = ndarray_subclass()
    swapped = IMG.astype(np.dtype("u1").newbyteorder(">"))
    for image in (IMG.view(Sub), swapped, np.ma.masked_array(IMG, mask=True)):
        result = monochrome(image)
        assert type(result) is np.ndarray
        assert np.array_equal(result, monochrome(np.array(IMG)))


# --- checks: order and messages --------------------------------------------

@pytest.mark.parametrize("shape, kwargs, message", [
    ((2, 2, 4), {}, "expected an (H, W, 3) array, got 4 channels"),
    ((2, 2, 0), {}, "expected an (H, W, 3) array, got 0 channels"),
    ((2, 2, 4), {"blur_n": 5000}, "expected an (H, W, 3) array, got 4 channels"),
    ((2, 2, 3), {"blur_n": 5000, "window_radius": 0}, "blur_n must be <= 1024, got 5000"),
    ((2, 2, 3), {"blur_n": 1025}, "blur_n must be <= 1024, got 1025"),
    ((2, 2, 3), {"blur_n": 2**64 - 1}, "blur_n must be <= 1024, got 18446744073709551615"),
    ((2, 2, 3), {"window_radius": 0}, "window_radius must be in 1..256, got 0"),
    ((2, 2, 3), {"window_radius": 256}, "window_radius must be in 1..256, got 256"),
    ((2, 2, 3), {"min_distance": 0, "min_prominence": -1},
     "min_distance must be in 1..256, got 0"),
    ((2, 2, 3), {"min_distance": 256}, "min_distance must be in 1..256, got 256"),
    ((2, 2, 3), {"min_prominence": -1.0, "percentage": -1},
     "min_prominence must be a finite percentage >= 0, got -1"),
    ((2, 2, 3), {"min_prominence": float("-inf")},
     "min_prominence must be a finite percentage >= 0, got -inf"),
    ((2, 2, 3), {"min_prominence": -5e-324},
     "min_prominence must be a finite percentage >= 0, got -0." + "0" * 323 + "5"),
    ((2, 2, 3), {"percentage": float("nan")}, "percentage must be a finite ratio >= 0, got NaN"),
    ((2, 2, 3), {"percentage": -float("nan")}, "percentage must be a finite ratio >= 0, got NaN"),
    ((2, 2, 3), {"percentage": float("inf")}, "percentage must be a finite ratio >= 0, got inf"),
    ((2, 2, 3), {"percentage": -2.5}, "percentage must be a finite ratio >= 0, got -2.5"),
    ((2, 2, 3), {"percentage": -1e21},
     "percentage must be a finite ratio >= 0, got -1000000000000000000000"),
    ((2, 2, 3), {"percentage": -1e-7}, "percentage must be a finite ratio >= 0, got -0.0000001"),
    ((2, 2, 3), {"percentage": -0.1}, "percentage must be a finite ratio >= 0, got -0.1"),
])
def test_check_messages(shape, kwargs, message):
    with pytest.raises(ValueError) as info:
        monochrome(np.zeros(shape, np.uint8), **kwargs)
    assert info.value.args == (message,)


def test_conversions_come_before_checks():
    with pytest.raises(TypeError) as info:
        monochrome(np.zeros((1, 1, 4), np.uint8), blur_n=5000, percentage="x")
    assert notes(info.value) == (["while processing 'percentage'"] if HAS_NOTES else [])


@pytest.mark.parametrize("kwargs", [
    dict(blur_n=1024), dict(blur_n=0), dict(window_radius=1), dict(window_radius=255),
    dict(min_distance=1), dict(min_distance=255), dict(min_prominence=1e308),
    dict(percentage=5e-324),
])
def test_bounds_accepted(kwargs):
    monochrome(IMG, **kwargs)


# --- the result --------------------------------------------------------------

def test_result_properties():
    image = np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3)
    before = image.copy()
    result = monochrome(image)
    assert result.shape == image.shape and result.dtype == np.uint8
    assert result.flags.writeable and result.flags.c_contiguous and not result.flags.owndata
    assert result.strides == (9, 3, 1)
    assert not np.shares_memory(result, image)
    holder = result.base
    holder_type = type(holder)
    assert (holder_type.__name__, holder_type.__qualname__, holder_type.__module__) == (
        "PySliceContainer", "PySliceContainer", "builtins")
    assert not gc.is_tracked(holder)
    with pytest.raises(TypeError):
        holder_type()
    result[...] = 0
    assert np.array_equal(image, before)


def test_view_keeps_pixels_alive():
    image = np.random.default_rng(1).integers(0, 256, (64, 64, 3), dtype=np.uint8)
    view = monochrome(image)[10:20, ::2]
    gc.collect()
    np.random.default_rng(2).integers(0, 256, (64, 64, 3), dtype=np.uint8)  # reuse freed memory
    assert np.array_equal(view, image[10:20, ::2])
    assert type(view.base.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize("shape", [(0, 5, 3), (5, 0, 3), (0, 0, 3)])
def test_empty_images(shape):
    result = monochrome(np.zeros(shape, np.uint8))
    assert result.shape == shape and result.strides == (0, 0, 0)
    assert type(result.base).__name__ == "PySliceContainer"


# Each layout holds the same image as the C-ordered array it is given.
LAYOUTS = {
    "fortran": np.asfortranarray,
    "rows reversed": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "columns reversed": lambda a: np.ascontiguousarray(a[:, ::-1])[:, ::-1],
    "negative strides": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    "channels reversed": lambda a: np.ascontiguousarray(a[..., ::-1])[..., ::-1],
    "transposed": lambda a: np.ascontiguousarray(a.transpose(1, 0, 2)).transpose(1, 0, 2),
    "every other column": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "channel planes": lambda a: np.moveaxis(np.ascontiguousarray(np.moveaxis(a, 2, 0)), 0, 2),
    "row slice of wider": lambda a: np.concatenate([a, a], axis=1)[:, : a.shape[1]],
    "strided slice":
    lambda a: np.pad(np.repeat(a, 2, axis=1), ((0, 0), (0, 0), (1, 1)))[:, ::2, 1:4],
    "read only": lambda a: _read_only(a.copy()),
    # One row at the most negative stride: its magnitude has no npy_intp.
    "most negative stride": lambda a: np.lib.stride_tricks.as_strided(
        a[:1], strides=(-2**63, *a.strides[1:])),
}


def _read_only(a):
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("shape, neutral", [((1, 1), True), ((31, 7), True), ((30, 20), False),
                                            ((33, 65), True)])
def test_layouts_match_c_order(layout, shape, neutral):
    rng = np.random.default_rng(3)
    if neutral:
        grey = np.where(rng.random(shape) < 0.3, 40, 210)
        noise = rng.integers(-3, 4, shape + (3,))
        image = np.clip(grey[:, :, None] + noise, 0, 255).astype(np.uint8)
    else:
        image = rng.integers(0, 256, shape + (3,), dtype=np.uint8)
    view = LAYOUTS[layout](image)
    image = image[: view.shape[0]]
    assert np.array_equal(view, image)
    assert np.array_equal(monochrome(view), monochrome(image))


@pytest.mark.parametrize("source", [np.array([[[10, 20, 30]]]), np.arange(150).reshape(1, 50, 3)])
def test_broadcast_image(source):
    image = np.broadcast_to(source.astype(np.uint8), (40, 50, 3))
    assert np.array_equal(monochrome(image), monochrome(np.ascontiguousarray(image)))


def test_holder_made_by_python_code_releases_nothing():
    # The holder type's dict is writable, so Python code can give it a
    # __new__ and make an instance that owns no buffer.
    done = run_python("""
        import numpy as np, vorn_hyst
        holder = type(vorn_hyst.monochrome(np.zeros((1, 1, 3), np.uint8)).base)
        holder.__new__ = staticmethod(lambda cls: object.__new__(cls))
        made = holder()
        del made
        print("alive")
    """)
    assert (done.returncode, done.stdout) == (0, "alive\n"), done.stderr


# --- NumPy's C API, found at the first call --------------------------------------
#
# Each case runs in a fresh interpreter, because the table is acquired once
# per process; those marked numpy_free also run in one without NumPy.

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
    done = run_python(script, timeout=120)
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
@pytest.mark.numpy_free
def test_table_acquisition(tmp_path, options, expected):
    make_fake_numpy(tmp_path, **options)
    done = call_module("show(lambda: vorn_hyst.monochrome(1))\n", tmp_path)
    assert done.stdout.startswith(expected)


@pytest.mark.numpy_free
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


@pytest.mark.numpy_free
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


# --- the type stubs installed with the module -----------------------------------

UINT8_ARRAY = r"numpy\.ndarray\[.*numpy\.dtype\[numpy\.unsignedinteger\[.*_8Bit\]\]\]"

# One line of code each, and what mypy --strict must say about it: a regular
# expression for the note or error on that line, or None for silence.
SAMPLE = [
    ("img: npt.NDArray[np.uint8] = np.zeros((2, 2, 3), np.uint8)", None),
    ("reveal_type(monochrome(img))", rf'Revealed type is "{UINT8_ARRAY}"'),
    ("reveal_type(vorn_hyst.monochrome)",
     r'Revealed type is "def \(img: .*, blur_n: .*SupportsIndex =, '
     r'window_radius: .*SupportsIndex =, '
     r'min_prominence: .*SupportsFloat.*=, min_distance: .*SupportsIndex =, '
     rf'percentage: .*SupportsFloat.*=\) -> {UINT8_ARRAY}"'),
    ("monochrome(img, 3, 3, 0.5, 10, 0.22)", None),
    ("monochrome(img=img, blur_n=np.int64(2), window_radius=True, percentage=1)", None),
    ("out: npt.NDArray[np.uint8] = vorn_hyst.monochrome(img, min_distance=5)", None),
    ("monochrome(img, blur_n='3')",
     r'Argument "blur_n" to "monochrome" has incompatible type "str"'),
    ("monochrome(img, blur_n=3.0)",
     r'Argument "blur_n" to "monochrome" has incompatible type "float"'),
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
    with open(stub_path(), encoding="utf-8") as stub:
        tree = ast.parse(stub.read())
    [func] = [n for n in tree.body if isinstance(n, ast.FunctionDef)]
    assert func.name == "monochrome"
    args = func.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    defaults = ([None] * (len(args.args) - len(args.defaults))
                + [ast.literal_eval(d) for d in args.defaults])
    runtime = inspect.signature(vorn_hyst.monochrome).parameters.values()
    assert [(a.arg, d) for a, d in zip(args.args, defaults)] == [
        (p.name, None if p.default is p.empty else p.default) for p in runtime]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtime)
    [all_] = [n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert ast.literal_eval(all_.value) == vorn_hyst.__all__
    assert ast.get_docstring(tree) == vorn_hyst.__doc__


@pytest.mark.slow
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
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"),
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

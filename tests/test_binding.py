"""The module's face to Python: attributes, argument handling, errors, result."""

import gc
import inspect
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import vorn_hyst
from vorn_hyst import monochrome

HAS_NOTES = sys.version_info >= (3, 11)
IMG = np.full((2, 2, 3), 7, np.uint8)


def run_python(code, **kwargs):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120, **kwargs)


def notes(error):
    return getattr(error, "__notes__", [])


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
    ((IMG,) * 7, {"blurn": 1}, "monochrome() takes from 1 to 6 positional arguments but 7 were given"),
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
    class Name(str):
        def __str__(self):
            raise ValueError("no")
    with pytest.raises(TypeError, match=r"unexpected keyword argument '<unprintable Name object>'"):
        monochrome(IMG, **{Name("zz"): 1})


def test_all_arguments_by_keyword():
    keywords = dict(img=IMG, blur_n=0, window_radius=2, min_prominence=1, min_distance=3,
                    percentage=0.5)
    positional = monochrome(IMG, 0, 2, 1, 3, 0.5)
    assert np.array_equal(monochrome(**keywords), positional)


# --- conversions and their notes --------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Float:
    def __float__(self):
        raise ZeroDivisionError("float failed")


class IntWithIndex(int):
    def __index__(self):
        raise AssertionError("an int subclass converts directly")


@pytest.mark.parametrize("name, value, error, text", [
    ("blur_n", 3.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("blur_n", None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ("blur_n", -1, OverflowError, None),
    ("blur_n", 2**64, OverflowError, None),
    ("window_radius", "3", TypeError, None),
    ("min_distance", Index(KeyError("k")), KeyError, "'k'"),
    ("min_prominence", "0.5", TypeError, None),
    ("min_prominence", None, TypeError, None),
    ("percentage", 2**1100, OverflowError, None),
    ("percentage", Float(), ZeroDivisionError, "float failed"),
])
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
    dict(blur_n=True), dict(blur_n=np.int64(3)), dict(blur_n=IntWithIndex(2)),
    dict(window_radius=Index(255)), dict(min_prominence=1), dict(min_prominence=True),
    dict(percentage=np.float32(0.5)), dict(min_prominence=-0.0, percentage=0),
])
def test_accepted_conversions(kwargs):
    assert monochrome(IMG, **kwargs).shape == IMG.shape


def test_accepted_images():
    class Sub(np.ndarray):
        pass
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


def _layouts(image):
    h, w, _ = image.shape
    wide = np.zeros((h, w * 2, 5), np.uint8)
    wide[:, ::2, 1:4] = image
    read_only = image.copy()
    read_only.flags.writeable = False
    return {
        "fortran": np.asfortranarray(image),
        "reversed": np.ascontiguousarray(image[::-1])[::-1],
        "negative strides": np.ascontiguousarray(image[::-1, ::-1])[::-1, ::-1],
        "channels reversed": np.ascontiguousarray(image[..., ::-1])[..., ::-1],
        "strided slice": wide[:, ::2, 1:4],
        "read only": read_only,
        "transposed": np.ascontiguousarray(image.transpose(1, 0, 2)).transpose(1, 0, 2),
        # One row at the most negative stride: its magnitude has no npy_intp.
        "most negative stride": np.lib.stride_tricks.as_strided(
            image[:1], strides=(-2**63, *image.strides[1:])),
    }


@pytest.mark.parametrize("kind", ["fortran", "reversed", "negative strides", "channels reversed",
                                  "strided slice", "read only", "transposed",
                                  "most negative stride"])
@pytest.mark.parametrize("neutral", [True, False])
def test_layouts_match_c_order(kind, neutral):
    rng = np.random.default_rng(5)
    if neutral:
        grey = np.where(rng.random((30, 20)) < 0.3, 40, 210).astype(np.uint8)
        image = np.repeat(grey[..., None], 3, axis=2)
    else:
        image = rng.integers(0, 256, (30, 20, 3), dtype=np.uint8)
    layout = _layouts(image)[kind]
    image = image[: layout.shape[0]]
    assert np.array_equal(layout, image)
    assert np.array_equal(monochrome(layout), monochrome(np.ascontiguousarray(image)))


@pytest.mark.parametrize("source", [np.array([[[10, 20, 30]]]), np.arange(150).reshape(1, 50, 3)])
def test_broadcast_image(source):
    image = np.broadcast_to(source.astype(np.uint8), (40, 50, 3))
    assert np.array_equal(monochrome(image), monochrome(np.ascontiguousarray(image)))


# Only Linux enforces an address-space limit; elsewhere the copy would really
# be attempted.
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
def test_huge_image_raises_memory_error():
    out = run_python("""
        import resource, numpy as np, vorn_hyst
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        huge = np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (2**20, 2**20, 3))
        try:
            vorn_hyst.monochrome(huge)
        except MemoryError as e:
            print(e)
        print(vorn_hyst.monochrome(np.zeros((2, 2, 3), np.uint8)).shape)
    """)
    assert out.stdout.splitlines() == ["memory allocation of 3298534883328 bytes failed",
                                       "(2, 2, 3)"], out.stderr


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


# --- threads -------------------------------------------------------------------

def test_concurrent_first_calls():
    out = run_python("""
        import threading, numpy as np, vorn_hyst
        image = np.zeros((20, 20, 3), np.uint8); image[10:] = 200
        barrier = threading.Barrier(8)
        results = []
        def call():
            barrier.wait()
            results.append(vorn_hyst.monochrome(image).tobytes())
        threads = [threading.Thread(target=call) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(results), len(set(results)))
    """)
    assert out.stdout.split() == ["8", "1"], out.stderr


def test_threads_overlap_while_computing():
    image = np.random.default_rng(3).integers(0, 256, (256, 256, 3), dtype=np.uint8)
    expected = monochrome(image)
    failures = []

    def work():
        for _ in range(20):
            if not np.array_equal(monochrome(image), expected):
                failures.append(1)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures

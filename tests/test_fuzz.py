"""Arbitrary objects, arrays and argument mixes: a correct array or an allowed error, nothing else.

Each example's outcome is predicted from the call's arguments (matching, the
`img` test, the conversions, the checks, in that order) and must come out
exactly; a valid call must agree with the reference model. VORN_FUZZ_EXAMPLES
sets the number of examples (default 3000, about 20 s).
"""

import collections
import operator
import os
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from conftest import HAS_NOTES, Floaty, Index, IntSub, Unprintable, ndarray_subclass
from model import monochrome_model
from vorn_hyst import monochrome

EXAMPLES = int(os.environ.get("VORN_FUZZ_EXAMPLES", "3000"))
NAMES = ("img", "blur_n", "window_radius", "min_prominence", "min_distance", "percentage")
DEFAULTS = (None, 3, 3, 0.5, 10, 0.22)
HUGE = 1 << 42  # bytes that neither the kernel nor the sanitizer's allocator will grant


Sub = ndarray_subclass()


# --- strategies ----------------------------------------------------------------

def _strided(data, array):
    """`array`'s bytes seen through arbitrary (also zero, negative, odd) strides."""
    shape = array.shape
    item = array.dtype.itemsize
    strides = [data.draw(st.integers(-3, 3)) * item + data.draw(st.sampled_from([0, 0, 1]))
               for _ in shape]
    low = sum(min(0, (n - 1) * s) for n, s in zip(shape, strides))
    high = sum(max(0, (n - 1) * s) for n, s in zip(shape, strides)) + item
    buffer = np.frombuffer(data.draw(st.binary(min_size=high - low, max_size=high - low)),
                           np.uint8).copy()
    start = buffer[-low:]
    view = np.lib.stride_tricks.as_strided(start, shape=shape, strides=strides)
    return view.view(array.dtype) if item == 1 else view


LAYOUTS = {
    "plain": lambda a, data: a,
    "fortran": lambda a, data: np.asfortranarray(a),
    "flipped": lambda a, data: np.flip(a, data.draw(st.integers(0, max(a.ndim - 1, 0))))
    if a.ndim else a,
    "stepped": lambda a, data: a[:: data.draw(st.sampled_from([2, 3, -1, -2]))] if a.ndim else a,
    "broadcast": lambda a, data:
    np.broadcast_to(a[:1], (data.draw(st.integers(0, 5)),) + a.shape[1:])
    if a.ndim and a.shape[0] else a,
    "strided": lambda a, data: _strided(data, a) if a.dtype == np.uint8 else a,
    "read_only": lambda a, data: _read_only(a),
    "subclass": lambda a, data: a.view(Sub),
    "byteswapped": lambda a, data: a.view(a.dtype.newbyteorder()),
}


def _read_only(a):
    a = a.view()
    a.flags.writeable = False
    return a


@st.composite
def palette_images(draw):
    """Images of a few grey-ish levels, which the level fix tends to judge neutral."""
    levels = draw(st.lists(st.integers(0, 255), min_size=1, max_size=3))
    tint = draw(st.lists(st.integers(-4, 4), min_size=3, max_size=3))
    h, w = draw(st.integers(1, 24)), draw(st.integers(1, 24))
    index = draw(hnp.arrays(np.uint8, (h, w), elements=st.integers(0, len(levels) - 1)))
    grey = np.array(levels, np.int64)[index]
    return np.clip(grey[..., None] + np.array(tint), 0, 255).astype(np.uint8)


any_dtype = st.one_of(
    st.just(np.dtype(np.uint8)), st.just(np.dtype(np.uint8)), hnp.scalar_dtypes(),
    st.sampled_from([np.dtype(">u1"), np.dtype("i1"), np.dtype("?"), np.dtype("V1"),
                     np.dtype("S1"), np.dtype(object), np.dtype([("r", "u1")])]))
shapes = st.one_of(
    hnp.array_shapes(min_dims=0, max_dims=5, min_side=0, max_side=5),
    st.tuples(st.integers(0, 12), st.integers(0, 12), st.sampled_from([3, 3, 3, 0, 1, 4])))


def _layouts(draw, array):
    data = draw(st.data())
    for name in draw(st.lists(st.sampled_from(sorted(LAYOUTS)), max_size=3)):
        array = LAYOUTS[name](array, data)
    return array


@st.composite
def arrays(draw):
    """Any dtype, ndim 0 to 5, any layout."""
    dtype, shape = draw(any_dtype), draw(shapes)
    if dtype.kind == "V":  # no element strategy: raw bytes
        size = int(np.prod(shape)) * dtype.itemsize
        raw = draw(st.binary(min_size=size, max_size=size))
        array = np.frombuffer(raw, dtype).reshape(shape).copy()
    else:
        elements = st.integers(0, 9) if dtype == np.dtype(object) else None
        array = draw(hnp.arrays(dtype, shape, elements=elements))
    return _layouts(draw, array)


@st.composite
def rgb_images(draw):
    """(H, W, 3) uint8 images, often of a few grey levels, in any layout."""
    if draw(st.booleans()):
        array = draw(palette_images())
    else:
        shape = (draw(st.integers(0, 16)), draw(st.integers(0, 16)), 3)
        array = draw(hnp.arrays(np.uint8, shape))
    return _layouts(draw, array)


huge_views = st.sampled_from([(1 << 21, 1 << 21, 3), (1 << 40, 8, 3), (1 << 61, 1, 3),
                              (1 << 40, 0, 3), (1 << 40, 8, 4)]).map(
    lambda shape: np.broadcast_to(np.full((1, 1, shape[2]), 7, np.uint8), shape))

python_objects = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=4),
    st.binary(max_size=4), st.lists(st.integers(0, 255), max_size=3),
    st.lists(st.lists(st.lists(st.integers(0, 255), min_size=3, max_size=3), max_size=2),
             max_size=2),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
    st.builds(object), st.sampled_from([np.uint8(3), np.float64(1.5), range(3)]),
    st.builds(lambda: np.matrix([[1, 2, 3]])), st.builds(lambda: np.ma.masked_array([[[1, 2, 3]]])))

images = st.one_of(rgb_images(), arrays(), python_objects, huge_views)

numbers = st.one_of(
    st.integers(-3, 300), st.integers(-2**70, 2**70),
    st.sampled_from([0, 1, 255, 256, 1024, 1025, 2**64 - 1, 2**64, 2**1100]),
    st.floats(), st.floats(0, 100), st.booleans(), st.none(), st.text(max_size=3),
    st.integers(0, 300).map(np.int64), st.integers(0, 255).map(np.uint8),
    st.floats(width=32).map(np.float32), st.integers(0, 300).map(IntSub),
    st.one_of(st.integers(-3, 300), st.sampled_from([KeyError, TypeError])).map(Index),
    st.one_of(st.floats(), st.sampled_from([ZeroDivisionError, ValueError])).map(Floaty))

keyword_names = st.one_of(
    st.sampled_from(NAMES), st.sampled_from(NAMES),
    st.sampled_from(["blurn", "BLUR_N", "img_", "percent", "\udcff", "x\ud800y", "é"]),
    st.text(min_size=1, max_size=4), st.just(Unprintable("zz")))


# Values inside the accepted ranges, so that many calls get through to the level fix.
good_numbers = {
    "blur_n": st.integers(0, 40),  # the model smooths in Python: keep it quick
    "window_radius": st.integers(1, 255),
    "min_prominence": st.one_of(st.floats(0, 5), st.floats(0, 100), st.integers(0, 3)),
    "min_distance": st.integers(1, 255),
    "percentage": st.one_of(st.floats(0, 1), st.floats(0, 1e6), st.integers(0, 2)),
}


@st.composite
def plausible_calls(draw):
    """A call of valid values (now and then one bad one), split into positional and keyword."""
    slots = {"img": draw(st.one_of(rgb_images(), rgb_images(), huge_views))}
    for name in NAMES[1:]:
        if draw(st.booleans()):
            slots[name] = draw(st.one_of(good_numbers[name], good_numbers[name],
                                         good_numbers[name], numbers))
    given = [name for name in NAMES if name in slots]
    count = draw(st.integers(0, len(given)))
    while count and given[count - 1] != NAMES[count - 1]:  # a positional prefix has no gaps
        count -= 1
    rest = draw(st.permutations(given[count:]))
    return [slots[n] for n in given[:count]], {n: slots[n] for n in rest}


@st.composite
def chaotic_calls(draw):
    """(positional arguments, keyword arguments) of any shape."""
    count = draw(st.integers(0, 8))
    positional = [draw(images)] + [draw(numbers) for _ in range(count - 1)] if count else []
    keywords = {}
    for name in draw(st.lists(keyword_names, max_size=4, unique=True)):
        keywords[name] = draw(images if name == "img" else numbers)
    return positional[:count], keywords


calls = lambda: st.one_of(plausible_calls(), chaotic_calls())  # noqa: E731


# --- the expected outcome -------------------------------------------------------

class Refused(Exception):
    """The predicted failure: exception type, its text (None: any), its note."""

    def __init__(self, kind, text=None, note=None):
        super().__init__(kind, text, note)
        self.kind, self.text, self.note = kind, text, note


def _lossy(name):
    try:
        text = str(name)
    except ValueError:
        return f"<unprintable {type(name).__name__} object>"
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def _match(positional, keywords):
    if len(positional) > 6:
        raise Refused(TypeError, "monochrome() takes from 1 to 6 positional arguments but "
                                 f"{len(positional)} were given")
    slots = dict(zip(NAMES, positional))
    for name, value in keywords.items():
        if name not in NAMES:
            raise Refused(TypeError, f"monochrome() got an unexpected keyword argument "
                                     f"'{_lossy(name)}'")
        if name in slots:
            raise Refused(TypeError, f"monochrome() got multiple values for argument '{name}'")
        slots[name] = value
    if "img" not in slots:
        raise Refused(TypeError, "monochrome() missing 1 required positional argument: 'img'")
    return slots


def _note(name):
    return f"while processing '{name}'" if HAS_NOTES else None


def _image(value):
    ok = isinstance(value, np.ndarray) and value.ndim == 3 and value.dtype == np.uint8
    if ok:
        return value
    text = ("'None' is not an instance of 'ndarray'" if value is None else
            f"'{type(value).__qualname__}' object is not an instance of 'ndarray'")
    raise Refused(TypeError, text, _note("img"))


def _unsigned(name, value):
    try:
        number = int(value) if isinstance(value, int) else operator.index(value)
    except Exception as error:
        raise Refused(type(error), None, _note(name)) from None
    if not 0 <= number < 2**64:
        raise Refused(OverflowError, None, _note(name))
    return number


def _double(name, value):
    try:
        if isinstance(value, (str, bytes)) or value is None:
            raise TypeError("not a number")
        return float(value)
    except Exception as error:
        raise Refused(type(error), None, _note(name)) from None


def _positional_text(x):
    if x != x:
        return "NaN"
    if x in (float("inf"), float("-inf")):
        return "inf" if x > 0 else "-inf"
    return np.format_float_positional(x, unique=True, trim="-")


def expected_outcome(positional, keywords):
    """The parameters (a dict) of a valid call; raises Refused otherwise."""
    slots = _match(positional, keywords)
    img = _image(slots["img"])
    params = {}
    for name, default in zip(NAMES[1:], DEFAULTS[1:]):
        convert = _double if name in ("min_prominence", "percentage") else _unsigned
        params[name] = convert(name, slots[name]) if name in slots else default
    if img.shape[2] != 3:
        raise Refused(ValueError, f"expected an (H, W, 3) array, got {img.shape[2]} channels")
    if params["blur_n"] > 1024:
        raise Refused(ValueError, f"blur_n must be <= 1024, got {params['blur_n']}")
    for name in ("window_radius", "min_distance"):
        if not 1 <= params[name] <= 255:
            raise Refused(ValueError, f"{name} must be in 1..256, got {params[name]}")
    for name, what in (("min_prominence", "percentage"), ("percentage", "ratio")):
        x = params[name]
        if not (np.isfinite(x) and not x < 0):
            raise Refused(ValueError, f"{name} must be a finite {what} >= 0, got "
                                      f"{_positional_text(x)}")
    size = img.shape[0] * img.shape[1] * 3
    if size >= HUGE:
        raise Refused(MemoryError, f"memory allocation of {size} bytes failed")
    return img, params


# --- the property ---------------------------------------------------------------

OUTCOMES: collections.Counter[str] = collections.Counter()


def _snapshot(img):
    # NumPy 1.x cannot allocate an empty array with a huge dimension; there is
    # nothing to keep of an empty image anyway.
    return np.array(img) if img.size else img


def _same(a, b):
    # NumPy 1.x's array_equal also trips over such empty arrays.
    a = np.asarray(a)
    return a.shape == b.shape and (a.size == 0 or np.array_equal(a, b))


def _check_call(positional, keywords):
    try:
        img, params = expected_outcome(positional, keywords)
        refused = None
    except Refused as error:
        refused = error
    before = _snapshot(img) if refused is None else None
    try:
        result = monochrome(*positional, **keywords)
    except BaseException as error:  # noqa: BLE001 - the internal failure is not an Exception
        assert not isinstance(error, SystemError), repr(error)
        assert refused is not None, f"unexpected {error!r}"
        assert type(error) is refused.kind, f"{error!r} instead of {refused.kind}"
        if refused.text is not None:
            assert str(error) == refused.text
        notes = getattr(error, "__notes__", [])
        assert notes == ([refused.note] if refused.note else []), notes
        OUTCOMES[type(error).__name__] += 1
        return
    assert refused is None, f"returned an array instead of {refused.kind.__name__}"
    assert type(result) is np.ndarray and result.dtype == np.uint8
    assert result.shape == img.shape and result.flags.c_contiguous and result.flags.writeable
    assert type(result.base).__name__ == "PySliceContainer"
    assert _same(img, before), "the input changed"
    expected = monochrome_model(before, **params) if img.size else before
    assert _same(result, expected)
    OUTCOMES["unchanged" if _same(result, before) else "neutral"] += 1


@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(calls())
def _fuzz_calls(call):
    _check_call(*call)


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::PendingDeprecationWarning",
                            "ignore::pytest.PytestUnraisableExceptionWarning")
def test_fuzz_monochrome(capsys):
    hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None  # an unprintable keyword name is reported so
    try:
        OUTCOMES.clear()
        _fuzz_calls()
    finally:
        sys.unraisablehook = hook
    with capsys.disabled():
        print(f"\nfuzz: {sum(OUTCOMES.values())} calls checked ({EXAMPLES} examples asked), "
              + ", ".join(f"{k} {n}" for k, n in OUTCOMES.most_common()))
    assert OUTCOMES["neutral"] and OUTCOMES["unchanged"] and OUTCOMES["MemoryError"]


# Found by the fuzzing above: a large value was written with all its exact
# integer digits, not with its shortest digits padded by zeros.
@pytest.mark.parametrize("value, text", [
    (-4.034626408342507e16, "-40346264083425070"),
    (-1.7976931348623157e308, "-17976931348623157" + "0" * 292),
    (-9007199254740993.0, "-9007199254740992"),
    (-123.456, "-123.456"),
])
def test_large_values_in_messages_use_shortest_digits(value, text):
    with pytest.raises(ValueError) as info:
        monochrome(np.zeros((1, 1, 3), np.uint8), min_prominence=value)
    assert str(info.value) == f"min_prominence must be a finite percentage >= 0, got {text}"


# Found by the fuzzing above: the message was cut at a NUL in the keyword name.
@pytest.mark.parametrize("name", ["\x00", "a\x00b", "\x00\udcff"])
def test_keyword_names_with_nul_are_reported_whole(name):
    with pytest.raises(TypeError) as info:
        monochrome(np.zeros((1, 1, 3), np.uint8), **{name: 1})
    shown = name.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    assert str(info.value) == f"monochrome() got an unexpected keyword argument '{shown}'"


# Python code run by a later conversion may change the image in place; the
# call read the shape as it was checked (a read past NumPy's shape array).
# resize() to the same size changes only the shape, __setstate__ the dtype:
# the same object, as the call holds it (setting .shape or .dtype is deprecated).
@pytest.mark.parametrize("change, expected", [
    (lambda a: a.resize((4, 3), refcheck=False), TypeError),
    (lambda a: a.resize((12,), refcheck=False), TypeError),
    (lambda a: a.resize((1,), refcheck=False), TypeError),
    (lambda a: a.__setstate__((1, a.shape, np.dtype(np.int8), False, a.tobytes())), TypeError),
    (lambda a: a.resize((1, 4, 3), refcheck=False), None),
    (lambda a: a.resize((40, 40, 3), refcheck=False), None),
])
def test_image_changed_by_a_later_conversion(change, expected):
    image = np.zeros((2, 2, 3), np.uint8)
    image[1] = 200

    class Changing:
        def __index__(self):
            change(image)
            return 3

    if expected is None:
        result = monochrome(image, blur_n=Changing())
        assert np.array_equal(result, monochrome_model(image))
        return
    with pytest.raises(expected) as info:
        monochrome(image, blur_n=Changing())
    assert str(info.value) == "'ndarray' object is not an instance of 'ndarray'"
    assert getattr(info.value, "__notes__", []) == (["while processing 'img'"] if HAS_NOTES else [])

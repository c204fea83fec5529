"""The level fix through the module, against the reference model and against the
benchmark's NumPy implementation."""

import os
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import vorn_hyst
from model import monochrome_model

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import numpy_peer  # noqa: E402

IMPLEMENTATIONS = [
    pytest.param(vorn_hyst.monochrome, id="module"),
    pytest.param(monochrome_model, id="model"),
]


def image(*groups):
    """A 1-row image of `count` copies of each (R, G, B), in order."""
    rows = [np.tile(np.array(rgb, dtype=np.uint8), (count, 1)) for count, rgb in groups]
    return np.concatenate(rows)[None, :, :]


TWO_LEVELS = image((50, (40, 40, 40)), (50, (200, 200, 200)))
RAMP = np.repeat(np.arange(256, dtype=np.uint8), 3).reshape(1, 256, 3)

WHOLE_CALLS = {
    "two_grey_levels": (TWO_LEVELS, image((50, (0, 0, 0)), (50, (255, 255, 255)))),
    "lone_midtone_smoothed_away": (
        image((50, (40, 40, 40)), (50, (200, 200, 200)), (1, (120, 120, 120))),
        image((50, (0, 0, 0)), (50, (255, 255, 255)), (1, (127, 127, 127))),
    ),
    "green_light_level_differs": (
        image((50, (40, 40, 40)), (50, (200, 150, 200))),
        image((50, (0, 0, 0)), (50, (255, 255, 255))),
    ),
    "levels_per_channel": (
        image((60, (30, 40, 50)), (40, (210, 220, 230))),
        image((60, (0, 0, 0)), (40, (255, 255, 255))),
    ),
    "one_level": (image((100, (128, 128, 128))), image((100, (0, 0, 0)))),
    "three_peaks": (image((40, (20, 20, 20)), (30, (120, 120, 120)), (30, (220, 220, 220))), None),
    "ramp_without_peaks": (RAMP, None),
    "one_pixel": (image((1, (10, 20, 30))), None),
    "empty_rows": (np.zeros((0, 5, 3), np.uint8), None),
    "empty_columns": (np.zeros((5, 0, 3), np.uint8), None),
}


@pytest.mark.parametrize("fix", IMPLEMENTATIONS)
@pytest.mark.parametrize("name", sorted(WHOLE_CALLS))
def test_whole_call_with_defaults(fix, name):
    img, expected = WHOLE_CALLS[name]
    before = img.copy()
    result = fix(img)
    np.testing.assert_array_equal(result, before if expected is None else expected)
    assert result.shape == img.shape and result.dtype == np.uint8
    np.testing.assert_array_equal(img, before)


@pytest.mark.parametrize("fix", IMPLEMENTATIONS)
def test_one_pixel_unsmoothed_is_its_own_level(fix):
    np.testing.assert_array_equal(fix(image((1, (10, 20, 30))), blur_n=0), image((1, (0, 0, 0))))


@pytest.mark.parametrize("fix", IMPLEMENTATIONS)
def test_deviation_must_be_strictly_below_percentage(fix):
    # Dark masses 2, 4 and 6: mean 4, deviations of R and B exactly 0.5.
    img = image((2, (10, 10, 10)), (2, (200, 10, 10)), (2, (200, 200, 10)), (6, (200, 200, 200)))
    np.testing.assert_array_equal(fix(img, blur_n=0, percentage=0.5), img)
    np.testing.assert_array_equal(
        fix(img, blur_n=0, percentage=0.5000001),
        image((2, (0, 0, 0)), (2, (76, 76, 76)), (2, (226, 226, 226)), (6, (255, 255, 255)))
    )


# ---- differential test against the model ---------------------------------

EXAMPLES = int(os.environ.get("VORN_DIFF_EXAMPLES", "300"))


@st.composite
def neutral_images(draw):
    """Two or three grey levels with noise and a per-channel offset."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    h, w = draw(st.integers(1, 48)), draw(st.integers(1, 48))
    levels = np.array(draw(st.lists(st.integers(0, 255), min_size=2, max_size=3)))
    noise = draw(st.integers(0, 12))
    offsets = np.array([draw(st.integers(-25, 25)) for _ in range(3)])
    grey = levels[rng.integers(0, len(levels), size=(h, w))]
    values = grey[:, :, None] + offsets + rng.integers(-noise, noise + 1, size=(h, w, 3))
    return np.clip(values, 0, 255).astype(np.uint8)


@st.composite
def colour_images(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    h, w = draw(st.integers(1, 48)), draw(st.integers(1, 48))
    return rng.integers(0, 256, size=(h, w, 3), dtype=np.uint8)


@st.composite
def palette_images(draw):
    """Few distinct colours, which give tall, clean peaks."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    h, w = draw(st.integers(1, 48)), draw(st.integers(1, 48))
    palette = np.array(
        draw(st.lists(st.tuples(*[st.integers(0, 255)] * 3), min_size=1, max_size=4)),
        dtype=np.uint8,
    )
    return palette[rng.integers(0, len(palette), size=(h, w))]


tiny_images = hnp.arrays(
    np.uint8, st.tuples(st.integers(0, 3), st.integers(0, 3), st.just(3)),
    elements=st.integers(0, 255)
)

images = st.one_of(neutral_images(), palette_images(), colour_images(), tiny_images)


def spans(small):
    return st.one_of(st.integers(1, small), st.integers(1, 255))


def non_negative(typical):
    return st.one_of(
        st.sampled_from([0.0, -0.0, typical, 1e308]),
        st.floats(0.0, 4 * typical),
        st.floats(0.0, 1e300),
    )


parameters = st.fixed_dictionaries(
    {
        "blur_n": st.one_of(st.integers(0, 4), st.integers(0, 40)),
        "window_radius": spans(8),
        "min_prominence": non_negative(0.5),
        "min_distance": spans(30),
        "percentage": non_negative(0.22),
    }
)


def laid_out(img, layout):
    """The same logical image in another memory layout."""
    if layout == "fortran":
        return np.asfortranarray(img)
    if layout == "reversed":
        return np.ascontiguousarray(img[::-1, ::-1])[::-1, ::-1]
    return img


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(img=images, params=parameters, layout=st.sampled_from(["c", "c", "fortran", "reversed"]))
def test_module_matches_model(img, params, layout):
    expected = monochrome_model(img, **params)
    result = vorn_hyst.monochrome(laid_out(img, layout), **params)
    np.testing.assert_array_equal(result, expected)


# ---- full-size images ------------------------------------------------------


@pytest.fixture(scope="module")
def big_rng():
    return np.random.default_rng(20240601)


def test_large_neutral_image_turns_grey(big_rng):
    h, w = 6000, 4000
    grey = np.where(big_rng.random((h, w)) < 0.4, 50, 190).astype(np.int16)
    offsets = np.array([0, 6, -4], dtype=np.int16)  # a tint, so the input is not grey
    noise = big_rng.integers(-3, 4, size=(h, w, 3), dtype=np.int16)
    img = (grey[:, :, None] + offsets + noise).astype(np.uint8)
    result = vorn_hyst.monochrome(img)
    assert result.shape == img.shape
    assert np.array_equal(result[..., 0], result[..., 1])
    assert np.array_equal(result[..., 0], result[..., 2])
    assert not np.array_equal(result, img)


def test_large_colour_image_unchanged(big_rng):
    img = big_rng.integers(0, 256, size=(6000, 4000, 3), dtype=np.uint8)
    np.testing.assert_array_equal(vorn_hyst.monochrome(img), img)


# --- the benchmark's NumPy implementation gives the module's bytes ---------------

def _page(rng, h, w, offsets=(0, 0, 0)):
    paper = rng.normal(228, 5, (h, w))
    ink = rng.random((h, w)) < 0.12
    grey = np.where(ink, rng.normal(45, 6, (h, w)), paper)
    return np.clip(grey[:, :, None] + np.array(offsets), 0, 255).astype(np.uint8)


def _photo(rng, h, w):
    y, x = np.mgrid[0:h, 0:w]
    base = np.stack([x * 255 // max(w - 1, 1), y * 255 // max(h - 1, 1), (x + y) % 256], axis=2)
    return np.clip(base + rng.integers(-20, 21, (h, w, 3)), 0, 255).astype(np.uint8)


CASES = {
    "page": (lambda rng: _page(rng, 120, 90), {}),
    "tinted_page": (lambda rng: _page(rng, 64, 200, (9, 0, -7)), {}),
    "page_one_level": (lambda rng: np.full((30, 40, 3), 131, np.uint8), {}),
    "page_unsmoothed": (lambda rng: _page(rng, 50, 50), {"blur_n": 0, "min_distance": 40}),
    "page_wide_window": (lambda rng: _page(rng, 80, 80, (3, -2, 1)),
                         {"window_radius": 30, "min_prominence": 2.0, "percentage": 0.05}),
    "photo": (lambda rng: _photo(rng, 100, 70), {}),
    "random": (lambda rng: rng.integers(0, 256, (33, 17, 3), dtype=np.uint8), {}),
    "one_pixel": (lambda rng: np.array([[[10, 20, 30]]], np.uint8), {"blur_n": 0}),
    "reversed_view": (lambda rng: _page(rng, 40, 60)[:, ::-1], {}),
    "fortran": (lambda rng: np.asfortranarray(_page(rng, 40, 60, (5, 0, 0))), {}),
    "empty": (lambda rng: np.zeros((0, 4, 3), np.uint8), {}),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_peer_equals_module(name):
    make, params = CASES[name]
    img = make(np.random.default_rng(7))
    expected = vorn_hyst.monochrome(img, **params)
    result = numpy_peer.monochrome(img, **params)
    assert result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)


def test_pages_are_fixed():
    # Without this the table above could pass on images that all come back
    # unchanged, and the remap of the peer would go untested.
    img = CASES["tinted_page"][0](np.random.default_rng(7))
    result = numpy_peer.monochrome(img)
    assert not np.array_equal(result, img)
    assert np.array_equal(result[..., 0], result[..., 2])

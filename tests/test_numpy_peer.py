"""The benchmark's NumPy implementation gives the module's bytes."""

import os
import sys

import numpy as np
import pytest

import vorn_hyst

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import numpy_peer  # noqa: E402


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

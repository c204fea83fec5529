"""Every memory layout of the same image gives the same result."""

import numpy as np
import pytest

import vorn_hyst

LAYOUTS = {
    "fortran": np.asfortranarray,
    "columns reversed": lambda a: np.ascontiguousarray(a[:, ::-1])[:, ::-1],
    "rows reversed": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "transposed": lambda a: np.ascontiguousarray(a.transpose(1, 0, 2)).transpose(1, 0, 2),
    "every other column": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "channel planes": lambda a: np.moveaxis(np.ascontiguousarray(np.moveaxis(a, 2, 0)), 0, 2),
    "row slice of wider": lambda a: np.concatenate([a, a], axis=1)[:, : a.shape[1]],
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("shape", [(1, 1), (31, 7), (33, 65), (70, 3)])
def test_layout_gives_same_result(layout, shape):
    rng = np.random.default_rng(3)
    grey = np.where(rng.random(shape) < 0.3, 40, 210)
    img = np.clip(grey[:, :, None] + rng.integers(-3, 4, shape + (3,)), 0, 255).astype(np.uint8)
    view = LAYOUTS[layout](img)
    assert np.array_equal(view, img) and not view.flags.c_contiguous or shape == (1, 1)
    np.testing.assert_array_equal(vorn_hyst.monochrome(view), vorn_hyst.monochrome(img))

"""Large images on threads with small stacks, where the count cannot use the
stack-held joint table and must take its other path."""

import threading

import numpy as np
import pytest

import vorn_hyst


@pytest.fixture(scope="module")
def tinted_page():
    rng = np.random.default_rng(11)
    h, w = 1500, 1500  # above the size from which the joint count is tried
    grey = np.where(rng.random((h, w)) < 0.15, 35, 222) + rng.integers(-3, 4, (h, w))
    return np.clip(grey[:, :, None] + np.array([6, 0, -5]), 0, 255).astype(np.uint8)


@pytest.mark.parametrize("stack_bytes", [256 << 10, 512 << 10, 16 << 20])
def test_same_result_on_any_stack(tinted_page, stack_bytes):
    expected = vorn_hyst.monochrome(tinted_page)
    assert not np.array_equal(expected, tinted_page)
    results = []
    old = threading.stack_size(stack_bytes)
    try:
        thread = threading.Thread(target=lambda: results.append(vorn_hyst.monochrome(tinted_page)))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert len(results) == 1
    np.testing.assert_array_equal(results[0], expected)

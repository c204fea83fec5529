"""Fixes the levels of a synthetic grey scan and shows what changed."""

import numpy as np

import vorn_hyst


def synthetic_scan(height=300, width=400, seed=0):
    """A greyish page with dark strokes: paper at 200, ink at 60, a little noise."""
    rng = np.random.default_rng(seed)
    page = np.full((height, width), 200.0)
    for row in range(30, height - 30, 24):
        page[row:row + 8, 40:width - 40] = np.where(rng.random(width - 80) < 0.6, 60.0, 200.0)
    page += rng.normal(0, 2, page.shape)
    grey = np.clip(np.rint(page), 0, 255).astype(np.uint8)
    return np.repeat(grey[..., None], 3, axis=2)


def main():
    scan = synthetic_scan()
    fixed = vorn_hyst.monochrome(scan)
    print("input  levels:", np.percentile(scan, [1, 99]).tolist())
    print("output levels:", np.percentile(fixed, [1, 99]).tolist())
    colour = np.random.default_rng(1).integers(0, 256, (64, 64, 3), dtype=np.uint8)
    print("colour image unchanged:", np.array_equal(vorn_hyst.monochrome(colour), colour))


if __name__ == "__main__":
    main()

"""An independent NumPy model of the document rule's measuring stages, for
small images without a background: the block grid, the paper from its tiles,
the sampled luma histogram, and the ink and paper levels read from it.

Written from the rule's description, not from its C++: a disagreement is a
fault in one of the two. The colour and loss stages are checked on labelled
images instead (tests/test_document.py).
"""

import numpy as np

BLOCKS_ACROSS, TILES_ACROSS = 400, 16
INK_RANK, LIGHT_SIGMAS, PAPER_GAP = 0.12, 2.5, 28


def block_size(h, w):
    return max(4, (min(h, w) + BLOCKS_ACROSS // 2) // BLOCKS_ACROSS)


def blocks(rgb, b):
    h, w = rgb.shape[0] // b * b, rgb.shape[1] // b * b
    mean = rgb[:h, :w].astype(np.float64).reshape(h // b, b, w // b, b, 3).mean(axis=(1, 3))
    return mean, (77 * mean[..., 0] + 150 * mean[..., 1] + 29 * mean[..., 2]) / 256


def tile_bounds(count, tiles):
    return [(t * count // tiles, (t + 1) * count // tiles) for t in range(tiles)]


def paper(block_luma, block_rgb):
    """(paper luma, paper colour, roughness): the median of the tiles' 80th
    percentiles of block luma; the median colour of the tiles near it; the
    90th percentile of the steps between neighbouring tiles."""
    rows, cols = block_luma.shape
    tile = max(4, min(rows, cols) // TILES_ACROSS)
    ti, tj = max(1, rows // tile), max(1, cols // tile)
    high = np.zeros((ti, tj))
    colour = np.zeros((ti, tj, 3))
    for a, (i0, i1) in enumerate(tile_bounds(rows, ti)):
        for c, (j0, j1) in enumerate(tile_bounds(cols, tj)):
            y = block_luma[i0:i1, j0:j1]
            high[a, c] = np.percentile(y, 80)
            colour[a, c] = block_rgb[i0:i1, j0:j1][y >= high[a, c] - 1].mean(axis=0)
    level = np.median(high)
    near = np.abs(high - level) < 12
    picked = colour[near] if near.any() else colour.reshape(-1, 3)
    steps = np.concatenate([np.abs(np.diff(high, axis=0)).ravel(),
                            np.abs(np.diff(high, axis=1)).ravel()])
    return level, np.median(picked, axis=0), (np.percentile(steps, 90) if steps.size else 0.0)


def histogram(rgb, b):
    """Luma counts and channel sums over the whole blocks' pixels of even row and column."""
    h, w = rgb.shape[0] // b * b, rgb.shape[1] // b * b
    px = rgb[:h:2, :w:2].reshape(-1, 3).astype(np.int64)
    y = (77 * px[:, 0] + 150 * px[:, 1] + 29 * px[:, 2] + 128) >> 8
    counts = np.bincount(y, minlength=256)
    sums = np.stack([np.bincount(y, weights=px[:, c], minlength=256) for c in range(3)])
    return counts, sums


def levels(counts, sums, paper_level):
    """The paper heap's mode and spread, the light and dark luma, and each
    channel's levels read at those luma values (or None where they cross)."""
    lo, hi = int(max(0.0, paper_level - 30)), int(min(255.0, paper_level + 30))
    mode = lo + int(np.argmax(counts[lo:hi + 1]))
    up = mode
    while up < 255 and counts[up + 1] > 0.4 * counts[mode]:
        up += 1
    sigma = max(0.7, (up - mode) / 1.35 if up > mode else 0.7)
    light = int(np.floor(mode - LIGHT_SIGMAS * sigma + 0.5))
    edge = int(max(0.0, min(mode - 3 * sigma, mode - PAPER_GAP)))
    ink = counts[:edge].sum()
    out = dict(mode=mode, sigma=sigma, light=light, paper_share=counts[edge:].sum() / counts.sum(),
               ink_share=ink / counts.sum(), dark=0, levels=None)
    if ink == 0:
        return out
    dark = int(np.searchsorted(np.cumsum(counts[:edge]), INK_RANK * ink))
    out["dark"] = dark

    def colour_at(y):
        for width in (2, 4, 8, 16):  # the nearest pixels, across a gap if need be
            window = slice(max(0, y - width), min(255, y + width) + 1)
            n = counts[window].sum()
            if n:
                return sums[:, window].sum(axis=1) / n
        return None

    lo, hi = colour_at(dark), colour_at(light)
    if lo is not None and hi is not None:
        pairs = [(int(np.floor(lo[c] + 0.5)), int(np.floor(hi[c] + 0.5))) for c in range(3)]
        if all(a < z for a, z in pairs):
            out["levels"] = tuple(pairs)
    return out


def measure(rgb):
    """The model's figures for an image without background."""
    b = block_size(*rgb.shape[:2])
    block_rgb, block_luma = blocks(rgb, b)
    level, colour, roughness = paper(block_luma, block_rgb)
    counts, sums = histogram(rgb, b)
    return dict(block=b, paper_level=level, paper_colour=colour, roughness=roughness,
                **levels(counts, sums, level))

"""Prints one line per image of a fixed table: its name, the verdict and the
SHA-256 of what monochrome returns. Two machines agree byte for byte when their
tables are equal; the images are made with integer arithmetic only, so that
they are the same everywhere.

The table has photos (left unchanged, or fixed when grey), scanned pages at
sizes that take each counting path, and every 24-bit colour remapped with
several sets of levels."""

import hashlib
import sys

import numpy as np

import vorn_hyst

EVERY_COLOUR = np.arange(1 << 24, dtype=np.uint32)


def rgb(*planes):
    return np.ascontiguousarray(np.stack(planes, axis=-1).astype(np.uint8))


def noise(rng, shape, spread):
    return rng.integers(-spread, spread + 1, shape, dtype=np.int32)


def photo(seed, height, width, grey=False):
    """A lit scene: a sky-to-ground gradient, a warm disc and sensor noise;
    grey when asked, as a black-and-white photo stored as RGB."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.int32)
    cx, cy = rng.integers(0, width), rng.integers(0, height)
    disc = (x - cx) ** 2 + (y - cy) ** 2 < (min(height, width) // 3) ** 2
    sky = 255 - y * 200 // max(height, 1)
    planes = [np.where(disc, 230 - x * 60 // max(width, 1), sky // 3),
              np.where(disc, 140, sky * 3 // 4),
              np.where(disc, 40 + y * 50 // max(height, 1), sky)]
    if grey:
        planes = [(planes[0] * 3 + planes[1] * 6 + planes[2]) // 10] * 3
    return rgb(*(np.clip(p + noise(rng, (height, width), 6), 0, 255) for p in planes))


def page(seed, height, width, ink, paper, spread=4):
    """Text-like strokes of `ink` on `paper` under a lamp brighter at the left."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.int32)
    strokes = ((y // 3) % 5 == 0) & ((x // 2 + y // 7) % 9 < 5)
    lamp = 6 - x * 12 // max(width, 1)
    planes = [np.clip(np.where(strokes, i, p) + lamp + noise(rng, (height, width), spread), 0, 255)
              for i, p in zip(ink, paper)]
    return rgb(*planes)


def every_colour(levels):
    """All 2^24 colours once, plus enough pixels at each level in `levels`
    (one or two RGB triples) that those become the peaks, so that every
    colour goes through the remap."""
    cube = rgb(EVERY_COLOUR >> 16, (EVERY_COLOUR >> 8) & 255, EVERY_COLOUR & 255)
    heaps = [np.broadcast_to(np.array(level, np.uint8), (1 << 22, 3)) for level in levels]
    return np.concatenate([cube, *heaps])[None]


IMAGES = {
    "photo colour 480x640": lambda: photo(1, 480, 640),
    "photo colour 1x1": lambda: photo(2, 1, 1),
    "photo grey 300x401": lambda: photo(3, 300, 401, grey=True),
    "photo colour fortran": lambda: np.asfortranarray(photo(4, 97, 131)),
    "page grey 1x3": lambda: page(5, 1, 3, (40,) * 3, (200,) * 3, spread=0),
    "page tinted 850x1100": lambda: page(6, 850, 1100, (50, 45, 60), (225, 214, 180)),
    # Over 2^21 pixels: counted through the joint tables.
    "page tinted 1500x1450": lambda: page(7, 1500, 1450, (30, 35, 45), (210, 200, 170)),
    "page reversed rows": lambda: page(8, 333, 257, (70, 70, 70), (190, 190, 190))[::-1],
    "page narrow span": lambda: page(9, 200, 300, (120, 121, 122), (130, 131, 132), spread=0),
    "every colour two grey levels": lambda: every_colour([(30, 30, 30), (220, 220, 220)]),
    "every colour tinted levels": lambda: every_colour([(20, 40, 60), (240, 210, 180)]),
    "every colour one level": lambda: every_colour([(128, 128, 128)]),
}


def main():
    for name, make in IMAGES.items():
        img = make()
        out = vorn_hyst.monochrome(img)
        verdict = "same" if np.array_equal(out, img) else "fixed"
        print(f"{name:32} {verdict:5} {hashlib.sha256(out.tobytes()).hexdigest()}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Reading RGB PNGs into NumPy: the tool's reader against the libraries.

The tool inflates a PNG's image data with libdeflate (imagecodecs) and
undoes the row filters in its own C++ (`_analysis.unfilter`); before, it
called libpng through imagecodecs, which inflates with zlib. Timed in one
process, interleaved (each repetition runs every reader once, in turn;
medians), on files generated here (seeded) by bench/codecs.py's generators,
as a scanner or a user's Pillow writes them (adaptive filters, level 6):

* RGB scan: a tinted text page with sensor noise (sigma 1 and 3);
* photo: the mosaic of scikit-image photos, noise sigma 2.

Every reader's pixels are checked equal to Pillow's.

    python bench/png_read.py                      # 6 and 24 MP
    python bench/png_read.py --write bench/PNG_READ.md

Needs numpy, Pillow, pyvips, imagecodecs, scikit-image and the module.
"""

from __future__ import annotations

import os

os.environ["VIPS_CONCURRENCY"] = "1"

import argparse  # noqa: E402
import io  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import imagecodecs  # noqa: E402
import numpy as np  # noqa: E402
import pyvips  # noqa: E402
from PIL import Image  # noqa: E402

from vorn_hyst_cli import codec  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from folder import generators  # noqa: E402  # bench/codecs.py's page and photo makers

HERE = Path(__file__).resolve().parent
pyvips.cache_set_max(0)
pyvips.concurrency_set(1)
Image.MAX_IMAGE_PIXELS = None


def scan(gen, mp, sigma, seed):
    """bench/codecs.py's RGB scan with the noise `sigma`."""
    rng = np.random.default_rng(seed)
    h, w = gen.page_shape(mp)
    ink = gen.text_mask(h, w, rng).astype(np.float32)[..., None] * (1 / 255)
    paper = np.array([236, 229, 212], np.float32)
    dark = np.array([32, 30, 38], np.float32)
    noise = rng.normal(0, sigma, ink.shape[:2] + (3,)).astype(np.float32)
    return np.clip(paper + (dark - paper) * ink + noise + 0.5, 0, 255).astype(np.uint8)


def the_tools(data):
    with Image.open(io.BytesIO(data)) as im:
        width, height = im.size
    return codec.png_pixels(imagecodecs, data, width, height, 3)


def vips(data):
    return pyvips.Image.new_from_buffer(data, "", access="sequential").numpy()


def pillow(data):
    with Image.open(io.BytesIO(data)) as im:
        return np.asarray(im)


READERS = {
    "Pillow": pillow,
    "libpng (imagecodecs; the tool before)": imagecodecs.png_decode,
    "libspng (imagecodecs)": imagecodecs.spng_decode,
    "libvips (pyvips)": vips,
    "the tool: libdeflate + its unfilter": the_tools,
}


def images(sizes):
    gen = generators()
    for mp in sizes:
        for label, pixels in ((f"RGB scan, noise 1, {mp} MP", scan(gen, mp, 1, 1)),
                              (f"RGB scan, noise 3, {mp} MP", scan(gen, mp, 3, 2)),
                              (f"photo, {mp} MP", gen.photo(mp, 3))):
            out = io.BytesIO()
            Image.fromarray(pixels).save(out, "PNG")
            yield label, out.getvalue()


def measure(data, repeats):
    want = pillow(data)
    times = {name: [] for name in READERS}
    for _ in range(repeats):
        for name, read in READERS.items():
            start = time.perf_counter()
            got = read(data)
            times[name].append(time.perf_counter() - start)
            assert np.array_equal(got, want), f"{name} read other pixels"
    return {name: statistics.median(t) * 1000 for name, t in times.items()}


def table(rows):
    names = list(READERS)
    lines = ["| file | MB | " + " | ".join(names) + " | the tool / libpng |",
             "|---|---|" + "---|" * (len(names) + 1)]
    for label, size, ms in rows:
        lines.append(f"| {label} | {size / 1e6:.1f} | "
                     + " | ".join(f"{ms[n]:.1f}" for n in names)
                     + f" | {ms[names[-1]] / ms[names[1]]:.2f} |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="6,24", help="megapixels, comma-separated")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--write", nargs="?", const=HERE / "PNG_READ.md", type=Path, metavar="FILE")
    args = ap.parse_args()
    load = os.getloadavg()[0]
    rows = []
    for label, data in images([float(s) if "." in s else int(s) for s in args.sizes.split(",")]):
        rows.append((label, len(data), measure(data, args.repeats)))
        print(label, {k: round(v, 1) for k, v in rows[-1][2].items()}, file=sys.stderr)
    text = "\n".join([
        "# Reading RGB PNGs",
        "",
        f"`python bench/png_read.py --sizes {args.sizes} --repeats {args.repeats}`: one run, "
        f"milliseconds, medians of {args.repeats} interleaved repetitions, one thread; "
        f"{os.cpu_count()} CPUs, {platform.machine()}, load average {load:.2f} at the start "
        f"and {os.getloadavg()[0]:.2f} at the end. Files written by Pillow (adaptive "
        "filters, level 6); every reader's pixels equal Pillow's.",
        "",
        f"imagecodecs {imagecodecs.__version__} (libpng, libspng and zlib, libdeflate), "
        f"libvips {pyvips.version(0)}.{pyvips.version(1)}.{pyvips.version(2)}, "
        f"Pillow {Image.__version__}, Python {platform.python_version()}.",
        "",
        table(rows),
        ""])
    print(text)
    if args.write:
        args.write.write_text(text)


if __name__ == "__main__":
    main()

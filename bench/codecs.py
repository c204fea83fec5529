"""Codec candidates for the tool's image reading and writing.

Times, in one process and interleaved (every repetition runs each candidate
once, in turn; medians are reported), encoders and decoders of three
libraries on pages and photos generated here (seeded):

* text page: what `vorn-hyst` writes after a fix: a tinted RGB scan of text
  (Pillow's ImageDraw, sensor noise sigma 3) fixed by `vorn_hyst.monochrome`,
  channel 0 of the result (8-bit grey, black text on white, grey speckle);
* RGB scan: that scan before the fix, as the tool reads it (decoding only);
* photo: a mosaic of scikit-image's astronaut, chelsea and coffee, scaled,
  flipped and with noise sigma 2 so that no tile repeats byte for byte.

Candidates: Pillow (the tool today, and better settings), libvips through
pyvips (pyvips-binary; cache off, one worker thread) and imagecodecs; PNG,
JPEG, TIFF (LZW, Deflate), WebP (lossless and lossy) and JPEG 2000. Every
lossless output is decoded and compared with its input (an assertion).
Besides: decoding of input files into NumPy with each library, peak memory
of an encode or decode (RSS high-water mark of a fresh child process, over
its level just before the call), whether a call releases the interpreter
lock (two threads on two images against one thread doing both; and the
longest stall of a pure-Python thread during one call), and the Flate and
JPEG encoders for PDF page images.

    python bench/codecs.py                         # 1, 6 and 24 MP; prints the tables
    python bench/codecs.py --sizes 1,6,24,80 --write bench/CODECS.md
    python bench/codecs.py --sizes 0.25 --repeats 1 --no-probes   # a quick look

Writing a file keeps whatever follows a "## Recommendation" heading in it.
Needs numpy, Pillow, pyvips, pyvips-binary, imagecodecs, scikit-image and
the module.
"""

from __future__ import annotations

import os

# libvips reads its worker count when it starts: one thread, as the tool
# runs its own threads. Set before pyvips is imported, here and in children.
os.environ["VIPS_CONCURRENCY"] = "1"

import argparse  # noqa: E402
import io  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
import zlib  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from typing import Callable  # noqa: E402

import imagecodecs  # noqa: E402
import numpy as np  # noqa: E402
import pyvips  # noqa: E402
from PIL import Image, ImageDraw, ImageFont, features  # noqa: E402

import vorn_hyst  # noqa: E402

pyvips.cache_set_max(0)
pyvips.concurrency_set(1)
Image.MAX_IMAGE_PIXELS = None

KINDS = {"page": "text page (grey)", "photo": "photo (RGB)"}


# ---- images --------------------------------------------------------------------


def page_shape(mp):
    """Portrait, A-series aspect ratio."""
    h = int(round((mp * 1e6 * 2 ** 0.5) ** 0.5))
    return h, int(round(mp * 1e6 / h))


def text_mask(h, w, rng):
    """Lines of random words, white on black, drawn at a size that gives
    about 45 lines a page, a little bold: with thin strokes a small page's
    ink makes no peak of its own and the fix stretches the paper's noise."""
    im = Image.new("L", (w, h), 0)
    draw = ImageDraw.Draw(im)
    size = max(8, h // 70)
    font = ImageFont.load_default(size=size)
    margin, y = w // 12, h // 16
    while y < h - h // 16:
        words = []
        for _ in range(int(rng.integers(8, 15))):
            n = int(rng.integers(1, 10))
            words.append("".join(chr(97 + c) for c in rng.integers(0, 26, n)))
        draw.text((margin, y), " ".join(words), fill=255, font=font,
                  stroke_width=max(1, size // 40), stroke_fill=255)
        y += int(size * 1.45)
    return np.asarray(im)


def rgb_scan(mp, seed):
    """A tinted scan of a text page with sensor noise (sigma 3)."""
    rng = np.random.default_rng(seed)
    h, w = page_shape(mp)
    ink = text_mask(h, w, rng)
    paper = np.array([236, 229, 212], np.float32)
    dark = np.array([32, 30, 38], np.float32)
    out = np.empty((h, w, 3), np.uint8)
    for top in range(0, h, 512):
        a = ink[top:top + 512].astype(np.float32)[..., None] * (1 / 255)
        v = paper + (dark - paper) * a + rng.normal(0, 3, a.shape[:2] + (3,)).astype(np.float32)
        out[top:top + 512] = np.clip(v + 0.5, 0, 255)
    return out


def fixed_page(scan):
    """Channel 0 of the fixed scan: the grey page the tool writes."""
    fixed = vorn_hyst.monochrome(scan)
    assert (fixed[..., 0] == fixed[..., 1]).all() and (fixed[..., 0] == fixed[..., 2]).all(), \
        "the generated scan is not judged monochrome"
    assert (fixed != scan).any(), "the generated scan's levels were not fixed"
    assert (fixed[..., 0] >= 200).mean() > 0.7, "the fixed page is not black on white"
    return np.ascontiguousarray(fixed[..., 0])


def photo(mp, seed):
    """A mosaic of scikit-image's colour photos at 1 to 1.6 times their
    scale, some flipped, with noise (sigma 2) over all; landscape 3:2."""
    from skimage import data
    rng = np.random.default_rng(seed)
    sources = [data.astronaut(), data.chelsea(), data.coffee()]
    w = int(round((mp * 1e6 * 1.5) ** 0.5))
    h = int(round(mp * 1e6 / w))
    out = np.empty((h, w, 3), np.uint8)
    y = 0
    while y < h:
        rh = min(h - y, int(rng.integers(300, 700)))
        x = 0
        while x < w:
            src = sources[int(rng.integers(len(sources)))]
            scale = rh / src.shape[0] * float(rng.uniform(1.0, 1.6))
            im = Image.fromarray(src)
            im = im.resize((max(1, int(src.shape[1] * scale)), max(rh, int(src.shape[0] * scale))),
                           Image.Resampling.BICUBIC)
            tile = np.asarray(im)
            if rng.random() < 0.5:
                tile = tile[:, ::-1]
            top = int(rng.integers(0, tile.shape[0] - rh + 1))
            cw = min(w - x, tile.shape[1])
            out[y:y + rh, x:x + cw] = tile[top:top + rh, :cw]
            x += cw
        y += rh
    for top in range(0, h, 512):
        v = out[top:top + 512].astype(np.float32) + rng.normal(0, 2, out[top:top + 512].shape)
        out[top:top + 512] = np.clip(v + 0.5, 0, 255)
    return out


# ---- candidates ----------------------------------------------------------------


def pil_encode(fmt, to_rgb=False, **kw):
    def enc(img):
        im = Image.fromarray(img)
        if to_rgb and im.mode == "L":
            im = im.convert("RGB")  # as the tool does for WebP: no grey WebP in Pillow
        out = io.BytesIO()
        im.save(out, format=fmt, **kw)
        return out.getvalue()
    return enc


def pil_decode(data):
    with Image.open(io.BytesIO(data)) as im:
        return np.asarray(im)


def vips_encode(saver, **kw):
    def enc(img):
        return getattr(pyvips.Image.new_from_array(img), saver)(**kw)
    return enc


def vips_decode(data):
    return pyvips.Image.new_from_buffer(data, "", access="sequential").numpy()


def rgb_of(img):
    return img if img.ndim == 3 else np.repeat(img[..., None], 3, axis=2)


def ic_encode(fn, to_rgb=False, **kw):
    def enc(img):
        return bytes(fn(rgb_of(img) if to_rgb else img, **kw))
    return enc


@dataclass
class Cand:
    lib: str
    family: str  # the format, with the lossy/lossless split for WebP
    setting: str
    enc: Callable
    dec: Callable
    lossless: bool = True
    max_mp: float = 24  # sizes above this leave the candidate out
    kinds: tuple = ("page", "photo")
    baseline: bool = False  # the tool's setting today
    key: bool = False  # also in the memory and lock probes

    @property
    def id(self):
        return f"{self.lib}|{self.family}|{self.setting}"


FAMILIES = ["PNG", "JPEG", "TIFF", "WebP lossless", "WebP lossy", "JPEG 2000"]
KEEP_NONE = 0  # libvips: write no metadata, as Pillow does unless asked


ALL = 1e9  # max_mp of the candidates that run at every size
# One fast setting per library and format for the lock probe (the library's
# code path, not the setting, decides whether it lets go of the lock).
LOCK_ENCODERS = [
    "Pillow|PNG|compress_level 1", "pyvips|PNG|compression 1, filter none",
    "imagecodecs|PNG|png level 1, filter none", "Pillow|JPEG|quality 90", "pyvips|JPEG|Q 90",
    "imagecodecs|JPEG|jpeg8 level 90", "Pillow|TIFF|tiff_lzw", "pyvips|TIFF|lzw, predictor none",
    "imagecodecs|TIFF|lzw, predictor 1", "Pillow|WebP lossy|quality 90", "pyvips|WebP lossy|Q 90",
    "imagecodecs|WebP lossy|level 90"]


def candidates():
    """Each candidate runs at sizes up to its max_mp: the whole grid at 1 MP,
    fewer at 6, the contenders at 24, the key ones (memory and lock probes
    too) above. The choice keeps a default run near ten minutes."""
    c = []
    ic = imagecodecs
    # PNG
    c.append(Cand("Pillow", "PNG", "compress_level 6 (default)", pil_encode("PNG"), pil_decode,
                  baseline=True, key=True, max_mp=ALL))
    for level, top in ((1, ALL), (2, 1), (3, 6), (4, 6), (5, 1)):
        c.append(Cand("Pillow", "PNG", f"compress_level {level}",
                      pil_encode("PNG", compress_level=level), pil_decode,
                      key=level == 1, max_mp=top))
    c.append(Cand("Pillow", "PNG", "optimize", pil_encode("PNG", optimize=True), pil_decode,
                  max_mp=1))
    filters = {"none": 0x08, "sub": 0x10, "up": 0x20, "all": 0xF8}
    vips_tops = {(1, "none"): ALL, (3, "none"): ALL, (2, "none"): 24, (2, "sub"): 24,
                 (6, "all"): 6, (4, "none"): 6, (6, "none"): 6, (2, "all"): 6, (3, "all"): 6}
    for level in range(1, 7):
        for name, flag in filters.items():
            top = vips_tops.get((level, name), 1)
            c.append(Cand("pyvips", "PNG", f"compression {level}, filter {name}",
                          vips_encode("pngsave_buffer", compression=level, filter=flag,
                                      keep=KEEP_NONE), vips_decode,
                          key=top == ALL, max_mp=top))
    c.append(Cand("pyvips", "PNG", "palette (lossy)",
                  vips_encode("pngsave_buffer", palette=True, keep=KEEP_NONE), vips_decode,
                  lossless=False, max_mp=1, kinds=("page",)))
    c.append(Cand("pyvips", "PNG", "bitdepth 4 (lossy)",
                  vips_encode("pngsave_buffer", bitdepth=4, compression=3, filter=0x08,
                              keep=KEEP_NONE), vips_decode,
                  lossless=False, max_mp=6, kinds=("page",)))
    ic_tops = {(1, "none"): ALL, (1, "sub"): 6, (3, "none"): 6, (6, "default"): 6}
    for level in (1, 3, 6):
        for name, flag in (("default", None), ("none", 0x08), ("sub", 0x10), ("up", 0x20)):
            top = ic_tops.get((level, name), 1)
            c.append(Cand("imagecodecs", "PNG", f"png level {level}, filter {name}",
                          ic_encode(ic.png_encode, level=level, filter=flag), ic.png_decode,
                          key=top == ALL, max_mp=top))
    c.append(Cand("imagecodecs", "PNG", "png level 1, filter sub, strategy rle",
                  ic_encode(ic.png_encode, level=1, filter=0x10, strategy=3), ic.png_decode,
                  max_mp=6))
    for level, top in ((1, 1), (6, 6)):
        c.append(Cand("imagecodecs", "PNG", f"spng level {level}",
                      ic_encode(ic.spng_encode, level=level), ic.spng_decode, max_mp=top))
    # JPEG, quality 90 everywhere; Pillow and imagecodecs subsample 4:2:0 by
    # default, libvips's "auto" does not at Q 90 and above.
    c.append(Cand("Pillow", "JPEG", "quality 90", pil_encode("JPEG", quality=90), pil_decode,
                  lossless=False, baseline=True, key=True, max_mp=ALL))
    c.append(Cand("Pillow", "JPEG", "quality 90, optimize",
                  pil_encode("JPEG", quality=90, optimize=True), pil_decode, lossless=False))
    c.append(Cand("Pillow", "JPEG", "quality 90, 4:4:4",
                  pil_encode("JPEG", quality=90, subsampling=0), pil_decode, lossless=False,
                  kinds=("photo",), max_mp=6))
    c.append(Cand("pyvips", "JPEG", "Q 90", vips_encode("jpegsave_buffer", Q=90, keep=KEEP_NONE),
                  vips_decode, lossless=False, key=True, max_mp=ALL))
    c.append(Cand("pyvips", "JPEG", "Q 90, optimize_coding",
                  vips_encode("jpegsave_buffer", Q=90, optimize_coding=True, keep=KEEP_NONE),
                  vips_decode, lossless=False, kinds=("page",)))
    for mode in ("on", "off"):
        for opt in (False, True):
            c.append(Cand("pyvips", "JPEG",
                          f"Q 90, subsample_mode {mode}" + (", optimize_coding" if opt else ""),
                          vips_encode("jpegsave_buffer", Q=90, subsample_mode=mode,
                                      optimize_coding=opt, keep=KEEP_NONE),
                          vips_decode, lossless=False, kinds=("photo",),
                          max_mp=24 if (mode, opt) == ("on", False) else 6))
    c.append(Cand("imagecodecs", "JPEG", "jpeg8 level 90", ic_encode(ic.jpeg8_encode, level=90),
                  ic.jpeg8_decode, lossless=False, key=True, max_mp=ALL))
    c.append(Cand("imagecodecs", "JPEG", "jpeg8 level 90, optimize",
                  ic_encode(ic.jpeg8_encode, level=90, optimize=True), ic.jpeg8_decode,
                  lossless=False))
    c.append(Cand("imagecodecs", "JPEG", "jpeg8 level 90, 4:4:4",
                  ic_encode(ic.jpeg8_encode, level=90, subsampling="444"), ic.jpeg8_decode,
                  lossless=False, kinds=("photo",), max_mp=6))
    # TIFF
    c.append(Cand("Pillow", "TIFF", "tiff_lzw", pil_encode("TIFF", compression="tiff_lzw"),
                  pil_decode, baseline=True, key=True, max_mp=ALL))
    c.append(Cand("Pillow", "TIFF", "tiff_lzw, predictor 2",
                  pil_encode("TIFF", compression="tiff_lzw", tiffinfo={317: 2}), pil_decode))
    c.append(Cand("Pillow", "TIFF", "tiff_adobe_deflate",
                  pil_encode("TIFF", compression="tiff_adobe_deflate"), pil_decode, max_mp=6))
    c.append(Cand("Pillow", "TIFF", "tiff_adobe_deflate, predictor 2",
                  pil_encode("TIFF", compression="tiff_adobe_deflate", tiffinfo={317: 2}),
                  pil_decode, max_mp=1))
    vips_tops = {("lzw", "none"): ALL, ("lzw", "horizontal"): 24, ("deflate", "horizontal", 6): 6,
                 ("deflate", "none", 6): 6, ("deflate", "horizontal", 1): 6}
    for comp, level in (("lzw", None), ("deflate", 1), ("deflate", 6)):
        for pred in ("none", "horizontal"):
            kw = {"compression": comp, "predictor": pred, "keep": KEEP_NONE}
            if level:
                kw["level"] = level
            top = vips_tops.get((comp, pred) if comp == "lzw" else (comp, pred, level), 1)
            c.append(Cand("pyvips", "TIFF",
                          f"{comp}{f' level {level}' if level else ''}, predictor {pred}",
                          vips_encode("tiffsave_buffer", **kw), vips_decode,
                          key=top == ALL, max_mp=top))
    ic_tops = {("lzw", 1): ALL, ("lzw", 2): 6, ("deflate", 2, 1): 24, ("deflate", 1, 1): 6,
               ("deflate", 2, 6): 6}
    for comp, level in (("lzw", None), ("deflate", 1), ("deflate", 6)):
        for pred in (1, 2):
            top = ic_tops.get((comp, pred) if comp == "lzw" else (comp, pred, level), 1)
            c.append(Cand("imagecodecs", "TIFF",
                          f"{comp}{f' level {level}' if level else ''}, predictor {pred}",
                          ic_encode(ic.tiff_encode, level=level,
                                    compression=5 if comp == "lzw" else 8,
                                    predictor=2 if pred == 2 else None),
                          ic.tiff_decode, key=top == ALL, max_mp=top))
    # WebP: the tool writes grey pages as RGB (Pillow has no grey WebP); the
    # conversion is part of each candidate's time. Slow: 6 MP at most.
    c.append(Cand("Pillow", "WebP lossless", "lossless, exact (method 4)",
                  pil_encode("WEBP", to_rgb=True, lossless=True, exact=True), pil_decode,
                  baseline=True, max_mp=6))
    c.append(Cand("Pillow", "WebP lossless", "lossless, exact, method 0, quality 0",
                  pil_encode("WEBP", to_rgb=True, lossless=True, exact=True, method=0, quality=0),
                  pil_decode, max_mp=6))
    for effort in (0, 1, 4):
        c.append(Cand("pyvips", "WebP lossless", f"effort {effort}" + (" (default)" if effort == 4
                                                                      else ""),
                      vips_encode("webpsave_buffer", lossless=True, effort=effort, keep=KEEP_NONE),
                      vips_decode, max_mp=6 if effort == 0 else 1))
    for method, level in ((0, 0), (4, None)):
        c.append(Cand("imagecodecs", "WebP lossless",
                      f"method {method}, level {level if level is not None else 'default'}",
                      ic_encode(ic.webp_encode, to_rgb=True, lossless=True, method=method,
                                level=level, numthreads=1),
                      ic.webp_decode, max_mp=6 if method == 0 else 1))
    c.append(Cand("Pillow", "WebP lossy", "quality 90", pil_encode("WEBP", to_rgb=True, quality=90),
                  pil_decode, lossless=False, baseline=True, key=True, max_mp=6))
    c.append(Cand("pyvips", "WebP lossy", "Q 90",
                  vips_encode("webpsave_buffer", Q=90, keep=KEEP_NONE), vips_decode,
                  lossless=False, key=True, max_mp=6))
    c.append(Cand("imagecodecs", "WebP lossy", "level 90",
                  ic_encode(ic.webp_encode, to_rgb=True, level=90, lossless=False, numthreads=1),
                  ic.webp_decode, lossless=False, key=True, max_mp=6))
    # JPEG 2000 (not in pyvips-binary): slow, 1 MP only.
    c.append(Cand("Pillow", "JPEG 2000", "default (lossless)", pil_encode("JPEG2000"), pil_decode,
                  baseline=True, max_mp=1))
    c.append(Cand("imagecodecs", "JPEG 2000", "jpeg2k level 0 (lossless)",
                  ic_encode(ic.jpeg2k_encode, level=0, numthreads=1),
                  lambda b: ic.jpeg2k_decode(b, numthreads=1), max_mp=1))
    return c


def comparable(decoded, src, lossless=True):
    """`decoded` in the shape of `src`: channel 0 of an RGB(A) decode of a grey
    source, after checking that its colour channels are equal (lossless), or
    their mean (lossy: a lossy WebP is YUV 4:2:0, its channels differ)."""
    if decoded.ndim == 3 and decoded.shape[2] == 4:
        decoded = decoded[..., :3]
    if src.ndim == 2 and decoded.ndim == 3:
        if not lossless:
            return np.clip(decoded.mean(axis=2) + 0.5, 0, 255).astype(np.uint8)
        assert (decoded[..., 0] == decoded[..., 1]).all() and \
            (decoded[..., 0] == decoded[..., 2]).all(), "a grey page decoded in colour"
        decoded = decoded[..., 0]
    assert decoded.shape == src.shape, (decoded.shape, src.shape)
    return decoded


def psnr(a, b):
    err = np.mean((a.astype(np.float32) - b.astype(np.float32)) ** 2, dtype=np.float64)
    return float("inf") if err == 0 else 10 * np.log10(255 ** 2 / err)


# ---- timing --------------------------------------------------------------------


def timed(fn, *args):
    t0 = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - t0, out


@dataclass
class Row:
    cand: Cand
    enc: list = field(default_factory=list)
    dec: list = field(default_factory=list)
    nbytes: int = 0
    quality: float = 0.0  # PSNR of lossy outputs
    data: bytes = b""  # the output, kept for the tool's own settings


def run_codecs(img, cands, repeats, log):
    rows = [Row(c) for c in cands]
    for rep in range(repeats):
        for row in rows:
            t_enc, data = timed(row.cand.enc, img)
            t_dec, back = timed(row.cand.dec, data)
            row.enc.append(t_enc)
            row.dec.append(t_dec)
            if rep == 0:
                row.nbytes = len(data)
                if row.cand.baseline:
                    row.data = data
                back = comparable(back, img, row.cand.lossless)
                if row.cand.lossless:
                    assert np.array_equal(back, img), f"{row.cand.id}: lossless output differs"
                    row.quality = float("inf")
                else:
                    row.quality = psnr(back, img)
        log(f"  repetition {rep + 1}/{repeats} done")
    return rows


def input_files(scan, rows, formats, names=("RGB scan", "text page", "photo")):
    """The files the tool reads, as Pillow writes them with the tool's settings
    (the outputs of those rows above for the page and the photo)."""
    out = {}
    for name in names:
        for fmt in formats:
            if name == "text page" and fmt.startswith("WebP"):
                continue  # Pillow writes no grey WebP
            if name == "RGB scan":
                kw = {"PNG": {}, "JPEG": {"quality": 90}, "TIFF": {"compression": "tiff_lzw"},
                      "WebP lossless": {"lossless": True, "exact": True, "method": 0,
                                        "quality": 0},
                      "WebP lossy": {"quality": 90}}[fmt]
                out[(name, fmt)] = pil_encode(fmt.split()[0].upper(), **kw)(scan)
            else:
                kind = "page" if name == "text page" else "photo"
                out[(name, fmt)] = next(r.data for r in rows[kind] if r.cand.baseline
                                        and r.cand.family == fmt)
    return out


def decoders(fmt):
    ic = imagecodecs
    own = {"PNG": [("imagecodecs png", ic.png_decode), ("imagecodecs spng", ic.spng_decode)],
           "JPEG": [("imagecodecs jpeg8", ic.jpeg8_decode)],
           "TIFF": [("imagecodecs tiff", ic.tiff_decode)],
           "WebP lossless": [("imagecodecs webp", ic.webp_decode)],
           "WebP lossy": [("imagecodecs webp", ic.webp_decode)]}[fmt]
    pil_rgb = ("Pillow, the tool's way (convert RGB)",
               lambda b: np.asarray(Image.open(io.BytesIO(b)).convert("RGB")))
    return [("Pillow", pil_decode), pil_rgb, ("pyvips", vips_decode)] + own


def run_decoders(files, repeats, tool_way=True):
    """{(image, format): [(decoder, seconds list, same-as-Pillow)]}"""
    table = {}
    for key, data in files.items():
        ref = pil_decode(data)
        table[key] = [[name, fn, [], None] for name, fn in decoders(key[1])
                      if tool_way or not name.startswith("Pillow, the tool")]
        for entry in table[key]:
            out = entry[1](data)
            if out.ndim == 3 and ref.ndim == 2:
                out = comparable(out, ref)
            entry[3] = bool(np.array_equal(out, ref))
            if key[1] not in ("JPEG", "WebP lossy"):
                assert entry[3], f"{entry[0]} decodes the {key} file differently"
    for _ in range(repeats):
        for key, data in files.items():
            for entry in table[key]:
                entry[2].append(timed(entry[1], data)[0])
    return table


# ---- PDF page images -----------------------------------------------------------


def predicted(page, kind):
    """Rows of `page` prefixed with a PNG filter byte (PDF /Predictor 15), one
    filter for every row."""
    h, w = page.shape
    out = np.empty((h, w + 1), np.uint8)
    if kind == "none":
        out[:, 0] = 0
        out[:, 1:] = page
    elif kind == "sub":
        out[:, 0] = 1
        out[:, 1] = page[:, 0]
        np.subtract(page[:, 1:], page[:, :-1], out=out[:, 2:])
    else:  # up
        out[:, 0] = 2
        out[0, 1:] = page[0]
        np.subtract(page[1:], page[:-1], out=out[1:, 1:])
    return out


def unpredicted(raw, h, w):
    rows = np.frombuffer(raw, np.uint8).reshape(h, w + 1)
    kind, data = rows[0, 0], rows[:, 1:]
    assert (rows[:, 0] == kind).all()
    if kind == 1:
        return np.cumsum(data, axis=1, dtype=np.uint8)
    if kind == 2:
        return np.cumsum(data, axis=0, dtype=np.uint8)
    return np.array(data)


def flate_candidates():
    ic = imagecodecs
    deflaters = [("Python zlib", lambda b, level: zlib.compress(b, level)),
                 ("imagecodecs zlib", lambda b, level: bytes(ic.zlib_encode(b, level=level))),
                 ("imagecodecs zlib-ng", lambda b, level: bytes(ic.zlibng_encode(b, level=level))),
                 ("imagecodecs libdeflate",
                  lambda b, level: bytes(ic.deflate_encode(b, level=level)))]
    out = []
    for pred in ("no predictor", "none", "sub", "up"):
        for name, fn in deflaters:
            for level in (1, 6):
                if pred != "no predictor" and name == "imagecodecs zlib":
                    continue
                out.append((pred, name, level, fn))
    return out


def run_flate(page, repeats):
    h, w = page.shape
    rows = [[pred, name, level, fn, [], 0] for pred, name, level, fn in flate_candidates()]
    for rep in range(repeats):
        for row in rows:
            pred, fn, level = row[0], row[3], row[2]
            t0 = time.perf_counter()
            raw = page.tobytes() if pred == "no predictor" else predicted(page, pred).tobytes()
            data = fn(raw, level)
            row[4].append(time.perf_counter() - t0)
            if rep == 0:
                row[5] = len(data)
                back = zlib.decompress(data)  # what a PDF reader's Flate filter takes
                back = (np.frombuffer(back, np.uint8).reshape(h, w) if pred == "no predictor"
                        else unpredicted(back, h, w))
                assert np.array_equal(back, page), f"Flate {row[:3]} differs"
    return rows


# ---- memory, in a child process ------------------------------------------------


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def child(case):
    """Runs one encode or decode in this fresh process; prints the rise of its
    peak RSS (VmHWM, reset to the current RSS just before the call through
    /proc/self/clear_refs) over the RSS before the call, in KiB. (ru_maxrss
    would not do: a child started by exec keeps its parent's peak.)"""
    cand = {c.id: c for c in candidates()}[case["id"]]
    img = np.load(case["image"])
    small = np.ascontiguousarray(img[:64, :64])
    warm = cand.enc(small)  # the library's one-time set-up is not the call's
    cand.dec(warm)
    if case["op"] == "decode":
        with open(case["data"], "rb") as f:
            data = f.read()
        del img
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kb("VmRSS")
    hwm0 = status_kb("VmHWM")
    assert hwm0 <= before + 1024, f"the peak was not reset: {hwm0} KiB, RSS {before} KiB"
    out = cand.enc(img) if case["op"] == "encode" else cand.dec(data)
    print(json.dumps({"rise": status_kb("VmHWM") - before,
                      "out": len(out) if isinstance(out, bytes) else out.nbytes}))


def run_memory(cases, tmp, log):
    """cases: [(kind, cand, img, data)] -> {(kind, id, op): result}"""
    results = {}
    for i, (kind, cand, img, data) in enumerate(cases):
        image = os.path.join(tmp, f"{kind}.npy")
        if not os.path.exists(image):
            np.save(image, img)
        path = os.path.join(tmp, f"m{i}.bin")
        with open(path, "wb") as f:
            f.write(data)
        for op in ("encode", "decode"):
            case = {"id": cand.id, "image": image, "data": path, "op": op}
            r = subprocess.run([sys.executable, os.path.abspath(__file__), "--child",
                                json.dumps(case)], capture_output=True, text=True)
            if r.returncode:
                raise RuntimeError(f"memory child {case} failed:\n{r.stderr}")
            results[(kind, cand.id, op)] = json.loads(r.stdout.strip().splitlines()[-1])
        os.unlink(path)
    log(f"  {len(cases)} memory cases done")
    return results


# ---- the interpreter lock ------------------------------------------------------


def stall_during(fn, *args):
    """While `fn` runs in this thread, a pure-Python loop in another: the
    longest gap between its iterations (seconds), its progress as a share of
    its rate alone (measured just before), and fn's time."""
    state = {"stop": False, "gap": 0.0, "n": 0, "count": False}

    def spin():
        last = time.perf_counter()
        while not state["stop"]:
            now = time.perf_counter()
            if state["count"]:
                state["gap"] = max(state["gap"], now - last)
                state["n"] += 1
            last = now

    t = threading.Thread(target=spin)
    t.start()
    time.sleep(0.005)
    state["count"] = True
    alone = 0.1
    time.sleep(alone)  # the loop alone, this thread asleep
    n_alone, state["n"], state["gap"] = state["n"], 0, 0.0
    t_fn, _ = timed(fn, *args)
    state["stop"] = True
    t.join()
    share = state["n"] / (n_alone / alone * t_fn) if n_alone else float("nan")
    return state["gap"], share, t_fn


def run_lock(cases, repeats):
    """cases: [(label, fn, a, b)] -> [(label, 1-thread s, 2-thread s, ratio, stall,
    share, call)]"""
    res = {label: [[], [], [], [], []] for label, *_ in cases}
    # A short switch interval: a thread that wants the lock gets it within
    # 0.5 ms of the holder running Python code, so a call that holds the lock
    # in C shows as such, not as the interval's 5 ms hand-overs.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    try:
        return _run_lock(cases, repeats, res)
    finally:
        sys.setswitchinterval(interval)


def _run_lock(cases, repeats, res):
    for _ in range(repeats):
        for label, fn, a, b in cases:
            t0 = time.perf_counter()
            fn(a)
            fn(b)
            one = time.perf_counter() - t0
            threads = [threading.Thread(target=fn, args=(x,)) for x in (a, b)]
            t0 = time.perf_counter()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            two = time.perf_counter() - t0
            for r, v in zip(res[label], (one, two) + stall_during(fn, a)):
                r.append(v)
    med = statistics.median
    return [(label, med(r[0]), med(r[1]), med(r[1]) / med(r[0]), med(r[2]), med(r[3]), med(r[4]))
            for label, r in res.items()]


# ---- report --------------------------------------------------------------------


def ms(seconds):
    v = seconds * 1000
    return f"{v:.0f}" if v >= 100 else f"{v:.1f}" if v >= 1 else f"{v:.2f}"


def mb(kib):
    return f"{kib / 1024:.1f}"


def size_label(mp):
    return f"{mp:g} MP"


def versions():
    from importlib.metadata import version
    vips = ".".join(str(pyvips.version(i)) for i in range(3))
    icv = dict(p.split("-", 1) for p in imagecodecs.version().split(", ") if "-" in p)
    pil_libs = ", ".join(f"{n} {features.version(n)}" for n in
                         ("zlib", "zlib_ng", "jpg", "libtiff", "webp", "jpg_2000")
                         if features.version(n))
    ic_libs = ", ".join(f"{n} {icv[n]}" for n in ("libpng", "libspng", "zlib", "zlib_ng",
                                                  "libdeflate", "libjpeg_turbo", "libtiff",
                                                  "libwebp", "openjpeg") if n in icv)
    return [f"Python {platform.python_version()} (its zlib {zlib.ZLIB_RUNTIME_VERSION}), "
            f"NumPy {np.__version__}, scikit-image {version('scikit-image')}",
            f"Pillow {version('Pillow')} ({pil_libs})",
            f"pyvips {version('pyvips')} with pyvips-binary {version('pyvips-binary')} "
            f"(libvips {vips}; {vips_build()})",
            f"imagecodecs {version('imagecodecs')} ({ic_libs})"]


def vips_build():
    """What the bundled libvips links, read from its strings."""
    import glob
    from importlib.metadata import distribution
    found = []
    libs = str(distribution("pyvips-binary").locate_file("pyvips_binary.libs"))
    for lib in glob.glob(os.path.join(libs, "libvips*")):
        with open(lib, "rb") as f:
            blob = f.read()
        for marker, name in ((b"mozjpeg version", "mozjpeg"), (b"libpng error", "libpng"),
                             (b"spng_ctx", "libspng"), (b"zlib-ng", "zlib-ng")):
            if marker in blob:
                found.append(name)
    return "links " + ", ".join(found) if found else "build unknown"


def vips_support():
    savers = ["pngsave", "jpegsave", "tiffsave", "webpsave", "jp2ksave", "jxlsave", "heifsave",
              "gifsave", "magicksave", "ppmsave", "fitssave", "radsave", "spngsave"]
    loaders = ["pngload", "jpegload", "tiffload", "webpload", "jp2kload", "jxlload", "heifload",
               "gifload", "pdfload", "svgload", "magickload", "ppmload", "openexrload", "spngload"]
    has = lambda n: pyvips.type_find("VipsOperation", n) != 0  # noqa: E731
    return pyvips.base.get_suffixes(), [n for n in savers + loaders if has(n)], \
        [n for n in savers + loaders if not has(n)]


def codec_table(kind, sizes, results):
    """One row per candidate, a figure per size in each cell."""
    present = [s for s in sizes if (kind, s) in results]
    head = " · ".join(size_label(s) for s in present)
    lines = [f"| library | format | setting | encode ms ({head}) | decode ms ({head}) "
             f"| bytes ({head}) | % of the tool's ({head}) | lossless / PSNR dB ({head}) |",
             "|---|---|---|---|---|---|---|---|"]
    ids = []
    for s in present:
        for row in results[(kind, s)]:
            if row.cand.id not in ids:
                ids.append(row.cand.id)
    for cid in ids:
        cells = {"enc": [], "dec": [], "bytes": [], "pct": [], "q": []}
        cand = None
        for s in present:
            rows = {r.cand.id: r for r in results[(kind, s)]}
            row = rows.get(cid)
            if row is None:
                for k in cells:
                    cells[k].append("–")
                continue
            cand = row.cand
            cells["q"].append("exact" if row.quality == float("inf") else f"{row.quality:.2f}")
            base = next((r for r in results[(kind, s)] if r.cand.baseline
                         and r.cand.family == row.cand.family), None)
            cells["enc"].append(ms(statistics.median(row.enc)))
            cells["dec"].append(ms(statistics.median(row.dec)))
            cells["bytes"].append(f"{row.nbytes:,}")
            cells["pct"].append(f"{100 * row.nbytes / base.nbytes:.0f}" if base else "–")
        name = cand.setting + (" **(the tool's)**" if cand.baseline else "")
        q = "lossless" if cand.lossless else " · ".join(cells["q"])
        lines.append(f"| {cand.lib} | {cand.family} | {name} | {' · '.join(cells['enc'])} | "
                     f"{' · '.join(cells['dec'])} | {' · '.join(cells['bytes'])} | "
                     f"{' · '.join(cells['pct'])} | {q} |")
    return lines


def best_table(sizes, results):
    """Per image, size and format: the fastest encode no larger than the tool's
    (lossy ones also no worse in PSNR, within 0.05 dB)."""
    lines = ["| image | size | format | the tool's: ms, bytes | fastest no larger: library, "
             "setting | ms | bytes | speed-up |", "|---|---|---|---|---|---|---|---|"]
    for kind in KINDS:
        for s in sizes:
            rows = results.get((kind, s))
            if not rows:
                continue
            for fam in FAMILIES:
                fam_rows = [r for r in rows if r.cand.family == fam]
                base = next((r for r in fam_rows if r.cand.baseline), None)
                if base is None:
                    continue
                ok = [r for r in fam_rows if r.nbytes <= base.nbytes and
                      (r.cand.lossless or (not base.cand.lossless and
                                           r.quality >= base.quality - 0.05))]
                best = min(ok, key=lambda r: statistics.median(r.enc))
                be, bb = statistics.median(base.enc), statistics.median(best.enc)
                lines.append(f"| {KINDS[kind]} | {size_label(s)} | {fam} | {ms(be)}, "
                             f"{base.nbytes:,} | {best.cand.lib}, {best.cand.setting} | "
                             f"{ms(bb)} | {best.nbytes:,} | {be / bb:.1f}× |")
    return lines


def decode_table(dec):
    lines = ["| size | image | file | decoder | ms | same pixels as Pillow |",
             "|---|---|---|---|---|---|"]
    for (s, (name, fmt)), entries in dec.items():
        for dname, _, times, same in entries:
            lines.append(f"| {size_label(s)} | {name} | {fmt} | {dname} | "
                         f"{ms(statistics.median(times))} | {'yes' if same else 'no'} |")
    return lines


def memory_table(mem, mem_size, raw):
    lines = [f"Peak memory at {size_label(mem_size)} (raw pixels: text page "
             f"{mb(raw['page'] / 1024)} MiB, photo {mb(raw['photo'] / 1024)} MiB): the rise of "
             "the peak RSS during one call in a fresh child process (libraries imported, "
             "image loaded, one small warm-up call) over its RSS just before, in MiB and as a "
             "multiple of the raw pixels; a decode's figure includes the NumPy array it "
             "returns (1× raw).", "",
             "| image | library | format | setting | encode MiB | × raw | decode MiB | × raw |",
             "|---|---|---|---|---|---|---|---|"]
    cands = {c.id: c for c in candidates()}
    done = []
    for (kind, cid, _op) in mem:
        if (kind, cid) in done:
            continue
        done.append((kind, cid))
        c = cands[cid]
        cells = []
        for op in ("encode", "decode"):
            v = mem[(kind, cid, op)]["rise"]
            cells += [mb(v), f"{v * 1024 / raw[kind]:.2f}"]
        lines.append(f"| {KINDS[kind]} | {c.lib} | {c.family} | {c.setting} | "
                     + " | ".join(cells) + " |")
    return lines


def lock_table(lock, size):
    lines = [f"{size_label(size)} text page (photo files for the decoders; WebP on 1 MP "
             "pages), two different images, one fast setting per library and format. "
             "*2 threads / 1* is the wall time of two threads, one image each, over one thread "
             "doing both (0.5: the lock is released and both cores work; 1: it is held, or the "
             "second core was busy). The switch interval is 0.5 ms. While one call runs, a "
             "pure-Python loop in another thread: *stall* is the longest it waited for the lock "
             "(about the call's time when the lock is held throughout), *Python progress* its "
             "iterations as a share of its rate alone (near 100 %: released and a core free; "
             "about 50 to 70 % when other work takes a core; near 0: held). *lock*: held when "
             "the progress is under 20 % or the stall over 3/4 of the call, released when the "
             "progress is over 40 % and the stall under 1/4 of the call.", "",
             "| call | 1 thread, both ms | 2 threads ms | 2 threads / 1 | one call ms "
             "| stall ms | Python progress | lock |", "|---|---|---|---|---|---|---|---|"]
    for label, one, two, ratio, gap, share, call in lock:
        verdict = ("held" if gap > 0.75 * call or share < 0.2 else
                   "released" if share > 0.4 and gap < 0.25 * call else "unclear")
        lines.append(f"| {label} | {ms(one)} | {ms(two)} | {ratio:.2f} | {ms(call)} | "
                     f"{ms(gap)} | {100 * share:.0f} % | {verdict} |")
    return lines


def flate_table(flate_results, jpeg_rows):
    lines = ["| size | rows | deflater | level | ms (with the predictor) | bytes "
             "| % of the tool's |",
             "|---|---|---|---|---|---|---|"]
    for s, rows in flate_results.items():
        base = next(r for r in rows if r[0] == "no predictor" and r[1] == "Python zlib"
                    and r[2] == 6)
        for pred, name, level, _, times, nbytes in rows:
            tool = " **(the tool's)**" if (pred, name, level) == ("no predictor", "Python zlib",
                                                                   6) else ""
            label = "raw" if pred == "no predictor" else f"predictor 15, filter {pred}"
            lines.append(f"| {size_label(s)} | {label} | {name}{tool} | {level} | "
                         f"{ms(statistics.median(times))} | {nbytes:,} | "
                         f"{100 * nbytes / base[5]:.0f} |")
    lines += ["", "Grey JPEG at quality 90 for the same pages (from the runs above; the "
              "tool's PDF path uses Pillow with optimize):", "",
              "| size | library | setting | ms | bytes | PSNR dB |", "|---|---|---|---|---|---|"]
    for s, row in jpeg_rows:
        lines.append(f"| {size_label(s)} | {row.cand.lib} | {row.cand.setting} | "
                     f"{ms(statistics.median(row.enc))} | {row.nbytes:,} | {row.quality:.2f} |")
    return lines


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default="1,6,24",
                   help="megapixels, comma-separated (default 1,6,24); the bigger, the fewer "
                        "candidates run (see candidates())")
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--memory-size", type=float, default=6,
                   help="megapixels of the memory probe (default 6)")
    p.add_argument("--lock-size", type=float, default=6,
                   help="megapixels of the lock probe (default 6; WebP at 1)")
    p.add_argument("--no-probes", action="store_true", help="skip the memory and lock probes")
    p.add_argument("--write", metavar="FILE", help="also write the report to FILE")
    p.add_argument("--child", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        child(json.loads(args.child))
        return
    sizes = [float(s) for s in args.sizes.split(",")]
    started = time.perf_counter()
    load0 = os.getloadavg()[0]

    def log(msg):
        print(f"[{time.perf_counter() - started:6.0f} s] {msg}", file=sys.stderr, flush=True)

    all_cands = candidates()
    results, dec, flate, jpeg_rows, images = {}, {}, {}, [], {}
    for s in sizes:
        log(f"{size_label(s)}: images")
        scan = rgb_scan(s, 1)
        page = fixed_page(scan)
        pic = photo(s, 2)
        images[s] = (scan, page, pic)
        for kind, img in (("page", page), ("photo", pic)):
            cands = [c for c in all_cands if kind in c.kinds and
                     s <= c.max_mp]
            log(f"{size_label(s)} {kind}: {len(cands)} candidates")
            results[(kind, s)] = run_codecs(img, cands, args.repeats, log)
        log(f"{size_label(s)}: decoders")
        formats = ["PNG", "JPEG"] + (["TIFF", "WebP lossless", "WebP lossy"] if s <= 6 else [])
        big = s > 6  # fewer: the grey page's decoding is in the tables above
        files = input_files(scan, {k: results[(k, s)] for k in KINDS}, formats,
                            ("RGB scan", "photo") if big else ("RGB scan", "text page", "photo"))
        for key, entries in run_decoders(files, args.repeats, tool_way=not big).items():
            dec[(s, key)] = entries
        del files
        if s <= 6:
            log(f"{size_label(s)}: Flate")
            flate[s] = run_flate(page, args.repeats)
        jpeg_rows += [(s, r) for r in results[("page", s)] if r.cand.family == "JPEG"]
        if s != args.memory_size:
            images.pop(s)

    mem, lock = {}, []
    if not args.no_probes:
        probe = args.memory_size
        page, pic = images[probe][1:] if probe in images else (
            fixed_page(rgb_scan(probe, 1)), photo(probe, 2))
        keys = [c for c in all_cands if c.key]
        cases = []
        for kind, img in (("page", page), ("photo", pic)):
            for c in keys:
                if kind in c.kinds and probe <= c.max_mp:
                    cases.append((kind, c, img, c.enc(img)))
        raw = {"page": page.nbytes, "photo": pic.nbytes}
        del images, page, pic
        log(f"memory: {len(cases)} cases at {size_label(probe)}")
        with tempfile.TemporaryDirectory() as tmp:
            mem = run_memory(cases, tmp, log)
        del cases
        ls = args.lock_size
        scan, scan2 = rgb_scan(ls, 1), rgb_scan(ls, 3)
        page, page2 = fixed_page(scan), fixed_page(scan2)
        pic, pic2 = photo(ls, 2), photo(ls, 4)
        small, small2 = fixed_page(rgb_scan(1, 1)), fixed_page(rgb_scan(1, 3))
        by_id = {c.id: c for c in all_cands}
        lock_cases = []
        for cid in LOCK_ENCODERS:
            c = by_id[cid]
            a, b = (small, small2) if c.family.startswith("WebP") else (page, page2)
            where = " (1 MP)" if a is small else ""
            lock_cases.append((f"encode: {c.lib} {c.family}, {c.setting}{where}", c.enc, a, b))
        for fmt in ("PNG", "JPEG"):
            a, b = (pil_encode(fmt)(pic), pil_encode(fmt)(pic2))
            for name, fn in decoders(fmt):
                if name.startswith("Pillow, the tool"):
                    continue
                lock_cases.append((f"decode: {name}, photo {fmt}", fn, a, b))
        ta, tb = page.tobytes(), page2.tobytes()
        lock_cases += [("Flate: Python zlib.compress level 1", lambda b: zlib.compress(b, 1),
                        ta, tb),
                       ("Flate: imagecodecs libdeflate level 1",
                        lambda b: imagecodecs.deflate_encode(b, level=1), ta, tb),
                       ("Flate: imagecodecs zlib-ng level 1",
                        lambda b: imagecodecs.zlibng_encode(b, level=1), ta, tb),
                       ("fix: vorn_hyst.monochrome", vorn_hyst.monochrome, scan, scan2)]
        log(f"lock: {len(lock_cases)} calls at {size_label(ls)}")
        lock = run_lock(lock_cases, args.repeats)
    log("done")
    load1 = os.getloadavg()[0]

    suffixes, has, lacks = vips_support()
    cpu = os.cpu_count()
    out = ["# Codec candidates for reading and writing pages", "",
           f"`python bench/codecs.py --sizes {args.sizes} --repeats {args.repeats} "
           f"--memory-size {args.memory_size:g} --lock-size {args.lock_size:g}`: one run, "
           f"{time.perf_counter() - started:.0f} s, medians of {args.repeats} interleaved "
           f"repetitions; {cpu} CPUs (`nproc` {len(os.sched_getaffinity(0))}), "
           f"{platform.machine()}, load average {load0:.2f} at the start and {load1:.2f} "
           "at the end (other work ran on the machine).", ""]
    out += [f"- {v}" for v in versions()]
    out += ["- libvips: `pyvips.cache_set_max(0)`, `VIPS_CONCURRENCY=1` and "
            "`pyvips.concurrency_set(1)`: one worker thread, as the tool runs its own threads. "
            "imagecodecs' WebP and JPEG 2000 coders: `numthreads=1`.", "",
            f"libvips's savers by suffix (`pyvips.base.get_suffixes()`): "
            f"{' '.join(suffixes)}. Of the common loaders and savers it has "
            f"{', '.join(has)}; it lacks {', '.join(lacks)}.", ""]
    out += ["Times include wrapping the array (pyvips `new_from_array`, Pillow `fromarray`, "
            "the grey-to-RGB conversion WebP needs) and, for decoding, the copy into NumPy. "
            "Every lossless output was decoded and checked equal to its input; lossy ones "
            "show their PSNR. Percentages are of the tool's setting for the same format "
            "(Pillow: PNG compress_level 6 with adaptive filters, JPEG quality 90, TIFF LZW "
            "without a predictor, WebP lossless with exact or lossy quality 90, JPEG 2000 "
            "default). The whole grid runs at 1 MP, fewer settings at 6, the contenders at 24, "
            "the key ones (also probed for memory and the lock) above; \"–\" is a size a "
            "candidate was left out at. WebP runs up to 6 MP, JPEG 2000 at 1 MP.", ""]
    for kind, title in KINDS.items():
        out += [f"## Encode and decode: {title}", ""] + codec_table(kind, sizes, results) + [""]
    out += ["## Fastest setting no larger than the tool's", "",
            "Lossy formats: no worse in PSNR either (within 0.05 dB).", ""]
    out += best_table(sizes, results) + [""]
    out += ["## Decoding input files into NumPy", "",
            "Files as Pillow writes them with the tool's settings (PNG level 6, JPEG quality "
            "90, TIFF LZW; WebP lossless method 0 and lossy quality 90). *Pillow* is "
            "`np.asarray(Image.open(...))`; *the tool's way* adds `.convert(\"RGB\")`, as "
            "imaging.py does; *pyvips* is `new_from_buffer(..., access=\"sequential\").numpy()`."
            "", ""]
    out += decode_table(dec) + [""]
    if mem:
        out += ["## Peak memory", ""] + memory_table(mem, args.memory_size, raw) + [""]
    if lock:
        out += ["## The interpreter lock", ""] + lock_table(lock, args.lock_size) + [""]
    out += ["## PDF page images", "",
            "A fixed grey page as a PDF image: Flate of the raw rows (what the tool does: "
            "`zlib.compress`, level 6) against the same with PNG predictors (/Predictor 15, "
            "one filter for all rows, applied with NumPy; the time includes it), and other "
            "deflaters. All outputs are zlib streams, checked by inflating and undoing the "
            "predictor.", ""]
    out += flate_table(flate, jpeg_rows) + [""]
    text = "\n".join(out) + "\n"
    print(text)
    if args.write:
        kept = ""
        if os.path.exists(args.write):
            with open(args.write, encoding="utf-8") as f:
                old = f.read()
            at = old.find("\n## Recommendation")
            if at >= 0:
                kept = old[at + 1:]
        with open(args.write, "w", encoding="utf-8") as f:
            f.write(text + ("\n" + kept if kept else ""))


if __name__ == "__main__":
    main()

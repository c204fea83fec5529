"""Image files: reading them page by page, and writing results with their metadata.

A file is read from a descriptor opened once (so the file that is decided is
the file that is copied or replaced), its pages are checked against the size
and page limits before anything is decoded, and a multi-page TIFF is decided
and written page by page, so that no more than one decoded page is held.
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib
import io
import shutil
import struct
import time

import numpy as np

from . import codec, deps
from .decision import Decision, decide, is_grey
from .fileio import open_regular, same_file, write_atomic
from .outcome import FileError, Verdict
from .report import Row
from .review import thumbnails

# The formats the tool reads, in the order their signatures are tried; MPO
# (a JPEG with extra frames) comes through JPEG's own opener.
FORMATS = ("PNG", "JPEG", "TIFF", "BMP", "WEBP", "JPEG2000")
# Formats that store a greyscale result without loss (TIFF unless JPEG-compressed);
# a grey image that the fix left alone is only worth rewriting, to drop two
# redundant channels, in these.
LOSSLESS = {"PNG", "TIFF", "BMP"}
GREY_MODES = {"1", "L", "LA"}
# Modes whose pixels convert to 8-bit RGB exactly.
COLOUR_MODES = {"RGB", "RGBA", "RGBX", "P", "PA"}
# TIFF compressions Pillow writes for 8-bit greyscale and RGB.
TIFF_COMPRESSIONS = {"raw", "tiff_lzw", "tiff_deflate", "tiff_adobe_deflate", "packbits", "jpeg"}
# TIFF tags carried to the output: resolution, descriptive tags, XMP, IPTC,
# Photoshop, EXIF and GPS. The tags describing the pixel layout are the
# encoder's to write, and the ICC profile is checked on its own.
TIFF_TAGS = {269, 270, 271, 272, 274, 282, 283, 285, 296, 297, 305, 306, 315, 316,
             700, 33432, 33723, 34377, 34665, 34853}
# A progressive JPEG is decoded once per scan: ten are usual, and a file of
# thousands makes a small file cost minutes.
MAX_SCANS = 200


class NothingChanged(Exception):
    """Every page of a multi-page file stays as it is: the file is copied instead."""


# ---- opening -------------------------------------------------------------------------

# Pillow's plugin of each of FORMATS. Image.init() would import all forty of
# Pillow's plugins, a twentieth of a second at every start.
PLUGINS = ("PngImagePlugin", "JpegImagePlugin", "TiffImagePlugin", "BmpImagePlugin",
           "WebPImagePlugin", "Jpeg2KImagePlugin")


def load_plugins():
    for name in PLUGINS:
        importlib.import_module(f"PIL.{name}")

def open_image(f):
    """Pillow's image over the open file `f`, of one of FORMATS. Opened through
    the formats' own openers: Pillow's Image.open would check the size against
    its process-wide limit, which is --max-pixels' job, page by page."""
    Image = deps.pillow()
    load_plugins()
    prefix = f.read(16)
    damage = None
    for fmt in FORMATS:
        factory, accept = Image.OPEN[fmt]
        accepted = accept is None or accept(prefix)
        if isinstance(accepted, str) or not accepted:  # a string is Pillow's warning
            continue
        f.seek(0)
        try:
            return factory(f, "")
        except (SyntaxError, IndexError, TypeError, struct.error, EOFError, OSError) as e:
            damage = damage or f"damaged {fmt} file ({e or type(e).__name__}), left alone"
    raise FileError(damage or "not an image file Pillow can read")


def page_count(im, f, limit):
    """The number of pages, refused above `limit` before any is decoded."""
    if im.format != "TIFF":
        count = getattr(im, "n_frames", 1)
        if count > 1:
            raise FileError(f"files of {count} frames are not supported in {im.format}")
        return 1
    count = tiff_page_count(f, limit)
    if count > limit:
        raise FileError(f"more than {limit} pages (--max-pages raises the limit)")
    return count


def tiff_page_count(f, limit):
    """Follows the chain of image directories, once each, up to limit + 1."""
    f.seek(0)
    head = f.read(16)
    order = "<" if head[:2] == b"II" else ">"
    big = struct.unpack(order + "H", head[2:4])[0] == 43
    offset = struct.unpack(order + ("Q" if big else "I"), head[8:16] if big else head[4:8])[0]
    entry, count_size, offset_size = (20, "Q", 8) if big else (12, "H", 4)
    seen, count = set(), 0
    while offset and offset not in seen and count <= limit:
        seen.add(offset)
        f.seek(offset)
        raw = f.read(struct.calcsize(count_size))
        if len(raw) < struct.calcsize(count_size):
            break
        entries = struct.unpack(order + count_size, raw)[0]
        f.seek(offset + len(raw) + entries * entry)
        raw = f.read(offset_size)
        count += 1
        if len(raw) < offset_size:
            break
        offset = struct.unpack(order + ("Q" if big else "I"), raw)[0]
    f.seek(0)
    return max(count, 1)


def check_size(im, limit):
    pixels = im.width * im.height
    if pixels > limit:
        raise FileError(f"{im.width}x{im.height} is {pixels} pixels, more than the limit of "
                        f"{limit} (a decompression bomb?); --max-pixels raises the limit")


def check_scans(im, f):
    """Refuses a progressive JPEG of so many scans that decoding it would take minutes."""
    if im.format not in ("JPEG", "MPO") or not (im.info.get("progressive")
                                                 or im.info.get("progression")):
        return
    f.seek(0)
    scans, tail = 0, b""
    while chunk := f.read(1 << 20):
        scans += (tail + chunk).count(b"\xff\xda")  # a start-of-scan marker
        tail = chunk[-1:]
    f.seek(0)
    if scans > MAX_SCANS:
        raise FileError(f"a progressive JPEG of {scans} scans, more than {MAX_SCANS} (a decoding "
                        "bomb?), left alone")


def check_mode(im):
    """Refuses, before decoding, what cannot go through an 8-bit RGB fix exactly."""
    mode = im.mode
    if mode in ("I;16", "I;16L", "I;16B", "I;16N", "I", "F"):
        raise FileError(f"{mode} images are not supported: the level fix works on 8-bit "
                        "channels, and reducing them to 8 bits would lose precision")
    if mode not in GREY_MODES and mode not in COLOUR_MODES:
        raise FileError(f"images of mode {mode} are not supported")
    # Pillow reads 16-bit RGB as 8-bit RGB; writing that back would lose precision.
    for tile in getattr(im, "tile", None) or ():
        args = tile[3]
        rawmode = args if isinstance(args, str) else (args[0] if args else "")
        if isinstance(rawmode, str) and (";16" in rawmode or ";32" in rawmode):
            raise FileError("16-bit channels are not supported: the level fix works on "
                            "8-bit channels, and reducing them to 8 bits would lose precision")


# ---- one page ------------------------------------------------------------------------

def result_image(result, alpha, stored_mode, keep_rgb, grey=None):
    """The Pillow image to store for the result; `grey` says whether its
    channels are equal where the decision knows it already."""
    Image = deps.pillow()
    if stored_mode == "1":
        # A bilevel page stays bilevel: 8 bits would make it eight times larger.
        values = np.unique(result[..., 0])
        if not set(values.tolist()) <= {0, 255}:
            raise FileError("the fixed 1-bit page would need grey levels")
        return Image.fromarray(np.ascontiguousarray(result[..., 0])).convert("1", dither=None)
    stored_grey = stored_mode in GREY_MODES
    if (stored_grey or not keep_rgb) and (grey if grey is not None else is_grey(result)):
        out = Image.fromarray(np.ascontiguousarray(result[..., 0]), "L")
        return Image.merge("LA", (out, alpha)) if alpha is not None else out
    out = Image.fromarray(result, "RGB")
    if alpha is not None:
        out.putalpha(alpha)
    return out


def page_metadata(im, fmt, f):
    """What the output should carry over from the current page; read before the
    page is decoded, while Pillow still has the file open."""
    meta = {key: im.info[key] for key in ("icc_profile", "dpi", "exif", "xmp", "comment",
                                          "compression") if im.info.get(key)}
    if fmt == "TIFF":
        # Pillow keeps one EXIF object and one info dict for all pages of a TIFF,
        # and a key of an earlier page can linger in them, so each page's own
        # tags are copied out here.
        meta.pop("icc_profile", None)
        if im.tag_v2.get(34675):
            meta["icc_profile"] = bytes(im.tag_v2[34675])
        page = im.getexif()
        meta["tags"] = {tag: dict(page.get_ifd(tag)) if tag in (0x8769, 0x8825) else page[tag]
                        for tag in TIFF_TAGS.intersection(page)}
    elif fmt == "PNG":
        text = codec.png_text(im, f)
        if text:
            meta["text"] = dict(text)
    return meta


def save_options(meta, fmt, out, quality, lossless_webp, jp2=None):
    """Encoder options that carry the page's metadata over to `out`."""
    kw = {}
    icc = meta.get("icc_profile")
    # A profile must describe the colour space of the pixels it is stored with:
    # an RGB profile in a greyscale file makes the file invalid.
    if icc and icc[16:20] == (b"GRAY" if out.mode in ("L", "LA") else b"RGB "):
        kw["icc_profile"] = icc
    if fmt == "TIFF":
        kw["tiffinfo"] = meta["tags"]  # a dict value is written as a directory of its own
        compression = meta.get("compression", "raw")
        kw["compression"] = compression if compression in TIFF_COMPRESSIONS else "tiff_lzw"
        if kw["compression"] == "jpeg":
            kw["quality"] = quality
        return kw
    for key in ("dpi", "exif", "xmp", "comment"):
        if key in meta:
            kw[key] = meta[key]
    if fmt == "JPEG":
        kw["quality"] = quality
    elif fmt == "PNG" and "text" in meta:
        from PIL import PngImagePlugin
        png = PngImagePlugin.PngInfo()
        for key, value in meta["text"].items():
            png.add_text(key, value)
        kw["pnginfo"] = png
    elif fmt == "WEBP":
        if lossless_webp:
            kw.update(lossless=True, exact=True)
        else:
            kw["quality"] = quality
    elif fmt == "JPEG2000":
        # Written with the reversible wavelet (Pillow's default): a lossless
        # master stays lossless, and a lossy one loses nothing more.
        kw["no_jp2"] = jp2.codestream
        kw["jp2"] = jp2
    return kw


def webp_is_lossless(f):
    f.seek(0)
    head = f.read(1 << 16)
    f.seek(0)
    return head[12:16] == b"VP8L" or (head[12:16] == b"VP8X" and b"VP8L" in head[30:])


@dataclasses.dataclass
class Page:
    """One decided page: its row, and what to write for it."""
    row: Row
    rewrite: bool  # whether the file must be rewritten for this page
    out: object  # the Pillow image to store; None for a single page that is copied
    fmt: str
    options: dict


class ImageFile:
    """The pages of one open image file, decided one at a time."""

    def __init__(self, job, policy, params, im, f):
        self.job, self.policy, self.params, self.im = job, policy, params, im
        self.fmt = "JPEG" if im.format == "MPO" else im.format
        self.lossless_webp = self.fmt == "WEBP" and webp_is_lossless(f)
        self.jp2 = codec.jp2_source(f) if self.fmt == "JPEG2000" else None
        self.f = f

    def page(self, index, count):
        """Decides page `index` (from 0) of `count`."""
        t0 = time.perf_counter()
        im = self.im
        im.seek(index)
        try:
            check_size(im, self.policy.max_pixels)
            check_mode(im)
            meta = page_metadata(im, im.format, self.f)
            rgb, alpha, stored_mode = codec.page_pixels(im, self.f)
            decision = decide(rgb, self.params)
            if self.policy.review:
                decision.details["thumbs"] = thumbnails(rgb, decision)
            del rgb
            lossless = (self.fmt in LOSSLESS and meta.get("compression") not in ("jpeg",
                                                                                 "tiff_jpeg")
                        or self.fmt == "JPEG2000" and self.jp2.reversible)
            # A grey page stored as RGB is rewritten in greyscale only where
            # that loses nothing; a colour page alone never makes a file rewritten.
            rewrite = decision.verdict == Verdict.FIXED or (
                decision.verdict == Verdict.GREY and stored_mode not in GREY_MODES
                and not self.policy.keep_rgb and lossless)
            # A single page that is copied is never encoded: no image is made for it.
            out = result_image(decision.result, alpha, stored_mode, self.policy.keep_rgb,
                               decision.grey) if rewrite or count > 1 else None
        except FileError as e:
            # One page that cannot be done leaves the whole file as it is.
            raise FileError(f"page {index + 1}: {e}" if count > 1 else str(e)) from None
        options = {}
        if out is not None:
            if self.fmt == "WEBP" and out.mode in ("L", "LA"):
                out = out.convert("RGBA" if alpha is not None else "RGB")  # no grey WebP
            elif self.fmt == "BMP" and out.mode == "LA":
                out = out.convert("RGBA")
            options = save_options(meta, self.fmt, out, self.policy.quality, self.lossless_webp,
                                   self.jp2)
        row = page_row(self.job, index + 1, im.width, im.height, decision,
                       time.perf_counter() - t0)
        return Page(row, rewrite, out, self.fmt, options)


def page_row(job, number, width, height, decision: Decision, seconds):
    return Row(str(job.source), number, width, height, decision.verdict, str(job.dest), seconds,
               reason=decision.reason, **decision.details)


def process_image(job, policy, params):
    """Decides every page of one image file and writes its result; returns its rows."""
    policy.check_destination(job.dest, job.source)
    with open_regular(job.source) as (f, identity), open_image(f) as im:
        check_scans(im, f)
        count = page_count(im, f, policy.max_pages)
        pages = ImageFile(job, policy, params, im, f)
        if policy.dry_run:
            return [pages.page(i, count).row for i in range(count)]
        t0 = time.perf_counter()
        write = Writer(job, policy, f, identity)
        if count == 1:
            page = pages.page(0, count)
            rows = [page.row]
            t0 = time.perf_counter()
            write.result(encode(page)) if page.rewrite else write.copy()
        else:
            rows = []
            try:
                write.streamed(lambda out: write_pages(pages, count, out, rows))
            except NothingChanged:
                t0 = time.perf_counter()
                write.copy()
    share = (time.perf_counter() - t0) / len(rows)
    for row in rows:
        row.seconds += share
    return rows


class Writer:
    """Puts one file's result in place: a rewrite, or a copy of the very bytes read."""

    def __init__(self, job, policy, f, identity):
        self.job, self.policy, self.f, self.identity = job, policy, f, identity

    def _write(self, fill, keep_times=False):
        in_place = self.policy.in_place
        write_atomic(self.job.dest, fill, like=self.job.source, replace=self.policy.replaces,
                     keep_times=keep_times, expect=self.identity if in_place else None,
                     backup=self.policy.backup_of(self.job))

    def result(self, data):
        self._write(lambda out: out.write(data))

    def streamed(self, fill):
        self._write(fill)

    def copy(self):
        if same_file(self.job.source, self.job.dest):
            return  # in place, and nothing changes: not even rewritten

        def fill(out):
            self.f.seek(0)
            shutil.copyfileobj(self.f, out, 1 << 20)
        self._write(fill, keep_times=True)


def encode(page):
    """The page's file, encoded in memory: what is written is then checked
    against its length."""
    return codec.encode(page.out, page.fmt, page.options)


def write_pages(pages, count, out, rows):
    """Decides and writes the pages one by one into `out`; raises NothingChanged
    when no page needs the file rewritten."""
    from PIL import TiffImagePlugin
    codec.quiet_libtiff()
    rewrite = False
    # Pillow's writer finishes its last page when it is closed, which it does
    # again when collected (it never counts as closed), by then perhaps on a
    # closed file: it is finished here, while `out` is open, and marked closed.
    tf = TiffImagePlugin.AppendingTiffWriter(out)
    try:
        for index in range(count):
            page = pages.page(index, count)
            rows.append(page.row)
            rewrite |= page.rewrite
            # Each page keeps its own resolution, profile and tags.
            page.out.save(tf, format="TIFF", **page.options)
            tf.newFrame()
            del page
        tf.close()
    except BaseException:
        with contextlib.suppress(Exception):  # a half-written page: the file is dropped
            tf.close()
        raise
    finally:
        io.BytesIO.close(tf)
    if not rewrite:
        raise NothingChanged

"""Image files: reading them page by page, and writing results with their metadata."""

from __future__ import annotations

import time

import numpy as np

from .decision import FIXED, GREY, decide, is_grey
from .fileio import ImageError, copy_bytes, same_file, write_atomic
from .report import Row

FORMATS = {"PNG", "JPEG", "MPO", "TIFF", "BMP", "WEBP"}
EXTENSIONS = {".png", ".jpg", ".jpeg", ".jpe", ".tif", ".tiff", ".bmp", ".webp"}
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


def open_image(path):
    from PIL import Image
    # The size is checked page by page against --max-pixels (check_size);
    # Pillow's own check would warn or fail on its fixed limit instead.
    Image.MAX_IMAGE_PIXELS = None
    try:
        im = Image.open(path)
    except Image.UnidentifiedImageError:
        raise ImageError("not an image file Pillow can read") from None
    if im.format not in FORMATS:
        im.close()
        raise ImageError(f"unsupported format {im.format}")
    return im


def check_size(im, limit):
    pixels = im.width * im.height
    if pixels > limit:
        raise ImageError(f"{im.width}x{im.height} is {pixels} pixels, more than the limit of "
                         f"{limit} (a decompression bomb?); --max-pixels raises the limit")


def check_mode(im):
    """Refuses, before decoding, what cannot go through an 8-bit RGB fix exactly."""
    mode = im.mode
    if mode in ("I;16", "I;16L", "I;16B", "I;16N", "I", "F"):
        raise ImageError(f"{mode} images are not supported: the level fix works on 8-bit "
                         "channels, and reducing them to 8 bits would lose precision")
    if mode not in GREY_MODES and mode not in COLOUR_MODES:
        raise ImageError(f"images of mode {mode} are not supported")
    # Pillow reads 16-bit RGB as 8-bit RGB; writing that back would lose precision.
    for tile in getattr(im, "tile", None) or ():
        args = tile[3]
        rawmode = args if isinstance(args, str) else (args[0] if args else "")
        if isinstance(rawmode, str) and (";16" in rawmode or ";32" in rawmode):
            raise ImageError("16-bit channels are not supported: the level fix works on "
                             "8-bit channels, and reducing them to 8 bits would lose precision")


def split_page(im):
    """The page as an (H, W, 3) uint8 array and its alpha channel (or None)."""
    mode = im.mode
    if mode in ("P", "PA"):
        im = im.convert("RGBA" if mode == "PA" or "transparency" in im.info else "RGB")
    elif mode == "1":
        im = im.convert("L")
    elif mode in ("L", "RGB") and im.info.get("transparency") is not None:
        # A transparent colour key would no longer match once the levels move,
        # so the key becomes an alpha channel.
        im = im.convert("LA" if mode == "L" else "RGBA")
    alpha = im.getchannel("A") if im.mode in ("RGBA", "LA") else None
    return np.asarray(im.convert("RGB")), alpha


def fix_page(im, params):
    """Returns (decision, alpha) for the current, loaded page of `im`."""
    rgb, alpha = split_page(im)
    return decide(rgb, params), alpha


def result_image(result, alpha, stored_mode, keep_rgb):
    from PIL import Image
    if stored_mode == "1":
        # A bilevel page stays bilevel: 8 bits would make it eight times larger.
        values = np.unique(result[..., 0])
        if not set(values.tolist()) <= {0, 255}:
            raise ImageError("the fixed 1-bit page would need grey levels")
        return Image.fromarray(np.ascontiguousarray(result[..., 0])).convert("1", dither=None)
    stored_grey = stored_mode in GREY_MODES
    if is_grey(result) and (stored_grey or not keep_rgb):
        out = Image.fromarray(np.ascontiguousarray(result[..., 0]), "L")
        return Image.merge("LA", (out, alpha)) if alpha is not None else out
    out = Image.fromarray(result, "RGB")
    if alpha is not None:
        out.putalpha(alpha)
    return out


def page_metadata(im, fmt):
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
    elif fmt == "PNG" and getattr(im, "text", None):
        meta["text"] = dict(im.text)
    return meta


def save_options(meta, fmt, out, quality, lossless_webp):
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
    return kw


def webp_is_lossless(path):
    with open(path, "rb") as f:
        head = f.read(1 << 16)
    return head[12:16] == b"VP8L" or (head[12:16] == b"VP8X" and b"VP8L" in head[30:])


def process_image(job, policy, params):
    """Decides every page of one image file and writes its result; returns its rows."""
    policy.check_destination(job.dest, job.source)
    rows, pages, rewrite = [], [], False
    with open_image(job.source) as im:
        fmt = "JPEG" if im.format == "MPO" else im.format
        count = getattr(im, "n_frames", 1)
        if count > 1 and fmt != "TIFF":
            raise ImageError(f"files of {count} frames are not supported in {im.format}")
        lossless_webp = fmt == "WEBP" and webp_is_lossless(job.source)
        for index in range(count):
            t0 = time.perf_counter()
            im.seek(index)
            try:
                decision, alpha, meta, stored_mode = read_page(im, params, policy)
                lossless = fmt in LOSSLESS and meta.get("compression") not in ("jpeg", "tiff_jpeg")
                verdict = decision.verdict
                # A grey page stored as RGB is rewritten in greyscale only where
                # that loses nothing; a colour page alone never makes a file rewritten.
                rewrite |= verdict == FIXED or (verdict == GREY and stored_mode not in GREY_MODES
                                                and not policy.keep_rgb and lossless)
                out = result_image(decision.result, alpha, stored_mode, policy.keep_rgb)
            except ImageError as e:
                # One page that cannot be done leaves the whole file as it is.
                raise ImageError(f"page {index + 1}: {e}" if count > 1 else str(e)) from None
            if fmt == "WEBP" and out.mode in ("L", "LA"):
                out = out.convert("RGBA" if alpha is not None else "RGB")  # no grey WebP
            elif fmt == "BMP" and out.mode == "LA":
                out = out.convert("RGBA")
            pages.append((out, save_options(meta, fmt, out, policy.quality, lossless_webp)))
            rows.append(Row(str(job.source), index + 1, im.width, im.height, verdict,
                            str(job.dest), time.perf_counter() - t0, reason=decision.reason,
                            **decision.details))
    t0 = time.perf_counter()
    if policy.dry_run:
        pass
    elif rewrite:
        write_atomic(job.dest, lambda f: encode(f, fmt, pages), job.source, policy.replaces)
    elif not same_file(job.source, job.dest):
        write_atomic(job.dest, lambda f: copy_bytes(job.source, f), job.source, policy.replaces,
                     keep_times=True)
    share = (time.perf_counter() - t0) / len(rows)
    for row in rows:
        row.seconds += share
    return rows


def read_page(im, params, policy):
    """Checks, decodes and decides the current page: (decision, alpha, metadata, mode)."""
    check_size(im, policy.max_pixels)
    check_mode(im)
    meta = page_metadata(im, im.format)
    try:
        im.load()
    except OSError as e:
        raise ImageError(f"cannot read {e}") from None
    stored_mode = im.mode
    decision, alpha = fix_page(im, params)
    return decision, alpha, meta, stored_mode


def encode(f, fmt, pages):
    if len(pages) == 1:
        out, kw = pages[0]
        out.save(f, format=fmt, **kw)
        return
    from PIL import TiffImagePlugin
    # Each page keeps its own resolution, profile and tags.
    with TiffImagePlugin.AppendingTiffWriter(f) as tf:
        for out, kw in pages:
            out.save(tf, format="TIFF", **kw)
            tf.newFrame()

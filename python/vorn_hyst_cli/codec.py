"""Encoding and decoding: image files, PDF page images and the demo's pictures.

Pillow reads every file's header, size, mode and metadata, and writes every
format. Where imagecodecs is installed (it has no wheel for some platforms),
the calls that dominate a run go through it instead, each only where its
result is exactly Pillow's:

* decoding plain 8-bit RGB and greyscale PNG and JPEG, and single-page
  TIFF, into NumPy (about twice as fast on RGB PNGs; decoded straight into
  the array; TIFFs, which Pillow decodes holding the interpreter lock, in
  parallel);
* writing a greyscale PNG: the rows unfiltered and deflated by libdeflate at
  level 1, framed by the very chunks Pillow writes for the same options.
  Pillow filters every row adaptively and deflates at level 6: on a fixed
  page (white paper with a grey speckle) that is 17 times slower and a few
  percent larger. An image that filtering suits (a grey photo) stays with Pillow;
* Flate for PDF page images, by libdeflate at level 6 (5 times as fast as
  zlib's, and a little smaller).

Anything else (1-bit, alpha, palette, JPEG, TIFF, WebP, BMP, JPEG 2000
output, grey JPEG for PDFs) is Pillow's, as it is without imagecodecs or with
VORN_HYST_CODEC=pillow. Both ways write the same pixels.
"""

from __future__ import annotations

import ctypes
import dataclasses
import functools
import io
import os
import struct
import sys
import zlib

import numpy as np

from . import _analysis, deps
from .outcome import FileError

ENVIRONMENT = "VORN_HYST_CODEC"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# libdeflate's levels: 1 for a PNG (framed unfiltered rows, smaller than
# Pillow's level 6 already), 6 for PDF images, whose baseline is zlib's own 6.
PNG_LEVEL = 1
PNG_ZLIB_LEVEL = 1
FLATE_LEVEL = 6
IDAT_SIZE = 1 << 20
# A file read whole for decoding may exceed its raw pixels by this much
# (metadata, profiles); a larger one is left to Pillow, which streams it.
SLACK = 16 << 20
JPEG_END = b"\xff\xd9"


def backend():
    """imagecodecs, or None where Pillow does all the coding."""
    if os.environ.get(ENVIRONMENT, "").strip().lower() == "pillow":
        return None
    return deps.imagecodecs()


def name():
    return "imagecodecs" if backend() is not None else "Pillow"


# ---- decoding ------------------------------------------------------------------------

def load(im):
    """Pillow's decode of the current page, a damaged one refused."""
    if im.format == "TIFF":
        quiet_libtiff()
    try:
        im.load()
    except OSError as e:
        raise FileError(f"damaged image data ({e})") from None


def page_pixels(im, f):
    """The current page as an (H, W, 3) uint8 array, its alpha channel (or
    None) and the mode it is stored in. `f` is the file Pillow reads."""
    stored = im.mode
    pixels = fast_pixels(im, lambda limit: read_at_most(f, limit))
    if pixels is not None:
        return rgb_of(pixels), None, stored
    load(im)
    rgb, alpha = split_page(im)
    return rgb, alpha, im.mode


def pixels(im, data):
    """The RGB pixels of an image opened on the bytes `data` (PDF images);
    Pillow's errors for damaged data are the caller's."""
    fast = fast_pixels(im, lambda limit: data if len(data) <= limit else None)
    if fast is not None:
        return fast
    im.load()
    return rgb_array(im)


def fast_pixels(im, read):
    """The page decoded by imagecodecs, in Pillow's layout for its mode, or
    None where that would not be exactly Pillow's result or cannot be done."""
    codecs = backend()
    if codecs is None or im.format not in ("PNG", "JPEG", "TIFF") \
            or im.mode not in ("L", "RGB"):
        return None
    # A colour key; APNG; a frame control before the image (Pillow decodes its box only).
    if "transparency" in im.info or "default_image" in im.info or "bbox" in im.info:
        return None
    if im.format == "TIFF" and not plain_tiff(im):
        return None
    channels = 3 if im.mode == "RGB" else 1
    data = read(im.width * im.height * channels + SLACK)
    if data is None:
        return None
    if im.format == "JPEG":
        # libjpeg fills a truncated image with grey and only warns, where
        # Pillow refuses it: a complete file ends with its end marker. And
        # libjpeg's other lines (IJG's 7 and later) upsample colour otherwise.
        if not bytes(data[-64:]).rstrip(b"\0\r\n\t ").endswith(JPEG_END) \
                or not pillow_has_libjpeg_turbo():
            return None
        decode = codecs.jpeg8_decode
    elif im.format == "TIFF":
        decode = codecs.tiff_decode
    else:
        out = png_pixels(codecs, data, im.width, im.height, channels)
        if out is not None:
            return out
        decode = codecs.png_decode  # what png_pixels leaves, damage included
    try:
        out = decode(data)
    except Exception:  # damaged: Pillow decides how, with its own message
        return None
    if out.dtype != np.uint8:
        return None
    if channels == 1 and out.ndim == 3 and out.shape[2] == 1:
        out = out[..., 0]
    want = (im.height, im.width) + ((3,) if channels == 3 else ())
    return out if out.shape == want else None


def png_pixels(codecs, data, width, height, channels):
    """An 8-bit grey or RGB PNG that is not interlaced, inflated by libdeflate
    and its row filters undone in place by the module's C++; None for any other PNG,
    and for one that does not inflate to exactly its rows. libpng inflates
    with zlib, half as fast again, and checks nothing more of the pixels
    (the zlib stream's checksum covers them; Pillow skips the chunks' CRCs)."""
    idat = png_image_data(memoryview(data), width, height, channels)
    if idat is None:
        return None
    row_bytes = width * channels
    rows = np.empty(height * (row_bytes + 1), np.uint8)
    try:
        inflated = codecs.deflate_decode(idat, out=rows)
    except Exception:
        return None
    del idat
    if len(inflated) != len(rows) or not _analysis.unfilter(rows, height, row_bytes, channels):
        return None
    shape = (height, width, 3) if channels == 3 else (height, width)
    return rows[:height * row_bytes].reshape(shape)


def png_image_data(view, width, height, channels):
    """The image data of a PNG whose one header says 8-bit grey (`channels` 1)
    or RGB (3), `width` by `height`, not interlaced: its IDAT chunks, which
    must follow each other, joined (a view of the one chunk); None otherwise."""
    if bytes(view[:8]) != PNG_SIGNATURE or len(view) < 33:
        return None
    colour_type = 2 if channels == 3 else 0
    length, kind = struct.unpack_from(">I4s", view, 8)
    if kind != b"IHDR" or length != 13 or struct.unpack_from(">IIBBBBB", view, 16) != (
            width, height, 8, colour_type, 0, 0, 0):
        return None
    parts = []
    pos = 8
    while pos + 12 <= len(view):
        length, kind = struct.unpack_from(">I4s", view, pos)
        if pos + 12 + length > len(view):
            return None
        if kind == b"IHDR" and pos != 8:
            return None  # a second header: Pillow reads the last one, libpng refuses
        if kind == b"IDAT":
            if parts and parts[-1][0] != pos:
                return None  # image data in pieces with other chunks between
            parts.append((pos + 12 + length, view[pos + 8:pos + 8 + length]))
        elif kind == b"IEND":
            break
        pos += 12 + length
    if not parts:
        return None
    return b"".join(part for _, part in parts) if len(parts) > 1 else parts[0][1]


# TIFF pages imagecodecs' libtiff reads exactly as Pillow does: one page of
# 8-bit samples, interleaved, black is zero, no extra channels, compressed
# losslessly. Pillow holds the interpreter lock through its libtiff decode,
# imagecodecs does not: TIFFs decode in parallel.
TIFF_COMPRESSIONS = {"raw", "tiff_lzw", "tiff_adobe_deflate", "tiff_deflate", "packbits"}


def plain_tiff(im):
    tags = im.tag_v2
    channels = 3 if im.mode == "RGB" else 1
    bits = tags.get(258, (1,))
    return (getattr(im, "n_frames", 1) == 1
            and im.info.get("compression", "raw") in TIFF_COMPRESSIONS
            and tags.get(262) == (2 if channels == 3 else 1)
            and tags.get(277, 1) == channels
            and tuple(bits if isinstance(bits, tuple) else (bits,)) == (8,) * channels
            and tags.get(284, 1) == 1
            and 338 not in tags)


@functools.cache
def pillow_has_libjpeg_turbo():
    from PIL import features
    return bool(features.check_feature("libjpeg_turbo"))


def png_text(im, f):
    """The text chunks of the PNG open as `im` on `f`, exactly as Pillow's
    `im.text` gives them. Pillow decodes the whole image to reach text after
    the image data; where imagecodecs will decode it, Pillow's own chunk reader
    walks the file instead, stepping over the image data. A file it cannot
    walk (damaged, animated) is left to `im.text`, errors and all."""
    if backend() is None or getattr(im, "is_animated", False):
        return im.text
    from PIL import PngImagePlugin
    at = f.tell()
    try:
        f.seek(len(PNG_SIGNATURE))
        stream = PngImagePlugin.PngStream(f)
        while True:
            kind, start, length = stream.read()
            if kind == b"IEND":
                return stream.im_text
            if kind in (b"tEXt", b"zTXt", b"iTXt"):
                stream.call(kind, start, length)
            f.seek(start + length + 4)  # past the data and its CRC
    except (EOFError, OSError, SyntaxError, struct.error, UnicodeDecodeError, ValueError):
        pass
    finally:
        f.seek(at)
    return im.text


def read_at_most(f, limit):
    f.seek(0)
    data = f.read(limit + 1)
    f.seek(0)
    return data if len(data) <= limit else None


def rgb_of(pixels):
    if pixels.ndim == 3:
        return pixels
    rgb = np.empty(pixels.shape + (3,), np.uint8)
    rgb[...] = pixels[..., None]
    return rgb


def split_page(im):
    """The decoded page as an (H, W, 3) uint8 array and its alpha channel (or None)."""
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
    return rgb_array(im), alpha


# Rows converted at a time into the page's array.
BAND_BYTES = 4 << 20


def rgb_array(im):
    """The decoded page as a new (H, W, 3) uint8 array, filled a band of rows
    at a time: converting the whole page first, and NumPy's reading of it
    through tobytes(), would each hold a copy of the page beside it."""
    width, height = im.size
    out = np.empty((height, width, 3), np.uint8)
    step = max(1, BAND_BYTES // max(1, 4 * width))
    for top in range(0, height, step):
        band = im.crop((0, top, width, min(height, top + step)))
        out[top:top + step] = np.asarray(band if band.mode == "RGB" else band.convert("RGB"))
    return out


def read_rgb(path):
    """An image file's first page as RGB."""
    Image = deps.pillow()
    with open(path, "rb") as f, Image.open(f) as im:
        rgb, _, _ = page_pixels(im, f)
    return rgb


# ---- encoding ------------------------------------------------------------------------

def encode(image, fmt, options):
    """The Pillow image `image` as a file of format `fmt`, with the metadata
    that Pillow's save `options` carry."""
    options = dict(options)
    source = options.pop("jp2", None)
    if fmt == "PNG" and image.mode == "L":
        data = grey_png(image, options)
        if data is not None:
            return data
    if fmt == "TIFF":
        quiet_libtiff()
    out = io.BytesIO()
    image.save(out, format=fmt, **options)
    data = out.getvalue()
    if fmt == "JPEG2000" and source is not None:
        data = source.carry_to(data, image.mode)
    return data


def grey_png(image, options):
    """The PNG of a greyscale image, unfiltered and deflated fast (libdeflate,
    else zlib at level 1), with the chunks Pillow writes for `options`; None
    where that would not pay. Pillow's own writer tries a filter per row and
    deflates at level 6: eight times the time for one per cent on a page."""
    pixels = np.asarray(image)
    height, width = pixels.shape
    if not unfiltered_pays(pixels):
        return None
    from PIL import PngImagePlugin
    Image = deps.pillow()
    # What Pillow writes around the pixels of a page with these options, taken
    # from its own writer on one pixel: the chunks before the image data
    # (profile, text, resolution, EXIF) and after it.
    chunks = PngImagePlugin.getchunks(Image.new("L", (1, 1)), **options)
    kinds = [kind for kind, _, _ in chunks]
    first, last = kinds.index(b"IDAT"), len(kinds) - 1 - kinds[::-1].index(b"IDAT")
    framed = [struct.pack(">I", len(data)) + kind + data + crc for kind, data, crc in chunks]
    rows = np.empty((height, width + 1), np.uint8)
    rows[:, 0] = 0  # filter type None on every row
    rows[:, 1:] = pixels
    deflated = memoryview(png_deflate(rows))
    del rows
    idat = [png_chunk(b"IDAT", deflated[i:i + IDAT_SIZE])
            for i in range(0, max(len(deflated), 1), IDAT_SIZE)]
    header = png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    return b"".join([PNG_SIGNATURE, header, *framed[1:first], *idat, *framed[last + 1:]])


def png_deflate(rows):
    codecs = backend()
    if codecs is None:
        return zlib.compress(rows, PNG_ZLIB_LEVEL)  # releases the interpreter lock as well
    return codecs.deflate_encode(rows, level=PNG_LEVEL)


def unfiltered_pays(pixels):
    """Whether unfiltered rows deflate at least as well as rows filtered with
    Sub or Up, on a sample of bands across the image: true of fixed pages
    (runs of white), false of continuous tones, which Pillow's filtering suits."""
    height = pixels.shape[0]
    band = 8
    step = max(band, height // 8)
    bands = np.stack([pixels[top:top + band] for top in range(0, height - band + 1, step)]) \
        if height >= band else pixels[None]
    sub = bands.copy()
    sub[..., 1:] -= bands[..., :-1]
    up = bands.copy()
    up[:, 1:] -= bands[:, :-1]

    def size(rows):
        return len(png_deflate(np.ascontiguousarray(rows)))
    return size(bands) <= min(size(sub), size(up))


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + bytes(data)
            + struct.pack(">I", zlib.crc32(data, zlib.crc32(kind))))


def flate(pixels):
    """A PDF image's samples, Flate-compressed."""
    codecs = backend()
    if codecs is None:
        return zlib.compress(pixels)
    return bytes(codecs.deflate_encode(pixels, level=FLATE_LEVEL))


def pdf_jpeg(pixels, quality):
    """A PDF image's samples as JPEG: Pillow with optimised Huffman tables
    (the other libraries write the same bytes in the same time)."""
    Image = deps.pillow()
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, format="JPEG", quality=quality, optimize=True)
    return out.getvalue()


# ---- JPEG 2000 ------------------------------------------------------------------------

# Top-level boxes carried to a rewritten JP2: XMP, EXIF and IPTC live in
# uuid boxes, other XML in xml boxes.
JP2_METADATA = (b"uuid", b"xml ")
JP2_SIGNATURE = b"\x00\x00\x00\x0cjP  \r\n\x87\n"
J2K_START = b"\xff\x4f\xff\x51"  # a bare codestream's SOC, then its SIZ segment
# The largest metadata box read; a larger one is not carried.
JP2_BOX_LIMIT = 16 << 20


@dataclasses.dataclass
class Jp2Source:
    """What a JPEG 2000 file's rewrite keeps from it, read before decoding."""
    codestream: bool = False  # a bare codestream (.j2k), no JP2 boxes
    reversible: bool = False  # its wavelet is the reversible 5/3: a lossless master
    resolution: bytes = b""  # the 'res ' box, whole
    colour: bytes = b""  # a 'colr' box holding an ICC profile, whole
    icc_space: bytes = b""  # that profile's colour space
    metadata: list = dataclasses.field(default_factory=list)  # top-level boxes, whole

    def carry_to(self, data, mode):
        """Pillow's JP2 `data` with the source's resolution, profile (where it
        describes `mode`'s colour space) and metadata boxes."""
        if self.codestream or not data.startswith(JP2_SIGNATURE):
            return data
        out, header_seen = [], False
        for kind, start, end, head in jp2_boxes(data):
            box = data[start:end]
            if kind == b"jp2h" and not header_seen:
                header_seen = True
                inner = []
                for sub, s, e, _ in jp2_boxes(data, start + head, end):
                    if sub == b"colr" and self.colour and self.icc_space == (
                            b"GRAY" if mode in ("L", "LA") else b"RGB "):
                        inner.append(self.colour)
                    elif sub != b"res ":
                        inner.append(data[s:e])
                inner.append(self.resolution)
                content = b"".join(inner)
                box = struct.pack(">I", 8 + len(content)) + b"jp2h" + content
            elif kind == b"jp2c":
                out.extend(self.metadata)
            out.append(box)
        return b"".join(out)


def jp2_box_at(data, pos, end):
    """(type, length, header length) of the box at data[pos], which may reach
    `end`; None where its header is cut short or its length is impossible."""
    room = min(len(data), end)
    if pos + 8 > room:
        return None
    length, kind = struct.unpack_from(">I4s", data, pos)
    head = 8
    if length == 1:
        if pos + 16 > room:
            return None
        length, head = struct.unpack_from(">Q", data, pos + 8)[0], 16
    elif length == 0:  # to the end
        length = end - pos
    return (kind, length, head) if head <= length <= end - pos else None


def jp2_boxes(data, start=0, end=None):
    """(type, start, end, header length) of each box in data[start:end]."""
    end = len(data) if end is None else end
    pos = start
    while (box := jp2_box_at(data, pos, end)) is not None:
        kind, length, head = box
        yield kind, pos, pos + length, head
        pos += length


def jp2_source(f):
    """Reads what a rewrite keeps of a JPEG 2000 file, box by box, without
    its codestream beyond the main header."""
    source = Jp2Source()
    f.seek(0)
    head = f.read(12)
    if head.startswith(J2K_START):
        source.codestream = True
        source.reversible = reversible(f, 0)
        f.seek(0)
        return source
    pos = 0
    f.seek(0, os.SEEK_END)
    size = f.tell()
    while True:
        f.seek(pos)
        found = jp2_box_at(f.read(16), 0, size - pos)
        if found is None:
            break
        kind, length, head_length = found
        if kind == b"jp2c":
            source.reversible = reversible(f, pos + head_length)
        elif kind in JP2_METADATA + (b"jp2h",) and length <= JP2_BOX_LIMIT:
            f.seek(pos)
            box = f.read(length)
            if kind == b"jp2h":
                read_jp2_header(source, box, head_length)
            else:
                source.metadata.append(box)
        pos += length
    f.seek(0)
    return source


def read_jp2_header(source, box, head):
    for kind, start, end, sub_head in jp2_boxes(box, head):
        if kind == b"res ":
            source.resolution = box[start:end]
        elif kind == b"colr" and box[start + sub_head:start + sub_head + 1] in (b"\x02", b"\x03"):
            profile = box[start + sub_head + 3:end]
            source.colour, source.icc_space = box[start:end], profile[16:20]


def reversible(f, offset):
    """Whether the codestream at `offset` uses the reversible 5/3 wavelet
    (its COD marker segment in the main header says so)."""
    f.seek(offset)
    header = f.read(1 << 16)
    pos = 2  # after SOC
    while pos + 4 <= len(header):
        marker, length = struct.unpack_from(">HH", header, pos)
        if marker == 0xFF52:  # COD
            return header[pos + 4 + 9:pos + 4 + 10] == b"\x01"
        if marker == 0xFF90 or length < 2:  # the first tile: no COD in the main header
            return False
        pos += 2 + length
    return False


# ---- libtiff's own messages ------------------------------------------------------------

@functools.cache
def quiet_libtiff():
    """Stops libtiff from printing its warnings and errors on the terminal
    itself, unattributed ("tempfile.tif: ..."): Pillow turns the damage into
    an error of its own, which the file's one line reports. Done where the
    libtiff that Pillow loaded can be found (Linux, macOS; Windows' Pillow
    has it linked in)."""
    deps.pillow()
    for path in loaded_libraries("libtiff"):
        try:
            lib = ctypes.CDLL(path)
            for setter in ("TIFFSetWarningHandler", "TIFFSetErrorHandler"):
                function = getattr(lib, setter)
                function.argtypes, function.restype = [ctypes.c_void_p], ctypes.c_void_p
                function(None)
        except (OSError, AttributeError):
            continue


def loaded_libraries(stem):
    """Paths of the shared libraries of this process whose names start with `stem`."""
    paths = set()
    try:
        if sys.platform.startswith("linux"):
            with open("/proc/self/maps") as maps:
                for line in maps:
                    fields = line.split(None, 5)
                    path = fields[5].strip() if len(fields) == 6 else ""
                    if os.path.basename(path).startswith(stem):
                        paths.add(path)
        elif sys.platform == "darwin":
            dyld = ctypes.CDLL(None)
            dyld._dyld_get_image_name.restype = ctypes.c_char_p
            dyld._dyld_get_image_name.argtypes = [ctypes.c_uint32]
            for index in range(dyld._dyld_image_count()):
                path = os.fsdecode(dyld._dyld_get_image_name(index) or b"")
                if os.path.basename(path).startswith(stem):
                    paths.add(path)
    except (OSError, AttributeError):
        pass
    return sorted(paths)

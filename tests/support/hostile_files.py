"""Hostile files: small files that claim gigabytes or hours of work. The
test suite's cases and bench/hostile.py's measures are made by these."""

from __future__ import annotations

import io
import struct
import zlib

import numpy as np


def flate_of_zeros(total, chunk=1 << 20):
    """Flate data that inflates to `total` zero bytes, built without holding them."""
    z = zlib.compressobj(9)
    zeros = bytes(chunk)
    parts = [z.compress(zeros) for _ in range(total // chunk)]
    return b"".join(parts) + z.compress(bytes(total % chunk)) + z.flush()


def pdf_predictor_bomb(path, columns=1_000_000_000):
    """A 100 x 100 RGB image whose /DecodeParms claim rows of `columns` pixels."""
    import pikepdf
    pdf = pikepdf.new()
    data = zlib.compress(bytes(100 * 101 * 3))
    image = pikepdf.Stream(pdf, data, Type=pikepdf.Name.XObject, Subtype=pikepdf.Name.Image,
                           Width=100, Height=100, ColorSpace=pikepdf.Name.DeviceRGB,
                           BitsPerComponent=8, Filter=pikepdf.Name.FlateDecode,
                           DecodeParms=pikepdf.Dictionary(Predictor=15, Colors=3,
                                                          BitsPerComponent=8, Columns=columns))
    add_image_page(pdf, image)
    pdf.save(path)


def pdf_profile_bomb(path, inflated=2 << 30):
    """An RGB image whose ICC profile stream inflates to `inflated` bytes."""
    import pikepdf
    pdf = pikepdf.new()
    header = bytearray(128)
    header[16:20] = b"RGB "
    z = zlib.compressobj(9)
    profile = z.compress(bytes(header))
    chunk = bytes(1 << 20)
    profile += b"".join(z.compress(chunk) for _ in range(inflated >> 20)) + z.flush()
    icc = pikepdf.Stream(pdf, profile, N=3, Filter=pikepdf.Name.FlateDecode)
    rgb = np.full((64, 64, 3), 200, np.uint8)
    rgb[20:40] = 40
    image = pikepdf.Stream(pdf, zlib.compress(rgb.tobytes()), Type=pikepdf.Name.XObject,
                           Subtype=pikepdf.Name.Image, Width=64, Height=64,
                           ColorSpace=pikepdf.Array([pikepdf.Name.ICCBased, icc]),
                           BitsPerComponent=8, Filter=pikepdf.Name.FlateDecode)
    add_image_page(pdf, image)
    pdf.save(path)


def add_image_page(pdf, image):
    import pikepdf
    pdf.add_blank_page(page_size=(100, 100))
    page = pdf.pages[-1]
    page.Resources = pikepdf.Dictionary(XObject=pikepdf.Dictionary(Im0=image))
    page.Contents = pdf.make_stream(b"q 100 0 0 100 0 0 cm /Im0 Do Q")


def tiff_of_pages(path, pages, width, height):
    """A multi-page TIFF of large, Deflate-compressed, nearly empty scans:
    kilobytes on disk, gigabytes once decoded together."""
    from PIL import Image, TiffImagePlugin
    page = np.full((height, width, 3), (222, 210, 180), np.uint8)
    page[height // 3: height // 2, width // 8: width * 7 // 8] = (40, 38, 36)
    im = Image.fromarray(page)
    with TiffImagePlugin.AppendingTiffWriter(str(path), True) as tf:
        for _ in range(pages):
            im.save(tf, format="TIFF", compression="tiff_adobe_deflate")
            tf.newFrame()


def tiff_of_empty_pages(path, pages):
    """`pages` 1 x 1 pixel pages, written directly: a few bytes per page."""
    entries = [(256, 3, 1, 1), (257, 3, 1, 1), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1),
               (273, 4, 1, 8), (277, 3, 1, 1), (278, 3, 1, 1), (279, 4, 1, 1)]
    ifd_size = 2 + 12 * len(entries) + 4
    out = bytearray(b"II*\0" + struct.pack("<I", 9) + b"\x80")
    for i in range(pages):
        start = len(out)
        following = start + ifd_size if i + 1 < pages else 0
        out += struct.pack("<H", len(entries))
        for tag, kind, count, value in entries:
            out += struct.pack("<HHI", tag, kind, count) + struct.pack("<I", value)
        out += struct.pack("<I", following)
    path.write_bytes(bytes(out))


def jpeg_of_scans(path, scans=5000, size=2048):
    """A progressive JPEG of a noisy page whose second scan (the first of the
    luma's AC coefficients: short, but a pass over every block) is repeated
    `scans` times."""
    from PIL import Image
    rng = np.random.default_rng(0)
    page = np.full((size, size, 3), 200.0)
    page[size // 3: size // 2] = 40
    page = np.clip(page + rng.normal(0, 2, page.shape), 0, 255).astype(np.uint8)
    buf = io.BytesIO()
    Image.fromarray(page).save(buf, format="JPEG", progressive=True, quality=90)
    data = buf.getvalue()
    starts = [i for i in range(len(data) - 1) if data[i:i + 2] == b"\xff\xda"]
    end = len(data) - 2  # the end-of-image marker
    scan = data[starts[1]:starts[2]]
    path.write_bytes(data[:end] + scan * scans + data[end:])

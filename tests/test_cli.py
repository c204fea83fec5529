"""The vorn-hyst command line, end to end on folders of generated images."""

import contextlib
import csv
import functools
import io
import json
import os
import signal
import struct
import subprocess
import sys
import threading
import time
import zlib
from pathlib import Path
from typing import Callable

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")

import hostile_files as hostile  # noqa: E402
import vorn_hyst  # noqa: E402
from vorn_hyst_cli import batch as batch_module, budget, codec, imaging  # noqa: E402
from vorn_hyst_cli.cli import main  # noqa: E402
from vorn_hyst_cli.decision import COLOUR, FAILED, FIXED, GREY, NOT_MONOCHROME  # noqa: E402
from vorn_hyst_cli.progress import Progress  # noqa: E402
from vorn_hyst_cli.report import Row  # noqa: E402

ICC_RGB = b"\0" * 16 + b"RGB " + b"\0" * 108
ICC_GREY = b"\0" * 16 + b"GRAY" + b"\0" * 108
RNG = np.random.default_rng(6)


def scan(h=36, w=44):
    """Yellowish paper with a dark block: judged monochrome by default."""
    a = np.empty((h, w, 3), np.uint8)
    a[...] = (200, 190, 160)
    a[8:26, 6:38] = (50, 45, 40)
    a[::5, ::3] -= 3  # some texture, so the fix has more than two values to map
    return a


def colour(h=30, w=30):
    """Red, green and blue stripes with some noise: clearly not monochrome."""
    a = np.zeros((h, w, 3), np.int16)
    for i, c in enumerate([(200, 40, 30), (30, 180, 60), (40, 50, 210)]):
        a[:, i * w // 3:(i + 1) * w // 3] = c
    return (a + RNG.integers(-3, 4, a.shape)).astype(np.uint8)


def three_tones():
    """Grey, but three peaks: not monochrome, comes back unchanged."""
    v = np.repeat(np.array([20, 120, 220], np.uint8), 400)[:, None]
    return np.repeat(v, 3, axis=1).reshape(30, 40, 3)


def exif():
    e = Image.Exif()
    e[0x010F] = "ScanCo"  # Make
    e[0x8769] = {0x9003: "2020:01:02 03:04:05"}  # DateTimeOriginal, in the EXIF directory
    return e


def tiff_tags(dpi=None):
    """The same EXIF in the form the TIFF writer takes."""
    tags = {0x010F: "ScanCo", 0x8769: {0x9003: "2020:01:02 03:04:05"}}
    if dpi:
        tags.update({282: float(dpi), 283: float(dpi), 296: 2})
    return tags


def png16_rgb(path):
    """A 16-bit RGB PNG, which Pillow would silently read as 8 bits."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))
    rows = b"".join(b"\0" + b"\x12\x34" * 3 * 4 for _ in range(4))
    path.write_bytes(b"\x89PNG\r\n\x1a\n"
                     + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 16, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def palette_scan():
    im = Image.fromarray((scan()[..., 0] > 100).astype(np.uint8), "P")
    im.putpalette([50, 45, 40, 200, 190, 160])
    return im


def with_alpha(mode):
    base = Image.fromarray(scan()).convert(mode[:-1])
    base.putalpha(Image.fromarray(RNG.integers(0, 256, (36, 44), dtype=np.uint8)))
    return base


def save(im, path, **kw):
    im = Image.fromarray(im) if isinstance(im, np.ndarray) else im
    im.save(path, **kw)


# The tool's two ways of coding images: imagecodecs for what it does exactly
# as Pillow does, and Pillow alone (VORN_HYST_CODEC=pillow, or no imagecodecs).
CODECS = ["imagecodecs", "pillow"]


@contextlib.contextmanager
def coding(backend):
    if backend == "imagecodecs":
        pytest.importorskip("imagecodecs")
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("VORN_HYST_CODEC", "pillow" if backend == "pillow" else "")
        yield


@pytest.fixture(params=CODECS)
def backend(request):
    with coding(request.param):
        yield request.param


# name -> (writer, verdict of each page, mode of each written page or None for a byte copy)
FILES = {
    "scan.png": (lambda p: save(scan(), p), [FIXED], ["L"]),
    "scan.jpg": (lambda p: save(scan(), p, quality=95), [FIXED], ["L"]),
    "scan.tif": (lambda p: save(scan(), p, compression="tiff_lzw"), [FIXED], ["L"]),
    "scan.bmp": (lambda p: save(scan(), p), [FIXED], ["L"]),
    "scan.webp": (lambda p: save(scan(), p, lossless=True), [FIXED], ["RGB"]),  # no grey WebP
    "grey.png": (lambda p: save(scan()[..., 1], p), [FIXED], ["L"]),
    "rgba.png": (lambda p: save(with_alpha("RGBA"), p), [FIXED], ["LA"]),
    "la.png": (lambda p: save(with_alpha("LA"), p), [FIXED], ["LA"]),
    "palette.png": (lambda p: save(palette_scan(), p), [FIXED], ["L"]),
    "colour.png": (lambda p: save(colour(), p), [COLOUR], None),
    "colour.jpg": (lambda p: save(colour(), p), [COLOUR], None),
    "black-white.png": (lambda p: save(((scan()[..., 0] > 100) * 255).astype(np.uint8), p),
                        [GREY], None),
    "three-tones.png": (lambda p: save(three_tones(), p), [GREY], ["L"]),
    "three-tones.jpg": (lambda p: save(three_tones(), p, quality=100, subsampling=0), [GREY], None),
    "pages.tif": (lambda p: save(scan(), p, save_all=True, append_images=[
        Image.fromarray(colour(36, 44)), Image.fromarray(scan()[..., 2])]),
        [FIXED, COLOUR, FIXED], ["L", "RGB", "L"]),
    "scan.jp2": (lambda p: save(scan(), p), [FIXED], ["L"]),  # lossless: reversible wavelet
    "scan.j2k": (lambda p: save(scan(), p), [FIXED], ["L"]),  # a bare codestream
    # a lossy master is written losslessly: the fix adds no loss of its own
    "lossy.jpx": (lambda p: save(scan(), p, irreversible=True, quality_mode="dB",
                                 quality_layers=[45]), [FIXED], ["L"]),
}
BAD = {
    "truncated.png": (lambda p: p.write_bytes(png_bytes()[:120]), "truncated"),
    "not-an-image.jpg": (lambda p: p.write_bytes(b"hello"), "not an image"),
    "deep.png": (lambda p: save(Image.fromarray(np.full((4, 4), 999, np.uint16)), p), "8-bit"),
    "deep-rgb.png": (png16_rgb, "16-bit"),
    "cmyk.jpg": (lambda p: save(Image.fromarray(scan()).convert("CMYK"), p), "CMYK"),
    # libjpeg would fill the rest with grey and only warn
    "truncated.jpg": (lambda p: p.write_bytes(jpeg_bytes()[:-40]), "truncated"),
}


def png_bytes():
    f = io.BytesIO()
    save(scan(), f, format="PNG")
    return f.getvalue()


def jpeg_bytes():
    f = io.BytesIO()
    save(scan(), f, format="JPEG")
    return f.getvalue()


def make_folder(root):
    root.mkdir(parents=True, exist_ok=True)
    for name, (write, *_) in {**FILES, **BAD}.items():
        write(root / name)
    return root


def run(*argv):
    return main([str(a) for a in argv])


def pages_of(path):
    """Every page of an image file as (mode, RGB array, alpha array or None)."""
    out = []
    with Image.open(path) as im:
        for i in range(getattr(im, "n_frames", 1)):
            im.seek(i)
            alpha = np.asarray(im.getchannel("A")) if "A" in im.getbands() else None
            out.append((im.mode, np.asarray(im.convert("RGB")), alpha))
    return out


def fixed_pixels(path):
    """What each page should become: the module applied to its RGB pixels."""
    return [vorn_hyst.monochrome(rgb) for _, rgb, _ in pages_of(path)]


@pytest.fixture(scope="module", params=CODECS)
def batch(tmp_path_factory, request):
    """One run over the whole folder: (input dir, output dir, exit status, report rows)."""
    base = tmp_path_factory.mktemp("batch")
    src = make_folder(base / "in")
    with coding(request.param):
        status = run(src, "-o", base / "out", "--report", base / "report.json", "--jobs", 2)
    rows = json.loads((base / "report.json").read_text())
    return src, base / "out", status, rows


@pytest.mark.parametrize("name", FILES)
def test_each_image(batch, name):
    src, out, status, rows = batch
    _, verdicts, modes = FILES[name]
    assert [r["verdict"] for r in rows if r["path"] == str(src / name)] == verdicts
    # The memory budget's reading of the header sees every page the decoder sees.
    with open(src / name, "rb") as f:
        assert budget.image_pages(f, 100)[1] == [
            (r["width"], r["height"]) for r in rows if r["path"] == str(src / name)]
    if modes is None:  # left alone: copied byte for byte
        assert (out / name).read_bytes() == (src / name).read_bytes()
        return
    written, wanted = pages_of(out / name), fixed_pixels(src / name)
    assert [m for m, _, _ in written] == modes
    assert (out / name).read_bytes()[:2] == (src / name).read_bytes()[:2]  # the same format
    lossy = name.endswith(".jpg")
    for (_, got, alpha), want, (_, _, alpha_in) in zip(written, wanted, pages_of(src / name)):
        if lossy:
            assert np.abs(got.astype(int) - want).mean() < 2
        else:
            np.testing.assert_array_equal(got, want)
        if alpha_in is not None:
            np.testing.assert_array_equal(alpha, alpha_in)


@pytest.mark.parametrize("name", BAD)
def test_bad_files_are_reported_and_skipped(batch, name):
    src, out, status, rows = batch
    [row] = [r for r in rows if r["path"] == str(src / name)]
    assert (row["verdict"], row["output"]) == (FAILED, "")
    assert BAD[name][1] in row["error"]
    assert not (out / name).exists()
    assert status == 1


def test_no_temporary_files_left(batch):
    _, out, _, _ = batch
    assert sorted(p.name for p in out.iterdir()) == sorted(FILES)


@pytest.mark.parametrize("kind", ["json", "csv", "jsonl"])
def test_report(tmp_path, kind):
    src = tmp_path / "in"
    src.mkdir()
    save(scan(), src / "a.png")
    save(colour(), src / "b.png")
    (src / "c.png").write_bytes(b"junk")
    report = tmp_path / f"report.{kind}"
    assert run(src, "-o", tmp_path / "out", "--report", report) == 1
    rows = read_report(report)
    number = lambda v: None if v in (None, "") else int(v)  # noqa: E731 (CSV: "", JSON: null)
    got = sorted((r["path"], number(r["page"]), number(r["width"]), number(r["height"]),
                  r["verdict"], r["output"], r["peaks"] != "") for r in rows)
    out = tmp_path / "out"
    # A file that failed as a whole has no page and no size.
    assert got == [(str(src / "a.png"), 1, 44, 36, FIXED, str(out / "a.png"), True),
                   (str(src / "b.png"), 1, 30, 30, COLOUR, str(out / "b.png"), True),
                   (str(src / "c.png"), None, None, None, FAILED, "", False)]
    assert all(float(r["seconds"]) >= 0 for r in rows)
    assert "masses agree" in rows[[r["path"] for r in rows].index(str(src / "a.png"))]["reason"]


def read_report(path):
    if path.suffix == ".json":
        return json.loads(path.read_text())
    if path.suffix == ".jsonl":
        return [json.loads(line) for line in path.read_text().splitlines()]
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_jobs_do_not_change_the_output(tmp_path):
    src = make_folder(tmp_path / "in")
    for jobs in (1, 2):
        run(src, "-o", tmp_path / f"out{jobs}", "--jobs", jobs,
            "--report", tmp_path / f"r{jobs}.csv")
    one, two = sorted((tmp_path / "out1").iterdir()), sorted((tmp_path / "out2").iterdir())
    assert [p.name for p in one] == [p.name for p in two] and one
    assert all(a.read_bytes() == b.read_bytes() for a, b in zip(one, two))
    verdicts = [sorted((r["path"], r["page"], r["verdict"])
                       for r in read_report(tmp_path / f"r{j}.csv"))
                for j in (1, 2)]
    assert verdicts[0] == verdicts[1]


# ---- metadata ------------------------------------------------------------------

META = [  # extension, save options, extra flags, what must come out: dpi, ICC space, EXIF Make
    ("png", dict(dpi=(300, 300), icc_profile=ICC_RGB, exif=exif()), ["--keep-rgb"],
     (300, b"RGB ", "ScanCo")),
    ("jpg", dict(dpi=(300, 300), icc_profile=ICC_RGB, exif=exif()), ["--keep-rgb"],
     (300, b"RGB ", "ScanCo")),
    ("tif", dict(icc_profile=ICC_RGB, tiffinfo=tiff_tags(300)), ["--keep-rgb"],
     (300, b"RGB ", "ScanCo")),
    ("webp", dict(lossless=True, icc_profile=ICC_RGB, exif=exif()), [], (None, b"RGB ", "ScanCo")),
    ("bmp", dict(dpi=(300, 300)), [], (300, None, None)),
    # a greyscale file keeps a grey profile, and an RGB one would make it invalid
    ("png", dict(icc_profile=ICC_RGB), [], (None, None, None)),
    ("tif", dict(icc_profile=ICC_GREY, tiffinfo=tiff_tags(600)), ["grey"],
     (600, b"GRAY", "ScanCo")),
    ("png", dict(dpi=(300, 300), icc_profile=ICC_GREY, exif=exif()), ["grey"],
     (300, b"GRAY", "ScanCo")),
    # JPEG 2000: resolution and profile in the header box, XMP in a box of its own
    ("jp2", dict(dpi=300, icc_profile=ICC_RGB), ["--keep-rgb"], (300, b"RGB ", None)),
    ("jp2", dict(dpi=300, icc_profile=ICC_RGB), [], (300, None, None)),
]
XMP_UUID = bytes.fromhex("be7acfcb97a942e89c71999491e3afac")


def box(kind, content):
    return struct.pack(">I", 8 + len(content)) + kind + content


def add_jp2_boxes(path, dpi, icc):
    """Pillow writes neither resolution nor profile into a JP2 (signature,
    ftyp, jp2h holding ihdr and colr, jp2c): the header box gets both, and an
    XMP box goes before the codestream."""
    data = path.read_bytes()
    at = data.index(b"jp2h") - 4
    end = at + struct.unpack(">I", data[at:at + 4])[0]
    ihdr = data[at + 8:at + 30]
    per_metre = round(dpi / 0.0254)
    res = box(b"res ", box(b"resc", struct.pack(">HHHHbb", per_metre, 1, per_metre, 1, 0, 0)))
    header = box(b"jp2h", ihdr + box(b"colr", b"\x02\0\0" + icc) + res)
    xmp = box(b"uuid", XMP_UUID + b"<x:xmpmeta/>")
    path.write_bytes(data[:at] + header + xmp + data[end:])


def jp2_profile(data):
    """The ICC profile of a JP2's colr box, or None."""
    at = data.index(b"colr")
    content = data[at + 4:at - 4 + struct.unpack(">I", data[at - 4:at])[0]]
    return content[3:] if content[0] == 2 else None


@pytest.mark.parametrize("ext, options, flags, expected", META)
def test_metadata_carried_over(tmp_path, backend, ext, options, flags, expected):
    image = scan()[..., 0] if "grey" in flags else scan()
    save(image, tmp_path / f"a.{ext}", **options)
    if ext == "jp2":
        add_jp2_boxes(tmp_path / "a.jp2", options["dpi"], options["icc_profile"])
    assert run(tmp_path / f"a.{ext}", "-o", tmp_path / "out",
               *[f for f in flags if f != "grey"]) == 0
    written = tmp_path / "out" / f"a.{ext}"
    with Image.open(written) as im:
        dpi = im.info.get("dpi")
        icc = im.info.get("icc_profile") or (jp2_profile(written.read_bytes()) if ext == "jp2"
                                             else None)
        exif_out = im.getexif()
        got = (round(dpi[0]) if dpi else None, icc[16:20] if icc else None, exif_out.get(0x010F))
        taken = exif_out.get_ifd(0x8769).get(0x9003)
    assert got == expected
    assert taken == ("2020:01:02 03:04:05" if expected[2] else None)
    if ext == "jp2":
        assert XMP_UUID + b"<x:xmpmeta/>" in written.read_bytes()


def test_pages_keep_their_own_metadata(tmp_path):
    from PIL import TiffImagePlugin
    pages = [(scan(), dict(dpi=(200, 200))),
             (scan()[..., 1], dict(dpi=(300, 300), icc_profile=ICC_GREY)),
             (colour(), dict(dpi=(72, 72), icc_profile=ICC_RGB))]
    with TiffImagePlugin.AppendingTiffWriter(str(tmp_path / "book.tif"), True) as tf:
        for pixels, options in pages:
            Image.fromarray(pixels).save(tf, format="TIFF", **options)
            tf.newFrame()
    # The writer never marks itself closed, so the garbage collector would close
    # it again, seeking in its closed file ("Exception ignored in").
    io.BytesIO.close(tf)
    assert run(tmp_path / "book.tif", "-o", tmp_path / "out") == 0
    got = []
    with Image.open(tmp_path / "out" / "book.tif") as im:
        for i in range(im.n_frames):
            im.seek(i)
            got.append((im.mode, round(im.info["dpi"][0]), bytes(im.tag_v2.get(34675, b""))[16:20]))
    assert got == [("L", 200, b""), ("L", 300, b"GRAY"), ("RGB", 72, b"RGB ")]


# ---- the two ways of coding --------------------------------------------------

def file_bytes(pixels, fmt, **kw):
    out = io.BytesIO()
    save(pixels, out, format=fmt, **kw)
    return out.getvalue()


def noisy_colour():
    """Odd sizes, and colour that changes from pixel to pixel: chroma
    subsampling's edges and upsampling show in every block."""
    return (colour(37, 45).astype(int) + RNG.integers(-40, 41, (37, 45, 3))).clip(0, 255) \
        .astype(np.uint8)


def png_with_chunks():
    from PIL import PngImagePlugin
    info = PngImagePlugin.PngInfo()
    info.add(b"gAMA", struct.pack(">I", 45455))
    info.add(b"sBIT", b"\x05\x06\x05")
    return file_bytes(noisy_colour(), "PNG", pnginfo=info)


def png_filtered(pixels, row_filter, idat_size=None):
    """A PNG of `pixels` whose rows all have one filter type (libpng's
    writer, through imagecodecs), its image data split into chunks of
    `idat_size` bytes if given."""
    imagecodecs = pytest.importorskip("imagecodecs")
    png = imagecodecs.png_encode(pixels, filter=getattr(imagecodecs.PNG.FILTER, row_filter))
    if idat_size is None:
        return png
    parts = chunks(png)
    data = b"".join(d for kind, d in parts if kind == b"IDAT")
    pieces = [(b"IDAT", data[i:i + idat_size]) for i in range(0, len(data), idat_size)]
    first = next(i for i, (kind, _) in enumerate(parts) if kind == b"IDAT")
    rest = [c for c in parts[first:] if c[0] != b"IDAT"]
    return codec.PNG_SIGNATURE + b"".join(
        struct.pack(">I", len(d)) + kind + d + struct.pack(">I", zlib.crc32(kind + d))
        for kind, d in parts[:first] + pieces + rest)


def png_filtered_page(kind, row_filter):
    pixels = noisy_colour()
    return png_filtered(pixels if kind == "RGB" else np.ascontiguousarray(pixels[..., 2]),
                        row_filter)


def png_narrow_page(width):
    return png_filtered(np.ascontiguousarray(noisy_colour()[:, :width]), "PAETH")


# Files whose pixels imagecodecs must read exactly as Pillow does.
DECODED: dict[str, Callable[[], bytes]] = {
    **{f"PNG, {kind}, {name} rows": functools.partial(png_filtered_page, kind, name)
       for kind in ("RGB", "grey") for name in ("SUB", "UP", "AVG", "PAETH", "ALL")},
    **{f"PNG, RGB, {width} wide, PAETH rows": functools.partial(png_narrow_page, width)
       for width in (1, 2, 6)},
    "PNG, image data in chunks of 7 bytes": lambda: png_filtered(noisy_colour(), "ALL", 7),
    "PNG, RGB": lambda: file_bytes(noisy_colour(), "PNG"),
    "PNG, grey": lambda: file_bytes(noisy_colour()[..., 1], "PNG"),
    "PNG with gamma and significant bits": png_with_chunks,
    "JPEG 4:2:0": lambda: file_bytes(noisy_colour(), "JPEG", quality=90),
    "JPEG 4:4:4": lambda: file_bytes(noisy_colour(), "JPEG", subsampling=0, quality=100),
    "JPEG, progressive": lambda: file_bytes(noisy_colour(), "JPEG", progressive=True),
    "JPEG, grey": lambda: file_bytes(noisy_colour()[..., 0], "JPEG"),
    "JPEG stored as RGB": lambda: file_bytes(noisy_colour(), "JPEG", keep_rgb=True),
    "JPEG with bytes after its end": lambda: file_bytes(noisy_colour(), "JPEG") + b"\0" * 9,
    "TIFF, LZW": lambda: file_bytes(noisy_colour(), "TIFF", compression="tiff_lzw"),
    "TIFF, grey, Deflate": lambda: file_bytes(noisy_colour()[..., 0], "TIFF",
                                              compression="tiff_adobe_deflate"),
}


@pytest.mark.parametrize("name", DECODED)
def test_fast_decoders_read_what_pillow_reads(name):
    data = DECODED[name]()

    def read():
        f = io.BytesIO(data)
        with imaging.open_image(f) as im:
            fast = codec.fast_pixels(im, lambda limit: data)
            return fast is not None, codec.page_pixels(im, f)
    with coding("imagecodecs"):
        fast, (rgb, alpha, mode) = read()
    with coding("pillow"):
        slow, (want, _, want_mode) = read()
    assert (fast, slow, alpha, mode) == (True, False, None, want_mode)
    np.testing.assert_array_equal(rgb, want)
    if name.startswith("PNG"):  # read by libdeflate and the module's unfilter, not libpng
        import imagecodecs
        with Image.open(io.BytesIO(data)) as im:
            channels = 3 if im.mode == "RGB" else 1
            assert codec.png_pixels(imagecodecs, data, im.width, im.height, channels) is not None


def png_of_chunks(*extra, depth=8):
    """A 1 x 8 grey PNG (8-bit rows), with `extra` chunks between its header and its image data."""
    rows = b"".join(b"\0" + bytes([v]) for v in range(0, 256, 32))
    header = codec.png_chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 8, depth, 0, 0, 0, 0))
    return codec.PNG_SIGNATURE + header + b"".join(codec.png_chunk(k, d) for k, d in extra) \
        + codec.png_chunk(b"IDAT", zlib.compress(rows)) + codec.png_chunk(b"IEND", b"")


# PNGs the fast reader must leave to libpng and Pillow: Pillow reads them otherwise.
@pytest.mark.parametrize("data", [
    png_of_chunks((b"IHDR", struct.pack(">IIBBBBB", 1, 8, 4, 0, 0, 0, 0))),  # a second header
    png_of_chunks((b"fcTL", struct.pack(">IIIIIHHBB", 0, 1, 4, 0, 0, 1, 1, 0, 0))),  # a frame
], ids=["a second header, 4-bit", "a frame control before the image"])
def test_fast_decoders_leave_odd_pngs_to_pillow(data):
    def read():
        f = io.BytesIO(data)
        with imaging.open_image(f) as im:
            return codec.page_pixels(im, f)[0]
    with coding("imagecodecs"):
        got = read()
    with coding("pillow"):
        want = read()
    np.testing.assert_array_equal(got, want)


def chunks(png):
    """(type, data) of each chunk, their CRCs checked."""
    out, at = [], 8
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        data = png[at + 8:at + 8 + length]
        assert png[at + 8 + length:at + 12 + length] == struct.pack(">I", zlib.crc32(kind + data))
        out.append((kind, data))
        at += 12 + length
    return out


def text_chunks():
    from PIL import PngImagePlugin
    info = PngImagePlugin.PngInfo()
    info.add_text("Title", "Letter")
    info.add_text("Comment", "Brief, in Ünicode", zip=True)
    info.add_itxt("Author", "Ünknown", lang="de", tkey="Verfasser")
    return info


@pytest.mark.parametrize("options", [
    {}, dict(dpi=(300, 300), icc_profile=ICC_GREY, exif=exif(), pnginfo=text_chunks())])
def test_fast_grey_png_has_pillows_chunks(backend, options):
    page = Image.fromarray(np.ascontiguousarray(three_tones()[..., 0]))  # unfiltered rows pay
    pillow = file_bytes(page, "PNG", **options)
    fast = codec.encode(page, "PNG", options)
    assert [c for c in chunks(fast) if c[0] != b"IDAT"] == \
        [c for c in chunks(pillow) if c[0] != b"IDAT"]
    assert fast != pillow  # not Pillow's own image data
    np.testing.assert_array_equal(np.asarray(Image.open(io.BytesIO(fast))), three_tones()[..., 0])


# ---- safety of the files -------------------------------------------------------

def test_never_overwrites_without_the_flag(tmp_path):
    save(scan(), tmp_path / "a.png")
    out = tmp_path / "out"
    out.mkdir()
    (out / "a.png").write_bytes(b"precious")
    assert run(tmp_path / "a.png", "-o", out) == 1
    assert (out / "a.png").read_bytes() == b"precious"
    assert run(tmp_path / "a.png", "-o", out, "--overwrite") == 0
    with Image.open(out / "a.png") as written:
        assert written.mode == "L"


def test_two_inputs_with_one_output_name(tmp_path):
    for d in ("x", "y"):
        (tmp_path / d).mkdir()
        save(scan(), tmp_path / d / "a.png")
    assert run(tmp_path / "x" / "a.png", tmp_path / "y" / "a.png", "-o", tmp_path / "out") == 1
    with Image.open(tmp_path / "out" / "a.png") as written:
        assert written.mode == "L"


def test_in_place(tmp_path):
    save(scan(), tmp_path / "a.png")
    save(colour(), tmp_path / "b.png")
    before = (tmp_path / "b.png").stat()
    assert run(tmp_path, "--in-place") == 0
    assert pages_of(tmp_path / "a.png")[0][0] == "L"
    assert (tmp_path / "b.png").stat().st_mtime_ns == before.st_mtime_ns  # not even rewritten
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.png", "b.png"]
    report = tmp_path.parent / f"{tmp_path.name}.json"
    assert run(tmp_path, "--in-place", "--report", report) == 0  # a fixed page stays as it is
    assert [r["verdict"] for r in sorted(json.loads(report.read_text()), key=lambda r: r["path"])] \
        == [GREY, COLOUR]


@pytest.mark.parametrize("failure", [OSError("disk full"), KeyboardInterrupt()])
def test_interrupted_write_leaves_nothing(tmp_path, monkeypatch, failure):
    save(scan(), tmp_path / "a.png")

    def broken(fd):  # the whole image is in the temporary file by now
        raise failure
    monkeypatch.setattr(os, "fsync", broken)
    status = run(tmp_path / "a.png", "-o", tmp_path / "out")
    assert status == (130 if isinstance(failure, KeyboardInterrupt) else 1)
    assert not (tmp_path / "out").exists()  # nor the folder made for it


# ---- file-safety rules, one scenario each: files to make, options, what must hold -------

def write(make):
    """A writer of the image `make()` returns."""
    return lambda path: save(make(), path)


def bilevel_book(p):
    one_bit = Image.fromarray(np.where(scan()[..., 0] > 100, 255, 0).astype(np.uint8)).convert("1")
    save(scan(), p, save_all=True, append_images=[one_bit])


def cmyk_book(p):
    save(scan(), p, save_all=True, append_images=[Image.fromarray(scan()).convert("CMYK")])


def interrupt_second(monkeypatch, signum):
    """Lets the first file through, then interrupts the run from the second."""
    real, calls = imaging.process_image, []

    def process(job, policy, params):
        calls.append(job)
        if len(calls) > 1:
            if signum:
                os.kill(os.getpid(), signum)
                time.sleep(1)  # the handler interrupts the main thread meanwhile
            raise KeyboardInterrupt
        return real(job, policy, params)
    monkeypatch.setattr(batch_module, "process_image", process)


def replace_while_deciding(t, monkeypatch, request):
    """Another program puts a newer a.png in place while the run decides the old one."""
    real = imaging.decide

    def decide(rgb, params):
        newer = t / "newer.png"
        save(colour(), newer)
        os.replace(newer, t / "in" / "a.png")
        return real(rgb, params)
    monkeypatch.setattr(imaging, "decide", decide)


def note_pages_decided_at_once(t, monkeypatch, request):
    """Marks t/overlap when two pages are being decided at once: each decision
    waits a moment for another to begin, so that any overlap the run allows
    shows up."""
    real, lock, state = imaging.decide, threading.Lock(), {"now": 0}
    arrived = threading.Event()

    def decide(rgb, params):
        with lock:
            state["now"] += 1
            if state["now"] > 1:
                (t / "overlap").touch()
            arrived.set()
        arrived.clear()
        arrived.wait(0.5)
        try:
            return real(rgb, params)
        finally:
            with lock:
                state["now"] -= 1
    monkeypatch.setattr(imaging, "decide", decide)


def fail_report_after_first(t, monkeypatch, request):
    from vorn_hyst_cli.outcome import ReportError
    from vorn_hyst_cli.report import ReportWriter
    real, calls = ReportWriter.add, []

    def add(self, index, rows):
        calls.append(index)
        if len(calls) > 1:
            raise ReportError(f"cannot write the report {self.path}: No space left on device")
        real(self, index, rows)
    monkeypatch.setattr(ReportWriter, "add", add)


def small_disk(request, folder, size):
    """A tmpfs of `size` bytes at `folder`, taken away after the test."""
    folder.mkdir(parents=True, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)],
                          capture_output=True)
    if done.returncode:
        pytest.skip("full-disk cases need to mount a tmpfs (as root)")
    request.addfinalizer(lambda: subprocess.run(["umount", "-l", str(folder)]))


def noisy_scan():
    """A page whose fix is about a third of its size on disk, in every format."""
    a = np.full((200, 300, 3), (200, 190, 160), np.uint8)
    a[60:140, 30:270] = (50, 45, 40)
    return np.clip(a + np.random.default_rng(1).normal(0, 12, a.shape), 0, 255).astype(np.uint8)


def on_full_disk(ext, pages=1):
    """Makes in/a.EXT on a disk that holds it but not its result beside it; a
    copy of the original goes to original.EXT outside."""
    def setup(t, monkeypatch, request):
        images = [Image.fromarray(noisy_scan())] * pages
        data = io.BytesIO()
        images[0].save(data, format={"jpg": "JPEG", "tif": "TIFF"}.get(ext, ext.upper()),
                       save_all=pages > 1, append_images=images[1:], quality=95)
        small_disk(request, t / "in", len(data.getvalue()) + 8192)
        (t / "in" / f"a.{ext}").write_bytes(data.getvalue())
        (t / f"original.{ext}").write_bytes(data.getvalue())
    return setup


def kept_on_full_disk(ext):
    def holds(t, err):
        return ((t / "in" / f"a.{ext}").read_bytes() == (t / f"original.{ext}").read_bytes()
                and "No space left on device" in err and os.listdir(t / "in") == [f"a.{ext}"])
    return holds


def copy_to_full_disk(t, monkeypatch, request):
    small_disk(request, t / "out", 20_000)
    save(np.random.default_rng(2).integers(0, 256, (200, 200, 3), dtype=np.uint8),
         t / "in" / "photo.png")


def report_on_full_disk(t, monkeypatch, request):
    """A disk with one page of room: the report's first rows fit, the next do not."""
    small_disk(request, t / "out", 64 << 10)
    with open(t / "out" / "filler", "wb", buffering=0) as filler:
        with contextlib.suppress(OSError):
            while True:
                filler.write(bytes(4096))
        filler.truncate(filler.tell() - 8192)


def damaged_tiff(p):
    """LZW data with codes that are not in the table yet."""
    data = bytearray(file_bytes(scan(), "TIFF", compression="tiff_lzw"))
    for at in range(16, 68, 5):  # the strip comes first
        data[at] ^= 0x5A
    p.write_bytes(data)


def special_files(t, monkeypatch, request):
    os.mkfifo(t / "in" / "pipe.png")
    (t / "in" / "zero.pdf").symlink_to("/dev/zero")


def stale_temporaries(t, monkeypatch, request):
    from vorn_hyst_cli.fileio import HOST
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True).stdout.strip()
    out = t / "out"
    out.mkdir()
    for name in (f".a.png.vorn-hyst.{gone}.{HOST}.abcd1234.tmp",  # its writer was killed
                 f".a.png.vorn-hyst.{os.getpid()}.{HOST}.live1234.tmp",  # a write under way
                 ".a.png.x1y2z3w4.tmp"):  # not the tool's
        (out / name).write_bytes(b"half an image")


def out_names(t):
    return sorted(p.name for p in (t / "out").iterdir())


def same_mode_and_time(t):
    a, b = (t / "in" / "b.png").stat(), (t / "out" / "b.png").stat()
    return (a.st_mode, a.st_mtime_ns) == (b.st_mode, b.st_mtime_ns)


def set_mode_and_time(t, monkeypatch, request):
    os.chmod(t / "in" / "b.png", 0o640)
    os.utime(t / "in" / "b.png", ns=(1_000_000_000, 1_500_000_000_000_000_000))


def earlier_output(t, monkeypatch, request):
    (t / "out").mkdir()
    (t / "out" / "a.png").write_bytes(b"earlier")


def existing_backup(t, monkeypatch, request):
    (t / "backup").mkdir()
    (t / "backup" / "a.png").write_bytes(b"first original")


def rgb_of(path):
    return pages_of(path)[0][0] == "RGB"


FULL_DISK: list[tuple] = [(f"full disk: the {ext.upper()} result never replaces the input",
              {}, ["{in}/a." + ext, "--in-place"], 1, kept_on_full_disk(ext),
              on_full_disk(ext, pages=2 if ext == "tif" else 1))
             for ext in ("jpg", "bmp", "tif", "png")]

SAFETY = FULL_DISK + [
    # name, files under in/ (name -> writer or link target), argv, status,
    # what must hold afterwards (tmp_path, stderr), and what to do first
    ("output folder is the input folder", {"a.png": write(scan)},
     ["{in}/a.png", "-o", "{in}", "--overwrite"], 1,
     lambda t, err: rgb_of(t / "in" / "a.png") and "is the input itself" in err, None),
    ("in place keeps a symbolic link", {"real.png": write(scan), "link.png": "real.png"},
     ["{in}/link.png", "--in-place"], 0,
     lambda t, err: (t / "in" / "link.png").is_symlink() and not rgb_of(t / "in" / "real.png"),
     None),
    ("a copy keeps mode and mtime", {"b.png": write(colour)}, ["{in}", "-o", "{out}"], 0,
     lambda t, err: same_mode_and_time(t), set_mode_and_time),
    ("full disk: a copy is not left half written", {}, ["{in}", "-o", "{out}"], 1,
     lambda t, err: "No space left on device" in err and out_names(t) == [], copy_to_full_disk),
    ("full disk: the report stops the run", {f"{n:02}.png": write(scan) for n in range(60)},
     ["{in}", "-o", "{t}/fixed", "--report", "{out}/r.csv", "-j", "1"], 2,
     lambda t, err: "cannot write the report" in err and "Traceback" not in err,
     report_on_full_disk),
    ("a report that fails stops the files still to come",
     {f"{n}.png": write(scan) for n in "abcdef"},
     ["{in}", "-o", "{out}", "--report", "{t}/r.jsonl", "-j", "1"], 2,
     lambda t, err: "No space left" in err and len(os.listdir(t / "out")) < 6,
     fail_report_after_first),
    ("the report is never an input", {"a.png": write(scan)},
     ["{in}", "--in-place", "--dry-run", "--report", "{in}/a.png"], 2,
     lambda t, err: rgb_of(t / "in" / "a.png") and "input" in err, None),
    ("nor an image in an input folder", {"a.png": write(scan)},
     ["{in}", "-o", "{out}", "--report", "{in}/b.tif"], 2,
     lambda t, err: not (t / "in" / "b.tif").exists() and "input folder" in err, None),
    ("an existing report needs --overwrite", {"a.png": write(scan)},
     ["{in}", "-o", "{out}", "--report", "{t}/original.csv"], 2,
     lambda t, err: (t / "original.csv").read_bytes() == b"precious" and "exists" in err,
     lambda t, m, r: (t / "original.csv").write_bytes(b"precious")),
    ("in place leaves a newer version alone", {"a.png": write(scan)}, ["{in}", "--in-place"], 1,
     lambda t, err: rgb_of(t / "in" / "a.png") and "replaced or changed" in err
     and os.listdir(t / "in") == ["a.png"], replace_while_deciding),
    ("--backup keeps each original replaced", {"a.png": write(scan), "b.png": write(colour)},
     ["{in}", "--in-place", "--backup", "{t}/backup"], 0,
     lambda t, err: rgb_of(t / "backup" / "a.png") and not rgb_of(t / "in" / "a.png")
     and os.listdir(t / "backup") == ["a.png"], None),
    ("but never replaces an older backup", {"a.png": write(scan)},
     ["{in}", "--in-place", "--backup", "{t}/backup"], 1,
     lambda t, err: rgb_of(t / "in" / "a.png") and "backup" in err
     and (t / "backup" / "a.png").read_bytes() == b"first original", existing_backup),
    ("special files in a folder are noted and left alone", {"a.png": write(scan)},
     ["{in}", "-o", "{out}"], 0,
     lambda t, err: out_names(t) == ["a.png"] and err.count("not a regular file") == 2,
     special_files),
    ("a special file given by name", {}, ["{in}/pipe.png", "-o", "{out}"], 1,
     lambda t, err: "not a regular file (a FIFO)" in err,
     lambda t, m, r: os.mkfifo(t / "in" / "pipe.png")),
    ("a TIFF of 20,000 pages is refused at once",
     {"many.tif": lambda p: hostile.tiff_of_empty_pages(p, 20_000)}, ["{in}", "-o", "{out}"], 1,
     lambda t, err: "more than 10000 pages" in err, None),
    ("a progressive JPEG of thousands of scans too",
     {"scans.jpg": lambda p: hostile.jpeg_of_scans(p, 1000, 64)}, ["{in}", "-o", "{out}"], 1,
     lambda t, err: "1010 scans" in err, None),
    ("stale temporaries of a killed run are removed", {"a.png": write(scan)},
     ["{in}", "-o", "{out}"], 0,
     lambda t, err: [n for n in out_names(t) if "abcd" in n] == [] and len(out_names(t)) == 3,
     stale_temporaries),
    ("libtiff prints nothing of its own", {"bad.tif": damaged_tiff}, ["{in}", "-o", "{out}"], 1,
     lambda t, err: err == f"vorn-hyst: {t}/in/bad.tif: damaged image data (decoder error -2)\n",
     None),
    ("messages stay on one line", {"bad\nname.png": lambda p: p.write_bytes(b"junk")},
     ["{in}", "-o", "{out}"], 1, lambda t, err: err == f"vorn-hyst: {t}/in/bad\\nname.png: not "
     "an image file Pillow can read\n", None),
    ("Pillow's own size limit stays as it was", {"a.png": write(scan)},
     ["{in}", "-o", "{out}", "--max-pixels", "999999999999"], 0,
     lambda t, err: Image.MAX_IMAGE_PIXELS == 89_478_485, None),
    ("skip existing", {"a.png": write(scan), "b.png": write(colour)},
     ["{in}", "-o", "{out}", "--skip-existing"], 0,
     lambda t, err: (t / "out" / "a.png").read_bytes() == b"earlier", earlier_output),
    ("dry run writes nothing", {"a.png": write(scan)}, ["{in}", "-o", "{out}", "--dry-run"], 0,
     lambda t, err: not (t / "out").exists(), None),
    ("symbolic links to directories are followed, loops reported",
     {"sub/a.png": write(scan), "again": ".", "linked": "sub"}, ["{in}", "-r", "-o", "{out}"], 0,
     lambda t, err: (t / "out" / "linked" / "a.png").exists() and "already walked" in err, None),
    ("file names that are not UTF-8", {os.fsdecode(b"\xff.png"): write(scan)},
     ["{in}", "-o", "{out}"], 0, lambda t, err: (t / "out" / os.fsdecode(b"\xff.png")).exists(),
     None),
    # A 36 x 44 page's file is reckoned at about 1.1 MB: one fits in 1500K, two do not;
    # a 400 x 400 page's is above the whole budget, and runs alone.
    ("a small --memory: no two pages decided at once, a larger file still runs",
     {"a.png": write(scan), "b.png": write(scan), "c.png": write(lambda: scan(400, 400))},
     ["{in}", "-o", "{out}", "-j", "2", "--memory", "1500K"], 0,
     lambda t, err: not (t / "overlap").exists() and not rgb_of(t / "out" / "c.png")
     and len(out_names(t)) == 3, note_pages_decided_at_once),
    ("decompression bomb", {"a.png": write(scan)}, ["{in}", "-o", "{out}", "--max-pixels", "100"],
     1, lambda t, err: "--max-pixels" in err and not (t / "out").exists(), None),
    ("one page of a book cannot be done", {"book.tif": cmyk_book}, ["{in}", "-o", "{out}"], 1,
     lambda t, err: "page 2" in err and not (t / "out").exists(), None),
    ("a 1-bit page stays 1-bit", {"bilevel.tif": bilevel_book}, ["{in}", "-o", "{out}"], 0,
     lambda t, err: [m for m, _, _ in pages_of(t / "out" / "bilevel.tif")] == ["L", "1"], None),
    ("the report is complete after Ctrl-C", {"a.png": write(scan), "b.png": write(scan)},
     ["{in}", "-o", "{out}", "--report", "{out}/r.json", "--jobs", "1"], 130,
     lambda t, err: len(json.loads((t / "out" / "r.json").read_text())) == 1,
     lambda t, m, r: interrupt_second(m, None)),
    ("and after SIGTERM, with no temporary file", {"a.png": write(scan), "b.png": write(scan)},
     ["{in}", "-o", "{out}", "--report", "{out}/r.json", "--jobs", "1"], 130,
     lambda t, err: len(json.loads((t / "out" / "r.json").read_text())) == 1
     and out_names(t) == ["a.png", "r.json"], lambda t, m, r: interrupt_second(m, signal.SIGTERM)),
]


@pytest.mark.parametrize("name, files, argv, status, holds, setup", SAFETY,
                         ids=[c[0] for c in SAFETY])
def test_file_safety(tmp_path, capfd, monkeypatch, request, name, files, argv, status, holds,
                     setup):
    src = tmp_path / "in"
    src.mkdir()
    for rel, make in files.items():
        path = src / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(make, str):
            path.symlink_to(make)
        else:
            make(path)
    if setup:
        setup(tmp_path, monkeypatch, request)
    names = {"in": src, "out": tmp_path / "out", "t": tmp_path}
    assert main([a.format(**names) for a in argv]) == status
    assert holds(tmp_path, capfd.readouterr().err)  # what libraries print too


# Cases that need a process of their own: (name, argv, what to do to the
# process (stdout to /dev/full, or a signal after some seconds), status, what
# stderr must say).
PROCESS_CASES = [
    ("standard output on a full device", ["{in}", "-o", "{out}"], ("/dev/full", None), 2,
     "cannot write to standard output: No space left on device"),
    ("Ctrl-C while starting", ["{in}", "-o", "{out}"], (None, (signal.SIGINT, 0.15)), 130,
     "interrupted"),
    ("SIGTERM while starting", ["{in}", "-o", "{out}"], (None, (signal.SIGTERM, 0.15)), 130,
     "interrupted"),
    # later, the main thread is inside the thread pool's locks: stopping there hung the run
    ("SIGTERM while files are under way", ["{in}", "-o", "{out}", "--jobs", "2"],
     (None, (signal.SIGTERM, 0.3)), 130, "interrupted"),
]


@pytest.mark.parametrize("name, argv, how, status, words", PROCESS_CASES,
                         ids=[c[0] for c in PROCESS_CASES])
def test_process_safety(tmp_path, name, argv, how, status, words):
    src = tmp_path / "in"
    src.mkdir()
    for n in range(3):
        save(scan(), src / f"{n}.png")
    stdout, (signum, after) = how[0], how[1] or (None, None)
    command = [sys.executable, "-m", "vorn_hyst_cli",
               *[a.format(**{"in": src, "out": tmp_path / "out"}) for a in argv]]
    with open(stdout or os.devnull, "w") as out:
        child = subprocess.Popen(command, stdout=out, stderr=subprocess.PIPE, text=True)
        if signum:
            time.sleep(after)
            child.send_signal(signum)
        _, err = child.communicate(timeout=60)
    if signum and child.returncode == 0:
        pytest.skip("the run ended before the signal came")
    assert (child.returncode, err.splitlines()) == (status, [f"vorn-hyst: {words}"])


@pytest.mark.parametrize("flags, expected", [
    ([], ["a.png"]),
    (["-r"], ["a.png", "sub/b.tif"]),
])
def test_directories(tmp_path, flags, expected):
    src = tmp_path / "in"
    (src / "sub").mkdir(parents=True)
    save(scan(), src / "a.png")
    save(scan(), src / "sub" / "b.tif")
    (src / "notes.txt").write_text("not an image")
    run(src, "-o", src / "out", *flags)  # an output folder inside the input is not read again
    run(src, "-o", src / "out", *flags)
    got = sorted(str(p.relative_to(src / "out")) for p in (src / "out").rglob("*") if p.is_file())
    assert got == expected


# ---- options and exit status ---------------------------------------------------

@pytest.mark.parametrize("flags, verdict", [
    ([], FIXED),
    (["--percentage", "0"], NOT_MONOCHROME),  # no tolerance: the tinted channels never agree
    (["--percentage=0"], NOT_MONOCHROME),
    (["--blur_n", "0", "--min_prominence=90"], NOT_MONOCHROME),  # no peak stands out that far
    (["--min-distance", "255", "--window-radius", "1"], NOT_MONOCHROME),  # a threshold, refused
    (["--min-distance", "255", "--no-flat-guard", "--no-loss-guard"], FIXED),
])
def test_parameters_reach_the_level_fix(tmp_path, flags, verdict):
    save(scan(), tmp_path / "a.png")
    assert run(tmp_path / "a.png", "-o", tmp_path / "out", "--report", tmp_path / "r.json",
               "--rule", "module", *flags) == 0
    assert json.loads((tmp_path / "r.json").read_text())[0]["verdict"] == verdict


@pytest.mark.parametrize("argv, status, message", [
    (["{a}", "-o", "{out}"], 0, ""),
    (["{a}", "{missing}", "-o", "{out}"], 1, "no such file"),
    (["{a}"], 2, "-o OUTDIR or --in-place"),
    (["{a}", "-o", "{out}", "--in-place"], 2, "-o OUTDIR or --in-place"),
    (["-o", "{out}"], 2, "no INPUT"),
    (["{a}", "-o", "{out}", "--blur-n", "5000"], 2, "--blur-n: must be in 0-1024, got 5000"),
    (["{a}", "-o", "{out}", "--window-radius", "-1"], 2,
     "--window-radius: must be in 1-255, got -1"),
    (["{a}", "-o", "{out}", "--window-radius", "256"], 2,
     "--window-radius: must be in 1-255, got 256"),
    (["{a}", "-o", "{out}", "--percentage", "nan"], 2,
     "--percentage: must be a finite number >= 0"),
    (["{a}", "-o", "{out}", "--quality", "101"], 2, "--quality: must be in 1-100, got 101"),
    (["{empty}", "-o", "{out}"], 1, "no images found"),
    (["{a}", "-o", "{out}", "--report", "{a}/r.csv"], 2, "cannot write the report"),
    # the review page's place is checked as the report's is, and its folder too
    (["{a}", "-o", "{out}", "--review", "{a}"], 2, "the review page {a} is an input"),
    (["{t}", "-o", "{out}", "--review", "{t}/b.tif"], 2, "would be an image in the input folder"),
    (["{a}", "-o", "{out}", "--review", "{out}/b.pdf"], 2, "would be an image in the output"),
    (["{a}", "-o", "{t}/r_files", "--review", "{t}/r.html"], 2,
     "the review page's folder {t}/r_files is the output folder"),
    (["{a}", "-o", "{out}", "--review", "{t}/a.htm"], 2,
     "the review page's folder {t}/a_files exists (use --overwrite"),
    (["{a}", "-o", "{out}", "--review", "{t}/r.csv", "--report", "{t}/r.csv"], 2,
     "the review page {t}/r.csv is the report"),
    (["{a}", "-o", "{out}", "--jobs", "0"], 2, "--jobs"),
    (["{a}", "-o", "{out}", "--demo", "{out}"], 2, "--demo"),
])
def test_exit_status(tmp_path, capsys, argv, status, message):
    save(scan(), tmp_path / "a.png")
    (tmp_path / "empty").mkdir()
    (tmp_path / "a_files").mkdir()
    names = dict(a=tmp_path / "a.png", out=tmp_path / "out", missing=tmp_path / "gone.png",
                 empty=tmp_path / "empty", t=tmp_path)
    assert main([a.format(**names) for a in argv]) == status
    assert message.format(**names) in capsys.readouterr().err


def test_output_lines_and_summary(tmp_path, capsys):
    save(scan(), tmp_path / "a.png")
    save(colour(), tmp_path / "b.png")
    (tmp_path / "c.png").write_bytes(b"junk")
    run(tmp_path, "-o", tmp_path / "out", "--jobs", 1)
    out, err = capsys.readouterr()
    assert out.splitlines() == [f"{FIXED}: {tmp_path / 'a.png'} -> {tmp_path / 'out' / 'a.png'}",
                                f"{COLOUR}: {tmp_path / 'b.png'} -> {tmp_path / 'out' / 'b.png'}",
                                "1 monochrome (1 levels fixed, 0 unchanged grey), 1 colour, "
                                "0 blank, 0 not recognised as monochrome, 0 refused for content "
                                "loss, 1 failed"]
    assert err == f"vorn-hyst: {tmp_path / 'c.png'}: not an image file Pillow can read\n"


def test_verbose_lines_on_a_terminal(capsys):
    class Terminal:
        text = ""
        def isatty(self): return True
        def write(self, s): self.text += s
        def flush(self): pass
    term = Terminal()
    progress = Progress(quiet=False, stream=term, verbose=True, total=2)
    progress.update([Row("a.png", verdict=FIXED, output="o/a.png", reason="2 peaks per channel")])
    progress.update([Row("b.png", verdict=COLOUR, output="o/b.png", reason="B has 3 peaks")])
    progress.close()
    assert "0/2" in term.text  # the bar is drawn on the terminal
    assert capsys.readouterr().out.splitlines() == [
        f"{FIXED}: a.png -> o/a.png (2 peaks per channel)",
        f"{COLOUR}: b.png -> o/b.png (B has 3 peaks)"]


def test_pillow_missing(monkeypatch, capsys, tmp_path):
    monkeypatch.setitem(sys.modules, "PIL", None)
    monkeypatch.setitem(sys.modules, "PIL.Image", None)
    assert main([str(tmp_path), "-o", str(tmp_path / "out")]) == 2
    assert "pip install 'vorn_hyst[cli]'" in capsys.readouterr().err


# ---- the installed command -----------------------------------------------------

def console_script():
    here = Path(sys.executable).with_name("vorn-hyst")
    return here if here.exists() else None


def test_demo_through_the_console_script(tmp_path):
    script = console_script()
    if script is None:
        pytest.skip("the vorn-hyst console script is not installed beside this interpreter")
    done = subprocess.run([script, "--demo", tmp_path], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"{FIXED}: ")
    [(mode, scan_rgb, _)] = pages_of(tmp_path / "page.png")
    [(fixed_mode, fixed, _)] = pages_of(tmp_path / "page-fixed.png")
    assert (mode, fixed_mode) == ("RGB", "L")
    ink = np.asarray(Image.open(tmp_path / "page.png").convert("L")) < 120
    paper = ~ink
    # yellowish before; white paper and black ink after
    assert scan_rgb[paper].mean(axis=0).tolist()[0] > scan_rgb[paper].mean(axis=0).tolist()[2] + 20
    assert np.median(fixed[paper]) > 245 and np.median(fixed[ink]) < 30
    side = tmp_path / "before-after.png"
    with Image.open(side) as picture:
        assert picture.size == (2 * scan_rgb.shape[1] + 12, scan_rgb.shape[0])
    assert side.stat().st_size < 150_000
    again = subprocess.run([script, "--demo", tmp_path], capture_output=True, text=True, timeout=60)
    assert again.returncode == 1 and "exist" in again.stderr


def test_installed_beside_the_module():
    import importlib.metadata
    where = json.loads(importlib.metadata.distribution("vorn_hyst").read_text("direct_url.json")
                       or "{}")
    if where.get("dir_info", {}).get("editable"):
        pytest.skip("an editable install lists no wheel's files")
    files = {str(f) for f in importlib.metadata.files("vorn_hyst")}
    assert {"vorn_hyst_cli/cli.py", "vorn_hyst-stubs/__init__.pyi"} <= files
    assert any(f.startswith("vorn_hyst_cli/_analysis.") for f in files)
    [script] = [e for e in importlib.metadata.entry_points(group="console_scripts")
                if e.name == "vorn-hyst"]
    assert script.value == "vorn_hyst_cli.cli:main"

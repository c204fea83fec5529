"""Peak memory of the tool's own work on one file, per declared pixel.

Each case runs in a fresh child process: the command line's per-file
processing (``batch.process``, with the options parsed as the command line
parses them) on one page, after a warm-up on a small file of the same format
(imports, codec set-up). Its cost is the rise of the peak resident memory
(VmHWM, reset to the current RSS through /proc/self/clear_refs just before
the call) over the RSS just before, divided by the page's pixels: what the
decoded page, the decision, the result and the encoder hold at once.
(``ru_maxrss`` would not do: a child started by exec keeps its parent's peak.)

Pages: a tinted scan of text-like strokes with a little noise, which the tool
fixes and rewrites ("fixed"), and a photo-like mosaic of colour, which it
copies as it is ("colour"); as PNG, JPEG (quality 95, 4:4:4), TIFF (LZW), WebP
(lossless) and as the one image of a one-page PDF (Flate, and JPEG).

    python bench/memory.py                   # 6 and 24 MP, every format, both pages
    python bench/memory.py --sizes 6,24,80   # and an 80 MP page
    python bench/memory.py --sizes 1 --formats png,pdf-flate   # a quick look
    python bench/memory.py --review          # with the review page's thumbnails

Linux only (/proc). Needs the module, Pillow and pikepdf.
"""

from __future__ import annotations

import argparse
import gc
import io
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import numpy as np

FORMATS = ("png", "jpeg", "tiff", "webp", "jp2", "pdf-flate", "pdf-jpeg")
KINDS = ("fixed", "colour")
SUFFIX = {"png": ".png", "jpeg": ".jpg", "tiff": ".tif", "webp": ".webp", "jp2": ".jp2",
          "pdf-flate": ".pdf", "pdf-jpeg": ".pdf"}
MIB = 1 << 20


# ---- pages -------------------------------------------------------------------------

def shape(mp):
    """Portrait, A-series aspect ratio."""
    h = int(round((mp * 1e6 * 2 ** 0.5) ** 0.5))
    return h, int(round(mp * 1e6 / h))


def page(h, w, seed=1):
    """Tinted paper with lines of word-like blocks of vertical strokes, and noise."""
    rng = np.random.default_rng(seed)
    out = np.empty((h, w, 3), np.uint8)
    out[...] = (232, 226, 214)
    size = max(8, h // 70)
    stroke = max(1, size // 6)
    y = h // 16
    while y + size < h - h // 16:
        x = w // 12
        while x < w - w // 12:
            end = min(x + int(rng.integers(2, 10)) * size // 2, w - w // 12)
            cols = np.arange(x, end)
            out[y:y + size * 2 // 3, cols[(cols // stroke) % 3 == 0]] = (44, 40, 38)
            x = end + size // 2
        y += size * 3 // 2
    for top in range(0, h, 256):
        band = out[top:top + 256]
        band += rng.integers(0, 4, band.shape, dtype=np.uint8)
    return out


def photo(h, w, seed=2):
    """Cells of random colour with noise: plainly colour."""
    rng = np.random.default_rng(seed)
    cell = 48
    coarse = rng.integers(0, 200, (h // cell + 2, w // cell + 2, 3), dtype=np.uint8)
    out = np.empty((h, w, 3), np.uint8)
    columns = np.arange(w) // cell
    for top in range(0, h, 256):
        band = coarse[np.arange(top, min(top + 256, h)) // cell][:, columns]
        out[top:top + 256] = band + rng.integers(0, 12, band.shape, dtype=np.uint8)
    return out


def write(rgb, fmt, path):
    from PIL import Image
    im = Image.fromarray(rgb)
    if fmt == "png":
        im.save(path, compress_level=1)
    elif fmt == "jpeg":
        im.save(path, quality=95, subsampling=0)
    elif fmt == "tiff":
        im.save(path, compression="tiff_lzw")
    elif fmt == "webp":
        im.save(path, lossless=True, exact=True, quality=0, method=0)
    elif fmt == "jp2":
        im.save(path)  # reversible wavelet: lossless
    else:
        write_pdf(rgb, fmt, path)


def write_pdf(rgb, fmt, path):
    import pikepdf
    from PIL import Image
    h, w, _ = rgb.shape
    if fmt == "pdf-flate":
        data, flt = zlib.compress(rgb.tobytes(), 1), pikepdf.Name.FlateDecode
    else:
        buffer = io.BytesIO()
        Image.fromarray(rgb).save(buffer, format="JPEG", quality=95, subsampling=0)
        data, flt = buffer.getvalue(), pikepdf.Name.DCTDecode
    pdf = pikepdf.new()
    image = pikepdf.Stream(pdf, data, Type=pikepdf.Name.XObject, Subtype=pikepdf.Name.Image,
                           Width=w, Height=h, ColorSpace=pikepdf.Name.DeviceRGB,
                           BitsPerComponent=8, Filter=flt)
    pdf.add_blank_page(page_size=(w * 72 / 300, h * 72 / 300))
    pg = pdf.pages[-1]
    pg.Resources = pikepdf.Dictionary(XObject=pikepdf.Dictionary(Im0=image))
    pg.Contents = pdf.make_stream(f"q {w * 72 / 300} 0 0 {h * 72 / 300} 0 0 cm /Im0 Do Q"
                                  .encode())
    pdf.save(path)


# ---- the child ---------------------------------------------------------------------

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def child(case):
    """One file through the tool's per-file processing in this fresh process;
    prints the rise of the peak over the RSS just before, and the verdict."""
    from vorn_hyst_cli import cli
    from vorn_hyst_cli.batch import Job, process
    from vorn_hyst_cli.policy import OutputPolicy
    from vorn_hyst_cli.run import settings_of
    out = Path(case["out"])
    review = ["--review", str(out / "review.html")] if case.get("review") else []
    args = cli.parse_args([case["path"], "-o", str(out), "-j", "1", *review])
    policy, params = OutputPolicy.from_args(args), settings_of(args)
    warm = Path(case["warm"])
    rows = process(Job(warm, out / ("warm" + warm.suffix)), policy, params)
    assert not rows[0].error, rows[0].error
    del rows
    gc.collect()
    source = Path(case["path"])
    job = Job(source, out / source.name)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    assert status("VmHWM") <= before + MIB, "the peak was not reset"
    start = time.perf_counter()
    rows = process(job, policy, params)
    seconds = time.perf_counter() - start
    rise = status("VmHWM") - before
    print(json.dumps({"rise": rise, "verdict": str(rows[0].verdict), "error": rows[0].error,
                      "seconds": seconds}))


def measure(path, warm, out, review=False):
    case = {"path": str(path), "warm": str(warm), "out": str(out), "review": review}
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(case)],
                          capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"memory child for {path} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---- the table ---------------------------------------------------------------------

def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default="6,24", help="megapixels, comma-separated (default 6,24)")
    p.add_argument("--formats", default=",".join(FORMATS),
                   help=f"comma-separated, of {', '.join(FORMATS)}")
    p.add_argument("--kinds", default=",".join(KINDS), help="fixed, colour or both")
    p.add_argument("--dir", help="folder for the files (default: a temporary one)")
    p.add_argument("--review", action="store_true",
                   help="with --review's thumbnails made from each page, as a run makes them")
    p.add_argument("--child", help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        child(json.loads(a.child))
        return
    if not os.path.exists("/proc/self/clear_refs"):
        sys.exit("bench/memory.py: needs Linux's /proc/self/clear_refs")
    sizes = [float(s) for s in a.sizes.split(",")]
    formats = [f for f in a.formats.split(",") if f]
    kinds = [k for k in a.kinds.split(",") if k]
    with tempfile.TemporaryDirectory(prefix="vorn-memory-", dir=a.dir) as tmp:
        root = Path(tmp)
        warm = {}
        for kind in kinds:
            small = (page if kind == "fixed" else photo)(96, 68)
            for fmt in formats:
                warm[kind, fmt] = root / f"warm-{kind}-{fmt}{SUFFIX[fmt]}"
                write(small, fmt, warm[kind, fmt])
        print(f"Python {platform.python_version()}, {platform.machine()}, "
              f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.2f}", flush=True)
        print("\n| page | format | MP | verdict | peak rise | bytes per pixel | file |")
        print("|---|---|---|---|---|---|---|", flush=True)
        worst = 0.0
        for mp in sizes:
            h, w = shape(mp)
            for kind in kinds:
                rgb = (page if kind == "fixed" else photo)(h, w)
                for fmt in formats:
                    path = root / f"{kind}-{mp:g}{SUFFIX[fmt]}"
                    write(rgb, fmt, path)
                    r = measure(path, warm[kind, fmt], root / f"out-{kind}-{fmt}-{mp:g}",
                                a.review)
                    per_pixel = r["rise"] / (h * w)
                    worst = max(worst, per_pixel)
                    verdict = r["verdict"] + (f" ({r['error']})" if r["error"] else "")
                    print(f"| {kind} | {fmt} | {h * w / 1e6:.1f} ({w}x{h}) | {verdict} | "
                          f"{r['rise'] / MIB:.0f} MiB | {per_pixel:.1f} | "
                          f"{path.stat().st_size / MIB:.1f} MiB |", flush=True)
                    path.unlink()
                del rgb
        print(f"\nlargest: {worst:.1f} bytes per declared pixel; load average "
              f"{os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()

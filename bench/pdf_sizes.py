"""Sizes before and after `vorn-hyst` on a generated scanned PDF.

The document: tinted, slightly noisy text pages scanned at 150 dpi, stored as
Flate (PNG) and as JPEG images, colour photo pages, an invisible OCR-like
text layer on every page, an outline and /Info and XMP metadata. The script
runs the command line on it, prints each page's verdict and image size and
the file sizes, and checks that the colour images are byte-identical, that
the text layer, outline and metadata are unchanged and that every page renders.

    python bench/pdf_sizes.py [--pages N] [--keep DIR]

Needs the cli and test extras (Pillow, pikepdf, img2pdf); pdftoppm and
pdftotext (poppler-utils) for the rendering and text checks, when present.
"""

from __future__ import annotations

import argparse
import io
import json
import shutil
import subprocess
import tempfile
from pathlib import Path

import img2pdf
import numpy as np
import pikepdf
from PIL import Image

from vorn_hyst_cli.cli import main

WIDTH, HEIGHT, DPI = 1240, 1754, 150  # A4 at 150 dpi
PAPER, INK = np.array([232, 224, 198]), np.array([58, 52, 60])


def text_page(rng):
    """Lines of word-sized ink strokes on tinted paper, with sensor noise."""
    ink = np.zeros((HEIGHT, WIDTH), bool)
    for top in range(150, HEIGHT - 150, 42):
        x = 120
        while x < WIDTH - 200:
            word = int(rng.integers(30, 140))
            ink[top:top + 18, x:x + word] = rng.random((18, word)) < 0.55
            x += word + int(rng.integers(14, 26))
    page = np.where(ink[..., None], INK, PAPER).astype(np.float32)
    page += rng.normal(0, 2.5, (HEIGHT, WIDTH, 1))  # the same noise in each channel
    return page.clip(0, 255).astype(np.uint8)


def photo_page(rng):
    """A landscape: sky, field and sun, each its own colour, with grain."""
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH] / np.array([HEIGHT, WIDTH])[:, None, None]
    sky = np.stack([90 + 60 * y, 140 + 50 * y, 230 - 20 * y], -1)
    field = np.stack([70 + 40 * x, 150 - 30 * y, 50 + 20 * x], -1)
    page = np.where((y < 0.45 + 0.05 * np.sin(9 * x))[..., None], sky, field)
    page[(x - 0.7) ** 2 + (y - 0.2) ** 2 < 0.01] = (250, 200, 60)
    page += rng.normal(0, 6, page.shape)
    return page.clip(0, 255).astype(np.uint8)


def encoded(pixels, fmt, **kw):
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, format=fmt, **kw)
    return out.getvalue()


def scanned_document(path, pages, rng):
    kinds, images = [], []
    for i in range(pages):
        if i % 4 == 3:
            kinds.append("colour photo, JPEG")
            images.append(encoded(photo_page(rng), "JPEG", quality=90))
        elif i % 2:
            kinds.append("text, JPEG")
            images.append(encoded(text_page(rng), "JPEG", quality=90))
        else:
            kinds.append("text, Flate")
            images.append(encoded(text_page(rng), "PNG"))
    pdf = pikepdf.open(io.BytesIO(img2pdf.convert(
        images, layout_fun=img2pdf.get_fixed_dpi_layout_fun((DPI, DPI)))))
    font = pikepdf.Dictionary(Type=pikepdf.Name.Font, Subtype=pikepdf.Name.Type1,
                              BaseFont=pikepdf.Name.Helvetica)
    for number, page in enumerate(pdf.pages, 1):
        page.Resources.Font = pikepdf.Dictionary(F1=font)
        words = f"page {number} scanned text recognised by an OCR engine".encode()
        page.contents_add(
            pikepdf.Stream(pdf, b"BT 3 Tr /F1 10 Tf 60 700 Td (" + words + b") Tj ET"))
    with pdf.open_outline() as outline:
        outline.root.extend(pikepdf.OutlineItem(f"Page {n + 1}", n) for n in range(pages))
    with pdf.open_metadata(set_pikepdf_as_editor=False) as xmp:
        xmp["dc:title"] = "Generated scans"
    pdf.docinfo["/Title"] = "Generated scans"
    pdf.save(path)
    return kinds


def unchanged_parts(source, result):
    """Outline titles, /Info, XMP title and, with pdftotext, the text layer: equal?"""
    def parts(path):
        with pikepdf.open(path) as pdf, pdf.open_outline() as outline:
            return ([item.title for item in outline.root], dict(pdf.docinfo.items()).__repr__(),
                    pdf.open_metadata()["dc:title"])
    same = parts(source) == parts(result)
    if shutil.which("pdftotext"):
        text = [subprocess.run(["pdftotext", str(p), "-"], capture_output=True, check=True).stdout
                for p in (source, result)]
        same &= text[0] == text[1] and b"recognised" in text[0]
    return same


def kept_images(source, result, pages):
    """Whether the images of these pages are stored byte for byte as before."""
    with pikepdf.open(source) as a, pikepdf.open(result) as b:
        return all(a.pages[n - 1].Resources.XObject.Im0.read_raw_bytes()
                   == b.pages[n - 1].Resources.XObject.Im0.read_raw_bytes() for n in pages)


def renders(path, pages):
    if not shutil.which("pdftoppm"):
        return None
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(["pdftoppm", "-r", "20", str(path), f"{tmp}/p"], check=True)
        return len(list(Path(tmp).iterdir())) == pages


def main_(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pages", type=int, default=8)
    parser.add_argument("--keep", type=Path, help="keep the files in this directory")
    args = parser.parse_args(argv)
    work = args.keep or Path(tempfile.mkdtemp())
    work.mkdir(parents=True, exist_ok=True)
    source = work / "scans.pdf"
    kinds = scanned_document(source, args.pages, np.random.default_rng(2024))
    (work / "out").mkdir(exist_ok=True)
    main([str(source), "-o", str(work / "out"), "-q", "--overwrite",
          "--report", str(work / "report.json")])
    result = work / "out" / "scans.pdf"
    rows = json.loads((work / "report.json").read_text())
    print("| page | content | verdict | image before | image after |")
    print("|---|---|---|---|---|")
    for row, kind in zip(rows, kinds):
        print(f"| {row['page']} | {kind} | {row['verdict']} | {row['bytes_before'] / 1e3:,.0f} kB "
              f"| {row['bytes_after'] / 1e3:,.0f} kB |")
    before, after = source.stat().st_size, result.stat().st_size
    print(f"\nfile: {before / 1e6:.2f} MB -> {after / 1e6:.2f} MB ({after / before:.0%})")
    colour_same = kept_images(source, result, [r["page"] for r in rows
                                               if r["verdict"] != "levels fixed"])
    print(f"images not greyed kept their bytes: {colour_same}; text layer, outline and "
          f"metadata unchanged: {unchanged_parts(source, result)}; "
          f"every page renders: {renders(result, args.pages)}")
    if not args.keep:
        shutil.rmtree(work)


if __name__ == "__main__":
    main_()

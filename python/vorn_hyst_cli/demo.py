"""The built-in example: a synthetic scan, its fixed version, and both side by side."""

from __future__ import annotations

import os
import sys

import numpy as np

from . import codec, deps
from .batch import Job, process
from .fileio import write_atomic
from .outcome import ExitCode, Verdict
from .policy import OutputPolicy
from .progress import PROG
from .run import settings_of

DEMO_TEXT = (
    "Scanned pages come out of the scanner yellowish and grey: the paper has aged, "
    "the lamp lights one side better than the other, and the ink never reaches a true "
    "black. Stretching each channel so that the ink becomes black and the paper white "
    "gives a clean page again, but only if the page really is monochrome; a colour "
    "photograph stretched the same way would be ruined.",
    "So the tool first looks at the histogram of each channel and finds its peaks, "
    "the ink and the paper. When the three channels agree on how much of the page lies "
    "around each peak, the page is monochrome: its levels are fixed and it is written "
    "as a small greyscale file. Otherwise the file is copied as it is.",
    "Nothing else about the file is disturbed: its resolution, colour profile and "
    "EXIF data go along, an existing file is never overwritten unless asked for, and "
    "a run that is interrupted leaves no half-written file behind. A whole folder of "
    "scans takes one command, and every core of the machine works on it.",
)


def demo_page(width=480, height=640):
    """A synthetic scan: dark grey text on yellowish paper under an uneven lamp, with
    a grey cast. Every channel is the same picture with its own tint, so the
    channels' peaks hold the same share of the page and the page is monochrome."""
    deps.pillow()
    from PIL import Image, ImageDraw, ImageFont
    mask = Image.new("L", (width, height), 0)
    draw = ImageDraw.Draw(mask)
    title = ImageFont.load_default(size=26)
    body = ImageFont.load_default(size=15)
    draw.text((40, 40), "A page from the archive", font=title, fill=255)
    y = 100
    for paragraph in DEMO_TEXT:
        for line in wrap(paragraph, body, width - 80):
            draw.text((40, y), line, font=body, fill=255)
            y += 20
        y += 14
    draw.line((40, height - 70, width - 40, height - 70), fill=255, width=2)
    draw.text((width // 2 - 8, height - 55), "- 17 -", font=body, fill=255)
    ink = np.asarray(mask, np.float64)[..., None] / 255.0
    yy, xx = np.mgrid[0:height, 0:width]
    xx, yy = xx / width, yy / height
    # brighter to the right and top, and the shadow of the book's fold on the left
    light = 1.0 - 0.06 * (1 - xx) - 0.03 * yy - 0.22 * np.exp(-xx * width / 18.0)
    paper, ink_colour = np.array([232.0, 220.0, 178.0]), np.array([64.0, 60.0, 54.0])
    page = (paper * (1 - ink) + ink_colour * ink) * light[..., None] * 0.86 + 12
    return np.clip(np.rint(page), 0, 255).astype(np.uint8)


def wrap(text, font, width):
    lines, line = [], ""
    for word in text.split():
        candidate = f"{line} {word}".strip()
        if line and font.getlength(candidate) > width:
            lines.append(line)
            candidate = word
        line = candidate
    return lines + [line]


def demo(args):
    Image = deps.pillow()
    out = args.demo
    scan_path, fixed_path = out / "page.png", out / "page-fixed.png"
    side_path = out / "before-after.png"
    if not args.overwrite:
        existing = [str(p) for p in (scan_path, fixed_path, side_path) if os.path.lexists(p)]
        if existing:
            print(f"{PROG}: {', '.join(existing)} exist (use --overwrite)", file=sys.stderr)
            return ExitCode.FILES_FAILED
    scan = demo_page()
    data = codec.encode(Image.fromarray(scan), "PNG", {"dpi": (150, 150)})
    write_atomic(scan_path, lambda f: f.write(data), replace=True)
    policy = OutputPolicy(outdir=out, overwrite=True, keep_rgb=args.keep_rgb, quality=args.quality)
    [row] = process(Job(scan_path, fixed_path), policy, settings_of(args))
    if row.error:
        print(f"{PROG}: {row.error}", file=sys.stderr)
        return ExitCode.FILES_FAILED
    fixed = codec.read_rgb(fixed_path)
    gap = np.full((scan.shape[0], 12, 3), 255, np.uint8)
    side = Image.fromarray(np.concatenate([scan, gap, fixed], axis=1))
    # An adaptive palette keeps the preview small enough to put on a web page.
    side = side.quantize(colors=128, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    data = codec.encode(side, "PNG", {"optimize": True})
    write_atomic(side_path, lambda f: f.write(data), replace=True)
    print(f"{row.verdict}: {scan_path} -> {fixed_path}")
    print(f"paper {level(scan, 90)} -> {level(fixed, 90)},"
          f" ink {level(scan, 2)} -> {level(fixed, 2)}")
    print(f"before and after: {side_path}")
    return ExitCode.OK if row.verdict == Verdict.FIXED else ExitCode.FILES_FAILED


def level(img, percentile):
    return tuple(int(np.percentile(img[..., c], percentile)) for c in range(3))

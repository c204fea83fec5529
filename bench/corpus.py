"""A labelled corpus for the command line's decision, and its evaluation.

Builds a set of images from scikit-image's real photos and scans (``page()``,
``text()``) and synthetic pages (tinted, lamp fall-off, blank, with stamps,
signatures, highlights and logos of several sizes, grey and sepia photos),
stores each as PNG and as JPEG at several qualities and chroma subsamplings,
decodes it again and runs both the bare module (``monochrome()``) and the
command line's decision with its guards. It prints a confusion table by label
and format, the faults against the rules below, and, with ``--cost``, what
the guards add to a 6 MP image's time through the command line.

Rules: an image with colour content is never written grey; a clean, evenly
lit lossless tinted page that monochrome() fixes is still fixed; no page comes
out mostly black; a blank page is left alone. A JPEG page that is not fixed is
a miss, counted but not a fault (leaving a page alone is safe).

    python bench/corpus.py                 # the table (a minute or two)
    python bench/corpus.py --cost          # and the guards' cost per 6 MP image
    python bench/corpus.py --save DIR      # also keep the encoded corpus in DIR

scikit-image is needed here only (pip install scikit-image); the tool does not use it.
"""

from __future__ import annotations

import argparse
import collections
import io
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageFont

import vorn_hyst
from vorn_hyst_cli import decision
from vorn_hyst_cli.decision import FIXED, Settings, decide

# Labels, and what each must or may come out as.
PHOTO, MARKED, CLEAN, UNEVEN, REAL, BLANK, GREYPHOTO = (
    "colour photo", "page with colour mark", "clean tinted page", "lamp fall-off page",
    "real scan", "blank page", "grey or sepia photo")
COLOURFUL = {PHOTO, MARKED}
FORMATS = [("PNG", {}), ("JPEG q95 4:4:4", dict(quality=95, subsampling=0)),
           ("JPEG q90 4:2:0", dict(quality=90, subsampling=2)),
           ("JPEG q75 4:2:0", dict(quality=75, subsampling=2))]
PAPERS = {"cream": (236, 226, 196), "yellow": (240, 228, 170), "grey-blue": (205, 212, 222),
          "sepia": (222, 200, 160), "white": (246, 246, 244), "pink": (238, 218, 214)}
INKS = {"black": (28, 28, 32), "grey": (70, 68, 66), "brown": (60, 45, 35)}
WORDS = ("the of ledger archive invoice total paid received page account letter dear sir "
         "madam regards signature date amount reference number copy original").split()


# ---- synthetic pages -----------------------------------------------------------

def text_mask(h, w, rng, size=None):
    """Ink coverage in 0..1 of lines of words in Pillow's own font."""
    size = size or int(rng.integers(12, 22))
    font = ImageFont.load_default(size=size)
    mask = Image.new("L", (w, h), 0)
    draw = ImageDraw.Draw(mask)
    y = int(h * 0.06)
    while y < h * 0.92:
        x, line = int(w * 0.08), []
        while True:
            word = WORDS[int(rng.integers(len(WORDS)))]
            if font.getlength(" ".join(line + [word])) > w * 0.84:
                break
            line.append(word)
        if rng.random() > 0.1:
            draw.text((x, y), " ".join(line), font=font, fill=255, stroke_width=max(1, size // 9),
                      stroke_fill=255)
        y += int(size * 1.6)
    return np.asarray(mask, np.float32) / 255.0


def compose(paper, ink, coverage, light=None, noise=3.0, rng=None):
    page = np.asarray(paper, np.float32) * (1 - coverage[..., None]) + \
        np.asarray(ink, np.float32) * coverage[..., None]
    if light is not None:
        page = page * light[..., None]
    if noise:
        page = page + rng.normal(0, noise, page.shape).astype(np.float32)
    return np.clip(np.rint(page), 0, 255).astype(np.uint8)


def lamp(h, w, strength):
    """Light falling off from one corner, as under a desk lamp."""
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    d = np.hypot(xx / w, yy / h) / np.sqrt(2)
    return 1.0 - strength * d ** 1.5


def add_mark(page, kind, scale, rng):
    """Paints a colour mark of relative size `scale` onto the page, in place."""
    h, w = page.shape[:2]
    im = Image.fromarray(page)
    draw = ImageDraw.Draw(im, "RGBA")
    cx, cy = int(rng.integers(w // 4, 3 * w // 4)), int(rng.integers(h // 4, 3 * h // 4))
    r = max(4, int(scale * min(h, w)))
    if kind == "stamp":
        colour = (190, 40, 45, 220)
        draw.ellipse((cx - r, cy - r, cx + r, cy + r), outline=colour, width=max(2, r // 10))
        draw.ellipse((cx - r * 0.7, cy - r * 0.7, cx + r * 0.7, cy + r * 0.7), outline=colour,
                     width=max(1, r // 20))
        font = ImageFont.load_default(size=max(8, r // 3))
        draw.text((cx - r * 0.5, cy - r * 0.15), "PAID", font=font, fill=colour)
    elif kind == "signature":
        t = np.linspace(0, 1, 400)
        xs = cx - r * 1.5 + 3 * r * t
        ys = cy + r * 0.3 * np.sin(t * 19) * np.cos(t * 5)
        draw.line(list(zip(xs, ys)), fill=(30, 50, 170, 255), width=max(2, r // 25))
    elif kind == "highlight":
        draw.rectangle((cx - 3 * r, cy - r // 4, cx + 3 * r, cy + r // 4), fill=(255, 240, 40, 110))
    elif kind == "logo":
        draw.rectangle((cx - r, cy - r, cx + r, cy + r), fill=(30, 150, 70, 255))
        draw.ellipse((cx - r // 2, cy - r // 2, cx + r // 2, cy + r // 2),
                     fill=(250, 250, 250, 255))
    page[...] = np.asarray(im.convert("RGB"))


def synthetic_pages(rng, h=700, w=520):
    out = []
    for pname, paper in PAPERS.items():
        for iname, ink in INKS.items():
            cov = text_mask(h, w, rng)
            out.append((CLEAN, f"page-{pname}-{iname}", compose(paper, ink, cov, rng=rng)))
    for pname in ("cream", "yellow", "grey-blue", "white"):
        for strength in (0.15, 0.35, 0.6, 0.9):
            cov = text_mask(h, w, rng)
            out.append((UNEVEN, f"lamp-{pname}-{strength}",
                        compose(PAPERS[pname], INKS["black"], cov, lamp(h, w, strength), rng=rng)))
    for pname, paper in PAPERS.items():
        for noise in (0.0, 2.0, 5.0):
            out.append((BLANK, f"blank-{pname}-{noise}",
                        compose(paper, paper, np.zeros((h, w), np.float32), noise=noise, rng=rng)))
    for kind in ("stamp", "signature", "highlight", "logo"):
        for scale in (0.03, 0.06, 0.12):
            for pname in ("cream", "white", "grey-blue"):
                page = compose(PAPERS[pname], INKS["black"], text_mask(h, w, rng), rng=rng)
                add_mark(page, kind, scale, rng)
                out.append((MARKED, f"{kind}-{scale}-{pname}", page))
    return out


# ---- scikit-image's images -------------------------------------------------------

def crops(name, img):
    h, w = img.shape[:2]
    yield name, img
    for i, (y, x) in enumerate([(0, 0), (h // 2, w // 2), (h // 4, 0)]):
        yield f"{name}-crop{i + 1}", img[y:y + h // 2, x:x + w // 2]


def real_images():
    from skimage import data
    photos = ["astronaut", "chelsea", "coffee", "rocket", "hubble_deep_field", "retina",
              "immunohistochemistry", "colorwheel", "logo"]
    out = []
    for name in photos:
        img = getattr(data, name)()
        if img.shape[-1] == 4:  # the logo: its transparent parts on white
            alpha = img[..., 3:].astype(np.float32) / 255
            img = np.rint(img[..., :3] * alpha + 255 * (1 - alpha)).astype(np.uint8)
        out += [(PHOTO, n, np.ascontiguousarray(c)) for n, c in crops(name, img)]
    sepia = np.array([1.0, 0.86, 0.66], np.float32)
    for name in ("camera", "moon", "coins", "grass"):
        grey = getattr(data, name)()
        out.append((GREYPHOTO, f"{name}-grey", np.repeat(grey[..., None], 3, axis=2)))
        out.append((GREYPHOTO, f"{name}-sepia",
                    np.clip(grey[..., None] * sepia + 12, 0, 255).astype(np.uint8)))
    for name in ("page", "text"):
        grey = getattr(data, name)()
        out += [(REAL, f"{n}-grey", np.ascontiguousarray(np.repeat(c[..., None], 3, axis=2)))
                for n, c in crops(name, grey)]
        tinted = grey[..., None] * np.array([0.97, 0.93, 0.8], np.float32) + 8
        out.append((REAL, f"{name}-tinted", np.clip(tinted, 0, 255).astype(np.uint8)))
    return out


# ---- evaluation -------------------------------------------------------------------

def encode(img, options):
    f = io.BytesIO()
    Image.fromarray(img).save(f, format="JPEG" if options else "PNG", **options)
    return f.getvalue()


def decode(data):
    with Image.open(io.BytesIO(data)) as im:
        return np.asarray(im.convert("RGB"))


def judge(label, fmt, rgb, settings):
    """(outcome, fault or '') of the decision on one decoded image."""
    d = decide(rgb, settings)
    raw = vorn_hyst.monochrome(rgb, **settings)
    module_fixes = not np.array_equal(raw, rgb)
    black = float((d.result[..., 0] == 0).mean()) if d.verdict == FIXED else 0.0
    fault = ""
    if d.verdict == FIXED and not np.array_equal(d.result, raw):
        fault = "written result differs from monochrome()"
    elif d.verdict == FIXED and label in COLOURFUL:
        fault = "colour written grey"
    elif d.verdict == FIXED and label == BLANK:
        fault = "blank page written"
    elif d.verdict == FIXED and black > 0.5:
        fault = f"mostly black ({black:.0%})"
    elif label == CLEAN and fmt == "PNG" and module_fixes and d.verdict != FIXED:
        fault = f"clean page missed: {d.reason}"
    return d.verdict, module_fixes, fault, d


def evaluate(items, settings, save=None):
    table = collections.defaultdict(collections.Counter)
    faults, reasons = [], collections.defaultdict(list)
    for label, name, img in items:
        for fmt, options in FORMATS:
            data = encode(img, options)
            if save:
                ext = "jpg" if options else "png"
                tag = fmt.replace(" ", "-").replace(":", "")
                (save / f"{label.replace(' ', '-')}--{name}--{tag}.{ext}").write_bytes(data)
            verdict, module_fixes, fault, d = judge(label, fmt, decode(data), settings)
            row = table[(label, fmt)]
            row["images"] += 1
            row["module greys"] += module_fixes
            row[verdict] += 1
            row["faults"] += bool(fault)
            reasons[(label, verdict)].append((name, fmt, d.reason, d.details))
            if fault:
                faults.append(f"{label} / {fmt} / {name}: {fault}")
    return table, faults, reasons


def print_table(table):
    columns = ["images", "module greys", FIXED, decision.COLOUR, decision.FLAT, decision.LOSS,
               decision.GREY, "faults"]
    short = {FIXED: "fixed", decision.COLOUR: "left: colour", decision.FLAT: "left: blank/flat",
             decision.LOSS: "left: content loss", decision.GREY: "unchanged grey"}
    print("| label | format | " + " | ".join(short.get(c, c) for c in columns) + " |")
    print("|---|---|" + "---|" * len(columns))
    for (label, fmt), row in table.items():
        print(f"| {label} | {fmt} | " + " | ".join(str(row[c]) for c in columns) + " |")


# ---- cost through the command line -----------------------------------------------------

def plain_decide(rgb, params, guards=None):
    """The decision before the guards: the module's result, nothing else."""
    params = {k: v for k, v in params.items() if k in decision.PARAMETERS}
    result = vorn_hyst.monochrome(rgb, **params)
    verdict = FIXED if not np.array_equal(result, rgb) else (
        decision.GREY if decision.is_grey(rgb) else decision.COLOUR)
    return decision.Decision(verdict, result)


def median_time(run, rounds, clock=time.process_time):
    times = []
    for _ in range(rounds):
        t0 = clock()
        run()
        times.append(clock() - t0)
    return statistics.median(times)


def cost(rounds=7):
    """What the guards add to a 6 MP image's time through the command line.

    Two figures per image, both against the decision without guards
    (plain_decide): the whole command line, run alternately with and without
    the guards in this process (CPU seconds of the process, which other
    programs on the machine disturb less than wall time), and the decision
    alone on the decoded pixels, whose difference is set against the plain
    command line's time. The second is the steadier figure."""
    import contextlib

    from skimage import data

    from vorn_hyst_cli import cli, imaging
    rng = np.random.default_rng(11)
    h, w = 2000, 3000
    images = {"tinted page": compose(PAPERS["cream"], INKS["black"], text_mask(h, w, rng, 40),
                                     rng=rng),
              "colour photo": np.asarray(Image.fromarray(data.astronaut())
                                         .resize((w, h), Image.Resampling.BICUBIC))}
    settings = Settings(decision.monochrome_defaults())
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        for name, img in images.items():
            for fmt in ("png", "jpg"):
                src = tmp / f"{name.replace(' ', '-')}.{fmt}"
                Image.fromarray(img).save(src, quality=90)
                with Image.open(src) as im:
                    rgb = np.asarray(im.convert("RGB"))
                verdict = decide(rgb, settings).verdict
                runs = {"guards": [], "plain": []}
                for r in range(rounds):
                    for kind in ("plain", "guards"):
                        imaging.decide = decide if kind == "guards" else plain_decide
                        out = tmp / f"out-{kind}-{r}-{fmt}"
                        argv = [str(src), "-o", str(out), "-q", "--jobs", "1"]
                        with contextlib.redirect_stdout(io.StringIO()):
                            runs[kind].append(median_time(lambda argv=argv: cli.main(argv), 1))
                imaging.decide = decide
                alone = {kind: median_time(lambda f=f, rgb=rgb: f(rgb, settings), 3 * rounds)
                         for kind, f in (("guards", decide), ("plain", plain_decide))}
                results[(name, fmt)] = (verdict, {k: statistics.median(v) for k, v in runs.items()},
                                        alone)
    print("\n| 6 MP image | format | verdict | command line, plain | with guards | added "
          "| decision, plain | with guards | added to the command line |")
    print("|---|---|---|---|---|---|---|---|---|")
    for (name, fmt), (verdict, whole, alone) in results.items():
        print(f"| {name} | {fmt.upper()} | {verdict} | {whole['plain'] * 1e3:.0f} ms "
              f"| {whole['guards'] * 1e3:.0f} ms "
              f"| {100 * (whole['guards'] / whole['plain'] - 1):+.1f} % "
              f"| {alone['plain'] * 1e3:.1f} ms | {alone['guards'] * 1e3:.1f} ms "
              f"| {100 * (alone['guards'] - alone['plain']) / whole['plain']:+.1f} % |")


def figure(path):
    """What the bare module does to a photo and a real scan that it judges
    monochrome, beside the originals: the README's picture."""
    from skimage import data
    from skimage.transform import resize
    rows = []
    for img in (data.chelsea(), np.repeat(data.page()[..., None], 3, axis=2)):
        img = (resize(img, (200, int(200 * img.shape[1] / img.shape[0])), anti_aliasing=True)
               * 255).round().astype(np.uint8)
        raw = vorn_hyst.monochrome(img)
        assert not np.array_equal(raw, img)
        gap = np.full((img.shape[0], 8, 3), 255, np.uint8)
        rows.append(np.concatenate([img, gap, raw], axis=1))
    width = max(r.shape[1] for r in rows)
    rows = [np.pad(r, ((0, 8), (0, width - r.shape[1]), (0, 0)), constant_values=255) for r in rows]
    im = Image.fromarray(np.concatenate(rows)).quantize(colors=128, dither=Image.Dither.NONE)
    im.save(path, optimize=True)
    print(f"wrote {path}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cost", action="store_true", help="also time the guards on 6 MP images")
    ap.add_argument("--cost-only", action="store_true", help="only time the guards")
    ap.add_argument("--save", type=Path, metavar="DIR", help="keep the encoded corpus in DIR")
    ap.add_argument("--reasons", action="store_true", help="list every decision's reason")
    ap.add_argument("--figure", type=Path, metavar="PNG",
                    help="only draw the README's picture of the bare fix on a photo and a scan")
    args = ap.parse_args()
    if args.figure:
        figure(args.figure)
        return 0
    if args.cost_only:
        cost()
        return 0
    rng = np.random.default_rng(2024)
    items = real_images() + synthetic_pages(rng)
    if args.save:
        args.save.mkdir(parents=True, exist_ok=True)
    settings = Settings(decision.monochrome_defaults())
    table, faults, reasons = evaluate(items, settings, args.save)
    print(f"{len(items)} images, {len(FORMATS)} formats each, default parameters and guards "
          f"{decision.Guards()}\n")
    print_table(table)
    print(f"\nfaults: {len(faults)}")
    for f in faults:
        print("  " + f)
    if args.reasons:
        for (label, verdict), entries in sorted(reasons.items()):
            print(f"\n{label} -> {verdict}")
            for name, fmt, reason, details in entries:
                print(f"  {name} [{fmt}]: {reason} {details}")
    if args.cost:
        cost()
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

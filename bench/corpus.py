"""Labelled corpora for the command line's decision, and its evaluation.

Two corpora:
  * real scans and photos that nobody on the project made, labelled by looking
    at each of them (bench/real_corpus.json; `python bench/real_corpus.py`
    fetches them, with their checksums, into ~/.cache/vorn_hyst/real-corpus),
    decided as they are stored;
  * scikit-image's photos and scans, and synthetic pages (six paper tints,
    three inks, lamp fall-off, blank pages, stamps, signatures, highlights and
    logos of three sizes, grey and sepia photos), each stored as PNG and as
    JPEG at three qualities and chroma subsamplings and decoded again.

Each image is decided under each rule (both, the default; module; document)
and every fixed one is judged for harm, by these rules:
  * colour greyed: the image has colour content (a colour photo, a page with
    a stamp, a signature, highlighter, a logo, coloured ink) and is written grey;
  * mostly black: more than half of the written pixels are pure black;
  * blown to white: more than 5 % of the image was at least 48 levels (of
    luma) darker than its brightest 1 % and is written pure white;
  * detail lost: of the 64 x 64 parts of the image whose luma varies (a
    standard deviation of 12 or more), more than 5 % are written flat (below 2);
  * a blank page written, and for the synthetic pages a result that is not
    exactly the module's where the module's rule fixed the image.
A JPEG page that is left alone is a miss, counted but no fault (leaving a page
alone is safe). Every fixed image was also looked at (--contact DIR writes
them beside their originals).

    python bench/corpus.py                 # the tables (some minutes)
    python bench/corpus.py --real-only     # the real corpus only
    python bench/corpus.py --contact DIR   # and before/after sheets of what is fixed
    python bench/corpus.py --cost          # and the decision's cost on 6 MP images

scikit-image is needed here only (pip install scikit-image); the tool does not use it.
"""

from __future__ import annotations

import argparse
import collections
import io
import json
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageFont

import vorn_hyst
from vorn_hyst_cli import decision
from vorn_hyst_cli.decision import FIXED, Settings, decide

HERE = Path(__file__).resolve().parent
RULES = ("both", "module", "document")
# Labels, and what each must or may come out as.
PHOTO, MARKED, CLEAN, UNEVEN, REAL, BLANK, GREYPHOTO = (
    "colour photo", "page with colour mark", "clean tinted page", "lamp fall-off page",
    "real scan", "blank page", "grey or sepia photo")
# The real corpus' labels (bench/REAL_CORPUS.md).
DOCUMENT, COLOUR_DOCUMENT, COLOUR_PHOTO, COMIC, BW_PHOTO, HARD = (
    "document", "colour-document", "colour-photo", "comic", "bw-photo", "hard")
COLOURFUL = {PHOTO, MARKED, COLOUR_DOCUMENT, COLOUR_PHOTO}
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
        inner = (cx - r // 2, cy - r // 2, cx + r // 2, cy + r // 2)
        draw.ellipse(inner, fill=(250, 250, 250, 255))
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


# ---- the real corpus ------------------------------------------------------------------

def real_corpus(folder):
    """(label, id, source, rgb) of every image of the real corpus found in `folder`."""
    manifest = json.loads((HERE / "real_corpus.json").read_text())
    found = []
    for entry in sorted(manifest, key=lambda e: (e["label"], e["id"])):
        files = list(folder.glob(entry["id"] + ".*"))
        if not files:
            continue
        with Image.open(files[0]) as im:
            found.append((entry["label"], entry["id"], entry["repo"],
                          np.ascontiguousarray(np.asarray(im.convert("RGB")))))
    return found


# ---- harm -------------------------------------------------------------------------------

def luma(rgb):
    return (77 * rgb[..., 0].astype(np.uint32) + 150 * rgb[..., 1] + 29 * rgb[..., 2] + 128) >> 8


def harm(label, rgb, result):
    """The rule a fixed image breaks, or ''. See the module's docstring."""
    if label in COLOURFUL:
        return "colour greyed"
    if label == BLANK:
        return "blank page written"
    out = result[..., 0]
    if (out == 0).mean() > 0.5:
        return f"mostly black ({(out == 0).mean():.0%})"
    before = luma(rgb)
    blown = ((before <= np.percentile(before, 99) - 48) & (out == 255)).mean()
    if blown > 0.05:
        return f"blown to white ({blown:.0%})"
    h, w = before.shape[0] // 64 * 64, before.shape[1] // 64 * 64
    if h and w:
        def tiles(a):
            blocks = a[:h, :w].reshape(h // 64, 64, w // 64, 64)
            return blocks.astype(np.float32).std(axis=(1, 3))

        varied = tiles(before) >= 12
        flat = varied & (tiles(out) < 2)
        if varied.sum() and flat.sum() > 0.05 * varied.sum():
            return f"detail lost ({flat.sum()} of {varied.sum()} parts)"
    return ""


# ---- evaluation -------------------------------------------------------------------------

def encode(img, options):
    f = io.BytesIO()
    Image.fromarray(img).save(f, format="JPEG" if options else "PNG", **options)
    return f.getvalue()


def decode(data):
    with Image.open(io.BytesIO(data)) as im:
        return np.asarray(im.convert("RGB"))


class Tally:
    """Verdicts and faults per (label, format or source, rule)."""

    def __init__(self):
        self.table = collections.defaultdict(collections.Counter)
        self.faults = []
        self.fixed = []  # (name, rule, rgb, result): for the contact sheets

    def judge(self, label, group, name, rgb, rule, keep=False):
        settings = Settings(decision.monochrome_defaults(), rule=rule)
        d = decide(rgb, settings)
        row = self.table[(label, group, rule)]
        row["images"] += 1
        key = d.verdict
        if d.verdict == FIXED:
            key = f"fixed ({d.details.get('rule')})"
            fault = harm(label, rgb, d.result)
            if not fault and rule == "module" and label not in (DOCUMENT, COMIC, BW_PHOTO, HARD):
                if not np.array_equal(d.result, vorn_hyst.monochrome(rgb)):
                    fault = "written result differs from monochrome()"
            if fault:
                row["faults"] += 1
                self.faults.append(f"{rule}: {label} / {group} / {name}: {fault}")
            if keep:
                self.fixed.append((f"{name} [{rule}]", rgb, d.result))
        row[key] += 1
        return d


COLUMNS = [("images", "images"), ("fixed (module)", "fixed: module"),
           ("fixed (document)", "fixed: document"), (decision.GREY, "unchanged grey"),
           (decision.COLOUR, "left: colour"), (decision.NOT_MONOCHROME, "left: not monochrome"),
           (decision.BLANK, "left: blank"), (decision.LOSS, "left: content loss"),
           ("faults", "faults")]


def print_table(table, what):
    print(f"| label | {what} | rule | " + " | ".join(c[1] for c in COLUMNS) + " |")
    print("|---|---|---|" + "---|" * len(COLUMNS))
    for (label, group, rule), row in table.items():
        cells = " | ".join(str(row[c[0]]) for c in COLUMNS)
        print(f"| {label} | {group} | {rule} | {cells} |")


def per_source(table):
    """Documents fixed (or already black and white) per source, under the default rule."""
    sources = collections.defaultdict(lambda: [0, 0])
    for (label, group, rule), row in table.items():
        if label == DOCUMENT and rule == "both":
            done = row["fixed (module)"] + row["fixed (document)"] + row[decision.GREY]
            sources[group][0] += done
            sources[group][1] += row["images"]
    print("\n| source | documents | fixed or already black and white |")
    print("|---|---|---|")
    for source, (good, n) in sorted(sources.items()):
        print(f"| {source} | {n} | {good} |")


def contact_sheets(fixed, folder, cell=320):
    folder.mkdir(parents=True, exist_ok=True)
    for start in range(0, len(fixed), 8):
        chunk = fixed[start:start + 8]
        sheet = Image.new("RGB", (2 * (2 * cell + 12), 4 * (cell + 16)), "white")
        draw = ImageDraw.Draw(sheet)
        for k, (name, before, after) in enumerate(chunk):
            x, y = (k % 2) * (2 * cell + 12), (k // 2) * (cell + 16)
            for offset, img in ((0, before), (cell + 2, after)):
                im = Image.fromarray(img)
                im.thumbnail((cell, cell))
                sheet.paste(im, (x + offset, y))
            draw.text((x, y + cell + 2), name[:60], fill="black")
        sheet.save(folder / f"fixed-{start // 8:02}.png")
    print(f"wrote {len(fixed)} fixed images beside their originals into {folder}")


# ---- cost ------------------------------------------------------------------------------

def six_megapixel_images(real_folder):
    """A 6 MP tinted text page (synthetic), a real scan tiled to 6 MP when the
    real corpus is there, and a 6 MP colour photo."""
    from skimage import data
    rng = np.random.default_rng(11)
    h, w = 3000, 2000
    images = {"tinted page": compose(PAPERS["cream"], INKS["black"], text_mask(h, w, rng, 40),
                                     rng=rng)}
    scan = next((rgb for label, name, _, rgb in real_corpus(real_folder)
                 if name == "manuscript-18c-candide"), None) if real_folder.is_dir() else None
    if scan is not None:
        reps = (h // scan.shape[0] + 1, w // scan.shape[1] + 1, 1)
        images["real scan"] = np.ascontiguousarray(np.tile(scan, reps)[:h, :w])
    images["colour photo"] = np.asarray(Image.fromarray(data.astronaut())
                                        .resize((w, h), Image.Resampling.BICUBIC))
    return images


def cost(real_folder, rounds=9):
    """The decision's cost on 6 MP images against monochrome() on them, the
    calls alternating in this one process (medians of wall time)."""
    from vorn_hyst_cli import _analysis
    settings = Settings(decision.monochrome_defaults())
    calls = {"monochrome()": lambda rgb: vorn_hyst.monochrome(rgb),
             "document rule": lambda rgb: _analysis.document(rgb),
             "whole decision": lambda rgb: decide(rgb, settings)}
    print("\n| 6 MP image | verdict | monochrome() | document rule | ratio | whole decision "
          "| ratio |")
    print("|---|---|---|---|---|---|---|")
    for name, rgb in six_megapixel_images(real_folder).items():
        times = collections.defaultdict(list)
        for _ in range(rounds):
            for call, run in calls.items():
                t0 = time.perf_counter()
                run(rgb)
                times[call].append(time.perf_counter() - t0)
        m = {call: statistics.median(t) for call, t in times.items()}
        d = decide(rgb, settings)
        verdict = f"{d.verdict} ({d.details['rule']})" if d.verdict == FIXED else d.verdict
        print(f"| {name} | {verdict} | {m['monochrome()'] * 1e3:.1f} ms "
              f"| {m['document rule'] * 1e3:.1f} ms | {m['document rule'] / m['monochrome()']:.2f} "
              f"| {m['whole decision'] * 1e3:.1f} ms "
              f"| {m['whole decision'] / m['monochrome()']:.2f} |")


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
    ap.add_argument("--real", type=Path, default=Path(os.path.expanduser(
        "~/.cache/vorn_hyst/real-corpus")), metavar="DIR", help="the real corpus' folder")
    ap.add_argument("--real-only", action="store_true", help="only the real corpus")
    ap.add_argument("--contact", type=Path, metavar="DIR",
                    help="write every fixed image beside its original into DIR")
    ap.add_argument("--cost", action="store_true", help="also time the decision on 6 MP images")
    ap.add_argument("--cost-only", action="store_true", help="only time the decision")
    ap.add_argument("--figure", type=Path, metavar="PNG",
                    help="only draw the README's picture of the bare fix on a photo and a scan")
    args = ap.parse_args()
    if args.figure:
        figure(args.figure)
        return 0
    if args.cost_only:
        cost(args.real)
        return 0
    keep = args.contact is not None
    real = Tally()
    found = real_corpus(args.real) if args.real.is_dir() else []
    if not found:
        print(f"no real corpus in {args.real}: python bench/real_corpus.py fetches it")
    for label, name, _source, rgb in found:
        for rule in RULES:
            real.judge(label, "as stored", name, rgb, rule, keep)
    if found:
        by_source = Tally()
        for label, name, source, rgb in found:
            if label == DOCUMENT:
                by_source.judge(label, source, name, rgb, "both")
        print(f"real corpus: {len(found)} images from {len({f[2] for f in found})} sources\n")
        print_table({k: v for k, v in real.table.items() if k[1] == "as stored"}, "stored as")
        per_source(by_source.table)
    synthetic = Tally()
    if not args.real_only:
        rng = np.random.default_rng(2024)
        items = real_images() + synthetic_pages(rng)
        for label, name, img in items:
            for fmt, options in FORMATS:
                rgb = decode(encode(img, options))
                for rule in RULES:
                    synthetic.judge(label, fmt, name, rgb, rule, keep and fmt == "PNG")
        print(f"\nsynthetic and scikit-image corpus: {len(items)} images, {len(FORMATS)} "
              "formats each\n")
        print_table(synthetic.table, "format")
    faults = real.faults + synthetic.faults
    print(f"\nfaults: {len(faults)}")
    for f in faults:
        print("  " + f)
    if keep:
        contact_sheets(real.fixed + synthetic.fixed, args.contact)
    if args.cost:
        cost(args.real)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

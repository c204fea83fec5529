"""What --review costs: the same run with and without it, in one process, on generated pages.

The runs alternate (without, with, without, ...) and the fastest of each
kind is kept: the machine is shared, and other work only ever slows a run
down. Both wall time and the processor time of the run (the command's
process, its threads included) are compared, as ratios.

    python bench/review.py                        # 100 pages of 6 MP, JPEG q90, --jobs 1
    python bench/review.py --pages 50 --format png --rounds 3

With --corpus, it runs the real scans instead (bench/real_corpus.py fetches
them), each file as it is and as copies scaled to 1/2 and 1/4 as JPEG, with
two of them as a three-page TIFF and as a PDF, and with --screenshot takes a
picture of the review page in headless Chromium:

    python bench/review.py --corpus ~/.cache/vorn_hyst/real-corpus --screenshot docs/review.png
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import colour_photo  # noqa: E402
from vorn_hyst_cli.demo import demo_page  # noqa: E402

SIZE = (2048, 2900)  # width, height: 5.9 MP, an A4 page at 250 dpi
FORMATS = {"jpeg": (".jpg", dict(quality=90)), "png": (".png", {})}


def make_pages(folder, count, fmt):
    """`count` pages: of every five, four tinted text pages and a colour photo."""
    suffix, options = FORMATS[fmt]
    folder.mkdir(parents=True)
    rng = np.random.default_rng(3)
    text = demo_page(*SIZE).astype(np.int16)
    noisy = np.clip(text + rng.integers(-6, 7, text.shape), 0, 255).astype(np.uint8)
    photo = colour_photo(SIZE[1], SIZE[0], rng)
    for i in range(count):
        pixels = photo if i % 5 == 4 else noisy
        Image.fromarray(pixels).save(folder / f"page-{i:04}{suffix}", **options)


def run_once(inputs, out, extra):
    """(wall seconds, processor seconds, of them in the process itself (user),
    page faults) of one run of the command line."""
    shutil.rmtree(out, ignore_errors=True)
    command = [sys.executable, "-m", "vorn_hyst_cli", str(inputs), "-o", str(out / "files"), "-q",
               *extra]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    user = after.ru_utime - before.ru_utime
    cpu = user + (after.ru_stime - before.ru_stime)
    return wall, cpu, user, after.ru_minflt - before.ru_minflt


def folder_size(folder):
    return sum(p.stat().st_size for p in folder.rglob("*") if p.is_file())


def cost(args, work):
    pages = work / "pages"
    make_pages(pages, args.pages, args.format)
    jobs = ["--jobs", str(args.jobs)]
    review = ["--review", str(work / "out" / "review.html")]
    best = {"plain": [float("inf")] * 4, "review": [float("inf")] * 4}
    run_once(pages, work / "out", jobs)  # warms the page cache and the imports
    for _ in range(args.rounds):
        for name, extra in (("plain", jobs), ("review", jobs + review)):
            best[name] = [min(a, b) for a, b in zip(best[name], run_once(pages, work / "out",
                                                                           extra))]
    page_bytes = folder_size(work / "out") - folder_size(work / "out" / "files")
    megapixels = SIZE[0] * SIZE[1] / 1e6
    print(f"{args.pages} pages of {megapixels:.1f} MP, {args.format.upper()}, --jobs {args.jobs}, "
          f"fastest of {args.rounds} alternating runs each")
    print("| run | wall s | processor s | of it user s | page faults | wall ms per page |")
    print("|---|---|---|---|---|---|")
    for name in best:
        wall, cpu, user, faults = best[name]
        print(f"| {name} | {wall:.2f} | {cpu:.2f} | {user:.2f} | {faults:,} | "
              f"{1000 * wall / args.pages:.1f} |")
    (w0, c0, u0, _), (w1, c1, u1, _) = best["plain"], best["review"]
    print(f"\nwith --review / without: wall {w1 / w0:.3f}, processor {c1 / c0:.3f}, "
          f"user {u1 / u0:.3f}")
    # The system time follows the page faults, and they follow how the allocator
    # happens to reuse the pages' memory: a whole-page thumbnail buffer once cut
    # a run's faults by four. The user time is the fairer ratio.
    print("(the system time follows the page faults, which the allocator's reuse of the pages'\n"
          "memory decides; compare the user time, and the review's own work below)")
    thumbs, made = thumbnail_ms(sorted(pages.iterdir())[:5])
    writing = writer_ms(made, work / "alone")
    per_page = 1000 * c0 / args.pages
    print(f"thumbnails alone: {thumbs:.2f} ms per page (mean of the five kinds of page, fastest "
          f"of 20 each), {100 * thumbs / per_page:.1f} % of the plain run's processor time "
          "per page")
    print(f"the page's writing alone: {writing:.2f} ms per page (1000 rows, fastest of 5), "
          f"{100 * writing / per_page:.1f} % of it")
    print(f"the review's own work: {100 * (thumbs + writing) / per_page:.1f} % of the plain run's "
          "processor time (the whole runs' ratios above also carry the machine's other load)")
    print(f"review page and its folder: {page_bytes / 1e3:.0f} kB, "
          f"{page_bytes / args.pages / 1e3:.1f} kB per page")


def thumbnail_ms(paths):
    """The review's own work on the worker side, on pages decided as a run decides them."""
    from vorn_hyst_cli.decision import decide
    from vorn_hyst_cli.review import thumbnails
    times, made = [], []
    for path in paths:
        with Image.open(path) as im:
            rgb = np.asarray(im.convert("RGB"))
        decision = decide(rgb, {})
        best = float("inf")
        for _ in range(20):
            start = time.perf_counter()
            pair = thumbnails(rgb, decision)
            best = min(best, time.perf_counter() - start)
        times.append(best)
        made.append((decision.verdict, pair))
    return 1000 * sum(times) / len(times), made


def writer_ms(made, folder, count=1000):
    """The main thread's side: rows with these thumbnails through the page's
    writer (records, base64, chunk files written atomically), to the end."""
    from vorn_hyst_cli.report import Row, Summary
    from vorn_hyst_cli.review import ReviewWriter
    folder.mkdir()
    best = float("inf")
    for n in range(5):
        summary = Summary()
        rows = []
        for i in range(count):
            verdict, pair = made[i % len(made)]
            rows.append(Row(f"scans/page-{i:06}.jpg", 1, 2048, 2900, verdict=verdict,
                            output=f"fixed/page-{i:06}.jpg", reason="a reason of some words",
                            thumbs=pair))
        start = time.perf_counter()
        writer = ReviewWriter(folder / f"r{n}.html", run_info={"inputs": ["scans"]})
        for i, row in enumerate(rows):
            writer.add(i, [row])
            summary.add([row])
        writer.close(summary, "complete")
        best = min(best, time.perf_counter() - start)
    return 1000 * best / count


# ---- the real corpus ----------------------------------------------------------------

def corpus_folder(corpus, work):
    """The real scans as they are, scaled copies, a multi-page TIFF and a PDF."""
    folder = work / "scans"
    files = sorted(p for p in corpus.iterdir() if p.suffix.lower() in
                   (".jpg", ".jpeg", ".png", ".webp", ".tif", ".tiff", ".bmp"))
    for scale in (1, 2, 4):
        sub = folder / f"1-{scale}"
        sub.mkdir(parents=True)
        for path in files:
            if scale == 1:
                shutil.copy(path, sub / path.name)
                continue
            with Image.open(path) as im:
                small = im.convert("RGB").reduce(scale)
            small.save(sub / (path.stem + ".jpg"), quality=90)
    documents = [p for p in files if p.name.startswith(("book-", "certificate-"))][:3]
    pages = [Image.open(p).convert("RGB").reduce(2) for p in documents]
    pages[0].save(folder / "book.tif", save_all=True, append_images=pages[1:],
                  compression="tiff_lzw")
    try:
        import img2pdf
    except ImportError:
        print("img2pdf is not installed: no PDF in the run", file=sys.stderr)
    else:
        jpegs = []
        for i, im in enumerate(pages):
            jpegs.append(work / f"page{i}.jpg")
            im.save(jpegs[-1], quality=90)
        (folder / "book.pdf").write_bytes(img2pdf.convert([str(p) for p in jpegs]))
    return folder


def corpus_run(args, work):
    scans = corpus_folder(args.corpus.expanduser(), work)
    count = sum(1 for p in scans.rglob("*") if p.is_file())
    page = work / "review.html"
    command = [sys.executable, "-m", "vorn_hyst_cli", str(scans), "-r", "-o", str(work / "out"),
               "-q", "--review", str(page), "--report", str(work / "report.csv"),
               "--jobs", str(args.jobs)]
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.PIPE, text=True)
    print(f"{count} files in {time.perf_counter() - start:.1f} s, exit status {done.returncode}")
    print(done.stdout.strip())
    size = page.stat().st_size + folder_size(work / "review_files")
    print(f"review page and its folder: {size / 1e6:.1f} MB, {size / count / 1e3:.0f} kB per file")
    if args.keep:
        print(f"the page: {page}")
    if args.screenshot:
        screenshot(page, args.screenshot)


def screenshot(page, target, size=(1280, 1600)):
    """A picture of the page in headless Chromium, with a palette of 128
    colours so that it stays small enough for the README."""
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("no chromium on PATH (Debian: apt-get install chromium)")
    raw = page.with_name("screenshot.png")
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    f"--window-size={size[0]},{size[1]}", "--virtual-time-budget=10000",
                    f"--screenshot={raw}", page.as_uri()], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with Image.open(raw) as im:
        small = im.convert("RGB").quantize(colors=128, method=Image.Quantize.MEDIANCUT,
                                           dither=Image.Dither.NONE)
    small.save(target, optimize=True)
    print(f"screenshot: {target}, {Path(target).stat().st_size:,} bytes")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pages", type=int, default=100)
    ap.add_argument("--format", choices=sorted(FORMATS), default="jpeg")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--corpus", type=Path, help="run the real scans in this folder instead")
    ap.add_argument("--screenshot", type=Path, help="with --corpus: a PNG of the review page")
    ap.add_argument("--keep", action="store_true", help="keep the run's folder and say where")
    args = ap.parse_args()
    work = Path(tempfile.mkdtemp(prefix="vorn-review-"))
    try:
        if args.corpus:
            corpus_run(args, work)
        else:
            cost(args, work)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

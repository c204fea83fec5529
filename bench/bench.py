"""Side-by-side timing of vorn_hyst.monochrome.

Times, in one process and interleaved (every repetition runs each contender
once, in turn), the floor `img.copy()`, the module, the exact NumPy
implementation of bench/numpy_peer.py and, when opencv-python-headless is
installed, the histogram-and-lookup pipeline an OpenCV user would write
instead (approximate: integer lookup stretch and OpenCV's own grey
conversion). Before timing an image, the module's result is checked byte
for byte against the NumPy implementation.

    python3 bench/bench.py                             # full run, tables printed only
    python3 bench/bench.py --write bench/RESULTS.md    # also writes the tables there
    python3 bench/bench.py --quick                     # fewer repetitions
"""

import argparse
import os
import platform
import statistics
import sys
import threading
import time

import numpy as np

import vorn_hyst

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import numpy_peer  # noqa: E402

try:
    import cv2
except ImportError:  # the OpenCV column is left out
    cv2 = None  # type: ignore[assignment]

SIZES = [("1×1", 1, 1), ("64²", 64, 64), ("512²", 512, 512), ("6 MP", 2000, 3000),
         ("24 MP", 4000, 6000)]


# ---- images --------------------------------------------------------------------


def scanned_page(h, w, rng, offsets=(0, 0, 0)):
    """Light paper with a little noise and dark strokes; equal channels
    unless `offsets` tints them."""
    paper = rng.integers(-4, 5, (h, w), dtype=np.int16) + 226
    strokes = (rng.random((h, w), dtype=np.float32) < 0.1)
    ink = rng.integers(-6, 7, (h, w), dtype=np.int16) + 40
    grey = np.where(strokes, ink, paper)
    out = np.empty((h, w, 3), np.uint8)
    for c in range(3):
        out[..., c] = np.clip(grey + offsets[c], 0, 255)
    return out


def colour_photo(h, w, rng):
    """Blotches of colour with gradients and noise: not neutral."""
    cell = 48
    coarse = rng.integers(0, 256, (h // cell + 2, w // cell + 2, 3), dtype=np.uint8)
    big = np.repeat(np.repeat(coarse, cell, axis=0), cell, axis=1)[:h, :w]
    ramp = (np.arange(w, dtype=np.uint16) * 96 // max(w, 1)).astype(np.uint8)
    out = big + ramp[None, :, None]  # wraps: sharp colour edges, like objects
    out += rng.integers(0, 12, (h, w, 3), dtype=np.uint8)
    return out


KINDS = {
    "scanned page": lambda h, w, rng: scanned_page(h, w, rng),
    "tinted page": lambda h, w, rng: scanned_page(h, w, rng, (10, 0, -8)),
    "colour photo": colour_photo,
}


# ---- the OpenCV pipeline -----------------------------------------------------


def _stretch_lut(dark, light):
    v = np.arange(256, dtype=np.float32)
    if light == dark:
        return np.where(v > dark, 255, 0).astype(np.uint8)
    return np.clip(np.round((v - dark) * 255.0 / (light - dark)), 0, 255).astype(np.uint8)


def opencv_monochrome(img):
    img = np.ascontiguousarray(img)
    count = img.shape[0] * img.shape[1]
    if count == 0:
        return img.copy()
    raw = [cv2.calcHist([img], [c], None, [256], [0, 256]).ravel().astype(np.int64)
           for c in range(3)]
    levels = numpy_peer.levels_from_histograms(raw, count)
    if levels is None:
        return img.copy()
    lut = np.stack([_stretch_lut(dark, light) for dark, light in levels], axis=1).reshape(256, 1, 3)
    grey = cv2.cvtColor(cv2.LUT(img, lut), cv2.COLOR_RGB2GRAY)
    return cv2.cvtColor(grey, cv2.COLOR_GRAY2RGB)


# ---- timing ----------------------------------------------------------------------


def batch_time(fn, arg, inner):
    start = time.perf_counter()
    for _ in range(inner):
        fn(arg)
    return (time.perf_counter() - start) / inner


def interleaved(contenders, arg, reps, inner):
    """Median seconds per call of each contender, run in turn `reps` times."""
    samples = {name: [] for name, _ in contenders}
    for _name, fn in contenders:  # warm-up, not recorded
        fn(arg)
    for _ in range(reps):
        for name, fn in contenders:
            samples[name].append(batch_time(fn, arg, inner))
    return {name: statistics.median(s) for name, s in samples.items()}


def check_equal(img):
    expected = numpy_peer.monochrome(img)
    result = vorn_hyst.monochrome(img)
    if not np.array_equal(result, expected):
        raise SystemExit("module and NumPy implementation differ on this image")
    return not np.array_equal(result, img)


def contenders_for(view_of=None):
    out = [("copy", lambda a: a.copy()), ("module", vorn_hyst.monochrome)]
    if view_of is not None:
        out.append(("contig+module", lambda a: vorn_hyst.monochrome(np.ascontiguousarray(a))))
    out.append(("numpy", numpy_peer.monochrome))
    if cv2 is not None:
        out.append(("opencv", opencv_monochrome))
    return out


def fmt_rate(mp_per_s):
    return f"{mp_per_s:.0f}" if mp_per_s >= 10 else f"{mp_per_s:.2f}"


def fmt_time(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e3:.2f} ms"


def two_threads(img_a, img_b, reps):
    """Median wall times: the two calls one after the other, and on two threads."""
    def serial():
        vorn_hyst.monochrome(img_a)
        vorn_hyst.monochrome(img_b)

    def parallel():
        threads = [threading.Thread(target=vorn_hyst.monochrome, args=(img,))
                   for img in (img_a, img_b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    serial(), parallel()
    s, p = [], []
    for _ in range(reps):
        start = time.perf_counter()
        serial()
        s.append(time.perf_counter() - start)
        start = time.perf_counter()
        parallel()
        p.append(time.perf_counter() - start)
    return statistics.median(s), statistics.median(p)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="3 repetitions instead of 11")
    parser.add_argument("--write", metavar="FILE", help="also write the tables into FILE "
                        "(markdown; bench/RESULTS.md is the committed one)")
    args = parser.parse_args()
    reps = 3 if args.quick else 11
    out_path = args.write

    load_before = os.getloadavg()
    rng = np.random.default_rng(20260101)
    header = ["image", "size", "copy", "module", "module MP/s", "module / copy", "numpy",
              "numpy / module"]
    if cv2 is not None:
        header += ["opencv (approx.)", "opencv / module"]
    rows, results, neutral = [], {}, {}

    def add_row(kind, size, pixels, m):
        row = [kind, size, fmt_time(m["copy"]), fmt_time(m["module"]),
               fmt_rate(pixels / m["module"] / 1e6), f"{m['module'] / m['copy']:.2f}",
               fmt_time(m["numpy"]), f"{m['numpy'] / m['module']:.1f}"]
        if cv2 is not None:
            row += [fmt_time(m["opencv"]), f"{m['opencv'] / m['module']:.1f}"]
        if "contig+module" in m:
            row[1] += f" (contig. copy + call {fmt_time(m['contig+module'])})"
        rows.append(row)
        print(" | ".join(row), flush=True)

    print(" | ".join(header))
    big = {}
    for label, h, w in SIZES:
        pixels = h * w
        inner = max(1, min(1000, 200_000 // pixels))
        for kind, make in KINDS.items():
            img = make(h, w, rng)
            neutral[(kind, label)] = check_equal(img)
            m = interleaved(contenders_for(), img, reps, inner)
            results[(kind, label)] = m
            add_row(kind, label, pixels, m)
            if label in ("6 MP", "24 MP"):
                big[(kind, label)] = img
    for kind in KINDS:
        base = big[(kind, "6 MP")]
        for layout, view in (("reversed view", base[:, ::-1]),
                             ("Fortran order", np.asfortranarray(base))):
            check_equal(view)
            m = interleaved(contenders_for(view_of=base), view, reps, 1)
            results[(kind, layout)] = m
            add_row(kind, f"6 MP {layout}", base.shape[0] * base.shape[1], m)

    threaded = {}
    for kind in ("scanned page", "colour photo"):
        a = big[(kind, "24 MP")]
        b = a[::-1].copy()
        threaded[kind] = two_threads(a, b, reps)
        s, p = threaded[kind]
        print(f"two threads, {kind} 24 MP: serial {fmt_time(s)}, threaded {fmt_time(p)}, "
              f"throughput x{s / p:.2f}", flush=True)

    # ---- targets ----
    def ratio(kind, size, a, b):
        m = results[(kind, size)]
        return m[a] / m[b]

    checks = [
        ("24 MP scanned page <= 2.5 x copy",
         ratio("scanned page", "24 MP", "module", "copy"), lambda r: r <= 2.5),
        ("24 MP colour photo <= 1.8 x copy",
         ratio("colour photo", "24 MP", "module", "copy"), lambda r: r <= 1.8),
    ]
    for kind in KINDS:
        for size in ("6 MP", "24 MP"):
            checks.append((f"{size} {kind}: >= 4 x faster than numpy",
                           ratio(kind, size, "numpy", "module"), lambda r: r >= 4))
            if cv2 is not None:
                checks.append((f"{size} {kind}: faster than opencv",
                               ratio(kind, size, "opencv", "module"), lambda r: r > 1))
        checks.append((f"1×1 {kind}: <= 1/15 of numpy per call",
                       ratio(kind, "1×1", "numpy", "module"), lambda r: r >= 15))
        for layout in ("reversed view", "Fortran order"):
            checks.append((f"6 MP {kind} {layout}: no slower than contiguous copy + call",
                           ratio(kind, layout, "module", "contig+module"), lambda r: r <= 1.0))
        rates = [(SIZES_PIXELS[s]) / results[(kind, s)]["module"]
                 for s in ("512²", "6 MP", "24 MP")]
        checks.append((f"{kind}: MP/s within 30 % across 512², 6 MP, 24 MP (max/min)",
                       max(rates) / min(rates), lambda r: r <= 1.3))
    for kind, (s, p) in threaded.items():
        checks.append((f"two threads on 24 MP {kind}: >= 1.6 x serial throughput", s / p,
                       lambda r: r >= 1.6))
    target_rows = [[name, f"{value:.2f}", "met" if ok(value) else "NOT met"]
                   for name, value, ok in checks]
    print()
    for row in target_rows:
        print(" | ".join(row))

    if out_path:
        load = (load_before[0], os.getloadavg()[0])
        write_markdown(out_path, header, rows, threaded, target_rows, neutral, reps, load)
        print(f"\nwritten to {out_path}")


SIZES_PIXELS = {label: h * w for label, h, w in SIZES}


def write_markdown(path, header, rows, threaded, target_rows, neutral, reps, load):
    def table(head, body):
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        lines += ["| " + " | ".join(r) + " |" for r in body]
        return "\n".join(lines)

    cv = f"OpenCV {cv2.__version__} with {cv2.getNumThreads()} threads" if cv2 else "no OpenCV"
    lines = [
        "# Benchmark results",
        "",
        f"`python3 bench/bench.py --write {path}` — medians of {reps} interleaved repetitions; "
        f"Python {platform.python_version()}, NumPy {np.__version__}, {cv}, "
        f"{os.cpu_count()} CPUs ({platform.machine()}); load average {load[0]:.2f} at the start "
        f"of the run, {load[1]:.2f} at its end.",
        "",
        "*copy* is `img.copy()`, the floor. *numpy* is the exact NumPy implementation "
        "(bench/numpy_peer.py, checked byte for byte against the module on every image). "
        "*opencv* is the approximate `cv2.calcHist` / `cv2.LUT` / `cv2.cvtColor` pipeline. "
        "Ratios above 1 in the peer columns mean the module is faster.",
        "",
        "Scanned and tinted pages are judged neutral (their levels are fixed) from 512² up; "
        "the colour photo never is." if all(neutral[(k, s)] for k in ("scanned page", "tinted page")
                                           for s in ("512²", "6 MP", "24 MP")) else "",
        "",
        table(header, rows),
        "",
        "## Two threads",
        "",
        table(["24 MP image", "two calls, serial", "two calls, two threads", "throughput gain"],
              [[k, f"{s * 1e3:.1f} ms", f"{p * 1e3:.1f} ms", f"{s / p:.2f}"]
               for k, (s, p) in threaded.items()]),
        "",
        "## Targets",
        "",
        table(["target", "measured", ""], target_rows),
        "",
    ]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()

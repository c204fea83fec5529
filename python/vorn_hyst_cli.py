"""vorn-hyst: fixes the black and white levels of monochrome scans, folder by folder.

Every image is handed to ``vorn_hyst.monochrome``. A page it judges monochrome
comes out with its ink black and its paper white, written as 8-bit greyscale;
a colour image is copied through byte for byte. Nothing is overwritten unless
asked for, and every output is written to a temporary file beside its
destination and renamed into place, so an interrupted run leaves no
half-written file behind.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import csv
import dataclasses
import importlib
import inspect
import io
import json
import os
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

import vorn_hyst

PROG = "vorn-hyst"
PILLOW_MISSING = (f"{PROG} needs Pillow to read and write images; install it with "
                  "python -m pip install 'vorn_hyst[cli]'")

FIXED, GREY, COLOUR, FAILED = ("levels fixed", "unchanged grey", "colour left as it is", "failed")
FORMATS = {"PNG", "JPEG", "MPO", "TIFF", "BMP", "WEBP"}
EXTENSIONS = {".png", ".jpg", ".jpeg", ".jpe", ".tif", ".tiff", ".bmp", ".webp"}
# Formats that store a greyscale result without loss (TIFF unless JPEG-compressed);
# a grey image that the fix left alone is only worth rewriting, to drop two
# redundant channels, in these.
LOSSLESS = {"PNG", "TIFF", "BMP"}
GREY_MODES = {"1", "L", "LA"}
# Modes whose pixels convert to 8-bit RGB exactly.
COLOUR_MODES = {"RGB", "RGBA", "RGBX", "P", "PA"}
# TIFF compressions Pillow writes for 8-bit greyscale and RGB.
TIFF_COMPRESSIONS = {"raw", "tiff_lzw", "tiff_deflate", "tiff_adobe_deflate", "packbits", "jpeg"}
# TIFF tags carried to the output: resolution, descriptive tags, XMP, IPTC,
# Photoshop, EXIF and GPS. The tags describing the pixel layout are the
# encoder's to write, and the ICC profile is checked on its own.
TIFF_TAGS = {269, 270, 271, 272, 274, 282, 283, 285, 296, 297, 305, 306, 315, 316,
             700, 33432, 33723, 34377, 34665, 34853}
PARAMETERS = ("blur_n", "window_radius", "min_prominence", "min_distance", "percentage")


def monochrome_defaults():
    """The defaults of ``monochrome`` as the module itself states them."""
    params = inspect.signature(vorn_hyst.monochrome).parameters
    return {name: params[name].default for name in PARAMETERS}


class ImageError(Exception):
    """A file that cannot be processed; the message is shown to the user."""


@dataclasses.dataclass
class Row:
    """One line of the report: one image, or one page of a multi-page TIFF."""
    path: str
    page: int = 0
    width: int = 0
    height: int = 0
    verdict: str = FAILED
    output: str = ""
    seconds: float = 0.0
    error: str = ""


@dataclasses.dataclass
class Job:
    source: Path
    dest: Path


# ---- command line ---------------------------------------------------------------

def build_parser():
    defaults = monochrome_defaults()
    p = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Fix the black and white levels of monochrome scans. Images judged\n"
                    "monochrome get black ink and white paper and are written as 8-bit\n"
                    "greyscale; colour images are copied unchanged.",
        epilog="examples:\n"
               "  vorn-hyst scans/ -r -o fixed/ --report fixed/report.csv\n"
               "  vorn-hyst page-*.tif --in-place\n"
               "  vorn-hyst --demo demo-out")
    p.add_argument("inputs", nargs="*", metavar="INPUT", help="image files or directories")
    p.add_argument("-o", "--output", metavar="OUTDIR", type=Path,
                   help="directory for the results (the inputs' relative paths are kept)")
    p.add_argument("-r", "--recursive", action="store_true", help="descend into subdirectories")
    p.add_argument("--in-place", action="store_true",
                   help="replace each input by its result (colour images stay untouched)")
    p.add_argument("--overwrite", action="store_true", help="replace existing files in OUTDIR")
    p.add_argument("--keep-rgb", action="store_true",
                   help="write grey results of RGB and palette images as RGB, not 8-bit greyscale")
    p.add_argument("--quality", type=int, default=90, metavar="Q",
                   help="JPEG (and lossy WebP) quality of rewritten images, 1-100 (default 90)")
    p.add_argument("-j", "--jobs", type=int, default=default_jobs(), metavar="N",
                   help="images processed at the same time (default: the core count, %(default)s)")
    p.add_argument("--report", type=Path, metavar="FILE",
                   help="write one row per image to FILE, CSV or JSON by its extension")
    p.add_argument("-q", "--quiet", action="store_true", help="print only failures and the summary")
    p.add_argument("--demo", type=Path, metavar="OUTDIR",
                   help="write a synthetic scanned page, its fixed version and both side by side")
    g = p.add_argument_group("level fix parameters",
                             "those of vorn_hyst.monochrome; --blur_n and the like work too")
    g.add_argument("--blur-n", type=natural, default=defaults["blur_n"], metavar="N",
                   help="histogram smoothing passes, 0-1024 (default %(default)s)")
    g.add_argument("--window-radius", type=natural, default=defaults["window_radius"], metavar="N",
                   help="local maximum search radius in bins, 1-255 (default %(default)s)")
    g.add_argument("--min-prominence", type=float, default=defaults["min_prominence"],
                   metavar="P", help="minimum peak prominence in percent of the pixel count "
                                     "(default %(default)s)")
    g.add_argument("--min-distance", type=natural, default=defaults["min_distance"], metavar="N",
                   help="minimum distance between peaks in bins, 1-255 (default %(default)s)")
    g.add_argument("--percentage", type=float, default=defaults["percentage"], metavar="R",
                   help="largest relative disagreement of the channels' peak masses still "
                        "judged monochrome (default %(default)s)")
    return p


def natural(text):
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


def default_jobs():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def normalise_argv(argv):
    """Accepts the Python spellings of the parameters (--blur_n) beside the dashed ones."""
    out = []
    for i, arg in enumerate(argv):
        if arg == "--":
            return out + argv[i:]
        name, eq, value = arg.partition("=")
        if name.startswith("--") and name[2:] in PARAMETERS:
            arg = name.replace("_", "-") + eq + value
        out.append(arg)
    return out


def parse_args(argv):
    parser = build_parser()
    args = parser.parse_args(normalise_argv(list(argv)))
    if args.demo is not None:
        if args.inputs or args.output or args.in_place:
            parser.error("--demo takes only its output directory")
    elif not args.inputs:
        parser.error("no INPUT given")
    elif args.in_place == (args.output is not None):
        parser.error("give either -o OUTDIR or --in-place")
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if not 1 <= args.quality <= 100:
        parser.error("--quality must be in 1..100")
    args.params = {name: getattr(args, name) for name in PARAMETERS}
    try:  # let the module judge the parameters, with its own messages
        vorn_hyst.monochrome(np.zeros((1, 1, 3), np.uint8), **args.params)
    except (ValueError, OverflowError, TypeError) as e:
        parser.error(str(e))
    return args


# ---- finding the work -------------------------------------------------------------

def plan(args):
    """Pairs every input image with its destination; returns (jobs, failed rows)."""
    jobs, failed, taken = [], [], {}
    outdir = args.output.resolve() if args.output else None

    def add(source, relative):
        dest = source if args.in_place else args.output / relative
        key = os.path.normcase(os.path.abspath(dest))
        if key in taken:
            failed.append(Row(str(source), error=f"same output as {taken[key]}: {dest}"))
            return
        taken[key] = source
        jobs.append(Job(source, dest))

    for text in args.inputs:
        root = Path(text)
        if root.is_dir():
            for source in walk(root, args.recursive, outdir):
                add(source, source.relative_to(root))
        elif root.is_file():
            add(root, Path(root.name))
        else:
            failed.append(Row(text, error="no such file or directory"))
    return jobs, failed


def walk(root, recursive, skip):
    for dirpath, dirnames, filenames in os.walk(root):
        here = Path(dirpath)
        dirnames[:] = sorted(d for d in dirnames if recursive and not d.startswith(".")
                             and (here / d).resolve() != skip)
        for name in sorted(filenames):
            if not name.startswith(".") and os.path.splitext(name)[1].lower() in EXTENSIONS:
                yield here / name


# ---- one file ---------------------------------------------------------------------

def open_image(path):
    from PIL import Image
    try:
        im = Image.open(path)
    except Image.UnidentifiedImageError:
        raise ImageError("not an image file Pillow can read") from None
    if im.format not in FORMATS:
        im.close()
        raise ImageError(f"unsupported format {im.format}")
    return im


def check_mode(im):
    """Refuses, before decoding, what cannot go through an 8-bit RGB fix exactly."""
    mode = im.mode
    if mode in ("I;16", "I;16L", "I;16B", "I;16N", "I", "F"):
        raise ImageError(f"{mode} images are not supported: the level fix works on 8-bit "
                         "channels, and reducing them to 8 bits would lose precision")
    if mode not in GREY_MODES and mode not in COLOUR_MODES:
        raise ImageError(f"images of mode {mode} are not supported")
    # Pillow reads 16-bit RGB as 8-bit RGB; writing that back would lose precision.
    for tile in getattr(im, "tile", None) or ():
        args = tile[3]
        rawmode = args if isinstance(args, str) else (args[0] if args else "")
        if isinstance(rawmode, str) and (";16" in rawmode or ";32" in rawmode):
            raise ImageError("16-bit channels are not supported: the level fix works on "
                             "8-bit channels, and reducing them to 8 bits would lose precision")


def split_page(im):
    """The page as an (H, W, 3) uint8 array and its alpha channel (or None)."""
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
    return np.asarray(im.convert("RGB")), alpha


def is_grey(rgb):
    return bool((rgb[..., 0] == rgb[..., 1]).all() and (rgb[..., 1] == rgb[..., 2]).all())


def fix_page(im, params):
    """Returns (verdict, result array, alpha) for the current, loaded page of `im`."""
    rgb, alpha = split_page(im)
    result = vorn_hyst.monochrome(rgb, **params)
    if not np.array_equal(result, rgb):
        return FIXED, result, alpha
    return (GREY if is_grey(rgb) else COLOUR), result, alpha


def result_image(result, alpha, stored_grey, keep_rgb):
    from PIL import Image
    if is_grey(result) and (stored_grey or not keep_rgb):
        out = Image.fromarray(np.ascontiguousarray(result[..., 0]), "L")
        return Image.merge("LA", (out, alpha)) if alpha is not None else out
    out = Image.fromarray(result, "RGB")
    if alpha is not None:
        out.putalpha(alpha)
    return out


def page_metadata(im, fmt):
    """What the output should carry over from the current page; read before the
    page is decoded, while Pillow still has the file open."""
    meta = {key: im.info[key] for key in ("icc_profile", "dpi", "exif", "xmp", "comment",
                                          "compression") if im.info.get(key)}
    if fmt == "TIFF":
        # Pillow keeps one EXIF object and one info dict for all pages of a TIFF,
        # and a key of an earlier page can linger in them, so each page's own
        # tags are copied out here.
        meta.pop("icc_profile", None)
        if im.tag_v2.get(34675):
            meta["icc_profile"] = bytes(im.tag_v2[34675])
        page = im.getexif()
        meta["tags"] = {tag: dict(page.get_ifd(tag)) if tag in (0x8769, 0x8825) else page[tag]
                        for tag in TIFF_TAGS.intersection(page)}
    elif fmt == "PNG" and getattr(im, "text", None):
        meta["text"] = dict(im.text)
    return meta


def save_options(meta, fmt, out, args, lossless_webp):
    """Encoder options that carry the page's metadata over to `out`."""
    kw = {}
    icc = meta.get("icc_profile")
    # A profile must describe the colour space of the pixels it is stored with:
    # an RGB profile in a greyscale file makes the file invalid.
    if icc and icc[16:20] == (b"GRAY" if out.mode in ("L", "LA") else b"RGB "):
        kw["icc_profile"] = icc
    if fmt == "TIFF":
        kw["tiffinfo"] = meta["tags"]  # a dict value is written as a directory of its own
        compression = meta.get("compression", "raw")
        kw["compression"] = compression if compression in TIFF_COMPRESSIONS else "tiff_lzw"
        if kw["compression"] == "jpeg":
            kw["quality"] = args.quality
        return kw
    for key in ("dpi", "exif", "xmp", "comment"):
        if key in meta:
            kw[key] = meta[key]
    if fmt == "JPEG":
        kw["quality"] = args.quality
    elif fmt == "PNG" and "text" in meta:
        from PIL import PngImagePlugin
        png = PngImagePlugin.PngInfo()
        for key, value in meta["text"].items():
            png.add_text(key, value)
        kw["pnginfo"] = png
    elif fmt == "WEBP":
        if lossless_webp:
            kw.update(lossless=True, exact=True)
        else:
            kw["quality"] = args.quality
    return kw


def webp_is_lossless(path):
    with open(path, "rb") as f:
        head = f.read(1 << 16)
    return head[12:16] == b"VP8L" or (head[12:16] == b"VP8X" and b"VP8L" in head[30:])


def process(job, args):
    """Processes one file; returns its report rows. A bad image gives one failed row."""
    start = time.perf_counter()
    try:
        return process_file(job, args)
    except ImageError as e:
        message = str(e)
    except OSError as e:
        message = str(e)
    except Exception as e:  # Pillow raises many kinds for damaged files
        message = f"{type(e).__name__}: {e}"
    return [Row(str(job.source), error=message, seconds=time.perf_counter() - start)]


def process_file(job, args):
    replace = args.overwrite or args.in_place
    if not replace and os.path.lexists(job.dest):
        raise ImageError(f"{job.dest} exists (use --overwrite to replace it)")
    rows, pages, rewrite = [], [], False
    with open_image(job.source) as im:
        fmt = "JPEG" if im.format == "MPO" else im.format
        count = getattr(im, "n_frames", 1)
        if count > 1 and fmt != "TIFF":
            raise ImageError(f"files of {count} frames are not supported in {im.format}")
        lossless_webp = fmt == "WEBP" and webp_is_lossless(job.source)
        for index in range(count):
            t0 = time.perf_counter()
            im.seek(index)
            check_mode(im)
            meta = page_metadata(im, fmt)
            try:
                im.load()
            except OSError as e:
                where = f"page {index + 1}: " if count > 1 else ""
                raise ImageError(f"cannot read {where}{e}") from None
            verdict, result, alpha = fix_page(im, args.params)
            stored_grey = im.mode in GREY_MODES
            # A grey page stored as RGB is rewritten in greyscale only where that
            # loses nothing; a colour page alone never makes a file rewritten.
            lossless = fmt in LOSSLESS and meta.get("compression") not in ("jpeg", "tiff_jpeg")
            rewrite |= verdict == FIXED or (verdict == GREY and not stored_grey
                                            and not args.keep_rgb and lossless)
            out = result_image(result, alpha, stored_grey, args.keep_rgb)
            if fmt == "WEBP" and out.mode in ("L", "LA"):
                out = out.convert("RGBA" if alpha is not None else "RGB")  # no grey WebP
            elif fmt == "BMP" and out.mode == "LA":
                out = out.convert("RGBA")
            pages.append((out, save_options(meta, fmt, out, args, lossless_webp)))
            rows.append(Row(str(job.source), index, im.width, im.height, verdict,
                            str(job.dest), time.perf_counter() - t0))
    t0 = time.perf_counter()
    if rewrite:
        write_atomic(job.dest, lambda f: encode(f, fmt, pages), job.source, replace)
    elif not same_file(job.source, job.dest):
        write_atomic(job.dest, lambda f: copy_bytes(job.source, f), job.source, replace)
    share = (time.perf_counter() - t0) / len(rows)
    for row in rows:
        row.seconds += share
    return rows


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def encode(f, fmt, pages):
    if len(pages) == 1:
        out, kw = pages[0]
        out.save(f, format=fmt, **kw)
        return
    from PIL import TiffImagePlugin
    # Each page keeps its own resolution, profile and tags.
    with TiffImagePlugin.AppendingTiffWriter(f) as tf:
        for out, kw in pages:
            out.save(tf, format="TIFF", **kw)
            tf.newFrame()


def copy_bytes(source, f):
    with open(source, "rb") as src:
        shutil.copyfileobj(src, f)


def write_atomic(dest, fill, like=None, replace=False):
    """Writes `dest` through a temporary file in its directory, renamed into place.

    The file gets the permissions of `like` (the source image) or those of a new
    file. Unless `replace` is true, an existing `dest` is never touched."""
    dest = Path(dest)
    dest.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=f".{dest.name}.", suffix=".tmp", dir=dest.parent)
    try:
        with os.fdopen(fd, "w+b") as f:
            fill(f)
            f.flush()
            os.fsync(f.fileno())
        if like is not None:
            shutil.copymode(like, tmp)
        else:
            os.chmod(tmp, 0o666 & ~UMASK)
        if replace:
            os.replace(tmp, dest)
            return
        # A hard link fails if dest appeared in the meantime, where a rename
        # would silently replace it.
        try:
            os.link(tmp, dest)
        except FileExistsError:
            raise ImageError(f"{dest} exists (use --overwrite to replace it)") from None
        except OSError:  # no hard links on this file system
            if os.path.lexists(dest):
                raise ImageError(f"{dest} exists (use --overwrite to replace it)") from None
            os.replace(tmp, dest)
    finally:
        if os.path.lexists(tmp):
            os.unlink(tmp)


def read_umask():
    mask = os.umask(0o22)
    os.umask(mask)
    return mask


UMASK = read_umask()


# ---- running and reporting ------------------------------------------------------

class Progress:
    """A bar on a terminal, one line per file otherwise."""

    def __init__(self, total, quiet, stream=None):
        self.total, self.quiet, self.done = total, quiet, 0
        self.stream = stream or sys.stderr
        self.bar = not quiet and total > 0 and self.stream.isatty()
        self.lock = threading.Lock()

    def update(self, rows):
        with self.lock:
            self.done += 1
            first = rows[0]
            if first.error:
                self.clear()
                print(f"{PROG}: {first.path}: {first.error}", file=sys.stderr)
            elif not self.bar and not self.quiet:
                for row in rows:
                    page = f" page {row.page + 1}" if len(rows) > 1 else ""
                    print(f"{row.verdict}: {row.path}{page} -> {row.output}", flush=True)
            if self.bar:
                width = 30
                filled = width * self.done // self.total
                name = Path(first.path).name[:40]
                self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] "
                                  f"{self.done}/{self.total} {name}\033[K")
                self.stream.flush()

    def clear(self):
        if self.bar:
            self.stream.write("\r\033[K")

    def close(self):
        if self.bar:
            self.clear()
            self.stream.flush()


def run_jobs(jobs, args, progress):
    """Processes the jobs on a thread pool; rows come back in input order."""
    results = [None] * len(jobs)
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = {pool.submit(process, job, args): i for i, job in enumerate(jobs)}
        try:
            for future in concurrent.futures.as_completed(futures):
                results[futures[future]] = future.result()
                progress.update(results[futures[future]])
        except KeyboardInterrupt:
            for future in futures:
                future.cancel()
            raise
    return [row for rows in results for row in rows]


def summary(rows):
    count = {v: sum(r.verdict == v for r in rows) for v in (FIXED, GREY, COLOUR, FAILED)}
    return (f"{count[FIXED] + count[GREY]} monochrome ({count[FIXED]} levels fixed, "
            f"{count[GREY]} unchanged grey), {count[COLOUR]} colour, {count[FAILED]} failed")


def write_report(path, rows):
    fields = [f.name for f in dataclasses.fields(Row)]
    records = [dataclasses.asdict(r) | {"seconds": round(r.seconds, 6)} for r in rows]

    def fill(f):
        text = io.TextIOWrapper(f, encoding="utf-8", newline="")
        if path.suffix.lower() == ".json":
            json.dump(records, text, indent=1)
            text.write("\n")
        else:
            writer = csv.DictWriter(text, fieldnames=fields)
            writer.writeheader()
            writer.writerows(records)
        text.flush()
        text.detach()

    write_atomic(path, fill, replace=True)


def main(argv=None):
    """Runs the command line; returns the exit status (0: all went well, 1: some image
    failed, 2: bad usage or Pillow missing, 130: interrupted)."""
    try:
        args = parse_args(sys.argv[1:] if argv is None else argv)
    except SystemExit as e:  # usage errors and --help
        return e.code if isinstance(e.code, int) else 2
    try:
        importlib.import_module("PIL.Image")
    except ImportError:
        print(PILLOW_MISSING, file=sys.stderr)
        return 2
    if args.demo is not None:
        return demo(args)
    jobs, failed = plan(args)
    progress = Progress(len(jobs) + len(failed), args.quiet)
    for row in failed:
        progress.update([row])
    try:
        rows = run_jobs(jobs, args, progress)
    except KeyboardInterrupt:
        progress.close()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    progress.close()
    rows = failed + rows
    if not rows:
        print(f"{PROG}: no images found", file=sys.stderr)
    if args.report:
        write_report(args.report, rows)
    print(summary(rows))
    return 1 if any(r.verdict == FAILED for r in rows) else 0


# ---- the built-in example -------------------------------------------------------

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
    from PIL import Image
    out = args.demo
    scan_path, fixed_path, side_path = out / "page.png", out / "page-fixed.png", out / "before-after.png"
    if not args.overwrite:
        existing = [str(p) for p in (scan_path, fixed_path, side_path) if os.path.lexists(p)]
        if existing:
            print(f"{PROG}: {', '.join(existing)} exist (use --overwrite)", file=sys.stderr)
            return 1
    args.overwrite = True
    scan = demo_page()
    write_atomic(scan_path, lambda f: Image.fromarray(scan).save(f, format="PNG", dpi=(150, 150)),
                 replace=True)
    [row] = process(Job(scan_path, fixed_path), args)
    if row.error:
        print(f"{PROG}: {row.error}", file=sys.stderr)
        return 1
    with Image.open(fixed_path) as im:
        fixed = np.asarray(im.convert("RGB"))
    gap = np.full((scan.shape[0], 12, 3), 255, np.uint8)
    side = Image.fromarray(np.concatenate([scan, gap, fixed], axis=1))
    # An adaptive palette keeps the preview small enough to put on a web page.
    side = side.quantize(colors=128, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    write_atomic(side_path, lambda f: side.save(f, format="PNG", optimize=True),
                 replace=True)
    print(f"{row.verdict}: {scan_path} -> {fixed_path}")
    print(f"paper {level(scan, 90)} -> {level(fixed, 90)}, ink {level(scan, 2)} -> {level(fixed, 2)}")
    print(f"before and after: {side_path}")
    return 0 if row.verdict == FIXED else 1


def level(img, percentile):
    return tuple(int(np.percentile(img[..., c], percentile)) for c in range(3))


if __name__ == "__main__":
    sys.exit(main())

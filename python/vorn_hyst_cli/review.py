"""The review page: every image (or page) with a before/after pair of
thumbnails, its verdict, its rule, the reason and the measures, for an
archivist to check a run by looking.

The page is FILE.html and a folder beside it, FILE_files/, of script files:
``rows-NNNNNN.js`` hold the rows (text only, a few hundred bytes each) and
``thumbs-NNNNNN.js`` the thumbnails (JPEG, in base64). A page opened from disk
may load scripts beside it but not fetch() files, hence scripts; and no file
in the folder has an image's name, so no walk, this run's or a later one's,
ever takes it as an input.

Written as the run goes, so that its memory stays flat: the rows go out in
chunks of ROWS_PER_CHUNK, the thumbnails in chunks of THUMBS_PER_CHUNK, each
chunk through an atomic write, so a chunk on disk is whole. The HTML itself is
written at the start, saying the run is under way (its script then loads row
chunks one after another until one is missing), and again at the end, on
Ctrl-C and SIGTERM too, with the summary and the number of chunks.

Fixed pages first: the page's script sorts the rows it has loaded by verdict
(in the order of outcome.Verdict, levels fixed first), then in input order.
So that the rows shown together have their thumbnails in few chunks, the
thumbnails are chunked per verdict: each verdict fills its own chunks.

The thumbnails are made where the page's pixels are at hand (the decoded RGB
and the decision's result; nothing is decoded twice), on the worker threads
or Dask workers, and travel with the rows (Row.thumbs, which the report does
not write).
"""

from __future__ import annotations

import base64
import contextlib
import datetime
import json
import os
import re
import time
import urllib.parse
from pathlib import Path, PurePath

import numpy as np

from . import deps
from .fileio import shown, write_atomic
from .outcome import DestinationExists, ReportError, Verdict
from .report import FIELDS, record

# The box a thumbnail fits in: a portrait page a few hundred pixels wide.
THUMB_BOX = (240, 340)
THUMB_QUALITY = 70
# Each output pixel of a thumbnail averages this many samples per side (at
# least): the page is first sampled on a grid, then box-averaged. Averaging
# every pixel costs a tenth of a 6 MP JPEG page's run; a grid of every fourth
# pixel, a hundredth, and on a thumbnail the two look alike (only a fine
# regular pattern, a halftone screen, may show moire).
SAMPLES_PER_SIDE = 3
# Rows of a thumbnail made from one band of the page at a time.
BAND_ROWS = 64
ROWS_PER_CHUNK = 1000
THUMBS_PER_CHUNK = 32
# A page opened during a run shows what is at most this old.
FLUSH_SECONDS = 10.0
CHUNK = re.compile(r"^(rows|thumbs)-\d{6}\.js$")
VERDICTS = list(Verdict)


# ---- thumbnails (on the workers) --------------------------------------------------------

def thumbnails(rgb, decision):
    """(before, after) JPEG thumbnails of a decided page: `after` only when the
    levels are fixed (it is then grey, as every fixed page is), None else.
    Made from the arrays the decision already has."""
    if rgb.size == 0:
        return None
    before = thumbnail(rgb)
    after = None
    if decision.verdict == Verdict.FIXED:
        after = thumbnail(decision.result[..., 0])
    return before, after


def thumbnail(pixels):
    Image = deps.pillow()
    import io
    h, w = pixels.shape[:2]
    factor = max(1, -(-w // THUMB_BOX[0]), -(-h // THUMB_BOX[1]))
    step = max(1, factor // SAMPLES_PER_SIDE)
    box = -(-factor // step)
    # In bands of rows: a whole page sampled and handed to Pillow (which holds
    # RGB as 4 bytes a pixel) would add a copy of the page to the peak that the
    # memory budget reckons with, on a small page most of all. Bands start on
    # the grid and on a box's edge, so the result is the whole page's.
    rows = box * step * BAND_ROWS
    small = None
    for top in range(0, h, rows):
        part = Image.fromarray(sampled(pixels[top:top + rows], step)).reduce(box)
        if small is None:
            small = Image.new(part.mode, (part.width, -(-h // (step * box))))
        small.paste(part, (0, top // (step * box)))
    out = io.BytesIO()
    small.save(out, format="JPEG", quality=THUMB_QUALITY)
    return out.getvalue()


def sampled(pixels, step):
    """Every `step`-th pixel of every `step`-th row, as a new contiguous array."""
    if step == 1:
        return np.ascontiguousarray(pixels)
    grid = pixels[::step, ::step]
    if pixels.ndim == 2:
        return np.ascontiguousarray(grid)
    # Channel by channel: NumPy copies one strided byte plane fast, and
    # whole 3-byte pixels (as a void type) a quarter as fast.
    out = np.empty(grid.shape, np.uint8)
    for c in range(grid.shape[2]):
        out[..., c] = grid[..., c]
    return out


# ---- the page ---------------------------------------------------------------------------

def folder_of(path):
    """The folder of the page's chunks: FILE_files beside FILE.html."""
    path = Path(path)
    return path.with_name((path.stem or path.name) + "_files")


def href(target, base):
    """A relative link from the folder `base` to `target`, or a file: URL."""
    try:
        rel = os.path.relpath(os.path.abspath(target), base)
    except ValueError:  # another drive
        return Path(os.path.abspath(target)).as_uri()
    return urllib.parse.quote(os.fsencode(PurePath(rel).as_posix()), safe="/")


def script_json(value):
    """JSON that can stand in a script element and in a script file."""
    text = json.dumps(value, ensure_ascii=True, separators=(",", ":"))
    return text.replace("<", "\\u003c")


# The columns of a row record on the page: the report's fields, then where
# the row's thumbnails are ([chunk, slot, with an after] or null), its file's
# place in input order, its place among its file's rows, and links to the
# input and to what was written (relative to the page).
COLUMNS = FIELDS + ["thumbs", "index", "seq", "href", "out_href"]
MEASURES = [name for name in FIELDS if name not in (
    "path", "page", "width", "height", "verdict", "output", "seconds", "error", "reason",
    "rule", "image")]


class ReviewWriter:
    """Writes the review page as the rows come in; close() (run on every way
    out) finishes it. Refuses, like the report, to replace an existing page
    or folder unasked; a page that cannot be written raises ReportError."""

    def __init__(self, path, overwrite=False, run_info=None):
        self.path = Path(path)
        self.folder = folder_of(self.path)
        self.base = os.path.dirname(os.path.abspath(self.path))
        self.info = dict(run_info or {}, started=now())
        self.rows = []  # records waiting for a rows chunk
        self.groups = {}  # verdict -> [(record, thumbs)] waiting for a thumbs chunk
        self.row_chunks = self.thumb_chunks = 0
        self.count = 0
        self.flushed = time.monotonic()
        self.made_folder = False
        self.open = False
        self._guard(self._start, overwrite)
        self.open = True

    def _guard(self, action, *args):
        try:
            return action(*args)
        except DestinationExists:
            raise ReportError(f"the review page {self.path} exists (use --overwrite to "
                              "replace it)") from None
        except OSError as e:
            raise ReportError(f"cannot write the review page {self.path}: "
                              f"{e.strerror or e}") from None

    def _start(self, overwrite):
        if not overwrite and os.path.lexists(self.path):
            raise DestinationExists(self.path)
        try:
            self.folder.mkdir(parents=True)
            self.made_folder = True
        except FileExistsError:
            if not overwrite or not self.folder.is_dir():
                raise ReportError(f"the review page's folder {self.folder} exists (use "
                                  "--overwrite to replace it)") from None
            for entry in os.scandir(self.folder):  # an earlier page's chunks, and only those
                if CHUNK.match(entry.name) and entry.is_file(follow_symlinks=False):
                    os.unlink(entry.path)
        self._write_shell("running", None, overwrite)

    # ---- the rows, as files finish

    def add(self, index, rows):
        for seq, row in enumerate(rows):
            thumbs, row.thumbs = row.thumbs, None  # the report holds rows back; not these
            rec = self._record(row, index, seq)
            if thumbs is None:
                self.rows.append(rec)
                continue
            before, after = thumbs
            if row.verdict != Verdict.FIXED:
                after = None  # a PDF image whose fix was not smaller stays as it was
            group = self.groups.setdefault(row.verdict, [])
            group.append((rec, (before, after)))
            if len(group) >= THUMBS_PER_CHUNK:
                self._guard(self._write_thumbs, row.verdict)
        self.count += len(rows)
        if len(self.rows) >= ROWS_PER_CHUNK or time.monotonic() - self.flushed > FLUSH_SECONDS:
            self._guard(self._flush)

    def _record(self, row, index, seq):
        rec = record(row)
        rec.update(path=shown(row.path), output=shown(row.output),
                   verdict=VERDICTS.index(row.verdict), thumbs=None, index=index, seq=seq,
                   href=href(row.path, self.base), out_href=None)
        # What was written, or found written before (skipped); nothing in a dry run.
        if row.output and row.verdict != Verdict.FAILED and (
                row.verdict == Verdict.SKIPPED or not self.info.get("dry_run")):
            rec["out_href"] = href(row.output, self.base)
        return [rec[name] for name in COLUMNS]

    def _write_thumbs(self, verdict):
        group = self.groups.pop(verdict)
        number = self.thumb_chunks + 1
        data = [[b64(before), b64(after)] for _, (before, after) in group]
        self._write_chunk(f"thumbs-{number:06}.js",
                          f"vornReview.thumbs({number},{script_json(data)});\n")
        self.thumb_chunks = number
        thumbs_at = COLUMNS.index("thumbs")
        for slot, (rec, (_, after)) in enumerate(group):
            rec[thumbs_at] = [number, slot, after is not None]
            self.rows.append(rec)

    def _flush(self):
        for verdict in list(self.groups):
            self._write_thumbs(verdict)
        while self.rows:
            number = self.row_chunks + 1
            part = self.rows[:ROWS_PER_CHUNK]
            self._write_chunk(f"rows-{number:06}.js", f"vornReview.rows({script_json(part)});\n")
            self.row_chunks = number
            del self.rows[:len(part)]
        self.flushed = time.monotonic()

    def _write_chunk(self, name, text):
        data = text.encode("ascii")
        write_atomic(self.folder / name, lambda f: f.write(data), replace=True)

    # ---- the end

    def close(self, summary, state, message=""):
        """Writes what is still held back and the final page: `state` is
        "complete", "interrupted" or "stopped" (with `message`)."""
        if not self.open:
            return
        self.open = False
        try:
            self._guard(self._flush)
        except ReportError as e:  # the page still says how the run ended, if it can
            state, message = "stopped", message or str(e)
            raise
        finally:
            counts = {VERDICTS.index(v): n for v, n in summary.count.items() if n}
            self.info.update(finished=now(), files=summary.files, message=message)
            self._guard(self._write_shell, state, counts, True)

    def abandon(self):
        """Removes the page of a run that could not start its work."""
        if not self.open:
            return
        self.open = False
        with contextlib.suppress(OSError):
            self.path.unlink()
        with contextlib.suppress(OSError):
            for entry in os.scandir(self.folder):
                if CHUNK.match(entry.name):
                    os.unlink(entry.path)
            if self.made_folder:
                self.folder.rmdir()

    def _write_shell(self, state, counts, replace):
        from .review_page import page
        config = dict(self.info, state=state, counts=counts, rows=self.count,
                      row_chunks=self.row_chunks if state != "running" else None,
                      folder=href(self.folder, self.base) + "/", columns=COLUMNS,
                      measures=MEASURES, verdicts=[[v.name.lower(), str(v)] for v in VERDICTS])
        html = page(script_json(config), [f"{config['folder']}rows-{n:06}.js"
                                          for n in range(1, (config["row_chunks"] or 0) + 1)])
        data = html.encode("utf-8")
        write_atomic(self.path, lambda f: f.write(data), replace=replace)


def b64(data):
    return base64.b64encode(data).decode("ascii") if data else ""


def now():
    return datetime.datetime.now().astimezone().isoformat(sep=" ", timespec="seconds")


def run_info(args):
    """What the page says about the run."""
    return {"inputs": [shown(i) for i in args.inputs],
            "output": shown(args.output) if args.output is not None else None,
            "in_place": args.in_place, "dry_run": args.dry_run,
            "skip_existing": args.skip_existing, "scheduler": args.scheduler,
            "rule": getattr(args, "rule", "both"), "version": version()}


def version():
    from .cli import version
    return version()

"""The report: one row per image (or page), the summary line, and the report file."""

from __future__ import annotations

import csv
import dataclasses
import json

from .decision import COLOUR, FAILED, FIXED, FLAT, GREY, LEFT, LOSS
from .fileio import write_atomic

SKIPPED = "skipped, output exists"


@dataclasses.dataclass
class Row:
    """One line of the report: one image, or one page of a multi-page file
    (pages are numbered from 1; 0 for a file that failed before its pages)."""
    path: str
    page: int = 0
    width: int = 0
    height: int = 0
    verdict: str = FAILED
    output: str = ""
    seconds: float = 0.0
    error: str = ""
    reason: str = ""
    # PDF page images: the image's name on its page (/Fm0/Im1 inside a Form
    # XObject) and its stored size before and after.
    image: str = ""
    bytes_before: int = 0
    bytes_after: int = 0
    # What the level fix saw: peaks per channel ("2/2/2"), their positions,
    # the largest relative mass deviations, and for a neutral image the
    # shares of pixels that keep colour and that the fix makes black / white.
    peaks: str = ""
    positions: str = ""
    dark_deviation: float | None = None
    light_deviation: float | None = None
    colour_share: float | None = None
    black_share: float | None = None
    white_share: float | None = None


FIELDS = [f.name for f in dataclasses.fields(Row)]


def record(row):
    return dataclasses.asdict(row) | {"seconds": round(row.seconds, 6)}


def summary(rows, dry_run=False):
    count = {v: sum(r.verdict == v for r in rows) for v in (FIXED, GREY, COLOUR, FLAT, LOSS,
                                                             LEFT, FAILED, SKIPPED)}
    left = f", {count[LEFT]} left as they are" if count[LEFT] else ""
    text = (f"{count[FIXED] + count[GREY]} monochrome ({count[FIXED]} levels fixed, "
            f"{count[GREY]} unchanged grey), {count[COLOUR]} colour, "
            f"{count[FLAT]} blank or flat, {count[LOSS]} refused for content loss{left}, "
            f"{count[FAILED]} failed")
    if count[SKIPPED]:
        text += f", {count[SKIPPED]} skipped"
    return text + (" (dry run: nothing written)" if dry_run else "")


class ReportWriter:
    """Writes the report as the rows come in, so that an interrupted run still
    has one: CSV, or JSON Lines for .jsonl, one flushed line per row, in the
    order the files finish. A .json report is one document, so it is written
    whole (atomically, in input order) at close(), which the caller runs on
    every way out, interruption included.

    Opening it checks, before any work, that the report can be written."""

    def __init__(self, path):
        self.path = path
        self.kind = {".json": "json", ".jsonl": "jsonl"}.get(path.suffix.lower(), "csv")
        self.rows = []
        if self.kind == "json":
            # Fails now, not after hours of work, if the place is not writable.
            write_atomic(path, lambda f: f.write(b"[]\n"), replace=True)
            self.file = None
            return
        path.parent.mkdir(parents=True, exist_ok=True)
        # File names that are not UTF-8 keep their bytes (surrogate escapes).
        self.file = open(path, "w", encoding="utf-8", errors="surrogateescape", newline="")
        if self.kind == "csv":
            self.csv = csv.DictWriter(self.file, fieldnames=FIELDS)
            self.csv.writeheader()
            self.file.flush()

    def add(self, rows):
        for row in rows:
            if self.kind == "json":
                self.rows.append(record(row))
            elif self.kind == "jsonl":
                self.file.write(json.dumps(record(row)) + "\n")
            else:
                self.csv.writerow(record(row))
        if self.file:
            self.file.flush()

    def close(self, ordered=None):
        """Finishes the report; a .json one lists `ordered` (the rows in input
        order) when given, the rows as they came otherwise."""
        if self.file:
            self.file.close()
            self.file = None
            return
        if self.kind == "json":
            rows = [record(r) for r in ordered] if ordered is not None else self.rows
            data = json.dumps(rows, indent=1).encode() + b"\n"
            write_atomic(self.path, lambda f: f.write(data), replace=True)
            self.kind = "closed"

    def abandon(self):
        """Removes the report of a run that could not start its work."""
        if self.file:
            self.file.close()
            self.file = None
        self.kind = "closed"
        self.path.unlink(missing_ok=True)

"""The report: one row per image (or page), the summary, and the report file.

Rows are not kept: each goes to the report file as its file finishes, and the
summary only counts. A .json report, one document in input order, holds back
only the rows of files that finished before an earlier one (at most the files
in flight), so its memory too stays flat however long the run.
"""

from __future__ import annotations

import collections
import csv
import dataclasses
import json
import os
from pathlib import Path

from .fileio import temporary_for
from .outcome import ReportError, Verdict


@dataclasses.dataclass
class Row:
    """One line of the report: one image, or one page of a multi-page file
    (pages are numbered from 1). A file that failed, or was skipped, as a
    whole has no page and no size."""
    path: str
    page: int | None = None
    width: int | None = None
    height: int | None = None
    verdict: Verdict = Verdict.FAILED
    output: str = ""
    seconds: float = 0.0
    error: str = ""
    reason: str = ""
    # Which rule fixed the image: "module" (monochrome()'s own) or "document".
    rule: str = ""
    # PDF page images: the image's name on its page (/Fm0/Im1 inside a Form
    # XObject) and its stored size before and after.
    image: str = ""
    bytes_before: int | None = None
    bytes_after: int | None = None
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
    # The levels written, per channel "dark-light" (R G B), for a fixed image.
    levels: str = ""
    # What the document rule saw: the paper's luma level, the luma at and
    # below which ink becomes black, and its score of colour marks.
    paper_level: float | None = None
    ink_level: int | None = None
    colour_score: float | None = None
    # With --review: the page's (before, after) JPEG thumbnails, taken by the
    # review page and never written to the report.
    thumbs: tuple | None = dataclasses.field(default=None, repr=False, compare=False,
                                             metadata={"reported": False})
    index: dataclasses.InitVar[int] = 0  # the file's place in input order, not reported

    def __post_init__(self, index):
        self.index = index


FIELDS = [f.name for f in dataclasses.fields(Row) if f.metadata.get("reported", True)]


def record(row):
    out = {name: getattr(row, name) for name in FIELDS}
    out["verdict"] = str(row.verdict)
    out["seconds"] = round(row.seconds, 6)
    return out


class Summary:
    """Counts of the verdicts, as the rows go by."""

    def __init__(self):
        self.count = collections.Counter()
        self.files = 0

    def add(self, rows):
        self.files += 1
        self.count.update(row.verdict for row in rows)

    @property
    def failed(self):
        return self.count[Verdict.FAILED]

    @property
    def rows(self):
        return sum(self.count.values())

    def text(self, dry_run=False):
        c = self.count
        parts = [f"{c[Verdict.FIXED] + c[Verdict.GREY]} monochrome ({c[Verdict.FIXED]} levels "
                 f"fixed, {c[Verdict.GREY]} unchanged grey)", f"{c[Verdict.COLOUR]} colour"]
        for verdict, words in ((Verdict.BLANK, "blank"),
                               (Verdict.NOT_MONOCHROME, "not recognised as monochrome"),
                               (Verdict.LOSS, "refused for content loss")):
            parts.append(f"{c[verdict]} {words}")
        if c[Verdict.LEFT]:
            parts.append(f"{c[Verdict.LEFT]} left as they are")
        parts.append(f"{c[Verdict.FAILED]} failed")
        if c[Verdict.SKIPPED]:
            parts.append(f"{c[Verdict.SKIPPED]} skipped")
        return ", ".join(parts) + (" (dry run: nothing written)" if dry_run else "")


def kind_of(path):
    return {".json": "json", ".jsonl": "jsonl"}.get(Path(path).suffix.lower(), "csv")


class ReportWriter:
    """Writes the report as the rows come in, so that an interrupted run still
    has one: CSV, or JSON Lines for .jsonl, one flushed line per row, in the
    order the files finish. A .json report is one document in input order:
    written to a temporary file as the order allows and renamed into place
    at close(), which the caller runs on every way out, interruption included.

    Opening it checks, before any work, that the report can be written. A
    report that cannot be written raises ReportError."""

    def __init__(self, path, overwrite=False):
        self.path = Path(path)
        self.kind = kind_of(path)
        self.pending = {}  # .json: rows of files done before an earlier one
        self.next = 0
        self.first = True
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
        except OSError as e:
            raise ReportError(f"cannot write the report {self.path}: {e.strerror or e}") from None
        try:
            if self.kind == "json":
                if not overwrite and os.path.lexists(self.path):
                    raise FileExistsError
                fd, self.tmp = temporary_for(self.path)
                self.file = os.fdopen(fd, "w", encoding="utf-8", errors="surrogateescape")
                self.file.write("[")
                self.file.flush()
            else:
                self.tmp = None
                # File names that are not UTF-8 keep their bytes (surrogate escapes).
                self.file = open(self.path, "w" if overwrite else "x", encoding="utf-8",
                                 errors="surrogateescape", newline="")
                if self.kind == "csv":
                    self.csv = csv.DictWriter(self.file, fieldnames=FIELDS)
                    self.csv.writeheader()
                    self.file.flush()
        except FileExistsError:
            raise ReportError(f"the report {self.path} exists (use --overwrite to replace "
                              "it)") from None
        except OSError as e:
            raise ReportError(f"cannot write the report {self.path}: {e.strerror or e}") from None

    def add(self, index, rows):
        try:
            if self.kind == "json":
                self.pending[index] = rows
                while self.next in self.pending:
                    self._write_json(self.pending.pop(self.next))
                    self.next += 1
                # The walk numbers every input, reported or not; a gap only
                # waits for a file in flight.
            else:
                for row in rows:
                    if self.kind == "jsonl":
                        self.file.write(json.dumps(record(row)) + "\n")
                    else:
                        self.csv.writerow(record(row))
            self.file.flush()
        except OSError as e:
            raise ReportError(f"cannot write the report {self.path}: {e.strerror or e}") from None

    def _write_json(self, rows):
        for row in rows:
            self.file.write(("\n " if self.first else ",\n ") + json.dumps(record(row)))
            self.first = False

    def close(self):
        """Finishes the report; a .json one gets the rows still held back, in
        order, and is put in place."""
        if self.file is None:
            return
        try:
            if self.kind == "json":
                for index in sorted(self.pending):
                    self._write_json(self.pending[index])
                self.pending.clear()
                self.file.write("\n]\n")
                self.file.flush()
                os.fsync(self.file.fileno())
            self.file.close()
            self.file = None
            if self.tmp:
                os.replace(self.tmp, self.path)
                self.tmp = None
        except OSError as e:
            raise ReportError(f"cannot write the report {self.path}: {e.strerror or e}") from None
        finally:
            self.discard_temporary()

    def abandon(self):
        """Removes the report of a run that could not start its work."""
        if self.file is not None:
            self.file.close()
            self.file = None
            if not self.tmp:
                self.path.unlink(missing_ok=True)
        self.discard_temporary()

    def discard_temporary(self):
        if self.file is not None:
            try:
                self.file.close()
            except OSError:
                pass
            self.file = None
        if self.tmp:
            try:
                os.unlink(self.tmp)
            except OSError:
                pass
            self.tmp = None

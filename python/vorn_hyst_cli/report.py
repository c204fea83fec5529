"""The report: one row per image (or page), the summary line, and the report file."""

from __future__ import annotations

import csv
import dataclasses
import io
import json

from .decision import COLOUR, FAILED, FIXED, GREY, LEFT
from .fileio import write_atomic


@dataclasses.dataclass
class Row:
    """One line of the report: one image, or one page of a multi-page file."""
    path: str
    page: int = 0
    width: int = 0
    height: int = 0
    verdict: str = FAILED
    output: str = ""
    seconds: float = 0.0
    error: str = ""
    # PDF page images: the image's name on its page (/Fm0/Im1 inside a Form
    # XObject), why it was left alone, and its stored size before and after.
    image: str = ""
    reason: str = ""
    bytes_before: int = 0
    bytes_after: int = 0


def summary(rows):
    count = {v: sum(r.verdict == v for r in rows) for v in (FIXED, GREY, COLOUR, LEFT, FAILED)}
    left = f", {count[LEFT]} left as they are" if count[LEFT] else ""
    return (f"{count[FIXED] + count[GREY]} monochrome ({count[FIXED]} levels fixed, "
            f"{count[GREY]} unchanged grey), {count[COLOUR]} colour{left}, {count[FAILED]} failed")


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

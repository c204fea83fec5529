"""The report: one row per image (or page), the summary line, and the report file."""

from __future__ import annotations

import csv
import dataclasses
import io
import json

from .decision import COLOUR, FAILED, FIXED, GREY
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

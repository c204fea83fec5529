"""Where each result goes and what it may replace: decided once, from the options."""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path

from .fileio import ImageError, exists_message


@dataclasses.dataclass(frozen=True)
class OutputPolicy:
    """Everything about writing results that the options decide.

    Either `outdir` is set (results go there, under the inputs' relative paths)
    or `in_place` is true (each input is replaced by its result)."""
    outdir: Path | None = None
    in_place: bool = False
    overwrite: bool = False
    keep_rgb: bool = False
    quality: int = 90
    dry_run: bool = False  # decide and report, write nothing
    skip_existing: bool = False  # leave a destination that exists, for re-runs

    @classmethod
    def from_args(cls, args):
        return cls(outdir=args.output, in_place=args.in_place, overwrite=args.overwrite,
                   keep_rgb=args.keep_rgb, quality=args.quality)

    @property
    def replaces(self):
        """Whether an existing destination may be replaced."""
        return self.overwrite or self.in_place

    def destination(self, source, relative):
        return source if self.in_place else self.outdir / relative

    def check_destination(self, dest):
        """Refuses, before any work, a destination that may not be replaced."""
        if not self.replaces and os.path.lexists(dest):
            raise ImageError(exists_message(dest))

"""Where each result goes and what it may replace: decided once, from the options."""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path

from .fileio import ImageError, exists_message, same_file

# Pillow's own default: anything larger is more likely a decompression bomb
# than a scan (89 MP is an A3 page at 1200 dpi).
MAX_PIXELS = 89_478_485


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
    max_pixels: int = MAX_PIXELS  # larger pages are refused before they are decoded

    @classmethod
    def from_args(cls, args):
        return cls(outdir=args.output, in_place=args.in_place, overwrite=args.overwrite,
                   keep_rgb=args.keep_rgb, quality=args.quality,
                   dry_run=args.dry_run, skip_existing=args.skip_existing,
                   max_pixels=args.max_pixels)

    @property
    def replaces(self):
        """Whether an existing destination may be replaced."""
        return self.overwrite or self.in_place

    def destination(self, source, relative):
        if self.in_place:
            # A symbolic link stays a link: its target is what gets rewritten.
            return Path(os.path.realpath(source)) if os.path.islink(source) else source
        return self.outdir / relative

    def skips(self, dest):
        """Whether a re-run leaves this destination as an earlier run wrote it."""
        return self.skip_existing and not self.in_place and os.path.lexists(dest)

    def check_destination(self, dest, source=None):
        """Refuses, before any work, a destination that may not be replaced; an
        input is replaced only with --in-place, --overwrite or not."""
        if source is not None and not self.in_place and (
                same_file(source, dest) or os.path.abspath(source) == os.path.abspath(dest)):
            raise ImageError(f"{dest} is the input itself (use --in-place to replace inputs)")
        if not self.replaces and os.path.lexists(dest):
            raise ImageError(exists_message(dest))

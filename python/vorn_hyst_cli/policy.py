"""Where each result goes and what it may replace: decided once, from the options."""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path

from .fileio import same_file, shown
from .outcome import DestinationExists, FileError

# Pillow's own default: anything larger is more likely a decompression bomb
# than a scan (89 MP is an A3 page at 1200 dpi).
MAX_PIXELS = 89_478_485
# Pages of one file: a bound on what a small file can make the run do (a
# 3 MB TIFF can hold 20,000 empty pages). A book of a thousand pages is far below.
MAX_PAGES = 10_000
# The parameters of vorn_hyst.monochrome, which the options of the same names set.
PARAMETERS = ("blur_n", "window_radius", "min_prominence", "min_distance", "percentage")
# The files a folder contributes, by extension.
IMAGE_EXTENSIONS = {".png", ".jpg", ".jpeg", ".jpe", ".tif", ".tiff", ".bmp", ".webp",
                    ".jp2", ".j2k", ".j2c", ".jpc", ".jpf", ".jpx"}
PDF_EXTENSIONS = {".pdf"}
FOUND_IN_FOLDERS = IMAGE_EXTENSIONS | PDF_EXTENSIONS


@dataclasses.dataclass(frozen=True)
class OutputPolicy:
    """Everything about reading inputs and writing results that the options decide.

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
    max_pages: int = MAX_PAGES  # files of more pages are refused
    backup: Path | None = None  # with in_place: where the originals are kept
    memory_budget: int = 0  # bytes of decoded pages in flight per process (0: no bound)
    review: bool = False  # make each page's thumbnails for the review page

    @classmethod
    def from_args(cls, args):
        return cls(outdir=args.output, in_place=args.in_place, overwrite=args.overwrite,
                   keep_rgb=args.keep_rgb, quality=args.quality,
                   dry_run=args.dry_run, skip_existing=args.skip_existing,
                   max_pixels=args.max_pixels, max_pages=args.max_pages,
                   backup=args.backup, memory_budget=getattr(args, "memory_budget", 0),
                   review=getattr(args, "review", None) is not None)

    @property
    def replaces(self):
        """Whether an existing destination may be replaced."""
        return self.overwrite or self.in_place

    def destination(self, source, relative):
        if self.in_place:
            # A symbolic link stays a link: its target is what gets rewritten.
            return Path(os.path.realpath(source)) if os.path.islink(source) else source
        return self.outdir / relative

    def backup_of(self, job):
        """Where the original of an in-place job is kept, or None."""
        if self.backup is None or not self.in_place:
            return None
        return self.backup / (job.relative if job.relative is not None else job.source.name)

    def skips(self, dest):
        """Whether a re-run leaves this destination as an earlier run wrote it."""
        return self.skip_existing and not self.in_place and os.path.lexists(dest)

    def check_destination(self, dest, source):
        """Refuses, before any work, a destination that may not be replaced; an
        input is replaced only with --in-place, --overwrite or not."""
        if not self.in_place and (
                same_file(source, dest) or os.path.abspath(source) == os.path.abspath(dest)):
            raise FileError(f"{shown(dest)} is the input itself (use --in-place to replace "
                            "inputs)")
        if not self.replaces and os.path.lexists(dest):
            raise DestinationExists(dest)

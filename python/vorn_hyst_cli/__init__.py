"""vorn-hyst: fixes the black and white levels of monochrome scans, folder by folder.

Every image is handed to ``vorn_hyst.monochrome``. A page it judges monochrome
comes out with its ink black and its paper white, written as 8-bit greyscale;
a colour image is copied through byte for byte. Nothing is overwritten unless
asked for, and every output is written to a temporary file beside its
destination and renamed into place, so an interrupted run leaves no
half-written file behind.

The package's parts: ``cli`` (options and the entry point), ``policy`` (where
results go and what may be replaced), ``batch`` (finding the work, running it,
progress and the report), ``decision`` (the verdict on one image), ``imaging``
(reading and writing image files with their metadata), ``fileio`` (atomic
writes) and ``demo``.
"""

from .cli import main

__all__ = ["main"]

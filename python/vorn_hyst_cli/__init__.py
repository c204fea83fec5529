"""vorn-hyst: fixes the black and white levels of monochrome scans, folder by folder.

Every image is judged by ``vorn_hyst.monochrome``'s own test. A page it judges
monochrome comes out with its ink black and its paper white, written as 8-bit
greyscale, unless a guard refuses (colour left after the levels, a single level
per channel, content that would be crushed to black); anything else is copied
through byte for byte. Nothing is overwritten unless
asked for, and every output is written to a temporary file beside its
destination and renamed into place, so an interrupted run leaves no
half-written file behind.

The package's parts: ``cli`` (options and the entry point), ``policy`` (where
results go and what may be replaced), ``batch`` (finding the work, running it,
progress), ``report`` (rows, summary, the streamed report file), ``decision``
(the verdict on one image, with the guards), ``_analysis`` (the private
extension that runs the module's stages for it), ``imaging`` (reading and
writing image files with their metadata), ``fileio`` (atomic writes),
``cluster`` (the batch as Dask tasks, for ``--scheduler``) and ``demo``.
"""

from .cli import main

__all__ = ["main"]

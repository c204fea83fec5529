"""vorn-hyst: fixes the black and white levels of monochrome scans, folder by folder.

Every image (every page of a TIFF or PDF) is first judged by
``vorn_hyst.monochrome``'s own test, with guards that can refuse its result
(colour left after the levels, a single level per channel, content crushed to
black or white); where that rule cannot fix it, a document rule written for
real scans (paper, ink and colour measured on blocks of the page, in C++)
decides. A fixed page comes out with its ink black and its paper white,
written as 8-bit greyscale through the module's own remap; anything else is
copied through byte for byte. Nothing is overwritten unless asked for, and
every output is written to a temporary file beside its destination, checked
and renamed into place, so an interrupted run leaves no half-written file.

The package's parts: ``cli`` (options and the entry point), ``run`` (one run
from its parsed options), ``policy`` (where results go and what may be
replaced), ``batch`` (finding the work, running it on threads), ``budget``
(the memory a file declares, and the budget that admits it), ``interrupts``
(Ctrl-C and SIGTERM, acted on where the run can stop cleanly), ``progress``,
``report`` (rows, summary, the streamed report file), ``outcome`` (verdicts,
exit codes, typed errors), ``decision`` (the verdict on one image, both
rules), ``_analysis`` (the private extension that runs the module's stages
and the document rule), ``imaging`` and ``pdf`` (files and their metadata),
``codec`` (decoding and encoding), ``fileio`` (atomic writes), ``review``
and ``review_page`` (the ``--review`` page), ``deps`` (the optional
libraries), ``cluster`` (the batch as Dask tasks, for ``--scheduler``) and
``demo``.
"""

from .cli import main

__all__ = ["main"]

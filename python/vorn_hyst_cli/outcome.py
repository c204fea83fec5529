"""What can come of a file and of a run: the verdicts, the tool's errors, and
the exit status, each named in this one place.

A verdict is what became of one image (or page); its value is the text the
user reads, in the listing, the summary and the report. An error is either a
file's (`FileError`: that file is reported failed and the run goes on) or the
run's (`RunError`: the run stops). `exit_status` turns what a run saw into
the status the process ends with.
"""

from __future__ import annotations

import enum


class Verdict(str, enum.Enum):
    """One image's outcome. A str, so that reports and comparisons with the
    text itself see the text."""
    FIXED = "levels fixed"
    GREY = "unchanged grey"
    COLOUR = "colour left as it is"
    NOT_MONOCHROME = "not recognised as monochrome"
    BLANK = "blank, left as it is"
    LOSS = "content loss, left as it is"
    # A PDF image kept as it is: not one to decide (not 8-bit RGB, damaged),
    # or one whose rewrite would not be smaller.
    LEFT = "left as it is"
    SKIPPED = "skipped, output exists"
    FAILED = "failed"

    def __str__(self) -> str:
        return self.value

    @property
    def writes(self) -> bool:
        """Whether the image's pixels change."""
        return self is Verdict.FIXED


class ExitCode(enum.IntEnum):
    OK = 0
    # Some file could not be done (reported, the others were), or no image was found.
    FILES_FAILED = 1
    # Bad options, a report that cannot be written, a missing dependency, a
    # cluster that cannot run the batch: nothing (more) was done.
    USAGE = 2
    INTERRUPTED = 130


class ToolError(Exception):
    """An error whose message is shown to the user as it is, in one line."""
    exit_code = ExitCode.USAGE


class RunError(ToolError):
    """The run cannot go on (or start); the message says why."""


class UsageError(RunError):
    """Options that do not go together, or a place the run may not write to."""


class MissingDependency(RunError):
    """A library that this kind of work needs is not installed."""


class ReportError(RunError):
    """The report (or review page) cannot be written: the run stops rather than
    write results that no report lists."""


class ClusterError(RunError):
    """The cluster cannot run the batch."""


class FileError(ToolError):
    """One file (or page) cannot be processed; the run goes on."""
    exit_code = ExitCode.FILES_FAILED


class DestinationExists(FileError):
    """The destination exists and may not be replaced."""

    def __init__(self, dest):
        super().__init__(f"{dest} exists (use --overwrite to replace it)")
        self.dest = dest


class SourceChanged(FileError):
    """The input was replaced or changed while it was being processed."""


def exit_status(failed: int, found: int, interrupted: bool = False) -> ExitCode:
    """The status of a run that saw `found` images (or files), `failed` of which failed."""
    if interrupted:
        return ExitCode.INTERRUPTED
    if failed or not found:
        return ExitCode.FILES_FAILED
    return ExitCode.OK

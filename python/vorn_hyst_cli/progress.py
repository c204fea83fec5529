"""What the user sees while a run goes: a progress bar on a terminal, one line
per file otherwise, and the lines of -v."""

from __future__ import annotations

import os
import sys
import threading
from pathlib import Path

from . import deps
from .fileio import shown
from .outcome import ReportError

PROG = "vorn-hyst"


class Progress:
    """A tqdm bar on a terminal, one line per file otherwise (not with -q);
    with -v each line also says why, on a terminal too, above the bar. The
    total grows as the walk finds files, so the bar moves from the start."""

    def __init__(self, quiet, stream=None, verbose=False, total=None):
        self.quiet, self.verbose = quiet, verbose
        self.stream = stream or sys.stderr
        self.lock = threading.Lock()
        self.bar = None
        bar = deps.tqdm() if not quiet and self.stream.isatty() else None
        if bar is not None:  # without tqdm (no cli extra): lines instead of a bar
            self.bar = bar(total=total, file=self.stream, unit="file", dynamic_ncols=True,
                           leave=False)

    def found(self, count):
        """The walk has found `count` files so far."""
        if self.bar is not None:
            with self.lock:
                self.bar.total = count
                self.bar.refresh()

    def update(self, rows):
        with self.lock:
            first = rows[0]
            if first.error:
                self.say(f"{PROG}: {shown(first.path)}: {first.error}", sys.stderr)
            elif self.verbose or (self.bar is None and not self.quiet):
                for row in rows:
                    self.say(line(row, len(rows) > 1, self.verbose), sys.stdout)
            if self.bar is not None:
                self.bar.set_postfix_str(shown(Path(first.path).name)[:40], refresh=False)
                self.bar.update(1)

    def say(self, text, stream):
        if self.bar is not None:
            self.bar.write(text, file=stream)
        else:
            emit(text, stream)

    def close(self):
        if self.bar is not None:
            self.bar.close()


def emit(text, stream):
    """Prints a line; a reader that went away (| head) ends the listing, not the
    work. A listing that cannot be written (a full device) stops the run: it
    would go on writing files that nobody is told of."""
    try:
        print(text, file=stream, flush=True)
    except BrokenPipeError:
        silence(stream)
    except OSError as e:
        silence(stream)
        name = "standard output" if stream is sys.stdout else "standard error"
        raise ReportError(f"cannot write to {name}: {e.strerror or e}") from None


def silence(stream):
    """Points the stream at the null device, so that nothing more (not even
    the interpreter's last flush) fails on it."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def line(row, paged, verbose):
    page = f" page {row.page}" if paged and row.page else ""
    text = f"{row.verdict}: {shown(row.path)}{page} -> {shown(row.output)}"
    return f"{text} ({row.reason})" if verbose and row.reason else text

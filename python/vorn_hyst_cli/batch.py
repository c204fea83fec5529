"""A batch: finding the files as the run goes, and running them on a pool of
threads with a bounded number in flight.

Nothing here holds more than the files under way: the folders are walked
lazily, each file's rows go to the caller as soon as it is done, and a file is
only taken from the walk when a thread is about to be free. So a run over a
million files needs no more memory than a run over ten; and the files under
way at once are those whose pages fit in the memory budget (budget.py).
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import os
import stat
import sys
import time
from pathlib import Path

from . import interrupts
from .budget import Budget, keep_freed_memory
from .fileio import not_regular, shown, sweep_stale
from .imaging import process_image
from .outcome import FileError, RunError, Verdict
from .pdf import process_pdf
from .policy import FOUND_IN_FOLDERS, PDF_EXTENSIONS
from .progress import emit
from .report import Row

PROG = "vorn-hyst"


@dataclasses.dataclass
class Job:
    source: Path
    dest: Path
    relative: Path | None = None  # under its input root: where --backup keeps the original
    index: int = 0  # place in input order


def find_work(inputs, policy, recursive, excluded=()):
    """Yields, in input order and lazily, a Job for every input image and a
    failed Row (with its place in the order) for every input that is not one.
    Paths in `excluded` (the run's own report) are never taken."""
    outdir = policy.outdir.resolve() if policy.outdir else None
    excluded = {os.path.normcase(os.path.realpath(p)) for p in excluded}
    # Two inputs can only share a destination when there are several inputs:
    # within one folder the relative paths differ. So only then are the
    # destinations remembered, and only as much as that needs.
    taken = {} if len(inputs) > 1 else None
    index = 0
    for text in inputs:
        root = Path(text)
        found = walk(root, recursive, outdir, excluded) if root.is_dir() else [root]
        for source in found:
            if isinstance(source, Row):  # a folder that cannot be read
                source.index = index
                item = source
            else:
                relative = source.relative_to(root) if source is not root else Path(root.name)
                item = job_for(source, relative, policy, taken, index)
            index += 1
            yield item


def job_for(source, relative, policy, taken, index):
    try:
        st = os.stat(source)
    except OSError as e:
        missing = isinstance(e, FileNotFoundError)
        return Row(str(source), error="no such file or directory" if missing else e.strerror,
                   index=index)
    if not stat.S_ISREG(st.st_mode):
        return Row(str(source), error=str(not_regular(source, st.st_mode)), index=index)
    dest = policy.destination(source, relative)
    if taken is not None:
        key = os.path.normcase(os.path.abspath(dest))
        if key in taken:
            return Row(str(source), error=f"same output as {taken[key]}: {dest}", index=index)
        taken[key] = source
    return Job(source, dest, relative, index)


def walk(root, recursive, skip, excluded=frozenset()):
    """The images under `root`, and a failed Row for each directory that cannot
    be read. Symbolic links to directories are followed, each directory once:
    a link back into what is already being walked is noted rather than
    followed round in circles. Only regular files are taken (a link only to
    one): a FIFO or a device named like an image is noted and left alone."""
    seen = set()
    problems = []

    def unreadable(error):
        problems.append(Row(str(error.filename), error=f"cannot read directory: {error.strerror}"))

    for dirpath, dirnames, filenames in os.walk(root, onerror=unreadable, followlinks=True):
        yield from problems
        problems.clear()
        here = Path(dirpath)
        try:
            st = os.stat(here)
        except OSError:
            continue
        if (st.st_dev, st.st_ino) in seen:
            # Nothing is missed (its files are taken once), so a notice, not a failure.
            emit(f"{PROG}: {shown(here)}: directory already walked (a symbolic link loop or a "
                 "second link to it), not read again", sys.stderr)
            dirnames[:] = []
            continue
        seen.add((st.st_dev, st.st_ino))
        dirnames[:] = sorted(d for d in dirnames if recursive and not d.startswith(".")
                             and (here / d).resolve() != skip)
        for name in sorted(filenames):
            if name.startswith(".") or os.path.splitext(name)[1].lower() not in FOUND_IN_FOLDERS:
                continue
            path = here / name
            if regular_or_noted(path) and \
                    os.path.normcase(os.path.realpath(path)) not in excluded:
                yield path
    yield from problems


def regular_or_noted(path):
    try:
        mode = os.stat(path).st_mode
    except OSError as e:
        emit(f"{PROG}: {shown(path)}: {e.strerror} (a broken symbolic link?), left alone",
             sys.stderr)
        return False
    if stat.S_ISREG(mode):
        return True
    emit(f"{PROG}: {not_regular(path, mode)}", sys.stderr)
    return False


def process(job, policy, params, reraise=(), budget=None):
    """Processes one file; returns its report rows. A bad file gives one failed
    row, unless its error is of a type in `reraise`. With a `budget`, the file
    waits until the memory its pages need is free (Abandoned if the run stops
    meanwhile)."""
    start = time.perf_counter()
    keep_freed_memory()
    if policy.skips(job.dest):
        return [Row(str(job.source), verdict=Verdict.SKIPPED, output=str(job.dest))]
    if not policy.dry_run:
        sweep_stale(job.dest.parent)
    with budget.admitted(job, policy) if budget else contextlib.nullcontext():
        return process_admitted(job, policy, params, reraise, start)


def process_admitted(job, policy, params, reraise, start):
    try:
        is_pdf = job.source.suffix.lower() in PDF_EXTENSIONS
        return (process_pdf if is_pdf else process_image)(job, policy, params)
    except reraise:
        raise
    except FileError as e:
        message = str(e)
    except MemoryError as e:
        message = f"not enough memory to process it{': ' + str(e) if str(e) else ''}"
    except OSError as e:
        message = os_message(e, job)
    except RunError:
        raise
    except Exception as e:  # damaged files make the decoders raise many kinds
        message = f"{type(e).__name__}: {e}" if str(e) else type(e).__name__
    return [Row(str(job.source), error=one_line(message),
                seconds=time.perf_counter() - start)]


def os_message(error, job):
    text = error.strerror or str(error)
    if error.filename and os.fspath(error.filename) not in (os.fspath(job.source),):
        return f"{text}: {shown(error.filename)}"
    return text


def one_line(text):
    return " ".join(shown(text).split())


def run_jobs(work, policy, params, workers, on_rows, window=None):
    """Runs the work (Jobs, and failed Rows to pass on) on `workers` threads,
    taking a file from `work` only when there is room: at most `window` files
    in flight, and started only when the memory its pages need fits in the
    policy's budget. `on_rows(index, rows)` gets each file's rows as it finishes.

    An error from `on_rows` (the report cannot be written) or from the run
    itself stops everything: the files not started are dropped, those under
    way finish (their writes are atomic) and the error goes on."""
    window = window or 2 * workers
    budget = Budget(policy.memory_budget) if policy.memory_budget else None
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        running = {}
        try:
            for item in work:
                interrupts.check()
                if isinstance(item, Row):
                    on_rows(item.index, [item])
                    continue
                while len(running) >= window:
                    finish(running, on_rows)
                running[pool.submit(process, item, policy, params, budget=budget)] = item.index
            while running:
                finish(running, on_rows)
        except BaseException:
            for future in running:
                future.cancel()
            if budget:
                budget.abandon()  # files waiting for memory are not started
            # Files already under way are finished and, where the report can
            # still take them, reported, so that it lists every file written.
            pool.shutdown(wait=True)
            for future, index in running.items():
                if not future.cancelled() and future.exception() is None:
                    try:
                        on_rows(index, future.result())
                    except Exception:  # the report is what failed: nothing more to tell
                        break
            raise


def finish(running, on_rows):
    """Reports the files that have finished, after waiting for at least one."""
    done = ()
    while not done:
        interrupts.check()
        done, _ = concurrent.futures.wait(running, timeout=interrupts.POLL_SECONDS,
                                          return_when=concurrent.futures.FIRST_COMPLETED)
    for future in sorted(done, key=running.get):
        index = running.pop(future)
        on_rows(index, future.result())

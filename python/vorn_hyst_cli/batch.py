"""A batch: finding the images, running them on a pool of threads, showing progress."""

from __future__ import annotations

import concurrent.futures
import dataclasses
import os
import sys
import threading
import time
from pathlib import Path

from .fileio import ImageError
from .imaging import EXTENSIONS, process_image
from .pdf import EXTENSIONS as PDF_EXTENSIONS, process_pdf
from .report import SKIPPED, Row

PROG = "vorn-hyst"
FOUND_IN_FOLDERS = EXTENSIONS | PDF_EXTENSIONS


@dataclasses.dataclass
class Job:
    source: Path
    dest: Path


def plan(inputs, policy, recursive):
    """Pairs every input image with its destination; returns (jobs, failed rows)."""
    jobs, failed, taken = [], [], {}
    outdir = policy.outdir.resolve() if policy.outdir else None

    def add(source, relative):
        dest = policy.destination(source, relative)
        key = os.path.normcase(os.path.abspath(dest))
        if key in taken:
            failed.append(Row(str(source), error=f"same output as {taken[key]}: {dest}"))
            return
        taken[key] = source
        jobs.append(Job(source, dest))

    for text in inputs:
        root = Path(text)
        if root.is_dir():
            for source in walk(root, recursive, outdir, failed):
                add(source, source.relative_to(root))
        elif root.is_file():
            add(root, Path(root.name))
        else:
            failed.append(Row(text, error="no such file or directory"))
    return jobs, failed


def walk(root, recursive, skip, failed=None):
    """The images under `root`. Symbolic links to directories are followed,
    each directory once: a link back into what is already being walked is
    noted rather than followed round in circles; an unreadable directory is
    a failed row in `failed`."""
    seen = set()

    def unreadable(error):
        if failed is not None:
            failed.append(Row(str(error.filename), error=f"cannot read directory: {error.strerror}"))

    for dirpath, dirnames, filenames in os.walk(root, onerror=unreadable, followlinks=True):
        here = Path(dirpath)
        st = os.stat(here)
        if (st.st_dev, st.st_ino) in seen:
            # Nothing is missed (its files are taken once), so a notice, not a failure.
            emit(f"{PROG}: {here}: directory already walked (a symbolic link loop or a "
                 "second link to it), not read again", sys.stderr)
            dirnames[:] = []
            continue
        seen.add((st.st_dev, st.st_ino))
        dirnames[:] = sorted(d for d in dirnames if recursive and not d.startswith(".")
                             and (here / d).resolve() != skip)
        for name in sorted(filenames):
            if not name.startswith(".") and os.path.splitext(name)[1].lower() in FOUND_IN_FOLDERS:
                yield here / name


def process(job, policy, params):
    """Processes one file; returns its report rows. A bad file gives one failed row."""
    start = time.perf_counter()
    if policy.skips(job.dest):
        return [Row(str(job.source), verdict=SKIPPED, output=str(job.dest))]
    try:
        is_pdf = job.source.suffix.lower() in PDF_EXTENSIONS
        return (process_pdf if is_pdf else process_image)(job, policy, params)
    except ImageError as e:
        message = str(e)
    except OSError as e:
        message = str(e)
    except Exception as e:  # Pillow raises many kinds for damaged files
        message = f"{type(e).__name__}: {e}"
    return [Row(str(job.source), error=message, seconds=time.perf_counter() - start)]


class Progress:
    """A tqdm bar on a terminal, one line per file otherwise (not with -q);
    with -v each line also says why, on a terminal too, above the bar."""

    def __init__(self, total, quiet, stream=None, verbose=False):
        self.quiet, self.verbose = quiet, verbose
        self.stream = stream or sys.stderr
        self.lock = threading.Lock()
        self.bar = None
        if not quiet and total > 0 and self.stream.isatty():
            try:
                from tqdm import tqdm
            except ImportError:  # without the cli extra: lines instead of a bar
                return
            self.bar = tqdm(total=total, file=self.stream, unit="file", dynamic_ncols=True,
                            leave=False)

    def update(self, rows):
        with self.lock:
            first = rows[0]
            if first.error:
                self.say(f"{PROG}: {first.path}: {first.error}", sys.stderr)
            elif self.verbose or (self.bar is None and not self.quiet):
                for row in rows:
                    self.say(line(row, len(rows) > 1, self.verbose), sys.stdout)
            if self.bar is not None:
                self.bar.set_postfix_str(Path(first.path).name[:40], refresh=False)
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
    """Prints a line; a reader that went away (| head) ends the listing, not the work."""
    try:
        print(text, file=stream, flush=True)
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)


def line(row, paged, verbose):
    page = f" page {row.page}" if paged else ""
    text = f"{row.verdict}: {row.path}{page} -> {row.output}"
    return f"{text} ({row.reason})" if verbose and row.reason else text


def run_jobs(jobs, policy, params, workers, on_rows):
    """Processes the jobs on a thread pool; rows come back in input order.

    `on_rows` is called with each file's rows as soon as that file is done, in
    the order the files finish."""
    results = [None] * len(jobs)
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(process, job, policy, params): i for i, job in enumerate(jobs)}
        try:
            for future in concurrent.futures.as_completed(futures):
                results[futures[future]] = future.result()
                on_rows(results[futures[future]])
        except KeyboardInterrupt:
            for future in futures:
                future.cancel()
            # Files already under way are finished (their writes are atomic
            # anyway) and reported, so that the report lists every file written.
            pool.shutdown(wait=True)
            for future, i in futures.items():
                if results[i] is None and not future.cancelled() and future.exception() is None:
                    results[i] = future.result()
                    on_rows(results[i])
            raise
    return [row for rows in results for row in rows]

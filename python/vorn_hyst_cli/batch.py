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
from .report import Row

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
            for source in walk(root, recursive, outdir):
                add(source, source.relative_to(root))
        elif root.is_file():
            add(root, Path(root.name))
        else:
            failed.append(Row(text, error="no such file or directory"))
    return jobs, failed


def walk(root, recursive, skip):
    for dirpath, dirnames, filenames in os.walk(root):
        here = Path(dirpath)
        dirnames[:] = sorted(d for d in dirnames if recursive and not d.startswith(".")
                             and (here / d).resolve() != skip)
        for name in sorted(filenames):
            if not name.startswith(".") and os.path.splitext(name)[1].lower() in FOUND_IN_FOLDERS:
                yield here / name


def process(job, policy, params):
    """Processes one file; returns its report rows. A bad file gives one failed row."""
    start = time.perf_counter()
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
    """A bar on a terminal, one line per file otherwise."""

    def __init__(self, total, quiet, stream=None):
        self.total, self.quiet, self.done = total, quiet, 0
        self.stream = stream or sys.stderr
        self.bar = not quiet and total > 0 and self.stream.isatty()
        self.lock = threading.Lock()

    def update(self, rows):
        with self.lock:
            self.done += 1
            first = rows[0]
            if first.error:
                self.clear()
                print(f"{PROG}: {first.path}: {first.error}", file=sys.stderr)
            elif not self.bar and not self.quiet:
                for row in rows:
                    page = f" page {row.page + 1}" if len(rows) > 1 else ""
                    print(f"{row.verdict}: {row.path}{page} -> {row.output}", flush=True)
            if self.bar:
                width = 30
                filled = width * self.done // self.total
                name = Path(first.path).name[:40]
                self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] "
                                  f"{self.done}/{self.total} {name}\033[K")
                self.stream.flush()

    def clear(self):
        if self.bar:
            self.stream.write("\r\033[K")

    def close(self):
        if self.bar:
            self.clear()
            self.stream.flush()


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
            raise
    return [row for rows in results for row in rows]

"""The command line: options, checks of their values, and the entry point."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.metadata
import math
import os
import signal
import sys
import threading
from pathlib import Path

from .batch import PROG, Progress, emit, plan, run_jobs
from .decision import FAILED, PARAMETERS, Guards, Settings, monochrome_defaults
from .policy import MAX_PIXELS, OutputPolicy
from .report import ReportWriter, summary

PILLOW_MISSING = (f"{PROG} needs Pillow to read and write images; install it with "
                  "python -m pip install 'vorn_hyst[cli]'")


def build_parser():
    defaults = monochrome_defaults()
    p = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Fix the black and white levels of monochrome scans. Images judged\n"
                    "monochrome get black ink and white paper and are written as 8-bit\n"
                    "greyscale; colour images are copied unchanged.",
        epilog="examples:\n"
               "  vorn-hyst scans/ -r -o fixed/ --report fixed/report.csv\n"
               "  vorn-hyst page-*.tif --in-place\n"
               "  vorn-hyst scans.pdf -o fixed/\n"
               "  vorn-hyst --demo demo-out")
    p.add_argument("inputs", nargs="*", metavar="INPUT", help="image or PDF files, or directories")
    p.add_argument("-o", "--output", metavar="OUTDIR", type=Path,
                   help="directory for the results (the inputs' relative paths are kept)")
    p.add_argument("-r", "--recursive", action="store_true", help="descend into subdirectories")
    p.add_argument("--in-place", action="store_true",
                   help="replace each input by its result (colour images stay untouched)")
    p.add_argument("--overwrite", action="store_true", help="replace existing files in OUTDIR")
    p.add_argument("--keep-rgb", action="store_true",
                   help="write grey results of RGB and palette images as RGB, not 8-bit greyscale")
    p.add_argument("--quality", type=in_range(1, 100), default=90, metavar="Q",
                   help="JPEG (and lossy WebP) quality of rewritten images, 1-100 (default 90)")
    p.add_argument("-j", "--jobs", type=in_range(1, 1024), default=default_jobs(), metavar="N",
                   help="images processed at the same time (default: the core count, %(default)s)")
    p.add_argument("--report", type=Path, metavar="FILE",
                   help="write one row per image to FILE as it is done: CSV, JSON Lines "
                        "(.jsonl) or JSON (.json) by its extension")
    p.add_argument("-q", "--quiet", action="store_true", help="print only failures and the summary")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="one line per image with its verdict and the reason, on a terminal too")
    p.add_argument("--dry-run", action="store_true",
                   help="decide and report, but write no image")
    p.add_argument("--skip-existing", action="store_true",
                   help="leave images whose output exists (to resume an interrupted run)")
    p.add_argument("--max-pixels", type=in_range(1, None), default=MAX_PIXELS, metavar="N",
                   help="refuse larger pages as likely decompression bombs (default %(default)s)")
    p.add_argument("--demo", type=Path, metavar="OUTDIR",
                   help="write a synthetic scanned page, its fixed version and both side by side")
    p.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    g = p.add_argument_group("guards", "each can only refuse a fix that monochrome() would "
                             "make; without them the module's result is written as it is")
    g.add_argument("--no-colour-guard", dest="colour_guard", action="store_false",
                   help="grey images even where colour survives the levels (stamps, photos)")
    g.add_argument("--no-flat-guard", dest="flat_guard", action="store_false",
                   help="threshold images with a single level per channel (blank pages)")
    g.add_argument("--no-loss-guard", dest="loss_guard", action="store_false",
                   help="fix images even when most of the dark region would become pure black")
    g = p.add_argument_group("level fix parameters",
                             "those of vorn_hyst.monochrome; --blur_n and the like work too")
    g.add_argument("--blur-n", type=in_range(0, 1024), default=defaults["blur_n"], metavar="N",
                   help="histogram smoothing passes, 0-1024 (default %(default)s)")
    g.add_argument("--window-radius", type=in_range(1, 255), default=defaults["window_radius"],
                   metavar="N", help="local maximum search radius in bins, 1-255 "
                                     "(default %(default)s)")
    g.add_argument("--min-prominence", type=ratio, default=defaults["min_prominence"],
                   metavar="P", help="minimum peak prominence in percent of the pixel count, "
                                     ">= 0 (default %(default)s)")
    g.add_argument("--min-distance", type=in_range(1, 255), default=defaults["min_distance"],
                   metavar="N", help="minimum distance between peaks in bins, 1-255 "
                                     "(default %(default)s)")
    g.add_argument("--percentage", type=ratio, default=defaults["percentage"], metavar="R",
                   help="largest relative disagreement of the channels' peak masses still "
                        "judged monochrome, >= 0 (default %(default)s)")
    c = p.add_argument_group("cluster", "run the files as Dask tasks (needs vorn_hyst[cluster]); "
                             "inputs and outputs must be on a file system every worker shares")
    c.add_argument("--scheduler", metavar="ADDRESS",
                   help="a Dask scheduler (tcp://host:8786), or local:N for N worker processes "
                        "here; --jobs is then the thread count of each local worker")
    return p


def in_range(low, high):
    """An argparse type: an integer in low..high (no upper end for None)."""
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < low or (high is not None and value > high):
            span = f"{low}-{high}" if high is not None else f">= {low}"
            raise argparse.ArgumentTypeError(f"must be in {span}, got {value}")
        return value
    parse.__name__ = "integer"
    return parse


def ratio(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, got {text}")
    return value


def version():
    try:
        return importlib.metadata.version("vorn_hyst")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def default_jobs():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def normalise_argv(argv):
    """Accepts the Python spellings of the parameters (--blur_n) beside the dashed ones."""
    out = []
    for i, arg in enumerate(argv):
        if arg == "--":
            return out + argv[i:]
        name, eq, value = arg.partition("=")
        if name.startswith("--") and name[2:] in PARAMETERS:
            arg = name.replace("_", "-") + eq + value
        out.append(arg)
    return out


def parse_args(argv):
    parser = build_parser()
    args = parser.parse_args(normalise_argv(list(argv)))
    if args.demo is not None:
        if args.inputs or args.output or args.in_place:
            parser.error("--demo takes only its output directory")
    elif not args.inputs:
        parser.error("no INPUT given")
    elif args.in_place == (args.output is not None):
        parser.error("give either -o OUTDIR or --in-place")
    guards = Guards(colour=args.colour_guard, flat=args.flat_guard, loss=args.loss_guard)
    args.params = Settings({name: getattr(args, name) for name in PARAMETERS}, guards)
    return args


@contextlib.contextmanager
def sigterm_as_interrupt():
    """SIGTERM ends a run the way Ctrl-C does, with the same cleaning up."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupt(signum, frame):
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def main(argv=None):
    """Runs the command line; returns the exit status (0: all went well, 1: some image
    failed, 2: bad usage, an unwritable report, Pillow missing or a cluster that
    cannot run the batch, 130: interrupted)."""
    for stream in (sys.stdout, sys.stderr):  # names that are not UTF-8 still print
        with contextlib.suppress(AttributeError, ValueError):
            stream.reconfigure(errors="backslashreplace")
    try:
        args = parse_args(sys.argv[1:] if argv is None else argv)
    except SystemExit as e:  # usage errors and --help
        return e.code if isinstance(e.code, int) else 2
    try:
        importlib.import_module("PIL.Image")
    except ImportError:
        print(PILLOW_MISSING, file=sys.stderr)
        return 2
    if args.demo is not None:
        from .demo import demo
        return demo(args)
    policy = OutputPolicy.from_args(args)
    with sigterm_as_interrupt():
        return run(args, policy)


def run(args, policy):
    try:
        report = ReportWriter(args.report) if args.report else None
    except OSError as e:
        print(f"{PROG}: cannot write the report {args.report}: {e.strerror or e}", file=sys.stderr)
        return 2
    rows, jobs = [], []
    try:
        jobs, failed = plan(args.inputs, policy, args.recursive)
        progress = Progress(len(jobs) + len(failed), args.quiet, verbose=args.verbose)

        def done(file_rows):
            rows.extend(file_rows)
            progress.update(file_rows)
            if report:
                report.add(file_rows)
        for row in failed:
            done([row])
        try:
            if args.scheduler:
                if run_on_cluster(args, jobs, policy, done) is None:
                    if report:
                        report.abandon()
                    return 2
            else:
                run_jobs(jobs, policy, args.params, args.jobs, done)
        finally:
            progress.close()
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    finally:
        if report:
            report.close(in_input_order(rows, jobs))
    if not rows:
        print(f"{PROG}: no images found in {' '.join(args.inputs)}", file=sys.stderr)
        return 1
    emit(summary(rows, policy.dry_run), sys.stdout)
    return 1 if any(r.verdict == FAILED for r in rows) else 0


def in_input_order(rows, jobs):
    """Rows of files that could not be planned first, then file by file as planned."""
    order = {str(job.source): i for i, job in enumerate(jobs)}
    return sorted(rows, key=lambda row: order.get(row.path, -1))  # stable: pages stay in order


def run_on_cluster(args, jobs, policy, on_rows):
    """The batch as Dask tasks; None (after saying why) if the cluster cannot run it."""
    from . import cluster  # imports Dask, which a plain run does without
    try:
        return cluster.run_jobs(jobs, policy, args.params, args.scheduler, args.jobs, on_rows)
    except cluster.ClusterError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return None

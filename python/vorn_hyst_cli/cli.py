"""The command line: options, checks of their values, and the entry point."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from pathlib import Path

import numpy as np

import vorn_hyst

from .batch import PROG, Progress, plan, run_jobs
from .decision import FAILED, PARAMETERS, monochrome_defaults
from .policy import OutputPolicy
from .report import summary, write_report

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
    p.add_argument("--quality", type=int, default=90, metavar="Q",
                   help="JPEG (and lossy WebP) quality of rewritten images, 1-100 (default 90)")
    p.add_argument("-j", "--jobs", type=int, default=default_jobs(), metavar="N",
                   help="images processed at the same time (default: the core count, %(default)s)")
    p.add_argument("--report", type=Path, metavar="FILE",
                   help="write one row per image to FILE, CSV or JSON by its extension")
    p.add_argument("-q", "--quiet", action="store_true", help="print only failures and the summary")
    p.add_argument("--demo", type=Path, metavar="OUTDIR",
                   help="write a synthetic scanned page, its fixed version and both side by side")
    g = p.add_argument_group("level fix parameters",
                             "those of vorn_hyst.monochrome; --blur_n and the like work too")
    g.add_argument("--blur-n", type=natural, default=defaults["blur_n"], metavar="N",
                   help="histogram smoothing passes, 0-1024 (default %(default)s)")
    g.add_argument("--window-radius", type=natural, default=defaults["window_radius"], metavar="N",
                   help="local maximum search radius in bins, 1-255 (default %(default)s)")
    g.add_argument("--min-prominence", type=float, default=defaults["min_prominence"],
                   metavar="P", help="minimum peak prominence in percent of the pixel count "
                                     "(default %(default)s)")
    g.add_argument("--min-distance", type=natural, default=defaults["min_distance"], metavar="N",
                   help="minimum distance between peaks in bins, 1-255 (default %(default)s)")
    g.add_argument("--percentage", type=float, default=defaults["percentage"], metavar="R",
                   help="largest relative disagreement of the channels' peak masses still "
                        "judged monochrome (default %(default)s)")
    return p


def natural(text):
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


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
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if not 1 <= args.quality <= 100:
        parser.error("--quality must be in 1..100")
    args.params = {name: getattr(args, name) for name in PARAMETERS}
    try:  # let the module judge the parameters, with its own messages
        vorn_hyst.monochrome(np.zeros((1, 1, 3), np.uint8), **args.params)
    except (ValueError, OverflowError, TypeError) as e:
        parser.error(str(e))
    return args


def main(argv=None):
    """Runs the command line; returns the exit status (0: all went well, 1: some image
    failed, 2: bad usage or Pillow missing, 130: interrupted)."""
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
    jobs, failed = plan(args.inputs, policy, args.recursive)
    progress = Progress(len(jobs) + len(failed), args.quiet)
    for row in failed:
        progress.update([row])
    try:
        rows = run_jobs(jobs, policy, args.params, args.jobs, progress.update)
    except KeyboardInterrupt:
        progress.close()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    progress.close()
    rows = failed + rows
    if not rows:
        print(f"{PROG}: no images found", file=sys.stderr)
    if args.report:
        write_report(args.report, rows)
    print(summary(rows))
    return 1 if any(r.verdict == FAILED for r in rows) else 0

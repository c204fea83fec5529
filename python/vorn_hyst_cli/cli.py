"""The command line: its options, the checks of their values, and the entry point.

Only the standard library is imported before the signal handlers are in
place, so that Ctrl-C or SIGTERM at any moment ends the run with a line and
its exit status, never a traceback. The run itself is in ``run``.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings

from . import interrupts
from .outcome import ExitCode, ToolError, UsageError

PROG = "vorn-hyst"
# Peaks measured by bench/memory.py (6 and 24 MP pages); budget.py reckons with them.
MEMORY_NOTE = ("memory: about 8 bytes per pixel of a file's largest page while it is\n"
               "under way (14 for a colour PDF, 21 for JPEG 2000, 44 for WebP; an 80 MP\n"
               "PNG page: 0.6 GB).\n"
               "A file starts only when its pages fit in --memory beside those under way\n"
               "(default: half of the memory available, shared by local:N's workers); one\n"
               "larger than the whole budget runs alone.")


def build_parser():
    from pathlib import Path

    from .decision import monochrome_defaults
    from .policy import MAX_PAGES, MAX_PIXELS
    defaults = monochrome_defaults()
    p = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Fix the black and white levels of monochrome scans. Images judged\n"
                    "monochrome get black ink and white paper and are written as 8-bit\n"
                    "greyscale; colour images are copied unchanged.",
        epilog="examples:\n"
               "  vorn-hyst scans/ -r -o fixed/ --report fixed/report.csv\n"
               "  vorn-hyst page-*.tif --in-place --backup originals/\n"
               "  vorn-hyst scans.pdf -o fixed/\n"
               "  vorn-hyst --demo demo-out\n\n" + MEMORY_NOTE)
    p.add_argument("inputs", nargs="*", metavar="INPUT", help="image or PDF files, or directories")
    p.add_argument("-o", "--output", metavar="OUTDIR", type=Path,
                   help="directory for the results (the inputs' relative paths are kept)")
    p.add_argument("-r", "--recursive", action="store_true", help="descend into subdirectories")
    p.add_argument("--in-place", action="store_true",
                   help="replace each input by its result (colour images stay untouched)")
    p.add_argument("--backup", metavar="DIR", type=Path,
                   help="with --in-place: keep each original that is replaced under DIR, "
                        "with its relative path (an older backup is never overwritten)")
    p.add_argument("--overwrite", action="store_true",
                   help="replace existing files in OUTDIR, and an existing report")
    p.add_argument("--keep-rgb", action="store_true",
                   help="write grey results of RGB and palette images as RGB, not 8-bit greyscale")
    p.add_argument("--quality", type=in_range(1, 100), default=90, metavar="Q",
                   help="JPEG (and lossy WebP) quality of rewritten images, 1-100 (default 90)")
    p.add_argument("-j", "--jobs", type=in_range(1, 1024), default=default_jobs(), metavar="N",
                   help="images processed at the same time (default: the core count, %(default)s)")
    p.add_argument("--report", type=Path, metavar="FILE",
                   help="write one row per image to FILE as it is done: CSV, JSON Lines "
                        "(.jsonl) or JSON (.json) by its extension")
    p.add_argument("--review", type=Path, metavar="FILE",
                   help="write a page to look the run over, FILE (HTML), as it goes: every "
                        "image with before/after thumbnails, its verdict and why, fixed ones "
                        "first; its data go into the folder FILE_files beside it")
    p.add_argument("-q", "--quiet", action="store_true", help="print only failures and the summary")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="one line per image with its verdict and the reason, on a terminal too")
    p.add_argument("--dry-run", action="store_true",
                   help="decide and report, but write no image")
    p.add_argument("--skip-existing", action="store_true",
                   help="leave images whose output exists (to resume an interrupted run)")
    p.add_argument("--max-pixels", type=in_range(1, None), default=MAX_PIXELS, metavar="N",
                   help="refuse larger pages as likely decompression bombs (default %(default)s)")
    p.add_argument("--max-pages", type=in_range(1, None), default=MAX_PAGES, metavar="N",
                   help="refuse files of more pages (default %(default)s)")
    p.add_argument("--memory", type=memory_size, metavar="SIZE",
                   help="memory for the pages under way, e.g. 4G or 500M: a file starts only "
                        "when its largest page fits beside those of the files under way "
                        "(default: half of the memory available; with --scheduler local:N "
                        "shared by the workers, with a scheduler of your own each worker's)")
    p.add_argument("--demo", type=Path, metavar="OUTDIR",
                   help="write a synthetic scanned page, its fixed version and both side by side")
    p.add_argument("--version", action=VersionAction)
    p.add_argument("--rule", choices=("both", "module", "document"), default="both",
                   help="which rule fixes the levels: the module's (its peaks, as monochrome() "
                        "does), the document rule (paper and ink mass, for real scans), or "
                        "both, the module's first (default)")
    g = p.add_argument_group("guards", "each can only refuse a fix that the module's rule "
                             "would make; without them its result is written as it is")
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


def memory_size(text):
    from .budget import parse_size
    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def ratio(text):
    import math
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, got {text}")
    return value


class VersionAction(argparse.Action):
    """--version, whose number is looked up only when asked for: reading the
    installed package's metadata costs every run a twentieth of a second."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show program's version number and exit"):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"{parser.prog} {version()}")  # on standard output, as argparse's own
        parser.exit()


def version():
    import importlib.metadata
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
    from .policy import PARAMETERS
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
        if args.inputs or args.output or args.in_place or args.review:
            parser.error("--demo takes only its output directory")
    elif not args.inputs:
        parser.error("no INPUT given")
    elif args.in_place == (args.output is not None):
        parser.error("give either -o OUTDIR or --in-place")
    elif args.backup is not None and not args.in_place:
        parser.error("--backup goes with --in-place")
    return args


# ---- checks of the places the run writes to ------------------------------------------

def inside(path, folder):
    """Whether `path` lies in `folder` (at any depth); both made real."""
    try:
        return os.path.commonpath([path, folder]) == folder and path != folder
    except ValueError:  # different drives
        return False


def check_places(args):
    """Refuses, before any work, a report that would replace a file unasked, an
    input, an output or an image a walk would take, and a backup folder
    among the inputs."""
    if args.report is not None:
        check_report(args.report, args, "report")
    if getattr(args, "review", None) is not None:
        from .review import folder_of
        check_report(args.review, args, "review page")
        check_report(folder_of(args.review), args, "review page's folder", folder=True)
        if args.report is not None and \
                os.path.realpath(args.report) == os.path.realpath(args.review):
            raise UsageError(f"the review page {args.review} is the report")
    if args.backup is not None:
        backup = os.path.realpath(args.backup)
        for text in args.inputs:
            real = os.path.realpath(text)
            if os.path.isdir(real) and (backup == real or inside(backup, real)):
                raise UsageError(f"--backup {args.backup} is inside the input folder {text}, "
                                 "whose images it would then hold")


def check_report(path, args, what, folder=False):
    """Refuses a place for the report (or for the review page, or, with
    `folder`, the folder of its data) that is an input or an output, that a
    walk would take as an image, or that exists unless --overwrite."""
    real = os.path.realpath(path)
    if folder and os.path.exists(real) and not os.path.isdir(real):
        raise UsageError(f"the {what} {path} is not a directory")
    if not folder and os.path.isdir(real):
        raise UsageError(f"the {what} {path} is a directory")
    for text in args.inputs:
        root = os.path.realpath(text)
        if real == root:
            raise UsageError(f"the {what} {path} is an input")
        if os.path.isdir(root) and inside(real, root) and is_image_name(real):
            raise UsageError(f"the {what} {path} would be an image in the input folder {text}")
    if args.output is not None:
        outdir = os.path.realpath(args.output)
        if real == outdir:
            raise UsageError(f"the {what} {path} is the output folder")
        if inside(real, outdir) and is_image_name(real):
            raise UsageError(f"the {what} {path} would be an image in the output folder")
    if os.path.lexists(path) and not args.overwrite:
        raise UsageError(f"the {what} {path} exists (use --overwrite to replace it)")


def is_image_name(path):
    from .policy import FOUND_IN_FOLDERS
    return os.path.splitext(path)[1].lower() in FOUND_IN_FOLDERS


# ---- the entry point -------------------------------------------------------------------

def say(text):
    try:
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def main(argv=None):
    """Runs the command line; returns the exit status (see outcome.ExitCode).

    Ctrl-C and SIGTERM end a run the same way, with the same cleaning up (see
    ``interrupts``); both are handled from the first line on. Run as the
    program (no `argv`), it ends with the signals held: one that comes while
    Python shuts down must not turn a finished run into a killed one."""
    restore_handlers = interrupts.install()
    try:
        try:
            with warnings.catch_warnings():
                # A damaged file's warnings name no file; its row says what is wrong.
                warnings.filterwarnings("ignore", module=r"PIL\.")
                return run_command(sys.argv[1:] if argv is None else argv)
        except ToolError as e:
            say(str(e))
            return e.exit_code
    except KeyboardInterrupt:
        say("interrupted")
        return ExitCode.INTERRUPTED
    finally:
        if argv is None:
            interrupts.hold()
        else:
            restore_handlers()


def run_command(argv):
    for stream in (sys.stdout, sys.stderr):  # names that are not UTF-8 still print
        try:
            stream.reconfigure(errors="backslashreplace")
        except (AttributeError, ValueError):
            pass
    try:
        args = parse_args(argv)
    except SystemExit as e:  # usage errors and --help
        return e.code if isinstance(e.code, int) else ExitCode.USAGE
    from . import deps
    deps.pillow()
    if args.demo is not None:
        from .demo import demo
        return demo(args)
    check_places(args)
    from .run import run
    return run(args)

"""One run of the command line: the work found lazily, done on this machine's
threads or on a cluster, each file's rows passed on to the listing, the
summary and the report as it finishes, and the exit status at the end."""

from __future__ import annotations

import contextlib
import sys
import time

from .batch import find_work, run_jobs
from .budget import per_process
from .decision import Guards, Settings
from .outcome import ClusterError, ExitCode, ReportError, exit_status
from .policy import PARAMETERS, OutputPolicy
from .progress import PROG, Progress, emit
from .report import ReportWriter, Summary


def settings_of(args):
    guards = Guards(colour=args.colour_guard, flat=args.flat_guard, loss=args.loss_guard)
    return Settings({name: getattr(args, name) for name in PARAMETERS}, guards,
                    getattr(args, "rule", "both"))


def run(args):
    """Runs the batch the options describe; returns the exit status. A RunError
    (a report that cannot be written, a cluster that cannot run) goes to the
    caller after the report is closed or removed."""
    args.memory_budget = per_process(args.memory, args.scheduler)
    policy = OutputPolicy.from_args(args)
    params = settings_of(args)
    report = ReportWriter(args.report, args.overwrite) if args.report else None
    try:
        review = open_review(args)
    except ReportError:
        if report:
            report.abandon()
        raise
    summary = Summary()
    progress = Progress(args.quiet, verbose=args.verbose)

    def done(index, rows):
        summary.add(rows)
        progress.update(rows)
        if report:
            report.add(index, rows)
        if review:
            review.add(index, rows)

    excluded = [args.report] if args.report else []
    work = counted(find_work(args.inputs, policy, args.recursive, excluded), progress)
    interrupted = False
    state = "stopped"  # for the review page: how the run ended
    try:
        try:
            if args.scheduler:
                from .cluster import run_jobs as run_on_cluster
                run_on_cluster(work, policy, params, args.scheduler, args.jobs, done,
                               roots=args.inputs)
            else:
                run_jobs(work, policy, params, args.jobs, done)
            state = "complete"
        finally:
            progress.close()
    except KeyboardInterrupt:
        interrupted = True
        state = "interrupted"
    except ClusterError:
        if report:
            report.abandon()
            report = None
        if review:
            review.abandon()
            review = None
        raise
    except ReportError as e:
        if report:
            with contextlib.suppress(ReportError):
                report.close()
        if review:
            with contextlib.suppress(ReportError):
                review.close(summary, state, str(e))
        raise
    finally:
        try:
            if report:
                report.close()
        finally:
            if review:
                review.close(summary, state)
    if interrupted:
        emit(f"{PROG}: interrupted", sys.stderr)
        return ExitCode.INTERRUPTED
    if not summary.files:
        emit(f"{PROG}: no images found in {' '.join(args.inputs)}", sys.stderr)
        return ExitCode.FILES_FAILED
    emit(summary.text(policy.dry_run), sys.stdout)
    return exit_status(summary.failed, summary.files)


def open_review(args):
    if getattr(args, "review", None) is None:
        return None
    from .review import ReviewWriter, run_info
    return ReviewWriter(args.review, args.overwrite, run_info(args))


def counted(work, progress):
    """The work, telling the progress how much has been found so far."""
    found, shown_at = 0, 0.0
    for item in work:
        found += 1
        now = time.monotonic()
        if now - shown_at > 0.2:
            progress.found(found)
            shown_at = now
        yield item
    progress.found(found)

"""A batch on a Dask cluster: one task per file, the same work and bytes as on this machine.

The workers run ``batch.process`` on paths they see through a shared file
system; this side plans, checks that the workers see the folders, feeds the
progress and the report as tasks finish, and keeps the rows in input order.
Dask is imported here only, and only when a run asks for a cluster."""

from __future__ import annotations

import contextlib
import dataclasses
import filecmp
import logging
import os
import signal
import tempfile
from pathlib import Path

from .batch import PROG, Job, process
from .fileio import exists_message, temporary_owner
from .report import Row

CLUSTER_MISSING = ("--scheduler needs dask.distributed; install it with "
                   "python -m pip install 'vorn_hyst[cluster]'")
LOCAL = "local:"
# How many times a task may be on a worker that dies (killed, out of memory)
# and still be given to another one; one death more and its file is reported
# failed. It is the scheduler's setting, so it holds for local:N; a scheduler
# of your own has its distributed.scheduler.allowed-failures (3 by default).
ALLOWED_FAILURES = 3


class ClusterError(Exception):
    """The cluster cannot run the batch; the message is shown to the user."""


@dataclasses.dataclass(frozen=True)
class Task:
    """One file's work as a worker gets it."""
    job: Job  # absolute paths: a worker's working directory is not ours
    shown: Job  # the paths as planned, for the report and the messages
    policy: object
    params: dict
    fresh: bool  # the destination did not exist when the run began
    identity: tuple | None  # of an in-place source when the run began


def run_jobs(jobs, policy, params, scheduler, threads, on_rows):
    """Processes the jobs as tasks on the cluster at `scheduler` ("local:N" starts
    N worker processes here, `threads` threads each); rows come back in input
    order, and `on_rows` gets each file's rows as its task finishes."""
    distributed = import_distributed()
    tasks = [make_task(job, policy, params) for job in jobs]
    submitted = False
    try:
        with connect(distributed, scheduler, threads) as client:
            check_workers(client, tasks, policy)
            futures = client.map(run_task, tasks, pure=False)
            submitted = True
            try:
                return gather(distributed, futures, tasks, on_rows)
            except BaseException:
                client.cancel(futures)
                raise
    finally:
        # A local cluster is closed by now; a cancelled task still running on a
        # cluster of your own removes its own temporary file when it ends.
        if submitted:
            sweep_temporaries(task.job for task in tasks)


def import_distributed():
    try:
        import distributed
    except ImportError:
        raise ClusterError(CLUSTER_MISSING) from None
    return distributed


@contextlib.contextmanager
def connect(distributed, scheduler, threads):
    if scheduler.startswith(LOCAL):
        with local_cluster(distributed, scheduler, threads) as cluster, \
                distributed.Client(cluster) as client:
            yield client
        return
    try:  # waits as long as distributed.comm.timeouts.connect says (30 s by default)
        client = distributed.Client(scheduler)
    except (OSError, ValueError, TypeError) as e:
        raise ClusterError(f"cannot reach the scheduler at {scheduler}: {e}") from None
    with client:
        yield client


def local_cluster(distributed, scheduler, threads):
    count = scheduler[len(LOCAL):]
    if not count.isdigit() or int(count) < 1:
        raise ClusterError(f"--scheduler {scheduler}: give local:N with N at least 1")
    import dask
    try:
        # The workers' statistical profiler samples every thread a hundred
        # times a second: processor time taken from the files, for a dashboard
        # that local:N does not start.
        settings = {"distributed.scheduler.allowed-failures": ALLOWED_FAILURES,
                    "distributed.worker.profile.enabled": False,
                    "distributed.nanny.pre-spawn-environ": worker_environment(dask)}
        with dask.config.set(settings), interrupt_ignored():
            return distributed.LocalCluster(
                n_workers=int(count), threads_per_worker=threads, processes=True,
                host="127.0.0.1", silence_logs=logging.ERROR,
                # no dashboard, and the scheduler's own web server on any free
                # port rather than on 8787, which another run may hold
                dashboard_address="127.0.0.1:0", scheduler_kwargs={"dashboard": False})
    except (OSError, RuntimeError) as e:
        raise ClusterError(f"cannot start {count} local workers: {e}") from None


def worker_environment(dask):
    """Dask's worker environment, with the C allocator left to keep image-sized
    buffers between files. Dask's own setting (trim above 64 KiB) returns them
    to the system after each image and has every page of the next one faulted
    in anew: a fifth of the processor time on 2 MP scans."""
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
    environ.update(MALLOC_TRIM_THRESHOLD_=str(256 << 20), MALLOC_MMAP_THRESHOLD_=str(32 << 20))
    return environ


@contextlib.contextmanager
def interrupt_ignored():
    """Worker processes started meanwhile inherit the ignored Ctrl-C, which then
    reaches this process alone: it cancels the tasks and closes the workers,
    instead of each worker dying with a traceback of its own. A Ctrl-C while
    the workers start is lost."""
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # not the main thread: there is no Ctrl-C to handle here
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def make_task(job, policy, params):
    absolute = Job(job.source.absolute(), job.dest.absolute())
    in_place = absolute.source == absolute.dest
    return Task(absolute, job, policy, params, fresh=not os.path.lexists(absolute.dest),
                identity=file_identity(absolute.source) if in_place else None)


def file_identity(path):
    """What changes when a file is replaced by a rename, as every client of a
    shared file system sees it."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_ino, st.st_size


def check_workers(client, tasks, policy):
    """Refuses, before any work, a cluster whose workers cannot see the folders."""
    try:
        client.wait_for_workers(1, timeout=connect_timeout())
    except (TimeoutError, OSError):
        raise ClusterError(f"the scheduler at {client.scheduler.address} has no workers") from None
    folders = outermost(task.job.source.parent for task in tasks)
    outdir = policy.outdir.absolute() if policy.outdir is not None and tasks else None
    made = None
    if outdir is not None and not policy.dry_run:
        # Made here, so that a worker that does not share it is caught now,
        # not after it has written its results onto a disk of its own.
        made = first_missing(outdir)
        try:
            outdir.mkdir(parents=True, exist_ok=True)
        except OSError as e:
            raise ClusterError(f"cannot make {policy.outdir}: {e}") from None
        folders.append(str(outdir))
    try:
        unseen = client.run(unseen_folders, folders)
    except Exception as e:  # the workers cannot even load this module
        raise ClusterError(f"the workers cannot run {PROG}: {type(e).__name__}: {e} "
                           "(install vorn_hyst[cli] where they run)") from None
    for worker, missing in sorted(unseen.items()):
        if missing:
            if made is not None:
                remove_made(outdir, made)
            raise ClusterError(f"worker {worker} cannot see {missing[0]}: inputs and outputs "
                               "must be on a file system that every worker shares")


def connect_timeout():
    import dask
    return dask.utils.parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"))


def outermost(folders):
    """The folders none of whose ancestors are among them."""
    kept = []
    for folder in sorted({str(f) for f in folders}):
        if not kept or not folder.startswith(kept[-1].rstrip(os.sep) + os.sep):
            kept.append(folder)
    return kept


def first_missing(folder):
    missing = None
    while not folder.exists():
        missing, folder = folder, folder.parent
    return missing


def remove_made(outdir, made):
    """Removes the empty folders from `outdir` up to `made`, those this run made."""
    for folder in [outdir, *outdir.parents]:
        with contextlib.suppress(OSError):
            folder.rmdir()
        if folder == made:
            return


def unseen_folders(folders):
    """Runs on each worker."""
    return [f for f in folders if not os.path.isdir(f)]


def run_task(task):
    """Runs on a worker: one file, with its rows in the paths the user gave."""
    job = task.job
    current = file_identity(job.source) if task.identity is not None else None
    if current is not None and current != task.identity:
        # An in-place source rewritten since the run began is, most likely, the
        # result of an earlier try whose worker died before it could report:
        # fixing it again would fix a result (and recompress a JPEG).
        rows = [Row(str(job.source), error="replaced since the run began (by an earlier try "
                                           "on a worker that died?); left as it is")]
    else:
        rows = process(job, task.policy, task.params)
        if task.fresh and rows[0].error == exists_message(job.dest):
            rows = confirm_earlier_try(task, rows)
    return [shown_row(row, task) for row in rows]


def confirm_earlier_try(task, refused):
    """A destination that appeared during the run, which the plan gave to this
    file alone, is most likely the result of an earlier try whose worker died
    before it could report. It stands if it holds exactly what this try writes;
    otherwise it is someone else's, and the refusal stands."""
    with tempfile.TemporaryDirectory(prefix="vorn-hyst-") as scratch:
        trial = Job(task.job.source, Path(scratch) / task.job.dest.name)
        rows = process(trial, task.policy, task.params)
        if (rows[0].error or not trial.dest.exists()
                or not filecmp.cmp(trial.dest, task.job.dest, shallow=False)):
            return refused
    for row in rows:
        row.output = str(task.job.dest)
    return rows


def shown_row(row, task):
    row.path = str(task.shown.source)
    if row.output:
        row.output = str(task.shown.dest)
    for absolute, shown in ((task.job.dest, task.shown.dest), (task.job.source, task.shown.source)):
        row.error = row.error.replace(str(absolute), str(shown))
    return row


def gather(distributed, futures, tasks, on_rows):
    index = {future.key: i for i, future in enumerate(futures)}
    results = [None] * len(futures)
    # Fetching the results as they come, rather than one round trip per file
    # here, halves the cost per file; and a result held by a worker that died
    # before it was fetched is computed again, which this waits for.
    done = distributed.as_completed(futures, with_results=True, raise_errors=False)
    for future, result in done:
        i = index[future.key]
        if not isinstance(result, list):  # the task's error, not its rows
            result = failed_task(distributed, future, tasks[i])
        results[i] = result
        future.release()
        on_rows(results[i])
    return [row for rows in results for row in rows]


def failed_task(distributed, future, task):
    error = future.exception()
    if isinstance(error, distributed.KilledWorker):
        message = f"every worker that tried it died ({error.allowed_failures + 1} tries)"
    else:
        message = f"on the cluster: {type(error).__name__}: {error}"
    return [Row(str(task.shown.source), error=message)]


def sweep_temporaries(jobs):
    """Removes the temporary files that tries on dead workers left beside the
    destinations: one listing per destination folder."""
    names = {}
    for job in jobs:
        names.setdefault(job.dest.parent, set()).add(job.dest.name)
    for folder, owned in names.items():
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue
        for entry in entries:
            if temporary_owner(entry.name) in owned:
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)

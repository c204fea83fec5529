"""A batch on a Dask cluster: one task per file, the same work and bytes as on this machine.

The workers run ``batch.process`` on paths they see through a shared file
system; this side finds the work, checks that the workers see the folders,
keeps a bounded number of tasks in flight (so that neither this process nor
the scheduler holds the whole batch), and passes each file's rows on as its
task finishes. Dask is imported here only, and only when a run asks for a
cluster."""

from __future__ import annotations

import contextlib
import dataclasses
import filecmp
import logging
import os
import signal
import tempfile
import threading
import time
from pathlib import Path

from . import deps, interrupts
from .batch import Job, process
from .fileio import Identity, sweep_stale
from .outcome import ClusterError, DestinationExists
from .progress import PROG
from .report import Row

LOCAL = "local:"
# How many times a task may be on a worker that dies (killed, out of memory)
# and still be given to another one; one death more and its file is reported
# failed. It is the scheduler's setting, so it holds for local:N; a scheduler
# of your own has its distributed.scheduler.allowed-failures (3 by default).
ALLOWED_FAILURES = 3
# Tasks in flight per worker thread: enough to keep every thread busy while
# results travel back, few enough that scheduler and client stay small.
TASKS_PER_THREAD = 4
# Beyond the connect timeout, what the first exchange with a scheduler may take.
HANDSHAKE_GRACE = 2.0


@dataclasses.dataclass(frozen=True)
class Task:
    """One file's work as a worker gets it."""
    job: Job  # absolute paths: a worker's working directory is not ours
    shown: Job  # the paths as planned, for the report and the messages
    policy: object
    params: dict
    fresh: bool  # the destination did not exist when the file was handed out
    identity: Identity | None  # of an in-place source when the file was handed out


def run_jobs(work, policy, params, scheduler, threads, on_rows, roots=()):
    """Processes the work (Jobs, and failed Rows to pass on) as tasks on the
    cluster at `scheduler` ("local:N" starts N worker processes here,
    `threads` threads each); `on_rows(index, rows)` gets each file's rows as
    its task finishes. `roots` are the inputs as given, whose folders every
    worker must see."""
    distributed = deps.distributed()
    folders = set()
    submitted = False
    with connect(distributed, scheduler, threads) as client:
        try:
            check_workers(client, roots, policy)
            submitted = True
            feed(distributed, client, work, policy, params, folders, on_rows)
        finally:
            # Tries on workers that died leave temporary files; a live
            # worker on their machine can tell them, and so can this side.
            if submitted and not policy.dry_run:
                with contextlib.suppress(Exception):
                    client.run(sweep_folders, sorted(folders))
    if submitted and not policy.dry_run:
        sweep_folders(sorted(folders))


def feed(distributed, client, work, policy, params, folders, on_rows):
    """Submits the tasks as the work comes, at most a window of them in flight."""
    window = max(16, TASKS_PER_THREAD * sum(client.nthreads().values()))
    done = distributed.as_completed([], loop=client.loop, with_results=True, raise_errors=False)
    tasks = {}  # future's key -> (index, task, future)
    try:
        for item in work:
            interrupts.check()
            if isinstance(item, Row):
                on_rows(item.index, [item])
                continue
            while len(tasks) >= window:
                take_one(distributed, done, tasks, on_rows)
            task = make_task(item, policy, params)
            folders.add(str(task.job.dest.parent))
            future = client.submit(run_task, task, pure=False)
            tasks[future.key] = (item.index, task, future)
            done.add(future)
        while tasks:
            take_one(distributed, done, tasks, on_rows)
    except BaseException:
        with contextlib.suppress(Exception):
            client.cancel([future for _, _, future in tasks.values()])
        raise


def take_one(distributed, done, tasks, on_rows):
    while not done.has_ready():
        interrupts.check()
        time.sleep(interrupts.POLL_SECONDS / 5)
    future, result = next(done)
    index, task, _ = tasks.pop(future.key)
    if not isinstance(result, list):  # the task's error, not its rows
        result = failed_task(distributed, future, task)
    future.release()
    on_rows(index, result)


@contextlib.contextmanager
def connect(distributed, scheduler, threads):
    if scheduler.startswith(LOCAL):
        with local_cluster(distributed, scheduler, threads) as cluster, \
                distributed.Client(cluster) as client:
            yield client
        return
    client = open_client(distributed, scheduler)
    with client:
        yield client


def open_client(distributed, address):
    """A client of the scheduler at `address`, or ClusterError within the
    connect timeout and a few seconds: a peer is first asked who it is, so
    that one that accepts the connection but never speaks Dask, or speaks
    something else, ends the run with one line, and no half-made client is
    left to close."""
    timeout = connect_timeout()
    probe_scheduler(distributed, address, timeout)
    outcome = {}

    def attempt():
        try:
            outcome["client"] = distributed.Client(address, timeout=timeout,
                                                   set_as_default=False)
        except Exception as e:  # whatever the peer made the client raise
            outcome["error"] = f"{type(e).__name__}: {one_line(e)}"
    thread = threading.Thread(target=attempt, name="vorn-hyst-connect", daemon=True)
    thread.start()
    thread.join(timeout + HANDSHAKE_GRACE)
    if "client" in outcome:
        return outcome["client"]
    raise ClusterError(f"cannot reach the scheduler at {address}: "
                       f"{outcome.get('error', 'it stopped answering')}")


def probe_scheduler(distributed, address, timeout):
    """Asks the peer at `address` for its identity, all within the time allowed."""
    import asyncio

    async def identity():
        comm = await distributed.comm.connect(address, timeout=timeout)
        try:
            await comm.write({"op": "identity", "reply": True})
            return await comm.read()
        finally:
            comm.abort()
    try:
        answer = asyncio.run(asyncio.wait_for(identity(), timeout + HANDSHAKE_GRACE))
    except (asyncio.TimeoutError, TimeoutError):
        raise ClusterError(f"cannot reach the scheduler at {address}: no Dask scheduler "
                           f"answered within {timeout:g} s") from None
    except Exception as e:  # refused, unreachable, or bytes that are not Dask's
        raise ClusterError(f"cannot reach the scheduler at {address}: "
                           f"{type(e).__name__}: {one_line(e)}") from None
    if not (isinstance(answer, dict) and answer.get("type") == "Scheduler"):
        raise ClusterError(f"cannot reach the scheduler at {address}: the peer there is not "
                           "a Dask scheduler")


def one_line(error):
    return " ".join(str(error).split())[:200]


def local_cluster(distributed, scheduler, threads):
    count = scheduler[len(LOCAL):]
    if not count.isdigit() or int(count) < 1:
        raise ClusterError(f"--scheduler {scheduler}: give local:N with N at least 1")
    dask = deps.dask()
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
    absolute = Job(job.source.absolute(), job.dest.absolute(), job.relative, job.index)
    return Task(absolute, job, policy, params, fresh=not os.path.lexists(absolute.dest),
                identity=Identity.of(absolute.source) if policy.in_place else None)


def check_workers(client, roots, policy):
    """Refuses, before any work, a cluster whose workers cannot see the folders:
    those of the inputs, and the output folder."""
    try:
        client.wait_for_workers(1, timeout=connect_timeout())
    except (TimeoutError, OSError):
        raise ClusterError(f"the scheduler at {client.scheduler.address} has no workers") from None
    folders = outermost(root if os.path.isdir(root) else os.path.dirname(root) or "."
                        for root in (os.path.abspath(r) for r in roots) if os.path.exists(root))
    outdir = policy.outdir.absolute() if policy.outdir is not None else None
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


def outermost(folders):
    """The folders none of whose ancestors are among them."""
    kept = []
    for folder in sorted({str(f) for f in folders}):
        if not kept or not folder.startswith(kept[-1].rstrip(os.sep) + os.sep):
            kept.append(folder)
    return kept


def connect_timeout():
    dask = deps.dask()
    return dask.utils.parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"))


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


def sweep_folders(folders):
    """Runs on each worker and here: the leftovers of tries that died."""
    for folder in folders:
        sweep_stale(folder, again=True)


def run_task(task):
    """Runs on a worker: one file, with its rows in the paths the user gave."""
    job = task.job
    if task.identity is not None and Identity.of(job.source) != task.identity:
        # An in-place source rewritten since it was handed out is, most likely,
        # the result of an earlier try whose worker died before it could
        # report: fixing it again would fix a result (and recompress a JPEG).
        rows = [Row(str(job.source), error="replaced since the run began (by an earlier try "
                                           "on a worker that died?); left as it is")]
    else:
        try:
            rows = process(job, task.policy, task.params, reraise=(DestinationExists,))
        except DestinationExists as refused:
            rows = confirm_earlier_try(task, refused)
    return [shown_row(row, task) for row in rows]


def confirm_earlier_try(task, refused):
    """A destination that appeared during the run, which the walk gave to this
    file alone, is most likely the result of an earlier try whose worker died
    before it could report. It stands if it holds exactly what this try writes;
    otherwise it is someone else's, and the refusal stands."""
    refusal = [Row(str(task.job.source), error=str(refused))]
    if not task.fresh:
        return refusal
    with tempfile.TemporaryDirectory(prefix="vorn-hyst-") as scratch:
        trial = Job(task.job.source, Path(scratch) / task.job.dest.name)
        rows = process(trial, task.policy, task.params)
        if (rows[0].error or not trial.dest.exists()
                or not filecmp.cmp(trial.dest, task.job.dest, shallow=False)):
            return refusal
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


def failed_task(distributed, future, task):
    error = future.exception()
    if isinstance(error, distributed.KilledWorker):
        message = f"every worker that tried it died ({error.allowed_failures + 1} tries)"
    else:
        message = f"on the cluster: {type(error).__name__}: {error}"
    return [Row(str(task.shown.source), error=message)]

"""vorn-hyst --scheduler: the batch as Dask tasks on loopback, against a plain run."""

import contextlib
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("PIL.Image")
distributed = pytest.importorskip("distributed")
pytestmark = pytest.mark.slow
import dask  # noqa: E402

from test_cli import BAD, FILES  # noqa: E402
from test_review import picture, read_review  # noqa: E402
from vorn_hyst_cli.cli import main  # noqa: E402
from vorn_hyst_cli.decision import FIXED  # noqa: E402

COPIES = 12  # of the mixed folder: enough files that a worker can be killed part-way
# The reference run, which also shows that a plain run does without Dask.
PLAIN_RUN = """
import sys
from vorn_hyst_cli.cli import main
status = main(sys.argv[1:])
dask = sorted(m for m in sys.modules if m.split(".")[0] in ("dask", "distributed"))
assert not dask, f"a plain run imported {dask}"
sys.exit(status)
"""


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """Copies of every sort of good and bad file, and what a plain run makes of them."""
    root = tmp_path_factory.mktemp("mixed")
    # The workers' scratch space under the run's own temporary folder, not the system's.
    dask.config.set({"temporary-directory": str(root / "dask")})
    for copy in range(COPIES):
        folder = root / "in" / f"{copy:02}"
        folder.mkdir(parents=True)
        for name, (write, *_) in {**FILES, **BAD}.items():
            write(folder / name)
    done = run_plain(root, "local")
    assert done.returncode == 1, done.stderr
    return root, outputs(root / "local"), report(root, "local")


def run_plain(root, name):
    args = [str(root / "in"), "-r", "-q", "-o", str(root / name),
            "--report", str(root / f"{name}.json")]
    return subprocess.run([sys.executable, "-c", PLAIN_RUN, *args], capture_output=True,
                          text=True, timeout=120)


def outputs(folder):
    return {p.relative_to(folder): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def report(root, name):
    rows = json.loads((root / f"{name}.json").read_text())
    return [{**row, "seconds": 0, "output": row["output"].replace(str(root / name), "OUT")}
            for row in rows]


@pytest.fixture
def deadline():
    """Ends a hung run with an exception, which closes its cluster on the way out."""
    def expire(*_):
        raise TimeoutError("the cluster run took too long")
    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(150)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def kill_one_worker_part_way(cluster, outdir, after):
    """Kills a worker process (SIGKILL, by its id) once `after` results exist."""
    with distributed.Client(cluster) as client:
        pids = client.run(os.getpid)
    victim = pids[min(pids)]
    state = {"outputs then": None}

    def kill():
        limit = time.monotonic() + 60
        while time.monotonic() < limit:
            written = sum(1 for p in outdir.rglob("*") if p.is_file()) if outdir.exists() else 0
            if written >= after:
                os.kill(victim, signal.SIGKILL)
                state["outputs then"] = written
                return
            time.sleep(0.005)
    killer = threading.Thread(target=kill, daemon=True)
    killer.start()
    return killer, state


@pytest.mark.parametrize("kill, memory", [(False, None), (True, None), (False, "1K")],
                         ids=["local:2", "a worker killed part-way",
                              "every file above the workers' --memory"])
def test_cluster_writes_what_a_plain_run_writes(mixed, tmp_path, deadline, kill, memory):
    root, expected, rows = mixed
    name = f"cluster-{kill}-{memory}"
    out = root / name
    args = [str(root / "in"), "-r", "-q", "-o", str(out),
            "--report", str(root / f"{name}.json"), "-j", "2" if memory else "1",
            "--review", str(root / f"{name}.html")]
    if memory:
        args += ["--memory", memory]
    if not kill:
        status = main([*args, "--scheduler", "local:2"])
    else:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                      processes=True, dashboard_address="127.0.0.1:0",
                                      scheduler_kwargs={"dashboard": False}) as cluster:
            killer, state = kill_one_worker_part_way(cluster, out, after=len(expected) // 5)
            status = main([*args, "--scheduler", cluster.scheduler_address])
            killer.join()
        assert state["outputs then"] is not None and state["outputs then"] < len(expected)
    assert status == 1  # the bad files
    assert outputs(out) == expected  # also: no temporary file left beside the results
    assert report(root, name) == rows
    # The review page's thumbnails came back from the workers with the rows.
    _, shown, thumbs = read_review(root / f"{name}.html")
    assert sorted((r["path"], r["page"], r["verdict"]) for r in shown) == \
        sorted((r["path"], r["page"], r["verdict"]) for r in rows)
    assert all(picture(r, thumbs, 1) for r in shown if r["verdict"] == FIXED)


class Peer:
    """A TCP server on loopback that is no scheduler: it accepts connections and
    then says nothing, or answers bytes that are not Dask's. Stopped by the test."""

    def __init__(self, answer):
        self.answer = answer
        self.server = socket.create_server(("127.0.0.1", 0))
        self.address = "tcp://127.0.0.1:%d" % self.server.getsockname()[1]
        self.held = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        with contextlib.suppress(OSError):
            while True:
                conn, _ = self.server.accept()
                self.held.append(conn)
                if self.answer:
                    conn.sendall(self.answer)

    def close(self):
        self.server.close()
        for conn in self.held:
            conn.close()


def nobody():
    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        return None, "tcp://127.0.0.1:%d" % s.getsockname()[1]


def peer(answer):
    def make():
        server = Peer(answer)
        return server, server.address
    return make


SCHEDULERS = [  # name, what listens, words of the message
    ("nobody listens", nobody, "cannot reach the scheduler at"),
    ("a peer that never speaks", peer(None), "no Dask scheduler answered within 2 s"),
    ("a peer that speaks something else", peer(b"\xff" * 64 + b"HTTP/1.1 200 OK\r\n\r\n"),
     "cannot reach the scheduler at"),
]


@pytest.mark.parametrize("name, listener, words", SCHEDULERS, ids=[c[0] for c in SCHEDULERS])
def test_a_scheduler_that_does_not_answer(tmp_path, capsys, name, listener, words):
    server, address = listener()
    write = FILES["scan.png"][0]
    write(tmp_path / "scan.png")
    start = time.monotonic()
    try:
        with dask.config.set({"distributed.comm.timeouts.connect": "2s"}):
            status = main([str(tmp_path / "scan.png"), "-o", str(tmp_path / "out"),
                           "--report", str(tmp_path / "report.csv"), "--scheduler", address,
                           "--review", str(tmp_path / "review.html")])
    finally:
        if server:
            server.close()
    err = capsys.readouterr().err
    assert status == 2 and time.monotonic() - start < 2 + 6
    assert words in err and address in err and len(err.splitlines()) == 1, err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["scan.png"]


def test_a_retry_never_fixes_an_in_place_result_again(tmp_path):
    """A task tried again after its worker died once the result was in place:
    a symbolic-linked input resolves to the file that the first try replaced."""
    from pathlib import Path

    from vorn_hyst_cli.batch import Job
    from vorn_hyst_cli.cluster import make_task, run_task
    from vorn_hyst_cli.decision import FIXED, Settings
    from vorn_hyst_cli.policy import OutputPolicy
    FILES["scan.jpg"][0](tmp_path / "real.jpg")
    (tmp_path / "link.jpg").symlink_to("real.jpg")
    policy = OutputPolicy(in_place=True)
    link = tmp_path / "link.jpg"
    task = make_task(Job(link, policy.destination(link, Path("link.jpg"))), policy, Settings())
    [first] = run_task(task)
    written = (tmp_path / "real.jpg").read_bytes()
    [again] = run_task(task)
    assert first.verdict == FIXED and "replaced since the run began" in again.error
    assert (tmp_path / "real.jpg").read_bytes() == written and (tmp_path / "link.jpg").is_symlink()

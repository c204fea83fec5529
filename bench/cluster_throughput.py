"""Throughput of vorn-hyst on local Dask worker processes against the plain --jobs run.

Each configuration runs the command line on a small and a large batch of the
same generated images, interleaved and repeated, and keeps the fastest of the
repetitions: the machine is shared, and other work only ever slows a run
down. The difference between the two batches gives the time per file without
the start-up (the interpreter's imports, a cluster's start and close), which
the intercept gives.

    python3 bench/cluster_throughput.py            # needs vorn_hyst[cluster]
    python3 bench/cluster_throughput.py --quick
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import scanned_page  # noqa: E402

CONFIGS = [
    ("plain, --jobs 1", ["-j", "1"]),
    ("plain, --jobs 2", ["-j", "2"]),
    ("local:1, --jobs 1", ["-j", "1", "--scheduler", "local:1"]),
    ("local:2, --jobs 1", ["-j", "1", "--scheduler", "local:2"]),
]
KINDS = {"page, 2 MP JPEG": (1200, 1700, ".jpg"), "small, 0.1 MP PNG": (300, 400, ".png")}


def make_images(folder, count, h, w, suffix):
    folder.mkdir(parents=True)
    rng = np.random.default_rng(1)
    page = Image.fromarray(scanned_page(h, w, rng, (6, 0, -5)))
    for i in range(count):
        page.save(folder / f"page-{i:04}{suffix}")


def run_once(inputs, extra, work):
    """(wall seconds, processor seconds) of one run, its worker processes included."""
    out = work / "out"
    shutil.rmtree(out, ignore_errors=True)
    command = [sys.executable, "-m", "vorn_hyst_cli", str(inputs), "-o", str(out), "-q", *extra]
    before, start = processor_seconds(), time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start, processor_seconds() - before


def processor_seconds():
    # Workers are waited for by their nanny, and it by the command, so their
    # time is counted among this process's children.
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def measure(work, reps, small, large):
    """{(kind, config): [(per file, start-up) of wall time, the same of processor
    time]}, from the fastest runs."""
    results = {}
    for kind, (h, w, suffix) in KINDS.items():
        batches = {}
        for count in (small, large):
            batches[count] = work / f"{kind[:4]}-{count}"
            make_images(batches[count], count, h, w, suffix)
        samples = {(name, count): [] for name, _ in CONFIGS for count in batches}
        for _ in range(reps):
            for name, extra in CONFIGS:
                for count, folder in batches.items():
                    samples[name, count].append(run_once(folder, extra, work))
        for name, _ in CONFIGS:
            results[kind, name] = []
            for which in (0, 1):
                t_small = min(s[which] for s in samples[name, small])
                t_large = min(s[which] for s in samples[name, large])
                per_file = (t_large - t_small) / (large - small)
                results[kind, name].append((per_file, t_small - small * per_file))
    return results


def table(results):
    lines = ["| images | run | files/s | wall ms per file | processor ms per file | "
             "start-up and close |", "|---|---|---|---|---|---|"]
    for (kind, name), ((wall, startup), (cpu, _)) in results.items():
        lines.append(f"| {kind} | {name} | {1 / wall:.0f} | {wall * 1e3:.1f} | {cpu * 1e3:.1f} | "
                     f"{startup:.1f} s |")
    return "\n".join(lines)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="fewer files and repetitions")
    p.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                   help="where the images go (default: a memory file system, where the "
                        "flush of every result to disk costs nothing: %(default)s)")
    args = p.parse_args()
    reps, small, large = (1, 10, 40) if args.quick else (5, 10, 80)
    load = os.getloadavg()[0]
    with tempfile.TemporaryDirectory(prefix="vorn-cluster-bench-", dir=args.dir) as work:
        results = measure(Path(work), reps, small, large)
    print(f"load average {load:.1f} before, {os.getloadavg()[0]:.1f} after")
    print(f"{os.cpu_count()} cores, Python {sys.version.split()[0]}, images in {args.dir}, "
          f"batches of {small} and {large} files, fastest of {reps}\n")
    print(table(results))


if __name__ == "__main__":
    main()

"""Memory of a whole run against the number of files: does it stay flat?

Builds folders of tiny PNGs (8 x 8 pixels, 100 to a folder, folders two
levels deep) and runs the command line on them with --dry-run, so that the
files cost next to nothing and whatever the run keeps per file shows. Each
run is a fresh process, which reports its own peak resident memory (VmHWM)
when it ends; with --scheduler local:N the peak of each worker process is
asked for just before the cluster closes (the scheduler and the workers'
nannies run in the command's own process, whose figure therefore holds
them too). Growth is the difference between two sizes, per file.

    python bench/scale.py                              # plain: 10,000 and 40,000 files
    python bench/scale.py --scheduler local:2 --counts 2000,8000
    python bench/scale.py --counts 200,800 --report r.json  # with a report (.json, .jsonl, .csv)

Linux only (/proc). Needs the module and Pillow; local:N needs the cluster extra.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# Runs the command line in this process, then prints the peaks as JSON on
# the last line of standard error.
RUNNER = r"""
import json, sys
from vorn_hyst_cli import cluster, cli

def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

workers = {}
real_feed = cluster.feed

def feed(distributed, client, *args, **kwargs):
    try:
        return real_feed(distributed, client, *args, **kwargs)
    finally:
        workers.update(client.run(peak))
cluster.feed = feed
status = cli.main(sys.argv[1:])
print(json.dumps({"status": status, "client": peak(), "workers": workers}), file=sys.stderr)
"""
MIB = 1 << 20


def make_files(root, count):
    """`count` 8 x 8 PNGs, 100 to a folder, in folders two levels deep."""
    from PIL import Image
    buffer = io.BytesIO()
    Image.new("RGB", (8, 8), (200, 190, 160)).save(buffer, format="PNG")
    data = buffer.getvalue()
    for n in range(count):
        folder = root / f"{n // 10_000:02}" / f"{n // 100 % 100:02}"
        if n % 100 == 0:
            folder.mkdir(parents=True, exist_ok=True)
        (folder / f"page-{n:06}.png").write_bytes(data)


def run(root, out, scheduler, report, jobs):
    argv = [str(root), "-r", "-q", "--dry-run", "-o", str(out), "-j", str(jobs)]
    if scheduler:
        argv += ["--scheduler", scheduler]
    if report:
        argv += ["--report", str(out.parent / f"report{report}"), "--overwrite"]
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", RUNNER, *argv], capture_output=True, text=True)
    seconds = time.perf_counter() - start
    try:
        result = json.loads(done.stderr.strip().splitlines()[-1])
    except (IndexError, ValueError):
        raise SystemExit(f"the run failed ({done.returncode}):\n{done.stderr}") from None
    if result["status"] != 0:
        raise SystemExit(f"the run ended with status {result['status']}:\n{done.stderr}")
    result["seconds"] = seconds
    return result


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--counts", default="10000,40000", help="file counts, comma-separated")
    p.add_argument("--scheduler", help="local:N, say (default: a plain run)")
    p.add_argument("--jobs", type=int, default=2, help="--jobs of the runs (default 2)")
    p.add_argument("--report", choices=(".json", ".jsonl", ".csv"),
                   help="also write a report of this kind")
    p.add_argument("--dir", help="folder for the files (default: a temporary one)")
    a = p.parse_args()
    if not os.path.exists("/proc/self/status"):
        sys.exit("bench/scale.py: needs Linux's /proc")
    counts = [int(c) for c in a.counts.split(",")]
    what = a.scheduler or "plain"
    print(f"{what}, --jobs {a.jobs}, --dry-run{', report ' + a.report if a.report else ''}; "
          f"load average {os.getloadavg()[0]:.2f}\n")
    print("| files | seconds | command's process | workers | all processes |")
    print("|---|---|---|---|---|", flush=True)
    results = {}
    with tempfile.TemporaryDirectory(prefix="vorn-scale-", dir=a.dir) as tmp:
        for count in counts:
            root = Path(tmp) / f"in-{count}"
            make_files(root, count)
            r = run(root, Path(tmp) / "out", a.scheduler, a.report, a.jobs)
            shutil.rmtree(root)
            workers = sum(r["workers"].values())
            total = r["client"] + workers
            results[count] = r["client"], total
            shown = (" + ".join(f"{v / MIB:.0f}" for v in r["workers"].values()) + " MiB"
                     if r["workers"] else "–")
            print(f"| {count:,} | {r['seconds']:.0f} | {r['client'] / MIB:.0f} MiB | {shown} | "
                  f"{total / MIB:.0f} MiB |", flush=True)
    low, high = counts[0], counts[-1]
    for i, name in enumerate(("command's process", "all processes")):
        grow = results[high][i] - results[low][i]
        print(f"\n{name}: {results[high][i] / results[low][i] - 1:+.1%} from {low:,} to "
              f"{high:,} files ({grow / (high - low):+.0f} bytes per file)", end="")
    print(f"\nload average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()

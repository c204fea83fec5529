"""Hostile inputs: small files that claim gigabytes or hours, and what the
command line spends on them.

Builds each file in a scratch folder, runs `vorn-hyst FILE -o OUT` on it in a
child process, and prints the child's peak resident memory, its time and its
exit status. The files are made by the test suite's own
builders (tests/support/hostile.py).

    python bench/hostile.py                      # the installed vorn-hyst
    python bench/hostile.py --exe /path/vorn-hyst --only tiff-pages
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "support"))
from hostile_files import (  # noqa: E402
    jpeg_of_scans,
    pdf_predictor_bomb,
    pdf_profile_bomb,
    tiff_of_empty_pages,
    tiff_of_pages,
)

CASES = {
    "pdf-predictor": ("bomb.pdf", pdf_predictor_bomb),
    "pdf-profile": ("profile.pdf", pdf_profile_bomb),
    "tiff-pages": ("pages.tif", lambda p: tiff_of_pages(p, 80, 4000, 4000)),
    "tiff-20000": ("many.tif", lambda p: tiff_of_empty_pages(p, 20_000)),
    "jpeg-scans": ("scans.jpg", jpeg_of_scans),
}

MEASURE = """
import resource, subprocess, sys, time
start = time.perf_counter()
done = subprocess.run(sys.argv[1:], capture_output=True, text=True)
took = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
print(peak, took, done.returncode, (done.stderr.strip().splitlines() or [""])[-1][:150])
"""


def measure(command):
    """(peak resident bytes, seconds, exit status, last line of its errors) of a child."""
    out = subprocess.run([sys.executable, "-c", MEASURE, *command], capture_output=True,
                         text=True, check=True).stdout.split(" ", 3)
    return int(out[0]), float(out[1]), int(out[2]), out[3].strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", default="vorn-hyst", help="the command line to run")
    parser.add_argument("--only", nargs="*", choices=list(CASES), help="these cases only")
    args = parser.parse_args()
    print("| file | bytes | peak memory | time | exit | message |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory(prefix="vorn-hostile-") as scratch:
        for name in args.only or CASES:
            filename, build = CASES[name]
            path = Path(scratch) / filename
            build(path)
            peak, took, status, message = measure([args.exe, str(path), "-o",
                                                   str(Path(scratch) / f"out-{name}")])
            print(f"| {name} | {path.stat().st_size:,} | {peak / 2**20:,.0f} MiB | {took:.1f} s "
                  f"| {status} | {message} |", flush=True)


if __name__ == "__main__":
    main()

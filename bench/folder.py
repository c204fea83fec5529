"""A folder of scans and photos, processed whole: vorn-hyst against
ImageMagick and against the bare cost of decoding and re-encoding every file.

The folder (generated once, seeded, and kept in --folder): 18 files at 6 MP,
in each of PNG, JPEG (quality 90) and TIFF (LZW) four tinted RGB scans of
text pages (what the tool fixes) and two colour photos (what it copies),
made by bench/codecs.py's generators. Each contender runs as a child process
from start to exit, into an empty output folder, in one run of this script:

* vorn-hyst with -j1 and -j2 (defaults otherwise), and with --before EXE an
  older vorn-hyst the same way;
* ImageMagick's `mogrify -colorspace Gray -normalize` on a copy of the
  folder (left out where mogrify is missing: `apt-get install imagemagick`);
* the floor: libvips (pyvips, one worker thread each, two threads) decodes
  every file and writes it again in its own format with the settings
  bench/CODECS.md found fastest for the tool's output (PNG compression 2,
  unfiltered; JPEG quality 90; TIFF LZW), doing nothing else.

    python bench/folder.py --before /work/before-venv/bin/vorn-hyst
    python bench/folder.py --repeats 3 --write bench/FOLDER.md
    python bench/folder.py --formats png,jpg --repeats 3 --write bench/FOLDER_PNG_JPEG.md

Times are medians of the repetitions (each repetition runs every contender
once, in turn). Needs numpy, Pillow, pyvips, imagecodecs, scikit-image and
the module.
"""

from __future__ import annotations

import os

os.environ["VIPS_CONCURRENCY"] = "1"

import argparse  # noqa: E402
import collections  # noqa: E402
import importlib.util  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import resource  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

HERE = Path(__file__).resolve().parent
SIZE_MP = 6
PAGES, PHOTOS = 4, 2
FORMATS = {"png": {}, "jpg": {"quality": 90}, "tif": {"compression": "tiff_lzw"}}


def generators():
    # bench/codecs.py by path: its name would shadow the standard library's.
    spec = importlib.util.spec_from_file_location("codec_bench", HERE / "codecs.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def make_folder(folder, formats=tuple(FORMATS)):
    """The files of `formats`, written once (each file seeded by its place
    among all 18, so that a folder of fewer formats holds the same files);
    a complete folder is reused."""
    every = [f"{kind}{i}.{ext}" for ext in FORMATS
             for kind, n in (("page", PAGES), ("photo", PHOTOS)) for i in range(n)]
    names = [n for n in every if n.rsplit(".", 1)[1] in formats]
    if folder.is_dir() and sorted(p.name for p in folder.iterdir()) == sorted(names):
        return names
    from PIL import Image
    gen = generators()
    folder.mkdir(parents=True, exist_ok=True)
    for seed, name in enumerate(every):
        if name not in names:
            continue
        make = gen.rgb_scan if name.startswith("page") else gen.photo
        pixels = make(SIZE_MP, seed)
        ext = name.rsplit(".", 1)[1]
        Image.fromarray(pixels).save(folder / f".{name}", dpi=(300, 300), **FORMATS[ext])
        os.replace(folder / f".{name}", folder / name)
    return names


FLOOR = r"""
import os, sys, concurrent.futures
os.environ["VIPS_CONCURRENCY"] = "1"
import pyvips
pyvips.cache_set_max(0)
pyvips.concurrency_set(1)
src, out, jobs = sys.argv[1], sys.argv[2], int(sys.argv[3])
SAVE = {"png": dict(compression=2, filter=0x08), "jpg": dict(Q=90, subsample_mode="on"),
        "tif": dict(compression="lzw")}
def one(name):
    img = pyvips.Image.new_from_file(os.path.join(src, name), access="sequential")
    img.write_to_file(os.path.join(out, name), **SAVE[name.rsplit(".", 1)[1]])
with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
    list(pool.map(one, sorted(os.listdir(src))))
"""


def contenders(args, folder):
    """name -> (function of a fresh output folder giving the argv, files of the output folder)."""
    found = {}
    tool = shutil.which("vorn-hyst", path=os.path.dirname(sys.executable)) or "vorn-hyst"
    tools = [("vorn-hyst", tool)] + ([("vorn-hyst before", args.before)] if args.before else [])
    for label, exe in tools:
        for jobs in (1, 2):
            found[f"{label} -j{jobs}"] = (
                lambda out, exe=exe, jobs=jobs: [
                    exe, str(folder), "-o", str(out), "-q", "-j", str(jobs),
                    "--report", str(out.parent / "report.json")])
    mogrify = shutil.which("mogrify")
    if mogrify:
        def magick(out):
            shutil.copytree(folder, out, dirs_exist_ok=True)
            files = sorted(str(p) for p in out.iterdir())
            return [mogrify, "-colorspace", "Gray", "-normalize", *files]
        found["ImageMagick mogrify"] = magick
    else:
        print("mogrify not found: ImageMagick left out (apt-get install imagemagick)",
              file=sys.stderr)
    found["floor: libvips decode + encode, 2 threads"] = (
        lambda out: [sys.executable, "-c", FLOOR, str(folder), str(out), "2"])
    return found


def run_once(argv_of, scratch):
    if scratch.exists():
        shutil.rmtree(scratch)
    out = scratch / "out"
    out.mkdir(parents=True)
    argv = argv_of(out)
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    proc = subprocess.run(argv, capture_output=True, text=True)
    seconds = time.perf_counter() - start
    done = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = done.ru_utime + done.ru_stime - used.ru_utime - used.ru_stime
    if proc.returncode != 0:
        raise SystemExit(f"{argv[0]} failed ({proc.returncode}): {proc.stderr[-2000:]}")
    size = sum(p.stat().st_size for p in out.rglob("*") if p.is_file())
    report = scratch / "report.json"
    verdicts = None
    if report.exists():
        verdicts = collections.Counter(row.get("verdict") for row in json.loads(report.read_text()))
    return seconds, cpu, size, verdicts


def table(results, files, input_bytes):
    magick = next((v for k, v in results.items() if k.startswith("ImageMagick")), None)
    floor = next(v for k, v in results.items() if k.startswith("floor"))
    before = results.get("vorn-hyst before -j2")
    lines = ["| program | seconds | CPU seconds | files/s | ImageMagick's time / its "
             "| its time / the floor's | output MB | output / old tool's | verdicts |",
             "|---|---|---|---|---|---|---|---|---|"]
    for name, (seconds, cpu, size, verdicts) in results.items():
        lines.append(
            f"| {name} | {seconds:.2f} | {cpu:.2f} | {files / seconds:.1f} | "
            + (f"{magick[0] / seconds:.1f}×" if magick else "–") + " | "
            + f"{seconds / floor[0]:.2f} | {size / 1e6:.1f} | "
            + (f"{size / before[2]:.3f}" if before else "–") + " | "
            + (", ".join(f"{k} {n}" for k, n in sorted(verdicts.items())) if verdicts else "–")
            + " |")
    lines.append("")
    lines.append(f"Input: {files} files, {input_bytes / 1e6:.1f} MB.")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--folder", type=Path,
                    default=Path(tempfile.gettempdir()) / "vorn-hyst-folder-bench")
    ap.add_argument("--before", metavar="EXE", help="an older vorn-hyst, run the same way")
    ap.add_argument("--formats", default="png,jpg,tif",
                    help="of png, jpg and tif, comma-separated (png,jpg: the files of"
                         " those formats only, in a folder of their own)")
    ap.add_argument("--repeats", type=int, default=1)
    ap.add_argument("--write", nargs="?", const=HERE / "FOLDER.md", type=Path, metavar="FILE",
                    help="write the table to FILE (bench/FOLDER.md)")
    args = ap.parse_args()
    formats = tuple(f.strip() for f in args.formats.split(","))
    if not set(formats) <= set(FORMATS):
        ap.error(f"--formats: of {', '.join(FORMATS)}")
    if set(formats) != set(FORMATS) and args.folder == ap.get_default("folder"):
        args.folder = args.folder.with_name(args.folder.name + "-" + "-".join(formats))
    names = make_folder(args.folder, formats)
    input_bytes = sum((args.folder / n).stat().st_size for n in names)
    runs = contenders(args, args.folder)
    load = os.getloadavg()[0]
    times = collections.defaultdict(list)
    cpus = collections.defaultdict(list)
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(args.repeats):
            for name, argv_of in runs.items():
                seconds, cpu, size, verdicts = run_once(argv_of, Path(tmp) / "run")
                times[name].append(seconds)
                cpus[name].append(cpu)
                results[name] = (seconds, cpu, size, verdicts)
                print(f"{name}: {seconds:.2f} s, {size / 1e6:.1f} MB", file=sys.stderr)
    results = {k: (statistics.median(times[k]), statistics.median(cpus[k]), size, v)
               for k, (_, _, size, v) in results.items()}
    text = table(results, len(names), input_bytes)
    kinds = {"png": "PNG", "jpg": "JPEG (quality 90)", "tif": "TIFF (LZW)"}
    shown = [kinds[f] for f in FORMATS if f in formats]
    shown_formats = " and ".join([", ".join(shown[:-1]), shown[-1]]) if len(shown) > 1 \
        else shown[0]
    head = (f"`python bench/folder.py{' --before ' + args.before if args.before else ''}"
            + (f" --formats {args.formats}" if set(formats) != set(FORMATS) else "")
            + f" --repeats {args.repeats}`: one run, medians of {args.repeats};"
            f" {os.cpu_count()} CPUs,"
            f" {platform.machine()}, load average {load:.2f} at the start and"
            f" {os.getloadavg()[0]:.2f} at the end.\n\n"
            f"{SIZE_MP} MP files: in each of {shown_formats} {PAGES}"
            f" tinted RGB scans of text pages and {PHOTOS} colour photos. The floor decodes every"
            " file with libvips and writes it again (PNG compression 2 unfiltered, JPEG quality"
            " 90, TIFF LZW). Seconds from start to exit of each program, and the CPU time it and"
            " its children used (less affected by other work on the machine); ratios within"
            " this run.\n")
    print(text)
    if args.write:
        args.write.write_text("# A folder of scans and photos\n\n" + head + "\n" + text + "\n")


if __name__ == "__main__":
    main()

"""Rebuild the labelled corpus of real scans and photos listed in real_corpus.json.

Each entry names a file in a public GitHub repository at a fixed commit, with
its size and SHA-256. This script fetches every file, checks it and writes it as
``{id}{ext}`` into the destination folder; a file already there with the right
checksum is left alone, so a second run costs nothing.

    python bench/real_corpus.py                       # into ~/.cache/vorn_hyst/real-corpus
    python bench/real_corpus.py --dest DIR
    python bench/real_corpus.py --mirror /work/.mirror   # read local git mirrors, no network

With ``--mirror DIR`` a file is read with ``git --git-dir DIR/owner+name/...
show COMMIT:PATH`` when such a git directory exists; otherwise it is downloaded
from raw.githubusercontent.com. Standard library only. The exit status is 1 when
any file could not be had or had the wrong checksum.
"""

from __future__ import annotations

import argparse
import collections
import hashlib
import json
import os
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
MANIFEST = HERE / "real_corpus.json"
DEFAULT_DEST = Path("~/.cache/vorn_hyst/real-corpus").expanduser()
EXTENSIONS = {"JPEG": ".jpg", "PNG": ".png", "WEBP": ".webp", "TIFF": ".tif", "BMP": ".bmp",
              "GIF": ".gif", "JPEG2000": ".jp2"}


def file_name(entry):
    return entry["id"] + EXTENSIONS.get(entry["format"], Path(entry["path"]).suffix.lower())


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def git_dirs(mirror, repo):
    """The git directories under ``mirror`` that may hold ``repo`` (owner/name)."""
    base = Path(mirror) / repo.replace("/", "+", 1)
    for cand in (base / "repo" / ".git", base / "repo", base, base.with_name(base.name + ".git")):
        if (cand / "HEAD").is_file() or (cand / "objects").is_dir():
            yield cand


def from_mirror(mirror, entry):
    for gd in git_dirs(mirror, entry["repo"]):
        blob = f"{entry['commit']}:{entry['path']}"
        proc = subprocess.run(["git", "--git-dir", str(gd), "show", blob], capture_output=True)
        if proc.returncode == 0:
            return proc.stdout
    return None


def from_network(entry, tries=3):
    url = "https://raw.githubusercontent.com/{}/{}/{}".format(
        entry["repo"], entry["commit"], urllib.parse.quote(entry["path"]))
    for attempt in range(tries):
        try:
            with urllib.request.urlopen(url, timeout=60) as resp:
                return resp.read()
        except OSError as exc:
            if attempt == tries - 1:
                print(f"  {entry['id']}: {url}: {exc}", file=sys.stderr)
            else:
                time.sleep(2 ** attempt)
    return None


def main(argv=None):
    ap = argparse.ArgumentParser(prog="real_corpus.py")
    ap.add_argument("--dest", type=Path, default=DEFAULT_DEST,
                    help=f"output folder (default {DEFAULT_DEST})")
    ap.add_argument("--mirror", help="folder of owner+name git mirrors to read before the network")
    ap.add_argument("--offline", action="store_true", help="never use the network")
    ap.add_argument("--manifest", type=Path, default=MANIFEST)
    args = ap.parse_args(argv)

    entries = json.loads(args.manifest.read_text(encoding="utf-8"))
    args.dest.mkdir(parents=True, exist_ok=True)
    done = collections.Counter()
    by_label = collections.defaultdict(lambda: collections.Counter())
    failed = []
    for entry in entries:
        out = args.dest / file_name(entry)
        how = "present"
        if not (out.is_file() and sha256(out.read_bytes()) == entry["sha256"]):
            data, how = None, "mirror"
            if args.mirror:
                data = from_mirror(args.mirror, entry)
            if data is None and not args.offline:
                data, how = from_network(entry), "download"
            if data is None:
                failed.append((entry["id"], "not found"))
                continue
            if len(data) != entry["bytes"] or sha256(data) != entry["sha256"]:
                failed.append((entry["id"], f"checksum mismatch ({how})"))
                continue
            tmp = out.with_name(out.name + ".part")
            tmp.write_bytes(data)
            os.replace(tmp, out)
        done[how] += 1
        by_label[entry["label"]]["files"] += 1
        by_label[entry["label"]]["bytes"] += entry["bytes"]
    repos = collections.defaultdict(set)
    for entry in entries:
        repos[entry["label"]].add(entry["repo"])
    for label in sorted(by_label):
        c = by_label[label]
        print(f"{label:16s} {c['files']:4d} files {c['bytes'] / 1e6:8.1f} MB"
              f" from {len(repos[label])} repositories")
    print(f"{sum(done.values())} of {len(entries)} files in {args.dest} ("
          + ", ".join(f"{n} {k}" for k, n in sorted(done.items())) + ")")
    for id_, why in failed:
        print(f"FAILED {id_}: {why}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

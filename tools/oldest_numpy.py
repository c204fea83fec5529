"""Prints the oldest NumPy 1.x release that has a wheel for the running interpreter.

The compatibility run wants the oldest NumPy pip can install, and pip itself
only ever picks the newest; PyPI's JSON index lists every file with its tags.
Prints nothing when the index lists no such wheel (CPython 3.13 and later have
none), and exits with status 2 when the index cannot be read: the caller
(tools/run.sh) then fails rather than test with the newest NumPy.
"""

import json
import sys
import urllib.request

from pip._vendor.packaging.tags import parse_tag, sys_tags
from pip._vendor.packaging.version import InvalidVersion, Version

INDEX = "https://pypi.org/pypi/numpy/json"


def installable(files, supported):
    for f in files:
        name = f["filename"]
        if f.get("yanked") or f["packagetype"] != "bdist_wheel" or not name.endswith(".whl"):
            continue
        tag = "-".join(name[:-4].split("-")[-3:])
        if parse_tag(tag) & supported:
            return True
    return False


def main():
    try:
        with urllib.request.urlopen(INDEX, timeout=30) as response:
            releases = json.load(response)["releases"]
    except (OSError, ValueError):
        return 2
    supported = set(sys_tags())
    candidates = []
    for text, files in releases.items():
        try:
            version = Version(text)
        except InvalidVersion:
            continue
        if version.major == 1 and not version.is_prerelease:
            candidates.append((version, files))
    for version, files in sorted(candidates, key=lambda c: c[0]):
        if installable(files, supported):
            print(version)
            break
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The cibuildwheel configuration selects, on every platform, one abi3 build
on CPython 3.10 per architecture and a test on the newest CPython, and
nothing else (no 32-bit, no free-threaded, no PyPy)."""

import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("cibuildwheel")

ROOT = pathlib.Path(__file__).resolve().parent.parent
NEWEST = "cp315"

PLATFORMS = {
    "linux": ["manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64", "musllinux_aarch64"],
    "macos": ["macosx_arm64", "macosx_x86_64"],
    "windows": ["win_amd64", "win_arm64"],
}


@pytest.mark.parametrize("platform", sorted(PLATFORMS))
def test_build_identifiers(platform):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    done = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform,
         str(ROOT)],
        capture_output=True, text=True, timeout=120, env=environment, check=False,
    )
    assert done.returncode == 0, done.stderr
    expected = {f"{python}-{arch}" for python in ("cp310", NEWEST) for arch in PLATFORMS[platform]}
    assert set(done.stdout.split()) == expected

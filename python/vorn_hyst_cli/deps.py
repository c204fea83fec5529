"""The libraries the tool uses but does not always need, each imported in one
place, with the one line that says how to install it when it is missing
(the interpreter's module cache makes every later call cheap).

A plain run imports no Dask; a folder without PDFs never imports pikepdf; a
run that is not on a terminal does without tqdm.
"""

from __future__ import annotations

import functools
import importlib
import os

from .outcome import MissingDependency

PROG = "vorn-hyst"
CLI_EXTRA = "python -m pip install 'vorn_hyst[cli]'"


def _load(name, needed_for, extra=CLI_EXTRA):
    try:
        return importlib.import_module(name)
    except ImportError:
        raise MissingDependency(f"{needed_for} needs {name.split('.')[0]}; install it with "
                                f"{extra}") from None


def pillow():
    """PIL.Image, with the plugins of the formats the tool reads."""
    return _load("PIL.Image", f"{PROG} (reading and writing images)")


def pikepdf():
    return _load("pikepdf", "PDF files")


def distributed():
    return _load("distributed", "--scheduler",
                 "python -m pip install 'vorn_hyst[cluster]'")


def dask():
    distributed()
    return importlib.import_module("dask")


def tqdm():
    """tqdm's progress bar class, or None: the listing does without it."""
    try:
        return importlib.import_module("tqdm").tqdm
    except ImportError:
        return None


@functools.cache
def pyvips():
    """pyvips with a working libvips, or None: Pillow then does all the coding.
    VORN_HYST_CODEC=pillow asks for Pillow alone."""
    if os.environ.get("VORN_HYST_CODEC", "").lower() == "pillow":
        return None
    try:
        vips = importlib.import_module("pyvips")
    except (ImportError, OSError):  # no package, or no libvips it can load
        return None
    # The tool runs its own threads; libvips' pool would only compete with them.
    vips.concurrency_set(1)
    vips.cache_set_max(0)
    return vips

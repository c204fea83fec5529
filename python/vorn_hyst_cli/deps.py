"""The libraries the tool uses but does not always need, each imported in one
place, with the one line that says how to install it when it is missing
(the interpreter's module cache makes every later call cheap).

A plain run imports no Dask; a folder without PDFs never imports pikepdf; a
run that is not on a terminal does without tqdm.
"""

from __future__ import annotations

import functools
import importlib

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
def imagecodecs():
    """imagecodecs, or None where it is not installed (it has no wheel for
    some platforms): Pillow then does all the coding."""
    try:
        return importlib.import_module("imagecodecs")
    except (ImportError, OSError):  # no package, or a library of it that cannot load
        return None

"""Pytest plugin of tools/sanitize.sh: LeakSanitizer's check with the interpreter alive.

The check runs once pytest is done but before the interpreter starts to tear
itself down: every object still in use is then reachable from the
interpreter's globals, and no Python frame is running. (Frame objects of
running frames are referenced only from the interpreter's frame stack, which
is mapped outside the heap and not scanned, so a check during the session
would report them.)
"""

import atexit
import ctypes
import gc
import os
import sys

_check = getattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check", None)


def _leak_check():
    gc.collect()
    sys.stdout.flush()
    sys.stderr.flush()
    if _check() != 0:
        print("lsan_plugin: LeakSanitizer found lost memory", file=sys.stderr, flush=True)
        os._exit(87)
    print("lsan_plugin: LeakSanitizer found no lost memory", file=sys.stderr, flush=True)


def pytest_configure(config):
    if _check is None:
        raise RuntimeError("lsan_plugin: no LeakSanitizer in this process")
    atexit.register(_leak_check)

"""Ctrl-C and SIGTERM, acted on only where the run can stop cleanly.

Python's own Ctrl-C raises KeyboardInterrupt between any two bytecodes of the
main thread. Raised inside ``concurrent.futures`` it can leave a future's lock
held, and the run hangs at its end; raised inside an import it leaves NumPy
half-imported and the run fails with an error that is not the user's. So the
handlers installed here only note the request, and the main thread stops at
the places that ask, ``check()``: between files, and while it waits for them
(its waits are bounded for that, see ``POLL_SECONDS``).

Thread-safety: the handlers run in the main thread; ``check()`` is for the
main thread too (a worker thread has no run to stop).
"""

from __future__ import annotations

import contextlib
import signal
import threading

# How long the main thread waits for work before it looks for a stop request:
# the longest a Ctrl-C goes unanswered while files are under way.
POLL_SECONDS = 0.1

_requested = threading.Event()


def _note(signum, frame):
    _requested.set()


def check():
    """Raises KeyboardInterrupt, once, if a stop was asked for."""
    if _requested.is_set():
        _requested.clear()
        raise KeyboardInterrupt


def install():
    """Installs the handlers; returns what puts the previous ones back. Outside
    the main thread signals are not this caller's to handle: nothing changes."""
    previous = {}
    try:
        for signum in (signal.SIGINT, signal.SIGTERM):
            previous[signum] = signal.signal(signum, _note)
    except ValueError:
        pass
    _requested.clear()

    def restore():
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return restore


def hold():
    """Ignores Ctrl-C and SIGTERM from now to the process's exit: the run is
    over, and while Python shuts down it puts the default action back on any
    signal with a handler of its own (not on an ignored one), which would
    have a late signal kill a run that has finished."""
    with contextlib.suppress(ValueError):  # not the main thread: not ours to handle
        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, signal.SIG_IGN)

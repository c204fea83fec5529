"""Helpers and argument doubles shared by the test files and by support/leak_check.py.

Nothing here needs pytest or NumPy at import time: the leak check imports it
where neither is installed (tools/valgrind.sh), and the interface tests run
subprocesses where NumPy is not (SUBPROCESS_PYTHON).
"""

import os
import subprocess
import sys
import textwrap

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))

HAS_NOTES = sys.version_info >= (3, 11)

# The interpreter of the subprocess tests; tools/run.sh points it at one
# without NumPy for the tests marked numpy_free.
SUBPROCESS_PYTHON = os.environ.get("VORN_SUBPROCESS_PYTHON", sys.executable)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "numpy_free: runs only subprocesses, which need no NumPy in the interpreter")


def run_python(code, *args, timeout=300):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    return subprocess.run([SUBPROCESS_PYTHON, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=timeout)


def notes(error):
    return getattr(error, "__notes__", [])


# --- argument doubles ----------------------------------------------------------

class IntSub(int):
    """An int subclass: converted directly, never through its __index__. Also
    an int whose reference count is its own (small ints are shared)."""

    def __index__(self):
        raise AssertionError("an int subclass converts directly")


class _Gives:
    """A conversion method that gives `value`, or raises it (an exception or
    an exception type)."""

    def __init__(self, value):
        self.value = value

    def _give(self, what):
        if isinstance(self.value, BaseException):
            raise self.value
        if isinstance(self.value, type):
            raise self.value(f"{what} refused")
        return self.value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class Index(_Gives):
    def __index__(self):
        return self._give("index")


class Floaty(_Gives):
    def __float__(self):
        return self._give("float")


class Unprintable(str):
    """A keyword name whose str() fails."""

    def __str__(self):
        raise ValueError("no str")


def ndarray_subclass():
    """A subclass of ndarray (made on demand: NumPy may be absent)."""
    import numpy as np

    class Sub(np.ndarray):
        pass

    return Sub

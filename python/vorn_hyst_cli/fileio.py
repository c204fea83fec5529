"""Writing results so that no file is ever half-written or replaced unasked."""

from __future__ import annotations

import os
import shutil
import tempfile
from pathlib import Path


class ImageError(Exception):
    """A file that cannot be processed; the message is shown to the user."""


def exists_message(dest):
    return f"{dest} exists (use --overwrite to replace it)"


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def copy_bytes(source, f):
    with open(source, "rb") as src:
        shutil.copyfileobj(src, f)


def write_atomic(dest, fill, like=None, replace=False, keep_times=False):
    """Writes `dest` through a temporary file in its directory, renamed into place.

    The file gets the permissions of `like` (the source image), and with
    `keep_times` its modification time too, or those of a new file. Unless
    `replace` is true, an existing `dest` is never touched."""
    dest = Path(dest)
    dest.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=f".{dest.name}.", suffix=".tmp", dir=dest.parent)
    try:
        with os.fdopen(fd, "w+b") as f:
            fill(f)
            f.flush()
            os.fsync(f.fileno())
        if like is not None:
            shutil.copymode(like, tmp)
            if keep_times:
                st = os.stat(like)
                os.utime(tmp, ns=(st.st_atime_ns, st.st_mtime_ns))
        else:
            os.chmod(tmp, 0o666 & ~UMASK)
        if replace:
            os.replace(tmp, dest)
            return
        # A hard link fails if dest appeared in the meantime, where a rename
        # would silently replace it.
        try:
            os.link(tmp, dest)
        except FileExistsError:
            raise ImageError(exists_message(dest)) from None
        except OSError:  # no hard links on this file system
            if os.path.lexists(dest):
                raise ImageError(exists_message(dest)) from None
            os.replace(tmp, dest)
    finally:
        if os.path.lexists(tmp):
            os.unlink(tmp)


def temporary_owner(filename):
    """The destination name whose temporary file, as write_atomic names them, this is, or None."""
    stem, dot, random = filename[1:-4].rpartition(".")
    if filename.startswith(".") and filename.endswith(".tmp") and dot and len(random) == 8:
        return stem
    return None


def read_umask():
    mask = os.umask(0o22)
    os.umask(mask)
    return mask


UMASK = read_umask()

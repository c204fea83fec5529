"""Reading inputs and writing results so that no file is ever lost, half
written or replaced unasked.

Every result goes to a temporary file beside its destination, written through
Python's own file calls (which raise on a full disk, where an encoder writing
to the descriptor may not), checked against the bytes written, flushed to the
disk, and only then renamed into place. An input that is replaced is first
checked to be the very file that was read, and can be kept as a backup.
Temporary files are named after the process that wrote them, so a later run
can tell the leftovers of a killed one from a write still under way.
"""

from __future__ import annotations

import contextlib
import dataclasses
import io
import os
import re
import shutil
import socket
import stat
import tempfile
import threading
import time
from pathlib import Path

from .outcome import DestinationExists, FileError, SourceChanged

TAG = "vorn-hyst"
# A temporary older than this is stale even if its writer cannot be asked
# (another machine of a cluster, a system without process ids to test).
STALE_AFTER = 24 * 3600


def _host():
    name = re.sub(r"[^A-Za-z0-9-]", "-", socket.gethostname().split(".")[0])[:24]
    return name or "host"


HOST = _host()
TEMPORARY = re.compile(r"^\.(?P<name>.+)\." + TAG + r"\.(?P<pid>\d+)\.(?P<host>[A-Za-z0-9-]+)"
                       r"\.[A-Za-z0-9_]{8}\.tmp$")


def shown(path):
    """A path as it appears in a one-line message: control characters (a
    newline in a file name) escaped, undecodable bytes as escapes."""
    text = os.fsdecode(path) if isinstance(path, bytes) else str(path)
    text = text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() or c == " " else repr(c)[1:-1] for c in text)


# ---- what a path names ---------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Identity:
    """What changes when a file is replaced (by a rename) or rewritten, as every
    client of a shared file system sees it. The device number is left out: it
    differs between the clients of one NFS export."""
    inode: int
    size: int
    mtime_ns: int

    @classmethod
    def of_stat(cls, st):
        return cls(st.st_ino, st.st_size, st.st_mtime_ns)

    @classmethod
    def of(cls, path):
        """The identity of the file `path` names (through links), or None."""
        try:
            return cls.of_stat(os.stat(path))
        except OSError:
            return None


def kind_of(mode):
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "a special file"


def not_regular(path, mode):
    return FileError(f"not a regular file ({kind_of(mode)}), left alone: {shown(path)}")


@contextlib.contextmanager
def open_regular(path):
    """Opens a regular file for reading: (binary file, Identity). A FIFO or a
    device is refused before it is read (or waited on): opening does not
    block, and the descriptor's own type is checked."""
    flags = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0) \
        | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise not_regular(path, st.st_mode)
        if getattr(os, "O_NONBLOCK", 0):
            os.set_blocking(fd, True)
        f = os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise
    with f:
        yield f, Identity.of_stat(st)


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


# ---- writing --------------------------------------------------------------------------

class CheckedFile(io.RawIOBase):
    """The temporary file as encoders see it: every byte goes through Python's
    write, which raises on a full disk. It has no descriptor to offer, so no
    encoder writes around it (Pillow's would not report a short write)."""

    def __init__(self, f):
        super().__init__()
        self._f = f
        self.end = 0  # the furthest byte written

    def readable(self):
        return True

    def writable(self):
        return True

    def seekable(self):
        return True

    def fileno(self):
        raise io.UnsupportedOperation("fileno")

    def write(self, data):
        n = self._f.write(data)
        self.end = max(self.end, self._f.tell())
        return n

    def read(self, size=-1):
        return self._f.read(size)

    def readinto(self, buffer):
        return self._f.readinto(buffer)

    def seek(self, offset, whence=io.SEEK_SET):
        return self._f.seek(offset, whence)

    def tell(self):
        return self._f.tell()

    def truncate(self, size=None):
        size = self._f.truncate(size)
        self.end = size
        return size

    def flush(self):
        # Collected after write_atomic closed the real file (pikepdf keeps its
        # stream a while on Python 3.13), this one is closed again by IOBase.
        if not self._f.closed:
            self._f.flush()

    def close(self):  # the real file is closed by write_atomic
        self.flush()
        super().close()


def temporary_for(dest):
    """A new temporary file beside `dest`, named so that it can be told apart:
    (descriptor, path)."""
    name = dest.name.encode("utf-8", "surrogateescape")[:120].decode("utf-8", "ignore") or "out"
    prefix = f".{name}.{TAG}.{os.getpid()}.{HOST}."
    for attempt in range(3):
        try:
            return tempfile.mkstemp(prefix=prefix, suffix=".tmp", dir=dest.parent)
        except FileNotFoundError:  # a failed write beside this one took the folder back
            if attempt == 2:
                raise
            dest.parent.mkdir(parents=True, exist_ok=True)
    raise AssertionError("unreachable")


def write_atomic(dest, fill, *, like=None, replace=False, keep_times=False, expect=None,
                 backup=None):
    """Writes `dest` through a temporary file in its directory, renamed into place.

    `fill(f)` writes the content into a CheckedFile. The file gets the
    permissions of `like` (the source image), and with `keep_times` its
    modification time too, or those of a new file. Unless `replace` is true,
    an existing `dest` is never touched. With `expect`, `dest` is an input
    being replaced: it must still be the file that was read (else
    SourceChanged, and it stays as it is), and with `backup` it is first
    kept there."""
    dest = Path(dest)
    made = make_folder(dest.parent)
    sweep_stale(dest.parent)
    fd, tmp = temporary_for(dest)
    try:
        with os.fdopen(fd, "w+b") as f:
            checked = CheckedFile(f)
            fill(checked)
            checked.flush()
            f.flush()
            os.fsync(f.fileno())
            written = os.fstat(f.fileno()).st_size
        if written != checked.end:
            raise FileError(f"{shown(dest)}: only {written} of {checked.end} bytes were written")
        if like is not None:
            shutil.copymode(like, tmp)
            if keep_times:
                st = os.stat(like)
                os.utime(tmp, ns=(st.st_atime_ns, st.st_mtime_ns))
        else:
            os.chmod(tmp, 0o666 & ~UMASK)
        if expect is not None:
            check_unchanged(dest, expect)
            if backup is not None:
                keep_backup(dest, backup, expect)
        if replace:
            os.replace(tmp, dest)
        else:
            place_new(tmp, dest)
        made = None
    finally:
        if os.path.lexists(tmp):
            os.unlink(tmp)
        if made is not None:
            remove_empty(dest.parent, made)


def make_folder(folder):
    """Makes `folder` with its missing parents; returns the outermost one it
    made (None if it existed), so that a failed write can take them back."""
    missing = None
    probe = folder
    while not os.path.isdir(probe) and probe != probe.parent:
        missing, probe = probe, probe.parent
    folder.mkdir(parents=True, exist_ok=True)
    return missing


def remove_empty(folder, made):
    """Removes the folders from `folder` up to `made` while they are empty (a
    write beside this one in a folder this one made keeps it)."""
    for path in [folder, *folder.parents]:
        try:
            path.rmdir()
        except OSError:
            return
        if path == made:
            return


def place_new(tmp, dest):
    # A hard link fails if dest appeared in the meantime, where a rename
    # would silently replace it.
    try:
        os.link(tmp, dest)
    except FileExistsError:
        raise DestinationExists(dest) from None
    except OSError:  # no hard links on this file system
        if os.path.lexists(dest):
            raise DestinationExists(dest) from None
        os.replace(tmp, dest)


def check_unchanged(path, expect):
    if Identity.of(path) != expect:
        raise SourceChanged(f"{shown(path)} was replaced or changed while it was being "
                            "processed; the newer file is left as it is")


def keep_backup(source, backup, expect):
    """Copies the original at `source` to `backup` before it is replaced: as a
    new file only, so that an older backup (the first original) is never
    overwritten; checked again afterwards to be the file that was read."""
    if os.path.lexists(backup):
        raise FileError(f"a backup of {shown(source)} exists already: {shown(backup)} "
                        "(move it away to replace the file again)")
    with open_regular(source) as (src, _):
        write_atomic(backup, lambda f: shutil.copyfileobj(src, f), like=source, keep_times=True)
    check_unchanged(source, expect)


def copy_bytes(source, f):
    with open_regular(source) as (src, _):
        shutil.copyfileobj(src, f, 1 << 20)


# ---- leftovers of killed runs --------------------------------------------------------

_swept: set[str] = set()
_swept_lock = threading.Lock()


def sweep_stale(folder, again=False):
    """Removes, once per folder and process (`again`: once more), the temporary
    files of writers that are gone: a process of this machine that no longer
    runs, or any writer after a day. Live writers' files are left alone."""
    key = os.path.abspath(folder)
    with _swept_lock:
        if key in _swept and not again:
            return
        _swept.add(key)
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return
    now = time.time()
    for entry in entries:
        match = TEMPORARY.match(entry.name)
        if match and is_stale(match, entry, now):
            with contextlib.suppress(OSError):
                os.unlink(entry.path)


def is_stale(match, entry, now):
    try:
        if not entry.is_file(follow_symlinks=False):
            return False
        age = now - entry.stat(follow_symlinks=False).st_mtime
    except OSError:
        return False
    if age > STALE_AFTER:
        return True
    pid = int(match["pid"])
    return match["host"] == HOST and pid != os.getpid() and not process_exists(pid)


def process_exists(pid):
    if os.name != "posix":
        return True  # no cheap test: the age decides
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # exists, owned by someone else
        return True
    return True


def read_umask():
    mask = os.umask(0o22)
    os.umask(mask)
    return mask


UMASK = read_umask()

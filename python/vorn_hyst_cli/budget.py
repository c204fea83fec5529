"""The memory budget: a file is taken on only when the memory its pages need,
reckoned from the pixels its header declares, fits beside the files already
under way.

What one page costs was measured by bench/memory.py (the peak of the tool's
own work on one file, per declared pixel); a file's cost is that of its
largest page, read from the header before anything is decoded. A file whose
cost exceeds the whole budget still runs, alone: the budget orders the work,
it never refuses a file (--max-pixels does that).
"""

from __future__ import annotations

import collections
import contextlib
import ctypes
import functools
import os
import re
import struct
import sys
import threading

from .codec import J2K_START, JP2_SIGNATURE, PNG_SIGNATURE
from .outcome import RunError
from .policy import PDF_EXTENSIONS

# Peak bytes per declared pixel of one page through the tool, from bench/memory.py
# (1 to 24 MP pages, fixed and colour; the largest figure of each format, 14
# on small pages, with room for the modes it did not try: alpha channels,
# palettes, --keep-rgb).
# Pillow's WebP reader keeps its own canvases and the decoded frame while the
# page is decided, and its lossless encoder's buffers are large: four times the rest.
BYTES_PER_PIXEL = {"PNG": 15, "JPEG": 15, "TIFF": 15, "BMP": 15, "WEBP": 48, "PDF": 15,
                   "JPEG2000": 24}
# A PDF is held whole, and an image's stored bytes are read beside it.
PDF_FILE_COPIES = 3
# What every file costs beside its pixels: the interpreter's objects, a codec's tables.
PER_FILE = 1 << 20
# The default budget: this share of the memory available when the run starts.
DEFAULT_SHARE = 0.5
# When the available memory cannot be read.
FALLBACK = 2 << 30

UNITS = {"": 1, "B": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


# glibc's malloc gives blocks of 128 KiB and more, up to a threshold that
# rises with use, straight to the system, and gives the top of its heap back
# whenever 128 KiB of it is free. A page's buffers (a dozen, of up to 3 bytes
# a pixel) were then mapped, faulted in and zeroed anew for every file: on
# 6 MP pages a sixth of a run's time went to the kernel. These keep blocks of
# up to 32 MiB (glibc's largest setting) in the heap, and up to 64 MiB of
# them free at the top of each thread's heap, for its next file: outside the
# budget, like the interpreter itself. Larger blocks are mapped as before.
M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3
HEAP_BLOCKS = 32 << 20
HEAP_KEPT = 64 << 20


@functools.cache
def keep_freed_memory():
    """Tunes glibc's malloc as above, once per process; elsewhere nothing."""
    try:
        if not sys.platform.startswith("linux") or not os.confstr("CS_GNU_LIBC_VERSION"):
            return
        libc = ctypes.CDLL(None)
        libc.mallopt(M_MMAP_THRESHOLD, HEAP_BLOCKS)
        libc.mallopt(M_TRIM_THRESHOLD, HEAP_KEPT)
    except (AttributeError, OSError, ValueError):
        pass  # not glibc after all (musl has no such name)


def parse_size(text):
    """'4G', '500M', '1.5G', '2048K' or bytes -> bytes (powers of 1024; 'GB',
    'GiB' read as 'G'). Raises ValueError."""
    m = re.fullmatch(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([KMGT]?)(?:I?B)?\s*", text, re.IGNORECASE)
    if not m:
        raise ValueError(f"not a size: {text!r} (give bytes or a number with K, M, G or T)")
    size = int(float(m.group(1)) * UNITS[m.group(2).upper()])
    if size < 1:
        raise ValueError(f"must be at least 1 byte, got {text}")
    return size


def shown_size(size):
    for unit in ("T", "G", "M", "K"):
        if size >= UNITS[unit]:
            return f"{size / UNITS[unit]:.3g} {unit}B"
    return f"{size} B"


# ---- the memory there is ------------------------------------------------------------

def available_memory():
    """Bytes of memory this process could take without the system swapping or
    killing it, as the system tells: Linux's MemAvailable (within the cgroup's
    limit, for containers and batch jobs), Windows' available physical memory;
    on macOS, whose free count leaves out what the system would give back,
    the physical memory. None when it cannot be told."""
    try:
        if sys.platform.startswith("linux"):
            return linux_available()
        if sys.platform == "darwin":
            return darwin_memory()
        if sys.platform == "win32":
            return windows_available()
    except (OSError, ValueError, AttributeError):
        pass
    return None


def linux_available():
    with open("/proc/meminfo") as f:
        info = dict(line.split(":", 1) for line in f if ":" in line)
    available = int(info["MemAvailable"].split()[0]) * 1024
    room = cgroup_room()
    return min(available, room) if room is not None else available


def cgroup_room():
    """What the memory limit of this process's cgroup (v2, or v1) leaves, or None."""
    try:
        with open("/proc/self/cgroup") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    room = None
    for line in lines:
        _, controllers, path = line.split(":", 2)
        if controllers == "":  # v2: the limits of the group and of every group above it
            base, limit_file, usage_file = "/sys/fs/cgroup", "memory.max", "memory.current"
        elif "memory" in controllers.split(","):
            base, limit_file = "/sys/fs/cgroup/memory", "memory.limit_in_bytes"
            usage_file = "memory.usage_in_bytes"
        else:
            continue
        parts = [p for p in path.split("/") if p]
        for depth in range(len(parts), -1, -1):
            folder = os.path.join(base, *parts[:depth])
            try:
                with open(os.path.join(folder, limit_file)) as f:
                    limit = f.read().strip()
                with open(os.path.join(folder, usage_file)) as f:
                    usage = int(f.read().strip())
            except (OSError, ValueError):
                continue
            if limit.isdigit() and int(limit) < 1 << 60:  # v1 writes "no limit" as a huge number
                left = max(0, int(limit) - usage)
                room = left if room is None else min(room, left)
    return room


def darwin_memory():
    libc = ctypes.CDLL(None)
    value = ctypes.c_uint64(0)
    size = ctypes.c_size_t(ctypes.sizeof(value))
    if libc.sysctlbyname(b"hw.memsize", ctypes.byref(value), ctypes.byref(size), None, 0):
        return None
    return value.value


def windows_available():
    class MemoryStatus(ctypes.Structure):
        _fields_ = [("dwLength", ctypes.c_ulong), ("dwMemoryLoad", ctypes.c_ulong),
                    ("ullTotalPhys", ctypes.c_ulonglong), ("ullAvailPhys", ctypes.c_ulonglong),
                    ("ullTotalPageFile", ctypes.c_ulonglong),
                    ("ullAvailPageFile", ctypes.c_ulonglong),
                    ("ullTotalVirtual", ctypes.c_ulonglong),
                    ("ullAvailVirtual", ctypes.c_ulonglong),
                    ("ullAvailExtendedVirtual", ctypes.c_ulonglong)]
    status = MemoryStatus()
    status.dwLength = ctypes.sizeof(MemoryStatus)
    kernel32 = ctypes.windll.kernel32  # type: ignore[attr-defined]  # Windows only
    if not kernel32.GlobalMemoryStatusEx(ctypes.byref(status)):
        return None
    return status.ullAvailPhys


def default_budget():
    available = available_memory()
    return int(available * DEFAULT_SHARE) if available else FALLBACK


@functools.cache
def worker_budget():
    """On a Dask worker given no --memory: a share of the memory Dask lets it
    have (its --memory-limit, which by default is the machine's memory shared
    by the workers' threads), else of what this machine has available."""
    try:
        from distributed import get_worker
        limit = get_worker().memory_manager.memory_limit
    except (ImportError, ValueError, AttributeError):
        limit = None
    return int(limit * DEFAULT_SHARE) if limit else default_budget()


def per_process(memory, scheduler):
    """The budget of each process that runs files, from --memory (None: the
    default) and --scheduler: all of it for a plain run, a share for each of
    local:N's workers; 0 for workers of a scheduler of your own without
    --memory, which then take their own (worker_budget)."""
    if scheduler and not scheduler.startswith("local:"):
        return memory or 0
    total = memory or default_budget()
    count = scheduler[len("local:"):] if scheduler else "1"
    return max(1, total // int(count)) if count.isdigit() and int(count) > 0 else total


# ---- what a file declares -----------------------------------------------------------

def estimate(path, max_pixels, max_pages):
    """Bytes that processing the file at `path` may hold at its peak, from its
    header: its largest page's pixels (pages above `max_pixels` are refused
    undecoded, and cost nothing). Never raises: a file that cannot be read
    here costs what its size says, and fails in its processing."""
    try:
        size = os.path.getsize(path)
        if os.path.splitext(path)[1].lower() in PDF_EXTENSIONS:
            fmt, pixels = "PDF", pdf_pixels(path, max_pixels)
            return PER_FILE + PDF_FILE_COPIES * size + pixels * BYTES_PER_PIXEL[fmt]
        with open(path, "rb") as f:
            fmt, pages = image_pages(f, max_pages)
    except Exception:  # damaged or unreadable: its processing says what is wrong
        return PER_FILE
    pixels = max((w * h for w, h in pages if w * h <= max_pixels), default=0)
    return PER_FILE + pixels * BYTES_PER_PIXEL[fmt]


def image_pages(f, max_pages):
    """(format, [(width, height) of each page]) from the header of an image file."""
    head = f.read(32)
    if head.startswith(PNG_SIGNATURE) and head[12:16] == b"IHDR":
        return "PNG", [struct.unpack(">II", head[16:24])]
    if head.startswith(b"\xff\xd8"):
        return "JPEG", [jpeg_size(f)]
    if head[:4] in (b"II*\0", b"MM\0*", b"II+\0", b"MM\0+"):
        return "TIFF", tiff_sizes(f, head, max_pages)
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "WEBP", [webp_size(head)]
    if head[:2] == b"BM":
        if struct.unpack("<I", head[14:18])[0] == 12:  # OS/2's header
            return "BMP", [struct.unpack("<HH", head[18:22])]
        width, height = struct.unpack("<ii", head[18:26])
        return "BMP", [(abs(width), abs(height))]
    if head.startswith(JP2_SIGNATURE) or head.startswith(J2K_START):
        return "JPEG2000", [jpeg2000_size(f, head)]
    raise ValueError("not an image")


def jpeg2000_size(f, head):
    """(width, height) of a JPEG 2000 file: a bare codestream's SIZ segment, or
    the image header box near the start of a JP2 file."""
    if head.startswith(J2K_START):
        width, height, left, top = struct.unpack(">IIII", head[8:24])
        return width - left, height - top
    data = head + f.read(1 << 16)
    at = data.find(b"ihdr")
    if at < 4:
        raise ValueError("no JPEG 2000 image header")
    height, width = struct.unpack(">II", data[at + 4:at + 12])
    return width, height


# Start-of-frame markers: every 0xC0-0xCF but DHT, JPG and DAC.
JPEG_FRAMES = set(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


def jpeg_size(f):
    f.seek(2)
    for _ in range(10_000):  # segments before the frame: a bound for damaged files
        marker = f.read(2)
        while marker[:1] == b"\xff" and marker[1:] == b"\xff":  # fill bytes
            marker = marker[1:] + f.read(1)
        if len(marker) < 2 or marker[0] != 0xFF:
            break
        if 0xD0 <= marker[1] <= 0xD7 or marker[1] == 0x01:  # no length
            continue
        length = struct.unpack(">H", f.read(2))[0]
        if marker[1] in JPEG_FRAMES:
            height, width = struct.unpack(">HH", f.read(5)[1:])
            return width, height
        f.seek(length - 2, os.SEEK_CUR)
    raise ValueError("no JPEG frame header")


def tiff_sizes(f, head, max_pages):
    """Every page's size, following the chain of directories once each, up
    to one page beyond the limit (the file is refused there). Only a
    directory's first entries are read: the tags are in ascending order, and
    width and height (256, 257) come first."""
    order = "<" if head[:2] == b"II" else ">"
    big = struct.unpack(order + "H", head[2:4])[0] == 43
    count_format, entry_size, offset_format = ("Q", 20, "Q") if big else ("H", 12, "I")
    offset = struct.unpack(order + offset_format, head[8:16] if big else head[4:8])[0]
    seen, sizes = set(), []
    while offset and offset not in seen and len(sizes) <= max_pages:
        seen.add(offset)
        f.seek(offset)
        raw = f.read(struct.calcsize(count_format))
        entries = struct.unpack(order + count_format, raw)[0]
        found = {}
        for _ in range(min(entries, 16)):
            entry = f.read(entry_size)
            tag, kind = struct.unpack(order + "HH", entry[:4])
            if tag > 257:
                break
            if tag in (256, 257):
                value = entry[12:] if big else entry[8:]
                value_format = {3: "H", 4: "I", 16: "Q"}.get(kind)
                if value_format is None:
                    raise ValueError("a TIFF size of an odd type")
                found[tag] = struct.unpack(order + value_format,
                                           value[:struct.calcsize(value_format)])[0]
        sizes.append((found.get(256, 0), found.get(257, 0)))
        f.seek(offset + len(raw) + entries * entry_size)
        raw = f.read(struct.calcsize(offset_format))
        if len(raw) < struct.calcsize(offset_format):
            break
        offset = struct.unpack(order + offset_format, raw)[0]
    return sizes


def webp_size(head):
    chunk = head[12:16]
    if chunk == b"VP8 ":
        width, height = struct.unpack("<HH", head[26:30])
        return width & 0x3FFF, height & 0x3FFF
    if chunk == b"VP8L":
        bits = struct.unpack("<I", head[21:25])[0]
        return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
    if chunk == b"VP8X":
        return (int.from_bytes(head[24:27], "little") + 1,
                int.from_bytes(head[27:30], "little") + 1)
    raise ValueError("not a WebP image")


def pdf_pixels(path, max_pixels):
    """The largest page image's declared pixels (at most `max_pixels`; larger
    ones are left alone undecoded); 0 for a PDF that cannot be opened."""
    from . import deps
    from .pdf import page_images
    pikepdf = deps.pikepdf()
    try:
        pdf = pikepdf.open(path)
    except Exception:  # a password, damage: its processing says so
        return 0
    with pdf:
        largest = 0
        for _, _, image in page_images(pdf):
            width, height = image.get("/Width"), image.get("/Height")
            if isinstance(width, int) and isinstance(height, int) \
                    and 0 < width * height <= max_pixels:
                largest = max(largest, width * height)
        return largest


# ---- admission ------------------------------------------------------------------------

class Abandoned(RunError):
    """The run stopped while the file waited for room: it was not started."""


class Budget:
    """Bytes that may be held by the files under way in this process. Files
    are admitted in the order they ask, each when its cost fits beside those
    under way (or when nothing is under way: a file above the whole budget
    runs alone), so that a large file is never passed over for ever by
    smaller ones. Nothing waiting holds anything, so nothing deadlocks."""

    def __init__(self, limit):
        self.limit = limit
        self.used = 0
        self.running = 0
        self.waiting = collections.deque()
        self.changed = threading.Condition()
        self.abandoned = False

    def acquire(self, cost):
        ticket = object()
        with self.changed:
            self.waiting.append(ticket)
            try:
                while self.waiting[0] is not ticket or (
                        self.running and self.used + cost > self.limit):
                    if self.abandoned:
                        raise Abandoned("the run stopped")
                    self.changed.wait()
            finally:
                self.waiting.remove(ticket)
                self.changed.notify_all()  # the next in line may fit as well
            self.used += cost
            self.running += 1

    def release(self, cost):
        with self.changed:
            self.used -= cost
            self.running -= 1
            self.changed.notify_all()

    def abandon(self):
        """Files still waiting are not started (the run is stopping)."""
        with self.changed:
            self.abandoned = True
            self.changed.notify_all()

    @contextlib.contextmanager
    def admitted(self, job, policy):
        cost = estimate(job.source, policy.max_pixels, policy.max_pages)
        self.acquire(cost)
        try:
            yield
        finally:
            self.release(cost)


_shared: dict[int, Budget] = {}
_shared_lock = threading.Lock()


def shared(limit):
    """The budget of this process for `limit` bytes: the one that every task
    on a cluster worker shares."""
    with _shared_lock:
        return _shared.setdefault(limit, Budget(limit))

"""Memory and references: what a call costs, that it gives everything back,
and what happens when there is no memory to be had.

The memory cases run in fresh interpreters, so that each one's peak resident
memory (VmHWM, reset through /proc/self/clear_refs) is its own.
"""

import os

import pytest

import leak_check
from conftest import run_python

# Under the sanitizer its shadow memory and quarantine swamp these measures,
# and an address-space limit leaves its allocator no room at all.
unsanitized = pytest.mark.skipif(bool(os.environ.get("VORN_SANITIZED")),
                                 reason="measures of memory mean nothing under the sanitizer")

MIB = 1 << 20
# Measurement noise: the result array object, page-table and stack pages.
TOLERANCE = 256 << 10


def output_of(code):
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


PEAK = """
    import re, numpy as np, vorn_hyst

    def status(key):
        text = open("/proc/self/status").read()
        return int(re.search(key + r":\\s+(\\d+) kB", text).group(1)) * 1024

    h, w = 4000, 6000                               # 24 megapixels
    base = np.empty((h, w, 3), np.uint8)            # built in place, no temporaries
    base[:] = 40
    base[: h // 2] = 210
    if "{kind}" == "colour":
        base[:, :, 0] = 90
    image = {{"neutral": base, "colour": base, "fortran": None,
              "broadcast": np.broadcast_to(base[:1], base.shape)}}["{kind}"]
    if image is None:
        image = np.empty((w, h, 3), np.uint8).transpose(1, 0, 2)
        image[...] = base
        del base
    vorn_hyst.monochrome(image[:2, :2])            # NumPy table and holder type
    open("/proc/self/clear_refs", "w").write("5")   # peak := current
    before = status("VmRSS")
    result = vorn_hyst.monochrome(image)
    peak = status("VmHWM")
    changed = int(not np.array_equal(result[0, 0], image[0, 0]))
    nbytes = result.nbytes
    del result
    print(peak - before, nbytes, status("VmRSS") - before, changed)
"""


@unsanitized
@pytest.mark.parametrize("kind, neutral", [
    ("neutral", 1), ("colour", 0), ("fortran", 1), ("broadcast", 1)])
def test_peak_memory_of_a_24_megapixel_call(kind, neutral):
    extra, output, left, changed = map(int, output_of(PEAK.format(kind=kind)))
    assert changed == neutral
    assert extra <= output + MIB + TOLERANCE, f"{(extra - output) / MIB:.2f} MiB over the output"
    assert left < MIB  # the buffer went back with the result


@unsanitized
def test_interpreter_carries_on_after_memory_errors():
    out = output_of("""
        import gc, resource, sys, numpy as np, vorn_hyst
        neutral = np.full((300, 400, 3), 40, np.uint8); neutral[150:] = 210
        expected = vorn_hyst.monochrome(neutral).tobytes()
        big = np.zeros((3000, 4000, 3), np.uint8)                # 36 MB, held before the limit
        huge = np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (2**20, 2**20, 3))
        vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + (16 << 20), resource.RLIM_INFINITY))
        refs = sys.getrefcount(big), sys.getrefcount(huge)
        failures = 0
        for image in [huge] * 50 + [big] * 50:                   # too large; room for its copy
            try:
                vorn_hyst.monochrome(image)
            except MemoryError as error:
                failures += str(error).startswith("memory allocation of ")
        del image
        gc.collect()
        same = (sys.getrefcount(big), sys.getrefcount(huge)) == refs
        results = {vorn_hyst.monochrome(neutral).tobytes() for _ in range(50)}
        try:
            vorn_hyst.monochrome(neutral, blur_n=-1)
            note = "no error"
        except OverflowError as error:
            note = (error.__notes__[-1] if hasattr(error, "__notes__")
                    else "while processing 'blur_n'")
        print(failures, same, results == {expected}, note.replace(" ", "_"))
    """)
    assert out == ["100", "True", "True", "while_processing_'blur_n'"]


@unsanitized
def test_huge_image_raises_memory_error():
    out = run_python("""
        import resource, numpy as np, vorn_hyst
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        huge = np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (2**20, 2**20, 3))
        try:
            vorn_hyst.monochrome(huge)
        except MemoryError as e:
            print(e)
        print(vorn_hyst.monochrome(np.zeros((2, 2, 3), np.uint8)).shape)
    """)
    assert out.stdout.splitlines() == ["memory allocation of 3298534883328 bytes failed",
                                       "(2, 2, 3)"], out.stderr


@pytest.mark.slow
def test_no_reference_or_memory_is_lost(capsys):
    status = leak_check.main(["--calls", "150", "--rounds", "4"])
    out = capsys.readouterr().out
    with capsys.disabled():
        print("\n" + out.strip())
    assert status == 0, out


# The command line on files that claim far more than they hold: its peak
# memory is bounded by what the file declares (one page at a time), never by
# a stream's claims. (name, builder of the file, the peak's bound in MiB).
HOSTILE = [
    ("PDF image whose predictor claims rows of 1e9 pixels", "pdf_predictor_bomb", 150),
    ("PDF colour profile that inflates to 2 GB", "pdf_profile_bomb", 150),
    # 24 pages of 4 MP: their results held together take 100 MB more than one page.
    ("TIFF of 24 pages of 4 MP", "tiff_of_pages", 150),
]
COMMAND_PEAK = """
    import resource, subprocess, sys
    from pathlib import Path
    sys.path.insert(0, {support!r})
    import hostile_files as hostile
    path = Path({path!r})
    builder = getattr(hostile, {builder!r})
    builder(path, 24, 2000, 2000) if {builder!r} == "tiff_of_pages" else builder(path)
    done = subprocess.run([sys.executable, "-m", "vorn_hyst_cli", str(path), "-o",
                           str(path.parent / "out"), "-q"], capture_output=True, text=True)
    print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024, done.returncode)
"""


@unsanitized
@pytest.mark.slow
@pytest.mark.parametrize("name, builder, bound", HOSTILE, ids=[c[0] for c in HOSTILE])
def test_command_line_memory_on_hostile_files(tmp_path, name, builder, bound):
    pytest.importorskip("pikepdf")
    support = os.path.join(os.path.dirname(os.path.abspath(__file__)), "support")
    suffix = ".tif" if "tiff" in builder else ".pdf"
    peak, status = map(int, output_of(COMMAND_PEAK.format(
        support=support, path=str(tmp_path / f"file{suffix}"), builder=builder)))
    assert status == 0 and peak < bound * MIB, f"{peak / MIB:.0f} MiB"

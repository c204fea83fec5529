"""Many threads calling at once get exactly what one thread gets alone."""

import os
import random
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import run_python
from vorn_hyst import monochrome

THREADS = 8
CALLS_PER_THREAD = int(os.environ.get("VORN_STRESS_CALLS", "500"))


def _shared_inputs():
    rng = np.random.default_rng(11)
    grey = np.where(rng.random((96, 80)) < 0.35, 30, 220).astype(np.uint8)
    images = {
        "neutral": np.repeat(grey[..., None], 3, axis=2),
        "colour": rng.integers(0, 256, (64, 64, 3), dtype=np.uint8),
        "tinted": np.stack([grey, grey // 2 + 60, grey], axis=2),
        "tiny": np.full((1, 2, 3), 100, np.uint8),
    }
    images["fortran"] = np.asfortranarray(images["neutral"])
    images["reversed"] = images["tinted"][::-1, ::-1]
    for image in images.values():
        image.flags.writeable = False  # every thread reads the same arrays
    return images


IMAGES = _shared_inputs()
VALID = [(name, kwargs) for name in IMAGES for kwargs in (
    {}, {"blur_n": 0}, {"window_radius": 6, "min_distance": 30}, {"percentage": 0.01},
    {"min_prominence": 5.0, "blur_n": 7})]
INVALID = [
    ((), {}),
    ((IMAGES["tiny"],) * 7, {}),
    ((IMAGES["tiny"],), {"blurn": 1}),
    ((IMAGES["tiny"],), {"\udc80": 1}),
    ((IMAGES["tiny"], 2), {"blur_n": 1}),
    (([[[1, 2, 3]]],), {}),
    ((np.zeros((2, 2, 4), np.uint8),), {}),
    ((IMAGES["tiny"],), {"blur_n": -1}),
    ((IMAGES["tiny"],), {"window_radius": 3.5}),
    ((IMAGES["tiny"],), {"min_distance": 0}),
    ((IMAGES["tiny"],), {"percentage": float("nan")}),
]


def _outcome(args, kwargs):
    try:
        return ("ok", monochrome(*args, **kwargs).tobytes())
    except Exception as error:  # noqa: BLE001 - the outcome is compared, whatever it is
        return (type(error).__name__, str(error), tuple(getattr(error, "__notes__", ())))


def _task(index):
    if index < len(VALID):
        name, kwargs = VALID[index]
        return (IMAGES[name],), kwargs
    return INVALID[index - len(VALID)]


def test_threads_agree_with_sequential_results(capsys):
    tasks = len(VALID) + len(INVALID)
    expected = [_outcome(*_task(i)) for i in range(tasks)]
    assert sum(e[0] == "ok" for e in expected) == len(VALID)
    plans = [random.Random(seed).choices(range(tasks), k=CALLS_PER_THREAD)
             for seed in range(THREADS)]
    mismatches, done = [], [0] * THREADS
    barrier = threading.Barrier(THREADS)

    def work(thread):
        barrier.wait()
        for index in plans[thread]:
            if _outcome(*_task(index)) != expected[index]:
                mismatches.append(index)
            done[thread] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    with capsys.disabled():
        print(f"\nstress: {THREADS} threads, {sum(done)} calls, {len(mismatches)} mismatches")
    assert sum(done) == THREADS * CALLS_PER_THREAD and not mismatches


# Each first call below fills one of the process-wide cells (the NumPy table,
# the holder type, the note name, the internal-failure type) while the other
# threads want it too.
FIRST_CALLS = {
    "valid": "monochrome(image)",
    "mixed": "monochrome(image) if n % 3 == 0 else monochrome(image, blur_n=-1) if n % 3 == 1 "
             "else monochrome(image, percentage='x')",
    "conversion_error": "monochrome(image, blur_n=3.0)",
    "no_numpy": "monochrome(1)",
}


@pytest.mark.parametrize("kind", FIRST_CALLS)
def test_first_calls_from_many_threads(kind):
    code = textwrap.dedent(f"""
        import sys, threading
        import numpy as np
        image = np.zeros((20, 20, 3), np.uint8); image[10:] = 200
        if {kind == "no_numpy"}:
            sys.modules["numpy"] = None
        from vorn_hyst import monochrome
        barrier = threading.Barrier(16)
        seen = []
        def call(n):
            barrier.wait()
            try:
                r = {FIRST_CALLS[kind]}
                seen.append((n % 3, "ok", r.tobytes()))
            except BaseException as e:
                seen.append((n % 3, id(type(e)), type(e).__name__, str(e)[:120],
                             tuple(getattr(e, "__notes__", ()))))
        threads = [threading.Thread(target=call, args=(n,)) for n in range(16)]
        for t in threads: t.start()
        for t in threads: t.join()
        groups = {{}}
        for key, *rest in seen:
            groups.setdefault(key if {kind == "mixed"} else 0, set()).add(tuple(rest))
        print(len(seen), sorted(len(g) for g in groups.values()))
        for g in groups.values():
            print(sorted(g)[0][:3])
    """)
    done = run_python(code, timeout=120)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and lines, done.stderr
    groups = 3 if kind == "mixed" else 1
    assert lines[0] == f"16 {[1] * groups}", done.stdout + done.stderr
    text = "\n".join(lines[1:])
    if kind == "no_numpy":
        assert "InternalFailure" in text
    elif kind == "conversion_error":
        assert "TypeError" in text
    else:
        assert "'ok'" in text


# The smallest stack that Python lets a thread have, for a small image and
# for one large enough for the joint count (whose tables are on the heap).
# An overflow would end the process with SIGSEGV. Sanitizer builds pad every
# frame and overflow it anyway.
@pytest.mark.skipif(bool(os.environ.get("VORN_SANITIZED")), reason="sanitizer frames are larger")
@pytest.mark.parametrize("height, width", [(64, 64), (1500, 1500)])
def test_smallest_thread_stack(height, width):
    done = run_python(f"""
        import threading, numpy as np, vorn_hyst
        image = np.full(({height}, {width}, 3), 40, np.uint8); image[{height // 2}:] = 200
        image[::7, ::5] += np.array([6, 0, 3], np.uint8)
        expected = vorn_hyst.monochrome(image).tobytes()
        assert expected != image.tobytes()
        threading.stack_size(32 << 10)
        out = []
        thread = threading.Thread(target=lambda: out.append(vorn_hyst.monochrome(image).tobytes()))
        thread.start(); thread.join()
        print(out == [expected])
    """, timeout=120)
    assert (done.returncode, done.stdout.split()) == (0, ["True"]), done.returncode


# A long call leaves the interpreter to other threads, whatever the image's
# layout. With a long switch interval the ticker only gets the lock when the
# call gives it up, and it gives the lock back at every tick.
@pytest.mark.parametrize("layout", [np.ascontiguousarray, np.asfortranarray,
                                    lambda image: image[::-1, ::-2]])
def test_other_threads_run_during_a_call(layout):
    rng = np.random.default_rng(5)
    image = layout(rng.integers(0, 256, (1500, 2000, 3), dtype=np.uint8))
    ticks = [0]
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    ticker = threading.Thread(target=tick)
    ticker.start()
    sys.setswitchinterval(30.0)
    try:
        progress = []
        for _ in range(5):  # a busy machine may not schedule the ticker at once
            before = ticks[0]
            result = monochrome(image)
            progress.append(ticks[0] - before)
            if progress[-1] > 0:
                break
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        ticker.join()
    assert progress[-1] > 0, progress
    assert np.array_equal(result, image)


# The pixels are copied with the lock held, so another thread that changes
# the image once the call has begun (released here from blur_n's __index__)
# either comes before the copy or after it: the result is the level fix of
# one whole image, never of a mixture, and never read from freed memory.
def _swap_halves(img):
    h = img.shape[0]
    # memoryview assignment holds the lock throughout, unlike NumPy's copies.
    memoryview(img).cast("B")[:] = np.concatenate([img[h // 2:], img[: h // 2]]).tobytes()


def _setstate(img):
    h, w, _ = img.shape
    img.__setstate__((1, (h // 2, w, 3), np.dtype(np.uint8), False, bytes(img[: h // 2])))


CHANGES = {
    "write": _swap_halves,
    "resize": lambda img: img.resize((7, 5, 3), refcheck=False),
    "setstate": _setstate,
}


def _analyse(img, blur_n):
    from vorn_hyst_cli import _analysis
    return _analysis.analyse(img, blur_n, 3, 0.5, 10, 0.22, 64, True)


def _remap(img, dark):
    from vorn_hyst_cli import _analysis
    return _analysis.remap(img, ((dark, 200), (40, 210), (40, 210)))


# The public call and the command line's private ones, each given an argument
# whose conversion lets the other thread in.
CALLS = {
    "monochrome": lambda img, n: monochrome(img, blur_n=n),
    "analyse": _analyse,
    "remap": _remap,
}


def _same(a, b):
    if isinstance(a, dict):
        return a == b
    return a.shape == b.shape and np.array_equal(a, b)


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("change", CHANGES)
def test_result_is_the_image_when_the_call_began(change, call):
    if call != "monochrome":
        pytest.importorskip("vorn_hyst_cli._analysis")
    for _ in range(5):
        img = np.full((2000, 1500, 3), 40, np.uint8)
        img[:1200] = 210
        before = img.copy()
        go = threading.Event()

        class Index:
            def __index__(self, go=go):
                go.set()
                return 3

        def writer(go=go, img=img):
            go.wait()
            CHANGES[change](img)

        thread = threading.Thread(target=writer)
        thread.start()
        result = CALLS[call](img, Index())
        thread.join()
        outcomes = [CALLS[call](before, 3), CALLS[call](img, 3)]
        assert any(_same(r, result) for r in outcomes)


def test_concurrent_first_calls():
    out = run_python("""
        import threading, numpy as np, vorn_hyst
        image = np.zeros((20, 20, 3), np.uint8); image[10:] = 200
        barrier = threading.Barrier(8)
        results = []
        def call():
            barrier.wait()
            results.append(vorn_hyst.monochrome(image).tobytes())
        threads = [threading.Thread(target=call) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(results), len(set(results)))
    """)
    assert out.stdout.split() == ["8", "1"], out.stderr


def test_threads_overlap_while_computing():
    image = np.random.default_rng(3).integers(0, 256, (256, 256, 3), dtype=np.uint8)
    expected = monochrome(image)
    failures = []

    def work():
        for _ in range(20):
            if not np.array_equal(monochrome(image), expected):
                failures.append(1)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures

"""Reference and memory check of `monochrome` over every path of the call.

    python tests/support/leak_check.py [--calls N]

Each case is called N times per round (default 1000, five rounds). After
every case the reference counts of its argument objects (and of the image)
must be back where they were, and after the two warm-up rounds so must those
of every object a call touches on the way: NumPy's array type, the uint8
descriptor and its type, the holder type, the internal-failure type. After
the warm-up, resident memory and the memory that tracemalloc sees must stay
flat over the rest. The NumPy-missing path runs the same way in a child
process. Exits nonzero on any finding.
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import tracemalloc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
import vorn_hyst  # noqa: E402
from conftest import Floaty, Index, IntSub, Unprintable, ndarray_subclass  # noqa: E402

monochrome = vorn_hyst.monochrome
RSS_SLACK = 1 << 20        # bytes of resident memory growth allowed after warm-up
# Bytes of Python-object growth allowed. Under the sanitizer's preload the
# interpreter keeps some 60 KiB more on error paths, bounded, whatever the
# call count; a leak of one small object per call on one path shows from
# about 3000 calls on (the default run has 3000 per case after warm-up).
TRACED_SLACK = 128 << 10
WARM_UP_ROUNDS = 2
Int = IntSub  # an int whose reference count is its own


def shared_objects(numpy_missing):
    """Objects that calls touch, by name: their counts must not drift."""
    if numpy_missing:
        try:
            monochrome(object())
        except BaseException as error:  # the internal failure is not an Exception
            return {"internal-failure type": type(error)}
    import numpy as np

    holder = type(monochrome(np.zeros((1, 1, 3), np.uint8)).base)
    uint8 = np.dtype(np.uint8)
    return {"ndarray": np.ndarray, "uint8 descriptor": uint8, "descriptor type": type(uint8),
            "uint8 scalar type": np.uint8, "holder type": holder}


def numpy_cases():
    import numpy as np

    Sub = ndarray_subclass()
    rng = np.random.default_rng(0)
    grey = np.where(rng.random((48, 64)) < 0.4, 40, 210).astype(np.uint8)
    neutral = np.repeat(grey[..., None], 3, axis=2)
    colour = rng.integers(0, 256, (48, 64, 3), dtype=np.uint8)
    read_only = colour.copy()
    read_only.flags.writeable = False
    wide = np.zeros((48, 128, 5), np.uint8)
    images = {
        "neutral": neutral,
        "colour": colour,
        "fortran": np.asfortranarray(neutral),
        "reversed": neutral[::-1, ::-1, ::-1],
        "strided": wide[:, ::2, 1:4],
        "broadcast": np.broadcast_to(neutral[:1], neutral.shape),
        "read_only": read_only,
        "subclass": colour.view(Sub),
        "byteswapped_descr": colour.astype(np.dtype("u1").newbyteorder(">")),
        "empty": np.zeros((0, 7, 3), np.uint8),
        "one_pixel": np.full((1, 1, 3), 9, np.uint8),
    }
    img = images["neutral"]
    ok = [(f"ok_{name}", (image,), {}) for name, image in images.items()]
    ok += [
        ("ok_all_keywords", (), dict(img=colour, blur_n=Int(2), window_radius=Int(4),
                                     min_prominence=1.5, min_distance=Int(7), percentage=0.3)),
        ("ok_all_positional", (neutral, Int(0), Int(1), 0.0, Int(255), 10.0)),
        ("ok_index_and_float_objects", (neutral,), dict(blur_n=np.int64(1),
                                                       percentage=np.float32(0.5))),
    ]
    ok = [case if len(case) == 3 else (*case, {}) for case in ok]
    errors = [
        ("no_img", (), {}),
        ("seven_positional", (img,) * 7, {}),
        ("duplicate", (img, Int(3)), dict(blur_n=Int(2))),
        ("unknown_keyword", (img,), dict(blurn=Int(2))),
        ("surrogate_keyword", (img,), {"\udcff": Int(1)}),
        ("unprintable_keyword", (img,), {Unprintable("zz"): Int(1)}),
        ("img_list", ([[[0, 0, 0]]],), {}),
        ("img_none", (None,), {}),
        ("img_2d", (np.zeros((4, 4), np.uint8),), {}),
        ("img_float", (np.zeros((4, 4, 3)),), {}),
        ("blur_float", (img,), dict(blur_n=3.0)),
        ("blur_negative", (img,), dict(blur_n=Int(-1))),
        ("blur_2_64", (img,), dict(blur_n=2**64)),
        ("blur_str", (img,), dict(blur_n="3")),
        ("index_raises", (img,), dict(window_radius=Index(KeyError))),
        ("float_raises", (img,), dict(min_prominence=Floaty(ZeroDivisionError))),
        ("float_overflow", (img,), dict(percentage=2**1100)),
        ("prominence_str", (img,), dict(min_prominence="0.5")),
        ("four_channels", (np.zeros((4, 4, 4), np.uint8),), {}),
        ("blur_range", (img,), dict(blur_n=Int(5000))),
        ("radius_range", (img,), dict(window_radius=Int(0))),
        ("distance_range", (img,), dict(min_distance=Int(256))),
        ("prominence_nan", (img,), dict(min_prominence=float("nan"))),
        ("percentage_negative", (img,), dict(percentage=-0.5)),
    ]
    return ok + errors


def no_numpy_cases():
    sys.modules["numpy"] = None  # "import numpy" now fails as if NumPy were absent
    thing = object()
    return [
        ("no_numpy_img_check", (thing,), {}),
        ("no_numpy_keywords", (thing,), dict(blur_n=Int(3))),
        ("no_numpy_no_img", (), {}),
        ("no_numpy_unknown_keyword", (thing,), dict(y=Int(1))),
    ]


def tracked(args, kwargs):
    """The argument objects whose reference counts are the call's alone to change."""
    shared = (type(None), bool)
    objects = [o for o in (*args, *kwargs.values()) if not isinstance(o, shared)]
    objects = [o for o in objects if not (type(o) is int and -5 <= o <= 256)]
    return list({id(o): o for o in objects}.values())


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def run_case(args, kwargs, calls):
    outcome = None
    for _ in range(calls):
        try:
            result = monochrome(*args, **kwargs)
            outcome = "ok"
            del result
        except BaseException as error:  # the internal failure is not an Exception
            outcome = type(error).__name__
            del error
    return outcome


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def check(cases, shared, calls, rounds, measure_memory=True):
    """Runs the cases; returns (findings, calls made, RSS growth, traced growth)."""
    findings = []
    warm_up = min(WARM_UP_ROUNDS, rounds - 1)
    made = 0
    sys.unraisablehook = lambda unraisable: None  # the unprintable keyword name is reported so
    base_rss = traced = None
    for round_no in range(rounds):
        # Two rounds of warm-up: the interpreter's own caches (exception
        # and traceback paths among them) take a while to fill.
        if round_no == warm_up and measure_memory:
            gc.collect()
            base_rss = rss()
            tracemalloc.start()
            traced = tracemalloc.get_traced_memory()[0]
        for name, args, kwargs in cases:
            objects = tracked(args, kwargs)
            before, shared_before = counts(objects), counts(shared.values())
            outcome = run_case(args, kwargs, calls)
            made += calls
            gc.collect()
            after, shared_after = counts(objects), counts(shared.values())
            if before != after:
                findings.append(f"{name}: reference counts {before} -> {after}")
            # The first calls fill caches (NumPy's among them) for good.
            if round_no >= warm_up and shared_before != shared_after:
                findings += [f"{name}: {key} reference count {b} -> {a}"
                             for key, b, a in zip(shared, shared_before, shared_after) if a != b]
            expect_ok = name.startswith("ok_")
            if (outcome == "ok") != expect_ok:
                findings.append(f"{name}: outcome {outcome}")
    gc.collect()
    rss_growth = rss() - base_rss if base_rss is not None else 0
    traced_growth = tracemalloc.get_traced_memory()[0] - traced if traced is not None else 0
    if traced is not None:
        tracemalloc.stop()
    # Under AddressSanitizer freed blocks sit in quarantine, so RSS means nothing.
    if rss_growth > RSS_SLACK and not os.environ.get("VORN_SANITIZED"):
        findings.append(f"resident memory grew by {rss_growth} bytes after warm-up")
    if traced_growth > TRACED_SLACK:
        findings.append(f"traced Python memory grew by {traced_growth} bytes")
    return findings, made, rss_growth, traced_growth


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000, help="calls per case and round")
    parser.add_argument("--rounds", type=int, default=5, help="rounds, the first two a warm-up")
    parser.add_argument("--refcounts-only", action="store_true",
                        help="skip the memory measures (under valgrind they mean nothing)")
    parser.add_argument("--no-numpy", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args(argv)

    cases = no_numpy_cases() if options.no_numpy else numpy_cases()
    shared = shared_objects(options.no_numpy)
    findings, made, rss_growth, traced_growth = check(cases, shared, options.calls,
                                                     options.rounds, not options.refcounts_only)
    report = dict(cases=len(cases), calls=made, rss=rss_growth, traced=traced_growth,
                  findings=findings)
    if options.json:
        print(json.dumps(report))
        return 0
    child = subprocess.run(
        [sys.executable, __file__, "--no-numpy", "--json", f"--calls={options.calls}",
         f"--rounds={options.rounds}"] + ["--refcounts-only"] * options.refcounts_only,
        capture_output=True, text=True, timeout=600)
    if child.returncode != 0:
        findings.append(f"NumPy-missing child failed ({child.returncode}): {child.stderr[-2000:]}")
        child_report = dict(cases=0, calls=0, rss=0, traced=0)
    else:
        child_report = json.loads(child.stdout.splitlines()[-1])
        findings += child_report["findings"]
    for finding in findings:
        print("leak_check: FAIL", finding)
    print(f"leak_check: {report['cases']} cases, {report['calls']} calls, resident +{rss_growth} "
          f"bytes, traced +{traced_growth} bytes; without NumPy {child_report['cases']} cases, "
          f"{child_report['calls']} calls, resident +{child_report['rss']} bytes, traced "
          f"+{child_report['traced']} bytes; {len(findings)} findings")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())

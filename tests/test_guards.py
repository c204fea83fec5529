"""The guards on the module's rule: labelled images, the verdict each gets
under that rule, and that switching the deciding guard off gives exactly
monochrome()'s result."""

import numpy as np
import pytest

import vorn_hyst

decision = pytest.importorskip("vorn_hyst_cli.decision")

RNG = np.random.default_rng(5)


def noisy(base, sigma=2.0):
    return np.clip(np.rint(base + RNG.normal(0, sigma, base.shape)), 0, 255).astype(np.uint8)


def page(paper=(226, 214, 180), ink=(40, 38, 36)):
    a = np.empty((120, 160, 3))
    a[...] = paper
    for y in range(10, 110, 12):
        a[y:y + 5, 12:148] = ink  # lines of "text"
    return a


def stamped():
    a = page()
    a[50:58, 60:68] = (190, 40, 45)  # too small for a peak of its own
    return a


def two_colours():
    """Red and blue halves: two peaks per channel of equal weight, which the
    module's mass test cannot tell from ink and paper."""
    a = np.empty((120, 160, 3))
    a[:, :80] = (200, 40, 30)
    a[:, 80:] = (30, 60, 200)
    return a


def shadowed():
    """No ink peak: paper in shadow (212) and in light (227), with a dark ramp
    between; the fix would send the ramp and half the shadow to black."""
    a = np.empty((120, 160, 3))
    a[:, :60] = 212
    a[:, 60:] = 227
    a[:, 35:60] = np.linspace(150, 205, 25)[None, :, None]
    return a * (1.0, 0.97, 0.85)


def stripes():
    a = np.empty((120, 150, 3))
    for i, c in enumerate([(200, 40, 30), (30, 180, 60), (40, 50, 210)]):
        a[:, 50 * i:50 * (i + 1)] = c
    return a


def dark_photo():
    """A dim room whose lightest peak is a wall in shadow (90), with a window
    and lamps far brighter: the fix would blow them all to white."""
    a = np.empty((120, 160, 3))
    a[:, :] = 90
    a[:40] = 30
    a[60:100, 20:70] = np.linspace(140, 250, 50)[None, :, None]
    return a * (1.0, 0.98, 0.95)


def grey_tones():
    a = np.empty((120, 150, 3))
    for i, v in enumerate([20, 120, 220]):
        a[:, 50 * i:50 * (i + 1)] = v
    return a


# label, image, noise, verdict, words of the reason, the guard that decided
CASES = [
    ("tinted scan", page, 2.0, decision.FIXED, "2 peaks per channel, masses agree", None),
    ("red stamp on a scan", stamped, 2.0, decision.COLOUR, "keep colour after the levels",
     "colour"),
    ("two colours of equal weight", two_colours, 2.0, decision.COLOUR, "100 % of pixels", "colour"),
    ("blank paper", lambda: page(ink=(226, 214, 180)), 2.0, decision.NOT_MONOCHROME,
     "one level in every", "flat"),
    ("paper in shadow", shadowed, 0.5, decision.LOSS, "would become pure black", "loss"),
    ("dark photo", dark_photo, 1.0, decision.LOSS, "more than 32 levels beyond the white", "loss"),
    ("colour stripes", stripes, 2.0, decision.NOT_MONOCHROME, "R has 3 peaks", None),
    ("three grey tones", grey_tones, 0.0, decision.GREY, "has 3 peaks", None),
]


@pytest.mark.parametrize("label, image, noise, verdict, words, guard", CASES,
                         ids=[c[0] for c in CASES])
def test_guards(label, image, noise, verdict, words, guard):
    rgb = noisy(image(), noise)
    settings = decision.Settings(decision.monochrome_defaults(), rule="module")
    d = decision.decide(rgb, settings)
    assert (d.verdict, words in d.reason) == (verdict, True), d.reason
    wanted = vorn_hyst.monochrome(rgb)
    np.testing.assert_array_equal(d.result, wanted if verdict == decision.FIXED else rgb)
    if guard:
        off = decision.Settings(settings, decision.Guards(**{guard: False}), rule="module")
        raw = decision.decide(rgb, off)
        assert raw.verdict == decision.FIXED
        np.testing.assert_array_equal(raw.result, wanted)

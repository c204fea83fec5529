"""The verdict on one image: what the level fix made of it."""

from __future__ import annotations

import dataclasses
import inspect

import numpy as np

import vorn_hyst

FIXED, GREY, COLOUR, FAILED = ("levels fixed", "unchanged grey", "colour left as it is", "failed")
# A PDF's page image kept as it is: not one to decide (not 8-bit RGB, damaged),
# or one whose rewrite would not be smaller.
LEFT = "left as it is"
PARAMETERS = ("blur_n", "window_radius", "min_prominence", "min_distance", "percentage")


def monochrome_defaults():
    """The defaults of ``monochrome`` as the module itself states them."""
    params = inspect.signature(vorn_hyst.monochrome).parameters
    return {name: params[name].default for name in PARAMETERS}


def is_grey(rgb):
    return bool((rgb[..., 0] == rgb[..., 1]).all() and (rgb[..., 1] == rgb[..., 2]).all())


@dataclasses.dataclass
class Decision:
    """The verdict on one image and what is to be written for it: the module's
    output when the levels are fixed, the pixels as they are otherwise."""
    verdict: str
    result: np.ndarray
    reason: str = ""
    # Machine-readable facts behind the verdict, for the report.
    details: dict = dataclasses.field(default_factory=dict)


def decide(rgb, params):
    """Decides an (H, W, 3) uint8 image."""
    result = vorn_hyst.monochrome(rgb, **params)
    if not np.array_equal(result, rgb):
        return Decision(FIXED, result)
    return Decision(GREY if is_grey(rgb) else COLOUR, result)

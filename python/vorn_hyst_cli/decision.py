"""The verdict on one image: what the level fix makes of it, and whether the guards let it.

The module's own test is kept exactly (its analysis comes from the private
extension ``_analysis``, which runs the module's C++ stages), but on real files
it greys many colour photos and crushes unevenly lit pages. So the command line
writes the module's result only when every guard agrees; a guard can only say
no. What is written is then exactly ``monochrome()``'s output.
"""

from __future__ import annotations

import dataclasses
import inspect

import numpy as np

import vorn_hyst

from . import _analysis
from .outcome import Verdict
from .policy import PARAMETERS

FIXED, GREY, COLOUR, FLAT, LOSS, LEFT, FAILED = (
    Verdict.FIXED, Verdict.GREY, Verdict.COLOUR, Verdict.FLAT, Verdict.LOSS, Verdict.LEFT,
    Verdict.FAILED)
CHANNELS = "RGB"


@dataclasses.dataclass(frozen=True)
class Guards:
    """Which guards may veto a fix, and their thresholds (calibrated on the
    labelled corpus of bench/corpus.py; see the README)."""
    colour: bool = True
    flat: bool = True
    loss: bool = True
    # A 2 x 2 block keeps colour when, each channel stretched by its own
    # levels to 0..255, its mean channels still differ by more than this.
    colour_tolerance: int = 64
    # The share of pixels in such blocks above which the image counts as colour.
    colour_limit: float = 0.0002
    # Content loss: the fix clips (to black, or to white) more than
    # `loss_limit` of the image, and more than `dark_ratio` (`light_ratio`) of
    # the share that the darkest (lightest) region holds. Clipping half of a
    # heap is what the stretch does to a symmetric ink or paper peak; clipping
    # nearly all of the dark region means the "ink" peak was shadowed paper.
    # Paper that becomes white is the point of the fix, hence the looser bound.
    loss_limit: float = 0.15
    dark_ratio: float = 0.5
    light_ratio: float = 0.9

class Settings(dict):
    """The keyword arguments of ``monochrome`` (the dict's items) with the
    guards beside them, so that ``monochrome(img, **settings)`` still works."""

    def __init__(self, params=(), guards=None):
        super().__init__(params)
        self.guards = guards or Guards()

    def __reduce__(self):  # keeps the guards across processes
        return (Settings, (dict(self), self.guards))


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
    verdict: Verdict
    result: np.ndarray
    reason: str = ""
    # Machine-readable facts behind the verdict, for the report.
    details: dict = dataclasses.field(default_factory=dict)


def percent(share):
    value = 100 * share
    return f"{value:.0f} %" if value >= 10 or value == 0 else f"{value:.2g} %"


def analyse(rgb, params, guards):
    args = [params.get(name, default) for name, default in monochrome_defaults().items()]
    return _analysis.analyse(rgb, *args, guards.colour_tolerance)


def details_of(a):
    """The report's machine-readable fields."""
    d = {"peaks": "/".join(str(len(p)) for p in a["peaks"]),
         "positions": " ".join(",".join(map(str, p)) for p in a["peaks"])}
    for side in ("dark", "light"):
        dev = a[f"{side}_deviations"]
        d[f"{side}_deviation"] = round(max(dev), 6) if dev else None
    s, n = a["stretch"], a["pixels"]
    if s and n:
        d.update(colour_share=round(s["coloured"] / n, 6), black_share=round(s["black"] / n, 6),
                 white_share=round(s["white"] / n, 6))
    return d


def rejection_reason(a, percentage):
    """Why the module leaves the image alone, in plain words."""
    if a["rejection"] == "peak count":
        wrong = [f"{c} has {len(p) or 'no'} peak{'s' * (len(p) != 1)}"
                 for c, p in zip(CHANNELS, a["peaks"]) if not 1 <= len(p) <= 2]
        return ", ".join(wrong)
    side = "dark" if a["rejection"] == "dark masses" else "light"
    dev = a[f"{side}_deviations"]
    worst = max(range(3), key=dev.__getitem__)
    return (f"{side} peak masses disagree: {CHANNELS[worst]} deviates {percent(dev[worst])} "
            f"(limit {percent(percentage)})")


def agreement(a, percentage):
    counts = {len(p) for p in a["peaks"]}
    peaks = (f"{counts.pop()} peak{'s' * (len(a['peaks'][0]) != 1)} per channel" if len(counts) == 1
             else "/".join(str(len(p)) for p in a["peaks"]) + " peaks")
    worst = max(a["dark_deviations"] + a["light_deviations"])
    return f"{peaks}, masses agree within {percent(worst)} (limit {percent(percentage)})"


def region_share(a, index):
    """The smallest share of its channel that the first (0) or last (-1) region holds."""
    return min(m[index] / t if t else 0.0 for m, t in zip(a["masses"], a["totals"]))


def veto(a, guards):
    """(verdict, reason) of the first guard that refuses the fix, or None."""
    n = a["pixels"]
    flat = [c for c, (dark, light) in zip(CHANNELS, a["levels"]) if dark == light]
    if guards.flat and flat:
        which = "every channel" if len(flat) == 3 else ", ".join(flat)
        return FLAT, f"blank or flat: one level in {which}, the fix would threshold it"
    s = a["stretch"]
    colour = s["coloured"] / n
    if guards.colour and colour > guards.colour_limit:
        return COLOUR, (f"colour: {percent(colour)} of pixels keep colour after the levels "
                        f"(limit {percent(guards.colour_limit)})")
    if guards.loss:
        for side, part, index, ratio in (("black", "dark", 0, guards.dark_ratio),
                                         ("white", "light", -1, guards.light_ratio)):
            clipped, region = s[side] / n, region_share(a, index)
            if clipped > guards.loss_limit and clipped > ratio * region:
                return LOSS, (f"content loss: {percent(clipped)} would become pure {side}, "
                              f"the {part} region holds {percent(region)}")
    return None


def decide(rgb, params, guards=None):
    """Decides an (H, W, 3) uint8 image. `params` are ``monochrome``'s keyword
    arguments; the guards come from `guards`, else from ``params.guards``
    (a Settings), else the defaults."""
    guards = guards or getattr(params, "guards", None) or Guards()
    module_params = {k: v for k, v in params.items() if k in PARAMETERS}
    a = analyse(rgb, module_params, guards)
    details = details_of(a)
    percentage = module_params.get("percentage", monochrome_defaults()["percentage"])
    if a["levels"] is None:
        verdict = GREY if is_grey(rgb) else COLOUR
        return Decision(verdict, rgb, rejection_reason(a, percentage), details)
    refused = veto(a, guards)
    if refused:
        return Decision(refused[0], rgb, refused[1], details)
    # monochrome()'s own remap with the levels its analysis found, which spares
    # counting the histograms a second time.
    result = _analysis.remap(rgb, a["levels"])
    reason = agreement(a, percentage)
    # The first row nearly always tells a changed image; the full comparison
    # is for images that are grey with black and white levels already.
    if np.array_equal(result[:1], rgb[:1]) and np.array_equal(result, rgb):
        return Decision(GREY, result, reason + "; already black and white", details)
    return Decision(FIXED, result, reason, details)

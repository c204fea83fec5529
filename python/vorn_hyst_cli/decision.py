"""The verdict on one image: the module's rule first, the document rule after.

The module's own test is kept exactly (its analysis comes from the private
extension ``_analysis``, which runs the module's C++ stages), and what it
fixes is written as ``monochrome()`` writes it, when every guard agrees: on
real files the bare test greys many colour photos and crushes unevenly lit
pages. A guard can only say no. Real scans, whose ink is a broad low heap
rather than a peak, mostly fail that test; the document rule (C++ as well,
``document.cpp``) then decides from the paper and the ink mass, with its own
colour and loss tests. Either rule's levels are written by the module's own
remap, so the grey is computed exactly as the module computes it.
"""

from __future__ import annotations

import dataclasses
import inspect

import numpy as np

import vorn_hyst

from . import _analysis
from .outcome import Verdict
from .policy import PARAMETERS

FIXED, GREY, COLOUR, NOT_MONOCHROME, BLANK, LOSS, LEFT, FAILED = (
    Verdict.FIXED, Verdict.GREY, Verdict.COLOUR, Verdict.NOT_MONOCHROME, Verdict.BLANK,
    Verdict.LOSS, Verdict.LEFT, Verdict.FAILED)
CHANNELS = "RGB"
RULES = ("both", "module", "document")


@dataclasses.dataclass(frozen=True)
class Guards:
    """Which guards may veto a fix of the module's rule, and their thresholds
    (calibrated on the labelled corpora of bench/corpus.py; see the README)."""
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
    # And whatever the regions: more than `far_limit` of the image made black
    # or white although it lies well beyond the level (more than 32 levels in
    # a channel) is detail, not the spread of paper or ink around its peak:
    # a dark photo whose "lightest peak" is a wall in shadow.
    far_limit: float = 0.05


class Settings(dict):
    """The keyword arguments of ``monochrome`` (the dict's items) with the
    guards and the rule beside them, so that ``monochrome(img, **settings)``
    still works."""

    def __init__(self, params=(), guards=None, rule="both"):
        super().__init__(params)
        self.guards = guards or Guards()
        if rule not in RULES:
            raise ValueError(f"rule must be one of {RULES}, not {rule!r}")
        self.rule = rule

    def __reduce__(self):  # keeps the guards and the rule across processes
        return (Settings, (dict(self), self.guards, self.rule))


def signature_defaults():
    params = inspect.signature(vorn_hyst.monochrome).parameters
    return {name: params[name].default for name in PARAMETERS}


# Read once, at import (which one thread does): the signature of a compiled
# function is parsed from its text with the ast module, and CPython 3.11's ast
# module, run by two threads at once, can fail a page with "SystemError: AST
# constructor recursion depth mismatch" (bench/scale.py on local:2 met it).
_DEFAULTS = signature_defaults()


def monochrome_defaults():
    """The defaults of ``monochrome`` as the module itself states them."""
    return dict(_DEFAULTS)


def is_grey(rgb):
    # A colour image nearly always shows it in its first row: the whole
    # comparison, a tenth of the decision's time on a large page, only then.
    return all(bool((part[..., 0] == part[..., 1]).all() and (part[..., 1] == part[..., 2]).all())
               for part in (rgb[:1], rgb))


@dataclasses.dataclass
class Decision:
    """The verdict on one image and what is to be written for it: the fixed
    pixels when the levels are fixed, the pixels as they are otherwise."""
    verdict: Verdict
    result: np.ndarray
    reason: str = ""
    # Machine-readable facts behind the verdict, for the report.
    details: dict = dataclasses.field(default_factory=dict)
    # Whether the result's three channels are equal, where that is known
    # already (a remap writes grey): None leaves it to be measured.
    grey: bool | None = None


def percent(share):
    value = 100 * share
    return f"{value:.0f} %" if value >= 10 or value == 0 else f"{value:.2g} %"


def levels_text(levels):
    return " ".join(f"{dark}-{light}" for dark, light in levels)


# ---- the module's rule ---------------------------------------------------------------

def analyse(rgb, params, guards):
    args = [params.get(name, default) for name, default in monochrome_defaults().items()]
    # Levels with a flat channel are refused by the flat guard whatever the
    # stretch would do: the pass that counts it is left out for them.
    return _analysis.analyse(rgb, *args, guards.colour_tolerance, not guards.flat)


def details_of(a):
    """The report's machine-readable fields of the module's analysis."""
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
    if a["pixels"] == 0:
        return "no pixels"
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
        return NOT_MONOCHROME, f"one level in {which}: the fix would threshold it"
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
        for side in ("black", "white"):
            far = s[f"far_{side}"] / n
            if far > guards.far_limit:
                return LOSS, (f"content loss: {percent(far)} would become pure {side} from "
                              f"more than 32 levels beyond the {side} level")
    return None


def module_rule(rgb, params, guards):
    """(Decision, the module's analysis): FIXED or GREY when the module's rule
    fixes the image and the guards agree, a refusal otherwise."""
    module_params = {k: v for k, v in params.items() if k in PARAMETERS}
    a = analyse(rgb, module_params, guards)
    details = details_of(a)
    percentage = module_params.get("percentage", monochrome_defaults()["percentage"])
    if a["levels"] is None:
        return Decision(NOT_MONOCHROME, rgb, rejection_reason(a, percentage), details), a
    refused = veto(a, guards)
    if refused:
        return Decision(refused[0], rgb, refused[1], details), a
    # monochrome()'s own remap with the levels its analysis found, which spares
    # counting the histograms a second time.
    result = _analysis.remap(rgb, a["levels"])
    details.update(rule="module", levels=levels_text(a["levels"]))
    reason = agreement(a, percentage)
    if unchanged(result, rgb):
        return Decision(GREY, result, reason + "; already black and white", details, True), a
    return Decision(FIXED, result, reason, details, True), a


def unchanged(result, rgb):
    # The first row nearly always tells a changed image; the full comparison
    # is for images that are grey with black and white levels already.
    return np.array_equal(result[:1], rgb[:1]) and np.array_equal(result, rgb)


# ---- the document rule ---------------------------------------------------------------

DOCUMENT_REFUSALS = {"blank": BLANK, "not a document": NOT_MONOCHROME, "ink colour": COLOUR,
                     "colour": COLOUR, "content loss": LOSS}


def document_details(doc):
    return {"paper_level": round(doc["paper_level"], 1), "ink_level": doc["dark"],
            "colour_score": round(doc["colour_score"], 2)}


def document_reason(doc):
    """What the document rule found, in plain words."""
    refusal, limits = doc["refusal"], doc["limits"]
    if refusal == "blank":
        return "blank: no ink on the page"
    if refusal == "not a document":
        if doc["roughness"] > limits["roughness"]:
            return (f"no even paper: its level jumps by {doc['roughness']:.0f} between "
                    f"neighbouring parts of the page (at most {limits['roughness']:g}): a picture")
        if doc["candidate_levels"] is None:
            return "no ink and paper levels that can be stretched"
        return (f"too little paper: {percent(doc['paper_share'])} of the page "
                f"(at least {percent(limits['paper_share'])})")
    if refusal == "ink colour":
        r, g, b = (round(v) for v in doc["ink_colour"])
        return f"colour: the ink itself is coloured (RGB {r}, {g}, {b})"
    if refusal == "colour" and doc["vivid_share"] > 0.05:
        return f"colour: {percent(doc['vivid_share'])} of the page is plainly coloured"
    if refusal == "colour":
        return (f"colour: marks of colour on the page (score {doc['colour_score']:.0f}, "
                f"limit {limits['colour_score']:.0f}; the largest {doc['largest_mark']} blocks)")
    if refusal == "content loss":
        if doc["black_share"] > limits["black_share"]:
            return f"content loss: {percent(doc['black_share'])} would become pure black"
        return (f"content loss: {doc['lost_tiles']} of {doc['content_tiles']} parts of the page "
                "with content would lose it")
    return (f"paper at {doc['paper_level']:.0f} becomes white, ink at {doc['dark']} and below "
            "black")


# How far a black-and-white page's ink level may lie from black: a page this
# tool fixed and wrote as a JPEG comes back with its ink a few levels up.
BLACK_INK_SLACK = 8


def already_black_and_white(doc):
    """A grey page whose paper is white and whose ink reaches black already: a
    page this tool fixed (by either rule), which a second run must leave as it
    is. Its light level is not read again: on a fixed page the paper's lower
    side, now just under white, would pull it down and stretch the page twice."""
    return (doc["mode"] >= 254 and doc["dark"] <= BLACK_INK_SLACK
            and doc["black_ink_share"] >= 0.01)


# ---- the decision ------------------------------------------------------------------------

def decide(rgb, params, guards=None, rule=None):
    """Decides an (H, W, 3) uint8 image. `params` are ``monochrome``'s keyword
    arguments; the guards and the rule come from the arguments, else from
    ``params`` (a Settings), else the defaults."""
    guards = guards or getattr(params, "guards", None) or Guards()
    rule = rule or getattr(params, "rule", "both")
    grey = None
    doc = None
    if rule != "module" and rgb.size:
        grey = is_grey(rgb)
        if grey:
            doc = _analysis.document(rgb)
            if already_black_and_white(doc):
                return Decision(GREY, rgb, "already black and white", document_details(doc), True)
    if rule != "document":
        module, a = module_rule(rgb, params, guards)
        # Colour the module's guard measured, pixel by pixel, stands: the
        # document rule, which sees blocks, is not asked to overrule it.
        if rule == "module" or module.verdict in (FIXED, GREY, COLOUR):
            if module.verdict == NOT_MONOCHROME and is_grey(rgb):
                module.verdict, module.grey = GREY, True
            return module
    else:
        module = None
    doc = doc or _analysis.document(rgb)
    details = (module.details if module else {}) | document_details(doc)
    if not doc["refusal"]:
        result = _analysis.remap(rgb, doc["levels"])
        details.update(rule="document", levels=levels_text(doc["levels"]))
        reason = "document rule: " + document_reason(doc)
        if module:
            reason += f" (the module's rule: {module.reason})"
        verdict = GREY if unchanged(result, rgb) else FIXED
        return Decision(verdict, result, reason, details, True)
    return refusal(rgb, module, doc, details, grey)


def refusal(rgb, module, doc, details, grey):
    """Neither rule fixes the image: the most telling verdict, with both reasons."""
    document_verdict = DOCUMENT_REFUSALS[doc["refusal"]]
    words = document_reason(doc)
    if module is None:
        verdict, reason = document_verdict, words
    elif module.verdict == COLOUR or document_verdict == COLOUR:
        # Colour was measured by one of them: the measure is the reason.
        verdict = COLOUR
        reason = (module.reason if module.verdict == COLOUR
                  else f"{words} (the module's rule: {module.reason})")
    elif document_verdict in (BLANK, LOSS):
        verdict, reason = document_verdict, words
    else:
        verdict = module.verdict if module.verdict == LOSS else NOT_MONOCHROME
        reason = f"the module's rule: {module.reason}; the document rule: {words}"
    if verdict != COLOUR and (grey if grey is not None else is_grey(rgb)):
        verdict = GREY  # already grey: nothing to do, and nothing lost
    return Decision(verdict, rgb, reason, details, grey)

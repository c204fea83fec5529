"""The level fix written with vectorised NumPy, as a user might write it.

It gives the same bytes as ``vorn_hyst.monochrome``: the per-pixel passes
(counting, remap) are whole-array operations, the per-histogram steps work
on 256 Python ints, and every float step of the remap is a float32 operation
in the module's order. Each channel's stretched and weighted term depends on
that channel's byte only, so it is computed once per byte value into a
256-entry float32 table and looked up.
"""

import numpy as np

BINS = 256
U64_MAX = 2**64 - 1

_WEIGHTS = np.array([0x3E991687, 0x3F1645A1, 0x3DE978D5], dtype=np.uint32).view(np.float32)
_MIN_SPAN = np.float32(2.0**-23)
_F255 = np.float32(255.0)


# ---- 256-bin steps, shared with the OpenCV pipeline of the benchmark --------


def smooth(h, passes):
    for _ in range(passes):
        s = h
        h = [s[max(i - 1, 0)] // 4 + s[i] // 2 + s[min(i + 1, BINS - 1)] // 4 for i in range(BINS)]
    return h


def threshold(min_prominence, pixel_count):
    x = (float(min_prominence) * float(pixel_count)) / 100.0
    if not x > 0.0:
        return 1
    if x >= 2.0**64:
        return U64_MAX
    return max(int(x), 1)


def _side_minimum(h, p, ks):
    v = lowest = h[p]
    for k in ks:
        if h[k] < lowest:
            lowest = h[k]
        if h[k] > v:
            break
    return lowest


def peak_positions(h, window_radius, thresh, min_distance):
    """Accepted peak positions of one smoothed histogram, ascending."""
    peaks = []
    start = 0
    while start < BINS:
        v = h[start]
        end = start
        while end + 1 < BINS and h[end + 1] == v:
            end += 1
        if not (start == 0 and end == BINS - 1):
            lo = max(start - window_radius, 0)
            hi = min(end + window_radius, BINS - 1)
            if all(h[k] <= v for k in range(lo, start)) and all(
                h[k] <= v for k in range(end + 1, hi + 1)
            ):
                p = (start + end) // 2
                if p == 0:
                    reference = _side_minimum(h, p, range(1, BINS))
                elif p == BINS - 1:
                    reference = _side_minimum(h, p, range(p - 1, -1, -1))
                else:
                    reference = max(
                        _side_minimum(h, p, range(p - 1, -1, -1)),
                        _side_minimum(h, p, range(p + 1, BINS)),
                    )
                if h[p] - reference >= thresh:
                    peaks.append((p, h[p] - reference))
        start = end + 1
    peaks.sort(key=lambda peak: -peak[1])  # stable: ties stay in position order
    accepted = []
    for p, _ in peaks:
        if all(abs(p - q) >= min_distance for q in accepted):
            accepted.append(p)
    return sorted(accepted)


def region_masses(h, positions):
    out = []
    for m, p in enumerate(positions):
        lo = 0 if m == 0 else (positions[m - 1] + p) // 2
        hi = BINS - 1 if m == len(positions) - 1 else (p + positions[m + 1]) // 2
        out.append((p, sum(h[lo : hi + 1])))
    return out


def _agree(masses, percentage):
    mean = float(sum(masses)) / 3.0
    return mean == 0.0 or all(percentage > abs(float(m) - mean) / mean for m in masses)


def levels_from_histograms(raw, pixel_count, blur_n=3, window_radius=3, min_prominence=0.5,
                           min_distance=10, percentage=0.22):
    """[(dark, light)] per channel when the image counts as neutral, else None."""
    thresh = threshold(min_prominence, pixel_count)
    regions = []
    for counts in raw:
        h = smooth([int(n) for n in counts], blur_n)
        regions.append(region_masses(h, peak_positions(h, window_radius, thresh, min_distance)))
    if any(not 1 <= len(r) <= 2 for r in regions):
        return None
    if not _agree([r[0][1] for r in regions], percentage):
        return None
    if not _agree([r[-1][1] for r in regions], percentage):
        return None
    return [(r[0][0], r[-1][0]) for r in regions]


# ---- the whole call ----------------------------------------------------------


def channel_terms(dark, light, weight):
    """float32 weight * clamp((v/255 - black) / span) for every byte v."""
    black = np.float32(dark) / _F255
    white = np.float32(light) / _F255
    span = white - black
    if not span > _MIN_SPAN:
        span = _MIN_SPAN
    n = (np.arange(BINS, dtype=np.float32) / _F255 - black) / span
    n = np.minimum(np.maximum(n, np.float32(0.0)), np.float32(1.0))
    return n * weight


def monochrome(img, blur_n=3, window_radius=3, min_prominence=0.5, min_distance=10,
               percentage=0.22):
    out = np.ascontiguousarray(img).copy() if not img.flags.c_contiguous else img.copy()
    pixels = out.reshape(-1, 3)
    count = pixels.shape[0]
    if count == 0:
        return out
    raw = [np.bincount(pixels[:, c], minlength=BINS) for c in range(3)]
    levels = levels_from_histograms(raw, count, blur_n, window_radius, min_prominence,
                                    min_distance, percentage)
    if levels is None:
        return out
    terms = [channel_terms(dark, light, w) for (dark, light), w in zip(levels, _WEIGHTS)]
    luma = (terms[0][pixels[:, 0]] + terms[1][pixels[:, 1]]) + terms[2][pixels[:, 2]]
    scaled = luma * _F255
    # Halfway cases go away from zero; scaled is never negative, and the
    # fraction scaled - floor(scaled) is exact.
    whole = np.floor(scaled)
    grey = (whole + (scaled - whole >= np.float32(0.5))).clip(0, 255).astype(np.uint8)
    pixels[:] = grey[:, None]
    return out

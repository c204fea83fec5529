"""A plain reference model of the monochrome level fix.

Written for clarity, not speed: integer steps use Python ints, float steps
use np.float32 scalars and arrays in the same order as the extension, so
the two agree byte for byte. Every constant that meets a float32 value is
itself a np.float32, so NumPy 1.x value-based casting cannot widen a step.
"""

import numpy as np

BINS = 256
U64_MAX = 2**64 - 1


def _f32_from_bits(bits):
    return np.array([bits], dtype=np.uint32).view(np.float32)[0]


WEIGHT_R = _f32_from_bits(0x3E991687)
WEIGHT_G = _f32_from_bits(0x3F1645A1)
WEIGHT_B = _f32_from_bits(0x3DE978D5)
MIN_SPAN = np.float32(2.0**-23)
F0 = np.float32(0.0)
F1 = np.float32(1.0)
F255 = np.float32(255.0)


def histograms(pixels):
    """Raw counts per channel of an (N, 3) uint8 array, as lists of ints."""
    return [[int(n) for n in np.bincount(pixels[:, c], minlength=BINS)] for c in range(3)]


def smooth(h, passes):
    for _ in range(passes):
        s = list(h)
        h = [s[max(i - 1, 0)] // 4 + s[i] // 2 + s[min(i + 1, BINS - 1)] // 4 for i in range(BINS)]
    return h


def threshold(min_prominence, pixel_count):
    x = (float(min_prominence) * float(pixel_count)) / 100.0
    if not x > 0.0:
        t = 0
    elif x >= 2.0**64:
        t = U64_MAX
    else:
        t = int(x)
    return max(t, 1)


def _plateaus(h):
    start = 0
    while start < BINS:
        end = start
        while end + 1 < BINS and h[end + 1] == h[start]:
            end += 1
        yield start, end
        start = end + 1


def _side_minimum(h, p, ks):
    lowest = h[p]
    for k in ks:
        lowest = min(lowest, h[k])
        if h[k] > h[p]:
            break
    return lowest


def detect(h, window_radius, thresh):
    peaks = []
    for start, end in _plateaus(h):
        if start == 0 and end == BINS - 1:
            continue
        lo = max(start - window_radius, 0)
        hi = min(end + window_radius, BINS - 1)
        outside = h[lo:start] + h[end + 1 : hi + 1]
        if outside and max(outside) > h[start]:
            continue
        p = (start + end) // 2
        left = _side_minimum(h, p, range(p - 1, -1, -1))
        right = _side_minimum(h, p, range(p + 1, BINS))
        if p == 0:
            reference = right
        elif p == BINS - 1:
            reference = left
        else:
            reference = max(left, right)
        prominence = h[p] - reference
        if prominence >= thresh:
            peaks.append((p, prominence))
    # sorted() is stable, so equal prominences stay in ascending position order.
    return sorted(peaks, key=lambda peak: -peak[1])


def select(peaks, min_distance):
    accepted = []
    for p, _ in peaks:
        if all(abs(p - q) >= min_distance for q in accepted):
            accepted.append(p)
    return sorted(accepted)


def regions(h, positions):
    out = []
    for m, p in enumerate(positions):
        lo = 0 if m == 0 else (positions[m - 1] + p) // 2
        hi = BINS - 1 if m == len(positions) - 1 else (p + positions[m + 1]) // 2
        out.append((p, sum(h[lo : hi + 1])))
    return out


def _masses_agree(masses, percentage):
    mean = float(sum(masses)) / 3.0
    if mean == 0.0:
        return True
    return all(percentage > abs(float(m) - mean) / mean for m in masses)


def neutral_levels(channel_regions, percentage):
    """[(dark, light)] * 3 when the channels agree, else None."""
    if any(not 1 <= len(r) <= 2 for r in channel_regions):
        return None
    if not _masses_agree([r[0][1] for r in channel_regions], percentage):
        return None
    if not _masses_agree([r[-1][1] for r in channel_regions], percentage):
        return None
    return [(r[0][0], r[-1][0]) for r in channel_regions]


def _normalised(values, dark, light):
    black = np.float32(dark) / F255
    white = np.float32(light) / F255
    span = white - black
    if not span > MIN_SPAN:
        span = MIN_SPAN
    x = values.astype(np.float32) / F255
    n = (x - black) / span
    n = np.where(n < F0, F0, n)
    n = np.where(n > F1, F1, n)
    return n.astype(np.float32)


def remap(pixels, levels):
    n = [_normalised(pixels[:, c], *levels[c]) for c in range(3)]
    luma = (n[0] * WEIGHT_R + n[1] * WEIGHT_G) + n[2] * WEIGHT_B
    scaled = luma * F255
    assert scaled.dtype == np.float32
    # Half away from zero (scaled is never negative); np.round would go to even.
    whole = np.floor(scaled)
    rounded = whole + (scaled - whole >= np.float32(0.5))
    grey = np.clip(rounded, 0, 255).astype(np.uint8)
    return np.repeat(grey[:, None], 3, axis=1)


def monochrome_model(img, blur_n=3, window_radius=3, min_prominence=0.5, min_distance=10,
                     percentage=0.22):
    img = np.asarray(img)
    assert img.dtype == np.uint8 and img.ndim == 3 and img.shape[2] == 3
    out = np.array(img, dtype=np.uint8, order="C", copy=True)
    pixels = out.reshape(-1, 3)
    if pixels.shape[0] == 0:
        return out
    thresh = threshold(min_prominence, pixels.shape[0])
    channel_regions = []
    for h in histograms(pixels):
        h = smooth(h, blur_n)
        positions = select(detect(h, window_radius, thresh), min_distance)
        channel_regions.append(regions(h, positions))
    levels = neutral_levels(channel_regions, float(percentage))
    if levels is None:
        return out
    return remap(pixels, levels).reshape(out.shape)

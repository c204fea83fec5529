"""Monochrome level fix for RGB8 image arrays."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["monochrome", "__doc__"]

def monochrome(
    img: npt.NDArray[np.uint8],
    blur_n: SupportsIndex = 3,
    window_radius: SupportsIndex = 3,
    min_prominence: SupportsFloat | SupportsIndex = 0.5,
    min_distance: SupportsIndex = 10,
    percentage: SupportsFloat | SupportsIndex = 0.22,
) -> npt.NDArray[np.uint8]:
    """Fix black/white levels of monochrome (neutral) images.

    Args:
        img: ``(H, W, 3)`` uint8 RGB array.
        blur_n: histogram smoothing passes, ``>= 0``.
        window_radius: local maximum search radius in histogram bins.
        min_prominence: minimum peak prominence in percent of the total pixel count.
        min_distance: minimum distance between accepted peaks, in bins.
        percentage: max relative channel mass deviation treated as neutral colour.

    Returns:
        New ``(H, W, 3)`` uint8 array; unchanged pixels when the image is not monochrome.
    """

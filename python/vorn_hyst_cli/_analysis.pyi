# Types of the compiled analysis module (src/analysis_module.cpp).
from typing import Any, Sequence

import numpy as np
import numpy.typing as npt

def analyse(img: npt.NDArray[np.uint8], blur_n: int, window_radius: int, min_prominence: float,
            min_distance: int, percentage: float, tolerance: float,
            measure_flat: bool) -> dict[str, Any]: ...
def remap(img: npt.NDArray[np.uint8],
          levels: Sequence[tuple[int, int]]) -> npt.NDArray[np.uint8]: ...
def document(img: npt.NDArray[np.uint8]) -> dict[str, Any]: ...
def unfilter(rows: npt.NDArray[np.uint8], height: int, row_bytes: int,
             pixel_bytes: int) -> bool: ...

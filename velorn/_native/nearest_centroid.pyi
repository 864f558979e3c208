"""The nearest centroid of each point under a scikit-learn distance metric.

Types only: the functions' docstrings are the module's own, shown by help() at run time.
"""

from typing import Any, SupportsFloat

import numpy as np
import numpy.typing as npt

def nearest_centroid(
    points: npt.NDArray[np.float64],
    rows: npt.NDArray[np.int64],
    centroids: npt.NDArray[np.float64],
    metric: Any,
    max_distance: SupportsFloat,
) -> npt.NDArray[np.int64]: ...

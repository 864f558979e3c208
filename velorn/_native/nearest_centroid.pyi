"""The nearest centroid of each point under a scikit-learn distance metric."""

from typing import Any, SupportsFloat

import numpy as np
import numpy.typing as npt

def nearest_centroid(
    points: npt.NDArray[np.float64],
    rows: npt.NDArray[np.int64],
    centroids: npt.NDArray[np.float64],
    metric: Any,
    max_distance: SupportsFloat,
) -> npt.NDArray[np.int64]:
    """For each row of ``points`` (C-contiguous float64) named in ``rows``, the index of its
    nearest row of ``centroids`` under ``metric.pairwise``, or -1 when none
    lies within ``max_distance``; ties go to the lower index, NaN and
    infinite distances never win."""

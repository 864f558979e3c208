"""Cluster post-processing: dissolve small clusters, give noise the nearest centroid's label.

Types only: the functions' docstrings are the module's own, shown by help() at run time.
"""

from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

def kelvo_postprocess(
    points: npt.NDArray[np.float64],
    labels_in: npt.NDArray[np.int32],
    metric: str = "minkowski",
    p: SupportsIndex = 2,
    threshold: SupportsIndex = -1,
) -> npt.NDArray[np.int32]: ...

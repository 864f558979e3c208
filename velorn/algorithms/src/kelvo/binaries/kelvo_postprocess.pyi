"""Cluster post-processing: dissolve small clusters, give noise the nearest centroid's label."""

from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

def kelvo_postprocess(
    points: npt.NDArray[np.float64],
    labels_in: npt.NDArray[np.int32],
    metric: str = "minkowski",
    p: SupportsIndex = 2,
    threshold: SupportsIndex = -1,
) -> npt.NDArray[np.int32]:
    """Post-process a clustering in which -1 marks noise; returns new labels.

    Every cluster whose label is below ``threshold`` is dissolved into noise.
    Every noise point then takes the label of the cluster whose centroid (mean
    point) is nearest under scikit-learn's distance ``metric`` (``p`` is used
    by "minkowski" only); ties go to the smaller label. With no cluster left,
    the labels stay -1.

    points: C-contiguous, writable float64 array, shape (n_points, n_dims).
    labels_in: int32 array, one label per point; left unchanged.
    """

"""A k-nearest-neighbour table as weighted label propagation sweeps it."""

from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

def ordered_knn_table(
    ids: npt.NDArray[np.integer[Any]],
    distances: npt.NDArray[np.floating[Any]],
    labels: npt.NDArray[np.int32],
    width: SupportsIndex,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """ids: int32 or int64, distances: float32 or float64 (others are a
    TypeError). Rows nearest first without the row's own sample, cut to ``width``,
    labelled samples first, then those with a labelled neighbour, then the
    rest; returns (order, ids in the new numbering, float32 distances)."""

"""A k-nearest-neighbour table as weighted label propagation sweeps it."""

from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

def ordered_knn_table(
    ids: npt.NDArray[np.int32] | npt.NDArray[np.int64],
    distances: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    labels: npt.NDArray[np.int32],
    width: SupportsIndex,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """Rows nearest first without the row's own sample, cut to ``width``,
    labelled samples first, then those with a labelled neighbour, then the
    rest; returns (order, ids in the new numbering, float32 distances)."""

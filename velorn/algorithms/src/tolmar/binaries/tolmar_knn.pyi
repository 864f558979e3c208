"""Weighted label propagation straight over a k-nearest-neighbour table."""

from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

def propagate_knn_table(
    ids: npt.NDArray[np.integer[Any]],
    distances: npt.NDArray[np.floating[Any]],
    labels: npt.NDArray[np.int32],
    width: SupportsIndex,
    max_iterations: SupportsIndex,
    tolerance: SupportsFloat,
) -> tuple[int, bool]:
    """ids: int32 or int64, distances: float32 or float64 (others are a
    TypeError). Labels ``labels`` (-1: unlabelled) in place by the rows'
    ``width`` nearest entries besides the row's own sample, sweeping the
    samples with a labelled neighbour first; returns the sweeps run and
    whether every distance of the table is finite and not negative."""

"""Label propagation over a graph's rows, of any lengths."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

def propagate_rows(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int64],
    weights: npt.NDArray[np.float64],
    labels: npt.NDArray[np.int32],
    max_iterations: SupportsIndex,
    tolerance: SupportsFloat,
) -> tuple[int, bool]:
    """Labels ``labels`` (-1: unlabelled) in place: in each sweep every
    unlabelled sample takes the label of largest summed weight among its
    row's labelled entries (the lowest among equals), from the labels of the
    sweep before; returns the sweeps run and whether they converged."""

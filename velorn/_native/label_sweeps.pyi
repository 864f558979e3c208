"""Label propagation over a graph's rows, of any lengths; repeated rows found by hashing."""

from typing import Any, SupportsFloat, SupportsIndex

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
    row's labelled entries, from the labels of the sweep before (among
    equals it keeps its own, or waits); then the samples left at odds with
    their row change, no two neighbours at once, until none is. Ties never
    go by the labels' numbers. Returns the sweeps run and whether they
    converged."""

def repeated_rows(points: npt.NDArray[Any]) -> bool:
    """Whether two rows of ``points`` (2-D float64, float32, int64 or int32,
    any strides) hold the same values, 0.0 and -0.0 alike."""

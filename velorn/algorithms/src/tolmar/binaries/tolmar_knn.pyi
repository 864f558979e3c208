"""Label propagation over a graph's rows, of any lengths, or over a search's table."""

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

def propagate_table(
    ids: npt.NDArray[np.integer[Any]],
    distances: npt.NDArray[np.floating[Any]],
    labels: npt.NDArray[np.int32],
    width: SupportsIndex,
    max_iterations: SupportsIndex,
    tolerance: SupportsFloat,
    scores: npt.NDArray[np.float64] | None = None,
    normalise: bool = False,
) -> tuple[int, bool, int] | None:
    """propagate_rows over a neighbour search's table read in place (ids
    int64 or int32, distances float64 or float32, a row per sample, nearest
    first): each row's first ``width`` entries besides its own sample, each
    voting 1 / distance**2. None, with ``labels`` untouched, when the table
    holds a copy (distance 0), a missing or bad entry (the row's own
    distance negative or not finite too), or a cut row out of order: its CSR
    rows then decide. ``scores`` receives each sample's summed
    weight per label, with ``normalise`` divided by the row's sum taken
    column by column; also returns the longest row kept."""

def repeated_rows(points: npt.NDArray[Any]) -> bool:
    """Whether two rows of ``points`` (2-D float64, float32, int64 or int32,
    any strides) hold the same values, 0.0 and -0.0 alike."""

"""The graph Poisson equation of Poisson learning on a weighted CSR graph."""

from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

def poisson_solve(
    indptr: npt.NDArray[np.integer[Any]],
    indices: npt.NDArray[np.integer[Any]],
    weights: npt.NDArray[np.floating[Any]],
    labels: npt.NDArray[np.int32],
    solution: npt.NDArray[np.float64],
    max_iterations: SupportsIndex,
    tolerance: SupportsFloat,
    n_jobs: SupportsIndex,
) -> int:
    """indptr, indices: int32 or int64; weights: float32 or float64 (others
    are a TypeError). Runs the iteration u <- D^-1 (b + W u) from
    ``solution`` (n, classes) and writes the result there: each labelled
    sample (``labels``, -1: unlabelled) a source of its class, centred on
    its connected part. Stops once a random walk from the labelled samples
    is within ``tolerance / n`` of its limit everywhere, or after
    ``max_iterations`` passes (always these with tolerance 0); returns the
    passes run."""

"""The graph Poisson equation of Poisson learning on a weighted CSR graph."""

from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

class PoissonGraph:
    """An opaque graph, checked and copied by :func:`poisson_graph`."""

def poisson_graph(
    indptr: npt.NDArray[np.integer[Any]],
    indices: npt.NDArray[np.integer[Any]],
    weights: npt.NDArray[np.floating[Any]],
    order: npt.NDArray[np.integer[Any]] | None = None,
    n_jobs: SupportsIndex = 1,
) -> PoissonGraph:
    """indptr, indices: int32 or int64; weights: float32 or float64, finite
    and not negative (others are a TypeError or ValueError). The graph
    checked and copied once, with its degrees and connected parts, for any
    number of :func:`poisson_solve` calls. ``order``, a permutation of the
    samples: the copy's sample r is the caller's ``order[r]``, its rows
    sorted by the new ids (on ``n_jobs`` threads)."""

def poisson_parts(graph: PoissonGraph) -> npt.NDArray[np.int32]:
    """Each sample's connected part in ``graph``'s numbering, as the
    smallest sample of the part."""

def poisson_symmetrised(
    indptr: npt.NDArray[np.integer[Any]],
    indices: npt.NDArray[np.integer[Any]],
    weights: npt.NDArray[np.floating[Any]],
    n_jobs: SupportsIndex,
) -> tuple[npt.NDArray[np.integer[Any]], npt.NDArray[np.int32], npt.NDArray[np.float64]]:
    """``(W + W.T) / 2`` of a square CSR graph, on ``n_jobs`` threads: its
    indptr, indices and weights, rows sorted by column, sums of 0 not
    stored."""

def poisson_solve(
    graph: PoissonGraph,
    labels: npt.NDArray[np.int32],
    solution: npt.NDArray[np.float64],
    max_iterations: SupportsIndex,
    tolerance: SupportsFloat,
    n_jobs: SupportsIndex,
) -> int:
    """Runs the iteration u <- D^-1 (b + W u) on ``graph`` from
    ``solution`` (n, classes) and writes the result there: each labelled
    sample (``labels``, -1: unlabelled) a source of its class, centred on
    its connected part. Stops once a random walk from the labelled samples
    is within ``tolerance / n`` of its limit everywhere, or after
    ``max_iterations`` passes (always these with tolerance 0); returns the
    passes run."""

def poisson_horizon(
    graph: PoissonGraph,
    labels: npt.NDArray[np.int32],
    tolerance: SupportsFloat,
    max_steps: SupportsIndex,
    n_jobs: SupportsIndex,
) -> tuple[float, int]:
    """The passes a random walk from the labelled samples (``labels`` >= 0)
    needs on ``graph`` to come within ``tolerance`` of its limit, in the
    norm ``||D^-1/2 (p - limit)|| <= tolerance / (10 sqrt(volume))``,
    estimated by Lanczos' method in at most ``max_steps`` steps; returns the
    estimate and the steps taken."""

def poisson_conjugate_gradients(
    graph: PoissonGraph,
    labels: npt.NDArray[np.int32],
    solution: npt.NDArray[np.float64],
    mass: SupportsFloat,
    tolerance: SupportsFloat,
    max_iterations: SupportsIndex,
    n_jobs: SupportsIndex,
) -> tuple[int, bool]:
    """Solves ``((1 + mass) D - W) u = b`` (the sources of
    :func:`poisson_solve`) by conjugate gradients preconditioned by the
    diagonal, from ``solution`` and into it, until each class's residual is
    within ``tolerance`` of its start's or for ``max_iterations``
    iterations; returns the iterations run and whether every class came
    within the tolerance."""

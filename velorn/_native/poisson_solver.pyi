"""The graph Poisson equation of Poisson learning on a weighted CSR graph.

Types only: the functions' docstrings are the module's own, shown by help() at run time.
"""

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
) -> PoissonGraph: ...

def poisson_parts(graph: PoissonGraph) -> npt.NDArray[np.int32]: ...

def poisson_symmetrised(
    indptr: npt.NDArray[np.integer[Any]],
    indices: npt.NDArray[np.integer[Any]],
    weights: npt.NDArray[np.floating[Any]],
    n_jobs: SupportsIndex,
) -> tuple[npt.NDArray[np.integer[Any]], npt.NDArray[np.int32], npt.NDArray[np.float64]]: ...

def poisson_solve(
    graph: PoissonGraph,
    labels: npt.NDArray[np.int32],
    solution: npt.NDArray[np.float64],
    max_iterations: SupportsIndex,
    tolerance: SupportsFloat,
    n_jobs: SupportsIndex,
) -> int: ...

def poisson_horizon(
    graph: PoissonGraph,
    labels: npt.NDArray[np.int32],
    tolerance: SupportsFloat,
    max_steps: SupportsIndex,
    n_jobs: SupportsIndex,
) -> tuple[float, int]: ...

def poisson_conjugate_gradients(
    graph: PoissonGraph,
    labels: npt.NDArray[np.int32],
    solution: npt.NDArray[np.float64],
    mass: SupportsFloat,
    tolerance: SupportsFloat,
    max_iterations: SupportsIndex,
    n_jobs: SupportsIndex,
    shifted: npt.NDArray[np.float64] | None = None,
    shifted_mass: SupportsFloat = 0.0,
) -> tuple[int, bool]: ...

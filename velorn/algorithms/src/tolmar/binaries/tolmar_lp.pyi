"""Weighted label propagation over a neighbour graph.

Types only: the functions' docstrings are the module's own, shown by help() at run time.
"""

from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

from velorn.algorithms.graph_wrapper import NeighbourRows, WeightRows

def weighted_label_propagation(
    connections: NeighbourRows,
    weights: WeightRows,
    initial_labels: npt.NDArray[np.int32],
    max_iterations: SupportsIndex = 50000,
    tolerance: SupportsFloat = 1e-3,
) -> npt.NDArray[np.int32]: ...

"""Weighted label propagation over a neighbour graph."""

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
) -> npt.NDArray[np.int32]:
    """Label the unlabelled (-1) nodes of a weighted graph, in place.

    Sweeps visit the unlabelled nodes in order; each takes the label with the
    highest score among its labelled neighbours, every neighbour adding
    1 / weight**2 to its own label's score (equal scores: the label met first
    in the row wins). A label given is final and seen at once by later nodes.
    Sweeps repeat until the largest change of a node's best score in a sweep
    is below ``tolerance``, or ``max_iterations`` sweeps have run. A node with
    no labelled neighbour stays -1.

    connections, weights: per-node rows of neighbour ids (int64) and edge
        weights (float32), in the same order; a GraphWrapper each.
    initial_labels: C-contiguous, writable int32 array, one label per node,
        -1 for unlabelled; the new labels are written into it.
    Returns initial_labels' memory as an array.
    """

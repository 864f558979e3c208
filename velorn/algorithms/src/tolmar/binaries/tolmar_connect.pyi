"""Connect unlabelled graph components to labelled ones."""

from typing import TypeVar

import numpy as np
import numpy.typing as npt

from velorn.algorithms.graph_wrapper import GrowingNeighbourRows, GrowingWeightRows

_Connections = TypeVar("_Connections", bound=GrowingNeighbourRows)
_Weights = TypeVar("_Weights", bound=GrowingWeightRows)

def connect_unlabeled(
    knn_connections: npt.NDArray[np.int64],
    knn_weights: npt.NDArray[np.float32],
    components: list[tuple[list[int], bool]],
    vertix_component_label: npt.NDArray[np.uint8] | npt.NDArray[np.bool_],
    connections: _Connections,
    weights: _Weights,
) -> tuple[_Connections, _Weights]:
    """Add nearest-neighbour edges until every node is reached from a labelled component.

    Each unlabelled component is first joined by one edge, from its first node
    with a labelled node among its nearest neighbours; the nodes still
    unreached are then joined one at a time, pass after pass, each to the
    first reached node in its neighbour row. Every edge is added in both
    directions, with its nearest-neighbour weight, unless already present.

    knn_connections, knn_weights: (n_nodes, k) tables of int64 neighbour ids
        and float32 weights, nearest first.
    components: (node ids, is labelled) for every connected component.
    vertix_component_label: uint8 or bool per node, nonzero in labelled components.
    connections, weights: the graph's rows (GraphWrapper), grown in place.
    Returns (connections, weights). Raises SystemError "NO PROGRESS :)" when a
    pass reaches no new node: some node cannot be reached.
    """

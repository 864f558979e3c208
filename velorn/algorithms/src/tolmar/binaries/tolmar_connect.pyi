"""Connect unlabelled graph components to labelled ones.

Types only: the functions' docstrings are the module's own, shown by help() at run time.
"""

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
) -> tuple[_Connections, _Weights]: ...

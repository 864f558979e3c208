"""Per-node rows of a graph: neighbour ids or edge weights.

The graph kernels read a node's row with ``to_numpy(i)`` and grow rows with
``contains`` / ``append``.  ``GraphWrapper`` is the package's native container
for them (built in ``graph_wrapper.cpp``): the k-nearest-neighbour table is kept
as one read-only 2-D array and a row without appended entries is handed out as
a view of it; appended entries live in small per-row vectors, created only for
rows that get them.

The protocols below say what each graph function needs of its containers, so
that any object with those methods type-checks where a GraphWrapper does.
Node ids are plain ints from 0 to n-1; the functions pass them positionally.
"""

from typing import Protocol

import numpy as np
import numpy.typing as npt

from velorn.algorithms.src.tolmar.binaries.graph_wrapper import GraphWrapper as GraphWrapper


class NeighbourRows(Protocol):
    """What weighted_label_propagation reads from ``connections``."""

    def to_numpy(self, i: int, /) -> npt.NDArray[np.int64]:
        """The neighbour ids of node ``i``: 1-D int64, any stride, may be read-only."""
        ...


class WeightRows(Protocol):
    """What weighted_label_propagation reads from ``weights``."""

    def to_numpy(self, i: int, /) -> npt.NDArray[np.float32]:
        """The weights of node ``i``'s edges, in the order of its neighbour ids: 1-D float32."""
        ...


class GrowingNeighbourRows(Protocol):
    """What connect_unlabeled calls on ``connections``."""

    def contains(self, i: int, j: int, /) -> object:
        """Whether ``j`` is already a neighbour of ``i`` (only the truth value counts)."""
        ...

    def append(self, i: int, j: int, /) -> object:
        """Add ``j`` as the last neighbour of ``i``."""
        ...


class GrowingWeightRows(Protocol):
    """What connect_unlabeled calls on ``weights``: one append after each of ``connections``."""

    def append(self, i: int, weight: float, /) -> object:
        """Add ``weight`` as the last weight of ``i``."""
        ...


__all__ = ["GraphWrapper", "GrowingNeighbourRows", "GrowingWeightRows", "NeighbourRows", "WeightRows"]

"""GraphWrapper: per-node rows of a graph (int64 neighbour ids or float32 weights), grown in place."""

from typing import Any, Self, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt
import scipy.sparse

class GraphWrapper:
    """Rows of int64 neighbour ids or of float32 edge weights, one per node.

    ``GraphWrapper(table)`` takes a 2-D int64 or float32 table as the base rows
    (shared, not copied); ``GraphWrapper.from_knn(table)`` starts every row from
    a row of any integer or floating-point table; ``GraphWrapper.from_csr(matrix)``
    makes both containers of a sparse matrix's graph; ``GraphWrapper.empty(n, dtype)``
    starts ``n`` empty rows.  A connections container and its weights container
    are kept parallel by the caller: each append to one is followed by the
    matching append to the other.
    """

    def __init__(self, base_table: npt.NDArray[np.int64] | npt.NDArray[np.float32]) -> None: ...
    @classmethod
    def from_knn(cls, table: npt.ArrayLike) -> Self:
        """Rows from a k-nearest-neighbour table of ids (int64) or weights (float32)."""
    @classmethod
    def from_csr(cls, matrix: scipy.sparse.sparray | scipy.sparse.spmatrix) -> tuple[Self, Self]:
        """The (connections, weights) pair of a square sparse matrix's graph: row i's
        stored column ids (int64) and values (float32), in stored order."""
    @classmethod
    def empty(cls, num_rows: SupportsIndex, dtype: npt.DTypeLike) -> Self:
        """``num_rows`` empty rows of int64 ids or float32 weights."""
    @property
    def dtype(self) -> np.dtype[Any]:
        """The rows' element type: int64 or float32."""
    @property
    def num_entries(self) -> int:
        """Entries over all rows, appended ones included."""
    def __len__(self) -> int: ...
    def to_numpy(self, i: SupportsIndex, /) -> npt.NDArray[Any]:
        """Row ``i`` as a read-only 1-D array, appended entries last."""
    def contains(self, i: SupportsIndex, value: SupportsFloat | SupportsIndex, /) -> bool:
        """Whether ``value`` is already an entry of row ``i`` (weights compare as float32)."""
    def append(self, i: SupportsIndex, value: SupportsFloat | SupportsIndex, /) -> None:
        """Add ``value`` as the last entry of row ``i``."""
    def to_csr(self, weights: GraphWrapper | None = None) -> scipy.sparse.csr_matrix:
        """The graph as an n x n CSR matrix, weighted by ``weights`` or 1.0; called on the ids container."""

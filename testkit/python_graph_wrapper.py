"""The graph container in plain Python: the readable statement of what
velorn's native GraphWrapper does, which the tests hold it to.

Rows of int64 neighbour ids or float32 edge weights, one per node; a row
without appended entries is a read-only view of the base table, appended
entries follow the base row in order.  Where the native type is stricter
(row numbers must be integers; weights compare as float32 in ``contains``),
the tests compare only what both define.
"""

import operator
from typing import Any, Self, SupportsIndex, cast

import numpy as np
import numpy.typing as npt


class PythonGraphWrapper:
    """Rows of int64 neighbour ids or of float32 edge weights, one per node.

    ``GraphWrapper.from_knn(table)`` starts every row from a row of the table;
    ``GraphWrapper.empty(n, dtype)`` starts ``n`` empty rows.  A connections
    container and its weights container are kept parallel by the caller: each
    append to one is followed by the matching append to the other.
    """

    def __init__(self, base_table: npt.NDArray[Any]) -> None:
        """Wrap a 2-D table of int64 or float32 as the base rows (not copied)."""
        if base_table.ndim != 2:
            raise ValueError(f"expected a 2-D table, got {base_table.ndim} dimensions")
        if base_table.dtype not in (np.dtype(np.int64), np.dtype(np.float32)):
            raise TypeError(f"expected an int64 or float32 table, got {base_table.dtype}")
        # A read-only view keeps callers from changing the rows we hand out,
        # without touching the flags of the caller's own array.
        self._base: npt.NDArray[Any] = base_table.view()
        self._base.flags.writeable = False
        self._num_rows: int = base_table.shape[0]
        self._is_id_table = base_table.dtype == np.int64
        # Rows with appended entries only: the entries in order, a set of them
        # for membership tests, and the merged row built on demand.
        self._extras: dict[int, list[int | float]] = {}
        self._extra_members: dict[int, set[int | float]] = {}
        self._merged_rows: dict[int, npt.NDArray[Any]] = {}
        self._num_appended = 0

    @classmethod
    def from_knn(cls, table: npt.ArrayLike) -> Self:
        """Rows from a k-nearest-neighbour table of ids (int64) or weights (float32).

        The table's kind decides the container: integer tables become int64,
        floating-point tables float32.  A table already of that dtype and
        C-contiguous is shared, not copied.
        """
        table = np.asarray(table)
        dtype: type[np.int64 | np.float32]
        if np.issubdtype(table.dtype, np.integer):
            dtype = np.int64
        elif np.issubdtype(table.dtype, np.floating):
            dtype = np.float32
        else:
            raise TypeError(f"expected an integer or floating-point table, got {table.dtype}")
        return cls(np.ascontiguousarray(table, dtype=dtype))

    @classmethod
    def empty(cls, num_rows: int, dtype: npt.DTypeLike) -> Self:
        """``num_rows`` empty rows of int64 ids or float32 weights."""
        return cls(np.empty((num_rows, 0), dtype=dtype))

    @property
    def dtype(self) -> np.dtype[Any]:
        return self._base.dtype

    @property
    def num_entries(self) -> int:
        """Entries over all rows, appended ones included."""
        return self._base.size + self._num_appended

    def __len__(self) -> int:
        return self._num_rows

    def __repr__(self) -> str:
        return (
            f"PythonGraphWrapper(rows={self._num_rows}, dtype={self.dtype}, "
            f"rows_with_appends={len(self._extras)})"
        )

    def to_numpy(self, i: int) -> npt.NDArray[Any]:
        """Row ``i`` as a read-only 1-D array, appended entries last."""
        self._check_row(i)
        extras = self._extras.get(i)
        if extras is None:
            row: npt.NDArray[Any] = self._base[i]
            return row
        merged = self._merged_rows.get(i)
        if merged is None:
            merged = np.concatenate((self._base[i], np.array(extras, dtype=self.dtype)))
            merged.flags.writeable = False
            self._merged_rows[i] = merged
        return merged

    def contains(self, i: int, value: int | float) -> bool:
        """Whether ``value`` is already an entry of row ``i``."""
        self._check_row(i)
        members = self._extra_members.get(i)
        if members is not None and value in members:
            return True
        # For rows of about fifteen entries a list scan beats a numpy comparison.
        return value in self._base[i].tolist()

    def append(self, i: int, value: int | float) -> None:
        """Add ``value`` as the last entry of row ``i``."""
        self._check_row(i)
        if self._is_id_table:
            # Refuses floats: an id table takes integer ids only.
            value = operator.index(cast(SupportsIndex, value))
            if not 0 <= value < self._num_rows:
                raise IndexError(f"node id {value} out of range for {self._num_rows} rows")
        else:
            value = float(value)
        extras = self._extras.get(i)
        if extras is None:
            self._extras[i] = [value]
            self._extra_members[i] = {value}
        else:
            extras.append(value)
            self._extra_members[i].add(value)
            self._merged_rows.pop(i, None)
        self._num_appended += 1

    def _check_row(self, i: int) -> None:
        # Explicit check: numpy would quietly accept negative row numbers.
        if not 0 <= i < self._num_rows:
            raise IndexError(f"row {i} out of range for {self._num_rows} rows")

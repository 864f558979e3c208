"""Label propagation over a graph's rows, of any lengths; repeated rows found by hashing.

Types only: the functions' docstrings are the module's own, shown by help() at run time.
"""

from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

def propagate_rows(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int64] | npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    labels: npt.NDArray[np.int32],
    max_iterations: SupportsIndex,
    tolerance: SupportsFloat,
    scores: npt.NDArray[np.float64] | None = None,
) -> tuple[int, bool]: ...

def repeated_rows(points: npt.NDArray[Any]) -> bool: ...

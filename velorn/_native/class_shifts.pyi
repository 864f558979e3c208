"""The class shifts of a thresholding that keeps the classes at given shares.

Types only: the functions' docstrings are the module's own, shown by help() at run time.
"""

from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

def class_shifts(
    scores: npt.NDArray[np.float64],
    prior: npt.NDArray[np.float64],
    shifts: npt.NDArray[np.float64],
    step: SupportsFloat,
    rounds: SupportsIndex,
) -> None: ...

def shifted_argmax(scores: npt.NDArray[np.float64], shifts: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]: ...

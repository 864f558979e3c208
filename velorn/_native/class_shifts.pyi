"""The class shifts of a thresholding that keeps the classes at given shares."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

def class_shifts(
    scores: npt.NDArray[np.float64],
    prior: npt.NDArray[np.float64],
    shifts: npt.NDArray[np.float64],
    step: SupportsFloat,
    rounds: SupportsIndex,
) -> None:
    """Adjusts ``shifts`` (c,) in place over ``rounds`` rounds: each row of
    ``scores`` (m, c; finite or -inf) takes the class with the largest score
    plus shift, the first on a tie; then ``shifts += step * (prior - shares)``
    with ``shares`` the classes' counts over m."""

def shifted_argmax(scores: npt.NDArray[np.float64], shifts: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]:
    """``(scores + shifts).argmax(axis=1)`` as NumPy gives it (the first
    largest; a NaN counts as largest), read a row at a time."""

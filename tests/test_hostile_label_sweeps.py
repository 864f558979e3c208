"""propagate_rows and repeated_rows under hostile input: each call ends in a
result or a Python exception and leaves its inputs as they were (the labels
are written on success only)."""

import math

import numpy as np
from hostile import EDGE_INTS, arguments, checked_outcome, examples
from hypothesis import given
from hypothesis import strategies as st

from velorn._native import label_sweeps as knn


def mostly(good, bad, odds=16):
    """``good``, and ``bad`` once in ``odds`` draws."""
    return st.integers(1, odds).flatmap(lambda k: bad if k == 1 else good)


LABELS = mostly(st.sampled_from([-1, -1, -1, 0, 1, 2]), st.sampled_from([-2, 2**31 - 1]))
WEIGHTS = mostly(st.sampled_from([1.0, 0.5, 2.0, 3.0]),
                   st.sampled_from([0.0, -1.0, 1e-300, 1e300, 5e-324, math.nan, math.inf]), odds=8)


def ids(n):
    inside = st.integers(0, n - 1) if n else st.sampled_from(EDGE_INTS)
    return mostly(inside, st.sampled_from([*EDGE_INTS, n]))


@st.composite
def rows_calls(draw):
    n = draw(st.integers(0, 7))
    rows = [draw(st.lists(ids(n), max_size=4)) for _ in range(n)]
    indptr = np.cumsum([0] + [len(row) for row in rows]).astype(np.int64)
    indices = np.array(sum(rows, []), np.int64)
    weights = np.array(draw(st.lists(WEIGHTS, min_size=len(indices), max_size=len(indices))))
    labels = np.array(draw(st.lists(LABELS, min_size=n, max_size=n)), np.int32)
    numbers = [st.integers(0, 9), st.sampled_from([0.0, 0.1, 1.0])]
    return draw(arguments([st.just(indptr), st.just(indices), st.just(weights), st.just(labels), *numbers]))


def assert_labelled(labels, given_labels):
    """Labels given are kept; the others are -1 or one of the labels given."""
    given_labels = np.asarray(given_labels)
    kept = given_labels != -1
    assert (labels[kept] == given_labels[kept]).all()
    assert set(labels[~kept].tolist()) <= {-1, *given_labels[kept].tolist()}


@examples(300)
@given(rows_calls())
def test_propagate_rows_answers_or_raises(args):
    before = np.array(args[3], copy=True) if isinstance(args[3], np.ndarray) else None
    got = checked_outcome(knn.propagate_rows, args, outputs=[3])
    if got[0] == "ok":
        sweeps, converged = got[1]
        assert sweeps >= 0 and isinstance(converged, bool)
        assert_labelled(np.asarray(args[3]), before)


@examples(200)
@given(arguments([st.integers(0, 6).flatmap(lambda n: st.lists(
    st.sampled_from([0.0, -0.0, 1.0, math.nan, 2**40]), min_size=2 * n, max_size=2 * n).map(
    lambda v: np.array(v).reshape(-1, 2).astype(np.float64)))]))
def test_repeated_rows_answers_or_raises(args):
    got = checked_outcome(knn.repeated_rows, args)
    if got[0] == "ok" and isinstance(args[0], np.ndarray):
        rows = [tuple(value + 0 for value in row) for row in args[0].tolist()]
        assert got[1] == (len(set(rows)) < len(rows))

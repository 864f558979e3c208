"""propagate_rows, propagate_table and repeated_rows under hostile input: each
call ends in a result or a Python exception, leaves its inputs as they were
(the labels and scores are written on success only), and a table read in
place gives what the same rows give to propagate_rows."""

import math

import numpy as np
from hostile import EDGE_INTS, arguments, checked_outcome, examples
from hypothesis import given
from hypothesis import strategies as st

from velorn.algorithms.src.tolmar.binaries import tolmar_knn as knn



def mostly(good, bad, odds=16):
    """``good``, and ``bad`` once in ``odds`` draws."""
    return st.integers(1, odds).flatmap(lambda k: bad if k == 1 else good)


LABELS = mostly(st.sampled_from([-1, -1, -1, 0, 1, 2]), st.sampled_from([-2, 2**31 - 1]))
DISTANCES = mostly(st.sampled_from([1.0, 0.5, 2.0, 3.0]),
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
    weights = np.array(draw(st.lists(DISTANCES, min_size=len(indices), max_size=len(indices))))
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


@st.composite
def table_calls(draw):
    n = draw(st.integers(0, 6))
    k = draw(st.integers(0, 4))
    table = np.array(draw(st.lists(ids(n), min_size=n * k, max_size=n * k)), np.int64).reshape(n, k)
    if draw(st.booleans()) and k:
        table[:, 0] = np.arange(n)  # each row's own sample first, as a search gives it
    distances = np.array(draw(st.lists(DISTANCES, min_size=n * k, max_size=n * k))).reshape(n, k)
    table = table.astype(draw(st.sampled_from([np.int64, np.int32])))
    with np.errstate(over="ignore"):  # 1e300 as float32: inf
        distances = distances.astype(draw(st.sampled_from([np.float64, np.float32])))
    labels = np.array(draw(st.lists(LABELS, min_size=n, max_size=n)), np.int32)
    scores = draw(st.sampled_from([None, np.zeros((n, 3)), np.zeros((n, 1))]))
    numbers = [st.integers(0, 5), st.integers(0, 9), st.sampled_from([0.0, 0.5])]
    return draw(arguments([st.just(table), st.just(distances), st.just(labels), *numbers, st.just(scores),
                           st.sampled_from([False, True])]))


def table_as_rows(ids, distances, width):
    """The CSR rows propagate_table reads from a table: each row's first
    ``width`` entries besides its own sample, voting 1 / distance**2."""
    rows = [[(int(j), 1.0 / (float(d) * float(d))) for j, d in zip(row_ids, row_distances) if j != i][:width]
            for i, (row_ids, row_distances) in enumerate(zip(ids, distances))]
    indptr = np.cumsum([0] + [len(row) for row in rows]).astype(np.int64)
    indices = np.array([j for row in rows for j, _ in row], np.int64)
    weights = np.array([w for row in rows for _, w in row], np.float64)
    return indptr, indices, weights


@examples(300)
@given(table_calls())
def test_propagate_table_answers_or_raises_as_its_rows_do(args):
    labels = args[2]
    before = np.array(labels, copy=True) if isinstance(labels, np.ndarray) else None
    got = checked_outcome(knn.propagate_table, args, outputs=[2, 6])
    if got[0] != "ok" or got[1] is None:
        if got[0] == "ok":  # None: the labels are left alone
            assert (labels == before).all()
        return
    sweeps, converged, longest = got[1]
    assert_labelled(labels, before)
    plain = before.copy()
    rows = table_as_rows(args[0], args[1], int(args[3]))
    assert knn.propagate_rows(*rows, plain, args[4], args[5]) == (sweeps, converged)
    assert plain.tolist() == labels.tolist()
    assert longest == max(np.diff(rows[0]), default=0)


@examples(200)
@given(arguments([st.integers(0, 6).flatmap(lambda n: st.lists(
    st.sampled_from([0.0, -0.0, 1.0, math.nan, 2**40]), min_size=2 * n, max_size=2 * n).map(
    lambda v: np.array(v).reshape(-1, 2).astype(np.float64)))]))
def test_repeated_rows_answers_or_raises(args):
    got = checked_outcome(knn.repeated_rows, args)
    if got[0] == "ok" and isinstance(args[0], np.ndarray):
        rows = [tuple(value + 0 for value in row) for row in args[0].tolist()]
        assert got[1] == (len(set(rows)) < len(rows))

"""poisson_graph, poisson_solve, poisson_conjugate_gradients, poisson_horizon,
poisson_symmetrised and poisson_parts under hostile input: each call ends in
a result or a Python exception and leaves its inputs as they were (the
solvers write the solution on success only); a symmetrised graph is
(W + W.T) / 2, a solution stays finite."""

import math

import numpy as np
from hostile import EDGE_INTS, arguments, checked_outcome, examples
from hypothesis import given
from hypothesis import strategies as st
from scipy import sparse

from velorn._native import poisson_solver as tp


def mostly(good, bad, odds=16):
    return st.integers(1, odds).flatmap(lambda k: bad if k == 1 else good)


@st.composite
def csr_arrays(draw):
    n = draw(st.integers(0, 6))
    inside = st.integers(0, n - 1) if n else st.sampled_from(EDGE_INTS)
    rows = [draw(st.lists(mostly(inside, st.sampled_from([*EDGE_INTS, n])), max_size=3)) for _ in range(n)]
    indptr = np.cumsum([0] + [len(row) for row in rows]).astype(draw(st.sampled_from([np.int32, np.int64])))
    indices = np.array(sum(rows, []), np.int64)
    if draw(st.booleans()):
        indices = indices.astype(np.int32)  # the edge ids wrap
    weights = draw(st.lists(mostly(st.sampled_from([1.0, 0.5, 2.0]), st.sampled_from([-1.0, math.nan, math.inf])),
                            min_size=len(indices), max_size=len(indices)))
    weights = np.array(weights, draw(st.sampled_from([np.float32, np.float64])))
    return indptr, indices, weights


def dense(indptr, indices, weights):
    n = len(indptr) - 1
    return sparse.csr_matrix((weights.astype(np.float64), indices, indptr), shape=(n, n)).toarray()


@examples(200)
@given(csr_arrays().flatmap(lambda csr: arguments([st.just(a) for a in csr] + [st.integers(1, 3)])))
def test_poisson_symmetrised_answers_or_raises(args):
    got = checked_outcome(tp.poisson_symmetrised, args)
    if got[0] == "ok":
        matrix = dense(*args[:3])
        assert np.allclose(dense(*got[1]), (matrix + matrix.T) / 2)


@st.composite
def graph_calls(draw):
    indptr, indices, weights = draw(csr_arrays())
    n = len(indptr) - 1
    order = draw(st.sampled_from([None, np.arange(n)[::-1].copy(), np.arange(n, dtype=np.int32)]))
    return draw(arguments([st.just(indptr), st.just(indices), st.just(weights), st.just(order), st.integers(1, 3)]))


@examples(200)
@given(graph_calls())
def test_poisson_graph_and_parts_answer_or_raise(args):
    got = checked_outcome(tp.poisson_graph, args)
    if got[0] == "ok":
        parts = tp.poisson_parts(got[1])
        assert parts.dtype == np.int32 and len(parts) == len(args[0]) - 1
        assert all(parts[parts[i]] == parts[i] <= i for i in range(len(parts)))


@st.composite
def solve_calls(draw):
    indptr, indices, weights = draw(csr_arrays())
    n = len(indptr) - 1
    try:
        graph = tp.poisson_graph(indptr, indices, weights)
    except (ValueError, TypeError, IndexError):
        n = 0
        graph = tp.poisson_graph(np.zeros(1, np.int64), np.zeros(0, np.int64), np.zeros(0))
    c = draw(st.integers(1, 3))
    labels = np.array(draw(st.lists(mostly(st.integers(-1, c - 1), st.sampled_from([-2, c, 2**31 - 1])),
                                    min_size=n, max_size=n)), np.int32)
    solution = np.zeros((n, c))
    return draw(arguments([st.just(graph), st.just(labels), st.just(solution), st.integers(0, 20),
                           st.sampled_from([0.0, 1e-3, 1.0]), st.integers(1, 3)]))


@examples(200)
@given(solve_calls())
def test_poisson_solve_answers_or_raises(args):
    got = checked_outcome(tp.poisson_solve, args, outputs=[2])
    if got[0] == "ok":
        assert 0 <= got[1] <= args[3]
        assert np.isfinite(args[2]).all()


@examples(200)
@given(solve_calls())
def test_poisson_conjugate_gradients_answer_or_raise(args):
    # The solve's arguments, the pass count and tolerance read as mass and tolerance.
    graph, labels, solution, iterations, tolerance, n_jobs = args
    args = [graph, labels, solution, tolerance, 1e-6, iterations, n_jobs]
    got = checked_outcome(tp.poisson_conjugate_gradients, args, outputs=[2])
    if got[0] == "ok":
        assert 0 <= got[1][0] <= iterations
        assert np.isfinite(args[2]).all()


@examples(200)
@given(solve_calls())
def test_poisson_horizon_answers_or_raises(args):
    graph, labels, _, steps, tolerance, n_jobs = args
    got = checked_outcome(tp.poisson_horizon, [graph, labels, tolerance, steps, n_jobs])
    if got[0] == "ok":
        assert got[1][0] >= 0 and 0 <= got[1][1] <= steps

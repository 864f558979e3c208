"""The package's own native functions at their entry: Python code that runs in
the middle of a call (a metric, a signal handler between sweeps) cannot make
them read or write memory that moved, long loops can be interrupted, integer
arguments follow operator.index, and odd graphs are refused before use."""

import signal

import numpy as np
import pytest
import scipy.sparse

from velorn import GraphWrapper
from velorn._native.nearest_centroid import nearest_centroid
from velorn._native import class_shifts, label_sweeps, poisson_solver


class Distances:
    """Euclidean distances on one column; ``meddle(X, Y)`` runs at each call."""

    def __init__(self, meddle):
        self.meddle = meddle

    def pairwise(self, X, Y):
        self.meddle()
        return np.abs(X[:, :1] - Y[:, 0])


def test_a_metric_that_rewrites_or_resizes_the_inputs_changes_no_batch():
    # Enough centroids that each batch holds 7 rows: the rows' numbers are
    # read again after pairwise has run, and before the fix past the end.
    centroids = np.arange(2**19, dtype=np.float64)[:, None]
    points = np.array([[3.2], [7.7], [100.4], [5.0]])
    rows = np.array([0, 1, 2, 3] * 4, np.int64)
    expected = nearest_centroid(points.copy(), rows.copy(), centroids, Distances(lambda: None), np.inf)

    def meddle():
        rows[...] = 10**9
        points[...] = -1.0
        points.resize((10**6, 1), refcheck=False)  # frees the memory read so far

    got = nearest_centroid(points, rows, centroids, Distances(meddle), np.inf)
    assert got.tolist() == expected.tolist() == [3, 8, 100, 5] * 4


@pytest.mark.parametrize("distances, expected", [
    ([-np.inf, 2.0, 1.0], 2),
    ([np.inf, -np.inf, np.nan], -1),
    ([-1.0, -np.inf, -1.0], 0),
])
def test_no_infinite_or_nan_distance_wins(distances, expected):
    metric = type("Given", (), {"pairwise": lambda self, X, Y: np.array(distances)[:, None]})()
    assert nearest_centroid(np.zeros((1, 1)), np.zeros(1, np.int64), np.zeros((3, 1)), metric, np.inf) == [expected]


def chain(n):
    """Sample i's row holds i - 1 alone and only sample 0 is labelled: the
    label moves one sample a sweep, so that many sweeps check for signals."""
    labels = np.full(n, -1, np.int32)
    labels[0] = 4
    return np.maximum(np.arange(n) - 1, 0), labels


class SoonInSweeps:
    """A tolerance of 0 that, once read (before the arrays are), has a signal
    handler call ``act`` a millisecond later, in the middle of the sweeps."""

    def __init__(self, act):
        self.act = act

    def __float__(self):
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        return 0.0

    def __enter__(self):
        self.previous = signal.signal(signal.SIGALRM, lambda *_: self.act())
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


def chain_arrays(n=100_000):  # some 10 ms of sweeps
    ids, labels = chain(n)
    return {"indptr": np.arange(n + 1), "indices": ids.astype(np.int32), "weights": np.ones(n), "labels": labels}


@pytest.mark.parametrize("victim", ["indices", "weights", "labels"])
def test_arrays_resized_between_sweeps_are_refused(victim):
    arrays = chain_arrays()
    with SoonInSweeps(lambda: arrays[victim].resize(10**6, refcheck=False)) as tolerance, \
            pytest.raises(ValueError, match="cannot resize"):
        label_sweeps.propagate_rows(*arrays.values(), 10**9, tolerance)
    assert arrays[victim].shape == arrays["weights"].shape and arrays["labels"][1] == -1


@pytest.mark.parametrize("victim, value", [("indices", 10**9), ("indices", -1), ("weights", np.nan), ("weights", -1)])
def test_rows_rewritten_between_sweeps_are_reported(victim, value):
    # The sweeps read the rows where the caller holds them, checking each entry again.
    arrays = chain_arrays()
    scores = np.empty((len(arrays["labels"]), 5))
    with SoonInSweeps(lambda: arrays[victim].fill(value)) as tolerance, \
            pytest.raises(RuntimeError, match="indices or weights changed during the call"):
        label_sweeps.propagate_rows(*arrays.values(), 10**9, tolerance, scores)


def test_class_shifts_can_be_interrupted():
    def handler(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.01)
    shifts = np.zeros(2)
    try:
        with pytest.raises(KeyboardInterrupt):
            class_shifts.class_shifts(np.zeros((1024, 2)), np.full(2, 0.5), shifts, 0.1, 2**62)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert shifts.tolist() == [0.0, 0.0]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def integer_calls(number):
    graph = poisson_solver.poisson_graph(np.array([0, 1, 2]), np.array([1, 0]), np.ones(2))
    one, labels = np.array([0, 1, 2, 3]), np.array([0, -1, -1], np.int32)
    return [
        lambda: label_sweeps.propagate_rows(one, np.array([1, 0, 1]), np.ones(3), labels.copy(), number, 0.0),
        lambda: poisson_solver.poisson_graph(np.array([0, 1, 2]), np.array([1, 0]), np.ones(2), None, number),
        lambda: poisson_solver.poisson_symmetrised(np.array([0, 1, 2]), np.array([1, 0]), np.ones(2), number),
        lambda: poisson_solver.poisson_solve(graph, labels[:2], np.zeros((2, 1)), number, 0.0, 1),
        lambda: poisson_solver.poisson_solve(graph, labels[:2], np.zeros((2, 1)), 3, 0.0, number),
        lambda: class_shifts.class_shifts(np.zeros((2, 2)), np.full(2, 0.5), np.zeros(2), 0.1, number),
    ]


@pytest.mark.parametrize("k", range(6))
def test_integer_arguments_follow_operator_index(k):
    integer_calls(Index(2))[k]()
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        integer_calls(2.9)[k]()


class Shape:
    """A matrix whose tocsr() gives itself, with any shape."""

    def __init__(self, shape):
        self.shape = shape
        self.indptr, self.indices, self.data = np.zeros(1, np.int64), np.zeros(0, np.int64), np.zeros(0)

    def tocsr(self):
        return self


@pytest.mark.parametrize("shape, error, message", [
    ((-1, -1), ValueError, "the matrix's shape (-1, -1) is negative"),
    ([1, 1], TypeError, "the matrix's shape must be a tuple of two sizes, got list"),
    ("ab", TypeError, "the matrix's shape must be a tuple of two sizes, got str"),
    ((1.0, 1.0), TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_from_csr_refuses_odd_shapes(shape, error, message):
    with pytest.raises(error) as info:
        GraphWrapper.from_csr(Shape(shape))
    assert message in str(info.value)


def test_from_knn_refuses_unsigned_ids_beyond_int64():
    with pytest.raises(OverflowError, match="id 18446744073709551615 of the table lies beyond int64"):
        GraphWrapper.from_knn(np.array([[0, 2**64 - 1]], np.uint64))
    rows = GraphWrapper.from_knn(np.array([[1, 2**63 - 1]], np.uint64))
    assert rows.to_numpy(0).tolist() == [1, 2**63 - 1]
    assert GraphWrapper.from_csr(scipy.sparse.csr_array(np.eye(2)))[0].to_numpy(1).tolist() == [1]


@pytest.mark.filterwarnings("error")  # the complex ids' cast warns: an error, were NumPy called with one pending
def test_from_csr_stops_at_the_first_array_refused():
    matrix = Shape((0, 0))
    matrix.indptr, matrix.indices = np.array(0), np.zeros(0, np.complex64)
    with pytest.raises(ValueError, match="object of too small depth"):
        GraphWrapper.from_csr(matrix)

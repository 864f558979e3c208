"""Ten thousand calls of each kernel, on success and on each error path, leave
the reference counts of the argument objects as they were and memory flat:
the Python heap (tracemalloc), the bytes malloc has handed out, and the
anonymous memory of the process.

Memory is read after a warm-up and after each of two equal batches of calls.
Caches, free lists and the allocator's own tables grow now and then by a few
kilobytes, once; a leak grows memory in every batch, by at least as much as it
leaks per call times the calls. So a measure fails only when it grew by more
than its bound in both batches.
"""

import ctypes
import gc
import sys
import tracemalloc
import types

import numpy as np
import pytest

from examples import rows_container
from velorn import GraphWrapper
from velorn.algorithms.src.tolmar.binaries import tolmar_lp as lp
from velorn.algorithms.src.tolmar.binaries import tolmar_connect as tc
from velorn.algorithms.src.kelvo.binaries import kelvo_postprocess as kp
from velorn._native.nearest_centroid import nearest_centroid
from velorn._native import class_shifts, label_sweeps, poisson_solver

# The address sanitizer's run is there for memory errors, not for the figures:
# it makes fewer calls, each several times slower. With Python allocating
# through malloc there, the interpreter's and NumPy's caches take some two
# thousand calls to fill, so it warms up for longer.
SANITIZED = "libasan" in open("/proc/self/maps").read()
BATCH = 1_000 if SANITIZED else 5_000
WARM_UP = 2_000 if SANITIZED else 200
# The least a leak can cost per call: a Python object takes 16 bytes or more
# of the traced heap, a native allocation 32 bytes or more of malloc's. Eight
# bytes a call bound each batch's growth, so one object leaked per call
# exceeds the bound by tens of kilobytes in every batch. Anonymous memory grows in pages, and only
# when malloc runs out of those it holds already: it shows large leaks only.
# The address sanitizer keeps freed memory in quarantine: neither malloc's
# figures nor anonymous memory mean anything there, and only the traced heap
# and reference counts are checked.
BOUNDS = {"traced heap": 8 * BATCH}
if not SANITIZED:
    BOUNDS |= {"malloc": 8 * BATCH, "anonymous memory": 256 * 1024}


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def malloc_bytes():
    """Bytes that glibc's malloc has handed out and not had back, or 0 elsewhere."""
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return 0
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def anonymous_bytes():
    """Resident memory not backed by a file: library pages that the system
    drops and reads in again as memory runs short are left out."""
    with open("/proc/self/status") as status:
        [kilobytes] = [line.split()[1] for line in status if line.startswith("RssAnon:")]
    return int(kilobytes) * 1024


def footprint():
    gc.collect()
    readings = {"traced heap": tracemalloc.get_traced_memory()[0]}
    if not SANITIZED:
        readings |= {"malloc": malloc_bytes(), "anonymous memory": anonymous_bytes()}
    return readings


class Case:
    """``function(*args, **kwargs)`` ending in ``error`` (None: success);
    ``watched`` are the objects whose reference counts must stay put."""

    def __init__(self, name, function, args, kwargs=None, error=None, reset=None, watched=()):
        self.name, self.function, self.args, self.kwargs = name, function, args, kwargs or {}
        self.error, self.reset = error, reset
        self.watched = [*args, *(self.kwargs.values()), *watched]

    def call(self):
        if self.reset:
            self.reset()
        if self.error is None:
            self.function(*self.args, **self.kwargs)
            return
        try:
            self.function(*self.args, **self.kwargs)
        except self.error:
            return
        raise AssertionError(f"{self.name}: no {self.error.__name__}")


class Stub:
    """A container that holds nothing: every edge is missing, so every call appends."""

    def contains(self, i, j):
        return False

    def append(self, i, value):
        return None


class Raising:
    def __getattr__(self, name):
        def method(*args):
            raise RuntimeError(name)

        return method


class Rows:
    def __init__(self, row):
        self.row = row

    def to_numpy(self, i):
        return self.row


class FastMetric:
    """Every distance 0, without scikit-learn's input checks, which would take
    most of the time here; the kernel's side of the calls is the same."""

    def pairwise(self, X, Y):
        return np.zeros((len(X), len(Y)))


def metric_module(metric=None, get_metric=None):
    return types.SimpleNamespace(get_metric=get_metric or (lambda *args, **kwargs: metric))


def propagation_cases():
    propagate = lp.weighted_label_propagation
    # A path 0-1-2-3 labelled at 3 and a node 4 without neighbours, which
    # stays unlabelled: every sweep reads rows.
    ids = rows_container([[1], [0, 2], [1, 3], [2], []], np.int64)
    weights = rows_container([[1.0], [1.0, 1.0], [1.0, 1.0], [1.0], []], np.float32)
    initial = np.array([-1, -1, -1, 5, -1], np.int32)
    labels = initial.copy()

    def fresh():
        labels[...] = initial

    one = np.array([-1, 3], np.int32)
    good_row, good_weights = np.array([1], np.int64), np.ones(1, np.float32)
    read_only = initial.copy()
    read_only.flags.writeable = False
    odd_np = types.SimpleNamespace(zeros=np.zeros, float64=np.float64, asarray=lambda x: [x])
    return [
        Case("labels propagated", propagate, (ids, weights, labels), reset=fresh),
        Case("binding refused", propagate, (ids, weights), {"max_iter": 2}, error=TypeError),
        Case("labels of the wrong dtype", propagate, (ids, weights, initial.astype(np.int64)), error=ValueError),
        Case("read-only labels", propagate, (ids, weights, read_only), error=ValueError),
        Case("negative sweep limit", propagate, (ids, weights, labels, -1), error=OverflowError),
        Case("tolerance not a number", propagate, (ids, weights, labels, 5, "x"), error=TypeError),
        Case("to_numpy raises", propagate, (Raising(), weights, one), error=RuntimeError),
        Case("row not an array", propagate, (Rows([1]), Rows(good_weights), one), error=TypeError),
        Case("row of the wrong dtype", propagate, (Rows(good_row.astype(np.int32)), Rows(good_weights), one),
             error=ValueError),
        Case("row of two dimensions", propagate, (Rows(good_row[None]), Rows(good_weights), one), error=ValueError),
        Case("neighbour out of range", propagate, (Rows(good_row + 2**32), Rows(good_weights), one), error=IndexError),
        Case("weight row too short", propagate, (Rows(good_row), Rows(good_weights[:0]), one), error=ValueError),
        Case("result not an array", lambda *a: with_globals(lp, {"np": odd_np}, propagate, *a),
             (ids, weights, labels), reset=fresh, error=TypeError),
    ]


def with_globals(module, values, function, *args):
    saved = {name: getattr(module, name) for name in values}
    vars(module).update(values)
    try:
        return function(*args)
    finally:
        vars(module).update(saved)


def connection_cases():
    connect = tc.connect_unlabeled
    knn = np.array([[1, 2], [0, 2], [0, 1], [2, 1]], np.int64)
    knn_weights = np.array([[0.5, 1.5], [1.0, 2.0], [0.25, 3.0], [4.0, 0.5]], np.float32)
    components = [([0], True), ([1], False), ([2, 3], False)]
    labels = np.array([1, 0, 0, 0], np.uint8)
    stub = Stub()

    def with_components(value):
        return (knn, knn_weights, value, labels, stub, stub)

    return [
        Case("connected", connect, with_components(components)),
        Case("no progress", connect, with_components([([0], True)]), error=SystemError),
        Case("binding refused", connect, with_components(components)[:5], error=TypeError),
        Case("components not a list", connect, with_components(tuple(components)), error=TypeError),
        Case("labels of the wrong dtype", connect, (knn, knn_weights, components, labels.view(np.int8), stub, stub),
             error=ValueError),
        Case("labels None", connect, (knn, knn_weights, components, None, stub, stub), error=AttributeError),
        Case("node list not a list", connect, with_components([((1,), False)]), error=TypeError),
        Case("node id not a number", connect, with_components([(["1"], False)]), error=TypeError),
        Case("node id out of range", connect, with_components([([7], False)]), error=IndexError),
        Case("neighbour out of range", connect, (knn + 2**32, knn_weights, components, labels, stub, stub),
             error=IndexError),
        Case("row of the wrong dtype", connect, (knn.astype(np.int32), knn_weights, components, labels, stub, stub),
             error=ValueError),
        Case("weight row too short", connect, (knn, knn_weights[:, :1], components, labels, stub, stub),
             error=ValueError),
        Case("table without the row", connect, (knn[:1], knn_weights, components, labels, stub, stub),
             error=IndexError),
        Case("contains raises", connect, (knn, knn_weights, components, labels, Raising(), stub), error=RuntimeError),
        Case("weights append raises", connect, (knn, knn_weights, components, labels, stub, Raising()),
             error=RuntimeError),
    ]


def postprocessing_cases():
    post = kp.kelvo_postprocess
    points = np.array([[0, 0], [1, 0], [9, 0], [10, 0], [4, 0], [6, 0]], np.float64)
    labels = np.array([0, 0, 1, 1, -1, -1], np.int32)
    fast = metric_module(FastMetric())

    class OddCopy(np.ndarray):
        def copy(self):
            return [0]

    def raising_metric(*args, **kwargs):
        raise ValueError("no such metric")

    def patched(names, function=post):
        return lambda *a, **k: with_globals(kp, names, function, *a, **k)

    wrong_shape = types.SimpleNamespace(pairwise=lambda X, Y: np.zeros((len(Y) + 1, len(X))))
    failing = types.SimpleNamespace(pairwise=lambda X, Y: 1 / 0)
    odd_np = types.SimpleNamespace(array=np.array, mean=lambda rows, axis: [0.0, 0.0])
    return [
        Case("relabelled", patched({"DistanceMetric": fast}), (points, labels), watched=[fast.get_metric]),
        Case("binding refused", post, (points,), error=TypeError),
        Case("points of the wrong dtype", post, (points.astype(np.float32), labels), error=ValueError),
        Case("p not a number", post, (points, labels), {"p": "x"}, error=TypeError),
        Case("threshold too large", post, (points, labels), {"threshold": 2**31}, error=OverflowError),
        Case("labels not an array", post, (points, labels.tolist()), error=TypeError),
        Case("metric not a str", post, (points, labels), {"metric": type("Str", (str,), {})("x")}, error=TypeError),
        Case("labels of the wrong dtype", post, (points, labels.astype(np.int64)), error=ValueError),
        Case("label count mismatch", post, (points, labels[:5]), error=ValueError),
        Case("copy not an array", post, (points, labels.view(OddCopy)), error=TypeError),
        Case("no points with a cluster", post, (None, labels), error=IndexError),
        Case("metric refused", patched({"DistanceMetric": metric_module(get_metric=raising_metric)}),
             (points, labels), error=ValueError),
        Case("pairwise raises", patched({"DistanceMetric": metric_module(failing)}), (points, labels),
             error=ZeroDivisionError),
        Case("pairwise of the wrong shape", patched({"DistanceMetric": metric_module(wrong_shape)}),
             (points, labels), error=ValueError),
        Case("mean not an array", patched({"DistanceMetric": fast, "np": odd_np}), (points, labels), error=TypeError),
    ]


def graph_wrapper_cases():
    table = np.array([[1, 2], [0, 2], [0, 1]], np.int64)
    graph = GraphWrapper.from_knn(table)
    grown = GraphWrapper.from_knn(table)
    grown.append(0, 1)
    weights = GraphWrapper.from_knn(table.astype(np.float32))
    weights.append(0, 0.5)

    def grow_afresh(g, value):
        g.__init__(table.astype(g.dtype))  # drops the rows grown by the call before
        g.append(0, value)
        g.append(0, value)
        return g.to_numpy(0)

    def restore(g, state):
        g.__init__(table)
        g.__setstate__(state)

    return [
        Case("table row", graph.to_numpy, (1,)),
        Case("merged row", grown.to_numpy, (0,)),
        Case("contains", grown.contains, (0, 1)),
        Case("appends and merged row", grow_afresh, (graph, 2)),
        Case("weight appends", grow_afresh, (GraphWrapper.empty(3, np.float32), 0.5)),
        Case("row out of range", graph.to_numpy, (3,), error=IndexError),
        Case("row not an integer", graph.contains, (0.5, 1), error=IndexError),
        Case("id out of range", graph.append, (0, 2**70), error=IndexError),
        Case("id not an integer", graph.append, (0, 1.5), error=TypeError),
        Case("from_knn", GraphWrapper.from_knn, (table[:, :1],)),
        Case("from_knn refused", GraphWrapper.from_knn, (table.astype(bool),), error=TypeError),
        Case("empty", GraphWrapper.empty, (3, np.float32)),
        # __reduce__ and __setstate__ themselves: NumPy's unpickling of the
        # arrays keeps caches of its own that would blur the figures.
        Case("reduced for pickling", grown.__reduce__, ()),
        Case("state restored", restore, (GraphWrapper.empty(3, np.int64), grown.__reduce__()[2])),
        Case("state refused", GraphWrapper.empty(2, np.int64).__setstate__, ((0, 1),), error=ValueError),
        # Refused once its arrays are built (scipy's own caches would blur the
        # figures of a successful call).
        Case("to_csr refused", GraphWrapper(table + 5).to_csr, (weights,), error=ValueError),
    ]


def own_function_cases():
    """The package's own native functions, each on success and on the error
    paths that hold something: arrays held in place, copies, a graph."""
    indptr, ids, weights = np.array([0, 1, 2, 3]), np.array([1, 0, 1]), np.ones(3)
    labels = np.array([0, -1, -1], np.int32)
    distances = np.array([[0.0, 1.0], [0.0, 2.0], [0.0, 0.5]])
    graph = poisson_solver.poisson_graph(indptr, ids, weights)
    solution = np.zeros((3, 2))
    points, rows, centroids = np.array([[0.0], [2.0], [5.0]]), np.array([2, 0, 1]), np.array([[0.0], [4.0]])
    fast = FastMetric()
    failing = types.SimpleNamespace(pairwise=lambda X, Y: 1 / 0)
    shares, shifts = np.full(2, 0.5), np.zeros(2)
    rows_call = label_sweeps.propagate_rows
    return [
        Case("propagate_rows", rows_call, (indptr, ids, weights, labels, 5, 0.0)),
        Case("propagate_rows, id out of range", rows_call, (indptr, ids + 5, weights, labels, 5, 0.0),
             error=IndexError),
        Case("propagate_rows, float count", rows_call, (indptr, ids, weights, labels, 2.5, 0.0), error=TypeError),
        Case("propagate_rows, scores", rows_call, (indptr, ids, weights, labels, 5, 0.0, np.zeros((3, 4)))),
        Case("propagate_rows, scores too narrow", rows_call, (indptr, ids, weights, labels, 5, 0.0, np.zeros((3, 0))),
             error=ValueError),
        Case("repeated_rows", label_sweeps.repeated_rows, (distances,)),
        Case("poisson_graph", poisson_solver.poisson_graph, (indptr, ids, weights, np.array([2, 0, 1]), 2)),
        Case("poisson_graph, not a permutation", poisson_solver.poisson_graph, (indptr, ids, weights, ids),
             error=ValueError),
        Case("poisson_symmetrised", poisson_solver.poisson_symmetrised, (indptr, ids, weights, 2)),
        Case("poisson_parts", poisson_solver.poisson_parts, (graph,)),
        Case("poisson_solve", poisson_solver.poisson_solve, (graph, labels, solution, 3, 0.1, 1)),
        Case("poisson_solve, label out of range", poisson_solver.poisson_solve,
             (graph, labels + 2, solution, 3, 0.1, 1), error=ValueError),
        Case("poisson_conjugate_gradients", poisson_solver.poisson_conjugate_gradients,
             (graph, labels, solution, 0.1, 1e-6, 3, 2)),
        Case("poisson_conjugate_gradients, mass negative", poisson_solver.poisson_conjugate_gradients,
             (graph, labels, solution, -1.0, 1e-6, 3, 2), error=ValueError),
        Case("poisson_conjugate_gradients, shifted", poisson_solver.poisson_conjugate_gradients,
             (graph, labels, solution, 0.1, 1e-6, 3, 2, solution.copy(), 0.3)),
        Case("poisson_conjugate_gradients, shifted mass not above", poisson_solver.poisson_conjugate_gradients,
             (graph, labels, solution, 0.1, 1e-6, 3, 2, solution.copy(), 0.1), error=ValueError),
        Case("poisson_conjugate_gradients, shifted too narrow", poisson_solver.poisson_conjugate_gradients,
             (graph, labels, solution, 0.1, 1e-6, 3, 2, solution[:, :1].copy(), 0.3), error=ValueError),
        Case("poisson_horizon", poisson_solver.poisson_horizon, (graph, labels, 1.0, 20, 2)),
        Case("class_shifts", class_shifts.class_shifts, (solution, shares, shifts, 0.1, 3)),
        Case("class_shifts, prior not finite", class_shifts.class_shifts, (solution, np.array([np.inf, 0.5]), shifts, 0.1, 3),
             error=ValueError),
        Case("shifted_argmax", class_shifts.shifted_argmax, (solution, shifts)),
        Case("nearest_centroid", nearest_centroid, (points, rows, centroids, fast, 1.0)),
        Case("nearest_centroid, row out of range", nearest_centroid, (points, rows + 1, centroids, fast, 1.0),
             error=IndexError),
        Case("nearest_centroid, pairwise raises", nearest_centroid, (points, rows, centroids, failing, 1.0),
             error=ZeroDivisionError),
        Case("from_csr, negative shape", GraphWrapper.from_csr, (types.SimpleNamespace(
            tocsr=lambda: types.SimpleNamespace(shape=(-1, -1), indptr=ids, indices=ids, data=weights)),),
            error=ValueError),
        Case("from_knn, id beyond int64", GraphWrapper.from_knn, (np.array([[2**64 - 1]], np.uint64),),
             error=OverflowError),
    ]


CASES = [
    *[pytest.param(case, id="weighted_label_propagation: " + case.name) for case in propagation_cases()],
    *[pytest.param(case, id="connect_unlabeled: " + case.name) for case in connection_cases()],
    *[pytest.param(case, id="kelvo_postprocess: " + case.name) for case in postprocessing_cases()],
    *[pytest.param(case, id="GraphWrapper: " + case.name) for case in graph_wrapper_cases()],
    *[pytest.param(case, id="own: " + case.name) for case in own_function_cases()],
]


@pytest.mark.parametrize("case", CASES)
def test_ten_thousand_calls_leak_nothing(case):
    # Traced from the start: objects that caches and free lists keep from the
    # warm-up would otherwise be replaced by traced ones and look like growth.
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):  # caches, interned names and free lists settle first
            case.call()
        readings = [footprint()]
        references = [sys.getrefcount(obj) for obj in case.watched]
        for _ in range(2):
            for _ in range(BATCH):
                case.call()
            readings.append(footprint())
    finally:
        tracemalloc.stop()

    assert [sys.getrefcount(obj) for obj in case.watched] == references
    for measure, bound in BOUNDS.items():
        growth = [after[measure] - before[measure] for before, after in zip(readings, readings[1:])]
        assert min(growth) < bound, f"{measure} grew by {growth} bytes in batches of {BATCH} calls"

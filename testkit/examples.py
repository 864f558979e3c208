"""Worked examples of the three kernels, as data plus expected outcome.

The same examples run against the plain-Python versions in ``reference.py``
and against the native modules: every ``check_*`` helper takes the function
under test as its first argument, e.g.

    @pytest.mark.parametrize("example", PROPAGATION_EXAMPLES, ids=example_id)
    def test_propagation(example):
        check_propagation_example(weighted_label_propagation, example)
"""

import math
import sys
from dataclasses import dataclass, field

import numpy as np
import pytest

from reference import RecordingContainer
from velorn import GraphWrapper

NAN = math.nan


def run_interleaved(threads):
    """Start the threads and wait for them, switching between them as often
    as the interpreter can, so that their calls interleave."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)


def example_id(example):
    return example.name


def rows_container(rows, dtype):
    """A GraphWrapper whose row i holds ``rows[i]``."""
    container = GraphWrapper.empty(len(rows), dtype)
    for i, row in enumerate(rows):
        for value in row:
            container.append(i, value)
    return container


def container_rows(container):
    return [container.to_numpy(i).tolist() for i in range(len(container))]


# --- weighted label propagation -------------------------------------------------


@dataclass(frozen=True)
class PropagationExample:
    name: str
    rows: list  # neighbour ids of each node
    row_weights: list  # edge weights, parallel to rows
    labels: list  # on entry; -1 = unlabelled
    expected: list  # labels after the call
    # Node ids passed to to_numpy, in call order, over all sweeps (None: not checked).
    expected_visits: list | None = None
    max_iterations: int | None = None
    tolerance: float | None = None


PATH_ROWS = [[1], [0, 2], [1, 3], [2]]
PATH_WEIGHTS = [[1.0], [1.0, 1.0], [1.0, 1.0], [1.0]]
STAR_ROWS = [[1, 2, 3], [0], [0], [0]]  # node 0 sees nodes 1, 2, 3 in that order


def _star(weights_of_node_0, labels, expected, name):
    return PropagationExample(name, STAR_ROWS, [weights_of_node_0, [1.0], [1.0], [1.0]], labels, expected)


PROPAGATION_EXAMPLES = [
    PropagationExample("no nodes", [], [], [], [], expected_visits=[]),
    PropagationExample("all labelled on entry", [[1], [0]], [[1.0], [1.0]], [3, 4], [3, 4], expected_visits=[]),
    PropagationExample(
        "path labelled at the start: one sweep labels all",
        PATH_ROWS, PATH_WEIGHTS, [5, -1, -1, -1], [5, 5, 5, 5], expected_visits=[1, 2, 3],
    ),
    PropagationExample(
        "path labelled at the end: one node per sweep",
        PATH_ROWS, PATH_WEIGHTS, [-1, -1, -1, 5], [5, 5, 5, 5], expected_visits=[0, 1, 2, 0, 1, 0],
    ),
    PropagationExample(
        "sweep limit stops the path half way",
        PATH_ROWS, PATH_WEIGHTS, [-1, -1, -1, 5], [-1, 5, 5, 5], expected_visits=[0, 1, 2, 0, 1], max_iterations=2,
    ),
    PropagationExample(
        "no sweeps", PATH_ROWS, PATH_WEIGHTS, [-1, -1, -1, 5], [-1, -1, -1, 5], expected_visits=[], max_iterations=0,
    ),
    PropagationExample("empty row stays unlabelled", [[]], [[]], [-1], [-1], expected_visits=[0, 0]),
    PropagationExample(
        "unlabelled neighbours only", [[1], [0]], [[1.0], [1.0]], [-1, -1], [-1, -1], expected_visits=[0, 1, 0, 1],
    ),
    *[
        PropagationExample(
            f"tolerance {tolerance} runs every sweep",
            [[]], [[]], [-1], [-1], expected_visits=[0] * 7, max_iterations=7, tolerance=tolerance,
        )
        for tolerance in (0.0, -1.0, NAN)
    ],
    # An unlabelled node adds exactly 1.0 to the first sweep's largest change.
    PropagationExample(
        "change equal to the tolerance does not stop", [[]], [[]], [-1], [-1], expected_visits=[0, 0], tolerance=1.0,
    ),
    PropagationExample(
        "change below the tolerance stops", [[]], [[]], [-1], [-1], expected_visits=[0], tolerance=1.5,
    ),
    # Node 1 is labelled with score 1e-4 and node 0 stays unlabelled: the run
    # stops after one sweep under tolerance 1.5 ...
    PropagationExample(
        "small winning score adds little to the change",
        [[1], [2], [1]], [[1.0], [100.0], [1.0]], [-1, -1, 5], [-1, 5, 5], expected_visits=[0, 1], tolerance=1.5,
    ),
    # ... while a score of 4.0 asks for another sweep, which labels node 0.
    PropagationExample(
        "large winning score asks for another sweep",
        [[1], [2], [1]], [[1.0], [0.5], [1.0]], [-1, -1, 5], [5, 5, 5], expected_visits=[0, 1, 0], tolerance=1.5,
    ),
    _star([2.0, 2.0, 2.0], [-1, 7, 3, 3], [3, 7, 3, 3], "scores add up per label"),
    _star([1.0, 1.0, 1.0], [-1, 7, 3, 9], [7, 7, 3, 9], "tie goes to the first label in row order"),
    _star([1.0, 1.0, 1.0], [-1, 3, 7, 9], [3, 3, 7, 9], "tie goes to the first label, not the smallest"),
    _star([2.0, 2.0, 1.0], [-1, 2, 2, 1], [1, 2, 2, 1], "one close neighbour beats two far ones"),
    _star([0.0, 0.0, 1.0], [-1, 4, 9, 1], [4, 4, 9, 1], "zero weights tie at infinity: first wins"),
    _star([1e-3, 0.0, 1e-3], [-1, 9, 4, 9], [4, 9, 4, 9], "zero weight beats any finite weight"),
    _star([2.0, -1.0, 2.0], [-1, 4, 9, 6], [9, 4, 9, 6], "negative weight counts as its absolute value"),
    _star([NAN, 1.0, 1.0], [-1, 3, 5, 6], [5, 3, 5, 6], "NaN score never wins"),
    _star([1.0, NAN, 4.0], [-1, 3, 3, 5], [5, 3, 3, 5], "NaN poisons the label's whole sum"),
    PropagationExample(
        "all scores NaN: stays unlabelled", [[1], [0]], [[NAN], [1.0]], [-1, 3], [-1, 3], expected_visits=[0, 0],
    ),
    PropagationExample("-2 is an ordinary label", [[1], [0]], [[1.0], [1.0]], [-2, -1], [-2, -2]),
    PropagationExample(
        "unlabelled neighbours are skipped",
        [[1, 2], [0], [0]], [[1.0, 1.0], [1.0], [1.0]], [-1, -1, 8], [8, 8, 8], expected_visits=[0, 1],
    ),
]


def check_propagation_example(weighted_label_propagation, example):
    connections = RecordingContainer(rows_container(example.rows, np.int64))
    weights = RecordingContainer(rows_container(example.row_weights, np.float32))
    labels = np.array(example.labels, dtype=np.int32)
    options = {}
    if example.max_iterations is not None:
        options["max_iterations"] = example.max_iterations
    if example.tolerance is not None:
        options["tolerance"] = example.tolerance

    result = weighted_label_propagation(connections, weights, labels, **options)

    assert result.tolist() == example.expected
    assert labels.tolist() == example.expected, "labels are written in place"
    assert result.dtype == np.int32
    if labels.size:
        assert np.shares_memory(result, labels)
    visits = [args[0] for method, args in connections.calls if method == "to_numpy"]
    assert len(visits) == len(connections.calls), "only to_numpy is called"
    assert weights.calls == connections.calls, "each connections row is followed by its weights row"
    if example.expected_visits is not None:
        assert visits == example.expected_visits


# --- connecting unlabelled components ---------------------------------------------


@dataclass(frozen=True)
class ConnectExample:
    name: str
    knn_rows: list  # k-nearest-neighbour ids, one row per node
    knn_row_weights: list
    components: list  # (node ids, labelled flag) pairs
    component_label: list  # uint8 flag per node
    expected_rows: list  # connections rows after the call
    expected_row_weights: list  # weights rows after the call
    initial_rows: list | None = None  # edges present before the call (default: none)
    initial_row_weights: list | None = None
    raises_no_progress: bool = False
    expected_connection_calls: list | None = None  # (method, args) on connections


def _empty_rows(n):
    return [[] for _ in range(n)]


CONNECT_EXAMPLES = [
    ConnectExample(
        "everything labelled: no container calls",
        [[1], [0]], [[1.0], [1.0]], [([0, 1], True)], [1, 1],
        _empty_rows(2), _empty_rows(2), expected_connection_calls=[],
    ),
    ConnectExample(
        "no components while a node is unreached",
        [[1], [0]], [[1.0], [1.0]], [], [1, 0],
        _empty_rows(2), _empty_rows(2), raises_no_progress=True, expected_connection_calls=[],
    ),
    ConnectExample("no nodes and no components", [], [], [], [], [], [], expected_connection_calls=[]),
    # Node 2, the second of the component, has labelled node 0 at position 3.
    ConnectExample(
        "stage 1 attaches the whole component through its second node",
        knn_rows=[[4, 5, 6, 1], [2, 3, 2, 3], [1, 3, 1, 0], [1, 2, 1, 2], [0, 5, 6, 0], [0, 4, 6, 0], [0, 4, 5, 0]],
        knn_row_weights=[[1.0] * 4, [0.1, 0.2, 0.3, 0.4], [0.5, 0.25, 0.75, 1.5], [1.0] * 4,
                         [1.0] * 4, [1.0] * 4, [1.0] * 4],
        components=[([0, 4, 5, 6], True), ([1, 2, 3], False)],
        component_label=[1, 0, 0, 0, 1, 1, 1],
        expected_rows=[[2], [], [0], [], [], [], []],
        expected_row_weights=[[1.5], [], [1.5], [], [], [], []],
        expected_connection_calls=[
            ("contains", (2, 0)), ("append", (2, 0)), ("contains", (0, 2)), ("append", (0, 2)),
        ],
    ),
    ConnectExample(
        "the node itself never qualifies",
        [[1, 1], [1, 0]], [[1.0, 1.0], [0.0, 2.0]], [([0], True), ([1], False)], [1, 0],
        [[1], [0]], [[2.0], [2.0]],
    ),
    # Node 2 reaches node 1 only in stage 2, and that edge is already there.
    ConnectExample(
        "edge present both ways: no append, still counts as attached",
        [[1, 1], [0, 0], [1, 1]], [[1.0, 1.0], [3.0, 3.0], [5.0, 5.0]],
        [([0], True), ([1], False), ([2], False)], [1, 0, 0],
        expected_rows=[[1], [2, 0], [1]], expected_row_weights=[[3.0], [9.0, 3.0], [9.0]],
        initial_rows=[[], [2], [1]], initial_row_weights=[[], [9.0], [9.0]],
        expected_connection_calls=[
            ("contains", (1, 0)), ("append", (1, 0)), ("contains", (0, 1)), ("append", (0, 1)),
            ("contains", (2, 1)), ("contains", (1, 2)),
        ],
    ),
    ConnectExample(
        "edge present one way: only the other is added",
        [[1], [0]], [[1.0], [2.0]], [([0], True), ([1], False)], [1, 0],
        expected_rows=[[1], [0]], expected_row_weights=[[9.0], [2.0]],
        initial_rows=[[1], []], initial_row_weights=[[9.0], []],
    ),
    *[
        ConnectExample(
            f"B reaches only A: B joins in stage 2, one node per pass ({order})",
            knn_rows=[[3, 4], [4, 3], [3, 4], [0, 1], [3, 2]],
            knn_row_weights=[[1.0, 1.0], [1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [7.0, 8.0]],
            components=components,
            component_label=[1, 0, 0, 0, 0],
            expected_rows=[[3], [4], [3], [0, 2], [1]],
            expected_row_weights=[[5.0], [1.0], [3.0], [5.0, 3.0], [1.0]],
        )
        for order, components in [
            ("B listed first", [([1, 2], False), ([3, 4], False), ([0], True)]),
            ("A listed first", [([3, 4], False), ([1, 2], False), ([0], True)]),
        ]
    ],
    ConnectExample(
        "component without nodes is skipped",
        [[1], [0]], [[1.0], [2.0]], [([0], True), ([], False), ([1], False), ([], False)], [1, 0],
        [[1], [0]], [[2.0], [2.0]],
    ),
    # Only node 3's row holds node 1, reached in stage 1; 2 then 4 follow.
    ConnectExample(
        "stage 2 grows a component from its middle node",
        knn_rows=[[1, 1], [0, 0], [3, 4], [4, 1], [2, 3]],
        knn_row_weights=[[1.0, 1.0], [1.0, 1.0], [2.0, 2.5], [3.0, 3.5], [4.0, 4.5]],
        components=[([0], True), ([1], False), ([2, 3, 4], False)],
        component_label=[1, 0, 0, 0, 0],
        expected_rows=[[1], [0, 3], [3, 4], [1, 2], [2]],
        expected_row_weights=[[1.0], [1.0, 3.5], [2.0, 4.0], [3.5, 2.0], [4.0]],
    ),
    # In the first pass [1, 2] makes progress, so [3, 4] is left after node 3
    # (no reached entry yet), although node 4 could attach to node 5 already.
    ConnectExample(
        "after progress a component is left at its first unreached node",
        knn_rows=[[5, 5], [5, 5], [1, 5], [4, 2], [5, 3], [0, 0]],
        knn_row_weights=[[1.0, 1.0], [1.5, 1.5], [2.0, 2.0], [3.0, 3.25], [4.0, 4.25], [0.5, 0.5]],
        components=[([0], True), ([5], False), ([1, 2], False), ([3, 4], False)],
        component_label=[1, 0, 0, 0, 0, 0],
        expected_rows=[[5], [5, 2], [1, 3], [2], [5], [0, 1, 4]],
        expected_row_weights=[[0.5], [1.5, 2.0], [2.0, 3.25], [3.25], [4.0], [0.5, 1.5, 4.0]],
    ),
    # Node 2, attached in the first pass, is already reached when [4] is
    # examined later in that pass; node 3 follows in the second pass.
    ConnectExample(
        "node attached earlier in a pass serves later components",
        knn_rows=[[1, 1], [0, 0], [1, 1], [2, 2], [2, 2]],
        knn_row_weights=[[1.0, 1.0], [1.0, 1.0], [2.0, 2.0], [3.0, 3.0], [4.0, 4.0]],
        components=[([0], True), ([1], False), ([2, 3], False), ([4], False)],
        component_label=[1, 0, 0, 0, 0],
        expected_rows=[[1], [0, 2], [1, 4, 3], [2], [2]],
        expected_row_weights=[[1.0], [1.0, 2.0], [2.0, 4.0, 3.0], [3.0], [4.0]],
    ),
    ConnectExample(
        "unreached node only in a labelled component",
        [[1], [0]], [[1.0], [1.0]], [([0, 1], True)], [1, 0],
        _empty_rows(2), _empty_rows(2), raises_no_progress=True,
    ),
    ConnectExample(
        "unreached node in no component, after others attached",
        [[2], [0], [0]], [[1.0], [1.0], [7.0]], [([0], True), ([2], False)], [1, 0, 0],
        expected_rows=[[2], [], [0]], expected_row_weights=[[7.0], [], [7.0]], raises_no_progress=True,
    ),
]


def _knn_table(rows, dtype):
    if not rows:
        return np.zeros((0, 1), dtype=dtype)
    return np.array(rows, dtype=dtype)


def check_connect_example(connect_unlabeled, example):
    num_nodes = len(example.component_label)
    knn_connections = _knn_table(example.knn_rows, np.int64)
    knn_weights = _knn_table(example.knn_row_weights, np.float32)
    components = [(list(nodes), labelled) for nodes, labelled in example.components]
    component_label = np.array(example.component_label, dtype=np.uint8)
    inputs_before = [knn_connections.copy(), knn_weights.copy(), component_label.copy()]
    connections = RecordingContainer(rows_container(example.initial_rows or _empty_rows(num_nodes), np.int64))
    weights = RecordingContainer(
        rows_container(example.initial_row_weights or _empty_rows(num_nodes), np.float32)
    )
    arguments = (knn_connections, knn_weights, components, component_label, connections, weights)

    if example.raises_no_progress:
        with pytest.raises(SystemError, match=r"^NO PROGRESS :\)$"):
            connect_unlabeled(*arguments)
    else:
        result = connect_unlabeled(*arguments)
        assert type(result) is tuple and len(result) == 2
        assert result[0] is connections and result[1] is weights

    assert container_rows(connections.inner) == example.expected_rows
    assert container_rows(weights.inner) == example.expected_row_weights
    if example.expected_connection_calls is not None:
        assert connections.calls == example.expected_connection_calls
    _check_parallel_appends(connections.calls, weights.calls)
    np.testing.assert_array_equal(knn_connections, inputs_before[0])
    np.testing.assert_array_equal(knn_weights, inputs_before[1])
    np.testing.assert_array_equal(component_label, inputs_before[2])
    assert components == [(list(nodes), labelled) for nodes, labelled in example.components]


def _check_parallel_appends(connection_calls, weight_calls):
    for method, args in connection_calls:
        assert all(type(arg) is int for arg in args)
    assert all(method == "append" for method, _ in weight_calls), "weights only receive append"
    assert [args[0] for _, args in weight_calls] == [
        args[0] for method, args in connection_calls if method == "append"
    ]
    assert all(type(args[0]) is int and type(args[1]) is float for _, args in weight_calls)


class _FailingAppend:
    def append(self, i, value):
        raise RuntimeError("weights are full")


def check_connect_keeps_edge_when_weights_append_fails(connect_unlabeled):
    """An error from weights.append propagates; the connections edge just added stays."""
    connections = GraphWrapper.empty(2, np.int64)
    weights = _FailingAppend()
    with pytest.raises(RuntimeError, match="weights are full"):
        connect_unlabeled(
            np.array([[1], [0]], dtype=np.int64),
            np.array([[1.0], [2.0]], dtype=np.float32),
            [([0], True), ([1], False)],
            np.array([1, 0], dtype=np.uint8),
            connections,
            weights,
        )
    assert container_rows(connections) == [[], [0]]


# --- centroid-based cluster post-processing ---------------------------------------


@dataclass(frozen=True)
class PostprocessExample:
    name: str
    points: object  # anything np.array turns into an (n, d) float64 table, or None
    labels: list
    expected: list | None  # None when the call must raise
    options: dict = field(default_factory=dict)  # metric / p / threshold
    raises: type | None = None


# Clusters 0 (centroid (0, 0)) and 1 (centroid (4, 0)) and three noise points.
TWO_CLUSTERS = [[-1, 0], [1, 0], [3, 0], [5, 0], [2, 0], [3.5, 1], [-5, 0]]
# Noise point (0, 0) against centroids (2, 2) and (0, 3): nearer to (2, 2) under
# the euclidean and chebyshev metrics, nearer to (0, 3) under manhattan.
METRIC_POINTS = [[2, 2], [0, 3], [0, 0]]

POSTPROCESS_EXAMPLES = [
    PostprocessExample("no points", np.zeros((0, 2)), [], []),
    PostprocessExample("all noise", [[0, 0], [1, 1]], [-1, -1], [-1, -1]),
    PostprocessExample("noise takes the nearest centroid", TWO_CLUSTERS, [0, 0, 1, 1, -1, -1, -1], [0, 0, 1, 1, 0, 1, 0]),
    # Labels need not be consecutive; the halfway point (2, 0) takes the smaller.
    PostprocessExample(
        "halfway point takes the smaller label",
        [[3, 0], [5, 0], [-1, 0], [1, 0], [2, 0]], [10, 10, 3, 3, -1], [10, 10, 3, 3, 3],
    ),
    PostprocessExample(
        "threshold dissolves lower clusters point by point",
        [[-1, 0], [1, 0], [9, 0], [11, 0], [2, 0], [8, 0], [6, 0]],
        [1, 1, 2, 2, 0, 0, -1], [1, 1, 2, 2, 1, 2, 2], {"threshold": 1},
    ),
    PostprocessExample("threshold above every label", TWO_CLUSTERS[:3], [0, 0, 1], [-1, -1, -1], {"threshold": 5}),
    PostprocessExample(
        "label below -1 is dissolved by default",
        [[0, 0], [2, 0], [10, 0], [12, 0], [20, 0]], [0, 0, -2, -2, 5], [0, 0, 0, 5, 5],
    ),
    # Relabelled noise does not move centroids: (6, 0) would tie with the
    # moved centroid (2, 0) and go to 0.
    PostprocessExample("centroids stay put", [[0, 0], [10, 0], [4, 0], [6, 0]], [0, 1, -1, -1], [0, 1, 0, 1]),
    PostprocessExample("euclidean by default", METRIC_POINTS, [0, 1, -1], [0, 1, 0]),
    PostprocessExample("minkowski with p=1", METRIC_POINTS, [0, 1, -1], [0, 1, 1], {"p": 1}),
    PostprocessExample("manhattan", METRIC_POINTS, [0, 1, -1], [0, 1, 1], {"metric": "manhattan"}),
    # get_metric("chebyshev", p=1) would fail: p is only passed for minkowski.
    PostprocessExample("p unused by other metrics", METRIC_POINTS, [0, 1, -1], [0, 1, 0], {"metric": "chebyshev", "p": 1}),
    PostprocessExample("no points object, only noise", None, [-1, -1], [-1, -1]),
    PostprocessExample("no points object, no labels", None, [], []),
    PostprocessExample("no points object with a cluster", None, [0, -1], None, raises=IndexError),
    PostprocessExample("unknown metric", METRIC_POINTS, [0, 1, -1], None, {"metric": "no-such-metric"}, raises=ValueError),
    PostprocessExample("NaN cluster without noise keeps its labels", [[NAN, 0], [1, 0]], [0, 1], [0, 1]),
    # scikit-learn refuses non-finite input to pairwise; its error passes through.
    PostprocessExample("NaN centroid against noise", [[NAN, 0], [1, 0], [0, 0]], [0, 1, -1], None, raises=ValueError),
]


def check_postprocess_example(kelvo_postprocess, example):
    points = None if example.points is None else np.array(example.points, dtype=np.float64)
    labels_in = np.array(example.labels, dtype=np.int32)
    points_before = None if points is None else points.copy()
    labels_before = labels_in.copy()

    if example.raises is not None:
        with pytest.raises(example.raises):
            kelvo_postprocess(points, labels_in, **example.options)
    else:
        result = kelvo_postprocess(points, labels_in, **example.options)
        assert isinstance(result, np.ndarray) and result.dtype == np.int32
        assert result.tolist() == example.expected
        assert not np.shares_memory(result, labels_in)

    np.testing.assert_array_equal(labels_in, labels_before)
    if points is not None:
        np.testing.assert_array_equal(points, points_before)

"""connect_unlabeled: arguments, worked examples, agreement with the
plain-Python version, and the checks that keep bad input from crashing."""

import inspect
import random
import traceback

import numpy as np
import pytest

import reference
from examples import (
    CONNECT_EXAMPLES,
    check_connect_example,
    check_connect_keeps_edge_when_weights_append_fails,
    container_rows,
    example_id,
)
from reference import RecordingContainer
from velorn import GraphWrapper
from velorn.algorithms.src.tolmar.binaries import tolmar_connect as module

connect = module.connect_unlabeled
FULL_NAME = "velorn.algorithms.src.tolmar.binaries.tolmar_connect.connect_unlabeled"
PARAMS = ["knn_connections", "knn_weights", "components", "vertix_component_label", "connections", "weights"]


def chain(n=3):
    """Node 0 labelled; node i (i > 0) is an unlabelled component of its own whose row holds i - 1."""
    knn = np.array([[max(i - 1, 0), i] for i in range(n)], dtype=np.int64)
    weights = np.arange(2 * n, dtype=np.float32).reshape(n, 2)
    components = [([0], True)] + [([i], False) for i in range(1, n)]
    labels = np.array([1] + [0] * (n - 1), dtype=np.uint8)
    return [knn, weights, components, labels, GraphWrapper.empty(n, np.int64), GraphWrapper.empty(n, np.float32)]


def entry_names(excinfo):
    return [frame.name for frame in traceback.extract_tb(excinfo.tb)]


@pytest.mark.parametrize("example", CONNECT_EXAMPLES, ids=example_id)
def test_worked_examples(example):
    check_connect_example(connect, example)


def test_edge_added_before_a_failing_weights_append_stays():
    check_connect_keeps_edge_when_weights_append_fails(connect)


def test_published_function():
    parameters = inspect.signature(connect).parameters.values()
    assert [(p.name, p.kind, p.default) for p in parameters] == [
        (name, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty) for name in PARAMS
    ]
    assert connect.__defaults__ is None
    assert connect.__name__ == connect.__qualname__ == "connect_unlabeled"
    assert connect.__module__ == "velorn.algorithms.src.tolmar.binaries.tolmar_connect"
    assert connect.__doc__ == (
        "connect_unlabeled(ndarray knn_connections, ndarray knn_weights, list components, "
        "ndarray vertix_component_label, connections, weights) -> tuple\n\n"
        "    Connects unlabeled graph components to labeled components by iteratively \n"
        "    finding nearest neighbors and adding connections until all components \n"
        "    are connected.\n\n"
        "    Parameters:\n"
        "    --------------\n"
        "        knn_connections (np.ndarray): \n"
        "            2D array of nearest neighbor connections for each node.\n"
        "        knn_weights (np.ndarray): \n"
        "            2D array of edge weights for each nearest neighbor connection.\n"
        "        components (list): \n"
        "            List of components, where each component is a tuple (list of nodes, bool labeled).\n"
        "        vertix_component_label (np.ndarray[np.uint8_t]): \n"
        "            1D array indicating whether each node is part of a labeled component.\n"
        "        connections: (GraphWrapper)\n"
        "            A data structure to store graph connections.\n"
        "        weights: (GraphWrapper)\n"
        "            A data structure to store the weights of graph edges.\n"
        "    "
    )


@pytest.mark.parametrize("n_positional", range(7))
def test_any_positional_prefix_binds_like_all_positional(n_positional):
    args = chain()
    keywords = dict(reversed(list(zip(PARAMS, args))[n_positional:]))
    assert connect(*args[:n_positional], **keywords) == (args[4], args[5])
    assert container_rows(args[4]) == [[1], [0, 2], [1]]


@pytest.mark.parametrize(
    "n_positional, keywords, message",
    [
        (7, {}, "takes exactly 6 positional arguments (7 given)"),
        (5, {}, "takes exactly 6 positional arguments (5 given)"),
        (5, {"weight": 1}, "takes exactly 6 positional arguments (5 given)"),
        (0, {name: 1 for name in PARAMS if name != "knn_weights"}, "takes exactly 6 positional arguments (1 given)"),
        (6, {"knn_weights": 1}, "got multiple values for keyword argument 'knn_weights'"),
        (6, {"knn": 1}, "got an unexpected keyword argument 'knn'"),
    ],
)
def test_binding_errors(n_positional, keywords, message):
    with pytest.raises(TypeError) as excinfo:
        connect(*(chain() + [None])[:n_positional], **keywords)
    assert str(excinfo.value) == "connect_unlabeled() " + message


@pytest.mark.parametrize(
    "replacements, message",
    [
        ({0: [[1]]}, "Argument 'knn_connections' has incorrect type (expected numpy.ndarray, got list)"),
        ({0: [[1]], 2: ()}, "Argument 'knn_connections' has incorrect type (expected numpy.ndarray, got list)"),
        ({1: 1.5, 3: 1}, "Argument 'knn_weights' has incorrect type (expected numpy.ndarray, got float)"),
        ({2: ()}, "Argument 'components' has incorrect type (expected list, got tuple)"),
        ({2: type("Sub", (list,), {})()}, "Argument 'components' has incorrect type (expected list, got Sub)"),
        ({3: [1, 0, 0]}, "Argument 'vertix_component_label' has incorrect type (expected numpy.ndarray, got list)"),
    ],
)
def test_type_checks_in_parameter_order_without_our_traceback_entry(replacements, message):
    args = chain()
    for position, value in replacements.items():
        args[position] = value
    with pytest.raises(TypeError) as excinfo:
        connect(*args)
    assert str(excinfo.value) == message
    assert FULL_NAME not in entry_names(excinfo)


@pytest.mark.parametrize(
    "labels, message",
    [
        (np.array([1, 0, 0], dtype=np.int8), "Buffer dtype mismatch, expected 'uint8_t' but got 'signed char'"),
        (np.array([1, 0, 0], dtype=np.int64), "Buffer dtype mismatch, expected 'uint8_t' but got 'long'"),
        (np.array([[1], [0], [0]], dtype=np.uint8), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ],
)
def test_label_buffer_is_refused(labels, message):
    with pytest.raises(ValueError) as excinfo:
        connect(*chain()[:3], labels, *chain()[4:])
    assert str(excinfo.value) == message
    assert FULL_NAME in entry_names(excinfo)


@pytest.mark.parametrize(
    "labels",
    [
        np.array([True, False, False]),
        np.array([1, 9, 0, 9, 0, 9], dtype=np.uint8)[::2],
        np.array([0, 0, 1], dtype=np.uint8)[::-1],
        np.frombuffer(bytes([1, 0, 0]), dtype=np.uint8),  # read-only
    ],
)
def test_label_buffer_is_accepted(labels):
    args = chain()
    args[3] = labels
    connect(*args)
    assert container_rows(args[4]) == [[1], [0, 2], [1]]


def table_subclass():
    class Table(np.ndarray):
        pass

    return Table


@pytest.mark.parametrize(
    "position, value, error, message",
    [
        (2, None, TypeError, "object of type 'NoneType' has no len()"),
        (2, [(None, False)], TypeError, "object of type 'NoneType' has no len()"),
        (2, [((1,), False)], TypeError, "Expected list, got tuple"),
        (2, [(["1"], False)], TypeError, "an integer is required"),
        (2, [([2**31], False)], OverflowError, "value too large to convert to int"),
        (3, None, AttributeError, "'NoneType' object has no attribute 'copy'"),
        (0, np.array([0, 0, 1], dtype=np.int64), TypeError, "Cannot convert numpy.int64 to numpy.ndarray"),
        (0, np.zeros((3, 2), dtype=np.int32), ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
        (1, np.zeros((3, 2), dtype=np.float64), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
        (1, np.zeros((3, 2), dtype=">f4"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
        (0, np.zeros((2, 2), dtype=np.int64), IndexError, "index 2 is out of bounds for axis 0 with size 2"),
        (1, np.zeros((3, 2), np.float32).view(table_subclass())[:2], IndexError, "index 2 is out of bounds"),
        # Bad ids and rows that the contract rules out: clear errors, no reads beyond the arrays.
        (2, [([3], False)], IndexError, "component lists node id 3 outside 0 .. 2"),
        (2, [([-1], False)], IndexError, "component lists node id -1 outside 0 .. 2"),
        (2, [([1, 2, 7], False)], IndexError, "component lists node id 7 outside 0 .. 2"),
        (0, np.array([[0, 0], [0, 1], [-1, 0]]), IndexError, "node 2 has neighbour id -1 outside 0 .. 2"),
        (0, np.array([[0, 0], [0, 1], [2**32, 0]]), IndexError, "node 2 has neighbour id 4294967296 outside 0 .. 2"),
        (1, np.zeros((3, 1), dtype=np.float32), ValueError, "weight row of node 1 has 1 entries but its neighbour row has 2"),
    ],
)
def test_body_errors(position, value, error, message):
    args = chain()
    args[position] = value
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(")", r"\)")) as excinfo:
        connect(*args)
    assert FULL_NAME in entry_names(excinfo)


class Mutating(GraphWrapper):
    """A connections container that runs `change` on its first append."""

    def __init__(self, n, change):
        super().__init__(np.empty((n, 0), dtype=np.int64))
        self.change = change

    def append(self, i, value):
        change, self.change = self.change, lambda: None
        change()
        super().append(i, value)


@pytest.mark.filterwarnings("ignore:Setting the shape:DeprecationWarning")
@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda args: args[2].clear(), IndexError, "list index out of range"),
        (lambda args: args[2][1][0].clear(), IndexError, "list index out of range"),
        (lambda args: setattr(args[0], "shape", (-1,)), TypeError, "Cannot convert numpy.int64 to numpy.ndarray"),
        (lambda args: setattr(args[1], "shape", (1, -1)), IndexError, "index 2 is out of bounds"),
    ],
)
def test_inputs_changed_by_container_calls_are_read_afresh(change, error, message):
    # Stage 1 attaches [1, 2] through node 1, marks it whole, then reads node 2's rows for [2].
    args = chain()
    args[2] = [([0], True), ([1, 2], False), ([2], False)]
    args[4] = Mutating(3, lambda: change(args))
    with pytest.raises(error, match=message):
        connect(*args)


def test_components_growing_during_the_call():
    # Stage 2 looks a few components ahead; the list grows while it is read.
    args = chain(6)

    class Growing(GraphWrapper):
        def contains(self, i, j):
            args[2].extend([([0], True)] * 40)
            return super().contains(i, j)

    args[4] = Growing(np.empty((6, 0), dtype=np.int64))
    connect(*args)
    assert container_rows(args[4]) == [[1], [0, 2], [1, 3], [2, 4], [3, 5], [4]]


def test_entries_that_are_not_plain_ints_mark_through_numpy():
    # A NumPy integer entry indexes like NumPy says: -1 marks the last node.
    args = chain()
    args[2] = [([0], True), ([np.int64(1), np.int64(-1)], False)]
    connect(*args)
    assert container_rows(args[4]) == [[1], [0], []]
    # A float entry is no NumPy index.
    args = chain()
    args[2] = [([0], True), ([1, 2.0], False)]
    with pytest.raises(IndexError, match="only integers"):
        connect(*args)


def test_each_attached_node_is_marked_once():
    class CountingFlags(np.ndarray):
        marks = []

        def __setitem__(self, index, value):
            self.marks.append(index)
            super().__setitem__(index, value)

    args = chain(200)
    args[3] = args[3].view(CountingFlags)
    connect(*args)
    # Stage 1 marks node 1; one stage-2 pass attaches 2, 3, ... in turn.
    assert CountingFlags.marks == list(range(1, 200))


def random_case(rng, strided, as_subclass):
    n = rng.randint(1, 14)
    k = rng.randint(1, 4)
    knn = np.array([[rng.randrange(n) for _ in range(k)] for _ in range(n)], dtype=np.int64).reshape(n, k)
    weights = np.array([[rng.choice([0.1, 0.5, 1.0 / 3, 2.0, 7.25]) for _ in range(k)] for _ in range(n)], np.float32)
    weights = weights.reshape(n, k)
    if strided:
        knn = np.repeat(knn, 2, axis=1)[:, ::2]
        weights = np.asfortranarray(weights)
    if as_subclass:
        knn = knn.view(table_subclass())
    nodes = list(range(n))
    rng.shuffle(nodes)
    components = []
    while nodes:
        size = rng.randint(0, 4)
        components.append((nodes[:size], rng.random() < 0.3))
        nodes = nodes[size:]
    # Now and then a node is left out of every component.
    if components and rng.random() < 0.2:
        components[0] = (components[0][0][1:], components[0][1])
    labels = np.zeros(n, dtype=np.uint8)
    for members, labelled in components:
        labels[members] = labelled
    edges = [(rng.randrange(n), rng.randrange(n)) for _ in range(rng.randint(0, 3))]
    return knn, weights, components, labels, edges


@pytest.mark.parametrize("seed", range(60))
def test_agrees_with_the_plain_python_version(seed):
    rng = random.Random(seed)
    knn, weights, components, labels, edges = random_case(rng, strided=seed % 3 == 1, as_subclass=seed % 3 == 2)
    outcomes = []
    for function in (reference.connect_unlabeled, connect):
        connections = RecordingContainer(GraphWrapper.empty(len(labels), np.int64))
        weight_rows = RecordingContainer(GraphWrapper.empty(len(labels), np.float32))
        for a, b in edges:
            connections.inner.append(a, b)
            weight_rows.inner.append(a, 9.0)
        try:
            result = function(knn, weights, [(list(m), f) for m, f in components], labels, connections, weight_rows)
            assert result[0] is connections and result[1] is weight_rows
            error = None
        except Exception as exc:
            error = (type(exc), str(exc))
        outcomes.append((error, container_rows(connections.inner), container_rows(weight_rows.inner),
                         connections.calls, weight_rows.calls))
    assert outcomes[1] == outcomes[0]


@pytest.mark.parametrize("replace_at", [1, 2, 4, 6, 99])
def test_reached_entries_replaced_mid_call_are_examined_again(replace_at):
    # Node 1 attaches directly; the chain 2 <- 3 <- 4 then takes one pass per
    # node. On the chosen append, the reached node 2 at the head of the chain's
    # list is swapped for node 5, which only node 4 can reach. Node 5 is in no
    # list otherwise, so without the swap the call makes no progress at the end.
    knn = np.array([[0], [0], [1], [2], [3], [4]], dtype=np.int64)
    weights = np.ones((6, 1), dtype=np.float32)
    flags = np.array([1, 0, 0, 0, 0, 0], dtype=np.uint8)
    outcomes = []
    for function in (reference.connect_unlabeled, connect):
        chain_nodes = [2, 3, 4]

        class Swapping(GraphWrapper):
            appends = 0

            def append(self, i, value):
                Swapping.appends += 1
                if Swapping.appends == replace_at:
                    chain_nodes[0] = 5
                super().append(i, value)

        connections = RecordingContainer(Swapping(np.empty((6, 0), dtype=np.int64)))
        weight_rows = GraphWrapper.empty(6, np.float32)
        components = [([0], True), ([1], False), (chain_nodes, False)]
        try:
            function(knn, weights, components, flags, connections, weight_rows)
            error = None
        except SystemError as exc:
            error = str(exc)
        outcomes.append((error, connections.calls, container_rows(connections.inner)))
    assert outcomes[1] == outcomes[0]


@pytest.mark.parametrize("shrink", ["clear", "replace with a plain int"])
def test_entry_whose_conversion_changes_its_own_list(shrink):
    # B (node 2) attaches in the first pass, and its append arms the entry of
    # A (node 1, reached in the direct stage); converting that entry next
    # empties A's list or puts node 3 in its place. The entry must not be read
    # again from the list, nor taken as a reached node: node 3 is unreached
    # and only A's list can bring it in.
    knn = np.array([[0], [0], [1], [2]], dtype=np.int64)
    weights = np.ones((4, 1), dtype=np.float32)
    flags = np.array([1, 0, 0, 0], dtype=np.uint8)
    outcomes = []
    for function in (reference.connect_unlabeled, connect):
        a_nodes = []

        class Entry:
            armed = False

            def __index__(self):
                return 1

            def __int__(self):
                if Entry.armed:
                    Entry.armed = False
                    if shrink == "clear":
                        a_nodes.clear()
                    else:
                        a_nodes[0] = 3
                return 1

        class Arming(GraphWrapper):
            def append(self, i, value):
                Entry.armed = True
                super().append(i, value)

        a_nodes.append(Entry())
        connections = RecordingContainer(Arming(np.empty((4, 0), dtype=np.int64)))
        components = [([0], True), ([2], False), (a_nodes, False)]
        try:
            function(knn, weights, components, flags, connections, GraphWrapper.empty(4, np.float32))
            error = None
        except Exception as exc:
            error = (type(exc), str(exc))
        outcomes.append((error, connections.calls, container_rows(connections.inner)))
    assert outcomes[1] == outcomes[0]

"""GraphWrapper: the native container, held to its plain-Python statement
(python_graph_wrapper.py) and to what the graph kernels need of rows."""

import copy
import pickle
import weakref

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from python_graph_wrapper import PythonGraphWrapper

from velorn import GraphWrapper, weighted_label_propagation


@pytest.fixture
def knn_ids():
    return np.array([[1, 2], [0, 2], [0, 1]], dtype=np.int64)


@pytest.mark.parametrize(
    "table, expected_dtype",
    [
        (np.array([[1, 2]], dtype=np.int32), np.int64),
        (np.array([[1, 2]], dtype=np.uint8), np.int64),
        (np.array([[0.5, 2.0]], dtype=np.float64), np.float32),
        (np.array([[0.5, 2.0]], dtype=np.float32), np.float32),
    ],
)
def test_from_knn_takes_kind_from_table(table, expected_dtype):
    graph = GraphWrapper.from_knn(table)
    assert graph.to_numpy(0).dtype == expected_dtype
    assert graph.to_numpy(0).tolist() == table[0].tolist()


@pytest.mark.parametrize("table", [np.array([[True]]), np.array([["a"]]), np.zeros(3, dtype=np.int64)])
def test_from_knn_rejects_other_tables(table):
    with pytest.raises((TypeError, ValueError)):
        GraphWrapper.from_knn(table)


def test_untouched_row_is_a_read_only_view_of_the_table(knn_ids):
    graph = GraphWrapper.from_knn(knn_ids)
    row = graph.to_numpy(1)
    assert np.shares_memory(row, knn_ids)
    assert not row.flags.writeable
    # The caller's own table stays writable.
    assert knn_ids.flags.writeable


def test_appends_follow_the_base_row_in_order(knn_ids):
    graph = GraphWrapper.from_knn(knn_ids)
    graph.append(0, 2)
    first = graph.to_numpy(0)
    graph.append(0, 1)
    assert first.tolist() == [1, 2, 2]
    assert graph.to_numpy(0).tolist() == [1, 2, 2, 1]
    assert graph.to_numpy(0).dtype == np.int64
    assert graph.to_numpy(1).tolist() == [0, 2]
    assert graph.num_entries == 8


def test_weights_keep_float32_values():
    weights = GraphWrapper.empty(2, np.float32)
    weights.append(1, 0.1)
    weights.append(1, 0.0)
    row = weights.to_numpy(1)
    assert row.dtype == np.float32
    assert row.tolist() == [np.float32(0.1), 0.0]
    assert weights.to_numpy(0).shape == (0,)


@pytest.mark.parametrize(
    "row, value, expected",
    [(0, 2, True), (0, 0, False), (2, 1, True), (2, 2, False)],
)
def test_contains_on_base_rows(knn_ids, row, value, expected):
    assert GraphWrapper.from_knn(knn_ids).contains(row, value) is expected


def test_contains_sees_appended_entries():
    graph = GraphWrapper.empty(3, np.int64)
    assert not graph.contains(0, 2)
    graph.append(0, 2)
    assert graph.contains(0, 2)
    assert not graph.contains(2, 0)


@pytest.mark.parametrize("call", ["to_numpy", "contains", "append"])
@pytest.mark.parametrize("row", [-1, 3])
def test_row_out_of_range(knn_ids, call, row):
    graph = GraphWrapper.from_knn(knn_ids)
    args = (row,) if call == "to_numpy" else (row, 0)
    with pytest.raises(IndexError):
        getattr(graph, call)(*args)


@pytest.mark.parametrize("node_id", [-1, 3])
def test_append_rejects_node_id_out_of_range(knn_ids, node_id):
    graph = GraphWrapper.from_knn(knn_ids)
    with pytest.raises(IndexError):
        graph.append(0, node_id)
    assert graph.to_numpy(0).tolist() == [1, 2]


def test_len_and_numpy_integer_rows(knn_ids):
    graph = GraphWrapper.from_knn(knn_ids)
    graph.append(np.int64(2), np.int64(2))
    assert len(graph) == 3
    assert len(GraphWrapper.empty(0, np.int64)) == 0
    assert graph.to_numpy(2).tolist() == [0, 1, 2]
    assert graph.contains(np.int32(2), 2)


# --- the native type against the plain-Python statement of the container -----

NODES = 6


@st.composite
def grown_graphs(draw):
    """(base table, [(row, value)] appends): ids or weights, maybe a strided table."""
    kind = draw(st.sampled_from([np.int64, np.float32]))
    cols = draw(st.integers(0, 3))
    if kind is np.int64:
        entries = st.integers(0, NODES - 1)
    else:
        entries = st.floats(-4, 4, width=32)
    table = np.array(draw(st.lists(st.lists(entries, min_size=cols, max_size=cols), min_size=NODES,
                                   max_size=NODES)), dtype=kind).reshape(NODES, cols)
    if draw(st.booleans()):  # a strided table, shared as it is
        table = np.repeat(table, 2, axis=1)[:, ::2]
    appends = draw(st.lists(st.tuples(st.integers(0, NODES - 1), entries), max_size=40))
    return table, appends


@settings(max_examples=150, deadline=None)
@given(grown_graphs(), st.data())
def test_native_rows_match_the_plain_python_container(graph, data):
    table, appends = graph
    native, python = GraphWrapper(table), PythonGraphWrapper(table)
    held = []  # rows handed out earlier, with what they showed then
    for row, value in appends:
        if data.draw(st.booleans()):
            shown = native.to_numpy(row)
            held.append((shown, shown.tolist()))
        native.append(row, value)
        python.append(row, value)
        if table.dtype == np.int64:
            probe = data.draw(st.integers(-1, NODES))
            assert native.contains(row, probe) == python.contains(row, probe)
    assert [native.to_numpy(i).tolist() for i in range(NODES)] == [python.to_numpy(i).tolist() for i in range(NODES)]
    assert all(not native.to_numpy(i).flags.writeable for i in range(NODES))
    assert (native.num_entries, len(native)) == (python.num_entries, len(python))
    assert [shown.tolist() for shown, _ in held] == [before for _, before in held]


# --- rows handed out ---------------------------------------------------------


def changed(attribute, value):
    """Sets an attribute that NumPy may one day refuse to set."""

    def change(row):
        try:
            setattr(row, attribute, value)
        except AttributeError:
            pytest.skip(f"this NumPy does not set {attribute}")

    return change


@pytest.mark.parametrize(
    "tamper",
    [
        lambda row: None,
        lambda row: setattr(row.flags, "writeable", True),
        changed("shape", (1, -1)),
        changed("strides", (0,)),
        changed("dtype", np.int32),
        lambda row: weakref.ref(row),
    ],
    ids=["untouched", "made writeable", "reshaped", "restrided", "retyped", "weakly referenced"],
)
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_rows_stay_what_they_showed_however_they_are_used(tamper):
    table = np.arange(40, dtype=np.int64).reshape(10, 4)
    graph = GraphWrapper.from_knn(table)
    keep = [graph.to_numpy(3)]
    reference = tamper(graph.to_numpy(5))  # changed, then released (or watched)
    rows = [graph.to_numpy(i) for i in range(10) for _ in range(3)]
    assert [row.tolist() for row in rows] == [table[i].tolist() for i in range(10) for _ in range(3)]
    assert keep[0].tolist() == table[3].tolist()
    if reference is not None:
        assert reference() is None or reference().tolist() == table[5].tolist()


def test_merged_row_is_built_once_and_replaced_on_append():
    graph = GraphWrapper.from_knn(np.array([[1], [0]]))
    graph.append(0, 0)
    merged = graph.to_numpy(0)
    assert graph.to_numpy(0) is merged
    graph.append(0, 1)
    assert merged.tolist() == [1, 0] and graph.to_numpy(0).tolist() == [1, 0, 1]


# --- argument errors ---------------------------------------------------------


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda g: g.to_numpy(2**70), IndexError, r"row 1180591620717411303424 out of range for 3 rows"),
        (lambda g: g.to_numpy(1.0), IndexError, r"row 1.0 is not an integer"),
        (lambda g: g.contains("0", 1), IndexError, r"row '0' is not an integer"),
        (lambda g: g.append(0, 2**70), IndexError, r"node id 1180591620717411303424 out of range for 3 rows"),
        (lambda g: g.append(0, 1.0), TypeError, r"'float' object cannot be interpreted as an integer"),
        (lambda g: g.to_numpy(), TypeError, r"takes exactly one argument"),
        (lambda g: g.to_csr(weights=GraphWrapper.empty(2, np.float32)), ValueError, r"weights has 2 rows"),
        (lambda g: GraphWrapper([[1]]), TypeError, r"expected a 2-D NumPy array, got list"),
        (lambda g: GraphWrapper(np.zeros((2, 2))), TypeError, r"expected an int64 or float32 table, got float64"),
        (lambda g: GraphWrapper.empty(-1, np.int64), ValueError, r"negative dimensions"),
    ],
)
def test_argument_errors(knn_ids, call, error, message):
    with pytest.raises(error, match=message):
        call(GraphWrapper.from_knn(knn_ids))


@pytest.mark.parametrize(
    "value, expected",
    [(2, True), (2.0, True), (np.int8(2), True), (np.float32(2), True), (2.5, False), (2**80, False),
     ("2", False), (None, False), (True, True)],
)
def test_contains_compares_numbers_as_numbers(value, expected):
    graph = GraphWrapper.from_knn(np.array([[1, 2], [0, 1]]))
    assert graph.contains(0, value) is expected


@pytest.mark.parametrize("dtype", [np.int64, np.float32])
def test_contains_on_rows_with_many_appends(dtype):
    # Past a few dozen appended entries a row's membership test changes method.
    graph = GraphWrapper.empty(200, dtype)
    for value in range(0, 200, 2):
        graph.append(7, value)
    assert [graph.contains(7, v) for v in range(200)] == [v % 2 == 0 for v in range(200)]
    assert graph.to_numpy(7).tolist() == list(range(0, 200, 2))


def test_weights_compare_as_float32_and_take_what_float_takes():
    weights = GraphWrapper.from_knn(np.array([[0.1]], dtype=np.float64))
    weights.append(0, "0.25")
    assert weights.contains(0, 0.1) and weights.contains(0, 0.25) and not weights.contains(0, 0.3)
    with pytest.raises(ValueError):
        weights.append(0, "x")


# --- the whole graph -----------------------------------------------------------


@pytest.mark.parametrize("with_attribute", [False, True])
@pytest.mark.parametrize("dtype", [np.int64, np.float32])
def test_pickle_and_copies_keep_rows_and_appends(dtype, with_attribute):
    graph = GraphWrapper.from_knn(np.array([[1, 2], [0, 2], [0, 1]], dtype=dtype))
    graph.append(2, 0)
    graph.append(0, 1)
    graph.append(2, 1)
    if with_attribute:
        graph.note = "kept"
    for clone in (pickle.loads(pickle.dumps(graph)), copy.copy(graph), copy.deepcopy(graph)):
        assert [clone.to_numpy(i).tolist() for i in range(3)] == [graph.to_numpy(i).tolist() for i in range(3)]
        assert repr(clone) == repr(graph) == f"GraphWrapper(rows=3, dtype={np.dtype(dtype)}, rows_with_appends=2)"
        assert getattr(clone, "note", None) == ("kept" if with_attribute else None)
        clone.append(1, 0)
        assert graph.to_numpy(1).tolist() == [0, 2]


@pytest.mark.parametrize(
    "state",
    [(np.array([3]), np.array([1]), np.array([0])), (np.array([0]), np.array([2]), np.array([0])),
     (np.array([0]), np.array([1]), np.array([9])), ("rows", "lengths"), None],
)
def test_state_that_does_not_fit_is_refused_whole(state):
    graph = GraphWrapper.empty(3, np.int64)
    with pytest.raises(ValueError):
        graph.__setstate__(state)
    assert graph.num_entries == 0


def test_to_csr_holds_every_entry_in_row_order():
    sparse = pytest.importorskip("scipy.sparse")
    connections = GraphWrapper.from_knn(np.array([[1], [2], [0]]))
    weights = GraphWrapper.from_knn(np.array([[0.5], [1.5], [2.5]]))
    connections.append(0, 2)
    weights.append(0, 4.0)
    weighted = connections.to_csr(weights)
    assert isinstance(weighted, sparse.csr_matrix) and weighted.shape == (3, 3)
    assert weighted.toarray().tolist() == [[0, 0.5, 4.0], [0, 0, 1.5], [2.5, 0, 0]]
    assert connections.to_csr().indices.tolist() == [1, 2, 2, 0]
    with pytest.raises(TypeError, match="neighbour ids"):
        weights.to_csr()
    with pytest.raises(ValueError, match="row 0 has neighbour id 5"):
        GraphWrapper(np.array([[5]])).to_csr()


def test_subclass_that_skips_init_raises_instead_of_reading():
    class Forgetful(GraphWrapper):
        def __init__(self):
            pass

    graph = Forgetful()
    for call in (lambda: graph.to_numpy(0), lambda: graph.append(0, 0), lambda: len(graph), lambda: graph.dtype):
        with pytest.raises(RuntimeError, match="__init__ was not called"):
            call()


# --- the label propagation kernel reads GraphWrapper rows in place -----------


def propagated(connections, weights, labels):
    """The kernel's labels, or the type and text of what it raised."""
    labels = labels.copy()
    try:
        weighted_label_propagation(connections, weights, labels, max_iterations=20, tolerance=1e-6)
    except (IndexError, ValueError, TypeError) as error:
        return type(error), str(error), labels.tolist()
    return labels.tolist()


@st.composite
def labelled_graphs(draw):
    """Id and weight tables (maybe strided, maybe of other widths or with bad
    ids), parallel appends, and the labels to start from."""
    nodes = draw(st.integers(1, 7))
    cols = draw(st.integers(0, 3))
    weight_cols = max(0, cols + draw(st.sampled_from([0, 0, 0, 1, -1])))
    ids = draw(st.lists(st.integers(-1 if draw(st.booleans()) else 0, nodes - 1), min_size=nodes * cols,
                        max_size=nodes * cols))
    weights = draw(st.lists(st.floats(0.25, 4, width=32), min_size=nodes * weight_cols,
                            max_size=nodes * weight_cols))
    id_table = np.array(ids, dtype=np.int64).reshape(nodes, cols)
    weight_table = np.array(weights, dtype=np.float32).reshape(nodes, weight_cols)
    if draw(st.booleans()):
        id_table = np.repeat(id_table, 2, axis=0)[::2]
    appends = draw(st.lists(st.tuples(st.integers(0, nodes - 1), st.integers(0, nodes - 1),
                                      st.floats(0.25, 4, width=32)), max_size=6))
    labels = np.array(draw(st.lists(st.sampled_from([-1, -1, 0, 1]), min_size=nodes, max_size=nodes)),
                      dtype=np.int32)
    return id_table, weight_table, appends, labels


@settings(max_examples=200, deadline=None)
@given(labelled_graphs())
def test_kernel_reads_native_rows_as_through_to_numpy(graph):
    id_table, weight_table, appends, labels = graph
    results = []
    for kind in (GraphWrapper, PythonGraphWrapper):
        connections, weights = kind(id_table), kind(weight_table)
        for row, node, weight in appends:
            connections.append(row, node)
            weights.append(row, weight)
        results.append(propagated(connections, weights, labels))
    assert results[0] == results[1]


class CountingRows(GraphWrapper):
    calls = 0

    def to_numpy(self, i):
        CountingRows.calls += 1
        return super().to_numpy(i)


class Name(str):
    pass


def shadowed(table, name="to_numpy"):
    graph = GraphWrapper(table)
    graph.__dict__[name] = lambda i: (setattr(CountingRows, "calls", CountingRows.calls + 1), table[i])[1]
    return graph


@pytest.mark.parametrize("make", [CountingRows, shadowed, lambda table: shadowed(table, Name("to_numpy"))],
                         ids=["subclass", "instance attribute", "attribute named by a str subclass"])
def test_kernel_calls_a_to_numpy_other_than_the_types_own(make):
    CountingRows.calls = 0
    ids = np.array([[1], [0], [1]], dtype=np.int64)
    weights = np.ones((3, 1), dtype=np.float32)
    labels = np.array([-1, 4, -1], dtype=np.int32)
    weighted_label_propagation(make(ids), GraphWrapper(weights), labels)
    assert labels.tolist() == [4, 4, 4]
    assert CountingRows.calls == 2  # nodes 0 and 2, once each: the next sweep has nothing to label


def test_kernel_on_fewer_rows_than_labels_raises_as_to_numpy():
    ids, weights = GraphWrapper(np.array([[1], [0]])), GraphWrapper(np.ones((2, 1), dtype=np.float32))
    labels = np.array([0, 1, -1], dtype=np.int32)
    with pytest.raises(IndexError, match="row 2 out of range for 2 rows"):
        weighted_label_propagation(ids, weights, labels)
    with pytest.raises(ValueError, match="dtype mismatch"):  # the two containers swapped
        weighted_label_propagation(weights, ids, np.array([0, -1], dtype=np.int32))


def random_csr(n, seed, uniform=False):
    """A directed graph with rows of different lengths (an isolated node, a
    self loop, unsorted columns), or of one length."""
    import scipy.sparse

    rng = np.random.default_rng(seed)
    lengths = np.full(n, 3) if uniform else rng.integers(0, 6, n)
    lengths[0] = 3 if uniform else 0
    indptr = np.concatenate([[0], np.cumsum(lengths)])
    indices = rng.integers(0, n, indptr[-1])
    indices[indptr[1]] = 1  # a self loop in row 1
    data = rng.uniform(0.5, 2.0, indptr[-1])
    return scipy.sparse.csr_array((data, indices, indptr), shape=(n, n))


@pytest.mark.parametrize("uniform", [False, True], ids=["ragged rows", "equal rows"])
def test_from_csr_rows_are_the_stored_rows_in_order(uniform):
    matrix = random_csr(40, seed=1, uniform=uniform)
    # Any sparse format, converted by its own tocsr() (which sums duplicates).
    for source, stored in [(matrix, matrix), (matrix.tocoo(), matrix.tocoo().tocsr())]:
        connections, weights = GraphWrapper.from_csr(source)
        for i in range(40):
            start, end = stored.indptr[i], stored.indptr[i + 1]
            assert connections.to_numpy(i).tolist() == stored.indices[start:end].tolist()
            assert weights.to_numpy(i).tolist() == stored.data[start:end].astype(np.float32).tolist()
        assert (connections.to_csr(weights) != stored.astype(np.float32)).nnz == 0


class ListRows:
    def __init__(self, rows):
        self.rows = rows

    def to_numpy(self, i):
        return self.rows[i]


def test_from_csr_feeds_the_kernels_as_python_rows_do():
    from velorn import connect_unlabeled

    matrix = random_csr(60, seed=2)
    rows = [(matrix.indices[s:e], matrix.data[s:e]) for s, e in zip(matrix.indptr[:-1], matrix.indptr[1:])]
    python_ids = ListRows([np.asarray(ids, dtype=np.int64) for ids, _ in rows])
    python_weights = ListRows([np.asarray(w, dtype=np.float32) for _, w in rows])
    labels = np.full(60, -1, dtype=np.int32)
    labels[[3, 30]] = [0, 1]
    connections, weights = GraphWrapper.from_csr(matrix)
    expected = weighted_label_propagation(python_ids, python_weights, labels.copy())
    assert weighted_label_propagation(connections, weights, labels.copy()).tolist() == expected.tolist()
    knn = np.zeros((60, 1), dtype=np.int64)
    knn[:, 0] = (np.arange(60) + 1) % 60
    flags = np.zeros(60, dtype=np.uint8)
    flags[:30] = 1
    components = [(list(range(30)), True), (list(range(30, 60)), False)]
    connect_unlabeled(knn, np.ones((60, 1), dtype=np.float32), components, flags, connections, weights)
    assert connections.contains(59, 0) and weights.to_numpy(59)[-1] == 1.0


@pytest.mark.parametrize("matrix, error, match", [
    (np.eye(3), TypeError, "expected a scipy.sparse matrix or array"),
    ("csr", ValueError, "expected a square matrix"),
    ("out of range", ValueError, "row 0 has neighbour id 5 outside 0 .. 1"),
    ("complex", TypeError, "expected real edge weights"),
])
def test_from_csr_refuses_what_is_no_graph(matrix, error, match):
    import scipy.sparse

    made = {
        "csr": lambda: scipy.sparse.csr_array(np.ones((2, 3))),
        "out of range": lambda: scipy.sparse.csr_array((np.ones(1), np.array([5]), np.array([0, 1, 1])), shape=(2, 2)),
        "complex": lambda: scipy.sparse.csr_array(np.eye(2) * 1j),
    }
    with pytest.raises(error, match=match):
        GraphWrapper.from_csr(made[matrix]() if isinstance(matrix, str) else matrix)

"""Hostile use of GraphWrapper: tables of any kind and layout, odd numbers,
conversions that re-enter the container, and threads sharing one. Each either
works as the plain container would or raises; none crashes or breaks rows."""

import operator
import types
import threading
import weakref

import numpy as np
import pytest
from examples import run_interleaved
from hostile import any_arrays, examples, hostile_scalars
from hypothesis import given
from hypothesis import strategies as st

from velorn import GraphWrapper

ERRORS = (TypeError, ValueError, IndexError, OverflowError)


def rows_of(graph):
    return [graph.to_numpy(i) for i in range(len(graph))]


def assert_consistent(graph):
    """Every row a read-only 1-D array of the container's dtype; the counts agree."""
    rows = rows_of(graph)
    assert all(row.ndim == 1 and row.dtype == graph.dtype and not row.flags.writeable for row in rows)
    assert sum(len(row) for row in rows) == graph.num_entries


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@examples(300)
@given(any_arrays(max_dims=3, max_side=4))
def test_any_table_is_shared_as_rows_or_refused(table):
    try:
        graph = GraphWrapper(table)
    except ERRORS:
        assert table.ndim != 2 or table.dtype.str not in ("<i8", "<f4")
    else:
        assert [row.tobytes() for row in rows_of(graph)] == [row.tobytes() for row in table]
    try:
        graph = GraphWrapper.from_knn(table)
    except ERRORS:
        assert table.ndim != 2 or table.dtype.kind not in "iuf"
    else:
        expected = np.ascontiguousarray(table, np.int64 if table.dtype.kind in "iu" else np.float32)
        assert [row.tobytes() for row in rows_of(graph)] == [row.tobytes() for row in expected]


@examples(300)
@given(st.sampled_from([np.int64, np.float32]),
       st.lists(st.tuples(st.sampled_from(["to_numpy", "contains", "append"]), hostile_scalars(), hostile_scalars()),
                max_size=12))
def test_odd_numbers_get_answers_or_errors(dtype, calls):
    graph = GraphWrapper.from_knn(np.arange(12, dtype=dtype).reshape(4, 3) % 4)
    expected = [graph.to_numpy(i).tolist() for i in range(4)]
    for method, row, value in calls:
        try:
            if method == "to_numpy":
                graph.to_numpy(row)
            elif method == "contains":
                assert type(graph.contains(row, value)) is bool
            else:
                graph.append(row, value)
                with np.errstate(over="ignore"):
                    stored = operator.index(value) if dtype is np.int64 else float(np.float32(float(value)))
                expected[operator.index(row)].append(stored)
        except ERRORS:
            pass
    assert_consistent(graph)
    assert all(np.array_equal(graph.to_numpy(i), np.array(row, dtype), equal_nan=True) for i, row in enumerate(expected))


class Reentrant:
    """A number whose conversion first does `action` to the container."""

    def __init__(self, graph, action, value):
        self.graph, self.action, self.value = graph, action, value

    def __index__(self):
        self.action(self.graph)
        return self.value

    def __float__(self):
        self.action(self.graph)
        return float(self.value)


HELD = []
ACTIONS = {
    "append to the row": lambda g: g.append(1, 0),
    "hold the row": lambda g: HELD.append(g.to_numpy(1)),
    "re-initialise smaller": lambda g: g.__init__(np.zeros((1, 1), g.dtype)),
    "re-initialise as the other kind": lambda g: g.__init__(
        np.zeros((4, 2), np.float32 if g.dtype == np.int64 else np.int64)),
    "pickle it": lambda g: g.__reduce__(),
}


@pytest.mark.parametrize("dtype", [np.int64, np.float32])
@pytest.mark.parametrize("position", ["row", "value"])
@pytest.mark.parametrize("method", ["to_numpy", "contains", "append"])
@pytest.mark.parametrize("action", ACTIONS)
def test_conversions_that_change_the_container(dtype, position, method, action):
    HELD.clear()
    graph = GraphWrapper.from_knn(np.ones((4, 2), dtype))
    graph.append(1, 1)
    HELD.append(graph.to_numpy(1))
    before = [row.tolist() for row in HELD]
    hostile = Reentrant(graph, ACTIONS[action], 1)
    args = (hostile,) if method == "to_numpy" else ((hostile, 1) if position == "row" else (1, hostile))
    try:
        getattr(graph, method)(*args)
    except (IndexError, RuntimeError):
        pass
    assert_consistent(graph)
    assert [row.tolist() for row in HELD[:1]] == before


def test_threads_sharing_one_container_lose_nothing():
    # Each writer appends ids of its own to every row in turn; readers hold
    # rows across the appends and check them. Threads switch as often as the
    # interpreter can.
    writers, rounds = 3, 40
    num_rows = writers * rounds
    graph = GraphWrapper.from_knn(np.zeros((num_rows, 2), np.int64))
    changed = []
    start = threading.Barrier(writers + 2)

    def write(w):
        start.wait()
        for k in range(rounds):
            for i in range(num_rows):
                graph.append(i, w * rounds + k)

    def read():
        start.wait()
        for _ in range(rounds):
            held = [(row, row.tolist()) for row in rows_of(graph)]
            graph.contains(5, 3)
            changed.extend(seen for row, seen in held if row.tolist() != seen)

    threads = [threading.Thread(target=write, args=(w,)) for w in range(writers)]
    run_interleaved(threads + [threading.Thread(target=read) for _ in range(2)])
    assert not changed
    assert graph.num_entries == num_rows * (2 + num_rows)
    for i in range(num_rows):
        tail = graph.to_numpy(i)[2:].tolist()
        assert sorted(tail) == list(range(num_rows))
        for w in range(writers):  # each writer's entries in the order it appended them
            assert [v for v in tail if v // rounds == w] == [w * rounds + k for k in range(rounds)]


@pytest.mark.parametrize("trigger", ["view replaced", "merged row rebuilt", "merged row dropped by an append"])
def test_rows_whose_release_runs_code(trigger):
    # A weak reference's callback runs when the container lets go of a row it
    # kept, and here re-initialises the container in the middle of the call.
    graph = GraphWrapper.from_knn(np.ones((3, 2), np.int64))
    graph.append(1, 0)
    shown = graph.to_numpy(0 if trigger == "view replaced" else 1)
    if trigger == "merged row rebuilt":
        shown.flags.writeable = True  # it owns its memory: allowed, and no longer as made
    watcher = weakref.ref(shown, lambda _: graph.__init__(np.zeros((1, 1), np.int64)))
    del shown
    if trigger == "merged row dropped by an append":
        graph.append(1, 2)
    else:
        row = graph.to_numpy(0 if trigger == "view replaced" else 1)
        assert row.tolist() == ([1, 1] if trigger == "view replaced" else [1, 1, 0])
    assert watcher() is None and len(graph) == 1
    assert_consistent(graph)


@examples(300)
@given(st.one_of(st.tuples(hostile_scalars(), hostile_scalars()), hostile_scalars(),
                 st.lists(st.integers(-3, 3), max_size=3), st.tuples(st.integers(-3, 3), st.integers(-3, 3))),
       any_arrays(max_dims=2, dtype=np.int64, elements=st.integers(-1, 4)),
       any_arrays(max_dims=2, elements=st.integers(-1, 4)), any_arrays(max_dims=2))
def test_from_csr_of_any_matrix_gives_rows_or_raises(shape, indptr, indices, data):
    matrix = types.SimpleNamespace(shape=shape, indptr=indptr, indices=indices, data=data)
    matrix.tocsr = lambda: matrix
    try:
        graphs = GraphWrapper.from_csr(matrix)
    except ERRORS:
        return
    for graph in graphs:
        assert_consistent(graph)

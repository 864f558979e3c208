"""weighted_label_propagation under hostile input: every call ends in a
result or a Python exception, and after an exception the caller's labels hold
exactly what the plain-Python version had written by the same point.

A run is replayed on the plain-Python version with the same scripted
containers; when the native run failed after K container calls, the replay
stops right after its K-th call, so labels and call logs must match there.
"""

import array
import ctypes
import math
import warnings
from dataclasses import dataclass, field

import numpy as np
import pytest
from hypothesis import assume, event, given
from hypothesis import strategies as st

import reference
from examples import rows_container
from hostile import (EDGE_INTS, Abort, CallLog, any_arrays, buffer_kind, examples, hostile_scalars, int_conversion,
                     outcome_of, unaligned)
from velorn.algorithms.src.tolmar.binaries import tolmar_lp as lp

propagate = lp.weighted_label_propagation

EXTREME_LABELS = [-(2**31), 2**31 - 1, -2, 0, 1, 7]
ROW_WEIGHTS = [0.25, 0.5, 1.0, 2.0, 3.0]
ODD_WEIGHTS = [0.0, -1.0, 1e-45, 3.4e38, math.inf, math.nan]

# How a well-formed row is handed out: all of these are valid rows.
LAYOUTS = {
    "plain": lambda row: row,
    "strided": lambda row: np.repeat(row, 2)[::2],
    "reversed": lambda row: np.ascontiguousarray(row[::-1])[::-1],
    "read-only": lambda row: read_only(row),
    "subclass": lambda row: row.view(RowArray),
    "longlong": lambda row: row.astype(np.longlong) if row.dtype.kind == "i" else row,
}
# Where a container keeps its rows: each row an array of its own, or all of
# them views of one table, as rows of a k-nearest-neighbour table are (then
# rows of other nodes lie next to the one handed out).
TABLES = ["copies", "one flat table", "one padded table"]
# What a scripted to_numpy call does instead of, or before, handing out its row.
EVENTS = [
    "raise", "none", "list", "retype", "2-d", "big-endian", "shorter", "other row", "append to self",
    "rewrite ids row", "reshape ids row", "re-enter on the same labels", "re-enter on other labels",
]


class RowArray(np.ndarray):
    pass


def read_only(row):
    row = row.copy()
    row.flags.writeable = False
    return row


@dataclass
class Graph:
    rows: list
    row_weights: list
    labels: list
    layouts: dict  # "ids" / "weights" -> layout name per node
    tables: dict  # "ids" / "weights" -> where the rows live (TABLES)
    events: dict  # "ids" / "weights" -> {call number: event}
    max_iterations: int
    tolerance: float
    clean: bool = field(default=True)  # every row valid and no event: must succeed


@st.composite
def graphs(draw):
    n = draw(st.integers(1, 8)) if draw(st.integers(0, 9)) else 0
    bad_ids = draw(st.integers(0, 4)) == 0
    short_rows = draw(st.integers(0, 4)) == 0
    node = st.integers(0, n - 1) if n else st.nothing()
    neighbour = st.one_of(node, st.sampled_from(EDGE_INTS)) if bad_ids or not n else node
    rows, row_weights = [], []
    for _ in range(n):
        row = draw(st.lists(neighbour, max_size=4))
        length = len(row) - (draw(st.integers(0, 1)) if short_rows else 0)
        weight = st.sampled_from(ROW_WEIGHTS + ODD_WEIGHTS) if draw(st.booleans()) else st.sampled_from(ROW_WEIGHTS)
        rows.append(row)
        row_weights.append(draw(st.lists(weight, min_size=max(length, 0), max_size=max(length, 0) + 1)))
    labels = draw(st.lists(st.sampled_from([-1] * 2 * len(EXTREME_LABELS) + EXTREME_LABELS), min_size=n, max_size=n))
    layouts = {kind: draw(st.lists(st.sampled_from(list(LAYOUTS)), min_size=n, max_size=n)) for kind in ("ids", "weights")}
    events = {
        kind: draw(st.dictionaries(st.integers(0, 4), st.sampled_from(EVENTS), max_size=draw(st.sampled_from([0, 1, 2]))))
        for kind in ("ids", "weights")
    }
    tolerance = draw(st.sampled_from([1e-3, 0.5, 1.0, 2.0, 0.0, -1.0, math.nan, math.inf]))
    limits = [1, 2, 3, 4, 1, 2, 0] + ([50000] * 2 if tolerance > 0 else [])
    clean = not (bad_ids or short_rows or events["ids"] or events["weights"])
    tables = {kind: draw(st.sampled_from(TABLES)) for kind in ("ids", "weights")}
    return Graph(rows, row_weights, labels, layouts, tables, events, draw(st.sampled_from(limits)), tolerance, clean)


class Container:
    """A graph container that plays back a script: row i is handed out with
    its layout unless an event is due at this call number."""

    def __init__(self, world, kind, rows, dtype):
        self.world, self.kind = world, kind
        self.rows = [list(row) for row in rows]  # any ids, even ones no container would take
        self.dtype = dtype
        self.events = world.graph.events[kind]
        self.layouts = world.graph.layouts[kind]
        self.table = world.graph.tables[kind]
        self.calls = 0
        self.last = None

    def to_numpy(self, i):
        event = self.events.get(self.calls)
        self.calls += 1
        if event:
            self.world.fired.append(event)
        self.world.log.record(self.kind, i, event)
        try:
            return self.serve(i, event)
        finally:
            self.world.log.check_stop()

    def serve(self, i, event):
        world, n = self.world, len(self.world.graph.rows)
        if event == "raise":
            raise RuntimeError("hostile to_numpy")
        if event == "none":
            return None
        if event == "re-enter on the same labels":
            world.reenter(world.labels)
        elif event == "re-enter on other labels":
            world.reenter(np.array(world.graph.labels[::-1], np.int32))
        elif event == "append to self":
            self.rows[i].append((i + 1) % n if self.kind == "ids" else 0.5)
        elif event == "other row":
            i = (i + 1) % n
        row = self.row(i)
        ids_row = world.ids.last
        if event == "rewrite ids row" and ids_row is not None:
            ids_row[...] = ids_row[::-1]
        elif event == "reshape ids row" and ids_row is not None:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                ids_row.shape = (1, -1)
        if event == "list":
            return row.tolist()
        if event == "retype":
            row = row.astype(np.int32 if self.kind == "ids" else np.float64)
        elif event == "2-d":
            row = row.reshape(1, -1)
        elif event == "big-endian":
            row = row.astype(row.dtype.newbyteorder(">"))
        elif event == "shorter":
            row = row[:-1]
        else:
            row = LAYOUTS[self.layouts[i]](row)
        self.last = row
        return row


    def row(self, i):
        """Row i as a fresh array, or as a view of a table of all rows."""
        if self.table == "copies":
            return np.array(self.rows[i], self.dtype)
        lengths = [len(row) for row in self.rows]
        if self.table == "one flat table":
            flat = np.array([v for row in self.rows for v in row], self.dtype)
            start = sum(lengths[:i])
            return flat[start:start + lengths[i]]
        padded = np.full((len(self.rows), max(lengths)), 2**40 if self.kind == "ids" else 9.0, self.dtype)
        for k, row in enumerate(self.rows):
            padded[k, :len(row)] = row
        return padded[i, :lengths[i]]


class World:
    """One run of a kernel (native or plain Python) on fresh scripted containers."""

    def __init__(self, graph, function, stop_after=None):
        self.graph, self.function = graph, function
        self.log = CallLog(stop_after)
        self.labels = np.array(graph.labels, np.int32)
        self.ids = Container(self, "ids", graph.rows, np.int64)
        self.weights = Container(self, "weights", graph.row_weights, np.float32)
        self.depth = 0
        self.fired = []

    def reenter(self, labels):
        if self.depth:
            return
        self.depth += 1
        try:
            self.function(self.ids, self.weights, labels, 2, self.graph.tolerance)
        finally:
            self.depth -= 1

    def run(self):
        try:
            return outcome_of(self.function, self.ids, self.weights, self.labels, self.graph.max_iterations,
                              self.graph.tolerance)
        except Abort:
            return ("aborted",)


@examples(300)
@given(graphs())
def test_scripted_containers(graph):
    native = World(graph, propagate)
    got = native.run()
    event(f"outcome: {got[0] if got[0] == 'ok' else got[1].__name__}")
    for name in set(native.fired):
        event(f"event: {name}")
    if got[0] == "ok":
        replay = World(graph, reference.weighted_label_propagation)
        want = replay.run()
        assert want[0] == "ok", want
        assert got[1].tolist() == want[1].tolist()
        assert got[1].dtype == np.int32 and (not native.labels.size or np.shares_memory(got[1], native.labels))
    else:
        assert not graph.clean, got
        replay = World(graph, reference.weighted_label_propagation, stop_after=len(native.log))
        if native.log:
            replay.run()
    # Labels written before a failure stay; nothing else was written.
    assert native.labels.tolist() == (replay.labels.tolist() if native.log or got[0] == "ok" else graph.labels)
    assert native.log == replay.log


# --- the label array and the two numbers ---------------------------------------------


def label_objects(n):
    int32 = st.lists(st.sampled_from([-1, -1] + EXTREME_LABELS), min_size=n, max_size=n)
    return st.one_of(
        int32.map(lambda v: np.array(v, np.int32)),
        any_arrays(max_dims=2),
        any_arrays(max_dims=1, dtype=np.int32, elements=st.sampled_from([-1, 0, 5, -(2**31)])),
        st.sampled_from([None, [-1, 0], b"\xff\xff\xff\xff", 3]),
        int32.map(lambda v: array.array("i", v)),
        int32.map(lambda v: memoryview(np.array(v, np.int32))),
        # Valid, though no plain aligned array: C order without strides, odd addresses.
        int32.map(lambda v: (ctypes.c_int * len(v))(*v)),
        int32.map(lambda v: unaligned(np.array(v, np.int32))),
        int32.map(lambda v: memoryview(unaligned(np.array(v, np.int32)))),
        int32.map(lambda v: bytearray(np.array(v, np.int32).tobytes())),
    )


def usable_labels(labels):
    """Whether the kernel can write labels in place: a writable, C-contiguous,
    one-dimensional buffer of native int32 (or None: no nodes)."""
    if labels is None:
        return True
    if isinstance(labels, np.ndarray):
        return (labels.ndim == 1 and labels.dtype.char == "i" and labels.dtype.isnative
                and labels.flags.writeable and labels.flags.c_contiguous)
    if isinstance(labels, memoryview):
        return labels.format in ("i", "=i")
    return isinstance(labels, (array.array, ctypes.Array))


def sweep_limit(value):
    """The sweep count the kernel takes from ``value``, or None when it refuses it."""
    value = int_conversion(value)
    return int(value) if value is not None and 0 <= value < 2**64 else None


def tolerance_value(value):
    if isinstance(value, (str, bytes, bytearray)):
        return None
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        return None


def snapshot(labels):
    if isinstance(labels, np.ndarray):
        return labels.dtype, labels.shape, np.ascontiguousarray(labels).tobytes()
    if isinstance(labels, (array.array, memoryview, bytearray, ctypes.Array)):
        return bytes(labels)
    return labels


@examples(200)
@given(st.integers(0, 5).flatmap(label_objects), st.one_of(st.integers(0, 4), hostile_scalars()),
       st.one_of(st.sampled_from([1e-3, 0.5]), hostile_scalars()))
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_labels_and_numbers(labels, max_iterations, tolerance):
    buffers = (np.ndarray, array.array, memoryview, ctypes.Array)
    n = len(labels) if isinstance(labels, buffers) and np.ndim(labels) else 0
    # Node i sees i - 1 and i + 1 at weight 1.
    rows = [[j for j in (i - 1, i + 1) if 0 <= j < n] for i in range(n)]
    limit, tol = sweep_limit(max_iterations), tolerance_value(tolerance)
    valid = usable_labels(labels) and limit is not None and tol is not None
    assume(not valid or limit < 100 or tol > 0)  # otherwise a run may take 2**64 sweeps
    before = snapshot(labels)
    calls = []
    ids = reference.RecordingContainer(rows_container(rows, np.int64), calls)
    weights = reference.RecordingContainer(rows_container([[1.0] * len(r) for r in rows], np.float32), calls)

    got = outcome_of(propagate, ids, weights, labels, max_iterations, tolerance)
    event(f"outcome: {got[0] if got[0] == 'ok' else got[1].__name__}")

    assert (got[0] == "ok") == valid, got
    if not valid:
        assert calls == [] and snapshot(labels) == before
        return
    if labels is None:
        assert calls == [] and got[1].shape == () and got[1].item() is None
        return
    event(f"valid labels: {buffer_kind(labels)}")
    assert not len(labels) or np.shares_memory(got[1], np.asarray(labels))
    expected = reference.weighted_label_propagation(
        rows_container(rows, np.int64), rows_container([[1.0] * len(r) for r in rows], np.float32),
        np.frombuffer(before if isinstance(before, bytes) else before[2], np.int32).copy(), limit, tol)
    assert np.asarray(labels).tolist() == got[1].tolist() == expected.tolist()


def test_score_array_resized_by_a_container_is_refused(monkeypatch):
    # The kernel's score array comes from the module's np.zeros, which the
    # caller can replace and so keep hold of, and resize from a container call.
    handed_out = []

    class Zeros:
        def __getattr__(self, name):
            return getattr(np, name)

        def zeros(self, n, dtype):
            handed_out.append(np.zeros(n, dtype))
            return handed_out[-1]

    class Rows:
        def to_numpy(self, i):
            handed_out[0].resize(0, refcheck=False)
            return np.array([1], dtype=np.int64) if self is connections else np.ones(1, dtype=np.float32)

    monkeypatch.setattr(lp, "np", Zeros())
    connections, weights = Rows(), Rows()
    with pytest.raises(ValueError, match="score array has 0 entries for 2 nodes"):
        propagate(connections, weights, np.array([-1, 3], dtype=np.int32))

"""weighted_label_propagation: arguments, worked examples, agreement with the
plain-Python version, and the checks that keep bad rows from crashing."""

import ctypes
import inspect
import subprocess
import sys
import traceback
import types

import numpy as np
import pytest

import reference
from examples import PROPAGATION_EXAMPLES, check_propagation_example, example_id, rows_container
from hostile import unaligned
from reference import RecordingContainer
from velorn.algorithms.src.tolmar.binaries import tolmar_lp as lp

propagate = lp.weighted_label_propagation
FULL_NAME = "velorn.algorithms.src.tolmar.binaries.tolmar_lp.weighted_label_propagation"


class Rows:
    """A container serving fixed row objects, whatever they are."""

    def __init__(self, rows):
        self.rows = rows
        self.calls = 0

    def to_numpy(self, i):
        self.calls += 1
        return self.rows[i]


def path_graph():
    ids = rows_container([[1], [0, 2], [1, 3], [2]], np.int64)
    weights = rows_container([[1.0], [1.0, 1.0], [1.0, 1.0], [1.0]], np.float32)
    return ids, weights


@pytest.mark.parametrize("example", PROPAGATION_EXAMPLES, ids=example_id)
def test_worked_examples(example):
    check_propagation_example(propagate, example)


def test_published_function():
    sig = inspect.signature(propagate)
    assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == [
        ("connections", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("weights", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("initial_labels", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("max_iterations", inspect.Parameter.POSITIONAL_OR_KEYWORD, 50000),
        ("tolerance", inspect.Parameter.POSITIONAL_OR_KEYWORD, 0.001),
    ]
    assert propagate.__defaults__ == (50000, 0.001)
    assert propagate.__name__ == propagate.__qualname__ == "weighted_label_propagation"
    assert propagate.__module__ == "velorn.algorithms.src.tolmar.binaries.tolmar_lp"
    doc = propagate.__doc__.split("\n")
    assert doc[0] == (
        "weighted_label_propagation(connections, weights, int[::1] initial_labels, "
        "size_t max_iterations=50000, double tolerance=1e-3) -> ndarray"
    )
    assert doc[2] == "    Performs weighted label propagation on the data graph represented by `connetions` and `weights`."
    assert doc[5] == "    ----------------"
    assert doc[7] == "        adjacency list (2D array where each row lists neighbors of a node)"
    assert len(doc) == 17 and doc[-1] == "    "
    assert sorted(k for k in vars(lp) if not k.startswith("__") or k == "__test__") == [
        "__test__", "np", "weighted_label_propagation"]
    assert lp.__test__ == {} and lp.np is np


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "takes at least 3 positional arguments (1 given)"),
        ((), {}, "takes at least 3 positional arguments (0 given)"),
        ((1, 2, 3, 4, 5, 6), {}, "takes at most 5 positional arguments (6 given)"),
        ((), {"initial_labels": 1, "weights": 2}, "takes at least 3 positional arguments (0 given)"),
        ((1,), {"initial_labels": 1}, "takes at least 3 positional arguments (1 given)"),
        ((1, 2), {"tolerance": 1.0}, "takes at least 3 positional arguments (2 given)"),
        ((1, 2, 3), {"weights": 2}, "got multiple values for keyword argument 'weights'"),
        ((1, 2, 3), {"max_iter": 2}, "got an unexpected keyword argument 'max_iter'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        propagate(*args, **kwargs)
    assert str(info.value) == "weighted_label_propagation() " + message


def test_keywords_in_any_order_bind_like_positions():
    ids, weights = path_graph()
    by_keyword = np.array([-1, -1, -1, 5], dtype=np.int32)
    propagate(tolerance=0.5, initial_labels=by_keyword, weights=weights, max_iterations=1, connections=ids)
    by_position = np.array([-1, -1, -1, 5], dtype=np.int32)
    propagate(ids, weights, by_position, 1, 0.5)
    assert by_keyword.tolist() == by_position.tolist() == [-1, -1, 5, 5]


def test_non_string_keyword_refused_by_interpreter():
    with pytest.raises(TypeError, match="keywords must be strings"):
        propagate(1, 2, 3, **{1: 2})


labels4 = np.array([-1, -1, -1, 5], dtype=np.int32)


@pytest.mark.parametrize(
    "labels, error, message",
    [
        (labels4.astype(np.int64), ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
        (labels4.astype(np.float64), ValueError, "Buffer dtype mismatch, expected 'int' but got 'double'"),
        (labels4.astype(np.uint32), ValueError, "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"),
        (labels4.reshape(2, 2), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (labels4.astype(">i4"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
        (np.zeros(8, np.int32)[::2], ValueError, "ndarray is not C-contiguous"),
        ([-1, -1], TypeError, "a bytes-like object is required, not 'list'"),
    ],
)
def test_label_buffer_refused_before_containers_are_touched(labels, error, message):
    ids = Rows([])
    with pytest.raises(error) as info:
        propagate(ids, ids, labels)
    assert message in str(info.value)
    assert ids.calls == 0


def test_read_only_labels_refused():
    labels = labels4.copy()
    labels.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        propagate(Rows([]), Rows([]), labels)


# Valid label buffers that are not plain aligned NumPy arrays: a ctypes array
# exports no strides (C order implied); the others start at odd addresses.
LABEL_BUFFERS = {
    "ctypes": lambda values: (ctypes.c_int * len(values))(*values),
    "unaligned ndarray": lambda values: unaligned(np.array(values, np.int32)),
    "unaligned memoryview": lambda values: memoryview(unaligned(np.array(values, np.int32))),
}


@pytest.mark.parametrize("make", LABEL_BUFFERS.values(), ids=list(LABEL_BUFFERS))
def test_labels_in_any_valid_buffer_are_written_in_place(make):
    labels = make([-1, 7, -1, 5])
    result = propagate(*path_graph(), labels)
    written = np.frombuffer(labels, np.int32)
    assert result.tolist() == written.tolist() == [7, 7, 7, 5]
    assert np.shares_memory(result, written)


class FreshMemory:
    """Labels that hand out fresh memory holding their values on every buffer
    request, and count the requests and releases."""

    def __init__(self, values):
        self.values = np.array(values, np.int32)
        self.exported, self.released = [], 0

    def __buffer__(self, flags):
        memory = bytearray(self.values.tobytes())
        self.exported.append(memory)
        return memoryview(memory).cast("i")

    def __release_buffer__(self, view):
        self.released += 1


def fail(*args):
    raise RuntimeError("boom")


@pytest.mark.parametrize("failing", [None, "to_numpy", "asarray"])
def test_one_buffer_request_whose_memory_the_result_shows(monkeypatch, failing):
    ids, weights = path_graph()
    labels = FreshMemory([-1, -1, -1, 5])
    if failing == "to_numpy":
        ids = types.SimpleNamespace(to_numpy=fail)
    elif failing == "asarray":
        monkeypatch.setattr(lp, "np", types.SimpleNamespace(zeros=np.zeros, float64=np.float64, asarray=fail))
    if failing:
        with pytest.raises(RuntimeError, match="boom"):
            propagate(ids, weights, labels)
        assert (len(labels.exported), labels.released) == (1, 1)
        return
    result = propagate(ids, weights, labels)
    written = np.frombuffer(labels.exported[0], np.int32)
    assert result.tolist() == written.tolist() == [5, 5, 5, 5] and np.shares_memory(result, written)
    assert (len(labels.exported), labels.released) == (1, 0)  # held while the result lives
    del result
    assert labels.released == 1


@pytest.mark.parametrize(
    "max_iterations, error, message",
    [
        (-1, OverflowError, "can't convert negative value to size_t"),
        (2**64, OverflowError, "too large"),
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ],
)
def test_sweep_limit_refused(max_iterations, error, message):
    ids, weights = path_graph()
    with pytest.raises(error, match=message):
        propagate(ids, weights, labels4.copy(), max_iterations)


@pytest.mark.parametrize("max_iterations, sweeps", [(2.9, 2), (True, 1), (-0.5, 0), (np.int64(2), 2)])
def test_sweep_limit_conversions(max_iterations, sweeps):
    ids, weights = path_graph()
    labels = labels4.copy()
    recorded = RecordingContainer(ids)
    propagate(recorded, weights, labels, max_iterations)
    assert len(recorded.calls) == [0, 3, 5][sweeps]


def test_tolerance_conversions():
    ids, weights = path_graph()
    propagate(ids, weights, labels4.copy(), 5, 0)
    with pytest.raises(TypeError, match="must be real number"):
        propagate(ids, weights, labels4.copy(), 5, "x")


def test_none_labels_touch_nothing():
    rows = Rows([])
    result = propagate(rows, rows, None)
    assert rows.calls == 0
    assert isinstance(result, np.ndarray) and result.shape == () and result.dtype == object
    assert result.item() is None


@pytest.mark.parametrize(
    "ids_row, weights_row, error, message",
    [
        (None, np.ones(1, np.float32), TypeError, "Cannot convert NoneType to numpy.ndarray"),
        ([1], np.ones(1, np.float32), TypeError, "Cannot convert list to numpy.ndarray"),
        (np.array([1], np.int32), np.ones(1, np.float32), ValueError,
         "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
        (np.array([1], np.int64), np.ones(1, np.float64), ValueError,
         "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
        (np.array([[1]], np.int64), np.ones(1, np.float32), ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (np.array([1], ">i8"), np.ones(1, np.float32), ValueError,
         "Big-endian buffer not supported on little-endian compiler"),
        (np.array([1, 0], np.int64), np.ones(1, np.float32), ValueError,
         "weight row of node 0 has 1 entries but its neighbour row has 2"),
        (np.array([-1], np.int64), np.ones(1, np.float32), IndexError, "node 0 has neighbour id -1"),
        (np.array([2], np.int64), np.ones(1, np.float32), IndexError, "node 0 has neighbour id 2"),
        (np.array([2**32 + 1], np.int64), np.ones(1, np.float32), IndexError, "neighbour id 4294967297"),
    ],
)
def test_bad_rows(ids_row, weights_row, error, message):
    labels = np.array([-1, 3], dtype=np.int32)
    with pytest.raises(error) as info:
        propagate(Rows([ids_row]), Rows([weights_row]), labels)
    assert message in str(info.value)
    assert labels.tolist() == [-1, 3]
    assert FULL_NAME in [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]


def test_strided_read_only_rows_and_subclasses():
    class Sub(np.ndarray):
        pass

    ids = np.array([1, 99, 1, 99], np.int64)[::2].view(Sub)
    weights = np.array([0.5, 7.0, 0.5], np.float32)[::2]
    weights.setflags(write=False)
    labels = np.array([-1, 6], dtype=np.int32)
    propagate(Rows([ids]), Rows([weights]), labels)
    assert labels.tolist() == [6, 6]


def test_labels_written_before_a_failure_stay():
    class FailOnSecondSweep:
        def __init__(self, inner):
            self.inner, self.seen = inner, set()

        def to_numpy(self, i):
            if i in self.seen:
                raise RuntimeError("boom")
            self.seen.add(i)
            return self.inner.to_numpy(i)

    ids, weights = path_graph()
    labels = labels4.copy()
    with pytest.raises(RuntimeError, match="boom"):
        propagate(FailOnSecondSweep(ids), weights, labels)
    assert labels.tolist() == [-1, -1, 5, 5]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_rows_rewritten_between_the_two_calls_are_read_fresh():
    ids_row = np.array([1, 1, 1, 1], np.int64)

    class Weights:
        def to_numpy(self, i):
            ids_row.shape = (2, 2)  # same memory, no longer 1-D
            return np.ones(4, np.float32)

    with pytest.raises(ValueError, match="wrong number of dimensions"):
        propagate(Rows([ids_row, None]), Weights(), np.array([-1, 2], dtype=np.int32))


def test_reentrant_call_on_the_same_labels():
    ids, weights = path_graph()
    labels = labels4.copy()

    class Reentrant:
        def __init__(self):
            self.depth = 0

        def to_numpy(self, i):
            if self.depth == 0:
                self.depth += 1
                propagate(ids, weights, labels)
            return ids.to_numpy(i)

    propagate(Reentrant(), weights, labels)
    assert labels.tolist() == [5, 5, 5, 5]


def test_matches_plain_python_version_on_random_graphs():
    rng = np.random.default_rng(7)
    for trial in range(40):
        n = int(rng.integers(1, 40))
        rows = [rng.integers(0, n, size=int(rng.integers(0, 6))).tolist() for _ in range(n)]
        row_weights = [rng.choice([0.0, 0.5, 1.0, 2.0, 3.0, np.nan], size=len(r)).tolist() for r in rows]
        labels = np.where(rng.random(n) < 0.3, rng.integers(-3, 4, n), -1).astype(np.int32)
        limit = int(rng.integers(0, 6))
        tolerance = float(rng.choice([0.0, 1e-3, 0.5, 1.0, 2.0]))
        outcomes = []
        for impl in (propagate, reference.weighted_label_propagation):
            ids = RecordingContainer(rows_container(rows, np.int64))
            ws = RecordingContainer(rows_container(row_weights, np.float32))
            result = labels.copy()
            impl(ids, ws, result, limit, tolerance)
            outcomes.append((result.tolist(), ids.calls, ws.calls))
        assert outcomes[0] == outcomes[1], trial


@pytest.mark.parametrize("labels", ["np.array([1, 2], np.int32)", "None"])
def test_long_run_of_empty_sweeps_can_be_interrupted(labels):
    # A signal handler's exception ends the call, as Ctrl-C's KeyboardInterrupt would.
    code = f"""
import signal, numpy as np
from velorn.algorithms.src.tolmar.binaries.tolmar_lp import weighted_label_propagation
def stop(signum, frame):
    raise TimeoutError
signal.signal(signal.SIGALRM, stop)
try:  # armed in here: on a loaded machine the alarm may come before the call starts
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    weighted_label_propagation(None, None, {labels}, 2**64 - 1, 0.0)
except TimeoutError:
    print("interrupted")
"""
    result = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout == "interrupted\n", result.stderr


def test_no_reference_leak_per_call():
    ids, weights = path_graph()
    labels = labels4.copy()
    before = sys.getrefcount(labels), sys.getrefcount(ids), sys.getrefcount(weights)
    for _ in range(200):
        propagate(ids, weights, labels)
        try:
            propagate(ids, weights, labels, -1)
        except OverflowError:
            pass
    assert (sys.getrefcount(labels), sys.getrefcount(ids), sys.getrefcount(weights)) == before

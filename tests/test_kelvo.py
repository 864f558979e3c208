"""kelvo_postprocess: arguments, worked examples, the checks that keep bad
input and odd callees from crashing, and agreement with the plain-Python
version on random inputs."""

import ctypes
import inspect
import subprocess
import sys
import traceback
import types

import numpy as np
import pytest
from sklearn.metrics import DistanceMetric

import reference
from examples import POSTPROCESS_EXAMPLES, check_postprocess_example, example_id
from hostile import unaligned
from velorn.algorithms.src.kelvo.binaries import kelvo_postprocess as kp

post = kp.kelvo_postprocess
FULL_NAME = "velorn.algorithms.src.kelvo.binaries.kelvo_postprocess.kelvo_postprocess"

PTS = np.array([[0, 0], [1, 0], [9, 0], [10, 0], [4, 0], [6, 0]], dtype=np.float64)
LABELS = np.array([0, 0, 1, 1, -1, -1], dtype=np.int32)


class Str(str):
    pass


def frames(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def outcome(function, *args, **kwargs):
    try:
        return function(*args, **kwargs).tolist()
    except Exception as exc:  # compared by type and message
        return type(exc), str(exc)


def use_metric(monkeypatch, make):
    """Replaces the module's DistanceMetric; returns the recorded get_metric calls."""
    calls = []

    def get_metric(*args, **kwargs):
        calls.append((args, kwargs))
        return make(*args, **kwargs)

    monkeypatch.setattr(kp, "DistanceMetric", types.SimpleNamespace(get_metric=get_metric))
    return calls


@pytest.mark.parametrize("example", POSTPROCESS_EXAMPLES, ids=example_id)
def test_worked_examples(example):
    check_postprocess_example(post, example)


def test_published_function():
    P = inspect.Parameter
    assert [(q.name, q.kind, q.default) for q in inspect.signature(post).parameters.values()] == [
        ("points", P.POSITIONAL_OR_KEYWORD, P.empty), ("labels_in", P.POSITIONAL_OR_KEYWORD, P.empty),
        ("metric", P.POSITIONAL_OR_KEYWORD, "minkowski"), ("p", P.POSITIONAL_OR_KEYWORD, 2),
        ("threshold", P.POSITIONAL_OR_KEYWORD, -1)]
    assert post.__doc__ == ("kelvo_postprocess(double[:, ::1] points, ndarray labels_in, "
                            "str metric='minkowski', int p=2, int threshold=-1)")
    assert post.__module__ == "velorn.algorithms.src.kelvo.binaries.kelvo_postprocess"
    assert kp.np is np and kp.DistanceMetric is DistanceMetric and kp.__test__ == {}


@pytest.mark.parametrize("args, kwargs, message", [
    ((PTS,), {}, "takes at least 2 positional arguments (1 given)"),
    ((), {"points": PTS}, "takes at least 2 positional arguments (1 given)"),
    ((), {"labels_in": LABELS}, "takes at least 2 positional arguments (0 given)"),
    ((PTS, LABELS, "minkowski", 2, -1, 0), {}, "takes at most 5 positional arguments (6 given)"),
    ((PTS, LABELS), {"points": PTS}, "got multiple values for keyword argument 'points'"),
    ((PTS, LABELS), {"metrc": "x"}, "got an unexpected keyword argument 'metrc'"),
])
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        post(*args, **kwargs)
    assert str(info.value) == "kelvo_postprocess() " + message


BAD_TYPE_LABELS = "Argument 'labels_in' has incorrect type (expected numpy.ndarray, got list)"
BAD_TYPE_METRIC = "Argument 'metric' has incorrect type (expected str, got Str)"
NOT_INT = "an integer is required"


@pytest.mark.parametrize("changes, error, message", [
    ({"points": PTS.astype(np.float32)}, ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ({"points": np.asfortranarray(PTS)}, ValueError, "not C-contiguous"),
    ({"points": PTS[:, :1]}, ValueError, "not C-contiguous"),
    ({"points": np.lib.stride_tricks.as_strided(PTS, writeable=False)}, ValueError, "read-only"),
    ({"points": PTS[0]}, ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ({"labels_in": LABELS.astype(np.int64)}, ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ({"labels_in": LABELS.reshape(2, 3)}, ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ({"labels_in": LABELS.tolist()}, TypeError, BAD_TYPE_LABELS),
    ({"metric": Str("minkowski")}, TypeError, BAD_TYPE_METRIC),
    ({"p": "2"}, TypeError, NOT_INT),
    ({"threshold": None}, TypeError, NOT_INT),
    ({"threshold": 2**31}, OverflowError, "value too large to convert to int"),
    # The first failing step decides: p, threshold, labels_in type, metric type, labels_in buffer.
    ({"labels_in": [0], "metric": Str(), "p": "x"}, TypeError, NOT_INT),
    ({"points": PTS.astype(np.float32), "threshold": "x"}, ValueError, "expected 'double'"),
    ({"labels_in": [0], "metric": Str()}, TypeError, BAD_TYPE_LABELS),
    ({"labels_in": LABELS.astype(np.int64), "metric": Str()}, TypeError, BAD_TYPE_METRIC),
    # Body errors: scikit-learn's, and the one-label-per-row check.
    ({"metric": "no-such-metric"}, ValueError, "Unrecognized metric 'no-such-metric'"),
    ({"metric": None}, ValueError, "Unrecognized metric 'None'"),
    ({"labels_in": LABELS[:5]}, ValueError, "labels_in has 5 labels but points has 6 rows"),
    ({"labels_in": -np.ones(7, np.int32)}, ValueError, "labels_in has 7 labels but points has 6 rows"),
    ({"labels_in": None}, AttributeError, "'NoneType' object has no attribute 'copy'"),
])
def test_argument_and_call_errors(changes, error, message):
    arguments = {"points": PTS, "labels_in": LABELS, **changes}
    with pytest.raises(error) as info:
        post(**arguments)
    assert message in str(info.value)
    assert (FULL_NAME in frames(info.value)) == ("incorrect type" not in message)


@pytest.mark.parametrize("options, expected_call", [
    ({}, (("minkowski",), {"p": 2})),
    ({"p": 2.9}, (("minkowski",), {"p": 2})),
    ({"p": True, "metric": "minkowski"}, (("minkowski",), {"p": 1})),
    ({"p": 7, "metric": "euclidean"}, (("euclidean",), {})),
])
def test_get_metric_arguments(monkeypatch, options, expected_call):
    calls = use_metric(monkeypatch, DistanceMetric.get_metric)
    post(PTS, LABELS, **options)
    assert calls == [expected_call] and all(type(v) is int for v in calls[0][1].values())


def test_names_looked_up_at_each_call(monkeypatch):
    monkeypatch.delattr(kp, "DistanceMetric")
    with pytest.raises(NameError, match="name 'DistanceMetric' is not defined"):
        post(PTS, LABELS)
    monkeypatch.setattr("builtins.DistanceMetric", DistanceMetric, raising=False)
    assert post(PTS, LABELS).tolist() == [0, 0, 1, 1, 0, 1]


class Scripted:
    """A metric whose distance from centroid x to any point is distance[x[0]]."""

    def __init__(self, distance, batch_result=None):
        self.distance, self.batch_result, self.shapes = distance, batch_result, []

    def pairwise(self, X, Y):
        single = isinstance(X, list)
        X, Y = np.asarray(X), np.asarray(Y)
        self.shapes.append((single, X.shape, Y.shape))
        if self.batch_result is not None and not single:
            return self.batch_result(X, Y)
        return np.repeat(np.array([self.distance[x] for x in X[:, 0]])[:, None], len(Y), axis=1)


@pytest.mark.parametrize("distances, expected", [
    ([np.nan, np.inf, 5.0, 5.0], 12),  # a tie goes to the smaller label; NaN and inf never win
    ([np.nan, np.inf, np.nan, np.inf], -1),
    ([-np.inf, -np.inf, 0.0, 0.0], 10),
])
def test_nearest_centroid_rule(monkeypatch, distances, expected):
    metric = Scripted(dict(enumerate(distances)))
    use_metric(monkeypatch, lambda *a, **k: metric)
    points = np.array([[0.0], [1.0], [2.0], [3.0], [9.0]])
    assert post(points, np.array([10, 11, 12, 13, -1], np.int32)).tolist() == [10, 11, 12, 13, expected]


@pytest.mark.parametrize("labels, shapes", [
    ([0, 1, 0, 1], []),  # no noise point
    ([-1, -1, -5, -1], []),  # no surviving cluster
    ([0, -1, 1, -1], [(True, (1, 1), (1, 1)), (False, (2, 1), (2, 1))]),
])
def test_pairwise_calls(monkeypatch, labels, shapes):
    metric = Scripted({0.0: 1.0, 2.0: 1.0})
    use_metric(monkeypatch, lambda *a, **k: metric)
    post(np.arange(4.0)[:, None], np.array(labels, np.int32))
    assert metric.shapes == shapes


@pytest.mark.parametrize("batch_result, error, message", [
    (lambda X, Y: [[0.0] * len(Y)] * len(X), TypeError, "Cannot convert list to numpy.ndarray"),
    (lambda X, Y: np.zeros((len(Y), len(X))), ValueError, "pairwise returned an array of shape (3, 2), expected (2, 3)"),
    (lambda X, Y: np.zeros((len(X), len(Y)), complex), TypeError,
     "pairwise returned an array of dtype dtype('complex128'), expected real numbers"),
    (lambda X, Y: np.full((len(X), len(Y)), "1", object), TypeError,
     "pairwise returned an entry of type str, expected a real number"),
])
def test_odd_pairwise_results_refused(monkeypatch, batch_result, error, message):
    use_metric(monkeypatch, lambda *a, **k: Scripted({0.0: 1.0, 2.0: 1.0}, batch_result))
    with pytest.raises(error) as info:
        post(np.arange(5.0)[:, None], np.array([0, -1, 1, -1, -1], np.int32))
    assert message in str(info.value) and FULL_NAME in frames(info.value)


# A single pair's distance is read as any real number converted to double.
@pytest.mark.parametrize("dtype", [np.float32, np.float16, ">f8", np.longdouble, np.int64, np.uint8, bool, object])
def test_real_valued_distances_of_any_dtype_read_as_single_pairs_are(monkeypatch, dtype):
    real = DistanceMetric.get_metric("manhattan")
    metric = types.SimpleNamespace(pairwise=lambda X, Y: real.pairwise(X, Y).astype(dtype))
    use_metric(monkeypatch, lambda *a, **k: metric)
    monkeypatch.setattr(reference, "DistanceMetric", types.SimpleNamespace(get_metric=lambda *a, **k: metric))
    points = np.array([[0, 0], [1, 0], [9, 0], [10, 0], [4, 0], [6, 0], [5.5, 0], [3, 0.5]])
    labels = np.array([0, 0, 1, 1, -1, -1, -1, -1], np.int32)
    assert post(points, labels).tolist() == reference.kelvo_postprocess(points, labels).tolist()


# Valid point buffers that are not plain aligned NumPy arrays: a ctypes array
# exports no strides (C order implied); the others start at odd addresses.
POINT_BUFFERS = {
    "ctypes": lambda: ((ctypes.c_double * 2) * 6)(*map(tuple, PTS)),
    "unaligned ndarray": lambda: unaligned(PTS),
    "unaligned memoryview": lambda: memoryview(unaligned(PTS)),
}


@pytest.mark.parametrize("make", POINT_BUFFERS.values(), ids=list(POINT_BUFFERS))
def test_points_in_any_valid_buffer(make):
    points = make()
    assert post(points, LABELS).tolist() == post(PTS, LABELS).tolist() == [0, 0, 1, 1, 0, 1]
    assert np.frombuffer(points, np.float64).reshape(PTS.shape).tolist() == PTS.tolist()


def test_odd_mean_refused(monkeypatch):
    monkeypatch.setattr(kp, "np", types.SimpleNamespace(mean=lambda rows, axis: [0.0, 0.0]))
    with pytest.raises(TypeError, match="Cannot convert list to numpy.ndarray"):
        post(PTS, LABELS)


@pytest.mark.parametrize("copy_result, error, message", [
    ([0, -1], TypeError, "Cannot convert list to numpy.ndarray"),
    (np.array([0, -1], np.int64), ValueError, "expected 'int' but got 'long'"),
    (np.zeros(3, np.int32), ValueError, "labels_in.copy() has 3 labels but points has 2 rows"),
])
def test_odd_copies_refused(copy_result, error, message):
    class Labels(np.ndarray):
        def copy(self):
            return copy_result

    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        post(PTS[:2], np.array([0, -1], np.int32).view(Labels))


@pytest.mark.parametrize("points, labels", [
    ([[0, 0], [1, 1], [np.nan, 0], [3, 3]], [0, 1, 1, -1]),  # NaN centroid
    ([[0, 0], [1, 1], [np.inf, 0], [np.nan, 3]], [0, 1, 1, -1]),  # first noise point NaN, a centroid inf
    ([[0, 0], [np.nan, 0], [np.inf, 1], [2, 2]], [0, 1, -1, -1]),  # first noise point inf, a centroid NaN
    ([[0, 0], [1, 1], [2, 2], [np.inf, 3], [np.nan, 1]], [0, 1, -1, -1, -1]),  # later noise points
])
def test_refusals_of_non_finite_input_match_plain_version(points, labels):
    args = (np.array(points, dtype=np.float64), np.array(labels, np.int32))
    assert outcome(post, *args) == outcome(reference.kelvo_postprocess, *args)


def test_metric_refusing_the_data_fails_at_the_first_pair():
    # haversine refuses 1-D points at the very first pair, before the pair with the NaN point.
    args = (np.array([[0.0], [0.0], [np.nan], [1.0]]), np.array([-1, -1, -1, 0], np.int32))
    assert outcome(post, *args, metric="haversine") == outcome(reference.kelvo_postprocess, *args, metric="haversine")
    assert "2 dimensions" in outcome(post, *args, metric="haversine")[1]


METRICS = [{"p": 1}, {"p": 2}, {"p": 3}, {"metric": "euclidean"}, {"metric": "manhattan"},
           {"metric": "chebyshev"}, {"metric": "canberra"}]


@pytest.mark.parametrize("options", METRICS, ids=str)
def test_matches_plain_python_version(options):
    rng = np.random.default_rng(sum(map(ord, str(options))))
    for trial in range(12):
        n, d = int(rng.integers(0, 40)), int(rng.integers(1, 4))
        # Small integer coordinates make exact ties common.
        points = rng.integers(0, 4, (n, d)).astype(float) if trial % 2 else rng.normal(size=(n, d))
        values = [-1, -3, 0, 1, 2, 5] if trial % 3 else [-1, -2**31, 7, 10**9, 2**31 - 1]
        labels = rng.choice(values, n, p=[0.4] + [0.6 / (len(values) - 1)] * (len(values) - 1)).astype(np.int32)
        labels = np.repeat(labels, 2)[::2]  # strided and read-only
        labels.setflags(write=False)
        threshold = int(rng.choice([-1, 0, 2, 8]))
        before = labels.copy()
        result = post(points, labels, threshold=threshold, **options)
        assert result.tolist() == reference.kelvo_postprocess(points, labels, threshold=threshold, **options).tolist()
        assert result.dtype == np.int32 and np.array_equal(labels, before)


def test_many_chunks_match_one_batch(monkeypatch):
    rng = np.random.default_rng(3)
    points = rng.integers(0, 50, (11000, 2)).astype(float)
    labels = np.where(np.arange(11000) % 11 < 5, -1, rng.integers(0, 1000, 11000)).astype(np.int32)
    centroids = reference._centroid_table(points, labels)
    real = DistanceMetric.get_metric("euclidean")
    distances = real.pairwise(np.array(list(centroids.values())), points[labels == -1])
    expected = labels.copy()
    expected[labels == -1] = np.array(list(centroids))[np.argmin(distances, axis=0)]  # first of equal minima

    batches = []
    recording = types.SimpleNamespace(pairwise=lambda X, Y: batches.append(len(Y)) or real.pairwise(X, Y))
    use_metric(monkeypatch, lambda *a, **k: recording)
    assert post(points, labels).tolist() == expected.tolist()
    assert len(batches) == 3 and sum(batches[1:]) == 5000  # a probe, then two chunks


def test_no_reference_leaks():
    before = sys.getrefcount(PTS), sys.getrefcount(LABELS)
    for bad in [{}, {"p": "x"}, {"metric": Str()}, {"metric": "nope"}] * 50:
        outcome(post, PTS, LABELS, **bad)
    assert (sys.getrefcount(PTS), sys.getrefcount(LABELS)) == before


def test_import_without_distance_metric():
    code = (
        "import sys, types; sys.modules['sklearn.metrics'] = types.ModuleType('sklearn.metrics')\n"
        "try:\n    import velorn.algorithms.src.kelvo.binaries.kelvo_postprocess\n"
        "except ImportError as e:\n    print(e)"
    )
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout == "cannot import name DistanceMetric\n", out.stderr

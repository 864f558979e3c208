"""kelvo_postprocess under hostile input: every call ends in a result or a
Python exception, the caller's labels_in and points are left as they were,
and wherever the arguments pass the entry checks the outcome (labels, or
exception type and message) is the plain-Python version's.
"""

import math
import types
import warnings
import zlib

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import reference
from hostile import (EDGE_INTS, any_arrays, buffer_kind, examples, hostile_scalars, int_conversion, outcome_of,
                     unaligned)
from velorn.algorithms.src.kelvo.binaries import kelvo_postprocess as kp

post = kp.kelvo_postprocess

COORDINATES = [0.0, 1.0, -1.0, 2.5, 3.0, 1e-300, 1e300, -1e300, 5e-324, math.nan, math.inf, -math.inf]
LABELS = [-1, -1, -1, 0, 1, 2, -2, -(2**31), 2**31 - 1, 10**9]
METRICS = ["minkowski", "minkowski", "euclidean", "manhattan", "chebyshev", "canberra", "braycurtis", "hamming",
           "haversine", "mahalanobis", "no-such-metric", ""]


class Labels(np.ndarray):
    pass


class OddCopy(np.ndarray):
    """A label array whose copy() hands back ``self.copy_result`` (set after viewing)."""

    def copy(self, *args, **kwargs):
        result = self.copy_result
        return self if isinstance(result, str) and result == "self" else result


def label_layouts(values):
    labels = np.array(values, np.int32)
    return st.sampled_from([
        labels, np.repeat(labels, 2)[::2], np.ascontiguousarray(labels[::-1])[::-1], labels.view(Labels),
        read_only(labels),
    ])


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


@st.composite
def clusterings(draw, coordinates=st.sampled_from(COORDINATES) | st.integers(-3, 3)):
    n = draw(st.integers(0, 9))
    d = draw(st.integers(0, 3)) if draw(st.integers(0, 9)) == 0 else draw(st.integers(1, 3))
    points = np.array(draw(st.lists(coordinates, min_size=n * d, max_size=n * d)), np.float64).reshape(n, d)
    labels = draw(st.lists(st.sampled_from(LABELS), min_size=n, max_size=n).flatmap(label_layouts))
    return points, labels


def snapshot(value):
    if isinstance(value, np.ndarray):
        return repr((value.dtype, value.shape, np.ascontiguousarray(value).tobytes()))
    return repr(value)


def run_both(points, labels, **options):
    """The outcomes of the kernel and of the plain version, checking that the
    kernel left its inputs alone."""
    before = snapshot(points), snapshot(labels)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = outcome_of(post, points, labels, **options)
        event(f"outcome: {got[0] if got[0] == 'ok' else got[1].__name__}")
        assert (snapshot(points), snapshot(labels)) == before
        want = outcome_of(reference.kelvo_postprocess, points, labels, **options)
    return normal(got), normal(want)


def normal(outcome):
    if outcome[0] == "ok":
        assert isinstance(outcome[1], np.ndarray) and outcome[1].dtype == np.int32
        return ("ok", outcome[1].tolist())
    return outcome


@examples(250)
@given(clusterings(), st.sampled_from(METRICS), st.sampled_from([2, 1, 3, 0, -1, 2.9, True]),
       st.sampled_from([-1, 0, 1, 2, -2] + EDGE_INTS[3:-3]))
def test_matches_plain_version(clustering, metric, p, threshold):
    points, labels = clustering
    got, want = run_both(points, labels, metric=metric, p=p, threshold=threshold)
    assert got == want


# --- arguments of any kind ---------------------------------------------------------------


def valid_points(n):
    return st.lists(st.sampled_from(COORDINATES[:5]), min_size=2 * n, max_size=2 * n).map(
        lambda v: np.array(v, np.float64).reshape(n, 2))


def point_objects(n):
    valid = valid_points(n)
    return st.one_of(
        valid, any_arrays(), st.sampled_from([None, [[0.0, 1.0]], b"x" * 16]),
        valid.map(lambda a: memoryview(bytearray(a.tobytes())).cast("d", a.shape) if a.size else a),
        valid.map(unaligned), valid.map(lambda a: memoryview(unaligned(a)) if a.size else a),  # odd addresses
        valid.map(lambda a: read_only(a)), valid.map(np.asfortranarray), valid.map(lambda a: a[:, ::-1]),
    )


def label_objects(n):
    int32 = st.lists(st.sampled_from(LABELS), min_size=n, max_size=n)
    odd_copies = [None, [0], "self", np.zeros(n, np.int64), np.zeros((n, 1), np.int32), read_only(np.zeros(n, np.int32)),
                  np.zeros(n + 1, np.int32), np.full(n, -1, np.int32)[::-1]]
    return st.one_of(
        int32.flatmap(label_layouts), any_arrays(max_dims=2), st.sampled_from([None, [-1, 0], 3]),
        st.tuples(int32, st.sampled_from(odd_copies)).map(odd_copy),
    )


def odd_copy(values_and_result):
    values, result = values_and_result
    labels = np.array(values, np.int32).view(OddCopy)
    labels.copy_result = result
    return labels


def int32_value(value):
    """What the kernel takes from a p or threshold argument, or None when it refuses it."""
    value = int_conversion(value)
    return int(value) if value is not None and -(2**31) <= value < 2**31 else None


def accepted(points, labels, metric, p, threshold):
    """Whether the arguments pass the entry checks, with the values taken."""
    if points is not None:
        view = np.asarray(points) if isinstance(points, memoryview) else points
        if not (isinstance(view, np.ndarray) and view.ndim == 2 and view.dtype.char == "d" and view.dtype.isnative
                and view.flags.c_contiguous and view.flags.writeable):
            return None
    if labels is not None and not (isinstance(labels, np.ndarray) and labels.ndim == 1
                                   and labels.dtype.char == "i" and labels.dtype.isnative):
        return None
    if metric is not None and type(metric) is not str:
        return None
    p, threshold = int32_value(p), int32_value(threshold)
    return None if p is None or threshold is None else (p, threshold)


@st.composite
def argument_sets(draw):
    """Well-formed arguments with up to two of them replaced by anything."""
    n = draw(st.integers(0, 5))
    hostile = draw(st.lists(st.sampled_from(["points", "labels", "metric", "p", "threshold"]), max_size=2))
    int32 = st.lists(st.sampled_from(LABELS), min_size=n, max_size=n)
    return (
        draw(point_objects(n) if "points" in hostile else valid_points(n)),
        draw(label_objects(n) if "labels" in hostile else int32.flatmap(label_layouts)),
        draw(st.sampled_from(METRICS + [None, b"minkowski", 3, type("Str", (str,), {})("x")]) if "metric" in hostile
             else st.sampled_from(["minkowski", "euclidean", "manhattan", "chebyshev"])),
        draw(hostile_scalars() if "p" in hostile else st.sampled_from([1, 2, 3])),
        draw(hostile_scalars() if "threshold" in hostile else st.sampled_from([-1, 0, 1, 2])),
    )


@examples(250)
@given(argument_sets())
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_arguments_of_any_kind(arguments):
    points, labels, metric, p, threshold = arguments
    before = snapshot(points), snapshot(labels)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = outcome_of(post, points, labels, metric, p, threshold)
    event(f"outcome: {got[0] if got[0] == 'ok' else got[1].__name__}")
    assert (snapshot(points), snapshot(labels)) == before or (
        isinstance(labels, OddCopy) and isinstance(labels.copy_result, str))  # copy() returned labels_in itself
    taken = accepted(points, labels, metric, p, threshold)
    if taken is None:
        assert got[0] == "error"
        return
    if points is not None:
        event(f"valid points: {buffer_kind(points)}")
    if got[0] == "ok":
        assert isinstance(got[1], np.ndarray) and got[1].dtype == np.int32 and got[1].ndim == 1
        assert points is None or len(got[1]) == len(points)
    if isinstance(labels, OddCopy) or (points is not None and labels is not None and len(points) != len(labels)):
        return  # outcomes the plain version cannot match: see the worked tests
    points = np.asarray(points) if isinstance(points, memoryview) else points
    assert normal(got) == normal(outcome_of(reference.kelvo_postprocess, points, labels, metric, *taken))


# --- metrics and NumPy functions that misbehave --------------------------------------------


def scripted_distance(values):
    """A distance made up from the bytes of the two vectors: the same pair
    always gets the same value, whichever way it is asked for."""

    def distance(x, y):
        x, y = np.asarray(x, np.float64), np.asarray(y, np.float64)
        return values[zlib.crc32(x.tobytes() + b"|" + y.tobytes()) % len(values)]

    return distance


class ScriptedMetric:
    """A metric whose pairwise follows ``distance``, except where ``misbehave``
    (applied to the well-formed result) says otherwise."""

    def __init__(self, distance, misbehave=None, world=None):
        self.distance, self.misbehave, self.world = distance, misbehave, world
        self.calls = 0

    def pairwise(self, X, Y):
        result = np.array([[self.distance(x, y) for y in np.asarray(Y)] for x in np.asarray(X)], np.float64)
        self.calls += 1
        if self.misbehave and self.calls > 1:  # the first call is allowed through
            return self.misbehave(result, self.world)
        return result


def reenter(result, world):
    if not world.get("depth"):
        world["depth"] = 1
        post(world["points"], world["labels"])
        world["depth"] = 0
    return result


MISBEHAVIOURS = {
    "raise": lambda r, w: 1 / 0,
    "None": lambda r, w: None,
    "list": lambda r, w: r.tolist(),
    "float32": lambda r, w: r.astype(np.float32),  # well-formed: distances are read as doubles
    "float16": lambda r, w: r.astype(np.float16),  # well-formed
    "big-endian": lambda r, w: r.astype(">f8"),  # well-formed
    "transposed": lambda r, w: r.T,
    "fortran": lambda r, w: np.asfortranarray(r),  # well-formed
    "reversed": lambda r, w: r[::-1, ::-1].copy()[::-1, ::-1],  # well-formed
    "strided": lambda r, w: np.repeat(r, 2, axis=1)[:, ::2],  # well-formed
    "one more row": lambda r, w: np.vstack([r, r[:1]]),
    "flat": lambda r, w: r.ravel(),
    "0-d": lambda r, w: np.float64(0.0),
    "object": lambda r, w: r.astype(object),  # well-formed: entries are real numbers
    "subclass": lambda r, w: r.view(Labels),  # well-formed
    "re-enter": reenter,  # well-formed
    "rewrite points": lambda r, w: (w["points"].__setitem__(..., 7.0), r)[1],
}
WELL_FORMED = {"fortran", "reversed", "strided", "subclass", "re-enter", "float32", "float16", "big-endian", "object"}


@examples(200)
@given(clusterings(st.sampled_from([0.0, 1.0, -1.0, 2.0, 4.0])),
       st.lists(st.sampled_from([0.0, 1.0, 1.0, 2.0, 5.0, -1.0, math.nan, math.inf, -math.inf]), min_size=1, max_size=6),
       st.sampled_from([None, *MISBEHAVIOURS]), st.sampled_from([None, "raise", "list", "wrong length", "float32", "2-d"]))
def test_misbehaving_metric_and_mean(monkeypatch, clustering, distances, misbehave, mean_misbehaves):
    points, labels = clustering
    world = {"points": points, "labels": labels}
    distance = scripted_distance(distances)
    metric = ScriptedMetric(distance, MISBEHAVIOURS.get(misbehave), world)
    # A context of its own: the fixture itself lives across all examples.
    with monkeypatch.context() as patch:
        patch.setattr(kp, "DistanceMetric", types.SimpleNamespace(get_metric=lambda *args, **kwargs: metric))
        if mean_misbehaves:
            patch.setattr(kp, "np", types.SimpleNamespace(array=np.array, mean=odd_mean(mean_misbehaves)))
        check_misbehaving(points, labels, distance, misbehave, mean_misbehaves, patch)


def odd_mean(how):
    return lambda rows, axis: {
        "raise": lambda: 1 / 0, "list": lambda: [0.0] * rows.shape[1],
        "wrong length": lambda: np.zeros(rows.shape[1] + 1), "float32": lambda: np.zeros(rows.shape[1], np.float32),
        "2-d": lambda: np.zeros((1, rows.shape[1])),
    }[how]()


def check_misbehaving(points, labels, distance, misbehave, mean_misbehaves, patch):
    points_before = points.copy()
    labels_before = snapshot(labels)

    got = outcome_of(post, points, labels)
    event(f"outcome: {got[0] if got[0] == 'ok' else got[1].__name__}")

    assert snapshot(labels) == labels_before
    if misbehave != "rewrite points":
        np.testing.assert_array_equal(points, points_before)
    if (misbehave is None or misbehave in WELL_FORMED) and not mean_misbehaves:
        plain = types.SimpleNamespace(get_metric=lambda *args, **kwargs: ScriptedMetric(distance))
        patch.setattr(reference, "DistanceMetric", plain)
        assert normal(got) == normal(outcome_of(reference.kelvo_postprocess, points, labels))
    elif got[0] == "ok":
        assert got[1].dtype == np.int32 and got[1].shape == labels.shape

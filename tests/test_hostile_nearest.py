"""nearest_centroid under hostile input, metrics that misbehave included: each
call ends in a result or a Python exception, leaves its inputs as they were,
and picks what the plain rule picks from the distances the metric gave."""

import math

import numpy as np
from hostile import EDGE_INTS, arguments, checked_outcome, examples
from hypothesis import given
from hypothesis import strategies as st
from sklearn.metrics import DistanceMetric

from velorn._native import nearest_centroid

DISTANCES = [0.0, 1.0, 2.0, 1.0, -1.0, math.nan, math.inf, -math.inf]


class Scripted:
    """A metric giving scripted distances, and its results or its wrongs:
    another shape or dtype, an exception, its arguments rewritten."""

    def __init__(self, distances, wrong):
        self.distances, self.wrong, self.given, self.returned = distances, wrong, [], []

    def pairwise(self, X, Y):
        self.given.append(Y.copy())
        if self.wrong == "raises":
            raise ZeroDivisionError("hostile metric")
        if self.wrong == "rewrites its arguments":
            X[...], Y[...] = -7.0, -7.0
        result = np.resize(self.distances, (len(X), len(Y)))
        result = {"shape": lambda r: r.T, "dtype": lambda r: r.astype(complex), "list": lambda r: r.tolist()}.get(
            self.wrong, lambda r: r)(result)
        self.returned.append(result)
        return result


@st.composite
def calls(draw):
    n, d, c = draw(st.integers(0, 5)), draw(st.integers(0, 2)), draw(st.integers(0, 3))
    points = np.array(draw(st.lists(st.sampled_from([0.0, 1.0, -2.0]), min_size=n * d, max_size=n * d))).reshape(n, d)
    inside = st.integers(0, n - 1) if n else st.sampled_from(EDGE_INTS)
    rows = np.array(draw(st.lists(st.integers(1, 12).flatmap(lambda k: st.sampled_from(EDGE_INTS) if k == 1 else inside),
                                  max_size=6)), np.int64)
    centroids = np.array(draw(st.lists(st.sampled_from([0.0, 1.5]), min_size=c * d, max_size=c * d))).reshape(c, d)
    metric = draw(st.one_of(
        st.just(DistanceMetric.get_metric("euclidean")),
        st.builds(Scripted, st.lists(st.sampled_from(DISTANCES), min_size=1, max_size=4).map(np.array),
                  st.sampled_from([None, None, None, "raises", "rewrites its arguments", "shape", "dtype", "list"])),
    ))
    return draw(arguments([st.just(points), st.just(rows), st.just(centroids), st.just(metric),
                           st.sampled_from([math.inf, 1.0, 0.0])]))


def plain_nearest(distances, max_distance):
    """Per column, the first row strictly below all before it, from +inf,
    never -inf; -1 when it is none or farther than max_distance."""
    picked = []
    for column in distances.T:
        best, index = math.inf, -1
        for k, value in enumerate(column):
            if value < best and value != -math.inf:
                best, index = value, k
        picked.append(index if best <= max_distance else -1)
    return picked


@examples(300)
@given(calls())
def test_answers_or_raises_as_the_plain_rule(args):
    points, rows, centroids, metric, max_distance = args
    got = checked_outcome(nearest_centroid.nearest_centroid, args)
    if got[0] != "ok":
        return
    if not isinstance(metric, Scripted):
        distances = metric.pairwise(centroids, points[rows]) if len(rows) and len(centroids) else np.zeros((0, 0))
    else:
        # pairwise saw copies of the rows asked for, as they were.
        assert np.array_equal(np.concatenate(metric.given or [points[rows]]), points[rows])
        distances = np.concatenate(metric.returned, axis=1) if metric.returned else np.zeros((0, 0))
    expected = plain_nearest(distances, float(max_distance)) if distances.size else [-1] * len(rows)
    assert got[1].tolist() == expected

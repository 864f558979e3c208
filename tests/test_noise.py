"""reassign_noise: any array-likes in, the labels' dtype out, the distance
limit, HDBSCAN's marks for unmeasurable points, and clear errors."""

import numpy as np
import pytest

from velorn import kelvo_postprocess, reassign_noise

# Clusters 0, 1 and 2 with centroids (0, 0.5), (9, 8.5) and (5, 5); three
# noise points at Euclidean distances 1.0, 1.118 and 1.414 from their nearest.
POINTS = [[0.0, 0.0], [0.0, 1.0], [9.0, 9.0], [9.0, 8.0], [5.0, 5.0], [1.0, 0.5], [8.0, 9.0], [4.0, 6.0]]
CLUSTERS = [0, 0, 1, 1, 2, -1, -1, -1]


@pytest.mark.parametrize("points, labels", [
    (POINTS, CLUSTERS),
    (np.array(POINTS, dtype=np.float32), np.array(CLUSTERS, dtype=np.int64)),
    (np.asfortranarray(POINTS), np.array(CLUSTERS, dtype=np.int8)),
    (np.array(POINTS)[:, ::-1].copy()[:, ::-1], np.array(CLUSTERS, dtype=np.int32)),
    (np.array(POINTS).view(), np.array(CLUSTERS, dtype=np.int16)),
])
def test_any_array_likes_give_the_kernel_result_in_the_labels_dtype(points, labels):
    if isinstance(points, np.ndarray) and points.dtype == np.float64:
        points.flags.writeable = False
    result = reassign_noise(points, labels)
    assert result.dtype == np.asarray(labels).dtype
    expected = kelvo_postprocess(np.array(POINTS), np.array(CLUSTERS, dtype=np.int32))
    assert result.tolist() == expected.tolist() == [0, 0, 1, 1, 2, 0, 1, 2]
    assert np.asarray(labels).tolist() == CLUSTERS


@pytest.mark.parametrize("max_distance, metric, threshold, expected", [
    (1.2, "minkowski", -1, [0, 0, 1, 1, 2, 0, 1, -1]),
    (1.0, "minkowski", -1, [0, 0, 1, 1, 2, 0, -1, -1]),   # exactly at the limit is kept
    (0.0, "minkowski", -1, [0, 0, 1, 1, 2, -1, -1, -1]),
    (1.5, "manhattan", -1, [0, 0, 1, 1, 2, 0, 1, -1]),    # distances 1.0, 1.5 and 2.0
    # Cluster 0 dissolved: (0, 0) is 7.07 from (5, 5), (0, 1) 6.40.
    (7.0, "minkowski", 1, [-1, 2, 1, 1, 2, 2, 1, 2]),
])
def test_max_distance_leaves_far_noise_alone(max_distance, metric, threshold, expected):
    result = reassign_noise(POINTS, CLUSTERS, threshold=threshold, metric=metric, max_distance=max_distance)
    assert result.tolist() == expected


def test_hdbscan_marks_for_infinite_and_missing_coordinates_are_kept():
    points = np.array(POINTS + [[np.inf, 0.0], [np.nan, 1.0]])
    labels = np.array(CLUSTERS + [-2, -3])
    assert reassign_noise(points, labels).tolist() == [0, 0, 1, 1, 2, 0, 1, 2, -2, -3]
    # The marks take no part in the centroids: without them the result is the same.
    assert reassign_noise(points[:-2], labels[:-2]).tolist() == [0, 0, 1, 1, 2, 0, 1, 2]


@pytest.mark.parametrize("points, labels, kwargs, match", [
    (POINTS, CLUSTERS[:-1], {}, "labels has 7 entries but points has 8 rows"),
    (POINTS[0], CLUSTERS[:2], {}, "points must be two-dimensional"),
    (POINTS, [CLUSTERS], {}, "labels must be one-dimensional"),
    (POINTS, np.array(CLUSTERS, dtype=float), {}, "labels must be integers"),
    (POINTS, np.array(CLUSTERS) + 2**31, {}, "32-bit integer range"),
])
def test_bad_input_gives_a_clear_error(points, labels, kwargs, match):
    with pytest.raises(ValueError, match=match):
        reassign_noise(points, labels, **kwargs)


def test_empty_input():
    result = reassign_noise(np.zeros((0, 3)), [])
    assert result.shape == (0,) and result.dtype == np.int64


@pytest.mark.parametrize("name, value", [
    ("max_distance", -1.0), ("max_distance", float("nan")), ("max_distance", "far"),
    ("p", 0.5), ("p", "2"), ("p", None), ("metric", "nope"), ("metric", 2), ("metric", "mahalanobis"),
    ("threshold", 2**31), ("threshold", 1.5), ("threshold", "0"),
])
def test_each_parameter_is_refused_by_name_before_any_work(monkeypatch, name, value):
    import velorn.noise

    def must_not_run(*args, **kwargs):
        raise AssertionError("the work started")

    monkeypatch.setattr(velorn.noise, "cluster_centroids", must_not_run)
    with pytest.raises((ValueError, TypeError), match=f"The '{name}' parameter of reassign_noise"):
        reassign_noise(POINTS, CLUSTERS, **{name: value})


def test_a_real_minkowski_exponent_is_used_as_it_is():
    """p=1.5 used to act as p=1 (truncated); max_distance then filtered by the real p."""
    rng = np.random.default_rng(3)
    points = rng.uniform(-10, 10, size=(300, 2))
    labels = np.full(300, -1)
    labels[:30] = np.repeat(np.arange(3), 10)
    centroids = np.array([points[labels == k].mean(axis=0) for k in range(3)])
    distances = (np.abs(points[30:, None, :] - centroids[None]) ** 1.5).sum(axis=2) ** (1 / 1.5)
    expected = np.argmin(distances, axis=1)
    result = reassign_noise(points, labels, p=1.5)
    np.testing.assert_array_equal(result[30:], expected)
    assert (result != reassign_noise(points, labels, p=1)).any()
    limit = float(np.median(distances.min(axis=1)))
    near = reassign_noise(points, labels, p=1.5, max_distance=limit)[30:]
    np.testing.assert_array_equal(near, np.where(distances.min(axis=1) <= limit, expected, -1))


def test_docstring_examples_show_what_they_print():
    import doctest

    import velorn.noise

    assert doctest.testmod(velorn.noise).failed == 0


@pytest.mark.parametrize("rows, centroids, error", [
    (np.array([2]), np.zeros((1, 2)), IndexError),
    (np.array([-1]), np.zeros((1, 2)), IndexError),
    (np.array([0]), np.zeros((1, 3)), ValueError),
    (np.array([0], dtype=np.int32), np.zeros((1, 2)), ValueError),
])
def test_nearest_centroid_reads_only_the_rows_it_is_given(rows, centroids, error):
    from sklearn.metrics import DistanceMetric

    from velorn._native.nearest_centroid import nearest_centroid

    with pytest.raises(error):
        nearest_centroid(np.zeros((2, 2)), rows, centroids, DistanceMetric.get_metric("euclidean"), np.inf)


@pytest.mark.parametrize("metric", ["minkowski", "chebyshev"])
@pytest.mark.parametrize("scale", [1e-300, 1e-160, 1e155, 1e300])
def test_points_of_any_scale_give_the_same_labels(metric, scale):
    points = np.array([[0.0, 0.0], [0.0, 1.0], [9.0, 9.0], [9.0, 8.0], [1.0, 0.5], [8.0, 9.0], [4.0, 4.0]])
    labels = np.array([0, 0, 1, 1, -1, -1, -1])
    for max_distance in (None, 1.2):
        expected = reassign_noise(points, labels, metric=metric, max_distance=max_distance)
        scaled_limit = None if max_distance is None else max_distance * scale
        np.testing.assert_array_equal(
            reassign_noise(points * scale, labels, metric=metric, max_distance=scaled_limit), expected)

"""Give a clustering's noise points to the nearest cluster, in one call.

The steps are shared with ``velorn.dask.reassign_noise``, which runs them on
each chunk of a Dask array: the parameters and their checks, the dissolving
of clusters below ``threshold``, and the nearest-centroid step, which is
native (``velorn._native.nearest_centroid``). Only the centroids are
computed differently: here in one pass over the points in memory, there
chunk by chunk, to the same bits.
"""

from collections.abc import Callable
from numbers import Integral, Real
from typing import Any, TypeVar, cast

import numpy as np
import numpy.typing as npt
from sklearn.metrics import DistanceMetric
from sklearn.utils._param_validation import Interval, StrOptions, validate_params

from velorn.graph import unit_of

NOISE = -1
# scikit-learn's HDBSCAN marks samples with infinite coordinates -2 and those
# with missing ones -3: no distance can be measured for them.
UNMEASURABLE = (-2, -3)
INT32 = np.iinfo(np.int32)
# Metrics whose distances scale as a power (the value) of the coordinates' scale.
SCALING_METRICS = {"euclidean": 1, "l2": 1, "minkowski": 1, "manhattan": 1, "cityblock": 1, "l1": 1,
                   "chebyshev": 1, "infinity": 1, "sqeuclidean": 2}


def _metric_names() -> set[str]:
    """The names ``DistanceMetric.get_metric`` builds without further parameters."""
    try:
        from sklearn.metrics._dist_metrics import METRIC_MAPPING64

        names = set(METRIC_MAPPING64)
    except ImportError:  # pragma: no cover - scikit-learn moved it
        names = {"euclidean", "l2", "manhattan", "cityblock", "l1", "chebyshev", "infinity", "minkowski"}
    return names - {"mahalanobis", "seuclidean", "pyfunc", "p"}


# The parameters both reassign_noise functions share, refused before any work
# with a message that names them.
SHARED_CONSTRAINTS: dict[str, list[Any]] = {
    "threshold": [Interval(Integral, INT32.min, INT32.max, closed="both")],
    "metric": [StrOptions(_metric_names())],
    "p": [Interval(Real, 1, None, closed="left")],
    "max_distance": [Interval(Real, 0, None, closed="left"), None],
}


Function = TypeVar("Function", bound=Callable[..., Any])


def checked_params(constraints: dict[str, list[Any]]) -> Callable[[Function], Function]:
    """scikit-learn's ``validate_params``, keeping the function's own type."""
    return cast(Callable[[Function], Function], validate_params(constraints, prefer_skip_nested_validation=True))


@checked_params({"points": ["array-like"], "labels": ["array-like"], **SHARED_CONSTRAINTS})
def reassign_noise(
    points: npt.ArrayLike,
    labels: npt.ArrayLike,
    threshold: int = -1,
    metric: str = "minkowski",
    p: float = 2,
    max_distance: float | None = None,
) -> npt.NDArray[np.integer[Any]]:
    """Give each noise point (-1) the label of the nearest cluster centroid.

    Clusters whose label lies below ``threshold`` first become noise; the
    centroid of a cluster is the mean of its points; each noise point then
    takes the label of the nearest centroid (equal distances go to the
    smaller label), or stays -1 when there is no centroid within
    ``max_distance``.

    Parameters
    ----------
    points : array-like of shape (n_points, n_features)
        The points' coordinates.
    labels : array-like of shape (n_points,)
        One integer label per point, -1 for noise, as
        ``HDBSCAN().fit_predict`` gives them. Points labelled -2 or -3
        (HDBSCAN's marks for infinite and missing coordinates) keep their
        labels and take no part in the centroids: no distance can place them.
        Labels must fit 32 bits.
    threshold : int, default=-1
        Clusters with a label below this value (other than -1, -2 and -3)
        are dissolved into noise first.
    metric : str, default="minkowski"
        A metric name of scikit-learn's ``DistanceMetric`` that needs no
        further parameters.
    p : float, default=2
        The Minkowski exponent, 1 or more, used by ``metric="minkowski"`` only
        (2 is the Euclidean distance).
    max_distance : float or None, default=None
        Noise farther than this from its nearest centroid stays -1; a point
        exactly at the limit is reassigned. None: no limit.

    Returns
    -------
    new_labels : ndarray of shape (n_points,)
        The new labels, with the dtype of ``labels`` (int64 for a list).

    See Also
    --------
    velorn.dask.reassign_noise : The same on Dask arrays.

    Examples
    --------
    >>> from velorn import reassign_noise
    >>> points = [[0.0, 0.0], [0.0, 1.0], [9.0, 9.0], [9.0, 8.0], [1.0, 0.5], [8.0, 9.0]]
    >>> reassign_noise(points, [0, 0, 1, 1, -1, -1]).tolist()
    [0, 0, 1, 1, 0, 1]
    >>> reassign_noise(points, [0, 0, 1, 1, -1, -1], max_distance=1.05).tolist()
    [0, 0, 1, 1, 0, -1]
    """
    points_in, working = _checked_arrays(points, labels)
    centroid_labels, centroids = cluster_centroids(points_in, working, threshold)
    return relabel(points_in, working, centroid_labels, centroids, threshold, metric, p, max_distance)


def _checked_arrays(points: npt.ArrayLike, labels: npt.ArrayLike
                    ) -> tuple[npt.NDArray[Any], npt.NDArray[np.integer[Any]]]:
    """``points`` as an array and ``labels`` copied to the dtype of the result,
    refused unless they are a table of points and one integer label per
    point, within 32 bits."""
    labels_in = np.asarray(labels)
    if labels_in.ndim != 1:
        raise ValueError(f"labels must be one-dimensional, got {labels_in.ndim} dimensions")
    if labels_in.size == 0 and labels_in.dtype.kind == "f":  # as NumPy reads []
        labels_in = labels_in.astype(np.int64)
    if labels_in.dtype.kind not in "iu":
        raise ValueError(f"labels must be integers, got dtype {labels_in.dtype}")
    points_in = np.asarray(points)
    if points_in.ndim != 2:
        raise ValueError(f"points must be two-dimensional (n_points, n_features), got {points_in.ndim} dimensions")
    if len(points_in) != len(labels_in):
        raise ValueError(f"labels has {len(labels_in)} entries but points has {len(points_in)} rows")
    check_label_range(labels_in)
    return points_in, labels_in.astype(result_dtype(labels_in.dtype))


def result_dtype(dtype: np.dtype[Any]) -> np.dtype[Any]:
    """The labels' own dtype, or for unsigned labels the smallest signed one that holds them and -1."""
    return dtype if dtype.kind == "i" else np.result_type(dtype, np.int8)


def check_label_range(labels: npt.NDArray[np.integer[Any]]) -> None:
    if labels.size and (labels.min() < INT32.min or labels.max() > INT32.max):
        bad = labels[(labels < INT32.min) | (labels > INT32.max)][0]
        raise ValueError(f"label {bad} is outside the 32-bit integer range")


def distance_metric(metric: str, p: float) -> Any:
    """scikit-learn's ``DistanceMetric``: ``p`` for "minkowski" only."""
    if metric == "minkowski":
        return DistanceMetric.get_metric(metric, p=p)
    return DistanceMetric.get_metric(metric)


def cluster_mask(labels: npt.NDArray[np.integer[Any]], threshold: int) -> npt.NDArray[np.bool_]:
    """The points of the clusters that are kept: not noise, not an HDBSCAN
    mark, not below the threshold."""
    return (labels >= threshold) & is_cluster_label(labels)


def is_cluster_label(labels: npt.NDArray[np.integer[Any]]) -> npt.NDArray[np.bool_]:
    """Labels that name a cluster: neither noise nor one of HDBSCAN's marks."""
    mask = labels != NOISE
    for mark in UNMEASURABLE:
        mask &= labels != mark
    return mask


def cluster_centroids(points: npt.ArrayLike, labels: npt.NDArray[np.integer[Any]],
                      threshold: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The kept clusters' labels (ascending) and centroids: for each, the mean
    of its points in point order, as ``np.mean(points[labels == label], axis=0)``."""
    table = np.asarray(points, dtype=np.float64)
    kept = np.flatnonzero(cluster_mask(labels, threshold))
    keys, inverse, counts = group_numbers(labels[kept].astype(np.int64))
    members = kept[stable_order(inverse, len(keys))]
    bounds = np.concatenate([[0], np.cumsum(counts)])
    centroids = np.empty((len(keys), table.shape[1]))
    for row in range(len(keys)):
        centroids[row] = np.mean(table[members[bounds[row]:bounds[row + 1]]], axis=0)
    return keys.astype(np.int64), centroids


def group_numbers(labels: npt.NDArray[np.int64]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.intp],
                                                             npt.NDArray[np.intp]]:
    """The distinct labels (ascending), each label's group number, and the
    group sizes: by counting when the labels span a small range, as they
    usually do, else by sorting."""
    if len(labels) and int(labels.max()) - int(labels.min()) <= 2 * len(labels) + 1024:
        lowest = int(labels.min())
        offsets = labels - lowest
        counts = np.bincount(offsets)
        present = np.flatnonzero(counts)
        number = np.zeros(len(counts), dtype=np.intp)
        number[present] = np.arange(len(present))
        return present + lowest, number[offsets], counts[present]
    keys, inverse, counts = np.unique(labels, return_inverse=True, return_counts=True)
    return keys, inverse.ravel(), counts


def stable_order(groups: npt.NDArray[np.intp], n_groups: int) -> npt.NDArray[np.intp]:
    """The positions sorted by group, each group's in ascending order: a
    stable sort, in linear time for up to 2**16 groups."""
    return np.argsort(groups.astype(np.uint16) if n_groups <= 2**16 else groups, kind="stable")


def relabel(points: npt.ArrayLike, labels: npt.NDArray[np.integer[Any]], centroid_labels: npt.NDArray[np.int64],
            centroids: npt.NDArray[np.float64], threshold: int, metric: str, p: float,
            max_distance: float | None) -> npt.NDArray[np.integer[Any]]:
    """``labels`` with the clusters below ``threshold`` dissolved and each
    noise point given the label of its nearest centroid (or -1), in place."""
    from velorn._native.nearest_centroid import nearest_centroid

    dissolved = (labels < threshold) & is_cluster_label(labels)
    labels[dissolved] = NOISE
    noise = np.flatnonzero(labels == NOISE)
    if not len(noise) or not len(centroid_labels):
        return labels
    table = np.ascontiguousarray(points, dtype=np.float64)
    limit = np.inf if max_distance is None else max_distance
    # Centroids of an extreme scale would over- or underflow the distances:
    # the metrics that scale with the coordinates are measured on points
    # rescaled by a power of two, exactly, and the limit with them. The
    # centroids set the scale, not a single far point among the noise.
    degree = SCALING_METRICS.get(metric)
    if degree is not None:
        unit = unit_of(float(np.abs(centroids).max()))
        if unit != 1.0:
            table, centroids, limit = table * unit, centroids * unit, limit * unit**degree
    nearest = nearest_centroid(table, noise.astype(np.int64), np.ascontiguousarray(centroids),
                               distance_metric(metric, p), limit)
    found = nearest >= 0
    labels[noise[found]] = centroid_labels[nearest[found]]
    return labels

"""Give a clustering's noise points to the nearest cluster, in one call."""

from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.metrics import DistanceMetric

# scikit-learn's HDBSCAN marks samples with infinite coordinates -2 and those
# with missing ones -3: no distance can be measured for them.
UNMEASURABLE = (-2, -3)
INT32 = np.iinfo(np.int32)


def reassign_noise(
    points: npt.ArrayLike,
    labels: npt.ArrayLike,
    threshold: int = -1,
    metric: str = "minkowski",
    p: int = 2,
    max_distance: float | None = None,
) -> npt.NDArray[np.integer[Any]]:
    """Give each noise point (-1) the label of the nearest cluster centroid.

    ``points``: array-like of shape (n_points, n_features); ``labels``: one
    integer per point, -1 for noise (such as ``HDBSCAN().fit_predict``
    gives). Clusters whose label is below ``threshold`` become noise first.
    Distances are scikit-learn's ``DistanceMetric`` ``metric`` (``p`` for
    "minkowski" only); the centroid is the mean of a cluster's points.
    ``max_distance``: noise farther than that from its nearest centroid stays
    -1. Points labelled -2 or -3 (HDBSCAN's marks for infinite and missing
    coordinates) keep their labels: they are not noise that a distance can
    place. Returns new labels with the dtype of ``labels`` (int64 for a list).
    """
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
    if len(labels_in) and (labels_in.min() < INT32.min or labels_in.max() > INT32.max):
        raise ValueError("labels must lie in the 32-bit integer range")
    if max_distance is not None and not (max_distance >= 0):
        raise ValueError(f"max_distance must be None or a distance of 0 or more, got {max_distance!r}")

    from velorn.algorithms.src.kelvo.binaries.kelvo_postprocess import kelvo_postprocess

    # The one conversion: C-ordered, writable float64 points and int32 labels.
    point_table = np.require(points_in, dtype=np.float64, requirements=["C", "W"])
    clusters = labels_in.astype(np.int32)
    measurable = ~np.isin(clusters, UNMEASURABLE)
    if not measurable.all():
        point_table, clusters = np.ascontiguousarray(point_table[measurable]), clusters[measurable]
    result = kelvo_postprocess(point_table, clusters, metric=metric, p=p, threshold=threshold)
    if max_distance is not None:
        _drop_distant(point_table, clusters, result, threshold, metric, p, max_distance)

    out_dtype = labels_in.dtype if labels_in.dtype.kind == "i" else np.result_type(labels_in.dtype, np.int8)
    out = labels_in.astype(out_dtype)
    out[measurable] = result
    return out


def distance_metric(metric: str, p: int) -> Any:
    """scikit-learn's ``DistanceMetric`` as ``kelvo_postprocess`` builds it: ``p`` for "minkowski" only."""
    if metric == "minkowski":
        return DistanceMetric.get_metric(metric, p=p)
    return DistanceMetric.get_metric(metric)


def _drop_distant(points: npt.NDArray[np.float64], clusters: npt.NDArray[np.int32], result: npt.NDArray[np.int32],
                  threshold: int, metric: str, p: int, max_distance: float) -> None:
    """Set back to -1 the reassigned points farther than ``max_distance``
    from the centroid they were given (the centroids of the clusters that
    were kept, as the reassignment used them)."""
    kept = (clusters != -1) & (clusters >= threshold)
    reassigned = np.flatnonzero(~kept & (result != -1))
    if not len(reassigned):
        return
    distance = distance_metric(metric, p)
    names, members = np.unique(clusters[kept], return_inverse=True)
    counts = np.bincount(members, minlength=len(names))
    centroids = np.column_stack([np.bincount(members, weights=column, minlength=len(names))
                                 for column in points[kept].T]) / counts[:, None]
    given = np.searchsorted(names, result[reassigned])
    for cluster in np.unique(given).tolist():
        points_of = reassigned[given == cluster]
        far = distance.pairwise(points[points_of], centroids[cluster:cluster + 1])[:, 0] > max_distance
        result[points_of[far]] = -1


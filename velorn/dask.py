"""Noise reassignment of a clustering held in Dask arrays.

``reassign_noise`` is ``velorn.reassign_noise`` for clusterings too large for
one machine: the same parameters, checks and labels (up to rounding, below).
It works in two passes
over the chunks:

1. Centroids, as Dask's own reductions compute a mean: each chunk's sums and
   counts per cluster, combined in a tree; only these small tables move
   between workers. The sums are added in another order than ``np.mean``
   adds them in memory, so a centroid may differ in its last bits: a noise
   point whose two nearest centroids lie equally far within that rounding
   may go to the other one.
2. Assignment, lazily, chunk by chunk: each chunk goes through the in-memory
   function's own step (``velorn.noise.relabel``) with the centroid table.

Install with ``pip install 'velorn[dask]'``.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from velorn.noise import (SHARED_CONSTRAINTS, check_label_range, checked_params, cluster_mask, group_numbers, relabel,
                          result_dtype)

try:
    import dask
    import dask.array as da
except ImportError as error:  # pragma: no cover - exercised without the extra
    raise ImportError(
        "velorn.dask needs Dask: install it with pip install 'velorn[dask]' "
        "(which brings dask[array] and distributed)"
    ) from error

__all__ = ["reassign_noise"]

# Partial totals: the labels seen (ascending), their points' per-column sums,
# and their point counts.
Totals = tuple[npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.int64]]


@checked_params({"points": [da.Array], "labels": [da.Array], **SHARED_CONSTRAINTS})
def reassign_noise(
    points: da.Array,
    labels: da.Array,
    threshold: int = -1,
    metric: str = "minkowski",
    p: float = 2,
    max_distance: float | None = None,
) -> da.Array:
    """Give each noise point (-1) the label of the nearest cluster centroid, on Dask arrays.

    Once computed, the result is that of ``velorn.reassign_noise`` on the
    same data in memory, with the same parameters: clusters whose label lies below
    ``threshold`` become noise, centroids are the per-cluster means of the
    points, each noise point takes the label of its nearest centroid (equal
    distances go to the smaller label) or stays -1 when none lies within
    ``max_distance``, and HDBSCAN's marks -2 and -3 are kept. The centroids
    are summed chunk by chunk, in another order than in memory: a noise
    point whose two nearest centroids lie equally far within rounding may
    take the other label.

    The centroids are computed when you call this function (one pass over
    the data, on the active Dask scheduler); the returned labels are lazy. A
    worker holds a few chunks per thread and the centroid table, whatever
    the number of points.

    Parameters
    ----------
    points : dask.array.Array of shape (n_points, n_features)
        Real numbers, chunked by rows only.
    labels : dask.array.Array of shape (n_points,)
        Integer labels (-1: noise), chunked like the rows of ``points``.
        Label values must fit 32 bits; a chunk with one that does not fails
        when it is read.
    threshold, metric, p, max_distance
        As in ``velorn.reassign_noise``, with the same defaults and checks.

    Returns
    -------
    new_labels : dask.array.Array of shape (n_points,)
        The new labels, lazy, with the chunks of ``labels`` and the dtype
        ``velorn.reassign_noise`` gives (that of ``labels`` when signed).

    Examples
    --------
    >>> import dask.array as da
    >>> from velorn.dask import reassign_noise
    >>> points = da.from_array([[0.0, 0.0], [0.0, 1.0], [9.0, 9.0], [9.0, 8.0], [1.0, 0.5]], chunks=(2, 2))
    >>> labels = da.from_array([0, 0, 1, 1, -1], chunks=2)
    >>> reassign_noise(points, labels).compute().tolist()
    [0, 0, 1, 1, 0]
    """
    n_dims = _check_arrays(points, labels)
    centroid_labels, centroids = _centroids(points, labels, threshold, n_dims)
    table = dask.delayed((centroid_labels, centroids), pure=True)
    dtype = result_dtype(labels.dtype)
    return da.blockwise(
        _assign_chunk, "i", points, "ij", labels, "i", table, None,
        threshold=threshold, metric=metric, p=p, max_distance=max_distance,
        concatenate=True, dtype=dtype, meta=np.empty((0,), dtype=dtype),
    )


def _check_arrays(points: Any, labels: Any) -> int:
    if points.ndim != 2:
        raise ValueError(f"points must be 2-D (one row per point), got {points.ndim} dimensions")
    if labels.ndim != 1:
        raise ValueError(f"labels must be 1-D (one label per point), got {labels.ndim} dimensions")
    if not (np.issubdtype(points.dtype, np.floating) or np.issubdtype(points.dtype, np.integer)):
        raise TypeError(f"points must hold real numbers, got dtype {points.dtype}")
    if not np.issubdtype(labels.dtype, np.integer):
        raise TypeError(f"labels must have an integer dtype (-1 marks noise), got {labels.dtype}")
    if any(np.isnan(size) for size in points.chunks[0] + labels.chunks[0]):
        raise ValueError("points and labels need known chunk sizes; call compute_chunk_sizes() first")
    if len(points.chunks[1]) != 1:
        raise ValueError(f"points must be chunked by rows only, got {len(points.chunks[1])} column chunks "
                         f"{points.chunks[1]}; rechunk with points.rechunk({{1: -1}})")
    if points.shape[0] != labels.shape[0]:
        raise ValueError(f"labels has {labels.shape[0]} labels but points has {points.shape[0]} rows")
    if points.chunks[0] != labels.chunks[0]:
        raise ValueError(f"labels must be chunked like the rows of points: got {labels.chunks[0]} for labels "
                         f"and {points.chunks[0]} for points; rechunk with labels.rechunk(points.chunks[0])")
    return int(points.shape[1])


# Partial totals combined per task, as Dask's own reductions combine them.
SPLIT_EVERY = 8


def _centroids(points: da.Array, labels: da.Array, threshold: int,
               n_dims: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The surviving labels (ascending) and their centroids, in one pass: each
    chunk's per-cluster sums and counts (``_sum_chunk``), combined in a tree
    ``SPLIT_EVERY`` at a time (``_sum_combine``), then divided
    (``_mean_agg``). Only the totals (clusters x dims) move between workers."""
    totals = [dask.delayed(_sum_chunk, pure=True)(point_chunk, label_chunk, threshold)
              for point_chunk, label_chunk in zip(points.to_delayed().ravel(), labels.to_delayed().ravel())]
    if not totals:
        return np.empty(0, np.int64), np.empty((0, n_dims))
    while len(totals) > 1:
        totals = [dask.delayed(_sum_combine, pure=True)(totals[start:start + SPLIT_EVERY])
                  for start in range(0, len(totals), SPLIT_EVERY)]
    (result,) = dask.compute(dask.delayed(_mean_agg, pure=True)(totals[0]))
    return result


def _sum_chunk(points: npt.ArrayLike, labels: npt.ArrayLike, threshold: int) -> Totals:
    """One chunk's kept clusters: their labels (ascending), per-column sums of
    their points and point counts."""
    points = np.asarray(points, dtype=np.float64)
    labels = _checked_labels(labels)
    kept = np.flatnonzero(cluster_mask(labels, threshold))
    keys, inverse, counts = group_numbers(labels[kept].astype(np.int64))
    sums = np.empty((len(keys), points.shape[1]))
    for column in range(points.shape[1]):
        sums[:, column] = np.bincount(inverse, weights=points[kept, column], minlength=len(keys))
    return keys, sums, counts.astype(np.int64)


def _sum_combine(parts: list[Totals]) -> Totals:
    """Several totals as one."""
    keys = np.unique(np.concatenate([part[0] for part in parts]))
    sums = np.zeros((len(keys), parts[0][1].shape[1]))
    counts = np.zeros(len(keys), dtype=np.int64)
    for part_keys, part_sums, part_counts in parts:
        where = np.searchsorted(keys, part_keys)
        sums[where] += part_sums
        counts[where] += part_counts
    return keys, sums, counts


def _mean_agg(totals: Totals) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    keys, sums, counts = totals
    return keys, sums / counts[:, None]


def _checked_labels(labels: npt.ArrayLike) -> npt.NDArray[np.integer[Any]]:
    labels = np.asarray(labels)
    check_label_range(labels)
    return labels


def _assign_chunk(points: npt.ArrayLike, labels: npt.ArrayLike,
                  table: tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]],
                  threshold: int, metric: str, p: float, max_distance: float | None) -> npt.NDArray[Any]:
    """One chunk's labels, by the in-memory function's own step."""
    centroid_labels, centroids = table
    working = _checked_labels(labels)
    working = working.astype(result_dtype(working.dtype))
    return relabel(points, working, centroid_labels, centroids, threshold, metric, p, max_distance)

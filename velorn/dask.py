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
from scipy import sparse

import velorn
from velorn.neighbours import NeighbourSearch
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

__all__ = ["PoissonLabelPropagation", "WeightedLabelPropagation", "reassign_noise"]

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


# --- The estimators on Dask arrays -----------------------------------------------------

def _chunk_index(points: npt.ArrayLike, settings: dict[str, Any], unit: float) -> NeighbourSearch:
    """One chunk's neighbour index, its samples scaled by the data set's ``unit``."""
    return NeighbourSearch(**settings).fit(np.asarray(points, dtype=np.float64), unit=unit)


def _query_chunk(index: NeighbourSearch, queries: npt.ArrayLike, k: int,
                 first_id: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The ``k`` nearest samples of one indexed chunk to each query, by their
    ids in the whole data set (the chunk's first sample is ``first_id``)."""
    queries = np.asarray(queries, dtype=np.float64)
    k = min(k, len(index.fit_X_))
    ids, distances = index.kneighbors(queries, k)
    return ids + first_id, np.asarray(distances, dtype=np.float64)


def _nearest_of_both(first: tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]],
                     second: tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]],
                     k: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The ``k`` nearest of two candidate tables of the same queries, nearest
    first, equal distances by id: the same whichever chunk came first."""
    ids = np.concatenate([first[0], second[0]], axis=1)
    distances = np.concatenate([first[1], second[1]], axis=1)
    order = np.lexsort((ids, distances), axis=1)[:, :k]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(distances, order, axis=1)


class _ChunkIndexes:
    """An index of each chunk of a Dask array of samples, kept where Dask
    computed them (persisted), and the nearest samples among all of them."""

    def __init__(self, points: da.Array, settings: dict[str, Any], unit: float) -> None:
        self.sizes = [int(size) for size in points.chunks[0]]
        self.firsts = np.concatenate([[0], np.cumsum(self.sizes)[:-1]]).astype(int).tolist()
        indexes = [dask.delayed(_chunk_index, pure=True)(block, settings, unit)
                   for block, size in zip(points.to_delayed().ravel(), self.sizes) if size]
        self.indexes = list(dask.persist(*indexes))
        self.firsts = [first for first, size in zip(self.firsts, self.sizes) if size]

    def nearest(self, queries: Any, k: int) -> Any:
        """A delayed table of the ``k`` nearest indexed samples of ``queries``
        (one chunk): each chunk's index asked in turn, the nearest kept."""
        table = None
        for index, first in zip(self.indexes, self.firsts):
            found = dask.delayed(_query_chunk, pure=True)(index, queries, k, first)
            table = found if table is None else dask.delayed(_nearest_of_both, pure=True)(table, found, k)
        return table


def _distance_graph(ids: npt.NDArray[np.int64], distances: npt.NDArray[np.float64],
                    num_columns: int) -> sparse.csr_matrix:
    """A search's table as the sparse distance graph that ``metric="precomputed"`` takes."""
    num_rows, width = ids.shape
    indptr = np.arange(0, num_rows * width + 1, width, dtype=np.int64)
    return sparse.csr_matrix((distances.ravel(), ids.ravel(), indptr), shape=(num_rows, num_columns))


class _FitOnDask:
    """``fit``, ``predict`` and ``predict_proba`` of a velorn estimator for
    samples in a Dask array: the neighbour search runs on the chunks (an index
    of each chunk, asked by every chunk, the nearest merged), the labelling
    in memory on the gathered graph, exactly as the in-memory estimator does
    with ``metric="precomputed"``."""

    _in_memory: type[Any]

    def fit(self, X: da.Array, y: Any) -> Any:
        """Label the unlabelled samples of ``y``: the neighbour search on the
        chunks of ``X``, the labelling in memory on the gathered graph."""
        estimator: Any = self
        estimator._validate_params()
        points = _checked_points(X)
        labels = np.asarray(y.compute() if isinstance(y, da.Array) else y)
        if len(labels) != points.shape[0]:
            raise ValueError(f"y has {len(labels)} labels but X has {points.shape[0]} rows")
        settings = {"metric": estimator.metric, "metric_params": estimator.metric_params, "p": estimator.p,
                    "search": estimator.search, "random_state": estimator.random_state}
        search = NeighbourSearch(**settings)  # refuses what no search serves, before any work
        blocks = points.to_delayed().ravel()
        largest = max(dask.compute(*[dask.delayed(_largest_magnitude, pure=True)(block) for block in blocks]),
                      default=0.0)
        self._indexes = _ChunkIndexes(points, settings, search.unit(largest))
        width = min(estimator.n_neighbors, points.shape[0] - 1)
        tables = dask.compute(*[self._indexes.nearest(block, width + 1) for block in blocks])
        ids = np.concatenate([table[0] for table in tables])
        distances = np.concatenate([table[1] for table in tables])
        params = {**estimator.get_params(), "metric": "precomputed", "n_neighbors": width}
        local = self._in_memory(**params).fit(_distance_graph(ids, distances, points.shape[0]), labels)
        for name, value in vars(local).items():
            if name.endswith("_") and not name.startswith("_"):
                setattr(self, name, value)
        self.n_features_in_ = points.shape[1]
        self.transduction_ = da.from_array(local.transduction_, chunks=(points.chunks[0],))
        self._local = local
        return self

    def predict(self, X: Any) -> Any:
        """The label of each row of ``X`` by its nearest training samples, lazily, chunk by chunk."""
        return self._per_chunk(X, "predict")

    def predict_proba(self, X: Any) -> Any:
        """Each class's share of the votes of each row's nearest training samples, lazily."""
        return self._per_chunk(X, "predict_proba")

    def _per_chunk(self, X: da.Array, method: str) -> da.Array:
        local = self._local
        points = _checked_points(X)
        num_indexed = sum(self._indexes.sizes)
        k = min(local.n_neighbors, num_indexed)
        probabilities = method == "predict_proba"
        meta = np.empty((0, len(local.classes_))) if probabilities else local.transduction_[:0]
        blocks = []
        for block, size in zip(points.to_delayed().ravel(), points.chunks[0]):
            table = self._indexes.nearest(block, k)
            result = dask.delayed(_vote_chunk, pure=True)(local, method, table, num_indexed)
            shape = (size, len(local.classes_)) if probabilities else (size,)
            blocks.append(da.from_delayed(result, shape=shape, dtype=meta.dtype, meta=meta))
        if not blocks:
            return da.from_array(meta)
        return da.concatenate(blocks)


def _vote_chunk(local: Any, method: str, table: tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]],
                num_indexed: int) -> npt.NDArray[Any]:
    return getattr(local, method)(_distance_graph(table[0], table[1], num_indexed))


def _largest_magnitude(points: npt.ArrayLike) -> float:
    """The largest coordinate of one chunk in magnitude; refuses NaN and infinity."""
    values = np.abs(np.asarray(points, dtype=np.float64))
    largest = float(values.max(initial=0.0))
    if not np.isfinite(largest):
        raise ValueError("X holds NaN or infinity; every coordinate must be finite")
    return largest


def _checked_points(X: Any) -> da.Array:
    if not isinstance(X, da.Array):
        raise TypeError(f"X must be a dask.array.Array (use velorn's own estimators for {type(X).__name__})")
    if X.ndim != 2:
        raise ValueError(f"X must be 2-D (one row per sample), got {X.ndim} dimensions")
    if len(X.chunks[1]) != 1:
        raise ValueError(f"X must be chunked by rows only, got {len(X.chunks[1])} column chunks; "
                         "rechunk with X.rechunk({1: -1})")
    if any(np.isnan(size) for size in X.chunks[0]):
        raise ValueError("X needs known chunk sizes; call compute_chunk_sizes() first")
    return X


class WeightedLabelPropagation(_FitOnDask, velorn.WeightedLabelPropagation):
    """:class:`velorn.WeightedLabelPropagation` for samples in a Dask array.

    The same parameters and fitted attributes; ``transduction_`` is a Dask
    array chunked like ``X``, and ``predict`` and ``predict_proba`` are lazy.
    Each chunk of ``X`` is indexed where it lives and asked by every chunk
    for its nearest samples, the nearest ``n_neighbors`` of all kept; the
    labelling then runs in memory on that graph, as the in-memory estimator
    runs it with ``metric="precomputed"``. With ``search="exact"`` the
    labels are those of the in-memory fit, whatever the chunks (copies of a
    point are joined in the graph, not before the search). ``y`` may be a
    NumPy or a Dask array.

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> from velorn.dask import WeightedLabelPropagation
    >>> X = da.from_array(np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]]), chunks=(2, 1))
    >>> model = WeightedLabelPropagation(n_neighbors=2).fit(X, [0, -1, -1, 1, -1, -1])
    >>> model.transduction_.compute()
    array([0, 0, 0, 1, 1, 1])
    """

    _in_memory = velorn.WeightedLabelPropagation


class PoissonLabelPropagation(_FitOnDask, velorn.PoissonLabelPropagation):
    """:class:`velorn.PoissonLabelPropagation` for samples in a Dask array,
    searched as :class:`WeightedLabelPropagation` (of this module) searches
    them; the Poisson solution runs in memory on the gathered graph."""

    _in_memory = velorn.PoissonLabelPropagation

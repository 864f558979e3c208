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
from velorn.neighbours import KD_TREE_P, NeighbourSearch
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

# The training samples are split into slabs along one coordinate, a slab per
# chunk of X, so that most samples find all their neighbours in their own
# slab: only a sample whose k-th distance there reaches past its slab's edge
# asks the slabs within that distance. A coordinate's difference is at most
# the distance for these metrics; for the others every slab is asked.
SLAB_METRICS = set(KD_TREE_P) | {"minkowski"}
# The slab edges are quantiles of at most this many values of each chunk.
EDGE_SAMPLE = 10_000
# Candidate rows merged at a time, so that the merge's own tables stay small.
MERGE_ROWS = 100_000
# A row's place in a table that its slab cannot fill (fewer samples than k):
# farther than any sample, so that the other slabs' samples take it.
NO_DISTANCE = np.inf


class _Slab:
    """One slab's samples: their ids in the whole data set (in 32 bits where
    they fit, as they travel in the neighbour tables), their index and the
    coordinate the slabs are cut along."""

    def __init__(self, ids: npt.NDArray[Any], index: NeighbourSearch | None, axis: int,
                 num_samples: int) -> None:
        self.ids, self.index, self.axis = ids, index, axis
        self.num_samples = num_samples  # in the whole data set

    def __sizeof__(self) -> int:
        """At least the samples twice (the index holds its own copy) and
        their ids: Dask weighs a task's inputs by it, and moves the queries
        to the slab's worker rather than the whole slab to the queries'."""
        held = 2 * self.index.fit_X_.nbytes if self.index is not None else 0
        return object.__sizeof__(self) + self.ids.nbytes + held


def _coordinate_ranges(points: npt.ArrayLike) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """One chunk's least and largest value in each column."""
    points = np.asarray(points, dtype=np.float64)
    if not len(points):
        return np.full(points.shape[1], np.inf), np.full(points.shape[1], -np.inf)
    return points.min(axis=0), points.max(axis=0)


def _edge_sample(points: npt.ArrayLike, axis: int) -> npt.NDArray[np.float64]:
    """Evenly spaced values of one chunk's ``axis`` column, at most EDGE_SAMPLE."""
    column = np.asarray(points, dtype=np.float64)[:, axis]
    return column[::max(1, -(-len(column) // EDGE_SAMPLE))]


def _pieces(points: npt.ArrayLike, first_id: int, axis: int,
            edges: npt.NDArray[np.float64]) -> list[tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]]:
    """One chunk's samples split by slab (slab s holds ``edges[s-1] <= x[axis] < edges[s]``): each
    slab's share of the chunk, its ids in the whole data set and its rows."""
    points = np.asarray(points, dtype=np.float64)
    slab = np.searchsorted(edges, points[:, axis], side="right")
    ids = first_id + np.arange(len(points), dtype=np.int64)
    return [(ids[slab == s], points[slab == s]) for s in range(len(edges) + 1)]


def _slab(pieces: list[tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]], settings: dict[str, Any], unit: float,
          axis: int, num_samples: int) -> _Slab:
    """A slab's pieces from every chunk, indexed (its samples scaled by the
    data set's ``unit``); no index when it has no samples, as when many
    samples share the value of an edge."""
    ids: npt.NDArray[Any] = np.concatenate([piece[0] for piece in pieces]).astype(_id_type(num_samples), copy=False)
    points = np.concatenate([piece[1] for piece in pieces])
    index = NeighbourSearch(**settings).fit(points, unit=unit) if len(ids) else None
    return _Slab(ids, index, axis, num_samples)


def _own_neighbours(slab: _Slab, k: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[Any], npt.NDArray[np.float64]]:
    """The slab's samples' ids and their ``k`` nearest samples among them,
    by their ids in the whole data set (in 32 bits where they fit, to
    travel light); a row the slab cannot fill is filled with NO_DISTANCE
    (id ``num_samples``)."""
    num_samples = slab.num_samples
    own = min(k, len(slab.ids))
    if not own or slab.index is None:
        return (slab.ids, np.full((len(slab.ids), k), num_samples, dtype=slab.ids.dtype),
                np.full((len(slab.ids), k), NO_DISTANCE))
    ids, distances = slab.index.kneighbors(None, own)
    # The slab's ids become the data set's in place, a block at a time: a
    # table of the whole slab more would be the worker's peak.
    ids = ids.astype(slab.ids.dtype, copy=False)
    for begin in range(0, len(ids), MERGE_ROWS):
        ids[begin:begin + MERGE_ROWS] = slab.ids[ids[begin:begin + MERGE_ROWS]]
    if own < k:
        ids = np.hstack([ids, np.full((len(ids), k - own), num_samples, dtype=ids.dtype)])
        distances = np.hstack([distances, np.full((len(ids), k - own), NO_DISTANCE)])
    return slab.ids, ids, np.asarray(distances, dtype=np.float64)


def _id_type(num_samples: int) -> type:
    return np.int32 if num_samples < 2**31 else np.int64


def _reaching(slab: _Slab, farthest: npt.NDArray[np.float64], low: float, high: float,
              bounded: bool) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
    """The slab's rows whose k-th distance (``farthest``) reaches the interval [low, high)
    of another slab (all rows when distances are not bounded by a
    coordinate's difference), and their samples, as the slab's index holds
    them (scaled)."""
    if slab.index is None:
        return np.empty(0, dtype=np.intp), np.empty((0, 0))
    points = slab.index.fit_X_
    if bounded:
        key = points[:, slab.axis]
        gap = np.maximum(np.maximum(low - key, key - high), 0.0)
        rows = np.flatnonzero(gap <= farthest)
    else:
        rows = np.arange(len(points))
    return rows, points[rows]


def _query_slab(slab: _Slab, queries: npt.ArrayLike, k: int,
                scaled: bool = True) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The ``k`` nearest samples of the slab to each query (at the slab's
    own scale when ``scaled``), by their ids in the whole data set."""
    queries = np.asarray(queries, dtype=np.float64)
    k = min(k, len(slab.ids))
    if slab.index is None or not len(queries):
        return np.empty((len(queries), 0), dtype=np.int64), np.empty((len(queries), 0))
    if scaled:
        queries = queries / slab.index.unit_  # a power of two: exact
    found, distances = slab.index.kneighbors(np.asarray(queries, dtype=np.float64), k)
    return slab.ids[found], np.asarray(distances, dtype=np.float64)


def _nearest_of_both(first: tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]],
                     second: tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]],
                     k: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The ``k`` nearest of two candidate tables of the same queries, nearest
    first, equal distances by id: the same whichever slab came first."""
    ids = np.concatenate([first[0], second[0]], axis=1)
    distances = np.concatenate([first[1], second[1]], axis=1)
    order = np.lexsort((ids, distances), axis=1)[:, :k]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(distances, order, axis=1)


class _Slabs:
    """The samples of a Dask array split into slabs along their widest
    coordinate (a slab per non-empty chunk, split at quantiles), each slab
    indexed and kept where Dask computed it (persisted)."""

    def __init__(self, points: da.Array, settings: dict[str, Any], unit: float, bounded: bool) -> None:
        blocks = points.to_delayed().ravel()
        sizes = [int(size) for size in points.chunks[0]]
        firsts = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(int).tolist()
        chunks = [(block, first) for block, first, size in zip(blocks, firsts, sizes) if size]
        self.num_samples = int(points.shape[0])
        self.bounded = bounded
        ranges = dask.compute(*[dask.delayed(_coordinate_ranges, pure=True)(block) for block, _ in chunks])
        axis = int(np.argmax(np.max([r[1] for r in ranges], axis=0) - np.min([r[0] for r in ranges], axis=0)))
        values = np.concatenate(dask.compute(*[dask.delayed(_edge_sample, pure=True)(block, axis)
                                               for block, _ in chunks]))
        count = len(chunks)
        edges = np.quantile(values, np.arange(1, count) / count) if count > 1 else np.empty(0)
        self.edges = np.r_[-np.inf, edges, np.inf]
        pieces = [dask.delayed(_pieces, nout=count, pure=True)(block, first, axis, edges) for block, first in chunks]
        slabs = [dask.delayed(_slab, pure=True)([piece[s] for piece in pieces], settings, unit, axis,
                                               self.num_samples) for s in range(count)]
        self.slabs = list(dask.persist(*slabs))
        self.unit = unit

    def neighbours(self, k: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """Every sample's ``k`` nearest samples (ids, distances): each
        slab's own, then for the rows that reach past their slab, the
        slabs within reach asked, the nearest kept. Only the tables come
        back from the workers; they are merged here, where the graph is
        gathered anyway.

        The own searches all end before any slab is asked: a worker that
        finished first would otherwise fetch a busy worker's slab, its
        whole index, to answer the queries itself. Their tables then leave
        the workers before the queries start; only each row's k-th
        distance goes back."""
        computed_owns = list(dask.compute(*[dask.delayed(_own_neighbours, pure=True)(slab, k)
                                            for slab in self.slabs]))
        asked = []
        for s, slab in enumerate(self.slabs):
            farthest = dask.delayed(computed_owns[s][2][:, -1].copy(), pure=True)
            for t, other in enumerate(self.slabs):
                if t == s:
                    continue
                low, high = self.edges[t] * self.unit, self.edges[t + 1] * self.unit
                reach = dask.delayed(_reaching, pure=True)(slab, farthest, low, high, self.bounded)
                asked.append((s, reach[0], dask.delayed(_query_slab, pure=True)(other, reach[1], k)))
        (computed_asked,) = dask.compute([(rows, found) for _, rows, found in asked])
        ids = np.empty((self.num_samples, k), dtype=np.int64)
        distances = np.empty((self.num_samples, k))
        slab_ids = [own[0] for own in computed_owns]
        while computed_owns:  # each table let go once copied
            rows, own_ids, own_distances = computed_owns.pop(0)
            ids[rows], distances[rows] = own_ids, own_distances
        for (s, _, _), (rows, found) in zip(asked, computed_asked):
            rows = slab_ids[s][rows]
            for begin in range(0, len(rows), MERGE_ROWS):
                block = rows[begin:begin + MERGE_ROWS]
                ids[block], distances[block] = _nearest_of_both(
                    (ids[block], distances[block]),
                    (found[0][begin:begin + MERGE_ROWS], found[1][begin:begin + MERGE_ROWS]), k)
        return ids, distances

    def nearest(self, queries: Any, k: int) -> Any:
        """A delayed table of the ``k`` nearest samples of ``queries`` (one
        chunk, unscaled): each slab asked in turn, the nearest kept."""
        table = None
        for slab in self.slabs:
            found = dask.delayed(_query_slab, pure=True)(slab, queries, k, False)
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
    samples in a Dask array: the neighbour search runs on the workers (the
    samples in slabs, each indexed, see _Slabs), the labelling in memory on
    the gathered graph, exactly as the in-memory estimator does with
    ``metric="precomputed"``."""

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
        bounded = estimator.metric in SLAB_METRICS and not estimator.metric_params and \
            (estimator.metric != "minkowski" or estimator.p >= 1)
        self._indexes = _Slabs(points, settings, search.unit(largest), bounded)
        width = min(estimator.n_neighbors, points.shape[0] - 1)
        ids, distances = self._indexes.neighbours(width + 1)
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
        num_indexed = self._indexes.num_samples
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
    The samples are split into slabs along their widest coordinate, a slab
    per chunk of ``X``, each indexed on a worker; a sample asks its own slab
    for its nearest samples, and the other slabs only where its farthest
    neighbour reaches past its slab's edge (every slab for metrics other
    than the Minkowski ones); the labelling then runs in memory on that
    graph, as the in-memory estimator runs it with ``metric="precomputed"``.
    With ``search="exact"`` the labels are those of the in-memory fit,
    whatever the chunks, but for equal distances at a sample's farthest
    neighbour, which the two searches may break differently (copies of a
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

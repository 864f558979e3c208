"""Noise reassignment of a clustering held in Dask arrays.

``reassign_noise`` is ``velorn.reassign_noise`` for clusterings too large for
one machine: the same parameters, checks and labels. It works in two passes
over the chunks:

1. Centroids. The points of each cluster are summed in point order, chunk
   after chunk: each chunk's rows are first grouped by label on the worker
   that holds them (in parallel), then a chain of small tasks adds each group
   to its label's running sum. Only the sums and counts (labels x dims) move
   between workers. Summing in point order is what makes the centroids equal,
   bit for bit, to ``np.mean`` over each cluster's rows, as the in-memory
   function computes them: floating-point addition is not associative, so
   adding up independent per-chunk sums would not. A single column NumPy sums
   pairwise instead, and so do we there (``_centroids_pairwise``).
2. Assignment, lazily, chunk by chunk: each chunk goes through the in-memory
   function's own step (``velorn.noise.relabel``) with the centroid table.

Install with ``pip install 'velorn[dask]'``.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np
import numpy.typing as npt
from velorn.noise import (SHARED_CONSTRAINTS, check_label_range, checked_params, cluster_mask, group_numbers, relabel,
                          result_dtype, stable_order)

try:
    import dask
    import dask.array as da
except ImportError as error:  # pragma: no cover - exercised without the extra
    raise ImportError(
        "velorn.dask needs Dask: install it with pip install 'velorn[dask]' "
        "(which brings dask[array] and distributed)"
    ) from error

__all__ = ["reassign_noise"]

# A running total: the labels seen so far (ascending), their per-column sums
# in point order, and their point counts.
Totals = tuple[npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.int64]]

# One chunk's cluster rows grouped by label: the labels (ascending), their
# counts, and a buffer in which each group's rows follow, in point order, one
# free row at `slots[g]` that receives the group's running sum.
Groups = tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.intp], npt.NDArray[np.float64]]


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

    Once computed, the result equals ``velorn.reassign_noise`` on the same
    data in memory, with the same parameters: clusters whose label lies below
    ``threshold`` become noise, centroids are the per-cluster means of the
    points, each noise point takes the label of its nearest centroid (equal
    distances go to the smaller label) or stays -1 when none lies within
    ``max_distance``, and HDBSCAN's marks -2 and -3 are kept.

    The centroids are computed when you call this function (one pass over
    the data, on the active Dask scheduler; for one-dimensional points a
    pass over the labels comes first); the returned labels are lazy. A
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


def _active_client() -> Any:
    """The distributed Client that computations go to now, or None."""
    from dask.base import get_scheduler

    try:
        from distributed import Client
    except ImportError:
        return None
    owner = getattr(get_scheduler(), "__self__", None)
    return owner if isinstance(owner, Client) else None


def _centroids(points: da.Array, labels: da.Array, threshold: int,
               n_dims: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The surviving labels (ascending) and their centroids, in one pass.

    The chain of additions runs in windows of as many chunks as the scheduler
    has threads, each window a computation of its own that starts from the
    totals of the one before: a single graph would let the scheduler read
    chunks far ahead of the chain and hold them all while they wait for their
    turn. On a distributed cluster the next window is submitted before the
    previous one ends, so that its chunks are read and grouped while the
    chain still works on the previous ones; at most two windows are in
    flight."""
    point_chunks = points.to_delayed().ravel()
    label_chunks = labels.to_delayed().ravel()
    if n_dims == 1:
        return _centroids_pairwise(point_chunks, label_chunks, threshold)
    client = _active_client()
    if client is not None:
        window = max(1, sum(client.nthreads().values()))
    else:
        window = int(dask.config.get("num_workers", None) or os.cpu_count() or 1)
    totals: Any = (np.empty(0, np.int64), np.empty((0, n_dims)), np.empty(0, np.int64))
    in_flight: list[Any] = []
    for start in range(0, len(point_chunks), window):
        running = totals
        for k in range(start, min(start + window, len(point_chunks))):
            groups = dask.delayed(_group_chunk, pure=True)(point_chunks[k], label_chunks[k], threshold)
            running = dask.delayed(_add_groups, pure=True)(running, groups)
        if client is None:
            (totals,) = dask.compute(running)
            continue
        totals = client.compute(running)
        in_flight.append(totals)
        if len(in_flight) == 2:
            in_flight.pop(0).result()
    if client is not None:
        totals = totals.result()
    keys, sums, counts = totals
    return keys, sums / counts[:, None]


# NumPy adds a single column pairwise: a tree whose leaves hold at most this
# many values, each leaf summed in eight interleaved parts.
PAIRWISE_LEAF = 128

# One chunk's share of a cluster's pairwise sum: the sums of the tree nodes
# that lie wholly in the chunk, by (start, end) position in the cluster, and
# the values of leaves that the chunk holds only part of, by leaf and start.
Shares = dict[int, tuple[dict[tuple[int, int], float], dict[tuple[int, int], list[tuple[int, npt.NDArray[np.float64]]]]]]


def _centroids_pairwise(point_chunks: Any, label_chunks: Any,
                        threshold: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Centroids of one-dimensional points, where np.mean sums pairwise.

    The shape of that sum depends on the number of points of the cluster, so
    one pass counts them; then each chunk, in parallel, sums the parts of
    each cluster's tree that it holds whole and hands over the values of the
    leaves it shares with its neighbours, and the parts are put together
    here. Only the parts travel: a few per cluster and chunk."""
    counted = dask.compute(*[dask.delayed(_count_chunk, pure=True)(labels, threshold)
                             for labels in label_chunks])
    totals: dict[int, int] = {}
    starts = []
    for chunk_counts in counted:
        starts.append({key: totals.get(key, 0) for key in chunk_counts})
        for key, count in chunk_counts.items():
            totals[key] = totals.get(key, 0) + count
    shares = dask.compute(*[
        dask.delayed(_share_chunk, pure=True)(point, label, threshold, start, totals)
        for point, label, start in zip(point_chunks, label_chunks, starts)])
    keys = sorted(totals)
    centroids = np.empty((len(keys), 1))
    for row, key in enumerate(keys):
        node_sums: dict[tuple[int, int], float] = {}
        leaf_parts: dict[tuple[int, int], list[tuple[int, npt.NDArray[np.float64]]]] = {}
        for share in shares:
            if key in share:
                node_sums.update(share[key][0])
                for leaf, parts in share[key][1].items():
                    leaf_parts.setdefault(leaf, []).extend(parts)
        centroids[row, 0] = (0.0 + _assemble(0, totals[key], node_sums, leaf_parts)) / totals[key]
    return np.array(keys, dtype=np.int64), centroids


def _count_chunk(labels: npt.ArrayLike, threshold: int) -> dict[int, int]:
    labels = _checked_labels(labels)
    keys, counts = np.unique(labels[cluster_mask(labels, threshold)], return_counts=True)
    return dict(zip(keys.tolist(), counts.tolist()))


def _share_chunk(points: npt.ArrayLike, labels: npt.ArrayLike, threshold: int,
                 starts: dict[int, int], totals: dict[int, int]) -> Shares:
    values = np.asarray(points, dtype=np.float64)[:, 0]
    labels = _checked_labels(labels)
    kept = np.flatnonzero(cluster_mask(labels, threshold))
    keys, inverse, counts = group_numbers(labels[kept].astype(np.int64))
    order = kept[np.argsort(inverse, kind="stable")]
    bounds = np.concatenate([[0], np.cumsum(counts)]).tolist()
    shares: Shares = {}
    for g, key in enumerate(keys.tolist()):
        group = np.ascontiguousarray(values[order[bounds[g]:bounds[g + 1]]])
        node_sums: dict[tuple[int, int], float] = {}
        leaf_parts: dict[tuple[int, int], list[tuple[int, npt.NDArray[np.float64]]]] = {}
        _split(0, totals[key], starts[key], group, node_sums, leaf_parts)
        shares[key] = (node_sums, leaf_parts)
    return shares


def _split(begin: int, end: int, first: int, values: npt.NDArray[np.float64],
           node_sums: dict[tuple[int, int], float],
           leaf_parts: dict[tuple[int, int], list[tuple[int, npt.NDArray[np.float64]]]]) -> None:
    """The parts of tree node [begin, end) held by `values`, which are the
    cluster's values from position `first` on."""
    last = first + len(values)
    if end <= first or begin >= last:
        return
    if first <= begin and end <= last:
        node_sums[(begin, end)] = _pairwise_sum(values[begin - first:end - first])
    elif end - begin <= PAIRWISE_LEAF:
        low = max(begin, first)
        leaf_parts[(begin, end)] = [(low, values[low - first:min(end, last) - first].copy())]
    else:
        middle = begin + _left_size(end - begin)
        _split(begin, middle, first, values, node_sums, leaf_parts)
        _split(middle, end, first, values, node_sums, leaf_parts)


def _assemble(begin: int, end: int, node_sums: dict[tuple[int, int], float],
              leaf_parts: dict[tuple[int, int], list[tuple[int, npt.NDArray[np.float64]]]]) -> float:
    """The pairwise sum of tree node [begin, end) from the chunks' parts."""
    if (begin, end) in node_sums:
        return node_sums[(begin, end)]
    if end - begin <= PAIRWISE_LEAF:
        parts = sorted(leaf_parts[(begin, end)], key=lambda part: part[0])
        return _pairwise_sum(np.concatenate([values for _, values in parts]))
    middle = begin + _left_size(end - begin)
    return _assemble(begin, middle, node_sums, leaf_parts) + _assemble(middle, end, node_sums, leaf_parts)


def _left_size(size: int) -> int:
    half = size // 2
    return half - half % 8


def _pairwise_sum(values: npt.NDArray[np.float64]) -> float:
    """NumPy's pairwise sum of a contiguous float64 vector, operation for operation."""
    size = len(values)
    if size > PAIRWISE_LEAF:
        middle = _left_size(size)
        return _pairwise_sum(values[:middle]) + _pairwise_sum(values[middle:])
    total = -0.0
    if size < 8:
        for value in values.tolist():
            total += value
        return total
    whole = size - size % 8
    parts = np.add.reduce(values[:whole].reshape(-1, 8), axis=0).tolist()
    total = ((parts[0] + parts[1]) + (parts[2] + parts[3])) + ((parts[4] + parts[5]) + (parts[6] + parts[7]))
    for value in values[whole:].tolist():
        total += value
    return total


def _checked_labels(labels: npt.ArrayLike) -> npt.NDArray[np.integer[Any]]:
    labels = np.asarray(labels)
    check_label_range(labels)
    return labels


def _group_chunk(points: npt.ArrayLike, labels: npt.ArrayLike, threshold: int) -> Groups:
    points = np.asarray(points, dtype=np.float64)
    labels = _checked_labels(labels)
    kept = np.flatnonzero(cluster_mask(labels, threshold))
    keys, inverse, counts = group_numbers(labels[kept].astype(np.int64))
    order = stable_order(inverse, len(keys))
    slots = (np.arange(len(keys)) + np.cumsum(counts) - counts).astype(np.intp)
    # Which point goes to each buffer row; the slots take any point for now.
    source = np.zeros(len(kept) + len(keys), dtype=np.intp)
    source[np.arange(len(kept)) + np.repeat(np.arange(1, len(keys) + 1), counts)] = kept[order]
    buffer = np.take(points, source, axis=0)
    return keys, counts.astype(np.int64), slots, buffer


def _add_groups(totals: Totals, groups: Groups) -> Totals:
    """The totals with one chunk's groups added, row after row."""
    keys, sums, counts = totals
    group_keys, group_counts, slots, buffer = groups
    if not len(group_keys):
        return totals
    merged = np.union1d(keys, group_keys)
    new_sums = np.zeros((len(merged), sums.shape[1]))
    new_sums[np.searchsorted(merged, keys)] = sums
    new_counts = np.zeros(len(merged), dtype=np.int64)
    new_counts[np.searchsorted(merged, keys)] = counts
    where = np.searchsorted(merged, group_keys)
    for index, slot, count in zip(where.tolist(), slots.tolist(), group_counts.tolist()):
        # The running sum goes in the free row before the group's rows, so one
        # reduction adds them to it one after the other. Writing the slot
        # again on a retried task gives the same result.
        buffer[slot] = new_sums[index]
        new_sums[index] = np.add.reduce(buffer[slot:slot + count + 1], axis=0)
    new_counts[where] += group_counts
    return merged, new_sums, new_counts


def _assign_chunk(points: npt.ArrayLike, labels: npt.ArrayLike,
                  table: tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]],
                  threshold: int, metric: str, p: float, max_distance: float | None) -> npt.NDArray[Any]:
    """One chunk's labels, by the in-memory function's own step."""
    centroid_labels, centroids = table
    working = _checked_labels(labels)
    working = working.astype(result_dtype(working.dtype))
    return relabel(points, working, centroid_labels, centroids, threshold, metric, p, max_distance)

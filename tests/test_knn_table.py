"""The native sweeps over a neighbour table, against weighted_label_propagation
over the same table renumbered in the sweeps' order (built here in plain Python)."""

import numpy as np
import pytest

from velorn.algorithms.graph_wrapper import GraphWrapper
from velorn.algorithms.src.tolmar.binaries.tolmar_lp import weighted_label_propagation

knn = pytest.importorskip("velorn.algorithms.src.tolmar.binaries.tolmar_knn")


def plain_propagation(ids, distances, labels, width, max_iterations, tolerance):
    """Rows nearest first (stably) without the row's own sample, cut to width;
    labelled samples first, then those with a labelled neighbour, then the rest;
    weighted_label_propagation over that table; labels back in sample order."""
    n, cols = ids.shape
    kept_columns = []
    for i in range(n):
        columns = sorted(range(cols), key=lambda j: distances[i, j])  # stable
        own = [j for j in columns if ids[i, j] == i][:1]
        kept_columns.append([j for j in columns if j not in own][:width])
    group = [0 if labels[i] != -1 else 1 if any(labels[ids[i, j]] != -1 for j in kept_columns[i]) else 2
             for i in range(n)]
    order = sorted(range(n), key=lambda i: group[i])
    number = {sample: position for position, sample in enumerate(order)}
    new_ids = np.array([[number[ids[i, j]] for j in kept_columns[i]] for i in order], dtype=np.int64)
    new_distances = np.array([[distances[i, j] for j in kept_columns[i]] for i in order], dtype=np.float32)
    ordered = labels[order].astype(np.int32)
    if width:
        weighted_label_propagation(GraphWrapper(new_ids.reshape(n, width)),
                                   GraphWrapper(new_distances.reshape(n, width)), ordered,
                                   max_iterations=max_iterations, tolerance=tolerance)
    result = np.empty_like(ordered)
    result[order] = ordered
    return result


def random_table(rng, n, cols, id_dtype, distance_dtype):
    """Rows as searches give them (own sample first, nearest first) and some that are not:
    own sample elsewhere or missing, rows out of order, ties."""
    ids = np.array([rng.choice(n, size=cols, replace=False) for _ in range(n)])
    distances = np.sort(rng.integers(1, 5, size=(n, cols)).astype(float), axis=1)
    for i in range(n):
        kind = rng.integers(5)
        if kind <= 1:  # own sample first at distance 0
            ids[i, ids[i] == i] = ids[i, 0]
            ids[i, 0], distances[i, 0] = i, 0.0
        elif kind == 2:  # out of order
            rng.shuffle(distances[i])
    return ids.astype(id_dtype), distances.astype(distance_dtype)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("id_dtype, distance_dtype, strided", [
    (np.int32, np.float64, False), (np.int64, np.float32, False), (np.int64, np.float64, True)])
# Labels up to 2 or up to 1000 (beyond a byte); sweeps cut short or run to the end.
@pytest.mark.parametrize("label_scale, max_iterations, tolerance", [(1, 50000, 1e-3), (500, 1, 1e-3), (1, 2, 0.0)])
def test_matches_propagation_over_the_renumbered_table(seed, id_dtype, distance_dtype, strided, label_scale,
                                                       max_iterations, tolerance):
    rng = np.random.default_rng(seed)
    n, cols = 60, 6
    ids, distances = random_table(rng, n, cols, id_dtype, distance_dtype)
    if strided:  # every other column of a wider table
        ids = np.repeat(ids, 2, axis=1)[:, ::2]
        distances = np.repeat(distances, 2, axis=1)[:, ::2]
    labels = np.where(rng.random(n) < 0.1, rng.integers(0, 3, n) * label_scale, -1).astype(np.int32)
    for width in (0, 2, cols - 1):
        got = labels.copy()
        knn.propagate_knn_table(ids, distances, got, width, max_iterations, tolerance)
        np.testing.assert_array_equal(
            got, plain_propagation(ids, distances, labels, width, max_iterations, tolerance))


@pytest.mark.parametrize("ids, labels, width, error, message", [
    (np.array([[0, 2], [1, 0]]), [-1, 0], 1, IndexError, "sample 0 has neighbour id 2 outside 0 .. 1"),
    (np.array([[0, 1], [1, -1]]), [0, -1], 1, IndexError, "neighbour id -1"),
    (np.array([[0, 1], [1, 0]]), [0, -1], 2, ValueError, "sample 0 has 1 neighbours besides itself, expected 2"),
    (np.array([[0, 1], [1, 0]]), [0, -1], 3, ValueError, "width 3 is more than the table's 2 columns"),
    (np.array([[0, 1], [1, 0]], dtype=np.int16), [0, -1], 1, TypeError, "ids has an unsupported dtype"),
    (np.array([0, 1]), [0, -1], 1, TypeError, "ids must be a 2-D ndarray"),
    (np.array([[0, 1], [1, 0]]), np.array([0, -1], dtype=np.int32)[::-1].copy().view(">i4"), 1, TypeError,
     "labels must be a writable 1-D int32 ndarray"),
])
def test_bad_tables_are_refused_and_labels_left_alone(ids, labels, width, error, message):
    labels = np.asarray(labels, dtype=np.int32) if isinstance(labels, list) else labels
    before = labels.copy()
    with pytest.raises(error, match=message):
        knn.propagate_knn_table(ids, np.zeros((2, 2)), labels, width, 50000, 1e-3)
    np.testing.assert_array_equal(labels, before)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("column", [0, 2, 3])  # a row's first, a middle and its last entry
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, -1.0])
def test_reports_distances_that_are_not_finite_or_not_negative(dtype, column, bad):
    ids = np.array([[0, 1, 2, 3], [1, 0, 2, 3], [2, 1, 0, 3], [3, 2, 1, 0]])
    distances = np.tile(np.arange(4, dtype=dtype), (4, 1))
    labels = np.array([0, -1, 1, -1], dtype=np.int32)
    assert knn.propagate_knn_table(ids, distances, labels.copy(), 2, 10, 1e-3)[1] is True
    distances[2, column] = bad
    assert knn.propagate_knn_table(ids, distances, labels.copy(), 2, 10, 1e-3)[1] is False

"""The native pass that turns a neighbour table into the tables the sweeps read,
against a plain-Python statement of what it does."""

import numpy as np
import pytest

knn = pytest.importorskip("velorn.algorithms.src.tolmar.binaries.tolmar_knn")


def plain_ordered_table(ids, distances, labels, width):
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
    new_ids = [[number[ids[i, j]] for j in kept_columns[i]] for i in order]
    new_distances = [[distances[i, j] for j in kept_columns[i]] for i in order]
    return (np.array(order, dtype=np.int64), np.array(new_ids, dtype=np.int64).reshape(n, width),
            np.array(new_distances, dtype=np.float32).reshape(n, width))


def random_table(rng, n, cols, id_dtype, distance_dtype):
    """Rows as searches give them (own sample first, nearest first) and some that are not:
    own sample elsewhere or missing, rows out of order, ties."""
    ids = np.array([rng.choice(n, size=cols, replace=False) for _ in range(n)])
    distances = np.sort(rng.integers(0, 4, size=(n, cols)).astype(float), axis=1)
    for i in range(n):
        kind = rng.integers(5)
        if kind <= 1:  # own sample first at distance 0
            ids[i, ids[i] == i] = ids[i, 0]
            ids[i, 0], distances[i, 0] = i, 0.0
        elif kind == 2:  # out of order
            rng.shuffle(distances[i])
    return ids.astype(id_dtype), distances.astype(distance_dtype)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("id_dtype, distance_dtype", [(np.int32, np.float64), (np.int64, np.float32)])
@pytest.mark.parametrize("strided", [False, True])
def test_matches_the_plain_statement(seed, id_dtype, distance_dtype, strided):
    rng = np.random.default_rng(seed)
    n, cols = 40, 6
    ids, distances = random_table(rng, n, cols, id_dtype, distance_dtype)
    if strided:  # every other column of a wider table
        ids = np.repeat(ids, 2, axis=1)[:, ::2]
        distances = np.repeat(distances, 2, axis=1)[:, ::2]
    labels = np.where(rng.random(n) < 0.15, rng.integers(0, 3, n), -1).astype(np.int32)
    for width in (0, 3, cols - 1):
        got = knn.ordered_knn_table(ids, distances, labels, width)
        for result, expected in zip(got, plain_ordered_table(ids, distances, labels, width)):
            np.testing.assert_array_equal(result, expected)
            assert result.dtype == expected.dtype


@pytest.mark.parametrize("ids, width, error, message", [
    (np.array([[0, 2], [1, 0]]), 1, IndexError, "sample 0 has neighbour id 2 outside 0 .. 1"),
    (np.array([[0, -1], [1, 0]]), 1, IndexError, "neighbour id -1"),
    (np.array([[0, 1], [1, 0]]), 2, ValueError, "sample 0 has 1 neighbours besides itself, expected 2"),
    (np.array([[0, 1], [1, 0]]), 3, ValueError, "width 3 is more than the table's 2 columns"),
    (np.array([[0, 1], [1, 0]], dtype=np.int16), 1, TypeError, "ids has an unsupported dtype"),
    (np.array([0, 1]), 1, TypeError, "ids must be a 2-D ndarray"),
])
def test_bad_tables_are_refused(ids, width, error, message):
    distances = np.zeros((2, 2))
    with pytest.raises(error, match=message):
        knn.ordered_knn_table(ids, distances, np.array([0, -1], dtype=np.int32), width)

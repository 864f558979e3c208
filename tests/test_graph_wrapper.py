import numpy as np
import pytest

from velorn import GraphWrapper


@pytest.fixture
def knn_ids():
    return np.array([[1, 2], [0, 2], [0, 1]], dtype=np.int64)


@pytest.mark.parametrize(
    "table, expected_dtype",
    [
        (np.array([[1, 2]], dtype=np.int32), np.int64),
        (np.array([[1, 2]], dtype=np.uint8), np.int64),
        (np.array([[0.5, 2.0]], dtype=np.float64), np.float32),
        (np.array([[0.5, 2.0]], dtype=np.float32), np.float32),
    ],
)
def test_from_knn_takes_kind_from_table(table, expected_dtype):
    graph = GraphWrapper.from_knn(table)
    assert graph.to_numpy(0).dtype == expected_dtype
    assert graph.to_numpy(0).tolist() == table[0].tolist()


@pytest.mark.parametrize("table", [np.array([[True]]), np.array([["a"]]), np.zeros(3, dtype=np.int64)])
def test_from_knn_rejects_other_tables(table):
    with pytest.raises((TypeError, ValueError)):
        GraphWrapper.from_knn(table)


def test_untouched_row_is_a_read_only_view_of_the_table(knn_ids):
    graph = GraphWrapper.from_knn(knn_ids)
    row = graph.to_numpy(1)
    assert np.shares_memory(row, knn_ids)
    assert not row.flags.writeable
    # The caller's own table stays writable.
    assert knn_ids.flags.writeable


def test_appends_follow_the_base_row_in_order(knn_ids):
    graph = GraphWrapper.from_knn(knn_ids)
    graph.append(0, 2)
    first = graph.to_numpy(0)
    graph.append(0, 1)
    assert first.tolist() == [1, 2, 2]
    assert graph.to_numpy(0).tolist() == [1, 2, 2, 1]
    assert graph.to_numpy(0).dtype == np.int64
    assert graph.to_numpy(1).tolist() == [0, 2]
    assert graph.num_entries == 8


def test_weights_keep_float32_values():
    weights = GraphWrapper.empty(2, np.float32)
    weights.append(1, 0.1)
    weights.append(1, 0.0)
    row = weights.to_numpy(1)
    assert row.dtype == np.float32
    assert row.tolist() == [np.float32(0.1), 0.0]
    assert weights.to_numpy(0).shape == (0,)


@pytest.mark.parametrize(
    "row, value, expected",
    [(0, 2, True), (0, 0, False), (2, 1, True), (2, 2, False)],
)
def test_contains_on_base_rows(knn_ids, row, value, expected):
    assert GraphWrapper.from_knn(knn_ids).contains(row, value) is expected


def test_contains_sees_appended_entries():
    graph = GraphWrapper.empty(3, np.int64)
    assert not graph.contains(0, 2)
    graph.append(0, 2)
    assert graph.contains(0, 2)
    assert not graph.contains(2, 0)


@pytest.mark.parametrize("call", ["to_numpy", "contains", "append"])
@pytest.mark.parametrize("row", [-1, 3])
def test_row_out_of_range(knn_ids, call, row):
    graph = GraphWrapper.from_knn(knn_ids)
    args = (row,) if call == "to_numpy" else (row, 0)
    with pytest.raises(IndexError):
        getattr(graph, call)(*args)


@pytest.mark.parametrize("node_id", [-1, 3])
def test_append_rejects_node_id_out_of_range(knn_ids, node_id):
    graph = GraphWrapper.from_knn(knn_ids)
    with pytest.raises(IndexError):
        graph.append(0, node_id)
    assert graph.to_numpy(0).tolist() == [1, 2]


def test_len_and_numpy_integer_rows(knn_ids):
    graph = GraphWrapper.from_knn(knn_ids)
    graph.append(np.int64(2), np.int64(2))
    assert len(graph) == 3
    assert len(GraphWrapper.empty(0, np.int64)) == 0
    assert graph.to_numpy(2).tolist() == [0, 1, 2]
    assert graph.contains(np.int32(2), 2)

"""WeightedLabelPropagation's parameters and its neighbour search: bad values
refused before any work, n_jobs and random_state as in scikit-learn, data
the approximate search must not round away, sparse features, string labels'
own unlabelled marker, any scale of the input, copies among sparse rows,
graph objects and boolean labels."""

import importlib.util
import sys
import types

import joblib
import networkx
import numpy as np
import pytest
from scipy import sparse
from sklearn.datasets import make_blobs
from sklearn.metrics import accuracy_score
from sklearn.neighbors import KNeighborsTransformer, kneighbors_graph

from velorn import PoissonLabelPropagation, WeightedLabelPropagation
from velorn.neighbours import NeighbourSearch

needs_hnswlib = pytest.mark.skipif(not importlib.util.find_spec("hnswlib"), reason="needs the [fast] extra (hnswlib)")


def blobs(num_points=600, seed=0, share=0.05):
    points, truth = make_blobs(num_points, centers=3, n_features=3, cluster_std=0.8, random_state=seed)
    labelled = np.random.default_rng(seed).random(num_points) < share
    labelled[[np.flatnonzero(truth == blob)[0] for blob in range(3)]] = True
    return points, truth, np.where(labelled, truth, -1)


@pytest.mark.parametrize("name, value", [
    ("max_iter", -1), ("max_iter", "10"), ("max_iter", 2.5), ("tol", "x"), ("tol", -1), ("verbose", "yes"),
    ("n_jobs", "a"), ("metric", "nope"), ("metric_params", [1]), ("p", 0), ("random_state", "seed"),
])
def test_bad_parameters_are_refused_before_any_search(monkeypatch, name, value):
    def no_search(*args, **kwargs):
        raise AssertionError("the search ran before the parameters were checked")
    monkeypatch.setattr(NeighbourSearch, "fit", no_search)
    points, _, y = blobs(60)
    with pytest.raises(ValueError, match=f"'{name}' parameter of WeightedLabelPropagation") as error:
        WeightedLabelPropagation(**{name: value}).fit(points, y)
    assert "NearestNeighbors" not in str(error.value)


def test_metric_params_and_p_as_nearest_neighbors_takes_them():
    points, _, y = blobs()
    euclidean = WeightedLabelPropagation(n_neighbors=10).fit(points, y).transduction_
    mahalanobis = WeightedLabelPropagation(n_neighbors=10, metric="mahalanobis",
                                           metric_params={"VI": np.eye(3)}).fit(points, y)
    np.testing.assert_array_equal(mahalanobis.transduction_, euclidean)
    np.testing.assert_array_equal(mahalanobis.predict(points), euclidean)
    manhattan = WeightedLabelPropagation(n_neighbors=10, metric="manhattan").fit(points, y).transduction_
    np.testing.assert_array_equal(WeightedLabelPropagation(n_neighbors=10, p=1).fit(points, y).transduction_,
                                  manhattan)


def count_hnswlib_threads(monkeypatch):
    """Make hnswlib's index record the threads each of its calls is given."""
    real = pytest.importorskip("hnswlib")
    threads: dict[str, list[int]] = {}

    class CountingIndex:
        def __init__(self, *args, **kwargs):
            self._index = real.Index(*args, **kwargs)

        def __getattr__(self, name):
            method = getattr(self._index, name)

            def call(*args, **kwargs):
                if name == "set_num_threads" or "num_threads" in kwargs:
                    threads.setdefault(name, []).append(args[0] if args and name == "set_num_threads"
                                                        else kwargs["num_threads"])
                return method(*args, **kwargs)
            return call

    monkeypatch.setitem(sys.modules, "hnswlib", types.SimpleNamespace(Index=CountingIndex))
    return threads


@needs_hnswlib
@pytest.mark.parametrize("random_state", [None, 0])
def test_n_jobs_minus_one_gives_hnswlib_every_core(monkeypatch, random_state):
    points, _, y = blobs()
    fit = WeightedLabelPropagation(search="approximate", n_jobs=-1, random_state=random_state).fit
    threads = count_hnswlib_threads(monkeypatch)
    model = fit(points, y)
    cores = joblib.cpu_count()
    # A fixed random_state builds the index on one thread, so that it is the same at every run.
    assert threads == {"add_items": [cores if random_state is None else 1], "knn_query": [cores]}
    if random_state is not None:
        np.testing.assert_array_equal(fit(points, y).transduction_, model.transduction_)


@needs_hnswlib
@pytest.mark.parametrize("shift", [1e7, 1e8])
def test_approximate_search_keeps_data_far_from_the_origin(shift):
    # float32 holds 1e7 to within 1: the search must not work on rounded points.
    points, truth = make_blobs(3000, centers=[[0, 0], [3, 3]], n_features=2, cluster_std=0.6, random_state=0)
    y = np.where(np.random.default_rng(0).random(3000) < 0.02, truth, -1)
    exact = WeightedLabelPropagation(search="exact").fit(points + shift, y)
    approximate = WeightedLabelPropagation(search="approximate", random_state=0).fit(points + shift, y)
    assert not approximate.unreachable_.any()
    assert np.mean(approximate.transduction_ == truth) >= np.mean(exact.transduction_ == truth) - 0.005
    assert np.mean(approximate.predict(points[:500] + shift) == truth[:500]) > 0.95


@pytest.mark.parametrize("metric", ["cosine", "minkowski"])
def test_sparse_features_are_searched_as_the_dense_ones(metric):
    points, _, y = blobs()
    points = np.abs(points)  # as TF-IDF weights are: not negative, some zero
    points[points[:, 0] < 1, 0] = 0
    dense = WeightedLabelPropagation(n_neighbors=10, metric=metric).fit(points, y)
    model = WeightedLabelPropagation(n_neighbors=10, metric=metric).fit(sparse.csr_matrix(points), y)
    np.testing.assert_array_equal(model.transduction_, dense.transduction_)
    np.testing.assert_array_equal(model.predict(sparse.csr_matrix(points[:50])), dense.predict(points[:50]))
    # Dense training samples, sparse new ones, whichever index holds the former.
    np.testing.assert_array_equal(dense.predict(sparse.csr_matrix(points[:50])), dense.predict(points[:50]))


@needs_hnswlib
def test_approximate_search_refuses_sparse_features_clearly():
    points, _, y = blobs(60)
    with pytest.raises(ValueError, match="search='approximate' takes dense features only"):
        WeightedLabelPropagation(search="approximate").fit(sparse.csr_matrix(points), y)


@pytest.mark.parametrize("kind", ["object", "str"])
def test_unlabelled_string_labels_come_back_as_the_string_marker(kind):
    points, truth, y = blobs()
    far = np.random.default_rng(1).normal(100.0, 1.0, size=(20, 3))  # a group no label reaches
    points = np.vstack([points, far])
    names = np.array(["cat", "dog", "emu"])
    y = np.concatenate([np.where(y == -1, -1, names[y].astype(object)), [-1] * 20]).astype(object)
    y = y if kind == "object" else y.astype(str)
    expected = np.concatenate([names[truth], ["-1"] * 20])
    with pytest.warns(UserWarning, match="cannot be reached"):
        model = WeightedLabelPropagation(n_neighbors=10).fit(points, y)
    assert model.transduction_[-1] == "-1" and model.predict(far[:1])[0] == "-1"
    assert accuracy_score(expected, model.transduction_) > 0.99
    assert model.score(points, expected) > 0.99


@pytest.mark.parametrize("scale", [1e-300, 1e-160, 1e160, 1e300])
@pytest.mark.parametrize("metric", ["minkowski", "cosine", "precomputed", "precomputed_affinity"])
def test_a_uniform_scale_of_the_input_changes_no_label(metric, scale):
    points, _, y = blobs(300)
    if metric == "precomputed":
        points = KNeighborsTransformer(n_neighbors=10).fit_transform(points)
    elif metric == "precomputed_affinity":
        points = kneighbors_graph(points, 10, mode="distance")
        points.data = np.exp(-points.data)
    expected = WeightedLabelPropagation(n_neighbors=10, metric=metric).fit(points, y)
    model = WeightedLabelPropagation(n_neighbors=10, metric=metric).fit(points * scale, y)
    np.testing.assert_array_equal(model.transduction_, expected.transduction_)
    np.testing.assert_allclose(model.label_distributions_, expected.label_distributions_, rtol=1e-12, atol=1e-12)
    if metric in ("minkowski", "cosine"):
        np.testing.assert_array_equal(model.predict(points[:50] * scale), expected.predict(points[:50]))


def test_new_samples_whose_distances_overflow_are_refused():
    points, _, y = blobs(60)
    with pytest.raises(ValueError, match="too large for distances"):
        WeightedLabelPropagation(n_neighbors=5).fit(points, y).predict(points * 1e155)


@pytest.mark.parametrize("metric", ["cosine", "minkowski"])
def test_copies_among_sparse_rows_are_merged_as_among_dense_ones(metric):
    documents = np.abs(np.random.default_rng(1).normal(size=(6, 40))) * (np.random.default_rng(2).random((6, 40)) < 0.3)
    points = np.tile(documents, (20, 1))
    y = np.full(len(points), -1)
    y[[0, 3]] = [0, 1]
    dense = WeightedLabelPropagation(n_neighbors=5, metric=metric).fit(points, y)
    model = WeightedLabelPropagation(n_neighbors=5, metric=metric).fit(sparse.csr_matrix(points), y)
    assert not model.unreachable_.any()
    np.testing.assert_array_equal(model.transduction_, dense.transduction_)


@pytest.mark.parametrize("estimator", [WeightedLabelPropagation, PoissonLabelPropagation])
def test_a_networkx_graph_is_taken_as_its_adjacency(estimator):
    graph = networkx.karate_club_graph()
    y = np.full(34, -1)
    y[[0, 33]] = [0, 1]
    model = estimator(metric="precomputed_affinity").fit(graph, y)
    expected = estimator(metric="precomputed_affinity").fit(networkx.to_scipy_sparse_array(graph), y)
    np.testing.assert_array_equal(model.transduction_, expected.transduction_)
    with pytest.raises(ValueError, match="metric='precomputed_affinity'.*to_scipy_sparse_array"):
        estimator().fit(graph, y)


def test_boolean_labels_come_back_boolean():
    points, truth, _ = blobs(100)
    y = truth == 0
    model = WeightedLabelPropagation(n_neighbors=5).fit(points, y)
    assert model.transduction_.dtype == bool and model.predict(points[:5]).dtype == bool


def test_a_class_prior_of_another_length_is_refused_before_the_search(monkeypatch):
    def no_search(*args, **kwargs):
        raise AssertionError("the search ran before class_prior was checked")
    monkeypatch.setattr(NeighbourSearch, "fit", no_search)
    points, _, y = blobs(60)
    with pytest.raises(ValueError, match="class_prior has 2 shares, but y has 3 classes"):
        PoissonLabelPropagation(class_prior=[1, 1]).fit(points, y)

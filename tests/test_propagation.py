"""WeightedLabelPropagation: scikit-learn's conventions, labels of any kind,
the precomputed-graph input, and samples that cannot be labelled."""

import importlib.util
import inspect
import pickle
import sys

import numpy as np
import pytest
from sklearn.datasets import make_blobs
from sklearn.exceptions import ConvergenceWarning, NotFittedError
from sklearn.neighbors import KNeighborsTransformer
from sklearn.utils.estimator_checks import parametrize_with_checks

pytest.importorskip("velorn.algorithms.src.tolmar.binaries.tolmar_lp")
from velorn import WeightedLabelPropagation  # noqa: E402

SEARCHES = ["exact", pytest.param("approximate", marks=pytest.mark.skipif(
    not importlib.util.find_spec("hnswlib"), reason="needs the [fast] extra (hnswlib)"))]


def blobs(num_points=600, seed=0, share=0.05):
    points, truth = make_blobs(num_points, centers=3, n_features=3, cluster_std=0.8, random_state=seed)
    labelled = np.random.default_rng(seed).random(num_points) < share
    labelled[[np.flatnonzero(truth == blob)[0] for blob in range(3)]] = True
    return points, truth, np.where(labelled, truth, -1)


# The checks that cannot apply to a semi-supervised estimator, and why.
EXPECTED_FAILED_CHECKS = {
    "check_classifiers_classes": "its binary case uses -1 as a class, which marks an unlabelled sample here",
    "check_non_transformer_estimators_n_iter": "the propagation does not report how many sweeps it ran",
}


# expected_failed_checks came with scikit-learn 1.6; older ones skip the checks.
if "expected_failed_checks" in inspect.signature(parametrize_with_checks).parameters:
    @parametrize_with_checks([WeightedLabelPropagation()],
                             expected_failed_checks=lambda estimator: EXPECTED_FAILED_CHECKS)
    def test_scikit_learn_estimator_checks(estimator, check):
        check(estimator)


@pytest.mark.parametrize("search", SEARCHES)
def test_labels_the_blobs_and_predict_agrees_on_training_points(search):
    points, truth, y = blobs()
    model = WeightedLabelPropagation(n_neighbors=10, search=search).fit(points, y)
    assert np.mean(model.transduction_ == truth) > 0.99
    assert not model.unreachable_.any()
    np.testing.assert_array_equal(model.predict(points), model.transduction_)
    # The search index (hnswlib's too) survives pickling.
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(model)).predict(points), model.transduction_)
    proba = model.predict_proba(points)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    np.testing.assert_array_equal(model.classes_[proba.argmax(axis=1)], model.transduction_)


@pytest.mark.parametrize("kind", ["list of str", "object", "float", "int8"])
def test_labels_of_any_kind_round_trip(kind):
    points, truth, y = blobs()
    names = np.array(["cat", "dog", "emu"])
    if kind == "list of str":  # NumPy turns the -1 among strings into "-1"
        y_in, expected = [names[v] if v != -1 else -1 for v in y.tolist()], names[truth]
    elif kind == "object":
        y_in, expected = np.where(y == -1, -1, names[y].astype(object)).astype(object), names[truth]
    else:
        y_in, expected = np.where(y == -1, -1, y * 10 + 100).astype(kind), (truth * 10 + 100).astype(kind)
    model = WeightedLabelPropagation(n_neighbors=10).fit(points, y_in)
    assert model.classes_.tolist() == np.unique(expected).tolist()
    assert model.transduction_.tolist() == model.predict(points).tolist()
    assert np.mean(model.transduction_ == expected) > 0.99


@pytest.mark.parametrize("distance_dtype, metric, num_features", [
    ("float64", "minkowski", 3), ("float32", "minkowski", 3), (">f8", "minkowski", 3),
    ("float64", "manhattan", 3), ("float64", "chebyshev", 3), ("float64", "minkowski", 20),
])
def test_precomputed_graph_gives_the_labels_of_the_points(distance_dtype, metric, num_features):
    points, _, y = blobs()
    points = np.hstack([points, np.random.default_rng(2).normal(size=(len(points), num_features - 3))])
    from_points = WeightedLabelPropagation(n_neighbors=10, metric=metric).fit(points, y)
    graph = KNeighborsTransformer(mode="distance", n_neighbors=12, metric=metric).fit_transform(points)
    graph.data = graph.data.astype(distance_dtype)
    # Rows with more neighbours than n_neighbors are cut to the nearest.
    from_graph = WeightedLabelPropagation(n_neighbors=10, metric="precomputed").fit(graph, y)
    np.testing.assert_array_equal(from_graph.transduction_, from_points.transduction_)
    assert from_graph.n_neighbors_ == 10
    np.testing.assert_array_equal(from_graph.predict(graph), from_graph.transduction_)


def far_group(num_far):
    """Blobs plus ``num_far`` unlabelled points far from all of them."""
    points, truth, y = blobs()
    far = np.random.default_rng(1).normal(100.0, 1.0, size=(num_far, 3))
    return np.vstack([points, far]), np.concatenate([y, np.full(num_far, -1)])


@pytest.mark.parametrize("search", SEARCHES)
def test_a_far_group_is_unreachable_whichever_the_search(search):
    # hnswlib's graph search alone misses this group and joins it to a blob.
    points, truth = make_blobs(10_000, centers=10, n_features=4, cluster_std=1.5, random_state=0)
    y = np.where(np.random.default_rng(0).random(10_000) < 0.01, truth, -1)
    far = np.random.default_rng(1).normal(size=(50, 4)) + 100
    with pytest.warns(UserWarning, match="50 of 10,050 samples"):
        model = WeightedLabelPropagation(search=search).fit(np.vstack([points, far]), np.concatenate([y, [-1] * 50]))
    assert (model.transduction_[10_000:] == -1).all()


def test_a_group_no_label_reaches_keeps_minus_one_with_a_warning():
    points, y = far_group(20)
    with pytest.warns(UserWarning, match=r"20 of 620 samples, in 1 group\(s\), cannot be reached"):
        model = WeightedLabelPropagation(n_neighbors=10).fit(points, y)
    assert model.unreachable_.tolist() == [False] * 600 + [True] * 20
    assert (model.transduction_[600:] == -1).all()
    # New points there get no label either, and no NaN probabilities.
    assert model.predict(points[600:602]).tolist() == [-1, -1]
    assert model.predict_proba(points[600:602]).tolist() == [[0.0] * 3] * 2
    refusing = WeightedLabelPropagation(n_neighbors=10, on_unreachable="raise")
    with pytest.raises(ValueError, match="Label a sample in each such group, or use more neighbours"):
        refusing.fit(points, y)
    with pytest.raises(NotFittedError):  # nothing half-fitted is left behind
        refusing.predict(points)


def test_samples_cut_off_by_max_iter_are_told_apart_from_unreachable_ones():
    points, truth, _ = blobs()
    y = np.full(len(truth), -1)
    y[[np.flatnonzero(truth == blob)[0] for blob in range(3)]] = [0, 1, 2]
    with pytest.warns(ConvergenceWarning, match="after max_iter=1 sweeps"):
        model = WeightedLabelPropagation(n_neighbors=5, max_iter=1).fit(points, y)
    assert (model.transduction_ == -1).any() and not model.unreachable_.any()


def test_a_group_no_larger_than_the_neighbours_is_reached(recwarn):
    points, y = far_group(10)
    model = WeightedLabelPropagation(n_neighbors=10).fit(points, y)
    assert not model.unreachable_.any() and not recwarn.list


@pytest.mark.parametrize("params, fit_args, match", [
    ({}, lambda X, y: (X, np.full(len(y), -1)), "no labelled sample"),
    ({}, lambda X, y: (X, y[:-1]), "inconsistent numbers of samples"),
    ({}, lambda X, y: (X, None), "requires y to be passed"),
    ({"n_neighbors": 0}, lambda X, y: (X, y), "n_neighbors must be a positive int"),
    ({"search": "fast"}, lambda X, y: (X, y), "search must be 'exact' or 'approximate'"),
    ({"on_unreachable": "ignore"}, lambda X, y: (X, y), "on_unreachable must be"),
    ({"search": "approximate", "metric": "manhattan"}, lambda X, y: (X, y), "supports the metrics"),
    ({"metric": "precomputed"}, lambda X, y: (X, y), "takes a sparse distance graph"),
])
def test_bad_input_is_refused_before_any_work(params, fit_args, match):
    points, _, y = blobs(60)
    with pytest.raises(ValueError, match=match):
        WeightedLabelPropagation(**params).fit(*fit_args(points, y))


@pytest.mark.parametrize("bad, match", [(np.nan, "holds NaN or infinite entries"),
                                        (np.inf, "holds NaN or infinite entries"), (-1.0, "holds negative distances")])
@pytest.mark.parametrize("extra_entry", [False, True])  # in a row as the sweeps read it, or one more
def test_bad_graph_distances_are_refused(bad, match, extra_entry):
    points, _, y = blobs()
    graph = KNeighborsTransformer(mode="distance", n_neighbors=10).fit_transform(points)
    if extra_entry:  # row 0 one entry longer, beyond the nearest n_neighbors
        graph = graph.tolil()
        graph[0, np.setdiff1d(np.arange(len(y)), graph.rows[0])[0]] = bad
        graph = graph.tocsr()
    else:
        graph.data[5 * 11 + 4] = bad
    model = WeightedLabelPropagation(n_neighbors=10, metric="precomputed")
    with pytest.raises(ValueError, match=match):
        model.fit(graph, y)
    assert not hasattr(model, "transduction_")


def test_approximate_search_without_hnswlib_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "hnswlib", None)  # makes its import fail
    points, _, y = blobs(60)
    with pytest.raises(ImportError, match=r"pip install 'velorn\[fast\]'"):
        WeightedLabelPropagation(search="approximate").fit(points, y)


def test_verbose_reports_the_steps_and_default_is_silent(capsys):
    points, _, y = blobs()
    WeightedLabelPropagation().fit(points, y).predict(points)
    assert capsys.readouterr().out == ""
    WeightedLabelPropagation(verbose=True).fit(points, y)
    output = capsys.readouterr().out
    for step in ("neighbour search: 600 samples", "propagation: "):
        assert step in output

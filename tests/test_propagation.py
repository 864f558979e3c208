"""WeightedLabelPropagation: scikit-learn's conventions, labels of any kind,
the precomputed-graph input, and samples that cannot be labelled."""

import contextlib
import importlib.util
import inspect
import io
import itertools
import pickle
import re
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy import sparse
from sklearn.datasets import make_blobs, make_classification, make_moons
from sklearn.exceptions import ConvergenceWarning, NotFittedError
from sklearn.neighbors import KNeighborsTransformer, kneighbors_graph, radius_neighbors_graph
from sklearn.utils.estimator_checks import parametrize_with_checks

from velorn import PoissonLabelPropagation, WeightedLabelPropagation, neighbours

SEARCHES = ["exact", pytest.param("approximate", marks=pytest.mark.skipif(
    not importlib.util.find_spec("hnswlib"), reason="needs the [fast] extra (hnswlib)"))]


def blobs(num_points=600, seed=0, share=0.05):
    points, truth = make_blobs(num_points, centers=3, n_features=3, cluster_std=0.8, random_state=seed)
    labelled = np.random.default_rng(seed).random(num_points) < share
    labelled[[np.flatnonzero(truth == blob)[0] for blob in range(3)]] = True
    return points, truth, np.where(labelled, truth, -1)


# The checks that cannot apply to a semi-supervised estimator, and why.
UNLABELLED_CLASS = {
    "check_classifiers_classes": "its binary case uses -1 as a class, which marks an unlabelled sample here",
}
EXPECTED_FAILED_CHECKS = {
    WeightedLabelPropagation: {
        **UNLABELLED_CLASS,
        "check_non_transformer_estimators_n_iter": "its data has every sample labelled, so no sweep runs (n_iter_ 0)",
    },
    PoissonLabelPropagation: UNLABELLED_CLASS,
}


# expected_failed_checks came with scikit-learn 1.6; older ones skip the checks.
if "expected_failed_checks" in inspect.signature(parametrize_with_checks).parameters:
    @parametrize_with_checks([WeightedLabelPropagation(), PoissonLabelPropagation()],
                             expected_failed_checks=lambda estimator: EXPECTED_FAILED_CHECKS[type(estimator)])
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
@pytest.mark.parametrize("random_state", [0, 121])
def test_a_far_group_is_unreachable_whichever_the_search(search, random_state):
    # hnswlib's graph search alone misses this group and joins it to a blob;
    # built with random_state=121, its graph enters the group by 9 samples
    # only, whose rows then hold 7 blob samples each.
    points, truth = make_blobs(10_000, centers=10, n_features=4, cluster_std=1.5, random_state=0)
    y = np.where(np.random.default_rng(0).random(10_000) < 0.01, truth, -1)
    far = np.random.default_rng(1).normal(size=(50, 4)) + 100
    with pytest.warns(UserWarning, match="50 of 10,050 samples"):
        model = WeightedLabelPropagation(search=search, random_state=random_state).fit(
            np.vstack([points, far]), np.concatenate([y, [-1] * 50]))
    assert (model.transduction_[10_000:] == -1).all()


@pytest.mark.skipif(not importlib.util.find_spec("hnswlib"), reason="needs the [fast] extra (hnswlib)")
@pytest.mark.parametrize("random_state", [0, 1])
def test_samples_the_index_missed_are_linked_again_before_any_exact_search(capsys, random_state):
    # hnswlib's graph holds no link into some of these samples; linked again,
    # nearly all of them are found by the index itself, and only the rest
    # (the far group's, when unreached) by the costly exact search.
    points, _ = make_blobs(20_000, n_features=8, centers=10, cluster_std=2.0, random_state=0)
    points = np.vstack([points, np.random.default_rng(1).normal(size=(50, 8)) + 100])
    index = neighbours.NeighbourSearch(search="approximate", random_state=random_state, verbose=True).fit(points)
    ids, _ = index.kneighbors(None, 16)
    assert (ids == np.arange(len(points))[:, None]).any(axis=1).all()
    assert (ids[20_000:] >= 20_000).all() and (ids[:20_000] < 20_000).all()
    found = re.search(r"search again of the ([\d,]+) samples .*, ([\d,]+) of them exactly", capsys.readouterr().out)
    again, exactly = (int(count.replace(",", "")) for count in found.groups())
    assert exactly < again / 10


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
    ({"n_neighbors": 0}, lambda X, y: (X, y), "n_neighbors. parameter of WeightedLabelPropagation must be an int"),
    ({"search": "fast"}, lambda X, y: (X, y), "search. parameter of WeightedLabelPropagation must be a str among"),
    ({"on_unreachable": "ignore"}, lambda X, y: (X, y), "on_unreachable. parameter of WeightedLabelPropagation must be"),
    ({"search": "approximate", "metric": "manhattan"}, lambda X, y: (X, y), "supports the metrics"),
    ({"metric": "precomputed"}, lambda X, y: (X, y), "takes a sparse distance graph"),
    ({"metric": "precomputed_affinity"}, lambda X, y: (sparse.csr_matrix(X), y), r"shape \(60, 3\), expected 60"),
    ({"metric": "precomputed_affinity"}, lambda X, y: (-np.eye(60), y), "holds negative similarities"),
    ({"metric": "precomputed_affinity"}, lambda X, y: (np.full((60, 60), np.nan), y), "holds NaN or infinite"),
    ({"metric": "precomputed"}, lambda X, y: (sparse.eye(61, format="csr"), y), "inconsistent numbers of samples"),
])
def test_bad_input_is_refused_before_any_work(params, fit_args, match):
    points, _, y = blobs(60)
    with pytest.raises(ValueError, match=match):
        WeightedLabelPropagation(**params).fit(*fit_args(points, y))


@pytest.mark.parametrize("bad, match", [(np.nan, "holds NaN or infinite entries"),
                                        (np.inf, "holds NaN or infinite entries"), (-1.0, "holds negative distances")])
# In a row as the sweeps read it, at the sample's own entry (which they
# skip), or one entry more, beyond the nearest n_neighbors.
@pytest.mark.parametrize("where", ["neighbour", "own", "extra"])
def test_bad_graph_distances_are_refused(bad, match, where):
    points, _, y = blobs()
    graph = KNeighborsTransformer(mode="distance", n_neighbors=10).fit_transform(points)
    if where == "extra":
        graph = graph.tolil()
        graph[0, np.setdiff1d(np.arange(len(y)), graph.rows[0])[0]] = bad
        graph = graph.tocsr()
    else:
        assert graph.indices[5 * 11] == 5
        graph.data[5 * 11 + (4 if where == "neighbour" else 0)] = bad
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


def planted_partition(num_nodes=300, blocks=3, degree=12, mu=0.1, seed=0):
    """An undirected weighted graph of `blocks` communities, a share mu of the
    edges leaving their block, and 1 seed per block; nodes shuffled."""
    rng = np.random.default_rng(seed)
    truth = rng.permutation(np.arange(num_nodes) % blocks)
    sources = rng.integers(0, num_nodes, num_nodes * degree // 2)
    leave = rng.random(len(sources)) < mu
    targets = np.array([rng.choice(np.flatnonzero((truth == truth[s]) != out)) for s, out in zip(sources, leave)])
    weights = rng.uniform(0.5, 2.0, len(sources))
    graph = sparse.coo_matrix((weights, (sources, targets)), shape=(num_nodes, num_nodes)).tocsr()
    y = np.full(num_nodes, -1)
    seeds = [np.flatnonzero(truth == block)[0] for block in range(blocks)]
    y[seeds] = truth[seeds]
    return graph + graph.T, truth, y


@pytest.mark.parametrize("dense", [False, True])
def test_a_similarity_graph_of_any_degrees_labels_its_communities(dense):
    graph, truth, y = planted_partition()
    isolated = np.flatnonzero(y == -1)[0]
    graph = graph.tolil()
    graph[isolated, :] = 0
    graph[:, isolated] = 0
    graph.setdiag(100.0)  # self loops are ignored
    graph = graph.tocsr()
    with pytest.warns(UserWarning, match=r"1 of 300 samples.*\(1 of them have no neighbour at all\); they keep -1 "
                                         r"in transduction_ \(see unreachable_\)\. Label a sample in each such group\.$"):
        model = WeightedLabelPropagation(metric="precomputed_affinity").fit(graph.toarray() if dense else graph, y)
    assert model.unreachable_.tolist() == [i == isolated for i in range(300)]
    reached = ~model.unreachable_
    assert np.mean(model.transduction_[reached] == truth[reached]) > 0.97
    assert model.n_neighbors_ > 15  # every entry of a row counts, not n_neighbors of them
    np.testing.assert_array_equal(model.predict(graph), model.transduction_)
    distributions = model.label_distributions_
    assert distributions.shape == (300, 3) and not distributions[isolated].any()
    np.testing.assert_allclose(distributions[reached].sum(axis=1), 1.0)
    np.testing.assert_array_equal(distributions[reached].argmax(axis=1), model.transduction_[reached])


def ties_everywhere(data):
    """Data whose votes tie often, 2% labelled: X, truth, y, the estimator's
    parameters and queries for predict."""
    rng = np.random.default_rng(0)
    if data == "unweighted planted partition":
        import networkx as nx

        # 3 blocks of 300, mean degree 15, 20% of the edges between blocks.
        graph = nx.random_partition_graph([300] * 3, 12 / 300, 3 / 600, seed=0)
        X = nx.to_scipy_sparse_array(graph, format="csr").astype(np.float64)
        truth = np.repeat(np.arange(3), 300)
        params, queries = {"metric": "precomputed_affinity"}, X
    else:  # a square grid: equal distances; queries halfway between 4 points
        X = np.stack(np.meshgrid(np.arange(30.0), np.arange(30.0)), axis=-1).reshape(-1, 2)
        truth = (X[:, 0] // 10).astype(int)
        params, queries = {"n_neighbors": 4}, X[:-31] + 0.5
    y = np.where(rng.random(len(truth)) < 0.02, truth, -1)
    if data == "grid points with copies labelled apart":  # a point on a border, copied, one copy per side
        X, truth, y = np.vstack([X, X[[9, 9]]]), np.append(truth, [0, 0]), np.append(y, [0, 1])
    return X, truth, y, params, queries


@pytest.mark.parametrize("data", ["unweighted planted partition", "grid points", "grid points with copies labelled apart"])
def test_renaming_the_classes_changes_no_label(data):
    X, truth, y, params, queries = ties_everywhere(data)
    outcomes = []
    for names in itertools.permutations(range(3)):  # class c called names[c]
        model = WeightedLabelPropagation(**params).fit(X, np.where(y == -1, -1, np.array(names)[y]))
        renamed = np.argsort(names)
        outcomes.append((renamed[model.transduction_], renamed[model.predict(queries)]))
    for transduction, predicted in outcomes[1:]:
        np.testing.assert_array_equal(transduction, outcomes[0][0])
        np.testing.assert_array_equal(predicted, outcomes[0][1])
    assert np.mean(outcomes[0][0] == truth) > 0.9
    # Nor does renumbering the samples, where no tie in distance picks the neighbours.
    if data == "unweighted planted partition":
        order = np.random.default_rng(1).permutation(len(y))
        permuted = WeightedLabelPropagation(**params).fit(X[order][:, order], y[order])
        np.testing.assert_array_equal(permuted.transduction_, outcomes[0][0][order])


@pytest.mark.parametrize("params", [
    {"tol": 0},  # the sweeps end in a cycle of pairs that follow each other
    {"tol": 0.05},  # stopped with changes still wanted
    {"max_iter": 2},  # cut off: the last votes decide
])
def test_every_label_is_the_largest_share_of_its_own_votes(params):
    points, truth = make_moons(1000, noise=0.15, random_state=0)
    y = np.where(np.random.default_rng(1).random(1000) < 0.02, truth, -1)
    cut_off = "max_iter" in params
    with pytest.warns(ConvergenceWarning) if cut_off else contextlib.nullcontext():
        model = WeightedLabelPropagation(n_neighbors=10, **params).fit(points, y)
    shares, labels = model.label_distributions_, model.transduction_
    labelled = labels != -1
    assert (shares[labelled, labels[labelled]] == shares[labelled].max(axis=1)).all()
    assert not shares[~labelled].any()
    assert np.mean(labels == truth) > (0.5 if cut_off else 0.9)


def test_rows_of_a_distance_graph_keep_their_own_lengths():
    # A radius graph: rows of any length, two samples without any neighbour.
    points, truth = make_blobs(600, centers=3, n_features=3, cluster_std=0.8, random_state=0)
    points = np.vstack([points, [[50.0, 50.0, 0.0], [-50.0, 50.0, 0.0]]])
    y = np.full(602, -1)
    y[[np.flatnonzero(truth == blob)[0] for blob in range(3)]] = range(3)
    graph = radius_neighbors_graph(points, radius=1.5, mode="distance")
    with pytest.warns(UserWarning, match=r"2 of 602 samples, in 2 group\(s\).*\(2 of them have no neighbour at "
                                         r"all\).*Label a sample in each such group\.$"):
        model = WeightedLabelPropagation(n_neighbors=40, metric="precomputed").fit(graph, y)
    assert model.n_neighbors_ == 40
    assert np.mean(model.transduction_[:600] == truth) > 0.99
    assert model.unreachable_.tolist() == [False] * 600 + [True] * 2


@pytest.mark.parametrize("metric", ["minkowski", "precomputed_affinity"])
def test_a_permutation_of_the_samples_permutes_the_labels(metric):
    points, truth = make_classification(2000, n_features=4, n_informative=4, n_redundant=0, n_classes=4,
                                        random_state=0)
    y = np.where(np.arange(2000) < 40, truth, -1)
    new_points = np.random.default_rng(1).normal(size=(300, 4))
    permutation = np.argsort(points[:, 0])  # rows sorted by a feature, as data often arrive

    def fit(order):
        X = points[order]
        if metric == "precomputed_affinity":
            X = kneighbors_graph(X, 15, mode="distance")
            X.data = np.exp(-X.data)
        return WeightedLabelPropagation(metric=metric).fit(X, y[order])

    model, permuted = fit(np.arange(2000)), fit(permutation)
    np.testing.assert_array_equal(permuted.transduction_, model.transduction_[permutation])
    np.testing.assert_allclose(permuted.label_distributions_, model.label_distributions_[permutation], atol=1e-12)
    if metric == "minkowski":
        np.testing.assert_array_equal(permuted.predict(new_points), model.predict(new_points))


@pytest.mark.parametrize("metric", ["minkowski", "precomputed"])
def test_copies_of_a_labelled_point_take_its_label(recwarn, metric):
    points = np.repeat([[0.0], [1.0]], 20, axis=0)
    y = np.full(40, -1)
    y[[0, 39]] = [5, 7]
    X = points if metric == "minkowski" else kneighbors_graph(points, 5, mode="distance")
    model = WeightedLabelPropagation(n_neighbors=5, metric=metric).fit(X, y)
    assert model.transduction_.tolist() == [5] * 20 + [7] * 20
    np.testing.assert_array_equal(model.label_distributions_, np.repeat(np.eye(2), 20, axis=0))
    assert not model.unreachable_.any() and not recwarn.list
    if metric == "minkowski":
        assert model.predict([[1.0], [-0.0], [0.4]]).tolist() == [7, 5, 5]


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int32, np.uint8])
def test_repeated_rows_are_found_in_any_layout(dtype):
    from velorn.propagation import _repeats_rows

    # Rows that differ in one column only, read through a strided view; a
    # copy of one of them, and for floats a row that differs only by -0.0.
    distinct = np.stack(np.meshgrid(np.arange(16), np.arange(16), np.arange(10)), -1).reshape(-1, 3)
    X = np.asfortranarray(distinct.astype(dtype))[::-1]
    assert not _repeats_rows(X)
    assert _repeats_rows(np.vstack([X, X[1234:1235]]))
    if np.issubdtype(dtype, np.floating):
        signed = X[:5].copy()
        signed[0, 0] = 0.0
        signed[1] = signed[0]
        signed[1, 0] = -0.0
        assert _repeats_rows(signed)


@pytest.mark.parametrize("search", SEARCHES)
@pytest.mark.parametrize("estimator", [WeightedLabelPropagation, PoissonLabelPropagation])
def test_ids_past_32_bits_give_the_same_labels(monkeypatch, estimator, search):
    # The training samples' search gives int32 ids below INT32_IDS_BELOW
    # samples and int64 from there on; a search of other samples int64
    # always (callers add offsets to them).
    points, _, y = blobs(300)
    index = neighbours.NeighbourSearch(search=search, random_state=0).fit(points)
    assert index.kneighbors(None, 3)[0].dtype == np.int32 and index.kneighbors(points, 3)[0].dtype == np.int64
    narrow = estimator(n_neighbors=5, search=search, random_state=0).fit(points, y)
    monkeypatch.setattr(neighbours, "INT32_IDS_BELOW", len(points))
    assert index.kneighbors(None, 3)[0].dtype == np.int64
    wide = estimator(n_neighbors=5, search=search, random_state=0).fit(points, y)
    np.testing.assert_array_equal(wide.transduction_, narrow.transduction_)
    np.testing.assert_array_equal(wide.label_distributions_, narrow.label_distributions_)


def test_a_failed_refit_leaves_the_fitted_estimator_as_it_was():
    points, truth, y = blobs()
    model = WeightedLabelPropagation(n_neighbors=10, on_unreachable="raise").fit(points, y)
    before = model.predict(points)
    far_points, far_y = far_group(20)
    with pytest.raises(ValueError, match="cannot be reached"):
        model.fit(np.hstack([far_points, far_points]), far_y)  # other features too
    assert model.n_features_in_ == 3
    np.testing.assert_array_equal(model.predict(points), before)


GUIDE = Path(__file__).resolve().parent.parent / "docs" / "guide" / "graphs.md"


@pytest.mark.parametrize("code", re.findall(r"^```python\n(.*?)^```", GUIDE.read_text(), flags=re.M | re.S))
def test_the_graph_guide_examples_print_what_they_show(code):
    if "networkx" in code:
        pytest.importorskip("networkx")
    shown = re.findall(r"^print\(.*\)\s+# (.*)$", code, flags=re.M)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, str(GUIDE), "exec"), {})
    assert printed.getvalue().splitlines() == shown


@pytest.mark.filterwarnings("ignore:The number of unique classes")
def test_predict_holds_a_bounded_share_of_samples_times_classes():
    import tracemalloc

    num_classes = 3000  # every training sample a class of its own
    points = np.random.default_rng(0).random((num_classes, 2))
    model = WeightedLabelPropagation(n_neighbors=5).fit(points, np.arange(num_classes))
    queries = np.random.default_rng(1).random((3000, 2))
    tracemalloc.start()
    try:
        labels = model.predict(queries)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 3000 * num_classes * 8 / 4  # a table of all scores would be 72 MB
    nearest = np.linalg.norm(queries[:, None] - points[None], axis=2).argmin(axis=1)
    assert (labels == nearest).mean() > 0.6  # mostly the nearest sample's own class


@pytest.mark.parametrize("estimator", [WeightedLabelPropagation, PoissonLabelPropagation])
def test_one_label_per_class_is_not_taken_for_a_regression_target(estimator, recwarn):
    points, truth = make_blobs(600, centers=60, n_features=4, cluster_std=0.3, random_state=0)
    y = np.full(600, -1)
    first = np.unique(truth, return_index=True)[1]
    y[first] = truth[first]
    estimator().fit(points, y)
    assert not [w for w in recwarn if "unique classes" in str(w.message)]

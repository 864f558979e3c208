"""PoissonLabelPropagation and its native solver: scikit-learn's conventions,
parts of the graph without a label, threads, and hostile input."""


import numpy as np
import pytest
from scipy import sparse
from sklearn.datasets import make_blobs, make_moons
from sklearn.exceptions import ConvergenceWarning, NotFittedError

from velorn import PoissonLabelPropagation
from velorn._native.poisson_solver import (
    poisson_conjugate_gradients,
    poisson_graph,
    poisson_horizon,
    poisson_parts,
    poisson_solve,
    poisson_symmetrised,
)
from velorn._native.class_shifts import class_shifts
from velorn.graph import Graph
from velorn.poisson import _edge_weights, _nearest_labelled_shares, _shifted_argmax, _symmetrised

def blobs(num_points=600, seed=0, per_class=1):
    points, truth = make_blobs(num_points, centers=3, n_features=3, cluster_std=1.0, random_state=seed)
    y = np.full(num_points, -1)
    for blob in range(3):
        chosen = np.flatnonzero(truth == blob)[:per_class]
        y[chosen] = blob
    return points, truth, y


@pytest.mark.parametrize("mbo_iter, class_prior",
                         [(0, None), (0, "estimated"), (10, "estimated"), (10, "labelled"), (3, [1, 1, 2])])
def test_one_label_per_class_labels_the_blobs(mbo_iter, class_prior):
    points, truth, y = blobs()
    model = PoissonLabelPropagation(mbo_iter=mbo_iter, class_prior=class_prior).fit(points, y)
    assert np.mean(model.transduction_ == truth) > 0.97
    distributions = model.label_distributions_
    np.testing.assert_allclose(distributions.sum(axis=1), 1.0)
    assert (distributions >= 0).all()
    unlabelled = y == -1
    np.testing.assert_array_equal(distributions[unlabelled].argmax(axis=1), model.transduction_[unlabelled])
    np.testing.assert_array_equal(model.predict(points), model.transduction_)


def random_labels(truth, count, seed):
    chosen = np.random.default_rng(seed).choice(len(truth), count, replace=False)
    y = np.full(len(truth), -1)
    y[chosen] = truth[chosen]
    return y


def first_of_each_class(truth, count):
    y = np.full(len(truth), -1)
    for label in np.unique(truth):
        chosen = np.flatnonzero(truth == label)[:count]
        y[chosen] = label
    return y


def three_touching_blobs():
    # 30 labels at random: 7 / 12 / 11 of three classes of 1000.
    points, truth = make_blobs(3000, centers=3, cluster_std=0.5, random_state=0)
    return points, truth, random_labels(truth, 30, seed=0)


def unequal_blobs():
    # Classes of 600, 60 and 30 samples, 2 labels each.
    points, truth = make_blobs([600, 60, 30], n_features=3, center_box=(-6, 6), random_state=1)
    return points, truth, first_of_each_class(truth, 2)


@pytest.mark.parametrize("data", [three_touching_blobs, unequal_blobs])
def test_class_sizes_come_from_the_data_not_from_the_labelled_shares(data, capsys):
    # Held to the labelled samples' shares, these give 0.90 and 0.46.
    points, truth, y = data()
    model = PoissonLabelPropagation(verbose=True).fit(points, y)
    assert np.mean(model.transduction_ == truth) > 0.98
    assert "class shares (estimated): " in capsys.readouterr().out


def test_string_labels_round_trip():
    points, truth, y = blobs()
    names = np.array(["ant", "bee", "cat"])
    y_text = np.where(y == -1, "-1", names[np.maximum(y, 0)])
    model = PoissonLabelPropagation().fit(points, y_text.tolist())
    assert model.classes_.tolist() == ["ant", "bee", "cat"]
    assert np.mean(model.transduction_ == names[truth]) > 0.97
    assert set(model.predict(points[:50])) <= set(names)


def test_a_part_without_a_label_keeps_minus_one_with_a_warning():
    points, _, y = blobs()
    far = np.random.default_rng(1).normal(size=(30, 3)) + 100
    points, y = np.vstack([points, far]), np.concatenate([y, [-1] * 30])
    with pytest.warns(UserWarning, match=r"30 of 630 samples, in 1 group\(s\), cannot be reached"):
        model = PoissonLabelPropagation().fit(points, y)
    assert model.unreachable_.tolist() == [False] * 600 + [True] * 30
    assert (model.transduction_[600:] == -1).all() and (model.transduction_[:600] != -1).all()
    assert not np.isnan(model.label_distributions_).any()
    assert (model.label_distributions_[600:] == 0).all()
    assert model.predict(far[:2]).tolist() == [-1, -1]
    refusing = PoissonLabelPropagation(on_unreachable="raise")
    with pytest.raises(ValueError, match="Label a sample in each such group"):
        refusing.fit(points, y)
    with pytest.raises(NotFittedError):
        refusing.predict(points)


def test_stopping_at_max_iter_short_of_tol_is_warned():
    points, truth = make_moons(400, noise=0.15, random_state=0)
    y = np.full(400, -1)
    y[[0, 1]] = truth[[0, 1]]  # one of each class: the two moons touch at this noise
    with pytest.warns(ConvergenceWarning, match="stopped at max_iter=1 iterations"):
        PoissonLabelPropagation(max_iter=1).fit(points, y)


def test_threads_give_what_one_thread_gives():
    # Enough samples for the passes to be split between threads.
    points, truth = make_blobs(6000, centers=4, n_features=4, cluster_std=2.5, random_state=0)
    y = np.where(np.random.default_rng(0).random(6000) < 0.002, truth, -1)
    one = PoissonLabelPropagation(n_jobs=1).fit(points, y)
    three = PoissonLabelPropagation(n_jobs=3).fit(points, y)
    np.testing.assert_array_equal(one.transduction_, three.transduction_)
    np.testing.assert_array_equal(one.label_distributions_, three.label_distributions_)


def solve(indptr, indices, weights, labels, solution, max_iterations, tolerance, n_jobs):
    return poisson_solve(poisson_graph(indptr, indices, weights), labels, solution, max_iterations, tolerance,
                         n_jobs)


@pytest.mark.parametrize("num_classes", [3, 14])  # a row width the passes know when compiled, and one they don't
def test_the_solver_matches_the_iteration_written_out(num_classes):
    rng = np.random.default_rng(0)
    weights = sparse.random(300, 300, density=0.05, random_state=0, format="csr")
    weights = (weights + weights.T).tocsr()
    labels = np.full(300, -1, dtype=np.int32)
    labels[:2 * num_classes] = np.tile(np.arange(num_classes), 2)
    start = rng.random((300, num_classes))
    degrees = np.asarray(weights.sum(axis=1)).ravel()
    # One connected part here, so the sources are centred on the mean label.
    assert sparse.csgraph.connected_components(weights)[0] == 1
    sources = np.zeros((300, num_classes))
    sources[np.arange(2 * num_classes), labels[:2 * num_classes]] = 1.0
    sources[:2 * num_classes] -= sources[:2 * num_classes].mean(axis=0)
    expected = start.copy()
    for _ in range(5):
        expected = (sources + weights @ expected) / degrees[:, None]
    got = start.copy()
    assert solve(weights.indptr, weights.indices, weights.data, labels, got, 5, 0.0, 1) == 5
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12)
    # Strided views of every argument give the same result.
    spread = lambda a: np.repeat(a, 2)[::2]  # noqa: E731
    out = np.zeros((300, 2 * num_classes))[:, ::2]
    out[:] = start
    solve(spread(weights.indptr.astype(np.int64)), spread(weights.indices), spread(weights.data),
          spread(labels), out, 5, 0.0, 2)
    np.testing.assert_array_equal(out, got)



def centred_sources(weights, labels, num_classes):
    """Each labelled sample's one-hot label minus its connected part's mean label."""
    _, part = sparse.csgraph.connected_components(weights)
    sources = np.zeros((len(labels), num_classes))
    labelled = np.flatnonzero(labels >= 0)
    sources[labelled, labels[labelled]] = 1.0
    for each in np.unique(part[labelled]):
        members = labelled[part[labelled] == each]
        sources[members] -= sources[members].mean(axis=0)
    return sources


def two_parts_and_a_lone_sample(num_nodes, num_classes):
    """A random graph in two connected parts, the second without labels, and a sample without edges."""
    half = num_nodes // 2
    block = sparse.random(half, half, density=8 / half, random_state=1, format="csr")
    chain = sparse.diags([np.ones(half - 1)], [1], shape=(half, half))  # keeps each part connected
    block = block + chain
    weights = sparse.block_diag([block, block, sparse.csr_matrix((1, 1))]).tocsr()
    weights = ((weights + weights.T) / 2).tocsr()
    labels = np.full(weights.shape[0], -1, dtype=np.int32)
    labels[:2 * num_classes] = np.tile(np.arange(num_classes), 2)
    return weights, labels


@pytest.mark.parametrize("num_classes, mass", [(3, 0.01), (14, 0.5), (2, 0.0)])
def test_conjugate_gradients_solve_the_system_written_out(num_classes, mass):
    weights, labels = two_parts_and_a_lone_sample(5000, num_classes)
    graph = poisson_graph(weights.indptr, weights.indices, weights.data)
    degrees = np.asarray(weights.sum(axis=1)).ravel()
    sources = centred_sources(weights, labels, num_classes)
    # The labelled part solved densely; a singular system (mass 0) with its
    # first value held at 0, then shifted to a degree-weighted mean of 0.
    system = np.diag((1 + mass) * degrees[:2500]) - weights[:2500, :2500].toarray()
    free = slice(0 if mass > 0 else 1, 2500)
    expected = np.zeros_like(sources)
    expected[free] = np.linalg.solve(system[free, free], sources[free])
    if mass == 0:
        expected[:2500] -= degrees[:2500] @ expected[:2500] / degrees[:2500].sum()
    results = []
    for n_jobs in (1, 3):
        got = np.zeros_like(sources)
        iterations, converged = poisson_conjugate_gradients(graph, labels, got, mass, 1e-12, 10_000, n_jobs)
        assert converged and 0 < iterations < 10_000
        results.append(got)
    scale = np.abs(expected).max()
    np.testing.assert_allclose(results[0], expected, atol=1e-8 * scale)
    np.testing.assert_array_equal(results[0], results[1])  # the same for any number of threads
    if mass > 0:  # a heavier mass solved from the same iterations, for any number of threads
        heavier = np.linalg.solve(np.diag((1 + 3 * mass) * degrees[:2500]) - weights[:2500, :2500].toarray(),
                                  sources[:2500])
        pairs = []
        for n_jobs in (1, 3):
            pair = np.full_like(sources, np.nan), np.empty_like(sources)  # the start is not read
            poisson_conjugate_gradients(graph, labels, pair[0], mass, 1e-12, 10_000, n_jobs, pair[1], 3 * mass)
            pairs.append(pair)
        np.testing.assert_allclose(pairs[0][0], expected, atol=1e-8 * scale)
        np.testing.assert_allclose(pairs[0][1][:2500], heavier, atol=1e-8 * np.abs(heavier).max())
        assert not pairs[0][1][2500:].any()
        np.testing.assert_array_equal(np.stack(pairs[0]), np.stack(pairs[1]))


def test_the_walks_horizon_is_where_the_walk_comes_within_reach():
    # Few enough samples for Lanczos' method to span the whole walk: the
    # estimate is then exact, up to the step where the distance crosses.
    weights, labels = two_parts_and_a_lone_sample(120, 2)
    weights = weights[:60, :60].tocsr()  # the labelled part alone
    labels = labels[:60]
    degrees = np.asarray(weights.sum(axis=1)).ravel()
    start = np.where(labels >= 0, 1.0 / np.count_nonzero(labels >= 0), 0.0)
    walk, limit = start.copy(), degrees / degrees.sum()
    reach = 1.0 / (5 * np.sqrt(degrees.sum()))
    steps = 0
    while np.linalg.norm((walk - limit) / np.sqrt(degrees)) > reach:
        walk = weights @ (walk / degrees)
        steps += 1
    graph = poisson_graph(weights.indptr, weights.indices, weights.data)
    horizons = [poisson_horizon(graph, labels, 1.0, 1000, n_jobs) for n_jobs in (1, 2)]
    assert horizons[0] == horizons[1]
    assert abs(horizons[0][0] - steps) <= 1


def test_tolerance_zero_runs_every_pass_asked_for():
    # Two labelled samples of equal degree: the walk is at its limit from the
    # start, which must not cut short passes asked for with tolerance 0.
    indptr, indices = np.array([0, 1, 2], dtype=np.int32), np.array([1, 0], dtype=np.int32)
    labels = np.array([0, 1], dtype=np.int32)
    solution = np.zeros((2, 2))
    graph = poisson_graph(indptr, indices, np.ones(2))  # one graph for any number of solves
    assert poisson_solve(graph, labels, solution, 7, 0.0, 1) == 7
    assert poisson_solve(graph, labels, np.zeros((2, 2)), 7, 1.0, 1) == 1

def small_graph():
    indptr = np.array([0, 1, 3, 4], dtype=np.int32)
    indices = np.array([1, 0, 2, 1], dtype=np.int32)
    weights = np.ones(4)
    labels = np.array([0, -1, 1], dtype=np.int32)
    return [indptr, indices, weights, labels, np.zeros((3, 2)), 10, 1.0, 1]


def replaced(position, value):
    args = small_graph()
    args[position] = value(args[position]) if callable(value) else value
    return args


@pytest.mark.parametrize("args, error, match", [
    (replaced(1, lambda a: np.array([1, 0, 3, 1], dtype=np.int32)), IndexError, r"indices\[2\] is 3"),
    (replaced(1, lambda a: np.array([1, -1, 2, 1], dtype=np.int64)), IndexError, r"indices\[1\] is -1"),
    (replaced(0, lambda a: np.array([0, 3, 1, 4], dtype=np.int64)), ValueError, "indptr must start at 0"),
    (replaced(0, lambda a: np.array([1, 1, 3, 4], dtype=np.int32)), ValueError, "indptr must start at 0"),
    (replaced(0, lambda a: np.array([0, 1, 3, 3], dtype=np.int32)), ValueError, "indptr ends at 3"),
    ([np.array([0, 1, 2]), np.array([1, 0]), np.ones(2), *small_graph()[3:]], ValueError,
     "labels has 3 entries, but the graph 2 samples"),
    (replaced(0, lambda a: a[:0]), ValueError, "indptr must hold at least one offset"),
    (replaced(2, lambda a: np.ones(3)), ValueError, "indices has 4 entries but weights 3"),
    (replaced(2, lambda a: np.array([1.0, np.nan, 1.0, 1.0])), ValueError, r"weights\[1\] is negative, infinite"),
    (replaced(2, lambda a: np.array([1.0, -1.0, 1.0, 1.0])), ValueError, r"weights\[1\] is negative"),
    (replaced(2, lambda a: np.full(4, 1e308)), ValueError, "sum to infinity"),
    (replaced(3, lambda a: np.array([0, 2, 1], dtype=np.int32)), ValueError, r"labels\[1\] is 2"),
    (replaced(4, lambda a: np.full((3, 2), np.inf)), ValueError, "is not finite"),
    (replaced(4, lambda a: np.zeros((2, 2))), ValueError, "solution has shape"),
    (replaced(1, lambda a: a.astype(np.float64)), TypeError, "indices has an unsupported dtype"),
    (replaced(2, lambda a: a.astype(np.int64)), TypeError, "weights has an unsupported dtype"),
    (replaced(2, lambda a: a.astype(">f8")), TypeError, "weights has an unsupported dtype"),
    (replaced(3, lambda a: a.astype(np.int64)), TypeError, "labels has an unsupported dtype"),
    (replaced(0, lambda a: a.tolist()), TypeError, "indptr must be a 1-D ndarray"),
    (replaced(4, lambda a: a.astype(np.float32)), TypeError, "solution must be a writable 2-D float64"),
    (replaced(4, lambda a: np.broadcast_to(0.0, (3, 2))), TypeError, "solution must be a writable"),
    (replaced(6, -1.0), ValueError, "tolerance"),
    (replaced(6, float("nan")), ValueError, "tolerance"),
    (replaced(7, 0), ValueError, "n_jobs"),
    (replaced(5, -1), OverflowError, "negative"),
])
def test_hostile_input_to_the_solver_is_refused(args, error, match):
    solution = args[4].copy() if isinstance(args[4], np.ndarray) and args[4].flags.writeable else None
    with pytest.raises(error, match=match):
        solve(*args)
    if solution is not None:  # a refused call leaves the solution as it was
        np.testing.assert_array_equal(args[4], solution)


@pytest.mark.parametrize("graph", [None, "graph", np.zeros(3), sparse.eye(3, format="csr")])
def test_the_solver_takes_only_a_graph_poisson_graph_made(graph):
    with pytest.raises(TypeError, match="graph must be a graph that poisson_graph made"):
        poisson_solve(graph, np.zeros(3, dtype=np.int32), np.zeros((3, 2)), 1, 0.0, 1)


@pytest.mark.parametrize("num_classes", [1, 2, 5])
def test_the_shifted_argmax_is_numpys(num_classes):
    # Ties (rounded scores) go to the first class, a class absent from a
    # sample's part scores -inf, a NaN counts as largest, as with NumPy's
    # argmax; strided scores are read as they lie.
    rng = np.random.default_rng(0)
    scores = np.round(rng.standard_normal((5000, num_classes)), 1)
    scores[rng.random(scores.shape) < 0.2] = -np.inf
    scores[::7] = -np.inf
    scores[3, -1] = np.nan
    shifts = np.round(rng.standard_normal(num_classes), 1)
    np.testing.assert_array_equal(_shifted_argmax(scores, shifts), (scores + shifts).argmax(axis=1))
    wide = np.zeros((2500, 2 * num_classes))
    wide[:, ::2] = scores[::2]
    np.testing.assert_array_equal(_shifted_argmax(wide[:, ::2], shifts[::-1][::-1]),
                                  (scores[::2] + shifts).argmax(axis=1))


# A row width the rounds know when compiled and ones they don't. Rows are
# scanned again only when the shifts may have moved their winner: tied rows
# (rounded scores) every round, others seldom once the shares settle.
@pytest.mark.parametrize("num_classes, spread, decimals", [
    (2, 1.0, 1), (13, 1.0, 1), (40, 1.0, 1), (40, 0.01, 1), (3, 0.1, None), (40, 0.1, None)])
def test_the_class_shifts_are_numpys_rounds_to_the_bit(num_classes, spread, decimals):
    # Ties (rounded scores) go to the first class, -inf never wins a row that
    # has a finite score; strided scores are read as they lie.
    rng = np.random.default_rng(1)
    scores = rng.standard_normal((3001, 2 * num_classes))[:, ::2]
    scores = scores if decimals is None else np.round(scores, decimals)
    scores[rng.random(scores.shape) < 0.2] = -np.inf
    prior = rng.random(num_classes)
    prior /= prior.sum()
    expected = spread * rng.standard_normal(num_classes)
    got = expected.copy()
    for _ in range(200):
        shares = np.bincount((scores + expected).argmax(axis=1), minlength=num_classes) / len(scores)
        expected += 0.037 * (prior - shares)
    assert class_shifts(scores, prior, got, 0.037, 200) is None
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("scores, prior, shifts, step, error, match", [
    (np.zeros((0, 2)), np.ones(2), np.zeros(2), 0.1, ValueError, r"scores has shape \(0, 2\)"),
    (np.zeros((3, 2)), np.ones(3), np.zeros(2), 0.1, ValueError, "prior has 3 values"),
    (np.array([[0.0, np.nan]]), np.ones(2), np.zeros(2), 0.1, ValueError, r"scores\[0, 1\] is NaN or \+inf"),
    (np.array([[np.inf, 0.0]]), np.ones(2), np.zeros(2), 0.1, ValueError, r"scores\[0, 0\] is NaN or \+inf"),
    (np.zeros((3, 2)), np.array([1.0, np.inf]), np.zeros(2), 0.1, ValueError, r"prior\[1\] is not finite"),
    (np.zeros((3, 2)), np.ones(2), np.zeros(2), np.nan, ValueError, "step must be finite"),
    (np.zeros((3, 2), dtype=np.float32), np.ones(2), np.zeros(2), 0.1, TypeError, "scores must be a 2-D float64"),
    (np.zeros((3, 2)), np.ones(2), np.broadcast_to(0.0, (2,)), 0.1, TypeError, "shifts must be a writable"),
])
def test_hostile_input_to_the_class_shifts_is_refused(scores, prior, shifts, step, error, match):
    before = np.array(shifts)
    with pytest.raises(error, match=match):
        class_shifts(scores, prior, shifts, step, 5)
    np.testing.assert_array_equal(shifts, before)



@pytest.mark.parametrize("similarities", [False, True])
def test_the_weighted_graph_leaves_the_rows_it_was_given(similarities):
    # Rows in descending column order: sorted on a copy, not in the caller's arrays.
    indptr = np.array([0, 2, 4, 6], dtype=np.int64)
    indices = np.array([2, 1, 2, 0, 1, 0], dtype=np.int64)
    weights = np.array([0.5, 0.25, 2.0, 4.0, 1.0, 3.0])
    nodes = Graph(indptr, indices.copy(), weights.copy(), 3)
    graph = _symmetrised(nodes.indptr, nodes.indices, _edge_weights(nodes, similarities), threads=1)
    np.testing.assert_array_equal(nodes.indices, indices)
    np.testing.assert_array_equal(nodes.weights, weights)
    assert graph.has_sorted_indices and (graph != graph.T).nnz == 0


@pytest.mark.parametrize("threads", [1, 3])
def test_the_symmetrised_graph_is_scipys_sum_halved(threads):
    # Rows out of column order, an entry stored twice, an isolated sample and
    # a pair of zeros (not stored); enough rows for the threads to share them.
    rng = np.random.default_rng(0)
    matrix = sparse.random(5000, 5000, density=0.002, random_state=0, format="csr")
    matrix.data = np.round(matrix.data, 1)  # some entries 0 both ways
    alone = sparse.diags((np.arange(5000) != 7).astype(float))  # sample 7 without entries
    matrix = (alone @ matrix @ alone).tocsr()
    matrix.eliminate_zeros()
    matrix.data[:50] = 0.0
    shuffled = [rng.permutation(np.arange(a, b)) for a, b in zip(matrix.indptr[:-1], matrix.indptr[1:])]
    order = np.concatenate(shuffled)
    indices = np.r_[matrix.indices[order], 3]
    weights = np.r_[matrix.data[order], 0.5]
    indptr = matrix.indptr.copy()
    indptr[-1] += 1  # the last row stores column 3 once more
    indptr_out, indices_out, weights_out = poisson_symmetrised(indptr, indices, weights, threads)
    given = sparse.csr_matrix((weights, indices, indptr), shape=matrix.shape)
    given.sum_duplicates()
    expected = given + given.T
    expected.data *= 0.5
    expected.sort_indices()
    np.testing.assert_array_equal(indptr_out, expected.indptr)
    np.testing.assert_array_equal(indices_out, expected.indices)
    np.testing.assert_allclose(weights_out, expected.data, rtol=1e-15)
    assert indptr_out[8] == indptr_out[7] and (weights_out > 0).all()


def test_a_renumbered_graph_gives_the_renumbered_solution():
    weights = sparse.random(300, 300, density=0.05, random_state=1, format="csr")
    weights = (weights + weights.T).tocsr()
    order = np.random.default_rng(1).permutation(300)
    labels = np.full(300, -1, dtype=np.int32)
    labels[:6] = [0, 1, 2, 0, 1, 2]
    renumbered = weights[order][:, order].tocsr()
    renumbered.sort_indices()
    expected = np.zeros((300, 3))
    poisson_solve(poisson_graph(renumbered.indptr, renumbered.indices, renumbered.data), labels[order], expected,
                  20, 0.0, 1)
    graph = poisson_graph(weights.indptr, weights.indices, weights.data, order, 2)
    got = np.zeros((300, 3))
    poisson_solve(graph, labels[order], got, 20, 0.0, 1)
    np.testing.assert_array_equal(got, expected)
    parts = poisson_parts(graph)
    assert parts.dtype == np.int32 and parts.shape == (300,)
    with pytest.raises(ValueError, match="order must be a permutation"):
        poisson_graph(weights.indptr, weights.indices, weights.data, np.zeros(300, dtype=np.int64))



def karate_club():
    networkx = pytest.importorskip("networkx")
    graph = networkx.karate_club_graph()
    affinities = networkx.to_scipy_sparse_array(graph, weight="weight", format="csr").astype(np.float64)
    y = np.full(34, -1)
    y[[0, 33]] = [0, 1]
    return affinities / affinities.max(), y


@pytest.mark.parametrize("scale", [1e-300, 1e-200, 1e-3, 1e3, 1e300, 1e308])
def test_scaled_affinities_give_the_same_labels(scale):
    # The symmetrising's and the degrees' sums must not overflow, the class
    # shifts' step must stay finite, and Poisson-MBO's diffusion must weigh the
    # sources against the weights alike at every scale.
    affinities, y = karate_club()
    model = PoissonLabelPropagation(metric="precomputed_affinity")
    expected = model.fit(affinities, y)
    expected_labels, expected_shares = expected.transduction_, expected.label_distributions_
    got = PoissonLabelPropagation(metric="precomputed_affinity").fit(affinities * scale, y)
    np.testing.assert_array_equal(got.transduction_, expected_labels)
    np.testing.assert_allclose(got.label_distributions_, expected_shares, rtol=1e-12, atol=1e-15)
    path = sparse.diags([np.ones(5), np.ones(5)], [-1, 1], format="csr") * scale
    labels = PoissonLabelPropagation(metric="precomputed_affinity").fit(path, [0, -1, -1, -1, -1, 1]).transduction_
    assert labels.tolist() == [0, 0, 0, 1, 1, 1]


@pytest.mark.parametrize("order", [[0, 1, 2, 3, 4, 5, 6, 7], [6, 2, 7, 4, 0, 5, 3, 1]])
def test_a_node_as_near_to_two_classes_counts_half_for_each(order):
    # A cycle of 8 nodes of equal weights, labelled at 0 and 4: nodes 2 and 6
    # lie as near to both, whatever the rows' order.
    cycle = sparse.diags([np.ones(7), np.ones(7), [1.0], [1.0]], [-1, 1, -7, 7], format="csr")
    renumbered = cycle[order][:, order].tocsr()
    renumbered.sort_indices()
    labels = np.full(8, -1, dtype=np.int32)
    labels[[0, 4]] = [0, 1]
    nodes = Graph(renumbered.indptr.astype(np.int64), renumbered.indices.astype(np.int64), renumbered.data, 8)
    np.testing.assert_array_equal(_nearest_labelled_shares(nodes, labels[order], 2, similarities=True), [4.0, 4.0])

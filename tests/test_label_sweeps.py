"""The native sweeps over a graph's rows, against the same rule written in
plain Python, and their refusals of bad rows."""

import numpy as np
import pytest
from velorn._native import label_sweeps as knn


def plain_propagation(indptr, indices, weights, labels, max_iterations, tolerance):
    """Sweeps: every unlabelled sample takes its row's heaviest label from the
    labels of the sweep before; among equal heaviest ones it keeps its own,
    or waits. They stop when one changes nothing, or labels nobody new and
    changes at most tolerance * unlabelled, or undoes the sweep before, or
    max_iterations have run. Then rounds: the samples at odds with their row
    (a label not among its heaviest, or none while it holds one) that gain
    more by changing than each one at odds in their row or reading them (then
    by the heavier best label; where none does, by the lower number) take
    the best label of the row's heaviest entry among them (among equally
    heavy ones, the label the neighbours' rows vote for most, each weighed
    by its entry; then the first); after max_iterations rounds, all those
    left at odds at once."""
    labels = labels.copy()
    free = np.flatnonzero(labels == -1)
    rows = [range(indptr[i], indptr[i + 1]) for i in range(len(labels))]

    def scores_of(i):
        scores = {}
        for e in rows[i]:
            if labels[indices[e]] != -1:
                scores[labels[indices[e]]] = scores.get(labels[indices[e]], 0.0) + weights[e]
        return scores

    visit = set(free.tolist())
    before, changed_in, last, sweeps, converged = {}, {}, 0, 0, True
    while visit:
        if sweeps == max_iterations:
            converged = False
            break
        changes = {}
        for i in sorted(visit):
            scores = scores_of(i)
            best = [label for label, score in scores.items() if score == max(scores.values())]
            if len(best) == 1 and best[0] != labels[i]:
                changes[i] = best[0]
        sweeps += 1
        new = sum(labels[i] == -1 for i in changes)
        undone = sum(changed_in.get(i) == sweeps - 1 and before[i] == label for i, label in changes.items())
        for i, label in changes.items():
            before[i], changed_in[i], labels[i] = labels[i], sweeps, label
        if not new and len(changes) <= tolerance * len(free) or undone == len(changes) == last:
            break
        last = len(changes)
        visit = {i for i in free if set(indices[rows[i]].tolist()) & changes.keys()}

    def wanted(i):  # (label, gain, best score) of a sample at odds, else None
        scores = scores_of(i)
        if not scores or labels[i] != -1 and scores.get(labels[i]) == max(scores.values()):
            return None
        best, own = max(scores.values()), scores.get(labels[i], 0.0)
        tied = [e for e in rows[i] if labels[indices[e]] != -1 and scores[labels[indices[e]]] == best]
        finalists = [e for e in tied if weights[e] == max(weights[tied])]
        second = {labels[indices[e]]: 0.0 for e in finalists}
        for e in rows[i]:
            for f in rows[indices[e]]:
                if labels[indices[f]] in second:
                    second[labels[indices[f]]] += weights[e] * weights[f]
        return labels[indices[min(finalists, key=lambda e: (-second[labels[indices[e]]], e))]], best - own, best

    neighbours = [set(indices[rows[i]].tolist()) - {i} for i in range(len(labels))]
    for i in free:
        for j in neighbours[i]:
            neighbours[j].add(i)
    for round in range(max_iterations + 1):
        wants = {i: want for i in free.tolist() if (want := wanted(i))}
        if not wants:
            break
        if round == max_iterations:
            converged = False
            for i, (label, _, _) in wants.items():
                labels[i] = label
            break
        ahead = lambda j, i, by_number: (wants[j][1:], -j if by_number else 0) > (wants[i][1:], -i if by_number else -1)  # noqa: E731
        first = [i for i in wants if not any(ahead(j, i, False) for j in neighbours[i] & wants.keys())]
        first = first or [i for i in wants if not any(ahead(j, i, True) for j in neighbours[i] & wants.keys())]
        for i in first:
            labels[i] = wants[i][0]
    return labels, sweeps, converged


def random_rows(rng, n, label_scale):
    lengths = rng.integers(0, 6, n)  # empty rows too
    indptr = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    indices = rng.integers(0, n, indptr[-1]).astype(np.int64)
    weights = rng.integers(1, 4, indptr[-1]).astype(np.float64)  # small integers: ties
    labels = np.where(rng.random(n) < 0.15, rng.integers(0, 3, n) * label_scale, -1).astype(np.int32)
    return indptr, indices, weights, labels


@pytest.mark.parametrize("seed", range(6))
# Labels up to 2 or up to 1000; sweeps cut short, stopped by tol, or run to the end.
@pytest.mark.parametrize("label_scale, max_iterations, tolerance", [(1, 50000, 0.0), (500, 1, 0.0), (1, 50000, 0.2)])
@pytest.mark.parametrize("id_type", [np.int64, np.int32])
def test_matches_the_rule_in_plain_python(seed, label_scale, max_iterations, tolerance, id_type):
    rng = np.random.default_rng(seed)
    indptr, indices, weights, labels = random_rows(rng, 80, label_scale)
    expected, sweeps, converged = plain_propagation(indptr, indices, weights, labels, max_iterations, tolerance)
    got = labels.copy()
    scores = np.full((80, 2 * (1000 + 1)), np.nan)[:, ::2]  # strided, wider than the labels need
    assert knn.propagate_rows(indptr, indices.astype(id_type), weights, got, max_iterations, tolerance, scores) \
        == (sweeps, converged)
    np.testing.assert_array_equal(got, expected)
    # Each row's summed weight per final label, added in the row's order.
    summed = np.zeros_like(scores)
    for i in range(80):
        for e in range(indptr[i], indptr[i + 1]):
            if got[indices[e]] != -1:
                summed[i, got[indices[e]]] += weights[e]
    np.testing.assert_array_equal(scores, summed)


def test_a_two_cycle_stops_and_strided_input_is_read():
    # Samples 1 and 2 each follow the other and a seed of their own label:
    # at once they swap labels, and would for ever.
    indptr = np.array([0, 0, 3, 6, 6])
    indices = np.array([2, 0, 0, 1, 3, 3])
    weights = np.array([5.0, 1.0, 1.0, 5.0, 1.0, 1.0])
    labels = np.array([0, -1, -1, 1], dtype=np.int32)
    doubled = np.repeat(weights, 2)[::2]  # a strided view
    assert knn.propagate_rows(indptr, indices, doubled, labels, 50000, 0.0) == (3, True)
    # Settled one at a time: sample 1, which gains more, follows 2, which then agrees.
    assert labels[1:3].tolist() == [1, 1]


@pytest.mark.parametrize("scores, error, message", [
    (np.zeros((2, 1)), ValueError, r"scores has shape \(2, 1\), expected 2 rows and more than 1 columns"),
    (np.zeros((3, 2)), ValueError, "expected 2 rows"),
    (np.zeros((2, 2), dtype=np.float32), TypeError, "scores must be a writable 2-D float64"),
    (np.broadcast_to(np.zeros(2), (2, 2)), TypeError, "scores must be a writable 2-D float64"),  # read-only
    ([[0.0, 0.0], [0.0, 0.0]], TypeError, "scores must be a 2-D ndarray or None"),
])
def test_bad_scores_are_refused_before_the_sweeps(scores, error, message):
    labels = np.array([1, -1], dtype=np.int32)
    with pytest.raises(error, match=message):
        knn.propagate_rows(np.array([0, 1, 2]), np.array([1, 0]), np.ones(2), labels, 10, 0.0, scores)
    assert labels.tolist() == [1, -1]


@pytest.mark.parametrize("indptr, indices, weights, labels, error, message", [
    ([0, 1, 2], [2, 0], [1.0, 1.0], [-1, 0], IndexError, "sample 0 has neighbour id 2 outside 0 .. 1"),
    ([0, 1, 2], [1, -1], [1.0, 1.0], [0, -1], IndexError, "sample 1 has neighbour id -1"),
    ([0, 1], [1], [1.0], [0, -1], ValueError, "indptr has 2 entries, expected 3"),
    ([0, 2, 1], [1, 0], [1.0, 1.0], [0, -1], ValueError, r"indptr\[2\] = 1: the offsets must rise from 0 to 2"),
    ([1, 1, 2], [1, 0], [1.0, 1.0], [0, -1], ValueError, "must rise from 0"),
    ([0, 1, 1], [1, 0], [1.0, 1.0], [0, -1], ValueError, "indptr ends at 1, expected 2"),
    ([0, 1, 2], [1, 0], [1.0], [0, -1], ValueError, "indices and weights do not have the same length"),
    ([0, 1, 2], [1, 0], [1.0, np.nan], [0, -1], ValueError, r"weights\[1\] is negative or NaN"),
    ([0, 1, 2], [1, 0], [-1.0, 1.0], [0, -1], ValueError, r"weights\[0\] is negative or NaN"),
    ([0, 1, 2], [1, 0], [1.0, 1.0], [0, -2], ValueError, r"labels\[1\] = -2"),
    ([0, 1, 2], np.array([1, -1], dtype=np.int32), [1.0, 1.0], [0, -1], IndexError, "sample 1 has neighbour id -1"),
    ([0, 1, 2], np.array([1, 0], dtype=np.int32), [1.0], [0, -1], ValueError, "indices and weights do not have"),
    ([0, 1, 2], np.array([1, 0], dtype=np.int16), [1.0, 1.0], [0, -1], TypeError,
     "indices must be a 1-D int32 or int64"),
    ([0, 1, 2], [1, 0], [1.0, 1.0], np.array([0, -1], dtype=">i4"), TypeError,
     "labels must be a writable 1-D int32"),
])
def test_bad_rows_are_refused_and_labels_left_alone(indptr, indices, weights, labels, error, message):
    labels = np.asarray(labels, dtype=np.int32) if isinstance(labels, list) else labels
    before = labels.copy()
    with pytest.raises(error, match=message):
        knn.propagate_rows(np.asarray(indptr, dtype=np.int64), np.asarray(indices), np.asarray(weights),
                           labels, 50000, 1e-3)
    np.testing.assert_array_equal(labels, before)

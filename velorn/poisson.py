"""Semi-supervised labelling from very few labels: Poisson learning on the
symmetrised weighted k-nearest-neighbour graph."""

import time
from numbers import Integral
from typing import Any, ClassVar, Literal

import numpy as np
import numpy.typing as npt
from joblib import effective_n_jobs
from scipy import sparse
from scipy.sparse.csgraph import dijkstra, reverse_cuthill_mckee

# The neighbour search, the input checks, label encoding and predict come
# from BaseLabelPropagation; this module supplies the step that labels the
# nodes of the graph (_label_nodes).
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils._param_validation import Interval, StrOptions

from velorn._native.poisson_solver import (poisson_conjugate_gradients, poisson_graph,
                                                                  poisson_horizon, poisson_parts, poisson_solve,
                                                                  poisson_symmetrised)
from velorn._native.class_shifts import class_shifts, shifted_argmax
from velorn.graph import Graph
from velorn.propagation import BaseLabelPropagation, warn_caller

# Passes of the graph diffusion between two thresholdings of Poisson-MBO.
MBO_STEPS = 10
# The Poisson equation over the walk's horizon T: the fixed-point iteration
# of Poisson learning stopped after T passes filters each eigenvalue x of the
# normalised Laplacian by (1 - exp(-x T)) / x; the equation with two mass
# terms, ((1 + a / T) D - W) u = b for each a of HORIZON_SHIFTS, gives
# SHIFT_WEIGHTS[0] / (x + a0 / T) + SHIFT_WEIGHTS[1] / (x + a1 / T), within 5%
# of it for every x, and both solutions come from the same iterations. Solved
# to the end instead, the equation lets the graph's slowest, global variations
# outweigh the labels where these are few; stopped near the horizon, as the
# iteration is, it does not.
HORIZON_SHIFTS = (1.81943606, 3.65944146)
SHIFT_WEIGHTS = (2.80642602, -1.81445858)
HORIZON_STEPS = 10_000
# Each class's residual of the conjugate gradients, relative to its start's.
SOLVER_TOLERANCE = 1e-3
# The class shifts of the size-constrained thresholding are fitted on at
# most this many samples, then applied to all.
SHIFT_SAMPLE = 20_000
SHIFT_ROUNDS = 200
SHIFT_STEP = 0.1
# Estimated shares are off by some percent (more so with one labelled sample
# per class, whose place in its class moves them); a class's share may
# follow the scores within this factor (1 + slack) of its estimate.
ESTIMATE_SLACK = 0.2


class PoissonLabelPropagation(BaseLabelPropagation):
    """Label every sample from very few labelled ones: Poisson learning.

    Poisson learning (Calder, Cook, Thorpe and Slepčev, ICML 2020) puts a
    source at each labelled sample, its one-hot label minus the mean label,
    and solves the graph Poisson equation on the symmetrised k-nearest-
    neighbour graph; each sample takes the class with the largest value.
    Unlike label propagation, where a label once given spreads from wherever
    it was met first, every labelled sample weighs on every sample, which
    keeps the labels sound when there are only one or a few per class.

    The graph: each sample's ``n_neighbors`` nearest neighbours, weighted
    ``exp(-4 d**2 / d_k**2)`` with ``d_k`` the distance to the sample's k-th
    neighbour, and symmetrised, ``(W + W.T) / 2``. The equation is solved
    over the time a random walk from the labelled samples takes to mix (its
    horizon, ``tol``), as Poisson learning's fixed-point iteration
    ``u <- D^-1 (b + W u)`` stopped once the walk has mixed defines it, at
    the cost of about the square root of its passes: the horizon ``T`` is
    estimated by Lanczos' method, then ``((1 + a / T) D - W) u = b`` is
    solved natively for a = 1.82 and 3.66 at once by conjugate gradients
    (both from the same iterations), whose weighted sum matches the
    iteration stopped after ``T`` passes within 5% on every eigenvector of
    the graph, on ``n_jobs`` threads. Hundreds of iterations where the walk takes tens of
    thousands of passes, as on a long graph with one label per
    class. With ``mbo_iter`` > 0, Poisson-MBO then refines the result:
    ``mbo_iter`` rounds each thresholding the scores to one class per sample
    and diffusing them again along the graph. The thresholding keeps the
    classes at their expected shares of the samples (``class_prior``): by
    default the shares are estimated from the graph, as the shares of the
    samples whose nearest labelled sample along the graph's edges is of each
    class, so that neither the classes' sizes nor the labelled samples'
    shares need be known.

    A connected part of the graph without a labelled sample keeps -1 in
    ``transduction_``, with a warning that gives the count, or a
    ``ValueError`` with ``on_unreachable="raise"``. Labelled samples keep
    their labels.

    ``predict`` and ``predict_proba`` do not solve the equation again: the
    ``n_neighbors`` nearest training samples of a new sample vote with their
    labels from ``fit``, each counting ``1 / distance**2`` (with
    ``metric="precomputed_affinity"``, its similarity), as in
    :class:`WeightedLabelPropagation`, not with the graph's weights above.
    ``predict`` decides ties by the heaviest single neighbour, then the
    nearest.

    Parameters
    ----------
    n_neighbors : int, default 10
        Neighbours per sample (fewer when there are fewer samples).
    metric, metric_params, p, search, on_unreachable, random_state, verbose
        As for :class:`WeightedLabelPropagation`. With
        ``metric="precomputed_affinity"`` the similarities are the graph's
        weights as they are (symmetrised); with ``metric="precomputed"``
        each row's distances are weighted as above.
    mbo_iter : int, default 10
        Rounds of Poisson-MBO after the Poisson solution; 0 for Poisson
        learning alone.
    class_prior : "estimated", "labelled", None or array-like of shape (n_classes,), default "estimated"
        The share of the samples expected in each class (in the order of
        ``classes_``); each sample's scores are shifted per class so that
        the classes take these shares. "estimated": each sample counts for
        the class of its nearest labelled sample along the graph's edges (an
        edge as long as its distance; between similarities, the inverse of
        its weight), wherever in its class that labelled sample lies; the
        shares do not depend on the labelled samples' shares, nor on the
        scale of the distances or weights. "labelled": the classes' shares
        of the labelled samples, for labels drawn at random from all the
        samples. An array: the shares, for users who know them (scaled to
        sum to 1). None: no shift, each sample takes its largest score;
        small classes then tend to take the edges of large ones. ``verbose``
        prints the shares used.
    max_iter : int, default 100000
        Most iterations of the conjugate gradients; stopping there, short of
        their tolerance, gives a ``ConvergenceWarning``.
    tol : float, default 1.0
        The walk's horizon: the passes a random walk from the labelled
        samples takes to come within ``tol`` of its limit (in root mean
        square, ``tol / (5 n_samples)`` per sample where the degrees are
        equal). 0: no horizon, the Poisson equation solved to the end.
    n_jobs : int or None, default None
        Threads for the neighbour search and the passes (-1: all cores).
        The labels do not depend on it.

    Attributes
    ----------
    transduction_ : ndarray of shape (n_samples,)
        The label of each training sample, -1 (or "-1") where none can be given.
    label_distributions_ : ndarray of shape (n_samples, n_classes)
        Each training sample's class scores, the positive part normalised to
        sum to 1 (one-hot for a labelled sample; zeros where no label can be
        given): a sample whose largest share is small is a good one to label
        next.
    classes_, unreachable_, n_neighbors_, n_features_in_
        As for :class:`WeightedLabelPropagation`.
    n_iter_ : int
        Iterations of the conjugate gradients run (one run gives both mass terms).
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        **BaseLabelPropagation._parameter_constraints,
        "mbo_iter": [Interval(Integral, 0, None, closed="left")],
        "class_prior": [StrOptions({"estimated", "labelled"}), "array-like", None],
    }

    def __init__(
        self,
        n_neighbors: int = 10,
        *,
        metric: Any = "minkowski",
        metric_params: dict[str, Any] | None = None,
        p: float = 2,
        search: Literal["exact", "approximate"] = "exact",
        mbo_iter: int = 10,
        class_prior: Any = "estimated",
        max_iter: int = 100_000,
        tol: float = 1.0,
        on_unreachable: Literal["warn", "raise"] = "warn",
        n_jobs: int | None = None,
        random_state: Any = None,
        verbose: bool = False,
    ) -> None:
        super().__init__(n_neighbors, metric=metric, metric_params=metric_params, p=p, search=search,
                         max_iter=max_iter, tol=tol, on_unreachable=on_unreachable, n_jobs=n_jobs,
                         random_state=random_state, verbose=verbose)
        self.mbo_iter = mbo_iter
        self.class_prior = class_prior

    def _check_parameters(self) -> Any:
        search = super()._check_parameters()
        if self.class_prior is not None and not isinstance(self.class_prior, str):
            prior = np.asarray(self.class_prior, dtype=np.float64)
            if prior.ndim != 1 or not np.isfinite(prior).all() or (prior < 0).any() or not prior.sum() > 0:
                raise ValueError("class_prior must be a 1-D array of shares, not negative, with a positive sum")
        return search

    def _label_nodes(self, only_reference: list[Graph], labels: npt.NDArray[np.int32], num_classes: int,
                     kind: str | None, node_of: npt.NDArray[np.int64], along: str, limit: int | None
                     ) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
        nodes = only_reference.pop()
        num_samples = len(labels)
        prior = self._prior(nodes, labels, num_classes, similarities=kind == "affinity")
        # Estimated shares are a guide, not a bound: see ESTIMATE_SLACK.
        slack = ESTIMATE_SLACK if isinstance(self.class_prior, str) and self.class_prior == "estimated" else 0.0
        start = time.perf_counter()
        threads = max(1, effective_n_jobs(self.n_jobs))
        weights = _edge_weights(nodes, similarities=kind == "affinity")
        indptr, indices = nodes.indptr, nodes.indices
        # The vote weights, a float64 per entry, are not read again: freed
        # before the symmetrising, and the rows after it, ahead of the solver.
        del nodes
        graph = _symmetrised(indptr, indices, weights, threads)
        del indptr, indices, weights
        # The passes read the neighbours' rows at random: numbered so that
        # neighbours lie close (reverse Cuthill-McKee), they come from the
        # caches. Everything up to the decision runs in that order; the
        # solver's copy of the graph (checked and copied once for the
        # solution and every MBO round) is renumbered as it is copied.
        order = reverse_cuthill_mckee(graph, symmetric_mode=True)
        solver_graph = poisson_graph(graph.indptr, graph.indices, graph.data, order, threads)
        nnz = graph.nnz
        del graph
        position = np.empty_like(order)
        position[order] = np.arange(num_samples, dtype=order.dtype)
        ordered_labels = labels[order]
        part, reached, absent = _classes_present(solver_graph, ordered_labels, num_classes)
        unreachable = ~reached[position]
        if unreachable.any():
            self._report_unreachable(unreachable, part[position], node_of, along)
        self._report(f"graph: {nnz:,} weighted edges", start)

        start = time.perf_counter()
        scores = np.zeros((num_samples, num_classes))
        iterations, converged = self._solve(solver_graph, ordered_labels, scores, threads, start)
        if not converged:
            warn_caller(
                f"the Poisson solver stopped at max_iter={self.max_iter} iterations, short of its tolerance; the "
                "labels are those of its last iteration. Raise max_iter.",
                ConvergenceWarning,
            )
        start = time.perf_counter()
        _poisson_mbo(scores, solver_graph, ordered_labels, reached, absent, prior, slack, self.mbo_iter, threads)
        if self.mbo_iter:
            self._report(f"Poisson-MBO: {self.mbo_iter} rounds", start)
        codes, distributions = _decided(scores[position], labels, unreachable)
        labels[:] = codes
        self.n_iter_ = iterations
        return unreachable, distributions

    def _solve(self, solver_graph: Any, ordered_labels: npt.NDArray[np.int32], scores: npt.NDArray[np.float64],
               threads: int, start: float) -> tuple[int, bool]:
        """The Poisson equation over the walk's horizon (see HORIZON_SHIFTS)
        into ``scores``; with ``tol=0`` solved to the end. Returns the
        iterations run and whether they met their tolerance."""
        if self.tol == 0:
            iterations, converged = poisson_conjugate_gradients(solver_graph, ordered_labels, scores, 0.0,
                                                                SOLVER_TOLERANCE, self.max_iter, threads)
            self._report(f"Poisson solution: {iterations:,} iterations", start)
            return iterations, converged
        horizon, steps = poisson_horizon(solver_graph, ordered_labels, self.tol, HORIZON_STEPS, threads)
        horizon = max(horizon, 1.0)
        self._report(f"the walk's horizon: {horizon:,.0f} passes ({steps} Lanczos steps)", start)
        start = time.perf_counter()
        heavier = np.empty_like(scores)
        iterations, converged = poisson_conjugate_gradients(
            solver_graph, ordered_labels, scores, HORIZON_SHIFTS[0] / horizon, SOLVER_TOLERANCE, self.max_iter,
            threads, heavier, HORIZON_SHIFTS[1] / horizon)
        scores *= SHIFT_WEIGHTS[0]
        heavier *= SHIFT_WEIGHTS[1]
        scores += heavier
        self._report(f"Poisson solution: {iterations:,} iterations", start)
        return iterations, converged

    def _check_classes(self, num_classes: int) -> None:
        if self.class_prior is not None and not isinstance(self.class_prior, str) \
                and len(self.class_prior) != num_classes:
            raise ValueError(f"class_prior has {len(self.class_prior)} shares, but y has {num_classes} classes")

    def _prior(self, nodes: Graph, labels: npt.NDArray[np.int32], num_classes: int, similarities: bool
               ) -> npt.NDArray[np.float64] | None:
        """The classes' expected shares of the nodes, as ``class_prior`` says
        (printed when verbose)."""
        if self.class_prior is None:
            return None
        start = time.perf_counter()
        if isinstance(self.class_prior, str):
            if self.class_prior == "estimated":
                counts = _nearest_labelled_shares(nodes, labels, num_classes, similarities)
            else:  # "labelled"
                counts = np.bincount(labels[labels != -1], minlength=num_classes).astype(np.float64)
        else:
            counts = np.asarray(self.class_prior, dtype=np.float64)
            if len(counts) != num_classes:
                raise ValueError(f"class_prior has {len(counts)} shares, but y has {num_classes} classes")
        shares: npt.NDArray[np.float64] = counts / counts.sum()
        what = self.class_prior if isinstance(self.class_prior, str) else "given"
        free = f", each free to move by a factor {1 + ESTIMATE_SLACK:g}" if what == "estimated" else ""
        self._report(f"class shares ({what}): " + ", ".join(f"{share:.3g}" for share in shares) + free, start)
        return shares

    def _report_unreachable(self, unreachable: npt.NDArray[np.bool_], part: npt.NDArray[np.int32],
                            node_of: npt.NDArray[np.int64], along: str) -> None:
        """Warn about (or refuse) the samples in connected parts without a
        labelled sample (``part``: each node's part; the graph is symmetric,
        so that these parts are the groups the warning counts)."""
        self._unreachable_found(int(np.count_nonzero(unreachable[node_of])), len(node_of),
                                len(np.unique(part[unreachable])), along)


def _classes_present(solver_graph: Any, ordered_labels: npt.NDArray[np.int32], num_classes: int
                     ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
    """Each node's connected part (numbered from 0), whether a labelled node
    lies in it, and for each such node the classes not labelled in its part:
    a class can only be given where it was labelled in the same part, as
    elsewhere its score says nothing (0, the centred sources' mean)."""
    num_nodes = len(ordered_labels)
    # The graph is symmetric: its connected parts are the solver's, each
    # named by its smallest node.
    root = poisson_parts(solver_graph)
    roots = np.flatnonzero(root == np.arange(num_nodes))
    number = np.zeros(num_nodes, dtype=np.intp)
    number[roots] = np.arange(len(roots))
    part = number[root]
    labelled = ordered_labels != -1
    present = np.zeros((len(roots), num_classes), dtype=bool)
    present[part[labelled], ordered_labels[labelled]] = True
    reached = present.any(axis=1)[part]
    return part, reached, ~present[part[reached]]


def _poisson_mbo(scores: npt.NDArray[np.float64], solver_graph: Any, ordered_labels: npt.NDArray[np.int32],
                 reached: npt.NDArray[np.bool_], absent: npt.NDArray[np.bool_],
                 prior: npt.NDArray[np.float64] | None, slack: float, rounds: int, threads: int) -> None:
    """Poisson-MBO on the Poisson solution ``scores``, in place: ``rounds``
    rounds of thresholding (to ``prior``'s shares, see _threshold) and
    diffusion, then the last scores shifted so that their largest gives the
    classes those shares; a class absent from a node's part scores -inf."""
    shifts = np.zeros(scores.shape[1])
    reached_rows = np.flatnonzero(reached)
    # Usually every node is reached and every class labelled in its part:
    # the scores are then taken as they are, not copied masked.
    masked = not reached.all() or absent.any()
    for _ in range(rounds):
        codes, shifts = _threshold(np.where(absent, -np.inf, scores[reached]) if masked else scores, prior,
                                   shifts, slack)
        scores[:] = 0.0
        scores[reached_rows, codes] = 1.0
        poisson_solve(solver_graph, ordered_labels, scores, MBO_STEPS, 0.0, threads)
    if prior is not None:
        _, shifts = _threshold(np.where(absent, -np.inf, scores[reached]) if masked else scores, prior, shifts,
                               slack)
        if masked:
            scores[reached] += shifts
        else:
            scores += shifts
    if masked:
        scores[reached] = np.where(absent, -np.inf, scores[reached])


def _decided(scores: npt.NDArray[np.float64], labels: npt.NDArray[np.int32], unreachable: npt.NDArray[np.bool_]
             ) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float64]]:
    """Each node's label, the largest of its ``scores`` (-1 where
    unreachable), and its label distribution, the scores' positive part
    normalised. Labelled nodes keep their labels; a row without a positive
    score is its class's alone."""
    reached = ~unreachable
    labelled = labels != -1
    distributions = np.maximum(scores, 0.0)
    codes = np.where(reached, scores.argmax(axis=1), -1).astype(np.int32)
    codes[labelled] = labels[labelled]
    totals = distributions.sum(axis=1)
    alone = labelled | (reached & ~(totals > 0))
    distributions[alone] = 0.0
    distributions[np.flatnonzero(alone), codes[alone]] = 1.0
    distributions[unreachable] = 0.0
    distributions /= np.maximum(distributions.sum(axis=1, keepdims=True), np.finfo(np.float64).tiny)
    return codes, distributions


def _nearest_labelled_shares(nodes: Graph, labels: npt.NDArray[np.int32], num_classes: int,
                             similarities: bool) -> npt.NDArray[np.float64]:
    """Each class's count of the nodes whose nearest labelled node along the
    graph's edges (either way; see _path_lengths) is of that class; a node
    as near to labelled nodes of several classes counts for each in equal
    parts, so that the counts depend neither on the rows' order nor on the
    classes' names. Nodes no labelled one reaches count for none."""
    lengths = _path_lengths(nodes, similarities)
    sources = np.flatnonzero(labels != -1)
    distance, _, nearest = dijkstra(lengths, directed=False, indices=sources, min_only=True,
                                    return_predecessors=True)
    reached = np.flatnonzero(nearest >= 0)
    classes = np.zeros((nodes.n_rows, num_classes), dtype=bool)
    classes[reached, labels[nearest[reached]]] = True
    # The edges on a shortest path: ties spread along them to the nodes they
    # lead to, a step further each round (on most graphs, ties are few and
    # the rounds too; on a graph of equal weights, as many as its diameter).
    edges = lengths.tocoo()
    first, second, length = edges.row, edges.col, edges.data
    forward = distance[first] + length == distance[second]
    backward = distance[second] + length == distance[first]
    towards = np.r_[second[forward], first[backward]]
    away = np.r_[first[forward], second[backward]]
    tight = sparse.csr_matrix((np.ones(len(towards)), (towards, away)), shape=lengths.shape)
    for _ in range(nodes.n_rows):
        spread = classes | (tight @ classes.astype(np.float64) > 0)
        if (spread == classes).all():
            break
        classes = spread
    ties = classes.sum(axis=1, keepdims=True)
    return np.asarray((classes / np.maximum(ties, 1)).sum(axis=0), dtype=np.float64)


def _path_lengths(nodes: Graph, similarities: bool) -> sparse.csr_matrix:
    """The graph's edges as lengths: an edge's distance (between
    similarities, the inverse of its weight) over the median edge's, to the
    4th power. A path of short steps through a dense region is then
    shorter than one long step across a gap, so that the nearest labelled
    nodes' classes follow the classes' sizes rather than where the labelled
    samples lie; scaling the distances or weights leaves them as they are."""
    weights = np.asarray(nodes.weights, dtype=np.float64)
    edges = weights > 0  # a similarity of 0 is no edge
    lengths = weights[edges]
    if len(lengths):
        with np.errstate(over="ignore", under="ignore"):
            np.divide(np.median(lengths), lengths, out=lengths)
            # To the 4th power; a distance's vote weight is 1 / d**2, so that
            # its ratio is squared once.
            for _ in range(2 if similarities else 1):
                np.square(lengths, out=lengths)
    # A length of 0 would be taken as no edge: copies lie the shortest step apart.
    np.maximum(lengths, np.finfo(np.float64).tiny, out=lengths)
    kept = np.bincount(nodes.row_of_entries()[edges], minlength=nodes.n_rows)
    indptr = np.r_[0, np.cumsum(kept)]
    return sparse.csr_matrix((lengths, nodes.indices[edges], indptr), shape=(nodes.n_rows, nodes.n_rows))


def _scaled_to_one(weights: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The weights over the largest, the same (to rounding) for any uniform
    scaling of the weights (a fresh array; the weights as they are when none
    is positive and finite)."""
    largest = float(weights.max(initial=0.0))
    if not (0.0 < largest < np.inf):
        return weights.copy()
    return weights / largest


def _edge_weights(nodes: Graph, similarities: bool) -> npt.NDArray[np.float64]:
    """The weights of W, a fresh array. Similarities are the weights as they
    are; else each entry's distance ``d`` (its vote weight is ``1 / d**2``)
    weighs ``exp(-4 d**2 / d_k**2)``, with ``d_k`` the row's largest distance
    (a row of entries at distance 0 weighs 1)."""
    if similarities:
        # Scaled to a largest weight of 1 first: the sums of the symmetrising
        # and of the degrees then stay finite, and the solution (its sources
        # are not scaled) does not depend on the weights' scale.
        return _scaled_to_one(np.asarray(nodes.weights, dtype=np.float64))
    # Each step in place: on the million-sample graphs a fresh array of
    # this size costs about as much as the step itself.
    with np.errstate(divide="ignore"):
        weights = 1.0 / np.asarray(nodes.weights, dtype=np.float64)  # d**2; 0 for a copy
    lengths = np.diff(nodes.indptr)
    scale = np.zeros(nodes.n_rows)
    filled = lengths > 0
    scale[filled] = np.maximum.reduceat(weights, nodes.indptr[:-1][filled])
    row_scale = np.repeat(scale, lengths)
    # A row whose largest d**2 is 0 holds zeros only, and keeps them.
    np.divide(weights, row_scale, out=weights, where=row_scale > 0)
    # A float64 per entry: gone before the symmetrising, the peak of this step.
    del row_scale
    weights *= -4.0
    np.exp(weights, out=weights)
    return weights


def _symmetrised(indptr: npt.NDArray[np.integer[Any]], indices: npt.NDArray[np.integer[Any]],
                 weights: npt.NDArray[np.float64], threads: int) -> sparse.csr_matrix:
    """``(W + W.T) / 2`` of the square graph W of these rows, on ``threads`` threads."""
    num_nodes = len(indptr) - 1
    offsets, columns, symmetric = poisson_symmetrised(indptr, indices, weights, threads)
    graph = sparse.csr_matrix((symmetric, columns, offsets), shape=(num_nodes, num_nodes))
    graph.has_sorted_indices = True
    return graph


def _threshold(scores: npt.NDArray[np.float64], prior: npt.NDArray[np.float64] | None,
               shifts: npt.NDArray[np.float64], slack: float = 0.0
               ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
    """Each row's class, the largest of its scores plus a shift per class;
    the shifts (from ``shifts``) are adjusted so that the classes take
    ``prior``'s shares of the rows, on a fixed sample of at most
    SHIFT_SAMPLE rows (None: no shifts). With ``slack``, a class whose share
    of the rows' largest scores lies within a factor ``1 + slack`` of its
    prior share keeps that share, and the others are brought to the nearer
    end of that range."""
    if prior is None or not len(scores):
        return scores.argmax(axis=1), shifts
    sample = scores
    if len(scores) > SHIFT_SAMPLE:
        sample = scores[np.random.default_rng(0).choice(len(scores), SHIFT_SAMPLE, replace=False)]
    if slack:
        own = np.bincount(sample.argmax(axis=1), minlength=len(prior)) / len(sample)
        prior = np.clip(own, prior / (1 + slack), prior * (1 + slack))
        prior /= prior.sum()
    finite = sample[np.isfinite(sample)]  # a class absent from a sample's part scores -inf
    # The spread taken over the largest score, so that it cannot overflow.
    largest = float(np.abs(finite).max(initial=0.0))
    step = SHIFT_STEP * largest * float(np.std(finite / largest)) if largest > 0 else 0.0
    shifts = shifts.copy()
    class_shifts(sample, prior, shifts, step, SHIFT_ROUNDS)
    return _shifted_argmax(scores, shifts), shifts


def _shifted_argmax(scores: npt.NDArray[np.float64], shifts: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]:
    """``(scores + shifts).argmax(axis=1)``, the first class on a tie, a row
    at a time natively: NumPy's argmax along short rows is slow, and a class
    at a time it reads the whole table once per class."""
    return shifted_argmax(scores, shifts)

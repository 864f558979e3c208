"""Semi-supervised labelling of points in one call: the base of velorn's
estimators (the k-nearest-neighbour search, the input checks, the graph and
predict), and weighted label propagation on it."""

import time
from abc import ABCMeta, abstractmethod
import warnings
from collections.abc import Callable, Iterator
from pathlib import Path
from numbers import Integral, Real
from typing import Any, ClassVar, Literal, Self, cast

import numpy as np
import numpy.typing as npt
import sklearn
from scipy import sparse
from scipy.sparse.csgraph import breadth_first_order, connected_components
from sklearn.base import BaseEstimator, ClassifierMixin, _fit_context
from sklearn.exceptions import ConvergenceWarning
from sklearn.neighbors import VALID_METRICS
from sklearn.utils import assert_all_finite, check_consistent_length, column_or_1d
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from velorn._native.label_sweeps import propagate_rows, repeated_rows
from velorn.graph import PRECOMPUTED, Graph, adjacency_of, from_matrix, from_table, merge_copies
from velorn.neighbours import NeighbourSearch, report

try:
    from sklearn.utils.validation import validate_data

    SKIP_FINITE_CHECK: dict[str, Any] = {"ensure_all_finite": False}
except ImportError:  # scikit-learn before 1.6

    def validate_data(estimator: Any, /, X: Any, **kwargs: Any) -> Any:
        return estimator._validate_data(X, **kwargs)

    SKIP_FINITE_CHECK = {"force_all_finite": False}


def _parameters_checked[Fit: Callable[..., Any]](fit: Fit) -> Fit:
    """scikit-learn's check of the parameters against ``_parameter_constraints``
    at the start of ``fit``, keeping ``fit``'s type for type checkers."""
    return cast(Fit, _fit_context(prefer_skip_nested_validation=True)(fit))


class BaseLabelPropagation(ClassifierMixin, BaseEstimator, metaclass=ABCMeta):  # type: ignore[misc]
    """Base class of the estimators that label samples along their nearest neighbours.

    What they share: the neighbour search and the checks of its parameters
    and of the input, the encoding of the labels, the graph of each sample's
    nearest neighbours (copies of a point joined in one node), and
    ``predict`` and ``predict_proba``, which let a new sample's nearest
    training samples vote. Each estimator labels the graph's nodes in its
    own way, in :meth:`_label_nodes`, and sets its own defaults; ``max_iter``
    and ``tol`` bound its own iteration.

    Parameters
    ----------
    n_neighbors : int
        Neighbours per sample.
    metric : str or callable
        The distance, or ``"precomputed"`` (a sparse distance graph) or
        ``"precomputed_affinity"`` (a matrix of similarities).
    metric_params : dict or None
        Further arguments of the metric.
    p : float
        The power of the ``"minkowski"`` metric.
    search : {"exact", "approximate"}
        The neighbour search.
    max_iter : int
        Most passes of the labelling.
    tol : float
        When the labelling stops before ``max_iter``.
    on_unreachable : {"warn", "raise"}
        What to do when samples cannot be reached from any labelled one.
    n_jobs : int or None
        Threads, as in scikit-learn.
    random_state : int, RandomState instance or None
        Seeds the approximate search's index.
    verbose : bool
        Print each step's progress and time.
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "n_neighbors": [Interval(Integral, 1, None, closed="left")],
        "metric": [StrOptions({name for names in VALID_METRICS.values() for name in names} | set(PRECOMPUTED)),
                   callable],
        "metric_params": [dict, None],
        "p": [Interval(Real, 0, None, closed="right"), None],
        "search": [StrOptions({"exact", "approximate"})],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "tol": [Interval(Real, 0, None, closed="left")],
        "on_unreachable": [StrOptions({"warn", "raise"})],
        "n_jobs": [Integral, None],
        "random_state": ["random_state"],
        "verbose": ["verbose"],
    }

    def __init__(
        self,
        n_neighbors: int,
        *,
        metric: Any,
        metric_params: dict[str, Any] | None,
        p: float,
        search: Literal["exact", "approximate"],
        max_iter: int,
        tol: float,
        on_unreachable: Literal["warn", "raise"],
        n_jobs: int | None,
        random_state: Any,
        verbose: bool,
    ) -> None:
        self.n_neighbors = n_neighbors
        self.metric = metric
        self.metric_params = metric_params
        self.p = p
        self.search = search
        self.max_iter = max_iter
        self.tol = tol
        self.on_unreachable = on_unreachable
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose

    # --- fit ---------------------------------------------------------------------------

    @_parameters_checked
    def fit(self, X: Any, y: Any) -> Self:
        """Label the unlabelled samples of ``y`` from the labelled ones.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            The samples; with ``metric="precomputed"``, a sparse matrix of
            distances, with ``metric="precomputed_affinity"`` a (sparse or
            dense) matrix of similarities, of shape (n_samples, n_samples).
        y : array-like of shape (n_samples,)
            Labels (integers or strings); -1 (among strings also "-1") marks
            an unlabelled sample.

        Returns
        -------
        self : object
            The fitted estimator, its labels in ``transduction_``.
        """
        # A failed fit leaves the estimator as it was: the attributes that
        # the input checks set are put back, the others are set at the end.
        checked = ("n_features_in_", "feature_names_in_")
        before = {name: self.__dict__[name] for name in checked if name in self.__dict__}
        try:
            return self._fit(X, y)
        except BaseException:
            for name in checked:
                self.__dict__.pop(name, None)
            self.__dict__.update(before)
            raise

    def _fit(self, X: Any, y: Any) -> Self:
        search = self._check_parameters()
        X, y = self._check_input(X, y)
        classes, labels = _encode(y)
        self._check_classes(len(classes))

        rows, point_of, index = self._neighbour_rows(X, search)
        nodes, node_of_point = merge_copies(rows)
        node_of = node_of_point[point_of]
        node_labels = _group_vote(labels, node_of, nodes.n_rows)
        # Labelled samples, and unlabelled copies of labelled ones (a copy
        # outweighs every other neighbour), vote for their label alone.
        fixed = (labels != -1) | (node_labels[node_of] != -1)
        along, limit = self._rows_described(rows.n_rows)
        n_neighbors = int(np.diff(rows.indptr).max(initial=0))
        # The rows are the fit's largest arrays: _label_nodes gets the only
        # reference, so that it can free them once it no longer reads them.
        only_reference = [nodes]
        del rows, nodes
        unreachable, node_distributions = self._label_nodes(only_reference, node_labels, len(classes),
                                                            _graph_kind(self.metric), node_of, along, limit)

        final = np.where(labels != -1, labels, node_labels[node_of])
        self.classes_ = classes
        self.n_neighbors_ = n_neighbors
        self.unreachable_ = unreachable[node_of]
        self.transduction_ = _decode(final, classes, y.dtype)
        self.label_distributions_ = _sample_distributions(node_distributions, node_of, final, fixed)
        self._index = index
        # What predict reads: a label for each row the search indexed (each
        # distinct point), or for each column of a precomputed graph.
        self._codes = node_labels[node_of_point] if index is not None else final
        return self

    def _check_parameters(self) -> NeighbourSearch | None:
        """Refuse bad parameters before any work; the neighbour search, unless
        the graph is precomputed."""
        if _graph_kind(self.metric):
            return None
        return NeighbourSearch(self.metric, self.metric_params, self.p, self.search, self.n_jobs,
                               self.random_state, self.verbose, owner=type(self).__name__)

    def _check_input(self, X: Any, y: Any) -> tuple[Any, npt.NDArray[Any]]:
        """``X`` and ``y`` as scikit-learn checks them (setting
        ``n_features_in_``); a precomputed graph's entries are left to
        velorn.graph, whose messages say more."""
        if y is None:
            raise ValueError(f"{type(self).__name__} requires y to be passed, but the target y is None.")
        X = adjacency_of(X, self.metric)
        X = validate_data(self, X, accept_sparse="csr", **(SKIP_FINITE_CHECK if _graph_kind(self.metric) else {}))
        y = column_or_1d(y, warn=True)
        check_consistent_length(X, y)
        if y.dtype.kind == "f":
            assert_all_finite(y, input_name="y")
        return X, y

    def _check_classes(self, num_classes: int) -> None:
        """Refuse, before the search, parameters that do not fit the classes
        of ``y`` (none here)."""

    def _neighbour_rows(self, X: Any, search: NeighbourSearch | None
                        ) -> tuple[Graph, npt.NDArray[np.int64], NeighbourSearch | None]:
        """The graph's rows: each distinct point's nearest neighbours, or a
        precomputed graph's rows (a distance graph's cut to the
        ``n_neighbors`` nearest entries); each sample's row; and the fitted
        search, which ``predict`` asks (None for a precomputed graph)."""
        kind = _graph_kind(self.metric)
        if kind:
            return _graph_table(X, kind, self.n_neighbors), np.arange(X.shape[0], dtype=np.int64), None
        # Copies of a point are searched once, as one point: else the rows of
        # a point with more copies than n_neighbors hold only copies, and
        # none of them may hold the labelled one.
        points, point_of = _distinct_points(X)
        width = min(self.n_neighbors, points.shape[0] - 1)
        assert search is not None  # built for every metric but the precomputed ones
        index = search.fit(points)
        ids, distances = index.kneighbors(None, width + 1)
        return _graph_rows(ids, distances, points.shape[0], width, drop_self=True), point_of, index

    def _rows_described(self, num_rows: int) -> tuple[str, int | None]:
        """What the graph's rows are, for the warnings, and the length they
        were cut to if more neighbours could join them (else None)."""
        kind = _graph_kind(self.metric)
        if kind:
            return "the graph's rows", self.n_neighbors if kind == "distance" else None
        width = min(self.n_neighbors, num_rows - 1)
        return f"their {width} nearest neighbours", width if width < num_rows - 1 else None

    @abstractmethod
    def _label_nodes(self, only_reference: list[Graph], labels: npt.NDArray[np.int32], num_classes: int,
                     kind: str | None, node_of: npt.NDArray[np.int64], along: str, limit: int | None
                     ) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
        """Label the graph's nodes ``labels`` (-1: unlabelled) in place, and
        set ``n_iter_``.

        Parameters
        ----------
        only_reference : list of one Graph
            Each node's row: its neighbours and their vote weights
            (``1 / distance**2``, or a similarity as it is). The caller's
            only reference: taken out of the list, the rows can be freed
            once no longer read.
        labels : ndarray of shape (n_nodes,)
            Each node's class number, -1 for an unlabelled node.
        num_classes : int
            The number of classes.
        kind : {None, "distance", "affinity"}
            What the graph was made from: None for a search's distances.
        node_of : ndarray of shape (n_samples,)
            Each sample's node.
        along : str
            What the rows are, for the warnings.
        limit : int or None
            The length the rows were cut to if more neighbours could join
            them, for the warnings.

        Returns
        -------
        unreachable : ndarray of bool, shape (n_nodes,)
            The nodes no labelled one can be reached from, after warning
            about them or refusing them (:meth:`_unreachable_found`).
        distributions : ndarray of shape (n_nodes, n_classes)
            Each node's class scores, normalised to sum to 1 (zeros for an
            unreachable node).
        """

    def _unreachable_found(self, count: int, num_samples: int, groups: int, along: str, isolated: int = 0,
                           rows_full: bool = True) -> None:
        """Warn about ``count`` samples, in ``groups`` groups, that no labelled
        sample can be reached from, or refuse them with ``on_unreachable="raise"``.
        ``isolated``: how many have no neighbour at all; ``rows_full``:
        whether more neighbours could reach a label."""
        message = (
            f"{count:,} of {num_samples:,} samples, in {groups:,} group(s), cannot be reached from any "
            f"labelled sample along {along}"
            + (f" ({isolated:,} of them have no neighbour at all)" if isolated else "")
            + "; they keep -1 in transduction_ (see unreachable_). Label a sample in each such group"
            + (", or use more neighbours (n_neighbors)." if rows_full else ".")
        )
        if self.on_unreachable == "raise":
            raise ValueError(message)
        warn_caller(message, UserWarning)

    # --- predict -----------------------------------------------------------------------

    def predict_proba(self, X: Any) -> npt.NDArray[np.float64]:
        """Each class's share of the weight of a sample's nearest training samples.

        Each of the ``n_neighbors`` nearest training samples counts
        ``1 / distance**2`` for its label from ``fit`` (with
        ``metric="precomputed_affinity"``, its similarity); a training
        sample at distance 0 outweighs all others.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_queries, n_features)
            The samples; with ``metric="precomputed"``, a sparse graph of
            their distances to the training samples, of shape
            (n_queries, n_training_samples).

        Returns
        -------
        proba : ndarray of shape (n_queries, n_classes)
            Columns follow ``classes_``; a sample none of whose neighbours
            has a label gets a row of zeros.

        Examples
        --------
        >>> import numpy as np
        >>> from velorn import WeightedLabelPropagation
        >>> X = np.array([[0.0], [1.0], [2.0], [3.0]])
        >>> model = WeightedLabelPropagation(n_neighbors=2).fit(X, [0, -1, -1, 1])
        >>> model.predict_proba([[0.5], [2.5]]).round(2)
        array([[1., 0.],
               [0., 1.]])
        """
        rows = self._query_rows(X)
        proba = np.zeros((rows.n_rows, len(self.classes_)))
        for begin, end, _, (scores, _) in _vote_chunks(rows, self._codes, len(self.classes_)):
            _normalised(scores, out=proba[begin:end])
        return proba

    def predict(self, X: Any) -> npt.NDArray[Any]:
        """The label of each sample by its nearest training samples.

        The ``n_neighbors`` nearest training samples vote with their labels
        from ``fit``, each counting ``1 / distance**2`` (with
        ``metric="precomputed_affinity"``, its similarity); a training
        sample at distance 0 outweighs all others. Among classes of equal
        votes, the class of the heaviest single neighbour among theirs
        wins, the nearest of those if several weigh as much.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_queries, n_features)
            The samples; with ``metric="precomputed"``, a sparse graph of
            their distances to the training samples, of shape
            (n_queries, n_training_samples).

        Returns
        -------
        labels : ndarray of shape (n_queries,)
            The labels, of the type of ``transduction_``; the unlabelled
            marker (-1, or "-1" for string labels) for a sample none of whose
            neighbours has a label.
        """
        rows = self._query_rows(X)
        codes = np.empty(rows.n_rows, dtype=np.int32)
        for begin, end, chunk, (scores, reached) in _vote_chunks(rows, self._codes, len(self.classes_)):
            codes[begin:end] = _best_classes(chunk, self._codes, scores, reached)
        return _decode(codes, self.classes_, self.transduction_.dtype)

    def _query_rows(self, X: Any) -> Graph:
        """The rows of new samples: their nearest training samples (or their
        entries of a precomputed graph), with the weights of their votes."""
        check_is_fitted(self, "transduction_")
        num_indexed = len(self._codes)
        kind = _graph_kind(self.metric)
        if kind:
            X = validate_data(self, X, accept_sparse="csr", reset=False, **SKIP_FINITE_CHECK)
            rows = _graph_table(X, kind, self.n_neighbors, num_columns=num_indexed)
        else:
            X = validate_data(self, X, accept_sparse="csr", reset=False)
            assert self._index is not None
            k = min(self.n_neighbors, num_indexed)
            ids, distances = self._index.kneighbors(X, k)
            rows = _graph_rows(ids, distances, num_indexed, k, drop_self=False)
        return rows

    def _report(self, what: str, start: float, final: bool = True) -> None:
        report(type(self).__name__, self.verbose, what, start, final)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.pairwise = _graph_kind(self.metric) is not None
        tags.input_tags.sparse = self.search == "exact" or _graph_kind(self.metric) is not None
        return tags

    def _more_tags(self) -> dict[str, Any]:  # scikit-learn before 1.6
        return {"pairwise": _graph_kind(self.metric) is not None}


class WeightedLabelPropagation(BaseLabelPropagation):
    """Label every sample from a few labelled ones, along its nearest neighbours.

    Each sample is joined to its ``n_neighbors`` nearest samples (or to its
    entries of a precomputed graph); an unlabelled sample takes the label
    whose neighbours weigh most, each neighbour counting ``1 / distance**2``
    (a similarity counts as it is, and a copy of the sample, at distance 0,
    outweighs all others). In each sweep every unlabelled sample votes from
    the labels of the sweep before, so the labels depend on the graph and the
    labelled samples, never on the order of the rows; a label given may
    change in later sweeps until the labelling is stable. The samples
    labelled in ``y`` keep their labels.

    Ties never go by the classes' names: a sample whose best classes weigh
    the same keeps its label if it is one of them, and otherwise waits for a
    later sweep, where more labelled neighbours usually part them. Where the
    sweeps end with samples at odds with their own votes (a tie still there,
    neighbours that would swap labels for ever, or ``tol``), these change a
    few at a time, never two neighbours at once, those with most to gain
    first, until each one's label is the largest share of its
    ``label_distributions_`` row. A tie left then goes to the class of the
    heaviest single neighbour among the tied classes; among classes whose
    heaviest neighbours weigh as much, to the one the sample's neighbours'
    own neighbours vote for most; then to the nearest (the first in the row,
    for a precomputed graph). ``predict`` and ``predict_proba`` weigh a new
    sample's ``n_neighbors`` nearest training samples as ``fit`` weighs a
    sample's neighbours, with their labels from ``fit``;
    ``predict`` decides ties by the heaviest single neighbour, then the
    nearest.

    A sample whose neighbours, their neighbours and so on never meet a
    labelled sample (a group of more than ``n_neighbors`` samples, apart from
    every labelled one) cannot be labelled: it keeps the unlabelled marker in
    ``transduction_``, with a warning that gives the count, or a
    ``ValueError`` with ``on_unreachable="raise"``.

    Parameters
    ----------
    n_neighbors : int, default=15
        Neighbours per sample (fewer when there are fewer samples).
    metric : str or callable, default="minkowski"
        The distance, as scikit-learn's ``NearestNeighbors`` takes it.
        ``"precomputed"``: ``X`` is a sparse distance graph, such as
        ``KNeighborsTransformer(mode="distance")`` gives it, of any row
        lengths; each row is cut to its ``n_neighbors`` nearest entries.
        ``"precomputed_affinity"``: ``X`` is a (sparse or dense) matrix of
        similarities, such as an adjacency matrix, every entry used. Self
        loops are ignored in both.
    metric_params : dict, default=None
        Further arguments of the metric, as ``NearestNeighbors`` takes them
        (for example ``{"VI": inverse_covariance}`` for ``"mahalanobis"``).
    p : float, default=2
        The power of the ``"minkowski"`` metric (1: Manhattan, 2: Euclidean).
    search : {"exact", "approximate"}, default="exact"
        ``"exact"``: SciPy's ``cKDTree`` for the Minkowski metrics in up to
        15 dense features, else ``NearestNeighbors``; both find the true
        nearest neighbours. ``"approximate"``: hnswlib (``pip install
        'velorn[fast]'``), for the Euclidean metrics (``"minkowski"`` with
        ``p=2``) and ``"cosine"`` on dense features; faster on many samples
        in more than a few dimensions, at the cost of a little recall. Its
        index holds the data in float32, centred and scaled (or normalised,
        for ``"cosine"``), and distances are recomputed from the data, so
        that rounding costs recall, never a distance.
    max_iter : int, default=50000
        Most sweeps over the unlabelled samples, and most rounds of settling
        the samples at odds with their votes after them; past those, each
        sample takes the largest share of its last votes, with a
        ``ConvergenceWarning``.
    tol : float, default=1e-3
        Sweeps also stop when one labels no new sample and changes the labels
        of at most this share of the unlabelled samples; the samples that
        still want to change are then settled as above.
    on_unreachable : {"warn", "raise"}, default="warn"
        What to do when samples cannot be reached from any labelled one.
    n_jobs : int, default=None
        Threads for the neighbour search, as in scikit-learn: ``None`` means
        1 unless in a ``joblib.parallel_config`` context, -1 all cores.
    random_state : int, RandomState instance or None, default=None
        Seeds the approximate search's index. When it is set, the index is
        built on one thread (several insert the samples in an order that
        varies from run to run), so that with an int the labels are the same
        at every run and for any ``n_jobs``; the searches of the index still
        use ``n_jobs`` threads. The exact search does not use it.
    verbose : bool, default=False
        Print each step's progress and time.

    Attributes
    ----------
    transduction_ : ndarray of shape (n_samples,)
        The label of each training sample; -1 where none can be given ("-1"
        when the labels are strings).
    classes_ : ndarray of shape (n_classes,)
        The labels found in ``y``, sorted.
    label_distributions_ : ndarray of shape (n_samples, n_classes)
        Each training sample's share of its neighbours' votes per class (its
        own label for a labelled sample); a row of zeros for a sample that
        cannot be labelled. An unlabelled sample's label in
        ``transduction_`` is always one of its row's largest shares.
    unreachable_ : ndarray of bool, shape (n_samples,)
        The samples that no labelled sample can be reached from; they keep
        the unlabelled marker. (Samples that ``max_iter`` cut off also keep
        it, with a ``ConvergenceWarning``.)
    n_neighbors_ : int
        The neighbours per sample actually used.
    n_iter_ : int
        Sweeps run (0 when every sample is labelled).
    n_features_in_ : int
        Features seen in ``fit`` (samples, for a precomputed graph).

    See Also
    --------
    sklearn.semi_supervised.LabelSpreading : Label spreading over a
        similarity graph, by iterated sparse products.

    Examples
    --------
    >>> import numpy as np
    >>> from velorn import WeightedLabelPropagation
    >>> X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    >>> y = np.array([0, -1, -1, 1, -1, -1])
    >>> model = WeightedLabelPropagation(n_neighbors=2).fit(X, y)
    >>> model.transduction_
    array([0, 0, 0, 1, 1, 1])
    >>> model.predict([[0.05], [4.9]])
    array([0, 1])
    """

    def __init__(
        self,
        n_neighbors: int = 15,
        *,
        metric: Any = "minkowski",
        metric_params: dict[str, Any] | None = None,
        p: float = 2,
        search: Literal["exact", "approximate"] = "exact",
        max_iter: int = 50000,
        tol: float = 1e-3,
        on_unreachable: Literal["warn", "raise"] = "warn",
        n_jobs: int | None = None,
        random_state: Any = None,
        verbose: bool = False,
    ) -> None:
        super().__init__(n_neighbors, metric=metric, metric_params=metric_params, p=p, search=search,
                         max_iter=max_iter, tol=tol, on_unreachable=on_unreachable, n_jobs=n_jobs,
                         random_state=random_state, verbose=verbose)

    def _label_nodes(self, only_reference: list[Graph], labels: npt.NDArray[np.int32], num_classes: int,
                     kind: str | None, node_of: npt.NDArray[np.int64], along: str, limit: int | None
                     ) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
        """Sweep the rows until the labels settle, as the class docstring
        says; then settle the nodes at odds with their own votes."""
        nodes = only_reference.pop()
        start = time.perf_counter()
        free = labels == -1
        votes = np.empty((nodes.n_rows, num_classes))
        self.n_iter_, converged = propagate_rows(nodes.indptr, nodes.indices, nodes.weights, labels, self.max_iter,
                                                 self.tol, votes)
        self._report(f"propagation: {np.count_nonzero(free):,} unlabelled nodes", start)
        reached = _holds_label(nodes, labels)
        if not converged:
            # Cut off by max_iter: the labels are those of these votes, so
            # that label_distributions_ agrees with transduction_.
            labels[free] = _best_classes(nodes, labels, votes, reached, current=labels)[free]
        unreachable = np.zeros(nodes.n_rows, dtype=bool)
        if (labels == -1).any() or not converged:
            unreachable = self._explain_unlabelled(nodes, labels, node_of, converged, along, limit)
        return unreachable, _normalised(votes, out=votes)

    def _explain_unlabelled(self, nodes: Graph, labels: npt.NDArray[np.int32], node_of: npt.NDArray[np.int64],
                            converged: bool, along: str, limit: int | None) -> npt.NDArray[np.bool_]:
        """Warn about (or refuse) samples left unlabelled: those no labelled
        sample can be reached from, which are returned as a mask over the
        nodes, and those the sweep limit cut off. ``limit``: the length rows
        were cut to, if any; rows that long might reach a label with more
        neighbours."""
        unreachable = _unreachable_nodes(nodes, labels)
        if not converged:
            cut_off = np.count_nonzero((~unreachable & (labels == -1))[node_of])
            still = f"{cut_off:,} samples were still unlabelled and labels" if cut_off else "labels"
            warn_caller(
                f"{still} were still changing after max_iter={self.max_iter} sweeps; unlabelled samples keep -1 "
                "in transduction_. Raise max_iter, or tol to stop when few labels change.",
                ConvergenceWarning,
            )
        count = int(np.count_nonzero(unreachable[node_of]))
        if count:
            lengths = np.diff(nodes.indptr)
            self._unreachable_found(count, len(node_of), _groups_within(nodes, unreachable), along,
                                    isolated=int(np.count_nonzero((unreachable & (lengths == 0))[node_of])),
                                    rows_full=limit is not None and bool((lengths[unreachable] >= limit).any()))
        return unreachable


# --- helpers ---------------------------------------------------------------------------


# Warnings name the caller's line: the first frame outside velorn and the
# scikit-learn wrappers around fit, however deep the warning is raised.
_INTERNAL_FILES = (str(Path(__file__).parent), str(Path(sklearn.__file__).parent))


def warn_caller(message: str, category: type[Warning]) -> None:
    warnings.warn(message, category, skip_file_prefixes=_INTERNAL_FILES)



def _unreachable_nodes(nodes: Graph, labels: npt.NDArray[np.int32]) -> npt.NDArray[np.bool_]:
    """The nodes from which no row leads, row after row, to a labelled node."""
    num_nodes = nodes.n_rows
    rows = nodes.row_of_entries()
    # Search backwards along the rows, from an extra node joined to every
    # labelled node: what it finds can reach a label.
    seeds = np.flatnonzero(labels != -1)
    backwards = sparse.csr_matrix(
        (np.ones(len(rows) + len(seeds), dtype=np.int8),
         (np.concatenate([nodes.indices, np.full(len(seeds), num_nodes)]), np.concatenate([rows, seeds]))),
        shape=(num_nodes + 1, num_nodes + 1),
    )
    reachable = np.zeros(num_nodes + 1, dtype=bool)
    reachable[breadth_first_order(backwards, num_nodes, directed=True, return_predecessors=False)] = True
    return ~reachable[:num_nodes]


def _groups_within(nodes: Graph, among: npt.NDArray[np.bool_]) -> int:
    """How many groups the nodes ``among`` form, joined by the rows' entries
    (either way) between two of them."""
    num_nodes = nodes.n_rows
    rows = nodes.row_of_entries()
    inside = among[rows] & among[nodes.indices]
    group_graph = sparse.csr_matrix(
        (np.ones(np.count_nonzero(inside), dtype=np.int8), (rows[inside], nodes.indices[inside])),
        shape=(num_nodes, num_nodes),
    )
    _, group_of = connected_components(group_graph, directed=False)
    return len(np.unique(group_of[among]))


def _unlabelled_mask(y: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """Where ``y`` holds -1; among strings (a list mixing them with -1 turns it
    into the string "-1") or bytes, that string too."""
    if y.dtype.kind in "US":
        return np.asarray(y == y.dtype.type("-1"))
    if y.dtype.kind == "O":
        return np.array([value in UNLABELLED_MARKERS for value in y.tolist()], dtype=bool)
    return np.asarray(y == -1)


# The marks of an unlabelled sample in y: a number, a string or bytes.
UNLABELLED_MARKERS = (-1, "-1", b"-1")


def _decode(codes: npt.NDArray[np.int32], classes: npt.NDArray[Any], like: np.dtype[Any]) -> npt.NDArray[Any]:
    """Class numbers back to labels, -1 as the unlabelled marker of the labels'
    own type: "-1" among strings (also in an object array), b"-1" among bytes."""
    if classes.dtype.kind == "b" and not (codes == -1).any():  # bool labels stay bool while no -1 is needed
        return classes[codes]
    if like.kind in "US":
        missing: Any = like.type("-1")
        dtype = np.result_type(classes.dtype, np.array(missing).dtype)
    elif classes.dtype.kind in "iuf":
        missing, dtype = -1, np.result_type(classes.dtype, np.int8)
    else:
        labels = classes.tolist()
        missing = next((marker for marker in ("-1", b"-1") if all(isinstance(label, type(marker)) for label in labels)),
                       -1)
        dtype = np.dtype(object)
    out = np.asarray(classes, dtype=dtype)[np.maximum(codes, 0)]
    out[codes == -1] = missing
    return out


def _encode(y: npt.NDArray[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[np.int32]]:
    """The classes of ``y``'s labelled samples, sorted, and each sample's
    class number (-1: unlabelled)."""
    unlabelled = _unlabelled_mask(y)
    if unlabelled.all():
        raise ValueError("y has no labelled sample: every entry is -1 (unlabelled). Label at least one sample.")
    with warnings.catch_warnings():
        # One label per class is what users with few labels have, not a sign
        # of a regression target.
        warnings.filterwarnings("ignore", message="The number of unique classes is greater than 50%")
        check_classification_targets(y[~unlabelled])
    classes, codes = np.unique(y[~unlabelled], return_inverse=True)
    labels = np.full(len(y), -1, dtype=np.int32)
    labels[~unlabelled] = codes
    return classes, labels


def _sample_distributions(node_distributions: npt.NDArray[np.float64], node_of: npt.NDArray[np.int64],
                          labels: npt.NDArray[np.int32], fixed: npt.NDArray[np.bool_]) -> npt.NDArray[np.float64]:
    """Each sample's row of its node's class shares; the samples ``fixed``
    hold all of their label (``labels``) alone."""
    distributions = node_distributions
    if len(distributions) != len(node_of) or (node_of != np.arange(len(node_of))).any():
        distributions = distributions[node_of]
    rows = np.flatnonzero(fixed)
    distributions[rows] = 0.0
    distributions[rows, labels[rows]] = 1.0
    return distributions


def _graph_kind(metric: Any) -> Any:
    """What a precomputed graph's entries hold ("distance", "affinity"), or
    None when ``X`` holds points."""
    return PRECOMPUTED.get(metric) if isinstance(metric, str) else None


def _graph_table(X: Any, kind: Any, n_neighbors: int, num_columns: int | None = None) -> Graph:
    """A precomputed graph's rows: a distance graph's cut to the
    ``n_neighbors`` nearest entries, a similarity graph's whole."""
    return from_matrix(X, kind, num_columns=num_columns, max_neighbours=n_neighbors if kind == "distance" else None)


def _graph_rows(ids: npt.NDArray[np.integer[Any]], distances: npt.NDArray[np.floating[Any]], num_indexed: int,
                width: int, drop_self: bool) -> Graph:
    """A search's table as rows of ``width`` neighbours."""
    return from_table(ids, distances, num_samples=num_indexed, max_neighbours=width, drop_self=drop_self)


def _distinct_points(X: npt.NDArray[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[np.int64]]:
    """The distinct rows of ``X`` in order of first appearance, and each
    sample's row among them (0.0 and -0.0 alike)."""
    num_samples = X.shape[0]
    if num_samples >= 2 and sparse.issparse(X):
        return _distinct_sparse_rows(X)
    if num_samples < 2 or not _repeats_rows(X):
        return X, np.arange(num_samples, dtype=np.int64)
    order = np.lexsort(X.T[::-1])  # stable: copies in sample order
    ordered = X[order]
    starts = np.ones(num_samples, dtype=bool)
    starts[1:] = (ordered[1:] != ordered[:-1]).any(axis=1)
    if starts.all():
        return X, np.arange(num_samples, dtype=np.int64)
    firsts = order[starts]
    number = np.empty(len(firsts), dtype=np.int64)
    number[np.argsort(firsts)] = np.arange(len(firsts))
    point_of = np.empty(num_samples, dtype=np.int64)
    point_of[order] = number[np.cumsum(starts) - 1]
    return X[np.sort(firsts)], point_of


def _distinct_sparse_rows(X: sparse.csr_matrix) -> tuple[Any, npt.NDArray[np.int64]]:
    """:func:`_distinct_points` for sparse rows: rows hashed by their count of
    nonzeros and two fixed random projections, and each row whose hash
    another row had first compared with that row entry by entry (a distinct
    row that shares a hash stays a point of its own)."""
    num_samples = X.shape[0]
    canonical = sparse.csr_matrix(X, copy=True)
    canonical.sum_duplicates()
    canonical.eliminate_zeros()  # stored zeros, -0.0 too, are no entries
    projections = canonical @ np.random.default_rng(0).standard_normal((X.shape[1], 2))
    keys = np.column_stack([np.diff(canonical.indptr), projections])
    _, first_of_key, key_of = np.unique(keys, axis=0, return_index=True, return_inverse=True)
    first = first_of_key[key_of.ravel()]
    later = np.flatnonzero(first != np.arange(num_samples))
    if not len(later):
        return X, np.arange(num_samples, dtype=np.int64)
    differs = np.diff((canonical[later] != canonical[first[later]]).tocsr().indptr) > 0
    first[later[differs]] = later[differs]
    firsts = np.flatnonzero(first == np.arange(num_samples))
    number = np.empty(num_samples, dtype=np.int64)
    number[firsts] = np.arange(len(firsts))
    return X[firsts], number[first]


def _repeats_rows(X: npt.NDArray[Any]) -> bool:
    """Whether two rows of ``X`` are equal (0.0 and -0.0 alike): rows hashed
    natively, far cheaper than sorting them. Types the hash does not read are
    compared as float64, where distinct rows may at worst seem equal."""
    if X.dtype not in (np.float64, np.float32, np.int64, np.int32) or not X.dtype.isnative:
        X = np.asarray(X, dtype=np.float64)
    return bool(repeated_rows(X))


def _group_vote(labels: npt.NDArray[np.int32], group_of: npt.NDArray[np.int64], num_groups: int
                ) -> npt.NDArray[np.int32]:
    """Each group's label: the one most of its labelled members hold; -1 for
    a group without any, and for one whose members hold several labels
    equally often, which its neighbours then decide like any unlabelled
    sample's (the labelled members keep their own)."""
    if num_groups == len(labels):  # every sample a group of its own, numbered in order
        return labels.copy()
    labelled = labels != -1
    num_classes = int(labels.max()) + 1
    counts = np.bincount(group_of[labelled] * num_classes + labels[labelled],
                         minlength=num_groups * num_classes).reshape(num_groups, num_classes)
    most = counts.max(axis=1, keepdims=True)
    decided = (most[:, 0] > 0) & ((counts == most).sum(axis=1) == 1)
    return np.where(decided, counts.argmax(axis=1), -1).astype(np.int32)


def _normalised(scores: npt.NDArray[np.float64], out: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """``scores`` (not negative) with each row divided by its sum, into
    ``out``; a row of zeros stays so. Few classes are summed a column at a
    time, in the order a row's sum takes: far faster than along short rows."""
    if scores.shape[1] <= NORMALISED_BY_COLUMNS:
        totals = np.zeros(len(scores))
        for column in scores.T:
            totals += column
    else:
        totals = scores.sum(axis=1)
    totals[totals == 0] = 1.0
    return np.divide(scores, totals[:, None], out=out)


# Up to this many classes, _normalised sums a column at a time.
NORMALISED_BY_COLUMNS = 8

# The most scores (rows times classes) that predict holds at once: with many
# classes a table of all rows' scores would outgrow the memory.
VOTE_CHUNK = 2**19


def _vote_chunks(rows: Graph, codes: npt.NDArray[np.int32], num_classes: int
                 ) -> Iterator[tuple[int, int, Graph, tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_]]]]:
    """:func:`_votes` over blocks of rows, each of at most ``VOTE_CHUNK``
    scores: (first row, end row, the block's rows, their votes)."""
    step = max(1, VOTE_CHUNK // max(num_classes, 1))
    for begin in range(0, rows.n_rows, step):
        end = min(begin + step, rows.n_rows)
        chunk = rows.slice_rows(begin, end)
        yield begin, end, chunk, _votes(chunk, codes, num_classes)


def _best_classes(rows: Graph, codes: npt.NDArray[np.int32], scores: npt.NDArray[np.float64],
                  reached: npt.NDArray[np.bool_], current: npt.NDArray[np.int32] | None = None
                  ) -> npt.NDArray[np.int32]:
    """Each row's class of largest score (``scores`` from :func:`_votes`), -1
    for a row that is not ``reached``. Among equal largest scores: the row's
    ``current`` class if it is one of them, else the class of the row's
    heaviest entry among theirs, the first of those in the row (a search's
    rows hold the nearest first), as the propagation settles its ties (which
    first asks the neighbours' rows between equally heavy entries): never the
    class of the lowest number."""
    choice = scores.argmax(axis=1).astype(np.int32)
    top = scores == scores.max(axis=1, initial=0.0)[:, None]
    tied = reached & (np.count_nonzero(top, axis=1) > 1)
    if current is not None:
        keep = tied & (current != -1) & top[np.arange(len(top)), np.maximum(current, 0)]
        choice[keep] = current[keep]
        tied &= ~keep
    if tied.any():
        row = rows.row_of_entries()
        label = codes[rows.indices]
        weights = rows.weights  # a copy's, inf, outweighs the others'
        held = tied[row] & (label != -1)
        held[held] = top[row[held], label[held]]
        entries = np.flatnonzero(held)
        # Heaviest first, then first in the row: each tied row's first entry wins.
        ordered = entries[np.lexsort((entries, -weights[entries], row[entries]))]
        winners = ordered[np.unique(row[ordered], return_index=True)[1]]
        choice[row[winners]] = label[winners]
    return np.where(reached, choice, -1).astype(np.int32)


def _holds_label(rows: Graph, codes: npt.NDArray[np.int32]) -> npt.NDArray[np.bool_]:
    """Whether each row holds a labelled entry."""
    if (codes != -1).all():
        return np.diff(rows.indptr) > 0
    held = np.zeros(rows.n_rows, dtype=bool)
    held[rows.row_of_entries()[codes[rows.indices] != -1]] = True
    return held


def _votes(rows: Graph, codes: npt.NDArray[np.int32], num_classes: int
           ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_]]:
    """Each row's summed weight per class over its labelled entries, as the
    propagation scores a sample, except that a row holding copies (weight
    inf) counts those alone, one each; and whether the row holds any
    labelled entry."""
    num_rows = rows.n_rows
    row = rows.row_of_entries()
    label = codes[rows.indices]
    known = label != -1
    weights = rows.weights
    copy = np.isinf(weights)
    if copy.any():
        has_copy = np.zeros(num_rows, dtype=bool)
        has_copy[row[known & copy]] = True
        known &= copy | ~has_copy[row]
        weights = np.where(copy, 1.0, weights)
    if not known.all():
        row, label, weights = row[known], label[known], weights[known]
    reached = np.zeros(num_rows, dtype=bool)
    reached[row] = True
    scores = np.bincount(row * num_classes + label, weights=weights, minlength=num_rows * num_classes)
    # float64 also when no weight was summed, where bincount gives int64.
    return scores.astype(np.float64, copy=False).reshape(num_rows, num_classes), reached

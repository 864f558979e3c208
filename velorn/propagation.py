"""Semi-supervised labelling of points in one call: a scikit-learn estimator
around the k-nearest-neighbour search and weighted label propagation."""

import time
import warnings
from collections.abc import Callable
from numbers import Integral, Real
from typing import Any, ClassVar, Literal, Self, cast

import numpy as np
import numpy.typing as npt
from scipy import sparse
from scipy.sparse.csgraph import breadth_first_order, connected_components
from sklearn.base import BaseEstimator, ClassifierMixin, _fit_context
from sklearn.exceptions import ConvergenceWarning
from sklearn.neighbors import VALID_METRICS, sort_graph_by_row_values
from sklearn.utils import assert_all_finite, check_consistent_length, column_or_1d
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from velorn.algorithms.src.tolmar.binaries.tolmar_knn import propagate_knn_table
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


class WeightedLabelPropagation(ClassifierMixin, BaseEstimator):  # type: ignore[misc]
    """Label every sample from a few labelled ones, along its nearest neighbours.

    Each sample is joined to its ``n_neighbors`` nearest samples; an
    unlabelled sample takes the label whose neighbours weigh most, each
    neighbour counting ``1 / distance**2``, and labels spread from sample to
    sample until no sample changes: the sweeps of ``weighted_label_propagation``,
    run straight over the neighbour table. The sweeps take the samples with a
    labelled neighbour first, so that every label rests on the nearest
    labelled samples before it spreads further.

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
        ``"precomputed"``: ``X`` is a sparse distance graph as
        ``KNeighborsTransformer(mode="distance")`` gives it (each row the
        sample itself at distance 0 and its nearest neighbours), so that any
        neighbour search can be plugged in; rows with more entries than
        ``n_neighbors`` are cut to the nearest.
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
        Most sweeps over the unlabelled samples.
    tol : float, default=1e-3
        Sweeps stop when none changed a sample's best score by that much.
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
    unreachable_ : ndarray of bool, shape (n_samples,)
        The samples that no labelled sample can be reached from; they keep
        the unlabelled marker. (Samples that ``max_iter`` cut off also keep
        it, with a ``ConvergenceWarning``.)
    n_neighbors_ : int
        The neighbours per sample actually used.
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

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "n_neighbors": [Interval(Integral, 1, None, closed="left")],
        "metric": [StrOptions({name for names in VALID_METRICS.values() for name in names}), callable],
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
            The samples; with ``metric="precomputed"``, a sparse distance
            graph of shape (n_samples, n_samples).
        y : array-like of shape (n_samples,)
            Labels (integers or strings); -1 (among strings also "-1") marks
            an unlabelled sample.

        Returns
        -------
        self : WeightedLabelPropagation
            The fitted estimator, its labels in ``transduction_``.
        """
        search = self._check_parameters()
        if y is None:
            raise ValueError(f"{type(self).__name__} requires y to be passed, but the target y is None.")
        precomputed = self.metric == "precomputed"
        if precomputed:
            # The graph's distances are checked by the sweeps, which read
            # them all anyway, or below when they do not.
            X = validate_data(self, X, accept_sparse="csr", **SKIP_FINITE_CHECK)
            _check_graph(X, X.shape[0])
        else:
            X = validate_data(self, X, accept_sparse="csr")
        y = column_or_1d(y, warn=True)
        check_consistent_length(X, y)
        if y.dtype.kind == "f":
            assert_all_finite(y, input_name="y")
        unlabelled = _unlabelled_mask(y)
        if unlabelled.all():
            raise ValueError(
                "y has no labelled sample: every entry is -1 (unlabelled). Label at least one sample."
            )
        check_classification_targets(y[~unlabelled])
        classes, codes = np.unique(y[~unlabelled], return_inverse=True)
        labels = np.full(len(y), -1, dtype=np.int32)
        labels[~unlabelled] = codes

        # Fitted attributes are set at the end, so that a failed fit leaves
        # no half-fitted estimator behind.
        num_samples = len(y)
        index = None
        if precomputed:
            ids, distances = _graph_table(X)
            if distances.dtype not in (np.float32, np.float64):  # integers, float16, another byte order
                distances = distances.astype(np.float64)
            if ids.dtype not in (np.int32, np.int64):
                ids = ids.astype(np.int64)
            if ids.size < X.nnz:  # rows cut to the shortest: the sweeps do not read every distance
                self._check_distances(X)
            # Rows that hold their own sample lose it; a graph without such
            # entries is taken as it is.
            width = min(self.n_neighbors, ids.shape[1] - _holds_self(ids))
        else:
            width = min(self.n_neighbors, num_samples - 1)
            assert search is not None  # built for every metric but "precomputed"
            index = search.fit(X)
            ids, distances = index.kneighbors(None, width + 1)

        start = time.perf_counter()
        _, distances_valid = propagate_knn_table(ids, distances, labels, width, self.max_iter, self.tol)
        if precomputed and not distances_valid:
            self._check_distances(X)  # raises, with the error for what is wrong
        self._report(f"propagation: {np.count_nonzero(unlabelled):,} unlabelled samples", start)
        unreachable = np.zeros(num_samples, dtype=bool)
        if (labels == -1).any():
            unreachable = self._explain_unlabelled(_kept_neighbours(ids, distances, width), labels)

        self.classes_ = classes
        self.n_neighbors_ = width
        self.unreachable_ = unreachable
        self.transduction_ = _decode(labels, classes, y.dtype)
        self._index = index
        self._codes = labels
        return self

    def _check_distances(self, graph: Any) -> None:
        """A precomputed graph's distances: finite (scikit-learn's check, and
        its message) and not negative."""
        validate_data(self, graph, accept_sparse="csr", reset=False)
        _check_not_negative(graph)

    def _check_parameters(self) -> NeighbourSearch | None:
        """Refuse bad parameters before any work; the neighbour search, unless
        the graph is precomputed."""
        if self.metric == "precomputed":
            return None
        return NeighbourSearch(self.metric, self.metric_params, self.p, self.search, self.n_jobs,
                               self.random_state, self.verbose, owner=type(self).__name__)

    def _explain_unlabelled(self, ids: npt.NDArray[np.int64], labels: npt.NDArray[np.int32]
                            ) -> npt.NDArray[np.bool_]:
        """Warn about (or refuse) samples left unlabelled: those no labelled
        sample can be reached from, which are returned as a mask, and those
        the sweep limit cut off."""
        num_samples = len(labels)
        rows = np.repeat(np.arange(num_samples), ids.shape[1])
        # Search backwards along the rows, from an extra node joined to every
        # labelled sample: what it finds can reach a label.
        seeds = np.flatnonzero(labels != -1)
        backwards = sparse.csr_matrix(
            (np.ones(len(rows) + len(seeds), dtype=np.int8),
             (np.concatenate([ids.ravel(), np.full(len(seeds), num_samples)]),
              np.concatenate([rows, seeds]))),
            shape=(num_samples + 1, num_samples + 1),
        )
        reachable = np.zeros(num_samples + 1, dtype=bool)
        reachable[breadth_first_order(backwards, num_samples, directed=True, return_predecessors=False)] = True
        reachable = reachable[:num_samples]
        unreachable = ~reachable
        cut_off = np.count_nonzero(reachable & (labels == -1))
        if cut_off:
            warnings.warn(
                f"{cut_off:,} samples were still unlabelled after max_iter={self.max_iter} sweeps; "
                "they keep -1 in transduction_. Raise max_iter.",
                ConvergenceWarning, stacklevel=4,
            )
        count = np.count_nonzero(unreachable)
        if not count:
            return unreachable
        inside = unreachable[rows] & unreachable[ids.ravel()]
        group_graph = sparse.csr_matrix(
            (np.ones(np.count_nonzero(inside), dtype=np.int8), (rows[inside], ids.ravel()[inside])),
            shape=(num_samples, num_samples),
        )
        _, group_of = connected_components(group_graph, directed=False)
        groups = len(np.unique(group_of[unreachable]))
        message = (
            f"{count:,} of {num_samples:,} samples, in {groups:,} group(s), cannot be reached from any "
            f"labelled sample along their {ids.shape[1]} nearest neighbours; they keep -1 in "
            "transduction_ (see unreachable_). Label a sample in each such group, or use more "
            "neighbours (n_neighbors)."
        )
        if self.on_unreachable == "raise":
            raise ValueError(message)
        warnings.warn(message, UserWarning, stacklevel=4)
        return unreachable

    # --- predict -----------------------------------------------------------------------

    def predict_proba(self, X: Any) -> npt.NDArray[np.float64]:
        """Each class's share of the weight of a sample's nearest training samples.

        Each of the ``n_neighbors`` nearest training samples counts
        ``1 / distance**2`` for its label; a training sample at distance 0
        outweighs all others.

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
        scores = self._scores(X)
        totals = scores.sum(axis=1, keepdims=True)
        return np.divide(scores, totals, out=np.zeros_like(scores), where=totals > 0)

    def predict(self, X: Any) -> npt.NDArray[Any]:
        """The label of each sample by its nearest training samples.

        The ``n_neighbors`` nearest training samples vote with their labels
        from ``fit``, each weighing ``1 / distance**2``.

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
        scores = self._scores(X)
        codes = np.where(scores.any(axis=1), scores.argmax(axis=1), -1).astype(np.int32)
        return _decode(codes, self.classes_, self.transduction_.dtype)

    def _scores(self, X: Any) -> npt.NDArray[np.float64]:
        check_is_fitted(self, "transduction_")
        num_fitted = len(self._codes)
        k = min(self.n_neighbors, num_fitted)
        if self.metric == "precomputed":
            X = validate_data(self, X, accept_sparse="csr", reset=False)
            _check_graph(X, num_fitted)
            _check_not_negative(X)
            ids, distances = _graph_rows(X, k)
        else:
            X = validate_data(self, X, accept_sparse="csr", reset=False)
            assert self._index is not None
            ids, distances = self._index.kneighbors(X, k)
        labels = self._codes[ids]
        distances = distances.astype(np.float64)
        with np.errstate(divide="ignore"):
            weights = 1.0 / distances**2
        # A sample that coincides with a training sample takes its label.
        exact = distances == 0
        weights = np.where(exact.any(axis=1, keepdims=True), exact.astype(np.float64), weights)
        known = labels != -1
        num_classes = len(self.classes_)
        sample = np.broadcast_to(np.arange(len(ids))[:, None], ids.shape)
        scores = np.bincount(
            (sample[known] * num_classes + labels[known]).astype(np.int64),
            weights=weights[known], minlength=len(ids) * num_classes,
        )
        # float64 also when no weight was summed, where bincount gives int64.
        return scores.astype(np.float64).reshape(len(ids), num_classes)

    def _report(self, what: str, start: float, final: bool = True) -> None:
        report(type(self).__name__, self.verbose, what, start, final)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.pairwise = self.metric == "precomputed"
        tags.input_tags.sparse = self.search == "exact" or self.metric == "precomputed"
        return tags

    def _more_tags(self) -> dict[str, Any]:  # scikit-learn before 1.6
        return {"pairwise": self.metric == "precomputed"}


# --- helpers ---------------------------------------------------------------------------


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


def _kept_neighbours(ids: npt.NDArray[np.integer[Any]], distances: npt.NDArray[np.floating[Any]],
                     width: int) -> npt.NDArray[np.int64]:
    """The rows of the table as the sweeps read them: nearest first (stably),
    without the first entry that is the row's own sample, cut to ``width``."""
    order = np.argsort(distances, axis=1, kind="stable")
    ids = np.take_along_axis(ids, order, axis=1).astype(np.int64)
    own = ids == np.arange(len(ids))[:, None]
    own &= np.cumsum(own, axis=1) == 1
    kept = ~own & (np.cumsum(~own, axis=1) <= width)
    return ids[kept].reshape(len(ids), width)


def _holds_self(ids: npt.NDArray[np.integer[Any]]) -> bool:
    """Whether some row of the table holds its own sample."""
    if not ids.size:
        return False
    if ids[0, 0] == 0:  # as a search gives it: the first row starts with its own sample
        return True
    samples = np.arange(len(ids))
    return bool((ids == samples[:, None]).any())


def _check_graph(graph: Any, num_columns: int) -> None:
    if not sparse.issparse(graph):
        raise ValueError(
            "metric='precomputed' takes a sparse distance graph, such as "
            "KNeighborsTransformer(mode='distance').fit_transform(points) gives"
        )
    if graph.shape[1] != num_columns:
        raise ValueError(f"the precomputed graph has {graph.shape[1]} columns, expected {num_columns} "
                         "(one per training sample)")


def _check_not_negative(graph: Any) -> None:
    if graph.nnz and graph.data.min() < 0:
        raise ValueError("the precomputed graph holds negative distances")


def _graph_table(graph: Any) -> tuple[npt.NDArray[np.integer[Any]], npt.NDArray[np.floating[Any]]]:
    """A sparse distance graph as a table of ids and one of distances, a row
    per sample, as wide as the shortest row: views of the graph's arrays
    when every row has as many entries (as KNeighborsTransformer gives it),
    else each row's nearest entries."""
    graph = sparse.csr_matrix(graph)
    num_rows = graph.shape[0]
    counts = np.diff(graph.indptr)
    width = int(counts.min()) if num_rows else 0
    if (counts == width).all():
        return graph.indices.reshape(num_rows, width), graph.data.reshape(num_rows, width)
    graph = sort_graph_by_row_values(graph, copy=True, warn_when_not_sorted=False)
    take = np.arange(graph.nnz) - np.repeat(graph.indptr[:-1], counts) < width
    return graph.indices[take].reshape(num_rows, width), graph.data[take].reshape(num_rows, width)


def _graph_rows(graph: Any, k: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """A sparse distance graph as a table of each row's ``k`` nearest entries
    (fewer if some row has fewer), nearest first."""
    ids, distances = _graph_table(graph)
    if ids.shape[1] > 1 and not (distances[:, 1:] >= distances[:, :-1]).all():
        order = np.argsort(distances, axis=1, kind="stable")
        ids, distances = np.take_along_axis(ids, order, axis=1), np.take_along_axis(distances, order, axis=1)
    return ids[:, :k].astype(np.int64), distances[:, :k].astype(np.float32)

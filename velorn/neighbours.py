"""The nearest-neighbour search under every velorn estimator: an exact search
(SciPy's k-d tree or scikit-learn's ``NearestNeighbors``) or an approximate
one (hnswlib), behind one ``fit`` / ``kneighbors`` pair."""

import math
import sys
import time
from typing import Any, Self

import numpy as np
import numpy.typing as npt
from joblib import effective_n_jobs
from scipy import sparse
from scipy.spatial import cKDTree
from sklearn.neighbors import NearestNeighbors
from sklearn.preprocessing import normalize
from sklearn.utils import check_random_state

from velorn.graph import unit_of

# Searches report progress after each twentieth of the samples, at least this many.
PROGRESS_CHUNK = 20_000
# hnswlib's index settings: recall close to 1 on clustered data at a fraction
# of the exact search's time (bench/bench_compare.py measures both).
HNSW_M = 12
HNSW_EF_CONSTRUCTION = 48
HNSW_EF_SEARCH = 32
# The training samples are inserted and searched in the order of a k-d
# tree's leaves (on at most this many random directions of the features), so
# that consecutive steps walk nearby parts of the index: at millions of
# samples it no longer fits any cache, and a random order waits on memory at
# every step. This share of them goes in first, at random, so that the index
# holds links across the whole data set: inserted in the leaves' order from
# the start, it misses a twelfth of the neighbours at two million samples;
# with them, fewer than in a random order throughout.
LOCALITY_DIRECTIONS = 8
SKELETON_SHARE = 0.25
HNSW_SPACES = {"minkowski": "l2", "euclidean": "l2", "l2": "l2", "cosine": "cosine"}
# The exact search: SciPy's k-d tree for these metrics (scikit-learn's names;
# "minkowski" takes its p) in up to as many features as scikit-learn itself
# uses trees for; above that scikit-learn's brute force is faster.
KD_TREE_P = {"euclidean": 2.0, "l2": 2.0, "manhattan": 1.0, "cityblock": 1.0, "l1": 1.0,
             "chebyshev": math.inf, "infinity": math.inf}
KD_TREE_MAX_FEATURES = 15
# The training samples search each other with ids in 4 bytes while they
# number fewer than this: that table, and the graph made in its place, are
# a fit's largest arrays. Ids of other searches stay int64, as callers add
# offsets to them.
INT32_IDS_BELOW = 2**31
# Distances recomputed exactly in blocks of about this many coordinates.
EXACT_DISTANCE_BLOCK = 1 << 22
# Metrics whose distances all scale alike with the coordinates, so that the
# samples may be rescaled before the search without changing any label.
SCALE_FREE_METRICS = {"minkowski", "euclidean", "l2", "manhattan", "cityblock", "l1", "chebyshev", "infinity",
                      "sqeuclidean", "seuclidean", "mahalanobis", "cosine", "correlation", "canberra", "braycurtis"}


class NeighbourSearch:
    """The ``k`` nearest training samples of any samples, nearest first.

    Parameters follow scikit-learn's ``NearestNeighbors``: ``metric``,
    ``metric_params``, ``p``, ``n_jobs`` (None: one thread unless in a joblib
    context, -1: all cores). ``search="approximate"`` uses hnswlib, built
    from ``random_state``; ``verbose`` prints each step's time, prefixed by
    ``owner``. Combinations no search can serve are refused here, before any
    work.
    """

    def __init__(self, metric: Any = "minkowski", metric_params: dict[str, Any] | None = None,
                 p: float | None = 2, search: str = "exact", n_jobs: int | None = None,
                 random_state: Any = None, verbose: bool | int = False, owner: str = "velorn") -> None:
        self.metric, self.metric_params, self.p = metric, metric_params, 2.0 if p is None else p
        self.search, self.random_state, self.verbose, self.owner = search, random_state, verbose, owner
        self.n_jobs = n_jobs
        self.threads = effective_n_jobs(n_jobs)  # refuses n_jobs=0
        if search == "approximate":
            if not isinstance(metric, str) or metric not in HNSW_SPACES or metric_params \
                    or (metric == "minkowski" and self.p != 2):
                raise ValueError(
                    f"search='approximate' supports the metrics {sorted(HNSW_SPACES)} (minkowski with p=2) "
                    f"without metric_params, got metric={metric!r}, p={p!r}, metric_params={metric_params!r}; "
                    "use search='exact' for the others"
                )
            import_hnswlib()

    # --- building ----------------------------------------------------------------------

    def fit(self, X: Any, unit: float | None = None) -> Self:
        """Index the training samples ``X`` (dense, or sparse for the exact
        search). ``unit``: the power of two the samples are scaled by, for
        indexes of parts of one data set that must measure alike; None: taken
        from ``X`` itself."""
        if sparse.issparse(X) and self.search == "approximate":
            raise ValueError(
                "search='approximate' takes dense features only; use search='exact' for sparse X "
                "(or reduce it first, for example with TruncatedSVD)"
            )
        self.largest_ = _largest_magnitude(X)
        self.unit_ = self.unit(self.largest_) if unit is None else unit
        if self.unit_ != 1.0:
            X = X * self.unit_
            self.largest_ *= self.unit_
        self._check_magnitude(self.largest_, X.shape[1])
        start = time.perf_counter()
        self.fit_X_ = X
        if self.search == "exact":
            self.index_ = self._exact_index(X)
        else:
            self.index_ = self._approximate_index(X, start)
        self.report(f"index of {X.shape[0]:,} samples", start)
        return self

    def _exact_index(self, X: Any) -> Any:
        p = self.p if self.metric == "minkowski" else KD_TREE_P.get(self.metric) if isinstance(self.metric, str) \
            else None
        if p is not None and p >= 1 and not self.metric_params and not sparse.issparse(X) \
                and X.shape[1] <= KD_TREE_MAX_FEATURES:
            self.tree_p_ = p
            return cKDTree(X)
        return NearestNeighbors(metric=self.metric, metric_params=self.metric_params, p=self.p,
                                n_jobs=self.n_jobs).fit(X)

    def _approximate_index(self, X: npt.NDArray[np.float64], start: float) -> Any:
        """hnswlib's index of ``X`` in float32, which holds the data faithfully
        only near the origin at a moderate scale: for the Euclidean metrics
        the samples are centred and scaled by a power of two (so that only
        their float32 rounding is lost, relative to their spread), for the
        cosine one normalised. Distances are then recomputed from the data
        itself, so that the rounding can cost recall, never a distance."""
        self.space_ = HNSW_SPACES[self.metric]
        if self.space_ == "cosine":
            self.fit_X_ = normalize(X)
        else:
            self.centre_ = X.mean(axis=0)
            spread = float(np.max(np.maximum(X.max(axis=0) - self.centre_, self.centre_ - X.min(axis=0))))
            self.scale_ = math.ldexp(1.0, -math.frexp(spread)[1]) if spread > 0 else 1.0
        hnswlib = import_hnswlib()
        index = hnswlib.Index(space=self.space_, dim=X.shape[1])
        seed = int(check_random_state(self.random_state).randint(np.iinfo(np.int32).max))
        index.init_index(max_elements=len(X), ef_construction=HNSW_EF_CONSTRUCTION, M=HNSW_M,
                         random_seed=seed)
        self._training_order = _locality_order(self.fit_X_)
        insertion = _insertion_order(self._training_order, np.random.default_rng(seed))
        step_size = _chunk_size(len(X))
        for begin in range(0, len(X), step_size):
            end = min(begin + step_size, len(X))
            ids = insertion[begin:end]
            index.add_items(self._to_index_space(self.fit_X_[ids]), ids, num_threads=self._insertion_threads())
            if end < len(X):
                self.report(f"index: {end:,} of {len(X):,} samples", start, final=False)
        return index

    def _insertion_threads(self) -> int:
        """Several threads insert the samples in an order that varies from run
        to run, and so does the graph: a fixed random_state builds on one."""
        return 1 if self.random_state is not None else self.threads

    def _to_index_space(self, X: npt.NDArray[np.float64]) -> npt.NDArray[np.float32]:
        if self.space_ == "cosine":
            return np.asarray(normalize(X), dtype=np.float32)
        return ((X - self.centre_) * self.scale_).astype(np.float32)

    # --- searching ---------------------------------------------------------------------

    def kneighbors(self, X: Any, k: int) -> tuple[npt.NDArray[np.signedinteger[Any]], npt.NDArray[np.floating[Any]]]:
        """The ids (int64) and distances of the ``k`` nearest training samples
        of each row of ``X``, nearest first. ``X=None``: of the training
        samples themselves, each its own first neighbour (the approximate
        search's rows that miss it are searched again, exactly), with int32
        ids while they number fewer than INT32_IDS_BELOW."""
        training = X is None
        if training:
            X = self.fit_X_
        else:
            if self.unit_ != 1.0:
                X = X * self.unit_
            self._check_magnitude(_largest_magnitude(X), X.shape[1])
            if sparse.issparse(X) and not isinstance(self.index_, NearestNeighbors):
                X = X.toarray()  # the index holds dense training samples of as many features
        step = "neighbour search" if training else "search of new samples"
        start = time.perf_counter()
        narrow = training and X.shape[0] < INT32_IDS_BELOW
        ids = np.empty((X.shape[0], k), dtype=np.int32 if narrow else np.int64)
        distances = np.empty((X.shape[0], k), dtype=np.float64)
        if not k or not X.shape[0]:
            return ids, distances
        if self.search == "approximate":
            self.index_.set_ef(max(HNSW_EF_SEARCH, k))
        # A twentieth of the rows at a time: the searches' own tables of ids,
        # distances and sort orders then stay small beside the result.
        # Each search is independent of the others: the training samples go
        # in an order that keeps the index's memory warm (LOCALITY_DIRECTIONS).
        order = None
        if training and self.search == "approximate":
            order = self.__dict__.pop("_training_order", None)
            order = _locality_order(X) if order is None else order
        step_size = _chunk_size(X.shape[0])
        for begin in range(0, X.shape[0], step_size):
            end = min(begin + step_size, X.shape[0])
            rows = slice(begin, end) if order is None else order[begin:end]
            ids[rows], distances[rows] = self._search(self.index_, X[rows], k)
            done = end == X.shape[0]
            self.report(f"{step}: {X.shape[0]:,} samples" if done else f"{step}: {end:,} of {X.shape[0]:,} samples",
                        start, final=done)
        if training and self.search == "approximate":
            self._search_missed_again(ids, distances)
        return ids, distances

    def _search(self, index: Any, X: Any, k: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        if isinstance(index, cKDTree):
            distances, ids = index.query(X, k=k, p=self.tree_p_, workers=self.threads)
            # One neighbour comes as 1-D arrays.
            return ids.reshape(len(X), k), distances.reshape(len(X), k)
        if isinstance(index, NearestNeighbors):
            distances, ids = index.kneighbors(X, n_neighbors=k)
            return ids, distances
        ids = index.knn_query(self._to_index_space(X), k=k, num_threads=self.threads)[0].astype(np.int64)
        return self._exact_distances(X, ids)

    def _exact_distances(self, X: npt.NDArray[np.float64], ids: npt.NDArray[np.int64]
                         ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """The distances from each row of ``X`` to its found neighbours, in
        float64 from the data, with each row sorted by them."""
        distances = np.empty(ids.shape, dtype=np.float64)
        rows = max(1, EXACT_DISTANCE_BLOCK // max(ids.shape[1] * X.shape[1], 1))
        for begin in range(0, len(ids), rows):
            block = np.asarray(X[begin:begin + rows], dtype=np.float64)
            # np.take gathers rows a few times faster than fancy indexing does.
            found = np.asarray(np.take(self.fit_X_, ids[begin:begin + rows], axis=0), dtype=np.float64)
            if self.space_ == "cosine":
                similarity = np.einsum("ij,ikj->ik", normalize(block), found)
                distances[begin:begin + rows] = np.maximum(1.0 - similarity, 0.0)
            else:
                differences = np.subtract(found, block[:, None, :], out=found)
                distances[begin:begin + rows] = np.sqrt(np.einsum("ijk,ijk->ij", differences, differences))
        order = np.argsort(distances, axis=1, kind="stable")
        return np.take_along_axis(ids, order, axis=1), np.take_along_axis(distances, order, axis=1)

    def _search_missed_again(self, ids: npt.NDArray[np.signedinteger[Any]],
                             distances: npt.NDArray[np.float64]) -> None:
        """Search again the training samples the approximate search did not reach.

        Every sample is its own nearest neighbour, so a row that lacks its
        own sample (and is not full of duplicates at distance 0) shows a
        miss: hnswlib's graph holds no link into the sample, or into a group
        of samples far from the rest, and its search then returns neighbours
        from elsewhere, which would silently join a group to labels it
        cannot reach. Such samples are given to the index again, which links
        each anew to its nearest samples and those back to it; their rows
        are then searched again, and the few that still miss themselves
        exactly: among millions of samples the exact search takes over ten
        times the index's time a row."""
        def lacking_themselves(rows: npt.NDArray[np.intp]) -> npt.NDArray[np.intp]:
            return rows[~(ids[rows] == rows[:, None]).any(axis=1) & (distances[rows, 0] > 0)]

        missed = lacking_themselves(np.arange(len(ids)))
        if not len(missed):
            return
        start = time.perf_counter()
        exact = None
        searched = np.zeros(len(ids), dtype=bool)
        total = total_exact = 0
        while len(missed):
            unreached = lacking_themselves(missed)
            if len(unreached):
                self.index_.add_items(self._to_index_space(self.fit_X_[unreached]), unreached,
                                      num_threads=self._insertion_threads())
            ids[missed], distances[missed] = self._search(self.index_, self.fit_X_[missed], ids.shape[1])
            still = lacking_themselves(missed)
            if len(still):
                if exact is None:
                    exact = NeighbourSearch(self.metric, self.metric_params, self.p, "exact",
                                            self.n_jobs).fit(self.fit_X_)
                ids[still], distances[still] = exact.kneighbors(self.fit_X_[still], ids.shape[1])
                total_exact += len(still)
            searched[missed] = True
            total += len(missed)
            # The graph search may have entered such a group by a few samples
            # only, whose rows then hold far samples besides some of the
            # group. A row searched again that finds sample j nearer than j's
            # own farthest neighbour, without j's row holding it, shows j's
            # row missed it (distances are symmetric): j is searched again too.
            rows, found = np.repeat(missed, ids.shape[1]), ids[missed].ravel()
            nearer = distances[missed].ravel() < distances[found, -1]
            lacking = nearer & ~(ids[found] == rows[:, None]).any(axis=1) & ~searched[found]
            missed = np.unique(found[lacking])
        self.report(f"search again of the {total:,} samples the approximate search missed, "
                    f"{total_exact:,} of them exactly", start)

    # --- checks and progress -----------------------------------------------------------

    def unit(self, largest: float) -> float:
        """The power of two that brings samples of the metrics that scale
        alike with them, ``largest`` in magnitude, into the safe range: 1.0
        when they lie in it. Multiplying by a power of two is exact, so the
        distances come out scaled exactly and the labels do not change."""
        if not isinstance(self.metric, str) or self.metric not in SCALE_FREE_METRICS:
            return 1.0
        return unit_of(largest)

    def _check_magnitude(self, largest: float, num_features: int) -> None:
        """Refuse coordinates so large that the distances between samples
        (or their squares, which weigh the neighbours) overflow float64."""
        p = self.p if self.metric == "minkowski" else KD_TREE_P.get(self.metric, 2.0) \
            if isinstance(self.metric, str) else 2.0
        log_max = math.log(np.finfo(np.float64).max)
        log_features = math.log(max(num_features, 1))
        # The search sums |difference|**p over the features; the weights square the distance.
        log_limit = 0.5 * log_max if math.isinf(p) else min((log_max - log_features) / max(p, 2.0),
                                                             0.5 * log_max - log_features / p)
        spread = self.largest_ + largest
        if spread > 0 and math.log(spread) > log_limit:
            raise ValueError(
                f"X holds coordinates up to {max(self.largest_, largest):.3g} in magnitude, too large for "
                f"distances in float64: in {num_features} features they overflow beyond "
                f"{math.exp(log_limit) / 2:.3g}. Scale the features down, for example divide X by a power of ten."
            )

    def report(self, what: str, start: float, final: bool = True) -> None:
        """Print a step and its time, when verbose."""
        report(self.owner, self.verbose, what, start, final)


def report(owner: str, verbose: Any, what: str, start: float, final: bool = True) -> None:
    """Print ``what`` and the time since ``start`` when ``verbose``; a line that
    is not ``final`` is overwritten by the next one on a terminal."""
    if verbose:
        line = f"[{owner}] {what} ({time.perf_counter() - start:.2f} s)"
        end = "\n" if final or not sys.stdout.isatty() else "\r"
        print(line, end=end, flush=True)


def import_hnswlib() -> Any:
    try:
        import hnswlib
    except ImportError:
        raise ImportError(
            "search='approximate' needs hnswlib; install it with: pip install 'velorn[fast]'"
        ) from None
    return hnswlib


def _locality_order(X: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]:
    """The samples in the order of a k-d tree's leaves: consecutive ones lie close together."""
    if X.shape[1] > LOCALITY_DIRECTIONS:
        X = X @ np.random.default_rng(0).standard_normal((X.shape[1], LOCALITY_DIRECTIONS))
    return cKDTree(X).indices


def _insertion_order(locality: npt.NDArray[np.intp], rng: np.random.Generator) -> npt.NDArray[np.intp]:
    """A random SKELETON_SHARE of the samples in a random order, then the
    others in the order of ``locality``."""
    first = rng.random(len(locality)) < SKELETON_SHARE
    return np.concatenate([rng.permutation(np.flatnonzero(first)), locality[~first[locality]]])


def _chunk_size(num_samples: int) -> int:
    return max(PROGRESS_CHUNK, -(-num_samples // 20))


def _largest_magnitude(X: Any) -> float:
    values = X.data if sparse.issparse(X) else X
    if not values.size:
        return 0.0
    return max(float(values.max()), -float(values.min()))

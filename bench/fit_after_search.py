"""The estimator's fit after the neighbour search, alone: the search's table
is computed once and handed back by the estimator's search, so that two
versions of the package (each installed in an environment of its own) can be
timed in turn on the same data.

    python -P bench/fit_after_search.py [num_points]      # best of REPEATS fits

Blobs in 4-D, 15 neighbours, 1% labelled; a fit on the points and one on a
KNeighborsTransformer(mode="distance") graph. Runs from before velorn.neighbours
existed are timed through the estimator's own _build_index and _query.
"""

import gc
import os
import sys
import time

import numpy as np
from scipy.spatial import cKDTree
from sklearn.datasets import make_blobs
from sklearn.neighbors import KNeighborsTransformer

import velorn.propagation as propagation
from velorn import WeightedLabelPropagation

NEIGHBOURS = 15
REPEATS = int(os.environ.get("VELORN_BENCH_REPEATS", "7"))


def main(num_points):
    X, truth = make_blobs(num_points, n_features=4, centers=5, random_state=0)
    y = np.where(np.random.default_rng(0).random(num_points) < 0.01, truth, -1)
    distances, ids = cKDTree(X).query(X, k=NEIGHBOURS + 1)
    graph = KNeighborsTransformer(n_neighbors=NEIGHBOURS, mode="distance").fit_transform(X)
    if hasattr(propagation, "propagate_knn_table"):  # the estimator searched by itself
        propagation.WeightedLabelPropagation._build_index = lambda self, X: None
        propagation.WeightedLabelPropagation._query = lambda self, index, X, k, step: (ids[:, :k], distances[:, :k])
    else:
        import velorn.neighbours as neighbours

        neighbours.NeighbourSearch.fit = lambda self, X: self
        neighbours.NeighbourSearch.kneighbors = lambda self, X, k: (ids[:, :k], distances[:, :k])
    fits = {"points": lambda: WeightedLabelPropagation(n_neighbors=NEIGHBOURS).fit(X, y),
            "precomputed": lambda: WeightedLabelPropagation(n_neighbors=NEIGHBOURS, metric="precomputed").fit(graph, y)}
    for name, fit in fits.items():
        spent = []
        for _ in range(REPEATS):
            gc.collect()
            gc.disable()
            start = time.perf_counter()
            fit()
            spent.append(time.perf_counter() - start)
            gc.enable()
        print(f"{name}: {num_points:,} points, fit after the search {min(spent):.3f} s (best of {REPEATS})")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200_000)

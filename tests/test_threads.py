"""Threads calling the kernels and the package's own native functions at once,
each on inputs of its own, get the same results as the same calls made one
after another."""

import threading
import time

import numpy as np

from examples import container_rows, run_interleaved
from velorn import GraphWrapper
from velorn.algorithms.src.tolmar.binaries import tolmar_lp as lp
from velorn.algorithms.src.tolmar.binaries import tolmar_connect as tc
from velorn.algorithms.src.kelvo.binaries import kelvo_postprocess as kp
from velorn._native.nearest_centroid import nearest_centroid
from velorn._native import class_shifts, label_sweeps, poisson_solver

NODES = 300


class Yielding(GraphWrapper):
    """A container that lets the other threads run at every call."""

    def to_numpy(self, i):
        time.sleep(0)
        return super().to_numpy(i)

    def contains(self, i, value):
        time.sleep(0)
        return super().contains(i, value)


def knn_graph(rng, k=4):
    return rng.integers(0, NODES, (NODES, k)), rng.uniform(0.1, 3.0, (NODES, k)).astype(np.float32)


def propagation(seed):
    rng = np.random.default_rng(seed)
    ids, weights = knn_graph(rng)
    labels = np.where(rng.random(NODES) < 0.05, rng.integers(0, 5, NODES), -1).astype(np.int32)
    return lp.weighted_label_propagation(Yielding.from_knn(ids), Yielding.from_knn(weights), labels).tolist()


def connection(seed):
    rng = np.random.default_rng(seed)
    ids, weights = knn_graph(rng)
    # Node 0 alone is labelled; every other node is a component of its own.
    components = [([0], True)] + [([i], False) for i in range(1, NODES)]
    labelled = np.zeros(NODES, np.uint8)
    labelled[0] = 1
    ids[:, 0] = np.maximum(np.arange(NODES) - 1, 0)  # node i sees i - 1: every node can be reached
    connections, edge_weights = Yielding.empty(NODES, np.int64), Yielding.empty(NODES, np.float32)
    tc.connect_unlabeled(ids, weights, components, labelled, connections, edge_weights)
    return container_rows(connections), container_rows(edge_weights)


def postprocessing(seed):
    rng = np.random.default_rng(seed)
    points = rng.normal(size=(200, 3))
    labels = np.where(rng.random(200) < 0.3, -1, rng.integers(0, 6, 200)).astype(np.int32)
    return kp.kelvo_postprocess(points, labels, threshold=int(rng.integers(-1, 3))).tolist()


def graph_rows(seed):
    # The kernels on plain GraphWrapper containers, whose native methods never
    # let other threads run themselves: the switches come from the rest.
    rng = np.random.default_rng(seed)
    ids, weights = knn_graph(rng)
    connections, edge_weights = GraphWrapper.from_knn(ids[:, :1]), GraphWrapper.from_knn(weights[:, :1])
    components = [([0], True)] + [([i], False) for i in range(1, NODES)]
    labelled = np.zeros(NODES, np.uint8)
    labelled[0] = 1
    ids[:, 0] = np.maximum(np.arange(NODES) - 1, 0)
    tc.connect_unlabeled(ids, weights, components, labelled, connections, edge_weights)
    labels = np.where(np.arange(NODES) == 0, 1, -1).astype(np.int32)
    lp.weighted_label_propagation(connections, edge_weights, labels)
    return container_rows(connections), labels.tolist(), connections.to_csr(edge_weights).toarray().tolist()


class YieldingMetric:
    """Euclidean distances on points' rows, letting the other threads run first."""

    def pairwise(self, X, Y):
        time.sleep(0)
        return np.sqrt(((X[:, None, :] - Y[None, :, :]) ** 2).sum(axis=2))


def own_functions(seed):
    # The package's own native functions: the label sweeps, the Poisson
    # passes and the class shifts, all run without the interpreter lock
    # (the passes on threads of their own), and the nearest centroid, whose
    # metric lets others run.
    rng = np.random.default_rng(seed)
    ids, distances = knn_graph(rng)
    ids[:, 0] = np.arange(NODES)
    distances[:, 0] = 0.0
    labels = np.where(rng.random(NODES) < 0.05, rng.integers(0, 3, NODES), -1).astype(np.int32)
    indptr = np.arange(0, 4 * NODES + 1, 4)
    swept = label_sweeps.propagate_rows(indptr, ids.ravel(), distances.ravel().astype(np.float64), labels, 100, 0.0)
    graph = poisson_solver.poisson_graph(*poisson_solver.poisson_symmetrised(indptr, ids.ravel(),
                                                                             distances.ravel(), 2), None, 2)
    solution = np.zeros((NODES, 3))
    passes = poisson_solver.poisson_solve(graph, labels, solution, 50, 0.0, 2)
    shifts = np.zeros(3)
    class_shifts.class_shifts(solution, np.full(3, 1 / 3), shifts, 0.1, 20)
    points = rng.normal(size=(NODES, 2))
    nearest = nearest_centroid(points, np.arange(0, NODES, 3), points[:5].copy(), YieldingMetric(), 1.0)
    return swept, labels.tolist(), passes, solution.tolist(), shifts.tolist(), nearest.tolist()


JOBS = [(kernel, seed) for seed in range(4)
        for kernel in (propagation, connection, postprocessing, graph_rows, own_functions)]


def test_concurrent_calls_match_calls_in_turn():
    expected = [kernel(seed) for kernel, seed in JOBS]
    results = [None] * len(JOBS)
    errors = []
    start = threading.Barrier(len(JOBS))

    def work(k):
        kernel, seed = JOBS[k]
        try:
            start.wait()
            results[k] = kernel(seed)
        except BaseException as exc:  # reported below, in the main thread
            errors.append(exc)

    run_interleaved([threading.Thread(target=work, args=(k,)) for k in range(len(JOBS))])
    assert not errors, errors
    assert results == expected

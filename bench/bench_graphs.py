"""velorn on general graphs, against the graph libraries, and the effect of the
samples' order on the point workloads.

    python bench/bench_graphs.py                         # 10k, 100k and 1M nodes
    python bench/bench_graphs.py --sizes 10000 100000
    python bench/run.py --only bench_graphs --sizes 10000

- Planted partitions: 5 equal blocks, mean degree 15, a share mu (0.1 to 0.4)
  of each node's edges leaving its block, edge weights uniform in 0.5 .. 2
  whatever the blocks, nodes in random order, 1% of them seeds. Every method
  gets the same weighted, symmetric adjacency matrix and the same seeds:
  velorn's WeightedLabelPropagation(metric="precomputed_affinity"),
  scikit-network's Propagation and DiffusionClassifier, igraph's
  community_label_propagation (seeds fixed; each community found is given
  the label most of its seeds hold, -1 when it holds none), graphlearning's
  Poisson learning.
- Zachary's karate club (networkx): weighted, the two leaders labelled.
- Point workloads (two moons, blobs, overlapping classes, digits; exact
  15-nearest-neighbour search, 1% labelled, at least one per class): velorn's
  accuracy in the given order and the share of its labels that change when
  the samples arrive sorted by their first feature or shuffled.
Accuracy is over the unlabelled samples, a -1 counting as wrong. Times are
one fit each, after the graph is built, on a machine others may share.
"""

import argparse
import json
import pathlib
import sys
import time

import numpy as np
from scipy import sparse

SEED = 0
BLOCKS = 5
DEGREE = 15
MUS = (0.1, 0.2, 0.3, 0.4)
DEFAULT_SIZES = [10_000, 100_000, 1_000_000]
POINTS = 5_000


def planted_partition(n, mu, seed=SEED):
    """A symmetric weighted adjacency matrix of BLOCKS equal blocks and each
    node's true block, nodes in random order."""
    rng = np.random.default_rng(seed)
    truth = rng.permutation(np.arange(n) % BLOCKS)
    members = np.argsort(truth, kind="stable")
    starts = np.searchsorted(truth[members], np.arange(BLOCKS + 1))
    num_edges = n * DEGREE // 2
    sources = rng.integers(0, n, num_edges)
    blocks = truth[sources]
    leave = rng.random(num_edges) < mu
    blocks = np.where(leave, (blocks + rng.integers(1, BLOCKS, num_edges)) % BLOCKS, blocks)
    sizes = starts[blocks + 1] - starts[blocks]
    targets = members[starts[blocks] + (rng.random(num_edges) * sizes).astype(np.int64)]
    keep = sources != targets
    weights = rng.uniform(0.5, 2.0, num_edges)[keep]
    upper = sparse.coo_matrix((weights, (sources[keep], targets[keep])), shape=(n, n)).tocsr()
    return (upper + upper.T).tocsr(), truth


def seeds_of(truth, share=0.01, seed=SEED):
    rng = np.random.default_rng(seed)
    y = np.full(len(truth), -1)
    chosen = rng.choice(len(truth), max(1, int(len(truth) * share)), replace=False)
    y[chosen] = truth[chosen]
    for label in np.unique(truth):  # every class seeded
        if not (y == label).any():
            first = np.flatnonzero(truth == label)[0]
            y[first] = label
    return y


def accuracy(prediction, truth, y):
    unlabelled = y == -1
    return float(np.mean(np.asarray(prediction)[unlabelled] == truth[unlabelled]))


def velorn_graph(adjacency, y):
    from velorn import WeightedLabelPropagation

    return WeightedLabelPropagation(metric="precomputed_affinity").fit(adjacency, y).transduction_


def velorn_poisson(adjacency, y):
    from velorn import PoissonLabelPropagation

    return PoissonLabelPropagation(metric="precomputed_affinity").fit(adjacency, y).transduction_


def sknetwork_method(name):
    def fit(adjacency, y):
        from sknetwork import classification

        method = getattr(classification, name)()
        return method.fit_predict(adjacency, labels={int(i): int(y[i]) for i in np.flatnonzero(y != -1)})

    return fit


def igraph_propagation(adjacency, y):
    import igraph

    upper = sparse.triu(adjacency, k=1).tocoo()
    graph = igraph.Graph(n=adjacency.shape[0], edges=np.column_stack([upper.row, upper.col]), directed=False)
    membership = np.asarray(graph.community_label_propagation(
        weights=upper.data.tolist(), initial=y.tolist(), fixed=(y != -1).tolist()).membership)
    # Communities are renumbered: each takes the label most of its seeds hold.
    seeded = y != -1
    counts = np.zeros((membership.max() + 1, y.max() + 1))
    np.add.at(counts, (membership[seeded], y[seeded]), 1)
    label = np.where(counts.any(axis=1), counts.argmax(axis=1), -1)
    return label[membership]


def graphlearning_poisson(adjacency, y):
    import graphlearning

    train = np.flatnonzero(y != -1)
    return graphlearning.ssl.poisson(adjacency).fit_predict(train, y[train])


GRAPH_METHODS = {
    "velorn": velorn_graph,
    "velorn Poisson": velorn_poisson,
    "sknetwork Propagation": sknetwork_method("Propagation"),
    "sknetwork DiffusionClassifier": sknetwork_method("DiffusionClassifier"),
    "igraph label_propagation": igraph_propagation,
    "graphlearning Poisson": graphlearning_poisson,
}


def run_graph(workload, size, adjacency, truth, y, rows):
    for method, fit in GRAPH_METHODS.items():
        try:
            start = time.perf_counter()
            prediction = fit(adjacency, y)
            seconds = time.perf_counter() - start
        except ImportError as error:
            print(f"skipping {method}: {error}", file=sys.stderr)
            continue
        rows.append({"kernel": "graphs", "workload": workload, "size": size, "method": method,
                     "accuracy": accuracy(prediction, truth, y), "seconds": seconds})
        print(f"{workload:<28} {size:>9} {method:<30} {rows[-1]['accuracy']:.4f} {seconds:8.3f} s",
              file=sys.stderr, flush=True)


def karate(rows):
    try:
        import networkx as nx
    except ImportError as error:
        print(f"skipping the karate club: {error}", file=sys.stderr)
        return
    graph = nx.karate_club_graph()
    truth = np.array([graph.nodes[node]["club"] == "Officer" for node in graph], dtype=int)
    y = np.full(len(truth), -1)
    y[[0, 33]] = truth[[0, 33]]
    run_graph("karate club", len(truth), sparse.csr_matrix(nx.to_scipy_sparse_array(graph, weight="weight")), truth, y,
              rows)


def point_workloads():
    from sklearn.datasets import load_digits, make_blobs, make_classification, make_moons

    yield "two moons", *make_moons(POINTS, noise=0.15, random_state=SEED)
    yield "blobs", *make_blobs(POINTS, centers=5, n_features=4, cluster_std=2.5, random_state=SEED)
    yield "overlapping classes", *make_classification(POINTS, n_features=4, n_informative=4, n_redundant=0,
                                                      n_classes=4, random_state=SEED)
    digits = load_digits()
    yield "digits", digits.data / 16, digits.target


def run_points(rows):
    from velorn import WeightedLabelPropagation

    for workload, points, truth in point_workloads():
        y = seeds_of(truth)
        orders = {"sorted": np.argsort(points[:, 0], kind="stable"),
                  "shuffled": np.random.default_rng(SEED).permutation(len(truth))}
        given = WeightedLabelPropagation().fit(points, y).transduction_
        row = {"kernel": "graphs", "workload": workload, "size": len(truth), "method": "velorn",
               "accuracy": accuracy(given, truth, y)}
        for name, order in orders.items():
            labels = WeightedLabelPropagation().fit(points[order], y[order]).transduction_
            row[f"changed {name}"] = float(np.mean(labels != given[order]))
            row[f"accuracy {name}"] = accuracy(labels, truth[order], y[order])
        rows.append(row)
        print(f"{workload:<28} {len(truth):>9} velorn {row}", file=sys.stderr, flush=True)


def run(sizes):
    rows = []
    # Imports and first calls outside the timings.
    adjacency, truth = planted_partition(1000, 0.1)
    for fit in GRAPH_METHODS.values():
        try:
            fit(adjacency, seeds_of(truth))
        except ImportError:
            pass
    for size in sizes:
        for mu in MUS:
            adjacency, truth = planted_partition(size, mu)
            run_graph(f"planted partition, mu {mu}", size, adjacency, truth, seeds_of(truth), rows)
    karate(rows)
    run_points(rows)
    return rows


def print_report(rows):
    print(f"{'workload':<28} {'size':>9} {'method':<30} {'accuracy':>9} {'fit s':>8}  order")
    for row in rows:
        order = ""
        if "changed sorted" in row:
            order = (f"changed {row['changed sorted']:.2%} sorted (accuracy {row['accuracy sorted']:.4f}), "
                     f"{row['changed shuffled']:.2%} shuffled (accuracy {row['accuracy shuffled']:.4f})")
        seconds = f"{row['seconds']:8.3f}" if "seconds" in row else " " * 8
        print(f"{row['workload']:<28} {row['size']:>9} {row['method']:<30} {row['accuracy']:9.4f} {seconds}  {order}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=DEFAULT_SIZES)
    parser.add_argument("--output", default=str(pathlib.Path(__file__).resolve().parent / "results" / "graphs.json"))
    args = parser.parse_args(argv)
    rows = run(args.sizes)
    print_report(rows)
    pathlib.Path(args.output).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.output).write_text(json.dumps(rows, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())

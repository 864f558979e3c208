"""Walk through velorn's two methods on generated and real data.

    python -m velorn.demo [--size small|large] [--seed N] [--plot FILE.png]

Graph method: label 1% of a k-nearest-neighbour graph of Gaussian blobs,
attach every graph component to a labelled one (connect_unlabeled) and spread
the labels along the edges (weighted_label_propagation).

Clustering method: cluster an embedding of scikit-learn's handwritten digits
with HDBSCAN and hand its noise points to the nearest cluster centroid
(kelvo_postprocess).
"""

import argparse
import importlib
import sys
import time
from contextlib import contextmanager
from types import SimpleNamespace

import numpy as np
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components
from sklearn.cluster import HDBSCAN
from sklearn.datasets import load_digits, make_blobs
from sklearn.decomposition import PCA
from sklearn.manifold import SpectralEmbedding
from sklearn.metrics import adjusted_rand_score
from sklearn.neighbors import NearestNeighbors

from velorn.algorithms.graph_wrapper import GraphWrapper

# The native modules are imported where they are used, so that --help and the
# hint printed when they are missing work before the package is built.

GRAPH_POINTS = {"small": 200_000, "large": 1_000_000}
NUM_BLOBS = 10
# Four dimensions keep the k-NN search to seconds; at eight it takes minutes.
BLOB_DIMS = 4
BLOB_STD = 1.0
KNN_K = 15
LABELLED_SHARE = 0.01
PLOT_SAMPLE = 5_000

NATIVE_MODULES = (
    "velorn.algorithms.src.tolmar.binaries.tolmar_connect",
    "velorn.algorithms.src.tolmar.binaries.tolmar_lp",
    "velorn.algorithms.src.kelvo.binaries.kelvo_postprocess",
)


@contextmanager
def timed_step(name):
    """Print a step as it runs: its name now; a count (set on the yielded
    object) and the elapsed seconds when it ends."""
    print(f"  {name:<32}", end="", flush=True)
    step = SimpleNamespace(count="")
    start = time.perf_counter()
    try:
        yield step
    finally:
        # Ends the line also when the step fails, so a traceback starts clean.
        print(f"{step.count:>30}  {time.perf_counter() - start:7.2f} s", flush=True)


# --- graph method --------------------------------------------------------------------


def nearest_neighbours(points, k):
    """k nearest neighbours of every point, the point itself left out.

    Returns int64 ids and float32 distances, one row of k per point.
    """
    num_points = len(points)
    distances, ids = NearestNeighbors(n_neighbors=k + 1, n_jobs=-1).fit(points).kneighbors(points)
    # Among duplicate points the point itself need not come first, so look for
    # it; a row that misses it drops its farthest neighbour instead.
    is_self = ids == np.arange(num_points)[:, None]
    is_self[~is_self.any(axis=1), -1] = True
    keep = ~is_self
    return (
        ids[keep].reshape(num_points, k).astype(np.int64),
        distances[keep].reshape(num_points, k).astype(np.float32),
    )


def nearest_neighbour_graph(knn_ids, knn_distances):
    """Containers holding the symmetric graph of each node's nearest neighbour.

    Row i starts with i's nearest neighbour; every j whose nearest neighbour is
    i, without i being j's, is appended to row i.  Such a sparse graph falls
    apart into many small components.
    """
    connections = GraphWrapper.from_knn(knn_ids[:, :1])
    weights = GraphWrapper.from_knn(knn_distances[:, :1])
    nodes = np.arange(len(knn_ids))
    nearest = knn_ids[:, 0]
    one_way = knn_ids[nearest, 0] != nodes
    for i, j, distance in zip(
        nearest[one_way].tolist(), nodes[one_way].tolist(), knn_distances[one_way, 0].tolist()
    ):
        connections.append(i, j)
        weights.append(i, distance)
    return connections, weights


def component_lists(knn_ids, labels):
    """Components of the nearest-neighbour graph, in connect_unlabeled's form.

    Returns ``components`` (a list of (node id list, labelled flag) pairs) and
    ``vertix_component_label`` (uint8, 1 for nodes of a labelled component).
    """
    num_nodes = len(knn_ids)
    adjacency = coo_matrix(
        (np.ones(num_nodes, dtype=np.int8), (np.arange(num_nodes), knn_ids[:, 0])),
        shape=(num_nodes, num_nodes),
    )
    num_components, component_of = connected_components(adjacency, directed=False)
    members = np.split(
        np.argsort(component_of, kind="stable"),
        np.cumsum(np.bincount(component_of, minlength=num_components))[:-1],
    )
    labelled = np.bincount(component_of[labels != -1], minlength=num_components) > 0
    components = [(nodes.tolist(), flag) for nodes, flag in zip(members, labelled.tolist())]
    return components, labelled[component_of].astype(np.uint8)


def pick_labelled_nodes(blob_ids, share, rng):
    """int32 labels: the true blob id for ``share`` of each blob (at least one node), -1 elsewhere.

    Every blob gets a label so that each can be reached from a labelled component.
    """
    labels = np.full(len(blob_ids), -1, dtype=np.int32)
    for blob in np.unique(blob_ids):
        members = np.flatnonzero(blob_ids == blob)
        count = max(1, round(share * len(members)))
        labels[rng.choice(members, size=count, replace=False)] = blob
    return labels


def run_graph_method(num_points, seed):
    from velorn.algorithms.src.tolmar.binaries.tolmar_connect import connect_unlabeled
    from velorn.algorithms.src.tolmar.binaries.tolmar_lp import weighted_label_propagation

    print(f"Graph method: {num_points:,} points in {NUM_BLOBS} blobs, {BLOB_DIMS} dimensions")
    start = time.perf_counter()
    with timed_step("generate blobs") as step:
        points, blob_ids = make_blobs(
            n_samples=num_points, centers=NUM_BLOBS, n_features=BLOB_DIMS, cluster_std=BLOB_STD, random_state=seed
        )
        step.count = f"{num_points:,} points"
    with timed_step(f"{KNN_K} nearest neighbours") as step:
        knn_ids, knn_distances = nearest_neighbours(points, KNN_K)
        step.count = f"{knn_ids.size:,} pairs"
    with timed_step("nearest-neighbour graph") as step:
        connections, weights = nearest_neighbour_graph(knn_ids, knn_distances)
        step.count = f"{connections.num_entries:,} edges"
    with timed_step(f"label {LABELLED_SHARE:.0%} of the nodes") as step:
        labels = pick_labelled_nodes(blob_ids, LABELLED_SHARE, np.random.default_rng(seed))
        unlabelled = labels == -1
        step.count = f"{np.count_nonzero(~unlabelled):,} labelled"
    with timed_step("connected components") as step:
        components, vertix_component_label = component_lists(knn_ids, labels)
        num_labelled = sum(flag for _, flag in components)
        step.count = f"{len(components):,} ({num_labelled:,} labelled)"
    with timed_step("connect_unlabeled") as step:
        edges_before = connections.num_entries
        connect_unlabeled(knn_ids, knn_distances, components, vertix_component_label, connections, weights)
        edges_added = connections.num_entries - edges_before
        step.count = f"{edges_added:,} edges added"
    with timed_step("weighted_label_propagation") as step:
        weighted_label_propagation(connections, weights, labels)
        nodes_labelled = np.count_nonzero(labels[unlabelled] != -1)
        step.count = f"{nodes_labelled:,} nodes labelled"

    accuracy = np.mean(labels[unlabelled] == blob_ids[unlabelled])
    return {
        "points": points,
        "blob_ids": blob_ids,
        "labels": labels,
        "components": len(components),
        "edges_added": edges_added,
        "nodes_labelled": nodes_labelled,
        "nodes_to_label": np.count_nonzero(unlabelled),
        "accuracy": accuracy,
        "seconds": time.perf_counter() - start,
    }


# --- clustering method ---------------------------------------------------------------


def run_clustering_method(seed):
    from velorn.algorithms.src.kelvo.binaries.kelvo_postprocess import kelvo_postprocess

    pixels, digits = load_digits(return_X_y=True)
    print(f"Clustering method: {len(pixels):,} handwritten digits, {pixels.shape[1]} pixels each")
    start = time.perf_counter()
    with timed_step("spectral embedding") as step:
        reduced = PCA(n_components=30, random_state=seed).fit_transform(pixels)
        embedding = SpectralEmbedding(n_components=5, n_neighbors=15, random_state=seed).fit_transform(reduced)
        # kelvo_postprocess reads the points as a C-ordered float64 table.
        embedding = np.ascontiguousarray(embedding, dtype=np.float64)
        step.count = f"{embedding.shape[1]} dimensions"
    with timed_step("HDBSCAN") as step:
        clusters = HDBSCAN(min_cluster_size=15, copy=True).fit_predict(embedding).astype(np.int32)
        noise_before = np.mean(clusters == -1)
        step.count = f"{clusters.max() + 1} clusters, {noise_before:.1%} noise"
    with timed_step("kelvo_postprocess") as step:
        post_processed = kelvo_postprocess(embedding, clusters)
        noise_after = np.mean(post_processed == -1)
        step.count = f"{np.count_nonzero(clusters != post_processed):,} points relabelled"

    return {
        "pixels": pixels,
        "clusters": clusters,
        "post_processed": post_processed,
        "noise_before": noise_before,
        "noise_after": noise_after,
        "rand_before": adjusted_rand_score(digits, clusters),
        "rand_after": adjusted_rand_score(digits, post_processed),
        "seconds": time.perf_counter() - start,
    }


# --- report and plot -----------------------------------------------------------------


def print_summary(graph, clustering):
    rows = [
        ("graph method", "components", f"{graph['components']:,}"),
        ("", "edges added", f"{graph['edges_added']:,}"),
        ("", "nodes labelled", f"{graph['nodes_labelled']:,} of {graph['nodes_to_label']:,}"),
        ("", "accuracy vs blob ids", f"{graph['accuracy']:.1%}"),
        ("", "time", f"{graph['seconds']:.1f} s"),
        ("clustering", "noise share", f"{clustering['noise_before']:.1%} -> {clustering['noise_after']:.1%}"),
        ("", "adjusted Rand index", f"{clustering['rand_before']:.3f} -> {clustering['rand_after']:.3f}"),
        ("", "time", f"{clustering['seconds']:.1f} s"),
    ]
    print("Summary")
    for method, measure, value in rows:
        print(f"  {method:<14}{measure:<24}{value}")


def save_plot(path, graph, clustering, seed):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, 2, figsize=(12, 11))
    # The spectral embedding crowds most digits into a corner; the pixels'
    # first two principal components spread them out for the eye.
    digits_xy = PCA(n_components=2, random_state=seed).fit_transform(clustering["pixels"])
    for axis, clusters, title in [
        (axes[0, 0], clustering["clusters"], "digits: HDBSCAN clusters (x = noise)"),
        (axes[0, 1], clustering["post_processed"], "digits: after kelvo_postprocess"),
    ]:
        _scatter_labels(axis, digits_xy, clusters, title)

    sample = np.random.default_rng(seed).permutation(len(graph["points"]))[:PLOT_SAMPLE]
    projected = PCA(n_components=2, random_state=seed).fit_transform(graph["points"][sample])
    for axis, labels, title in [
        (axes[1, 0], graph["blob_ids"][sample], "blobs: true ids"),
        (axes[1, 1], graph["labels"][sample], f"blobs: propagated labels ({graph['accuracy']:.1%} right)"),
    ]:
        _scatter_labels(axis, projected, labels, title)

    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def _scatter_labels(axis, xy, labels, title):
    noise = labels == -1
    axis.scatter(xy[~noise, 0], xy[~noise, 1], s=4, c=labels[~noise] % 20, cmap="tab20", vmin=0, vmax=19)
    axis.scatter(xy[noise, 0], xy[noise, 1], s=12, c="black", marker="x", linewidths=0.8)
    axis.set_title(title)
    axis.set_xticks([])
    axis.set_yticks([])


# --- entry point ---------------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m velorn.demo",
        description="Run velorn's graph method on generated blobs and its clustering method "
        "on scikit-learn's handwritten digits, timing each step.",
    )
    parser.add_argument(
        "--size",
        choices=list(GRAPH_POINTS),
        default="small",
        help="points for the graph method: small = 200 thousand (default), large = one million",
    )
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    parser.add_argument("--plot", metavar="FILE.png", help="save a figure of both methods' labels (needs matplotlib)")
    # For quick test runs: overrides the point count of --size.
    parser.add_argument("--points", type=int, help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("--plot needs matplotlib; install it with: pip install 'velorn[plot]'", file=sys.stderr)
            return 2
    try:
        for module in NATIVE_MODULES:
            importlib.import_module(module)
    except ImportError as error:
        print(f"velorn's native modules are not built ({error}); build the package first, "
              "for example with `make install`.", file=sys.stderr)
        return 1

    num_points = args.points or GRAPH_POINTS[args.size]
    print(f"velorn demo: size {args.size}, seed {args.seed}\n")
    graph = run_graph_method(num_points, args.seed)
    print()
    clustering = run_clustering_method(args.seed)
    print()
    print_summary(graph, clustering)
    if args.plot:
        save_plot(args.plot, graph, clustering, args.seed)
        print(f"\nFigure saved to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

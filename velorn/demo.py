"""Walk through velorn's two methods on generated and real data.

    python -m velorn.demo [--size small|large] [--search exact|approximate] [--seed N] [--plot FILE.png]

Graph method: label 1% of a set of Gaussian blobs and let
WeightedLabelPropagation label the rest along each point's nearest
neighbours (weighted_label_propagation underneath).

Clustering method: cluster a two-dimensional t-SNE map of scikit-learn's
handwritten digits with HDBSCAN and hand its noise points to the nearest
cluster centroid (reassign_noise, around kelvo_postprocess).
"""

import argparse
import importlib
import importlib.util
import sys
import time
from contextlib import contextmanager
from pathlib import Path

import numpy as np
from sklearn.cluster import HDBSCAN
from sklearn.datasets import load_digits, make_blobs
from sklearn.decomposition import PCA
from sklearn.manifold import TSNE
from sklearn.metrics import adjusted_rand_score
from threadpoolctl import threadpool_limits

import velorn

# velorn's methods are imported where they are used, so that --help and the
# hint printed when the native modules are missing work before the package is built.

GRAPH_POINTS = {"small": 200_000, "large": 1_000_000}
NUM_BLOBS = 10
# Four dimensions keep the k-NN search to seconds; at eight it takes minutes.
BLOB_DIMS = 4
BLOB_STD = 1.0
KNN_K = 15
LABELLED_SHARE = 0.01
PLOT_SAMPLE = 5_000


class Step:
    """A step's line: its name, then a count and the elapsed seconds."""

    def __init__(self, name):
        self.head = f"  {name:<32}"
        self.count = ""
        self.start = time.perf_counter()
        # Rewriting the line in place suits a terminal, not a log file.
        self.live = sys.stdout.isatty()

    def tail(self, count):
        return f"{count:>30}  {time.perf_counter() - self.start:7.2f} s"


@contextmanager
def timed_step(name):
    """Print a step as it runs: its name now; a count (set on the yielded
    Step) and the elapsed seconds when it ends."""
    step = Step(name)
    print(step.head, end="", flush=True)
    try:
        yield step
    finally:
        # Ends the line also when the step fails, so a traceback starts clean.
        print(f"\r{step.head}" if step.live else "", step.tail(step.count), sep="", flush=True)


# --- graph method --------------------------------------------------------------------


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


def run_graph_method(num_points, seed, search):
    from velorn import WeightedLabelPropagation

    print(f"Graph method: {num_points:,} points in {NUM_BLOBS} blobs, {BLOB_DIMS} dimensions, "
          f"{search} neighbour search")
    start = time.perf_counter()
    with timed_step("generate blobs") as step:
        points, blob_ids = make_blobs(
            n_samples=num_points, centers=NUM_BLOBS, n_features=BLOB_DIMS, cluster_std=BLOB_STD, random_state=seed
        )
        step.count = f"{num_points:,} points"
    with timed_step(f"label {LABELLED_SHARE:.0%} of the nodes") as step:
        labels = pick_labelled_nodes(blob_ids, LABELLED_SHARE, np.random.default_rng(seed))
        unlabelled = labels == -1
        step.count = f"{np.count_nonzero(~unlabelled):,} labelled"
    # One call: the k-nearest-neighbour search, then weighted_label_propagation.
    with timed_step("WeightedLabelPropagation") as step:
        model = WeightedLabelPropagation(n_neighbors=KNN_K, search=search, n_jobs=-1).fit(points, labels)
        propagated = model.transduction_
        nodes_labelled = np.count_nonzero(propagated[unlabelled] != -1)
        step.count = f"{nodes_labelled:,} nodes labelled"

    accuracy = np.mean(propagated[unlabelled] == blob_ids[unlabelled])
    return {
        "points": points,
        "blob_ids": blob_ids,
        "labels": propagated,
        "seeded": ~unlabelled,
        "unreachable": np.count_nonzero(model.unreachable_),
        "nodes_labelled": nodes_labelled,
        "nodes_to_label": np.count_nonzero(unlabelled),
        "accuracy": accuracy,
        "seconds": time.perf_counter() - start,
    }


# --- clustering method ---------------------------------------------------------------


def run_clustering_method(seed):
    from velorn import reassign_noise

    pixels, digits = load_digits(return_X_y=True)
    print(f"Clustering method: {len(pixels):,} handwritten digits, {pixels.shape[1]} pixels each")
    start = time.perf_counter()
    with timed_step("t-SNE map") as step:
        # A two-dimensional map is both what HDBSCAN clusters and what the
        # figure shows, so the plot is the very embedding that was clustered.
        reduced = PCA(n_components=30, random_state=seed).fit_transform(pixels)
        # One thread: the map then depends on the seed alone, and t-SNE's
        # threads slow to a crawl when other work shares the cores.
        with threadpool_limits(limits=1):
            embedding = TSNE(n_components=2, init="pca", random_state=seed).fit_transform(reduced)
        step.count = f"{len(embedding):,} points"
    with timed_step("HDBSCAN") as step:
        clusters = HDBSCAN(min_cluster_size=15, copy=True).fit_predict(embedding)
        noise_before = np.mean(clusters == -1)
        step.count = f"{clusters.max() + 1} clusters, {noise_before:.1%} noise"
    with timed_step("reassign_noise") as step:
        post_processed = reassign_noise(embedding, clusters)
        noise_after = np.mean(post_processed == -1)
        step.count = f"{np.count_nonzero(clusters != post_processed):,} points relabelled"

    return {
        "embedding": embedding,
        "digits": digits,
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
        ("graph method", "nodes labelled", f"{graph['nodes_labelled']:,} of {graph['nodes_to_label']:,}"),
        ("", "unreachable", f"{graph['unreachable']:,}"),
        ("", "accuracy vs blob ids", f"{graph['accuracy']:.2%}"),
        ("", "time", f"{graph['seconds']:.1f} s"),
        ("clustering", "noise share", f"{clustering['noise_before']:.1%} -> {clustering['noise_after']:.1%}"),
        ("", "adjusted Rand index", f"{clustering['rand_before']:.3f} -> {clustering['rand_after']:.3f}"),
        ("", "time", f"{clustering['seconds']:.1f} s"),
    ]
    print("Summary")
    for method, measure, value in rows:
        print(f"  {method:<14}{measure:<24}{value}")


def save_plot(path, graph, clustering, size, seed):
    """One figure, four panels: the digits map before and after reassign_noise
    above, the blobs' true ids and their propagated labels below."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, 2, figsize=(13, 12.5))
    figure.suptitle(f"velorn demo: size {size}, seed {seed}", fontsize=15)
    _plot_clustering(axes[0], clustering)
    _plot_propagation(axes[1], graph, seed)
    # Below each panel, where they cover no points whatever the seed.
    for axis in axes.flat:
        axis.legend(loc="upper center", bbox_to_anchor=(0.5, 0), ncol=2, fontsize=10, frameon=False)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def _plot_clustering(axes, clustering):
    """The digits map before and after reassign_noise, side by side."""
    xy = clustering["embedding"]
    before, after = clustering["clusters"], clustering["post_processed"]
    noise = before == -1
    # Each cluster is named by its most common digit, in both panels.
    names = {cluster: str(np.bincount(clustering["digits"][after == cluster]).argmax())
             for cluster in np.unique(after[after != -1]).tolist()}
    for axis in axes:
        axis.plot([], [], " ", label="number: a cluster's most common digit")
    _scatter_labels(axes[0], xy, before, names)
    axes[0].scatter(xy[noise, 0], xy[noise, 1], s=16, c="black", marker="x", linewidths=0.8,
                    label=f"noise ({np.count_nonzero(noise):,} points)")
    axes[0].set_title(
        f"Digits, t-SNE map: HDBSCAN's {before.max() + 1} clusters\n"
        f"{clustering['noise_before']:.1%} noise, adjusted Rand index {clustering['rand_before']:.3f}"
    )
    changed = before != after
    _scatter_labels(axes[1], xy, after, names)
    axes[1].scatter(xy[changed, 0], xy[changed, 1], s=36, facecolors="none", edgecolors="black",
                    linewidths=0.7, label=f"relabelled ({np.count_nonzero(changed):,} points)")
    axes[1].set_title(
        "After reassign_noise: noise to the nearest centroid\n"
        f"{clustering['noise_after']:.1%} noise, adjusted Rand index {clustering['rand_after']:.3f}"
    )


def _plot_propagation(axes, graph, seed):
    """The blobs' true ids and their propagated labels, side by side, on a
    random sample of the points, which keeps the panels readable (and quick)
    at any size."""
    num_points = len(graph["points"])
    sample = np.random.default_rng(seed).permutation(num_points)[:PLOT_SAMPLE]
    projected = PCA(n_components=2, random_state=seed).fit_transform(graph["points"][sample])
    truth, propagated, seeded = graph["blob_ids"][sample], graph["labels"][sample], graph["seeded"][sample]
    _scatter_labels(axes[0], projected, truth)
    axes[0].scatter(projected[seeded, 0], projected[seeded, 1], s=36, c=_colours(truth[seeded]),
                    edgecolors="black", linewidths=0.8, label=f"labelled at the start ({LABELLED_SHARE:.0%})")
    axes[0].set_title(
        f"Blobs, first two principal components: true blob ids\n{len(sample):,} of {num_points:,} points shown"
    )
    wrong = propagated != truth
    _scatter_labels(axes[1], projected, propagated)
    axes[1].scatter(projected[wrong, 0], projected[wrong, 1], s=16, c="black", marker="x", linewidths=0.8,
                    label=f"wrong label ({np.count_nonzero(wrong):,} of {len(sample):,} shown)")
    axes[1].set_title(
        "After WeightedLabelPropagation\n"
        f"{graph['accuracy']:.2%} of the unlabelled nodes get their blob's id"
    )


def _colours(labels):
    """A fixed colour per label: the ten strong colours of tab20 first, then its light ones."""
    import matplotlib

    return matplotlib.colormaps["tab20"]((2 * labels) % 20 + (labels // 10) % 2)


def _scatter_labels(axis, xy, labels, names=None):
    """Labelled points in their label's colour, each label's name (by default
    its number) at its points' median."""
    import matplotlib.patheffects as effects

    labelled = labels != -1
    axis.scatter(xy[labelled, 0], xy[labelled, 1], s=5, c=_colours(labels[labelled]))
    for label in np.unique(labels[labelled]).tolist():
        x, y = np.median(xy[labels == label], axis=0)
        name = names[label] if names else str(label)
        axis.text(x, y, name, fontsize=11, fontweight="bold", ha="center", va="center",
                  path_effects=[effects.withStroke(linewidth=3, foreground="white")])
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
    parser.add_argument(
        "--search",
        choices=["exact", "approximate"],
        default="exact",
        help="neighbour search: exact (default) or approximate (needs: pip install 'velorn[fast]')",
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
    if args.search == "approximate" and importlib.util.find_spec("hnswlib") is None:
        print("--search approximate needs hnswlib; install it with: pip install 'velorn[fast]'", file=sys.stderr)
        return 2
    try:
        for module in velorn._NATIVE_MODULES:
            importlib.import_module(module)
    except ImportError as error:
        source_root = Path(velorn.__file__).parent.parent
        if (source_root / "meson.build").is_file():
            # python -m puts the working folder first on the path, so a source
            # checkout hides the installed package.
            print(f"velorn was imported from its source folder {source_root}, which holds no built "
                  f"modules ({error}). Run the demo from another folder, or as "
                  "`python -P -m velorn.demo`, to use the installed package (`make install` "
                  "builds and installs it).", file=sys.stderr)
        else:
            print(f"velorn's native modules are not built ({error}); build the package first, "
                  "for example with `make install`.", file=sys.stderr)
        return 1

    num_points = args.points or GRAPH_POINTS[args.size]
    print(f"velorn demo: size {args.size}, seed {args.seed}\n")
    graph = run_graph_method(num_points, args.seed, args.search)
    print()
    clustering = run_clustering_method(args.seed)
    print()
    print_summary(graph, clustering)
    if args.plot:
        save_plot(args.plot, graph, clustering, args.size, args.seed)
        print(f"\nFigure saved to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""kelvo_postprocess against the least library work its result needs.

The baseline does only what any implementation must: one np.unique, the
per-cluster means, one batched pairwise of all noise points against all
centroids, and an argmin. The means are taken three ways: with one boolean
mask per cluster, from one stable sort, and with np.bincount per dimension
(fastest, though not bit-identical to np.mean); the fastest is the baseline.

Times are medians of a few runs taken in turn. Peak extra memory is measured in a fresh
interpreter per case (the rise of the resident set's high-water mark over the
resident set just before the call), so that memory freed by earlier runs
cannot hide it.

    .venv/bin/python -P bench/bench_kelvo.py            # the target case
    .venv/bin/python -P bench/bench_kelvo.py 200000     # other point counts
"""

import subprocess
import sys

import numpy as np
from common import median_times, peak_rise_mib, timed
from sklearn.metrics import DistanceMetric

from velorn.algorithms.src.kelvo.binaries.kelvo_postprocess import kelvo_postprocess

TARGET = (1_000_000, 8, 50, 0.2)  # points, dims, clusters, noise share


def make_data(n_points, n_dims, n_clusters, noise_share, seed=0):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-50, 50, (n_clusters, n_dims))
    labels = rng.integers(0, n_clusters, n_points).astype(np.int32)
    points = centers[labels] + rng.normal(scale=4.0, size=(n_points, n_dims))
    labels[rng.random(n_points) < noise_share] = -1
    return points, labels


def _finish(points, labels, cluster_labels, centroids):
    noise = labels == -1
    distances = DistanceMetric.get_metric("minkowski", p=2).pairwise(centroids, points[noise])
    result = labels.copy()
    result[noise] = cluster_labels[np.argmin(distances, axis=0)]
    return result


def baseline_masks(points, labels):
    cluster_labels = np.unique(labels)
    cluster_labels = cluster_labels[cluster_labels != -1]
    centroids = np.array([np.mean(points[labels == label], axis=0) for label in cluster_labels])
    return _finish(points, labels, cluster_labels, centroids)


def baseline_sorted(points, labels):
    cluster_labels, counts = np.unique(labels, return_counts=True)
    order = np.argsort(labels, kind="stable")
    groups = np.split(points[order], np.cumsum(counts)[:-1])
    keep = cluster_labels != -1
    centroids = np.array([np.mean(group, axis=0) for group, k in zip(groups, keep) if k])
    return _finish(points, labels, cluster_labels[keep], centroids)


def baseline_bincount(points, labels):
    cluster_labels, inverse, counts = np.unique(labels, return_inverse=True, return_counts=True)
    sums = np.stack([np.bincount(inverse, weights=column) for column in points.T], axis=1)
    keep = cluster_labels != -1
    return _finish(points, labels, cluster_labels[keep], sums[keep] / counts[keep, None])


IMPLEMENTATIONS = {
    "kelvo_postprocess": kelvo_postprocess,
    "baseline_masks": baseline_masks,
    "baseline_sorted": baseline_sorted,
    "baseline_bincount": baseline_bincount,
}
BASELINES = [name for name in IMPLEMENTATIONS if name.startswith("baseline")]


def median_run_times(points, labels, repeats):
    """Each implementation's median time, the implementations taking turns."""
    runs = [(lambda data, f=f: f(*data), lambda: (points, labels)) for f in IMPLEMENTATIONS.values()]
    return dict(zip(IMPLEMENTATIONS, median_times(*runs, repeats=repeats)))


def _peak_in_this_process(name, size):
    points, labels = make_data(*size)
    return peak_rise_mib(IMPLEMENTATIONS[name], points, labels)


def peak_extra_mib(name, size):
    """Peak resident memory added by one call, in MiB, measured in a fresh interpreter."""
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); import bench_kelvo as b; "
        "print(b._peak_in_this_process(sys.argv[2], tuple(eval(sys.argv[3]))))"
    )
    here = __file__.rsplit("/", 1)[0] if "/" in __file__ else "."
    out = subprocess.run([sys.executable, "-P", "-c", code, here, name, repr(size)],
                         capture_output=True, text=True, check=True)
    return float(out.stdout)


def measure(size, repeats=3):
    """One row per (n_points, n_dims, n_clusters, noise_share) case."""
    points, labels = make_data(*size)
    result = kelvo_postprocess(points, labels)
    assert np.array_equal(result, baseline_masks(points, labels)), "results differ"
    times = median_run_times(points, labels, repeats)
    baseline = min(times[name] for name in BASELINES)
    n_points, n_dims, n_clusters, noise_share = size
    return {
        "n_points": n_points, "n_dims": n_dims, "n_clusters": n_clusters, "noise_share": noise_share,
        "kelvo_s": times["kelvo_postprocess"], **{name + "_s": times[name] for name in BASELINES},
        "ratio": times["kelvo_postprocess"] / baseline,
        "noise_points": int((labels == -1).sum()),
        "input_mib": (points.nbytes + labels.nbytes) / 2**20,
        "kelvo_peak_mib": peak_extra_mib("kelvo_postprocess", size),
        "baseline_peak_mib": peak_extra_mib("baseline_masks", size),
    }


def nearest_centroid(size):
    """scikit-learn's NearestCentroid fitted on the clustered points, predicting the noise."""
    from sklearn.neighbors import NearestCentroid

    points, labels = make_data(*size)
    noise = labels == -1
    model = NearestCentroid()
    elapsed = timed(lambda: model.fit(points[~noise], labels[~noise]).predict(points[noise]))
    predicted = model.predict(points[noise])
    ours = kelvo_postprocess(points, labels)[noise]
    return elapsed, float((predicted == ours).mean())


def run(sizes):
    """Rows for the shared benchmark table: point counts at the target's shape."""
    rows = []
    for n in sizes:
        size = (n,) + TARGET[1:]
        m = measure(size)
        units = m["noise_points"] * m["n_clusters"]
        rows.append({
            "kernel": "post-processing",
            "workload": f"{m['n_dims']} dims, {m['n_clusters']} clusters, {m['noise_share']:.0%} noise",
            "size": n,
            "units": units,
            "unit": "noise point x centroid",
            "ours_s": m["kelvo_s"],
            "floor_s": min(m[name + "_s"] for name in BASELINES),
            "ratio": m["ratio"],
            "ns_per_unit": m["kelvo_s"] / units * 1e9,
            "note": f"floor = minimal library work; peak extra {m['kelvo_peak_mib']:.0f} MiB "
                    f"(baseline {m['baseline_peak_mib']:.0f} MiB)",
        })
        elapsed, agreement = nearest_centroid(size)
        rows.append({
            "kernel": "post-processing",
            "workload": "scikit-learn NearestCentroid on the clustered points",
            "size": n,
            "other_s": elapsed,
            "agreement": agreement,
        })
    return rows


def main(argv):
    sizes = [(int(n),) + TARGET[1:] for n in argv] or [TARGET]
    rows = [measure(size) for size in sizes]
    columns = list(rows[0])
    width = max(map(len, columns)) + 1
    print("".join(f"{c:>{width}}" for c in columns))
    for row in rows:
        print("".join(f"{row[c]:>{width}.3f}" if isinstance(row[c], float) else f"{row[c]:>{width}}"
                      for c in columns))


if __name__ == "__main__":
    main(sys.argv[1:])

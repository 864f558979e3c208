"""Where a PoissonLabelPropagation fit spends its time, step by step, on a
precomputed k-nearest-neighbour distance graph (15 neighbours, 1% labelled,
one thread): the steps the estimator reports with verbose=True, and the rest
of the fit (input checks, merging copies, the final labels).

    python -P bench/poisson_steps.py                     # 200k moons and 8-D blobs
    python -P bench/poisson_steps.py --sizes 1000000 --workloads moons

The graphs are searched once per workload and size and kept in --cache, so
that two versions of the package (each installed in an environment of its
own) can be timed in turn on the same graphs. Each fit's labels are kept
there too: a later run says whether its labels and label distributions are
the same to the bit as the first run's (--reset to start afresh).
"""

import argparse
import contextlib
import io
import pathlib
import re
import sys
import time

import numpy as np
from scipy import sparse
from sklearn.neighbors import KNeighborsTransformer

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_compare import make_points, pick_labelled  # noqa: E402

from velorn import PoissonLabelPropagation  # noqa: E402

NEIGHBOURS = 15
SHARE = 0.01


def cached_graph(cache, workload, size):
    path = cache / f"{workload}-{size}.npz"
    points, truth, _ = make_points(workload, size)
    if not path.exists():
        graph = KNeighborsTransformer(mode="distance", n_neighbors=NEIGHBOURS).fit_transform(points)
        sparse.save_npz(path, graph)
    return sparse.load_npz(path), truth, pick_labelled(truth, SHARE)


def fit_steps(graph, y):
    """(seconds of the whole fit, {step: seconds}, the fitted estimator)."""
    estimator = PoissonLabelPropagation(n_neighbors=NEIGHBOURS, metric="precomputed", n_jobs=1, verbose=True)
    report = io.StringIO()
    with contextlib.redirect_stdout(report), contextlib.redirect_stderr(report):
        start = time.perf_counter()
        estimator.fit(graph, y)
        total = time.perf_counter() - start
    steps = {}
    for line in report.getvalue().splitlines():
        found = re.match(r"\[\w+\] (.*?)(?::.*)? \(([\d.]+) s\)$", line)
        if found:
            steps[found[1]] = float(found[2])
    return total, steps, estimator


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[200_000])
    parser.add_argument("--workloads", nargs="+", default=["moons", "blobs8"])
    parser.add_argument("--repeats", type=int, default=3, help="fits per graph; the fastest is shown")
    parser.add_argument("--cache", type=pathlib.Path, default=pathlib.Path("/tmp/velorn-poisson-steps"))
    parser.add_argument("--reset", action="store_true", help="forget the labels kept from earlier runs")
    args = parser.parse_args()
    args.cache.mkdir(parents=True, exist_ok=True)
    for workload in args.workloads:
        for size in args.sizes:
            graph, truth, y = cached_graph(args.cache, workload, size)
            runs = [fit_steps(graph, y) for _ in range(args.repeats)]
            total, steps, estimator = min(runs, key=lambda run: run[0])
            rest = total - sum(steps.values())
            accuracy = float(np.mean(estimator.transduction_[y == -1] == truth[y == -1]))
            kept = args.cache / f"{workload}-{size}-labels.npz"
            if args.reset or not kept.exists():
                np.savez(kept, transduction=estimator.transduction_, distributions=estimator.label_distributions_)
                same = "kept for later runs"
            else:
                earlier = np.load(kept)
                same = ("the same to the bit as the kept run"
                        if np.array_equal(earlier["transduction"], estimator.transduction_)
                        and np.array_equal(earlier["distributions"], estimator.label_distributions_)
                        else "DIFFERENT from the kept run")
            parts = ", ".join(f"{name} {seconds:.2f} s" for name, seconds in steps.items())
            print(f"{workload} {size:,}: fit {total:.2f} s ({parts}, rest {rest:.2f} s); "
                  f"{estimator.n_iter_:,} passes; accuracy {accuracy:.4f}; labels {same}", flush=True)


if __name__ == "__main__":
    main()

"""
Accuracy against the number of labels per class
===============================================

scikit-learn's handwritten digits (1,797 images of 8 x 8 pixels, 10 classes)
with the true class of only a few images per class. For each number of
labels per class, 10 random draws of the labelled images are fitted by
velorn's :class:`~velorn.WeightedLabelPropagation` and
:class:`~velorn.PoissonLabelPropagation` and by scikit-learn's
``LabelSpreading`` (its ``knn`` kernel), all with 15 neighbours; the lines
are the mean accuracy over the unlabelled images, the bands the spread of the
draws.

The benchmark (:doc:`/performance`) also fits graphlearning's Laplace
learning, which is not installed here: its accuracy at 1% and 10% labelled
(about 2 and 18 images per class) is read from the benchmark results file
and drawn as points, beside the other methods' rows of that run.
"""

import json
import warnings
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_digits
from sklearn.semi_supervised import LabelSpreading

from velorn import PoissonLabelPropagation, WeightedLabelPropagation

points, truth = load_digits(return_X_y=True)
per_class = [1, 2, 3, 5, 8, 12, 20]
methods = {
    "velorn WeightedLabelPropagation": lambda: WeightedLabelPropagation(n_neighbors=15),
    "velorn PoissonLabelPropagation": lambda: PoissonLabelPropagation(n_neighbors=15),
    "scikit-learn LabelSpreading (knn)": lambda: LabelSpreading(kernel="knn", n_neighbors=15, max_iter=100),
}


def draw_labels(count, seed):
    """y with `count` labelled images of each class, -1 elsewhere."""
    rng = np.random.default_rng(seed)
    y = np.full(len(truth), -1)
    for label in range(10):
        chosen = rng.choice(np.flatnonzero(truth == label), size=count, replace=False)
        y[chosen] = label
    return y


accuracy = {name: np.zeros((len(per_class), 10)) for name in methods}
for row, count in enumerate(per_class):
    for seed in range(10):
        y = draw_labels(count, seed)
        unlabelled = y == -1
        for name, make in methods.items():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # LabelSpreading's ConvergenceWarning
                predicted = make().fit(points, y).transduction_
            accuracy[name][row, seed] = np.mean(predicted[unlabelled] == truth[unlabelled])

figure, axis = plt.subplots(figsize=(7.5, 4.5))
for name, scores in accuracy.items():
    line, = axis.plot(per_class, scores.mean(axis=1), marker="o", label=name)
    axis.fill_between(per_class, scores.min(axis=1), scores.max(axis=1), color=line.get_color(), alpha=0.2)

# The benchmark's rows on digits, when the results file has them.
# Run from docs/examples, as the site builds it.
results_file = Path("../../bench/results/results.json")
rows = json.loads(results_file.read_text())["suites"].get("bench_compare", []) if results_file.exists() else []
benchmark = [row for row in rows if row["workload"] == "digits" and row["status"] == "ok"
             and row["stage"] == "after search"]
for marker, name in zip("s^D", sorted({row["name"] for row in benchmark})):
    chosen = sorted((row["labelled"] / 10, row["accuracy"]) for row in benchmark if row["name"] == name)
    axis.scatter(*zip(*chosen), marker=marker, s=60, facecolors="none", edgecolors="black", zorder=3,
                 label=f"{name} (benchmark)")

axis.set(xscale="log", xlabel="labelled images per class", ylabel="accuracy over the unlabelled images",
         title="scikit-learn digits")
axis.set_xticks(per_class, [str(count) for count in per_class])
axis.legend(fontsize="small", loc="lower right")
figure.tight_layout()
plt.show()

"""
Labels spreading over two moons
===============================

Two interleaved half-moons of 1,000 points, and the true class of only two
points on each moon, picked at random. :class:`~velorn.WeightedLabelPropagation` joins every
point to its 10 nearest neighbours and spreads the two labels along these
edges, sweep after sweep, a neighbour at distance d counting ``1 / d**2``.

Stopping the propagation after a few sweeps (``max_iter``) shows how the
labels travel along each moon and not across the gap between them: the
points not reached yet keep -1 (grey), and velorn says so with a
``ConvergenceWarning``, which we silence here.
"""

import warnings

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_moons

from velorn import WeightedLabelPropagation

points, truth = make_moons(n_samples=1000, noise=0.08, random_state=0)
y = np.full(len(points), -1)  # -1: unlabelled
rng = np.random.default_rng(1)
known = np.r_[rng.choice(np.flatnonzero(truth == 0), 2, replace=False),
              rng.choice(np.flatnonzero(truth == 1), 2, replace=False)]
y[known] = truth[known]

colours = np.array(["tab:blue", "tab:orange", "lightgrey"])  # class 0, class 1, -1
figure, axes = plt.subplots(1, 4, figsize=(14, 3.4), sharex=True, sharey=True)
for axis, sweeps in zip(axes, [0, 2, 4, None]):
    if sweeps == 0:
        labels, title = y, "the 4 known labels"
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the ConvergenceWarning of the stopped runs
            model = WeightedLabelPropagation(n_neighbors=10, max_iter=sweeps or 100).fit(points, y)
        labels = model.transduction_
        title = f"after {sweeps} sweeps" if sweeps else "to the end"
        title += f": {np.mean(labels == truth):.1%} right"
    axis.scatter(*points.T, c=colours[labels], s=6)
    axis.scatter(*points[known].T, c=colours[y[known]], s=90, edgecolors="black", marker="*")
    axis.set_title(title)
    axis.set_xticks([])
    axis.set_yticks([])
figure.tight_layout()
plt.show()

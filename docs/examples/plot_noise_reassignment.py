"""
Noise reassignment after HDBSCAN
================================

scikit-learn's ``HDBSCAN`` finds clusters of any shape and leaves the points
in sparse regions as noise (-1): here the fringes of four clusters and a
sprinkling of points far from all of them.
:func:`~velorn.reassign_noise` gives each noise point the label of the
nearest cluster centroid. With ``max_distance``, only the noise within that
distance of its nearest centroid is given a label; the rest, points that
belong to no cluster, stay -1.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.cluster import HDBSCAN
from sklearn.datasets import make_blobs

from velorn import reassign_noise

blobs, _ = make_blobs(n_samples=1000, centers=[[-6, -3], [0, 6], [6, -3], [0, -10]], cluster_std=1.8,
                      random_state=0)
# A sprinkling of points far from every cluster.
scattered = np.random.default_rng(0).uniform(-14, 14, size=(60, 2))
points = np.vstack([blobs, scattered])

clusters = HDBSCAN(min_cluster_size=20, copy=True).fit_predict(points)
results = {
    "HDBSCAN": clusters,
    "reassign_noise": reassign_noise(points, clusters),
    "reassign_noise, max_distance=5": reassign_noise(points, clusters, max_distance=5.0),
}

palette = np.array(["tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown"])
figure, axes = plt.subplots(1, 3, figsize=(14, 4.4), sharex=True, sharey=True)
for axis, (title, labels) in zip(axes, results.items()):
    noise = labels == -1
    axis.scatter(*points[~noise].T, c=palette[labels[~noise] % len(palette)], s=8)
    axis.scatter(*points[noise].T, c="black", marker="x", s=14, linewidths=0.8, label="noise (-1)")
    axis.set_title(f"{title}\n{np.count_nonzero(noise)} noise points")
    axis.legend(loc="lower right", fontsize="small")
figure.tight_layout()
plt.show()

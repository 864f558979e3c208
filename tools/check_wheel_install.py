"""Checks an installed velorn from outside the source tree (run by `make wheel-check`).

Run by the Python of a fresh environment into which the wheel was installed:
every native module the package lists must import from that environment
and sit beside its stub, the three kernels and the estimator must give the
right answer on a tiny problem each, and the package must carry its
py.typed marker.
"""

import importlib
import sys
from pathlib import Path

import numpy as np
import sklearn

import velorn
from velorn import GraphWrapper

# The function each module is checked by; every module the build makes must
# import, and none may be missing from this table.
FUNCTIONS = {
    "velorn.algorithms.src.kelvo.binaries.kelvo_postprocess": "kelvo_postprocess",
    "velorn.algorithms.src.tolmar.binaries.tolmar_lp": "weighted_label_propagation",
    "velorn.algorithms.src.tolmar.binaries.tolmar_connect": "connect_unlabeled",
    "velorn.algorithms.src.tolmar.binaries.graph_wrapper": "GraphWrapper",
    "velorn._native.label_sweeps": "propagate_rows",
    "velorn._native.poisson_solver": "poisson_solve",
    "velorn._native.class_shifts": "class_shifts",
    "velorn._native.nearest_centroid": "nearest_centroid",
}
if set(FUNCTIONS) != set(velorn._NATIVE_MODULES):
    sys.exit(f"this check knows {sorted(FUNCTIONS)}, the package builds {sorted(velorn._NATIVE_MODULES)}")


def load(name):
    module = importlib.import_module(name)
    path = Path(module.__file__)
    if not path.is_relative_to(sys.prefix):
        sys.exit(f"{name} was imported from {path}, outside this environment ({sys.prefix})")
    stub = path.with_name(name.rsplit(".", 1)[1] + ".pyi")
    if not stub.is_file():
        sys.exit(f"{name}: expected {path.name} beside {stub.name}")
    return getattr(module, FUNCTIONS[name])


loaded = {name.rsplit(".", 1)[1]: load(name) for name in velorn._NATIVE_MODULES}
kelvo_postprocess = loaded["kelvo_postprocess"]
weighted_label_propagation, connect_unlabeled = loaded["tolmar_lp"], loaded["tolmar_connect"]
if not (Path(velorn.__file__).parent / "py.typed").is_file():
    sys.exit("velorn has no py.typed marker")

points = np.array([[0.0, 0.0], [0.2, 0.0], [5.0, 5.0], [1.0, 1.0]])
assert kelvo_postprocess(points, np.array([0, 0, 1, -1], dtype=np.int32)).tolist() == [0, 0, 1, 0]

# Two components, {0, 1} labelled and {2} not: connect_unlabeled joins node 2
# to its nearest labelled neighbour, then the label spreads to both nodes.
knn_ids = np.array([[1, 2], [0, 2], [1, 0]], dtype=np.int64)
knn_distances = np.array([[1.0, 2.0], [1.0, 1.5], [1.5, 2.0]], dtype=np.float32)
connections, weights = GraphWrapper.empty(3, np.int64), GraphWrapper.empty(3, np.float32)
for i, j in ((0, 1), (1, 0)):
    connections.append(i, j)
    weights.append(i, 1.0)
connect_unlabeled(knn_ids, knn_distances, [([0, 1], True), ([2], False)],
                  np.array([1, 1, 0], dtype=np.uint8), connections, weights)
assert connections.to_numpy(2).tolist() == [1]
labels = np.array([3, -1, -1], dtype=np.int32)
assert weighted_label_propagation(connections, weights, labels).tolist() == [3, 3, 3]

# The estimator from points: the second blob takes its one labelled sample's label.
blobs = np.array([[0.0, 0.0], [0.1, 0.0], [0.0, 0.1], [5.0, 5.0], [5.1, 5.0], [5.0, 5.1]])
fitted = velorn.WeightedLabelPropagation(n_neighbors=2).fit(blobs, ["a", -1, -1, "b", -1, -1])
assert fitted.transduction_.tolist() == ["a", "a", "a", "b", "b", "b"], fitted.transduction_

print(f"wheel check: velorn {velorn.__version__} from {Path(velorn.__file__).parent}, "
      f"NumPy {np.__version__}, scikit-learn {sklearn.__version__}: the modules import and run")

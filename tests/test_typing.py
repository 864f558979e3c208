"""The installed package is typed: mypy --strict accepts ordinary use of the
three functions, GraphWrapper and the one-call API and rejects the usual mistakes, and each stub
installed beside its module agrees with the built function."""

import ast
import importlib
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

FUNCTIONS = {
    "velorn.algorithms.src.kelvo.binaries.kelvo_postprocess": "kelvo_postprocess",
    "velorn.algorithms.src.tolmar.binaries.tolmar_lp": "weighted_label_propagation",
    "velorn.algorithms.src.tolmar.binaries.tolmar_connect": "connect_unlabeled",
}

# Runs as it stands; mypy must report exactly the lines marked "# error" in
# mistakes(), which is never called.
EXAMPLE = '''
from typing import assert_type

import numpy as np
import numpy.typing as npt

from velorn import GraphWrapper
from velorn.algorithms.src.kelvo.binaries.kelvo_postprocess import kelvo_postprocess
from velorn.algorithms.src.tolmar.binaries.tolmar_connect import connect_unlabeled
from velorn.algorithms.src.tolmar.binaries.tolmar_lp import weighted_label_propagation

points = np.array([[0.0, 0.0], [0.2, 0.0], [5.0, 5.0], [2.0, 2.0]])
clusters = np.array([0, 0, 1, -1], dtype=np.int32)
relabelled = kelvo_postprocess(points, clusters, metric="minkowski", p=np.int64(1), threshold=0)
assert_type(relabelled, npt.NDArray[np.int32])
assert relabelled.tolist() == [0, 0, 1, 0]

knn_ids = np.array([[1, 2], [0, 2], [1, 0]], dtype=np.int64)
knn_distances = np.array([[1.0, 2.0], [1.0, 1.5], [1.5, 2.0]], dtype=np.float32)
connections = GraphWrapper.from_knn(knn_ids[:, :1])
weights = GraphWrapper.from_knn(knn_distances[:, :1])
components: list[tuple[list[int], bool]] = [([0, 1, 2], True)]
reached = np.ones(3, dtype=np.uint8)
grown = connect_unlabeled(knn_ids, knn_distances, components, reached, connections, weights)
assert_type(grown, tuple[GraphWrapper, GraphWrapper])

labels = np.array([4, -1, -1], dtype=np.int32)
result = weighted_label_propagation(connections, weights, labels, max_iterations=10, tolerance=0)
assert_type(result, npt.NDArray[np.int32])
assert labels.tolist() == [4, 4, 4]


wide_labels = labels.astype(np.int64)  # inline, mypy would infer int32 from the context


class Float64Rows:
    def to_numpy(self, i: int) -> npt.NDArray[np.float64]:
        return np.ones(1)


def mistakes() -> None:
    kelvo_postprocess(points, wide_labels)  # error
    kelvo_postprocess(points, [0, 0, 1, -1])  # error
    kelvo_postprocess(points, clusters, metric=None)  # error
    kelvo_postprocess(points, clusters, p=1.5)  # error
    weighted_label_propagation(connections, weights, labels, max_iter=10)  # error
    weighted_label_propagation(connections, Float64Rows(), labels)  # error
    weighted_label_propagation(connections, weights, wide_labels)  # error
    connect_unlabeled(knn_ids, knn_distances, [((0, 1, 2), True)], reached, connections, weights)  # error
    connect_unlabeled(knn_ids, knn_distances, components, reached, Float64Rows(), weights)  # error
'''


# A user's example of the one-call API: mypy --strict accepts it, and
# rejects the lines marked "# error".
ONE_CALL_EXAMPLE = '''
from typing import assert_type

import numpy as np
import numpy.typing as npt

from velorn import WeightedLabelPropagation, kelvo_postprocess, reassign_noise

points = np.array([[0.0, 0.0], [0.1, 0.0], [5.0, 5.0], [5.1, 5.0]])
model = WeightedLabelPropagation(n_neighbors=1, search="exact", on_unreachable="raise").fit(
    points, ["near", -1, "far", -1]
)
assert_type(model, WeightedLabelPropagation)
labels: npt.NDArray[np.generic] = model.transduction_
probabilities: npt.NDArray[np.float64] = model.predict_proba(points)
assert model.predict(points).tolist() == labels.tolist() == ["near", "near", "far", "far"]
assert model.unreachable_.sum() == 0 and model.classes_.tolist() == ["far", "near"]

clusters = reassign_noise(points.tolist(), [0, -1, 1, -1], max_distance=1.0, metric="euclidean")
assert_type(clusters, npt.NDArray[np.integer])
assert clusters.tolist() == [0, 0, 1, 1]
assert kelvo_postprocess(points, np.array([0, -1, 1, -1], dtype=np.int32)).tolist() == [0, 0, 1, 1]


def mistakes() -> None:
    WeightedLabelPropagation(15, "euclidean")  # error
    WeightedLabelPropagation(search="fastest")  # error
    reassign_noise(points, [0, -1, 1, -1], max_distance="far")  # error
'''


@pytest.mark.parametrize("source", [EXAMPLE, ONE_CALL_EXAMPLE], ids=["kernels", "one call"])
def test_strict_mypy_accepts_use_and_rejects_mistakes(tmp_path, source):
    pytest.importorskip("mypy")
    example = tmp_path / "example.py"
    example.write_text(source)
    # Outside the source tree, so that both see the installed package.
    subprocess.run([sys.executable, "-P", str(example)], cwd=tmp_path, check=True)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), example.name],
        cwd=tmp_path, capture_output=True, text=True,
    )
    reported = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    marked = {number for number, line in enumerate(source.splitlines(), 1) if line.endswith("# error")}
    assert reported == marked, result.stdout + result.stderr


@pytest.mark.parametrize("module_name", FUNCTIONS)
def test_stub_beside_the_module_matches_the_function(module_name):
    module = importlib.import_module(module_name)
    stub = Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")
    [declared] = [node for node in ast.parse(stub.read_text()).body if isinstance(node, ast.FunctionDef)]
    assert declared.name == FUNCTIONS[module_name]
    arguments = declared.args
    assert not (arguments.posonlyargs or arguments.kwonlyargs or arguments.vararg or arguments.kwarg)
    defaults = [ast.literal_eval(value) for value in arguments.defaults]
    defaults = [inspect.Parameter.empty] * (len(arguments.args) - len(defaults)) + defaults
    function = getattr(module, declared.name)
    assert [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()] == [
        (argument.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, default)
        for argument, default in zip(arguments.args, defaults)
    ]


def test_package_is_marked_typed():
    import velorn

    assert (Path(velorn.__file__).parent / "py.typed").is_file()

"""velorn: graph label propagation and cluster post-processing."""

from importlib.metadata import PackageNotFoundError, version
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from velorn.algorithms.graph_wrapper import GraphWrapper
    from velorn.algorithms.src.kelvo.binaries.kelvo_postprocess import kelvo_postprocess
    from velorn.algorithms.src.tolmar.binaries.tolmar_connect import connect_unlabeled
    from velorn.algorithms.src.tolmar.binaries.tolmar_lp import weighted_label_propagation
    from velorn.noise import reassign_noise
    from velorn.poisson import PoissonLabelPropagation
    from velorn.propagation import WeightedLabelPropagation

try:
    __version__ = version("velorn")  # set once, in meson.build
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "GraphWrapper",
    "PoissonLabelPropagation",
    "WeightedLabelPropagation",
    "connect_unlabeled",
    "kelvo_postprocess",
    "reassign_noise",
    "weighted_label_propagation",
    "__version__",
]

# Imported on first use, so that `import velorn` works (and says what is
# missing) before the native modules are built, and so that importing one
# native module (a kernel) does not load the others (GraphWrapper's).
_LAZY = {
    "GraphWrapper": "velorn.algorithms.graph_wrapper",
    "WeightedLabelPropagation": "velorn.propagation",
    "PoissonLabelPropagation": "velorn.poisson",
    "reassign_noise": "velorn.noise",
    "kelvo_postprocess": "velorn.algorithms.src.kelvo.binaries.kelvo_postprocess",
    "weighted_label_propagation": "velorn.algorithms.src.tolmar.binaries.tolmar_lp",
    "connect_unlabeled": "velorn.algorithms.src.tolmar.binaries.tolmar_connect",
}


# Every native module the build makes (meson.build's `modules`), by import
# name: the demo, the wheel check and the tests import each of them, so that
# a module missing from a build fails them instead of being passed over.
_NATIVE_MODULES = (
    "velorn.algorithms.src.kelvo.binaries.kelvo_postprocess",
    "velorn.algorithms.src.tolmar.binaries.tolmar_lp",
    "velorn.algorithms.src.tolmar.binaries.tolmar_connect",
    "velorn.algorithms.src.tolmar.binaries.graph_wrapper",
    "velorn._native.label_sweeps",
    "velorn._native.poisson_solver",
    "velorn._native.class_shifts",
    "velorn._native.nearest_centroid",
)


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'velorn' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))

"""velorn: graph label propagation and cluster post-processing."""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from velorn.algorithms.graph_wrapper import GraphWrapper

__version__ = "0.1.0"

__all__ = ["GraphWrapper", "__version__"]


def __getattr__(name: str) -> Any:
    # GraphWrapper is a native module of its own: importing the package (and
    # with it a kernel module) does not load it until it is asked for.
    if name == "GraphWrapper":
        from velorn.algorithms.graph_wrapper import GraphWrapper

        return GraphWrapper
    raise AttributeError(f"module 'velorn' has no attribute {name!r}")

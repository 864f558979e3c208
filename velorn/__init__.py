"""velorn: graph label propagation and cluster post-processing."""

from velorn.algorithms.graph_wrapper import GraphWrapper

__version__ = "0.1.0"

__all__ = ["GraphWrapper", "__version__"]

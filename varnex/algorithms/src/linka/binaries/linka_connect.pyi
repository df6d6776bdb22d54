"""Joining unlabelled components to the labelled part of a graph (native)."""

import numpy as np
import numpy.typing as npt

from varnex.graph import GraphWrapper

def connect_unlabeled(
    knn_connections: npt.NDArray[np.int64],
    knn_weights: npt.NDArray[np.float32],
    components: list[tuple[list[int], int]],
    vertix_component_label: npt.NDArray[np.uint8],
    connections: GraphWrapper,
    weights: GraphWrapper,
) -> tuple[GraphWrapper, GraphWrapper]:
    """Add edge pairs from the k-nearest-neighbour lists until every node is reached from
    a labelled component; extends `connections` and `weights` in place and returns them.
    Raises SystemError "NO PROGRESS :)" when some node cannot be reached."""

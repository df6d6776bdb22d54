"""Connected components of a neighbour graph (native)."""

import numpy as np
import numpy.typing as npt

from varnex.graph import GraphWrapper, _AlgorithmInput

def find_connected_components(
    X: _AlgorithmInput,
    connections: GraphWrapper,
) -> tuple[list[tuple[list[int], int]], npt.NDArray[np.uint8]]:
    """Breadth-first components of `connections` as ``(components, vertix_component_label)``:
    each component is ``(nodes, is_labeled)`` with `is_labeled` the int 1 when it holds
    a labelled node of `X`, else 0; `vertix_component_label` is that flag per node."""

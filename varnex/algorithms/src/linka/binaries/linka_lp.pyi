"""Weighted label propagation (native)."""

import numpy as np
import numpy.typing as npt

from varnex.graph import GraphWrapper

def weighted_label_propagation(
    connections: GraphWrapper,
    weights: GraphWrapper,
    initial_labels: npt.NDArray[np.int32],
    max_iterations: int = 50000,
    tolerance: float = 1e-3,
) -> npt.NDArray[np.int32]:
    """Label every unlabelled node (-1) with the label of largest summed (1 / weight)**2
    among its labelled neighbours, sweeping until the scores settle. Writes into
    `initial_labels` and returns an array over the same memory."""

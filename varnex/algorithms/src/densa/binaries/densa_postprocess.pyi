"""Cluster post-processing (native)."""

import numpy as np
import numpy.typing as npt

def densa_postprocess(
    points: npt.NDArray[np.float64],
    labels_in: npt.NDArray[np.int32],
    metric: str = "minkowski",
    p: int = 2,
    threshold: int = -1,
) -> npt.NDArray[np.int32]:
    """Dissolve the clusters below `threshold` into noise, then give every noise point
    (-1) the label of the nearest surviving cluster centroid. Returns a new int32 array."""

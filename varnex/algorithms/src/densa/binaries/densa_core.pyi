"""Semi-supervised density clustering (native)."""

import numpy as np
import numpy.typing as npt

def densa_main(
    data: npt.NDArray[np.float64],
    eps: float,
    min_samples: int,
    labels: npt.NDArray[np.int32],
    metric: str | None,
    p: int,
) -> npt.NDArray[np.int32]:
    """Cluster the rows of `data` (C-contiguous, writable float64) keeping the known
    `labels` (int32, -1 unlabelled): known classes keep their label, clusters found
    among unlabelled points are -2, -3, ..., noise is -1. Returns a new int32 array."""

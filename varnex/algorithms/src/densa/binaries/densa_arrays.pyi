"""Density clustering over CSR neighbourhood arrays (native)."""

import numpy as np
import numpy.typing as npt

def cluster_neighbourhoods(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    labels: npt.NDArray[np.int32],
    min_samples: int,
) -> npt.NDArray[np.int32]:
    """Semi-supervised DBSCAN over CSR neighbourhoods (every row holding its own point);
    the GIL is released while it runs. Returns new int32 labels."""

def neighbourhoods_from_pairs(
    pairs: npt.NDArray[np.int64],
    n_samples: int,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int32]]:
    """CSR rows of the symmetric graph whose edges are the rows of `pairs`, every point
    first in its own row."""

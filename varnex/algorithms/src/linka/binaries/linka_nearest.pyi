"""Exact k-nearest-neighbour lists from blocks of inner products (native)."""

import numpy as np
import numpy.typing as npt

def nearest_rows(
    products: npt.NDArray[np.float32],
    norms: npt.NDArray[np.float64],
    row_start: int,
    points: npt.NDArray[np.float64],
    distances: npt.NDArray[np.float32],
    indices: npt.NDArray[np.int32] | npt.NDArray[np.int64],
) -> None:
    """The k nearest other points of the points row_start .. row_start + len(products) - 1,
    nearest first, equal distances by lower index, written into their rows of `distances`
    and `indices` (shape (n_points, k)). products[r, j] is the inner product of the
    centred points row_start + r and j, `norms` their squared norms as the products saw
    them; the points themselves decide every point the products cannot."""

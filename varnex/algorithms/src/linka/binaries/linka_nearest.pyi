"""Exact k-nearest-neighbour lists from tiles of inner products (native)."""

import numpy as np
import numpy.typing as npt

def offer_tile(
    products: npt.NDArray[np.float32],
    norms: npt.NDArray[np.float64],
    row_start: int,
    column_start: int,
    points: npt.NDArray[np.float64],
    nearest_squared: npt.NDArray[np.float64],
    nearest_index: npt.NDArray[np.int64],
) -> None:
    """Offers the points column_start .. column_start + products.shape[1] - 1 to the k
    nearest so far of the points row_start .. row_start + products.shape[0] - 1.
    products[r, c] is the inner product of those centred points, `norms` the squared
    norms of all centred points as the products saw them. Row r of `nearest_squared`
    and `nearest_index` (shape (rows, k)) is a max-heap of (squared distance, index),
    farthest on top, fresh rows holding (+inf, 2**63 - 1); points whose estimate could
    enter it are measured from `points`, which decide."""

"""What the searches answer, by name."""

from typing import NamedTuple

import numpy as np

__all__ = ["Neighbourhoods"]


class Neighbourhoods(NamedTuple):
    """Radius neighbourhoods as CSR rows: row i is ``indices[indptr[i]:indptr[i + 1]]``
    (int64 and int32), sample i not among them. ``self_within[i]`` tells whether sample i
    is in its own neighbourhood; None when every sample is."""

    indptr: np.ndarray
    indices: np.ndarray
    self_within: np.ndarray | None = None

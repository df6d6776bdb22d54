"""Density clustering with neighbourhoods fetched a batch at a time (native)."""

from collections.abc import Callable

import numpy as np
import numpy.typing as npt

def cluster_streamed(
    lengths: npt.NDArray[np.int64],
    core: npt.NDArray[np.uint8],
    labels: npt.NDArray[np.int32],
    fetch: Callable[[npt.NDArray[np.int32], npt.NDArray[np.int32] | None],
                    tuple[npt.NDArray[np.int32], npt.NDArray[np.int32]]],
    budget: int,
) -> npt.NDArray[np.int32]:
    """`cluster_neighbourhoods` with rows fetched on demand: ``lengths[i]`` counts the
    neighbours of point i but itself, ``core[i]`` flags the core points, and
    ``fetch(points, candidates)`` returns the rows of `points` as ``(positions,
    neighbours)``, entry k putting ``neighbours[k]`` in the row of
    ``points[positions[k]]``; where `candidates` is not None, only the neighbours among
    them are needed. A batch holds at most `budget` entries, or one longer row. The GIL
    is released between fetches. Returns new int32 labels."""

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

def cluster_streamed_synchronously(
    lengths: npt.NDArray[np.int64],
    core: npt.NDArray[np.uint8],
    labels: npt.NDArray[np.int32],
    fetch: Callable[[npt.NDArray[np.int32], npt.NDArray[np.int32] | None],
                    tuple[npt.NDArray[np.int32], npt.NDArray[np.int32]]],
    budget: int,
    points: npt.NDArray[np.float64]
    | tuple[npt.NDArray[np.int64], npt.NDArray[np.int32], npt.NDArray[np.float64]]
    | None,
    p: float,
) -> npt.NDArray[np.int32]:
    """`cluster_synchronously` with rows fetched on demand, as in `cluster_streamed`:
    the labelled points seed at once and grow a layer at a time, and a point reached by
    several clusters in one layer joins that of the nearest point that reached it, by
    the Minkowski distance of exponent `p` between rows of `points` (dense, sparse CSR
    arrays with sorted features, or None for ties everywhere). Labels are -1 or a class
    of 0 or more. Returns new int32 labels."""

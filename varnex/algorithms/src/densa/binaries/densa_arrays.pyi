"""Density clustering over CSR neighbourhood arrays (native)."""

import numpy as np
import numpy.typing as npt

def cluster_neighbourhoods(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    labels: npt.NDArray[np.int32],
    min_samples: int,
) -> npt.NDArray[np.int32]:
    """Semi-supervised DBSCAN over CSR neighbourhoods: row i lists the other points
    within reach of point i, which itself counts towards `min_samples`. The GIL is
    released while it runs. Returns new int32 labels."""

def cluster_weighted_neighbourhoods(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    labels: npt.NDArray[np.int32],
    min_samples: float,
    weights: npt.NDArray[np.float64],
    self_weights: npt.NDArray[np.float64],
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.uint8]]:
    """`cluster_neighbourhoods` with sample weights: point i is a core point when
    ``self_weights[i]`` plus the weights of the points in row i reach `min_samples`
    (``self_weights[i]`` is 0 where the point is outside its own neighbourhood).
    Returns the new int32 labels and uint8 core flags."""

def cluster_synchronously(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    labels: npt.NDArray[np.int32],
    min_samples: float,
    weights: npt.NDArray[np.float64] | None,
    self_weights: npt.NDArray[np.float64] | None,
    points: npt.NDArray[np.float64] | None,
    p: float,
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.uint8]]:
    """`cluster_neighbourhoods` grown synchronously: labelled points seed at once and
    grow a layer at a time; a point reached by several clusters in one layer joins that
    of the nearest point that reached it (Minkowski distance of exponent `p` between
    rows of `points`; None makes every contest a tie, won by the lower class). New
    clusters are the remaining groups of connected core points, a border point going to
    its nearest core point's. `weights` and `self_weights` as in
    `cluster_weighted_neighbourhoods`, or None for the plain count. Labels must be -1
    or at least 0. Returns the new int32 labels and uint8 core flags."""

def neighbourhoods_from_pairs(
    blocks: list[npt.NDArray[np.int32]],
    n_samples: int,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int32]]:
    """CSR rows (indptr int64, indices int32) of the symmetric graph whose edges are the
    rows of the int32 (n_pairs, 2) arrays in `blocks`, each pair once."""

def close_pairs(
    products: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    norms: npt.NDArray[np.float64],
    row_start: int,
    column_start: int,
    radius: float,
    points: npt.NDArray[np.float64],
) -> npt.NDArray[np.int32]:
    """The pairs (i, j), i < j, of one tile of inner products of centred points that lie
    within `radius` of each other (boundary included), decided from `points` near the
    boundary; int32 of shape (n_pairs, 2)."""

def label_groups(
    labels: npt.NDArray[np.int32],
    n_threads: int = 1,
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """The rows grouped by label on `n_threads` threads: ``(values, starts, rows)``, where
    ``rows[starts[g]:starts[g + 1]]`` are the rows labelled ``values[g]`` in increasing
    order, the values increasing."""

def cluster_means(
    labels: npt.NDArray[np.int32],
    points: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64] | None,
    n_threads: int = 1,
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float64]]:
    """The clusters (every label but -1) in increasing order and the mean of each one's
    rows of `points`, weighted by `weights` as shares of the cluster's largest magnitude
    where they sum to more than 0, by count otherwise; the same bits on any number of
    threads. Returns ``(values, means)``."""

def nearest_centres(
    points: npt.NDArray[np.float64],
    centres: npt.NDArray[np.float64],
    p: float,
    n_threads: int = 1,
) -> npt.NDArray[np.int64]:
    """The row of `centres` nearest each row of `points` by the Minkowski distance of
    exponent `p`, the first among equals; -1 where none lies at a finite distance. The
    same on any number of threads."""

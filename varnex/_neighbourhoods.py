"""Radius neighbourhoods as CSR arrays, by the fastest exact route for the data.

Row i of the result lists every sample within distance `eps` of sample i, boundary
included (distance <= eps) and sample i itself among them, as the radius queries of
`densa_main` count them: ``indptr`` (int64, n_samples + 1 entries) and ``indices``
(int32). The order of indices within a row is unspecified.

Routes:
- Euclidean distance in few dimensions: a k-d tree's self-join, which reports each pair
  once as arrays; a counting sort in native code turns the pairs into rows.
- Euclidean distance in many dimensions, where trees lose to brute force: distances from
  matrix products (BLAS) in blocks of bounded size, the pairs close to the boundary
  decided again from the coordinates themselves.
- Every other metric: scikit-learn's ball tree, the query of `densa_main` itself.
"""

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from scipy.spatial import cKDTree
from sklearn.neighbors import BallTree

from varnex.algorithms.src.densa.binaries.densa_arrays import neighbourhoods_from_pairs

__all__ = ["radius_neighbourhoods"]

# Above this many features a tree prunes too little and brute force wins, as in
# scikit-learn's automatic choice of neighbour algorithm.
MAX_TREE_FEATURES = 15

# Distances of one brute-force block stay within this many doubles (16 MiB).
BLOCK_DOUBLES = 1 << 21


def radius_neighbourhoods(X, eps, metric="euclidean", p=2, n_jobs=None):
    """Every sample's neighbours within `eps`, as int32 CSR rows.

    Parameters
    ----------
    X : ndarray of shape (n_samples, n_features), float64, C-contiguous
        The samples.
    eps : float
        The radius, boundary included.
    metric : str, default="euclidean"
        Any metric of scikit-learn's ``BallTree``.
    p : int, default=2
        Minkowski exponent, used only when `metric` is ``"minkowski"``.
    n_jobs : int, default=None
        Parallel jobs for the queries that split into independent parts (the ball tree
        and brute force). None means 1, -1 all processors.

    Returns
    -------
    indptr : ndarray of int64, shape (n_samples + 1,)
    indices : ndarray of int32, shape (indptr[-1],)
    """
    n_samples, n_features = X.shape
    if n_samples == 0:
        return np.zeros(1, dtype=np.int64), np.empty(0, dtype=np.int32)
    if metric in ("euclidean", "l2") or (metric == "minkowski" and p == 2):
        if n_features <= MAX_TREE_FEATURES:
            return _tree_pairs(X, eps)
        return _brute_euclidean(X, eps, effective_n_jobs(n_jobs))
    return _ball_tree(X, eps, metric, p, effective_n_jobs(n_jobs))


def effective_n_jobs(n_jobs):
    """scikit-learn's meaning of `n_jobs`: None is 1, -1 every processor, -2 all but one."""
    if n_jobs is None:
        return 1
    if n_jobs < 0:
        return max(1, (os.cpu_count() or 1) + 1 + n_jobs)
    return max(1, n_jobs)


def _map_in_threads(function, items, n_jobs):
    """[function(item) for item in items], on up to `n_jobs` threads; the work releases the GIL."""
    if n_jobs <= 1 or len(items) <= 1:
        return [function(item) for item in items]
    with ThreadPoolExecutor(max_workers=min(n_jobs, len(items))) as pool:
        return list(pool.map(function, items))


def _tree_pairs(X, eps):
    # Unbalanced (sliding-midpoint) trees build faster; the pairs found are the same.
    pairs = cKDTree(X, balanced_tree=False).query_pairs(eps, output_type="ndarray")
    pairs = np.ascontiguousarray(pairs, dtype=np.int64).reshape(-1, 2)
    return neighbourhoods_from_pairs(pairs, X.shape[0])


def _ball_tree(X, eps, metric, p, n_jobs):
    tree = BallTree(X, metric=metric, p=p) if metric == "minkowski" else BallTree(X, metric=metric)
    parts = np.array_split(X, min(n_jobs, X.shape[0]))
    found = _map_in_threads(lambda part: tree.query_radius(part, r=eps), parts, n_jobs)
    rows = [row for part in found for row in part]
    return _from_rows(rows)


def _from_rows(rows):
    lengths = np.fromiter(map(len, rows), dtype=np.int64, count=len(rows))
    indptr = np.zeros(len(rows) + 1, dtype=np.int64)
    np.cumsum(lengths, out=indptr[1:])
    indices = np.concatenate(rows).astype(np.int32, copy=False) if rows else np.empty(0, np.int32)
    return indptr, indices


def _brute_euclidean(X, eps, n_jobs):
    n_samples, n_features = X.shape
    # Products of centred samples lose less to cancellation; the coordinates that
    # decide the uncertain pairs are the caller's own.
    centred = X - X.mean(axis=0)
    norms = np.einsum("ij,ij->i", centred, centred)
    # Bound on the rounding of |x|^2 + |y|^2 - 2 x.y (and of the centring) against the
    # squared distance, generously: within it a pair is checked again exactly.
    tolerance = 4.0 * (n_features + 8) * np.finfo(np.float64).eps
    limit = eps * eps
    block = max(1, BLOCK_DOUBLES // n_samples)
    starts = list(range(0, n_samples, block))
    found = _map_in_threads(
        lambda start: _brute_block(X, centred, norms, start, min(start + block, n_samples), limit, tolerance),
        starts, n_jobs)
    counts = np.concatenate([c for c, _ in found])
    indptr = np.zeros(n_samples + 1, dtype=np.int64)
    np.cumsum(counts, out=indptr[1:])
    return indptr, np.concatenate([i for _, i in found])


def _brute_block(X, centred, norms, start, stop, limit, tolerance):
    squared = centred[start:stop] @ centred.T
    squared *= -2.0
    squared += norms
    squared += norms[start:stop, None]
    slack = tolerance * (norms[start:stop] + norms.max())
    rows, cols = np.nonzero(squared <= (limit + slack)[:, None])
    unsure = squared[rows, cols] >= limit - slack[rows]
    if unsure.any():
        diff = X[start + rows[unsure]] - X[cols[unsure]]
        keep = np.ones(rows.shape[0], dtype=bool)
        keep[unsure] = np.einsum("ij,ij->i", diff, diff) <= limit
        rows, cols = rows[keep], cols[keep]
    return np.bincount(rows, minlength=stop - start), cols.astype(np.int32)

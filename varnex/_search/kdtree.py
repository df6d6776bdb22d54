"""Searches by SciPy's k-d tree, for the Minkowski metrics in few features."""

import numpy as np
from scipy.spatial import cKDTree

from varnex._search.threads import map_in_threads
from varnex.algorithms.src.densa.binaries.densa_arrays import neighbourhoods_from_pairs

__all__ = ["KDTreeSearch", "tree_neighbourhoods"]

# The radius search joins slabs of at most this many points: a self-join's pairs cost
# the library far more memory while it collects them than once they are narrowed.
SLAB_POINTS = 1 << 16


class KDTreeSearch:
    """k nearest training samples by one k-d tree of them, on `threads` threads."""

    def __init__(self, X, exponent, threads):
        # Sliding-midpoint splits build several times faster than median splits and
        # answer these queries as fast.
        self._tree = cKDTree(X, balanced_tree=False, compact_nodes=False)
        self._exponent, self._threads = exponent, threads

    @property
    def leaf_order(self):
        """The samples in the order of the tree's leaves: consecutive queries in this
        order walk the same nodes while they are in cache, twice as fast as in the
        samples' order."""
        return self._tree.indices

    def kneighbors(self, queries, k):
        distances, indices = self._tree.query(queries, k=k, p=self._exponent, workers=self._threads)
        return distances.reshape(len(queries), k), indices.reshape(len(queries), k)


def tree_neighbourhoods(X, eps, threads):
    """Euclidean neighbourhoods from k-d tree self-joins over slabs of the points."""
    n_samples = X.shape[0]
    # Threads join slabs side by side, each holding its pairs while they are collected:
    # slabs a thread's share of the size keep that peak where one thread keeps it.
    n_slabs = max(threads, -(-n_samples * threads // SLAB_POINTS))
    if n_slabs == 1:
        blocks = [_slab_pairs(X, eps, np.arange(n_samples), n_samples)]
    else:
        # Slabs along the widest coordinate; each is joined with the points of the later
        # slabs that could lie within eps of it (a generous margin: a pair counts by
        # the tree's own rule, whatever the margin, and the margin is only searched).
        axis = np.argmax(np.ptp(X, axis=0))
        order = np.argsort(X[:, axis], kind="stable")
        coordinate = X[order, axis]
        bounds = np.linspace(0, n_samples, n_slabs + 1).astype(np.int64)
        ends = np.searchsorted(coordinate, coordinate[bounds[1:] - 1] + 2 * eps, side="right")
        slabs = [(order[start:end], stop - start) for start, stop, end in zip(bounds[:-1], bounds[1:], ends)]
        blocks = map_in_threads(lambda slab: _slab_pairs(X, eps, *slab), slabs, threads)
    return neighbourhoods_from_pairs(blocks, n_samples)


def _slab_pairs(X, eps, points, n_owned):
    """int32 pairs within eps among X[points] with at least one of the first `n_owned`."""
    # Unbalanced (sliding-midpoint) trees build faster; the pairs found are the same.
    local = cKDTree(X[points], balanced_tree=False).query_pairs(eps, output_type="ndarray").reshape(-1, 2)
    if n_owned < len(points):
        local = local[(local < n_owned).any(axis=1)]
    return points.astype(np.int32)[local]

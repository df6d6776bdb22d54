"""Searches by SciPy's k-d tree, for the Minkowski metrics in few features."""

from functools import cached_property
from itertools import chain

import numpy as np
from scipy.spatial import cKDTree

from varnex._search.blocks import paced
from varnex._search.threads import map_in_threads
from varnex.algorithms.src.densa.binaries.densa_arrays import neighbourhoods_from_pairs

__all__ = ["KDTreeRows", "KDTreeSearch", "tree_neighbourhoods"]

# The radius search joins slabs of at most this many points: a self-join's pairs cost
# the library far more memory while it collects them than once they are narrowed.
SLAB_POINTS = 1 << 16

# In this many features the tree's pair self-join of a slab takes a fraction of a
# second and beats every other query; in more it can take many seconds in one call, which
# no interrupt can stop, and queries from paced blocks of points take as long in all.
PAIR_JOIN_FEATURES = 2


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
        distances = np.empty((len(queries), k))
        indices = np.empty((len(queries), k), dtype=np.intp)
        for rows in paced(len(queries)):
            found_distances, found = self._tree.query(queries[rows.start:rows.stop], k=k, p=self._exponent,
                                                      workers=self._threads)
            distances[rows.start:rows.stop] = found_distances.reshape(len(rows), k)
            indices[rows.start:rows.stop] = found.reshape(len(rows), k)
        return distances, indices


def tree_neighbourhoods(X, eps, threads, advance=None):
    """Euclidean neighbourhoods from k-d tree self-joins over slabs of the points;
    `advance(count)` hears of each slab's points once they are joined."""
    n_samples = X.shape[0]
    # Threads join slabs side by side, each holding its pairs while they are collected:
    # slabs a thread's share of the size keep that peak where one thread keeps it.
    n_slabs = max(threads, -(-n_samples * threads // SLAB_POINTS))
    if n_slabs == 1:
        blocks = [_slab_pairs(X, eps, np.arange(n_samples), n_samples, advance)]
    else:
        slabs = _Slabs(X, eps, n_slabs)
        blocks = map_in_threads(lambda slab: _slab_pairs(X, eps, *slabs.points(slab), advance), range(n_slabs),
                                threads)
    return neighbourhoods_from_pairs(blocks, n_samples)


class _Slabs:
    """Slabs along the widest coordinate, of about equal numbers of points. Slab s is
    joined with the points of the later slabs that could lie within eps of it (a
    generous margin: a pair counts by the tree's own rule, whatever the margin, and the
    margin is only searched), so each pair is found once, in the slab of its lower
    coordinate.

    The slabs are bounded by quantiles of a sample of the coordinate and the points put
    in them by a counting sort: a sort of the whole coordinate would take as long as a
    thread's share of the joins."""

    def __init__(self, X, eps, n_slabs):
        # Column by column: a reduction over axis 0 of a C-ordered array is ten times slower.
        axis = int(np.argmax([np.ptp(X[:, k]) for k in range(X.shape[1])]))
        self._coordinate = np.ascontiguousarray(X[:, axis])
        sample = np.sort(self._coordinate[::max(1, len(X) // (256 * n_slabs))])
        # Slab s holds the coordinates in [bounds[s], bounds[s + 1]).
        inner = sample[np.arange(1, n_slabs) * len(sample) // n_slabs]
        slab_of = np.searchsorted(inner, self._coordinate, side="right")
        self._order = np.argsort(slab_of.astype(np.int16 if n_slabs < 1 << 15 else np.int32), kind="stable")
        self._starts = np.zeros(n_slabs + 1, dtype=np.int64)
        np.cumsum(np.bincount(slab_of, minlength=n_slabs), out=self._starts[1:])
        self._reach = np.r_[inner, np.inf] + 2 * eps  # the margin of slab s lies below reach[s]
        self._lower = np.r_[-np.inf, inner]

    def points(self, slab):
        """The points of `slab`, its own first, and how many are its own."""
        own = self._order[self._starts[slab]:self._starts[slab + 1]]
        last = int(np.searchsorted(self._lower, self._reach[slab], side="right"))  # slabs that can hold margin
        later = self._order[self._starts[slab + 1]:self._starts[last]]
        margin = later[self._coordinate[later] < self._reach[slab]]
        return np.concatenate([own, margin]), len(own)


def _slab_pairs(X, eps, points, n_owned, advance=None):
    """int32 pairs within eps among X[points] with at least one of the first `n_owned`."""
    # Unbalanced (sliding-midpoint) trees build faster; the pairs found are the same.
    slab = X[points]
    tree = cKDTree(slab, balanced_tree=False)
    if X.shape[1] <= PAIR_JOIN_FEATURES:
        local = tree.query_pairs(eps, output_type="ndarray").reshape(-1, 2)
        if n_owned < len(points):
            local = local[local[:, 0] < n_owned]  # pairs (i, j) come with i < j
        if advance is not None:
            advance(n_owned)
        return points.astype(np.int32)[local]
    found = []
    # Paced blocks of the owned points, each a short call; each pair is kept once, from
    # its lower point.
    for rows in paced(n_owned):
        lists = tree.query_ball_point(slab[rows.start:rows.stop], eps, return_sorted=False)
        lengths = np.fromiter(map(len, lists), dtype=np.int64, count=len(lists))
        second = np.fromiter(chain.from_iterable(lists), dtype=np.int64, count=int(lengths.sum()))
        first = np.repeat(np.arange(rows.start, rows.stop), lengths)
        later = second > first
        found.append(np.column_stack([first[later], second[later]]).astype(np.int32))
    local = np.concatenate(found) if found else np.empty((0, 2), dtype=np.int32)
    if advance is not None:
        advance(n_owned)
    return points.astype(np.int32)[local]


class KDTreeRows:
    """Euclidean neighbourhoods of any set of samples, by the same k-d tree decisions as
    `tree_neighbourhoods`: the rows of a few samples at a time, for the bounded route."""

    def __init__(self, X, threads):
        self._X, self._threads = X, threads

    @cached_property
    def _tree(self):
        return cKDTree(self._X, balanced_tree=False)

    def count(self, points, eps):
        # Every sample lies within eps of itself, and its row leaves it out.
        return self._tree.query_ball_point(self._X[points], eps, return_length=True, workers=self._threads) - 1

    def rows(self, points, eps, candidates=None):
        local = cKDTree(self._X[points], balanced_tree=False)
        among = self._tree if candidates is None else cKDTree(self._X[candidates], balanced_tree=False)
        found = local.sparse_distance_matrix(among, eps, output_type="ndarray")
        positions = found["i"].astype(np.int32)
        neighbours = found["j"].astype(np.int32) if candidates is None else candidates[found["j"]]
        del found
        keep = neighbours != points[positions]
        return positions[keep], neighbours[keep]

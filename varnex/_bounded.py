"""Density clustering in memory that grows with the number of samples, not of pairs.

The in-memory route holds every neighbourhood at once: 8 bytes per sample and 4 per
neighbour, which grows with the square of `eps`. The bounded route holds O(n) state and
one batch of rows:

1. a counting pass gives every sample's neighbourhood size (and, with sample weights,
   its weight sum), hence the core samples, without keeping any list;
2. the clustering then fetches rows as it reads them, in queue order, the rows of the
   samples queued after a missing one in the same batch, up to a budget of entries.
   Only rows that can change the clusters are fetched: none of samples that do not
   spread their cluster, and, once most samples are visited, only the neighbours not
   yet visited.

Which samples are queued next does not depend on when their rows are fetched, and the
rows come from the same exact decisions as the in-memory route's, so the clusters are
the same, bit for bit.

The route is chosen by the size of the in-memory neighbourhoods, predicted from a
sample of the data (and counted exactly where the prediction is close to the budget),
against scikit-learn's ``working_memory`` setting, which also sizes the batches.
"""

import os
from functools import cached_property

import numpy as np
import scipy.sparse as sp
import sklearn
from scipy.spatial import cKDTree
from sklearn.neighbors import VALID_METRICS, BallTree, NearestNeighbors
from threadpoolctl import threadpool_limits  # scikit-learn's own dependency

from varnex._neighbourhoods import MAX_TREE_FEATURES, TILE, effective_n_jobs, searchable
from varnex.algorithms.src.densa.binaries.densa_arrays import close_pairs
from varnex.algorithms.src.densa.binaries.densa_stream import cluster_streamed

__all__ = ["IN_MEMORY", "BOUNDED", "row_source", "choose_route", "cluster_bounded", "out_of_memory"]

IN_MEMORY, BOUNDED = "in-memory", "bounded"

# Bytes a fetched row entry takes while its batch is built: the search's own output
# (up to 24 bytes for a k-d tree's records), its int32 copies and the native buffer.
ENTRY_BYTES = 64

# Bytes of O(n) state per sample: counts and core flags (and their native copies),
# labels, result, visited flags, queue, batch slots, and the search index.
STATE_BYTES = 96

# The in-memory size is predicted from the neighbourhoods of this many samples among
# a subsample of 1/SUBSAMPLE of the data; the prediction is trusted when it lies
# outside MARGIN times the budget, and all are counted otherwise.
SAMPLE_SIZE = 512
SUBSAMPLE = 16
MARGIN = 1.25

# The counting pass takes this many samples at a time.
COUNT_BLOCK = 1 << 16


def row_source(X, eps, metric, p, metric_params, n_jobs):
    """The neighbourhoods of `X` within `eps`, for any subset of samples, found by the
    same exact decisions as the in-memory route's for this metric and data."""
    metric_params = metric_params or {}
    X = searchable(X, metric)
    if sp.issparse(X) or not (callable(metric) or metric in VALID_METRICS["ball_tree"]):
        return _BruteRows(X, eps, metric, p, metric_params, n_jobs)
    if not metric_params and (metric in ("euclidean", "l2") or (metric == "minkowski" and p == 2)):
        if X.shape[1] <= MAX_TREE_FEATURES:
            return _TreeRows(X, eps, n_jobs)
        return _ProductRows(X, eps)
    return _BallRows(X, eps, metric, p, metric_params, n_jobs)


def budget_bytes():
    """scikit-learn's ``working_memory`` setting, in bytes."""
    return int(sklearn.get_config()["working_memory"] * 2**20)


def choose_route(source, n_samples, budget):
    """``(route, lengths)``: the in-memory route where its neighbourhoods, 8 bytes per
    sample and 4 per neighbour, fit `budget` bytes, else the bounded one. `lengths` are
    the exact neighbourhood sizes where they had to be counted, or None."""
    if 8 * (n_samples + 1) + 4 * n_samples * max(n_samples - 1, 0) <= budget:
        return IN_MEMORY, None
    # The mean neighbourhood, from a sample's neighbours among a subsample (a 16th of
    # the data, whose search costs a 16th), scaled up.
    rng = np.random.default_rng(0)
    among = np.sort(rng.choice(n_samples, max(n_samples // SUBSAMPLE, min(n_samples, 2 * SAMPLE_SIZE)),
                               replace=False))
    sample = np.sort(rng.choice(len(among), min(SAMPLE_SIZE, len(among)), replace=False)).astype(np.int32)
    mean = float(np.mean(source.subset(among).count(sample))) * (n_samples - 1) / max(len(among) - 1, 1)
    predicted = 8 * (n_samples + 1) + 4 * n_samples * mean
    if predicted * MARGIN <= budget:
        return IN_MEMORY, None
    if predicted > budget * MARGIN:
        return BOUNDED, None
    lengths = count_all(source, n_samples)
    return (IN_MEMORY if 8 * (n_samples + 1) + 4 * int(lengths.sum()) <= budget else BOUNDED), lengths


def count_all(source, n_samples):
    """Every sample's neighbourhood size, its own point left out (int64)."""
    lengths = np.empty(n_samples, dtype=np.int64)
    for start in range(0, n_samples, COUNT_BLOCK):
        stop = min(start + COUNT_BLOCK, n_samples)
        lengths[start:stop] = source.count(np.arange(start, stop, dtype=np.int32))
    return lengths


def cluster_bounded(source, known, min_samples, weights, budget, lengths=None):
    """Raw clusters and core flags, as the in-memory route gives them, holding O(n)
    state and batches of about `budget` bytes at most. Raises MemoryError, saying what
    was needed, before allocating where the memory left cannot hold the O(n) state, and
    after where the memory ran out anyway."""
    n_samples = known.shape[0]
    budget = _fitting_budget(n_samples, budget)
    entries = max(1, budget // ENTRY_BYTES)
    try:
        if lengths is None:
            lengths = count_all(source, n_samples)
        if weights is None:
            core = lengths + 1 >= min_samples
        else:
            core = _weight_totals(source, lengths, weights, entries) >= min_samples
        clusters = cluster_streamed(lengths, core.astype(np.uint8), known, source.rows, entries)
    except MemoryError as error:
        raise out_of_memory(n_samples, budget, BOUNDED) from error
    return clusters, core


def out_of_memory(n_samples, budget, route):
    """The MemoryError to raise when a route ran out of memory anyway (the bounded one,
    or the in-memory one of precomputed distances, which has no other): what it
    needed, and what to change."""
    if route == "precomputed":
        return MemoryError(f"DensityClustering ran out of memory holding the neighbourhoods of {n_samples} samples "
                           "from precomputed distances: pass them as a sparse graph of the distances within eps "
                           "only (radius_neighbors_graph with mode='distance')")
    return MemoryError(f"DensityClustering ran out of memory on its bounded-memory route: {n_samples} samples need "
                       f"about {n_samples * STATE_BYTES / 2**20:.0f} MiB of state besides the data, and batches "
                       f"of up to {budget / 2**20:.3g} MiB; lower working_memory with "
                       "sklearn.set_config(working_memory=...), or cluster fewer samples")


def _fitting_budget(n_samples, budget):
    """`budget`, lowered to what the memory left can hold beside the O(n) state; raises
    MemoryError before allocating anything when even that state does not fit."""
    state = n_samples * STATE_BYTES
    available = _available_bytes()
    if available is None:
        return budget
    smallest = 16 * ENTRY_BYTES * max(1, min(n_samples, 1 << 16))
    if state + smallest > available:
        raise MemoryError(f"DensityClustering needs about {(state + smallest) / 2**20:.0f} MiB for the state of "
                          f"{n_samples} samples on its bounded-memory route, but only {available / 2**20:.0f} MiB "
                          "are left (free memory or the address-space limit): cluster fewer samples, or raise "
                          "the limit")
    return min(budget, (available - state) // 2)


def _available_bytes():
    """Memory this process may still take: the smaller of the address space its limit
    leaves and the memory the system has free. None where neither is known."""
    limits = []
    try:
        import resource  # POSIX only
        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        if soft != resource.RLIM_INFINITY:
            limits.append(soft - used)
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    limits.append(int(line.split()[1]) * 1024)
    except (ImportError, OSError, ValueError):
        pass
    return max(0, min(limits)) if limits else None


def _weight_totals(source, lengths, weights, entries):
    """Each sample's own weight plus its neighbours', over consecutive batches of rows."""
    totals = weights.copy()
    n_samples = lengths.shape[0]
    ends = np.cumsum(lengths)
    start = 0
    while start < n_samples:
        # At least one row, then as many as fit the entries.
        before = ends[start] - lengths[start]
        stop = max(start + 1, int(np.searchsorted(ends, before + entries, "right")))
        points = np.arange(start, stop, dtype=np.int32)
        positions, neighbours = source.rows(points, None)
        totals[start:stop] += np.bincount(positions, weights=weights[neighbours], minlength=stop - start)
        start = stop
    return totals


def _among(found, candidates, n_samples):
    """The entries of (positions, neighbours) whose neighbour is a candidate."""
    if candidates is None:
        return found
    wanted = np.zeros(n_samples, dtype=bool)
    wanted[candidates] = True
    positions, neighbours = found
    keep = wanted[neighbours]
    return positions[keep], neighbours[keep]


def _own_left_out(rows, points):
    """(positions, int32 neighbours) of per-sample index arrays, each without its own point."""
    lengths = np.fromiter(map(len, rows), dtype=np.int64, count=len(rows))
    neighbours = np.concatenate(rows).astype(np.int32) if len(rows) else np.empty(0, dtype=np.int32)
    positions = np.repeat(np.arange(len(rows), dtype=np.int32), lengths)
    keep = neighbours != points[positions]
    return positions[keep], neighbours[keep]


class _TreeRows:
    """Euclidean neighbourhoods in few dimensions, from a k-d tree."""

    def __init__(self, X, eps, n_jobs):
        self.X, self.eps, self.workers = X, eps, effective_n_jobs(n_jobs)

    def subset(self, points):
        return _TreeRows(self.X[points], self.eps, self.workers)

    @cached_property
    def tree(self):
        return cKDTree(self.X, balanced_tree=False)

    def count(self, points):
        return self.tree.query_ball_point(self.X[points], self.eps, return_length=True, workers=self.workers) - 1

    def rows(self, points, candidates=None):
        local = cKDTree(self.X[points], balanced_tree=False)
        among = self.tree if candidates is None else cKDTree(self.X[candidates], balanced_tree=False)
        found = local.sparse_distance_matrix(among, self.eps, output_type="ndarray")
        positions = found["i"].astype(np.int32)
        neighbours = found["j"].astype(np.int32) if candidates is None else candidates[found["j"]]
        del found
        keep = neighbours != points[positions]
        return positions[keep], neighbours[keep]


class _BallRows:
    """Neighbourhoods under any metric of scikit-learn's ball tree."""

    def __init__(self, X, eps, metric, p, metric_params, n_jobs):
        if metric == "minkowski":
            metric_params = {"p": p, **metric_params}
        self.X, self.eps, self.metric, self.metric_params = X, eps, metric, metric_params

    def subset(self, points):
        return _BallRows(self.X[points], self.eps, self.metric, 2, self.metric_params, None)

    @cached_property
    def tree(self):
        return BallTree(self.X, metric=self.metric, **self.metric_params)

    def count(self, points):
        return self.tree.query_radius(self.X[points], r=self.eps, count_only=True).astype(np.int64) - 1

    def rows(self, points, candidates=None):
        # Always the whole tree: a tree over the candidates alone could decide a tie at
        # eps otherwise, its bounds being rounded differently.
        return _among(_own_left_out(self.tree.query_radius(self.X[points], r=self.eps), points), candidates,
                      self.X.shape[0])


class _BruteRows:
    """Neighbourhoods from scikit-learn's brute-force radius query."""

    def __init__(self, X, eps, metric, p, metric_params, n_jobs):
        self.X, self.eps = X, eps
        self.parameters = (metric, p, metric_params, n_jobs)
        self.search = NearestNeighbors(algorithm="brute", metric=metric, p=p, metric_params=metric_params or None,
                                       n_jobs=n_jobs).fit(X)

    def subset(self, points):
        return _BruteRows(self.X[points], self.eps, *self.parameters)

    def count(self, points):
        positions, _ = self.rows(points, None)
        return np.bincount(positions, minlength=len(points)).astype(np.int64)

    def rows(self, points, candidates=None):
        # Always against every sample: distances from matrix products may round
        # differently in products of another shape.
        found = self.search.radius_neighbors(self.X[points], radius=self.eps, return_distance=False)
        return _among(_own_left_out(found, points), candidates, self.X.shape[0])


class _ProductRows:
    """Euclidean neighbourhoods in many dimensions, from tiles of matrix products: the
    in-memory route's own decisions, by the same native test, each batch of rows
    against every tile of columns."""

    def __init__(self, X, eps):
        self.X = np.require(X, dtype=np.float64, requirements=["C"])
        self.eps = eps
        self.mean = self.X.mean(axis=0)

    def subset(self, points):
        return _ProductRows(self.X[points], self.eps)

    @cached_property
    def norms(self):
        n_samples = self.X.shape[0]
        return np.concatenate([_squared_norms(self._centred(np.arange(start, min(start + TILE, n_samples))))
                               for start in range(0, n_samples, TILE)])

    def _centred(self, points):
        return (self.X[points] - self.mean).astype(np.float32)

    def count(self, points):
        positions, _ = self.rows(points, None)
        return np.bincount(positions, minlength=len(points)).astype(np.int64)

    def rows(self, points, candidates=None):
        # Products of one tile are too small for BLAS's own threads to pay.
        with threadpool_limits(1, user_api="blas"):
            return self._rows(points, candidates)

    def _rows(self, points, candidates):
        among = np.arange(self.X.shape[0]) if candidates is None else candidates
        found_positions, found_neighbours = [], []
        for row_start in range(0, len(points), TILE):
            block = points[row_start:row_start + TILE]
            centred = self._centred(block)
            for column_start in range(0, len(among), TILE):
                columns = among[column_start:column_start + TILE]
                # The block's points first, then the tile's: every pair of the product
                # then has its row below its column, as the test takes them.
                stacked = np.concatenate([self.X[block], self.X[columns]])
                norms = np.concatenate([self.norms[block], self.norms[columns]])
                products = centred @ self._centred(columns).T
                pairs = close_pairs(products, norms, 0, len(block), self.eps, stacked)
                rows, neighbours = pairs[:, 0], columns[pairs[:, 1] - len(block)]
                keep = neighbours != block[rows]
                found_positions.append(rows[keep] + row_start)
                found_neighbours.append(neighbours[keep])
        return (np.concatenate(found_positions).astype(np.int32),
                np.concatenate(found_neighbours).astype(np.int32))


def _squared_norms(rows):
    return np.einsum("ij,ij->i", rows, rows, dtype=np.float64)


"""Radius neighbourhoods as CSR arrays, by the fastest exact route for the data.

Row i of the result lists every other sample within distance `eps` of sample i,
boundary included (distance <= eps), as the radius queries of `densa_main` find them;
sample i itself is not stored, though it belongs to its own neighbourhood. The rows are
``indptr`` (int64, n_samples + 1 entries) and ``indices`` (int32), in no particular
order within a row.

Routes:
- Euclidean distance in few dimensions: k-d tree self-joins over slabs of the points,
  which report each pair once as arrays; a counting sort in native code turns the
  pairs into rows.
- Euclidean distance in many dimensions, where trees lose to brute force: distances from
  matrix products (BLAS) over the upper triangle in tiles of bounded size, the pairs
  close to the boundary decided again from the coordinates themselves.
- Every other metric a ball tree computes, callables included: scikit-learn's ball
  tree, the query of `densa_main` itself.
- Sparse samples, and metrics no tree computes (cosine, correlation, ...): scikit-learn's
  brute-force radius query, a bounded number of rows at a time.
- Precomputed distances (a square matrix, or a sparse graph whose missing entries are
  not neighbours): the stored distances within eps, read row by row.
"""

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import scipy.sparse as sp
from scipy.spatial import cKDTree
from sklearn.neighbors import VALID_METRICS, VALID_METRICS_SPARSE, BallTree, NearestNeighbors
from threadpoolctl import threadpool_limits  # scikit-learn's own dependency

from varnex.algorithms.src.densa.binaries.densa_arrays import close_pairs, neighbourhoods_from_pairs

__all__ = ["radius_neighbourhoods", "precomputed_neighbourhoods", "searchable", "query_blocks"]

# Above this many features a tree prunes too little and brute force wins, as in
# scikit-learn's automatic choice of neighbour algorithm.
MAX_TREE_FEATURES = 15

# The k-d tree joins slabs of at most this many points: a self-join's pairs cost the
# library far more memory while it collects them than once they are narrowed.
SLAB_POINTS = 1 << 16

# Brute force works on square tiles of this many points a side: the products of one
# tile take 4 MiB.
TILE = 1024

# Brute-force queries take rows in blocks whose distances to every sample fill at most
# this many bytes; each block's neighbour lists are narrowed to int32 before the next.
BRUTE_BYTES = 128 << 20


def radius_neighbourhoods(X, eps, metric="euclidean", p=2, n_jobs=None, metric_params=None):
    """Every sample's neighbours within `eps`, as int32 CSR rows.

    Parameters
    ----------
    X : ndarray of shape (n_samples, n_features), float64, C-contiguous, or CSR matrix
        The samples.
    eps : float
        The radius, boundary included.
    metric : str or callable, default="euclidean"
        Any metric of scikit-learn's ``NearestNeighbors`` but "precomputed".
    p : int, default=2
        Minkowski exponent, used only when `metric` is ``"minkowski"``.
    n_jobs : int, default=None
        Parallel jobs for the neighbour search. None means 1, -1 all processors.
    metric_params : dict, default=None
        Parameters of the metric.

    Returns
    -------
    indptr : ndarray of int64, shape (n_samples + 1,)
    indices : ndarray of int32, shape (indptr[-1],)
    """
    n_samples, n_features = X.shape
    if n_samples == 0:
        return np.zeros(1, dtype=np.int64), np.empty(0, dtype=np.int32)
    metric_params = metric_params or {}
    X = searchable(X, metric)
    if sp.issparse(X) or not (callable(metric) or metric in VALID_METRICS["ball_tree"]):
        return _brute(X, eps, metric, p, metric_params, effective_n_jobs(n_jobs))
    if not metric_params and (metric in ("euclidean", "l2") or (metric == "minkowski" and p == 2)):
        if n_features <= MAX_TREE_FEATURES:
            return _tree_pairs(X, eps, effective_n_jobs(n_jobs))
        return _brute_euclidean(X, eps, effective_n_jobs(n_jobs))
    return _ball_tree(X, eps, metric, p, metric_params, effective_n_jobs(n_jobs))


def query_blocks(n_queries, n_samples):
    """Consecutive ranges of query rows whose distances to `n_samples` samples fit BRUTE_BYTES."""
    rows = max(16, BRUTE_BYTES // (8 * max(n_samples, 1)))
    return [range(start, min(start + rows, n_queries)) for start in range(0, n_queries, rows)]


def searchable(X, metric):
    """X as scikit-learn's neighbour searches take it under `metric`: sparse samples stay
    sparse where the metric has a sparse form, and are made dense where it has none."""
    if sp.issparse(X) and not callable(metric) and metric not in VALID_METRICS_SPARSE["brute"]:
        return X.toarray()
    return X


def precomputed_neighbourhoods(D, eps):
    """The neighbourhoods that precomputed distances give: ``(indptr, indices, self_within)``.

    `D` is a square float64 array, or a CSR graph whose missing entries are not
    neighbours (rows in any order, a point listed twice counting twice). Row i holds
    every other sample j with ``D[i, j] <= eps``; ``self_within[i]`` tells whether the
    sample belongs to its own neighbourhood: its diagonal entry is within eps, a missing
    one counting as 0.
    """
    n_samples = D.shape[0]
    if sp.issparse(D):
        rows = np.repeat(np.arange(n_samples), np.diff(D.indptr))
        own = D.indices == rows
        self_within = np.ones(n_samples, dtype=bool)
        self_within[rows[own]] = False
        self_within[rows[own & (D.data <= eps)]] = True
        keep = ~own & (D.data <= eps)
        indptr = np.zeros(n_samples + 1, dtype=np.int64)
        np.cumsum(np.bincount(rows[keep], minlength=n_samples), out=indptr[1:])
        return indptr, D.indices[keep].astype(np.int32), self_within
    lengths, blocks = [], []
    self_within = np.diagonal(D) <= eps
    for block in query_blocks(n_samples, n_samples):
        start = block.start
        within = D[start:block.stop] <= eps
        within[np.arange(within.shape[0]), np.arange(start, start + within.shape[0])] = False
        lengths.append(within.sum(axis=1))
        blocks.append(np.nonzero(within)[1].astype(np.int32))
    indptr = np.zeros(n_samples + 1, dtype=np.int64)
    np.cumsum(np.concatenate(lengths), out=indptr[1:])
    return indptr, np.concatenate(blocks), self_within


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


def _tree_pairs(X, eps, n_jobs):
    """Rows from k-d tree self-joins over slabs of the points, on n_jobs threads."""
    n_samples = X.shape[0]
    n_slabs = max(n_jobs, -(-n_samples // SLAB_POINTS))
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
        blocks = _map_in_threads(lambda slab: _slab_pairs(X, eps, *slab), slabs, n_jobs)
    return neighbourhoods_from_pairs(blocks, n_samples)


def _slab_pairs(X, eps, points, n_owned):
    """int32 pairs within eps among X[points] with at least one of the first `n_owned`."""
    # Unbalanced (sliding-midpoint) trees build faster; the pairs found are the same.
    local = cKDTree(X[points], balanced_tree=False).query_pairs(eps, output_type="ndarray").reshape(-1, 2)
    if n_owned < len(points):
        local = local[(local < n_owned).any(axis=1)]
    return points.astype(np.int32)[local]


def _ball_tree(X, eps, metric, p, metric_params, n_jobs):
    if metric == "minkowski":
        metric_params = {"p": p, **metric_params}
    tree = BallTree(X, metric=metric, **metric_params)
    parts = np.array_split(np.arange(X.shape[0]), min(n_jobs, X.shape[0]))
    found = _map_in_threads(lambda part: _without_self(tree.query_radius(X[part], r=eps), part), parts, n_jobs)
    return _joined_rows(found, X.shape[0])


def _brute(X, eps, metric, p, metric_params, n_jobs):
    """Rows from scikit-learn's brute-force radius query, a block of rows at a time."""
    search = NearestNeighbors(algorithm="brute", metric=metric, p=p, metric_params=metric_params or None,
                              n_jobs=n_jobs).fit(X)
    found = []
    for block in query_blocks(X.shape[0], X.shape[0]):
        part = np.arange(block.start, block.stop)
        found.append(_without_self(search.radius_neighbors(X[part], radius=eps, return_distance=False), part))
    return _joined_rows(found, X.shape[0])


def _joined_rows(found, n_samples):
    """CSR arrays from consecutive (lengths, indices) blocks of rows."""
    lengths = np.concatenate([length for length, _ in found])
    indptr = np.zeros(n_samples + 1, dtype=np.int64)
    np.cumsum(lengths, out=indptr[1:])
    return indptr, np.concatenate([indices for _, indices in found])


def _without_self(rows, points):
    """Row lengths and int32 indices of query rows, each row without its own point."""
    lengths = np.fromiter(map(len, rows), dtype=np.int64, count=len(rows))
    indices = np.concatenate(rows) if len(rows) else np.empty(0, dtype=np.intp)
    own = indices == np.repeat(points, lengths)
    lengths -= np.bincount(np.repeat(np.arange(len(rows)), lengths)[own], minlength=len(rows))
    return lengths, indices[~own].astype(np.int32)


def _brute_euclidean(X, eps, n_jobs):
    n_samples = X.shape[0]
    X = np.require(X, dtype=np.float64, requirements=["C", "W"])
    # Single-precision products of centred points: twice as fast as double precision,
    # and centring loses less to cancellation. They only sort the pairs; the points
    # themselves decide those close to the boundary.
    mean = X.mean(axis=0)
    norms = np.concatenate([_squared_norms(_centred(X, start, mean)) for start in range(0, n_samples, TILE)])
    tiles = [(rows, columns) for rows in range(0, n_samples, TILE) for columns in range(rows, n_samples, TILE)]

    def pairs_of(tile):
        rows, columns = tile
        products = _centred(X, rows, mean) @ _centred(X, columns, mean).T
        return close_pairs(products, norms, rows, columns, eps, X)

    # Products of one tile are too small for BLAS's own threads to pay (they wait on
    # each other, and on every other process): one BLAS thread per tile, and the tiles
    # on n_jobs threads.
    with threadpool_limits(1, user_api="blas"):
        blocks = _map_in_threads(pairs_of, tiles, n_jobs)
    return neighbourhoods_from_pairs(blocks, n_samples)


def _centred(X, start, mean):
    """One tile's points, centred and rounded to single precision."""
    return (X[start:start + TILE] - mean).astype(np.float32)


def _squared_norms(rows):
    return np.einsum("ij,ij->i", rows, rows, dtype=np.float64)

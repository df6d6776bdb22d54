"""Exact nearest-neighbour searches for the graph estimators, by the fastest route.

`Neighbours` indexes the training samples once and answers the three searches of a fit
and its predictions: every sample's nearest other samples (the graph), the nearest
training samples of new samples, and the nearest sample of a set (the joining). The
route depends on the metric and the dimension:

- the Minkowski family (euclidean, manhattan, chebyshev, minkowski with its `p`) in
  at most 15 features: SciPy's k-d tree, queried on `n_jobs` threads;
- the same metrics in more features, where trees lose to BLAS: brute force. For the
  graph in euclidean distance, single-precision products of centred samples over
  tiles screen the candidates and the coordinates decide them in double precision
  (`linka_nearest`), ties by lower index; otherwise scikit-learn's brute
  force, which computes distances in bounded-memory chunks;
- every other metric, and sparse samples: scikit-learn's `NearestNeighbors` with its
  own choice (brute force for sparse samples);
- ``metric="precomputed"``: `Precomputed` reads the distances themselves, a dense
  square matrix or a sparse graph whose missing entries are not neighbours.

Every route finds the neighbours `NearestNeighbors` finds, in order of distance.
Samples at exactly the same distance come in the order of the route's own search
(the k-d tree's is not by index), so among ties the chosen neighbours may differ.
"""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
from joblib import effective_n_jobs
from scipy import sparse
from scipy.spatial import cKDTree
from sklearn.neighbors import NearestNeighbors
from threadpoolctl import threadpool_info, threadpool_limits  # scikit-learn's own dependency

from varnex.algorithms.src.linka.binaries.linka_nearest import offer_tile

__all__ = ["Neighbours", "Precomputed", "index_samples"]


def index_samples(X, metric="euclidean", p=2, n_jobs=None, metric_params=None):
    """The index of the training samples for `metric`: `Precomputed` for precomputed
    distances, `Neighbours` otherwise."""
    if isinstance(metric, str) and metric == "precomputed":
        return Precomputed(X)
    return Neighbours(X, metric, p, n_jobs, metric_params)

# Minkowski exponent of each metric name the k-d tree can take; None: the estimator's p.
_MINKOWSKI = {"euclidean": 2, "l2": 2, "manhattan": 1, "cityblock": 1, "l1": 1, "chebyshev": np.inf,
              "infinity": np.inf, "minkowski": None}
# scikit-learn's own threshold: in more dimensions a tree prunes too little to pay off.
_MAX_TREE_FEATURES = 15
# Rows queried at once when listing every sample's neighbours: bounds the float64 and
# int64 arrays of one query while the result goes straight into compact arrays.
_CHUNK_ROWS = 1 << 16
# Tiles of single-precision products of the brute-force graph: 1 MiB, which stays in
# cache while it is read, and rows enough for BLAS to run near its peak.
_TILE_ROWS = 256
_TILE_COLUMNS = 1024


class Neighbours:
    """The training samples `X`, indexed for exact neighbour searches.

    Parameters
    ----------
    X : ndarray of shape (n_samples, n_features)
        The training samples (float64).
    metric : str
        Any metric of scikit-learn's `NearestNeighbors`.
    p : float
        Minkowski exponent, for ``metric="minkowski"``.
    n_jobs : int or None
        Parallel jobs of the searches (scikit-learn's meaning: None is 1, -1 all).
    metric_params : dict or None
        Parameters of the metric; a metric with parameters takes scikit-learn's route.
    """

    def __init__(self, X, metric="euclidean", p=2, n_jobs=None, metric_params=None):
        self.n_samples = X.shape[0]
        self.metric, self.p, self.metric_params, self.n_jobs = metric, p, metric_params, n_jobs
        plain = isinstance(metric, str) and not metric_params and not sparse.issparse(X)
        exponent = _MINKOWSKI.get(metric, False) if plain else False
        exponent = p if exponent is None else exponent
        minkowski = exponent is not False and exponent >= 1
        if minkowski and X.shape[1] <= _MAX_TREE_FEATURES:
            self.route, self.exponent = "tree", float(exponent)
            # Sliding-midpoint splits build several times faster than median splits and
            # answer these queries as fast.
            self._index = cKDTree(X, balanced_tree=False, compact_nodes=False)
        else:
            self.route = "brute" if minkowski else "scikit-learn"
            self.exponent = float(exponent) if minkowski else None
            algorithm = "brute" if minkowski else "auto"
            self._index = NearestNeighbors(algorithm=algorithm, metric=metric, p=p, metric_params=metric_params,
                                           n_jobs=n_jobs).fit(X)
        self._X = X

    def _query(self, queries, k):
        """``(distances, indices)`` of the k nearest training samples of each query."""
        if self.route == "tree":
            workers = effective_n_jobs(self.n_jobs)
            distances, indices = self._index.query(queries, k=k, p=self.exponent, workers=workers)
            return distances.reshape(len(queries), k), indices.reshape(len(queries), k)
        return self._index.kneighbors(queries, n_neighbors=k)

    def graph(self, k, index_dtype=np.int64):
        """Every training sample's k nearest other samples, nearest first.

        Returns ``(distances, indices)`` of shape (n_samples, k), float32 and
        `index_dtype`, the lists `NearestNeighbors(...).fit(X).kneighbors()` gives: a
        sample's own index is dropped from its k + 1 nearest, or, when k duplicates
        crowd it out, the first of them.
        """
        n = self.n_samples
        distances = np.empty((n, k), dtype=np.float32)
        indices = np.empty((n, k), dtype=index_dtype)
        if self.route == "brute" and self.exponent == 2:
            _product_graph(self._X, distances, indices, _product_workers(self.n_jobs))
            return distances, indices
        # The k-d tree is queried in the order of its own leaves, so that consecutive
        # queries walk the same nodes while they are in cache: twice as fast as in
        # the samples' order.
        order = self._index.indices if self.route == "tree" else None
        for start in range(0, n, _CHUNK_ROWS):
            stop = min(start + _CHUNK_ROWS, n)
            rows = slice(start, stop) if order is None else order[start:stop]
            found_distances, found = self._query(self._X[rows], k + 1)
            # Mostly a sample comes first in its own list; duplicates may come before it.
            distances[rows], indices[rows] = found_distances[:, 1:], found[:, 1:]
            ids = np.arange(start, stop) if order is None else rows
            odd = found[:, 0] != ids
            if odd.any():
                found_distances, found, ids = found_distances[odd], found[odd], ids[odd]
                keep = found != ids[:, None]
                keep[keep.all(axis=1), 0] = False  # crowded out by duplicates: drop the first
                distances[ids], indices[ids] = found_distances[keep].reshape(-1, k), found[keep].reshape(-1, k)
        return distances, indices

    def kneighbors(self, queries, k):
        """``(distances, indices)`` of the k nearest training samples of new samples."""
        return self._query(queries, k)

    def nearest_among(self, candidates, queries):
        """For each training sample ``queries[i]``, the nearest training sample among
        `candidates` (indices): ``(distances, nearest)``, searched in an index of the
        candidates alone, built by the same route."""
        index = Neighbours(self._X[candidates], self.metric, self.p, self.n_jobs, self.metric_params)
        if self.route == "tree":
            # Queries in the order of this tree's leaves come in spatial order, which
            # keeps the walks through the candidates' tree in cache.
            leaf_position = np.empty(self.n_samples, dtype=np.int64)
            leaf_position[self._index.indices] = np.arange(self.n_samples)
            order = np.argsort(leaf_position[queries], kind="stable")
            distances, nearest = np.empty(len(queries)), np.empty(len(queries), dtype=np.int64)
            found_distances, positions = index.kneighbors(self._X[queries[order]], 1)
            distances[order], nearest[order] = found_distances[:, 0], candidates[positions[:, 0]]
            return distances, nearest
        distances, positions = index.kneighbors(self._X[queries], 1)
        return distances[:, 0], candidates[positions[:, 0]]


def _product_workers(n_jobs):
    """Threads for the products of the brute-force route. With `n_jobs` None the work is
    matrix products, which scikit-learn leaves to BLAS's own threads whatever its
    `n_jobs`: the tiles take as many threads as BLAS would, one BLAS thread each."""
    if n_jobs is not None:
        return effective_n_jobs(n_jobs)
    blas = [pool["num_threads"] for pool in threadpool_info() if pool.get("user_api") == "blas"]
    return max(1, min(blas, default=1))


def _product_graph(X, distances, indices, n_jobs):
    """Every sample's nearest other samples in euclidean distance, into `distances` and
    `indices` of shape (n_samples, k): exact, ties by lower index.

    Single-precision products of the centred samples, twice as fast as double precision
    (centring loses less to cancellation), estimate the distances over tiles small
    enough to stay in cache; only the samples whose estimate could place them among a
    row's k nearest so far are measured from the coordinates, which decide.
    """
    n, k = distances.shape
    X = np.require(X, dtype=np.float64, requirements=["C", "W"])
    # Centred straight into single precision, a tile of rows at a time: no double-
    # precision copy of the samples.
    mean = X.mean(axis=0)
    centred = np.empty(X.shape, dtype=np.float32)
    for start in range(0, n, _TILE_ROWS):
        np.subtract(X[start:start + _TILE_ROWS], mean, out=centred[start:start + _TILE_ROWS], casting="same_kind")
    norms = np.einsum("ij,ij->i", centred, centred, dtype=np.float64)

    def rows_from(start):
        rows = centred[start:start + _TILE_ROWS]
        squared = np.full((len(rows), k), np.inf)
        nearest = np.full((len(rows), k), np.iinfo(np.int64).max)
        for column in range(0, n, _TILE_COLUMNS):
            offer_tile(rows @ centred[column:column + _TILE_COLUMNS].T, norms, start, column, X, squared, nearest)
        order = np.lexsort((nearest, squared), axis=1)
        distances[start:start + len(rows)] = np.sqrt(np.take_along_axis(squared, order, axis=1))
        indices[start:start + len(rows)] = np.take_along_axis(nearest, order, axis=1)

    starts = range(0, n, _TILE_ROWS)
    # One tile's product is too small for BLAS's own threads to pay (they wait on each
    # other, and on every other process): one BLAS thread per tile, rows on n_jobs threads.
    with threadpool_limits(1, user_api="blas"):
        if n_jobs <= 1 or len(starts) <= 1:
            for start in starts:
                rows_from(start)
        else:
            with ThreadPoolExecutor(max_workers=n_jobs) as pool:
                list(pool.map(rows_from, starts))


class Precomputed:
    """Precomputed distances between the training samples, answering the searches of
    `Neighbours`.

    Parameters
    ----------
    D : ndarray or CSR matrix of shape (n_samples, n_samples)
        Distances, non-negative. In a sparse matrix only stored entries are neighbours
        (an explicit 0 included), as in scikit-learn; its rows sorted by distance.

    Among equal distances the lower index comes first.
    """

    route = "precomputed"

    def __init__(self, D):
        self.n_samples = D.shape[0]
        self._D = D

    def graph(self, k, index_dtype=np.int64):
        """Every sample's k nearest other samples, nearest first: ``(distances, indices)``
        of shape (n_samples, k), float32 and `index_dtype`. A sample's own entry is never
        its neighbour; a sparse row with fewer than k other stored entries is refused."""
        n = self.n_samples
        distances = np.empty((n, k), dtype=np.float32)
        indices = np.empty((n, k), dtype=index_dtype)
        for start in range(0, n, _CHUNK_ROWS):
            stop = min(start + _CHUNK_ROWS, n)
            distances[start:stop], indices[start:stop] = _nearest_in_rows(self._D[start:stop], k,
                                                                          exclude=np.arange(start, stop))
        return distances, indices

    def kneighbors(self, queries, k):
        """The k nearest training samples of new samples, given their distances to the
        training samples (shape (n_queries, n_samples))."""
        if queries.shape[1] != self.n_samples:
            raise ValueError(f"precomputed distances must have one column per training sample "
                             f"({self.n_samples}), got {queries.shape[1]}")
        return _nearest_in_rows(queries, k)

    def nearest_among(self, candidates, queries):
        """For each sample ``queries[i]``, the nearest of the samples `candidates`:
        ``(distances, nearest)``. In a sparse matrix the distance may be stored either
        way between the two; a query with no stored distance to any candidate gets +inf
        and the first candidate."""
        best = np.full(len(queries), np.inf)
        nearest = np.full(len(queries), candidates[0], dtype=np.int64)
        dense = not sparse.issparse(self._D)
        step = max(1, _DENSE_BLOCK // len(candidates)) if dense else _CHUNK_ROWS
        for start in range(0, len(queries), step):
            part = queries[start:start + step]
            blocks = [self._D[part][:, candidates]] if dense else \
                [self._D[part][:, candidates], self._D[candidates][:, part].T]
            for block in blocks:
                rows, columns, values = _row_minima(block)
                better = values < best[start + rows]
                best[start + rows[better]] = values[better]
                nearest[start + rows[better]] = candidates[columns[better]]
        return best, nearest


# Entries of one dense block of distances handled at once.
_DENSE_BLOCK = 1 << 22


def _row_minima(block):
    """Row, column and value of the smallest entry of each row (the lowest column among
    equal ones): of every entry of a dense block, of the stored ones of a sparse one."""
    if not sparse.issparse(block):
        block = np.asarray(block)
        columns = np.argmin(block, axis=1)
        rows = np.arange(block.shape[0])
        return rows, columns, block[rows, columns]
    block = sparse.coo_matrix(block)
    rows, columns, values = block.row.astype(np.int64), block.col.astype(np.int64), block.data
    order = np.lexsort((columns, values, rows))
    rows, columns, values = rows[order], columns[order], values[order]
    first = np.r_[True, rows[1:] != rows[:-1]] if rows.size else np.zeros(0, dtype=bool)
    return rows[first], columns[first], values[first]


def _nearest_in_rows(D, k, exclude=None):
    """The k smallest distances of each row of `D` and their columns, by distance then
    column; ``exclude[i]`` is a column that row i must not list (its own sample)."""
    if not sparse.issparse(D):
        return _nearest_in_dense_rows(D, k, exclude)
    n = D.shape[0]
    D = sparse.csr_matrix(D)
    rows = np.repeat(np.arange(n), np.diff(D.indptr))
    columns, values = D.indices.astype(np.int64), D.data
    if exclude is not None:
        keep = columns != exclude[rows]
        rows, columns, values = rows[keep], columns[keep], values[keep]
    counts = np.bincount(rows, minlength=n)
    short = np.flatnonzero(counts < k)
    if short.size:
        raise ValueError(f"row {short[0]} of the precomputed distances stores {counts[short[0]]} distances to "
                         f"other samples, fewer than the {k} neighbours asked for")
    order = np.lexsort((columns, values, rows))
    starts = np.zeros(n, dtype=np.int64)
    np.cumsum(counts[:-1], out=starts[1:])
    take = (starts[:, None] + np.arange(k)).ravel()
    return values[order][take].reshape(n, k), columns[order][take].reshape(n, k)


def _nearest_in_dense_rows(D, k, exclude):
    n, m = D.shape
    distances, indices = np.empty((n, k)), np.empty((n, k), dtype=np.int64)
    step = max(1, _DENSE_BLOCK // max(m, 1))
    for start in range(0, n, step):
        block = np.array(D[start:start + step], dtype=np.float64)
        if exclude is not None:
            block[np.arange(block.shape[0]), exclude[start:start + step]] = np.inf
        # The k-th smallest value, then every smaller entry and the lowest columns of
        # the entries equal to it: ties go to the lower index.
        kth = np.partition(block, k - 1, axis=1)[:, k - 1:k]
        chosen = block < kth
        ties = block == kth
        chosen |= ties & (np.cumsum(ties, axis=1) <= k - chosen.sum(axis=1, keepdims=True))
        columns = np.nonzero(chosen)[1].reshape(-1, k)
        values = np.take_along_axis(block, columns, axis=1)
        order = np.lexsort((columns, values), axis=1)
        distances[start:start + step] = np.take_along_axis(values, order, axis=1)
        indices[start:start + step] = np.take_along_axis(columns, order, axis=1)
    return distances, indices

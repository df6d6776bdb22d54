"""Exact nearest-neighbour searches for the graph estimators, by the fastest route.

`Neighbours` indexes the training samples once and answers the three searches of a fit
and its predictions: every sample's nearest other samples (the graph), the nearest
training samples of new samples, and the nearest sample of a set (the joining). The
route depends on the metric and the dimension:

- the Minkowski family (euclidean, manhattan, chebyshev, minkowski with its `p`) in
  at most 15 features: SciPy's k-d tree, queried on `n_jobs` threads;
- the same metrics in more features, where trees lose to BLAS: scikit-learn's brute
  force, which computes distances in bounded-memory chunks;
- every other metric: scikit-learn's `NearestNeighbors` with its own choice.

Every route finds the neighbours `NearestNeighbors` finds, in order of distance.
Samples at exactly the same distance come in the order of the route's own search
(the k-d tree's is not by index), so among ties the chosen neighbours may differ.
New routes (sparse input, precomputed graphs) belong beside these.
"""

import numpy as np
from joblib import effective_n_jobs
from scipy.spatial import cKDTree
from sklearn.neighbors import NearestNeighbors

__all__ = ["Neighbours"]

# Minkowski exponent of each metric name the k-d tree can take; None: the estimator's p.
_MINKOWSKI = {"euclidean": 2, "l2": 2, "manhattan": 1, "cityblock": 1, "l1": 1, "chebyshev": np.inf,
              "infinity": np.inf, "minkowski": None}
# scikit-learn's own threshold: in more dimensions a tree prunes too little to pay off.
_MAX_TREE_FEATURES = 15
# Rows queried at once when listing every sample's neighbours: bounds the float64 and
# int64 arrays of one query while the result goes straight into compact arrays.
_CHUNK_ROWS = 1 << 16


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
        plain = isinstance(metric, str) and not metric_params
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

"""Exact nearest-neighbour searches for the graph estimators.

`kneighbors` lists each sample's nearest other samples, as scikit-learn's
`NearestNeighbors(...).fit(X).kneighbors()` does; `nearest_among` finds, for some
samples, the nearest one of a set of others. Both pick the search by metric and
dimension here, in one place, so that sparse input, precomputed graphs and further
metrics can be added beside the routes below.
"""

import numpy as np
from sklearn.neighbors import NearestNeighbors

__all__ = ["kneighbors", "nearest_among"]


def _searcher(metric, p, n_jobs, n_neighbors):
    return NearestNeighbors(n_neighbors=n_neighbors, metric=metric, p=p, n_jobs=n_jobs)


def kneighbors(X, n_neighbors, metric="euclidean", p=2, n_jobs=None):
    """The `n_neighbors` nearest other samples of every sample of `X`, nearest first.

    Returns ``(distances, indices)``, float64 and int64 arrays of shape
    ``(n_samples, n_neighbors)``.
    """
    distances, indices = _searcher(metric, p, n_jobs, n_neighbors).fit(X).kneighbors()
    return distances, np.asarray(indices, dtype=np.int64)


def nearest_among(X, candidates, queries, metric="euclidean", p=2, n_jobs=None):
    """For each sample ``X[queries[i]]`` the nearest sample ``X[candidates[j]]``.

    Returns ``(distances, nearest)``: the distance and the index into `X` of that
    candidate, for every query.
    """
    distances, positions = _searcher(metric, p, n_jobs, 1).fit(X[candidates]).kneighbors(X[queries])
    return distances[:, 0], candidates[positions[:, 0]]


class Neighbours:
    """The training samples of a fitted estimator, searched for new samples' neighbours.

    The search index is built at the first query, so a fit that never predicts does
    not pay for it.
    """

    def __init__(self, X, n_neighbors, metric="euclidean", p=2, n_jobs=None):
        self.X, self.n_neighbors, self.metric, self.p, self.n_jobs = X, n_neighbors, metric, p, n_jobs
        self._index = None

    def __getstate__(self):
        return {**self.__dict__, "_index": None}

    def kneighbors(self, queries):
        """``(distances, indices)`` of the `n_neighbors` nearest training samples."""
        if self._index is None:
            self._index = _searcher(self.metric, self.p, self.n_jobs, self.n_neighbors).fit(self.X)
        return self._index.kneighbors(queries)

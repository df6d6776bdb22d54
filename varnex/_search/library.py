"""scikit-learn's searches: every metric the faster routes do not take."""

from functools import cached_property

import numpy as np
from sklearn.neighbors import BallTree, NearestNeighbors

from varnex._search.blocks import paced, query_blocks
from varnex._search.threads import map_in_threads

__all__ = ["BallTreeRows", "BruteRows", "LibrarySearch", "ball_tree_neighbourhoods", "brute_neighbourhoods",
           "library_search"]


def library_search(X, metric, p, metric_params, threads, algorithm="auto"):
    """scikit-learn's `NearestNeighbors` of `X`, fitted."""
    return NearestNeighbors(algorithm=algorithm, metric=metric, p=p, metric_params=metric_params or None,
                            n_jobs=threads).fit(X)


class LibrarySearch:
    """k nearest training samples by scikit-learn's search, in paced blocks of queries:
    its tree queries do not poll for interrupts."""

    def __init__(self, X, metric, p, metric_params, threads, algorithm="auto"):
        self._search = library_search(X, metric, p, metric_params, threads, algorithm)

    @property
    def fit_method(self):
        """The algorithm scikit-learn chose for these samples."""
        return self._search._fit_method

    def kneighbors(self, queries, k):
        n = queries.shape[0]
        distances, indices = np.empty((n, k)), np.empty((n, k), dtype=np.intp)
        for rows in paced(n):
            distances[rows.start:rows.stop], indices[rows.start:rows.stop] = self._search.kneighbors(
                queries[rows.start:rows.stop], k)
        return distances, indices


def _ball_tree(X, metric, p, metric_params):
    metric_params = dict(metric_params or {})
    if metric == "minkowski":
        metric_params = {"p": p, **metric_params}
    return BallTree(X, metric=metric, **metric_params)


def ball_tree_neighbourhoods(X, eps, metric, p, metric_params, threads):
    """Neighbourhoods from scikit-learn's ball tree, the rows split among the threads."""
    tree = _ball_tree(X, metric, p, metric_params)
    parts = np.array_split(np.arange(X.shape[0]), min(threads, X.shape[0]))

    def query(part):
        # Paced blocks: the tree's query does not poll for interrupts.
        return [_without_self(tree.query_radius(X[part[rows.start:rows.stop]], r=eps), part[rows.start:rows.stop])
                for rows in paced(len(part))]

    found = [block for blocks in map_in_threads(query, parts, threads) for block in blocks]
    return _joined_rows(found, X.shape[0])


def brute_neighbourhoods(X, eps, metric, p, metric_params, threads):
    """Neighbourhoods from scikit-learn's brute-force radius query, a block of rows at a time."""
    search = library_search(X, metric, p, metric_params, threads, algorithm="brute")
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


class BallTreeRows:
    """The rows of `ball_tree_neighbourhoods` for any set of samples, for the bounded route."""

    def __init__(self, X, metric, p, metric_params):
        self._X, self._parameters = X, (metric, p, metric_params)

    @cached_property
    def _tree(self):
        return _ball_tree(self._X, *self._parameters)

    def count(self, points, eps):
        return self._tree.query_radius(self._X[points], r=eps, count_only=True).astype(np.int64) - 1

    def rows(self, points, eps, candidates=None):
        # Always the whole tree: a tree over the candidates alone could decide a tie at
        # eps otherwise, its bounds being rounded differently.
        return _among(_positions(*_without_self(self._tree.query_radius(self._X[points], r=eps), points)),
                      candidates, self._X.shape[0])


class BruteRows:
    """The rows of `brute_neighbourhoods` for any set of samples, for the bounded route."""

    def __init__(self, X, metric, p, metric_params, threads):
        self._X = X
        self._search = library_search(X, metric, p, metric_params, threads, algorithm="brute")

    def count(self, points, eps):
        # A count costs the rows here: a block at a time, as the in-memory route takes them.
        counts = [np.bincount(self.rows(points[block.start:block.stop], eps)[0], minlength=len(block))
                  for block in query_blocks(len(points), self._X.shape[0])]
        return np.concatenate(counts).astype(np.int64) if counts else np.empty(0, dtype=np.int64)

    def rows(self, points, eps, candidates=None):
        # Always against every sample: distances from matrix products may round
        # differently in products of another shape.
        found = self._search.radius_neighbors(self._X[points], radius=eps, return_distance=False)
        return _among(_positions(*_without_self(found, points)), candidates, self._X.shape[0])


def _positions(lengths, indices):
    """(positions, neighbours): entry k puts indices[k] in row positions[k]."""
    return np.repeat(np.arange(len(lengths), dtype=np.int32), lengths), indices


def _among(found, candidates, n_samples):
    """The entries of (positions, neighbours) whose neighbour is a candidate."""
    if candidates is None:
        return found
    wanted = np.zeros(n_samples, dtype=bool)
    wanted[candidates] = True
    positions, neighbours = found
    keep = wanted[neighbours]
    return positions[keep], neighbours[keep]

"""scikit-learn's searches: every metric the faster routes do not take."""

import numpy as np
from sklearn.neighbors import BallTree, NearestNeighbors

from varnex._search.blocks import paced, query_blocks
from varnex._search.threads import map_in_threads

__all__ = ["LibrarySearch", "ball_tree_neighbourhoods", "brute_neighbourhoods", "library_search"]

def library_search(X, metric, p, metric_params, threads, algorithm="auto"):
    """scikit-learn's `NearestNeighbors` of `X`, fitted."""
    return NearestNeighbors(algorithm=algorithm, metric=metric, p=p, metric_params=metric_params or None,
                            n_jobs=threads).fit(X)


class LibrarySearch:
    """k nearest training samples by scikit-learn's search, in paced blocks of queries:
    its tree queries do not poll for interrupts."""

    def __init__(self, X, metric, p, metric_params, threads, algorithm="auto"):
        self._search = library_search(X, metric, p, metric_params, threads, algorithm)

    def kneighbors(self, queries, k):
        n = queries.shape[0]
        distances, indices = np.empty((n, k)), np.empty((n, k), dtype=np.intp)
        for rows in paced(n):
            distances[rows.start:rows.stop], indices[rows.start:rows.stop] = self._search.kneighbors(
                queries[rows.start:rows.stop], k)
        return distances, indices


def ball_tree_neighbourhoods(X, eps, metric, p, metric_params, threads):
    """Neighbourhoods from scikit-learn's ball tree, the rows split among the threads."""
    metric_params = dict(metric_params or {})
    if metric == "minkowski":
        metric_params = {"p": p, **metric_params}
    tree = BallTree(X, metric=metric, **metric_params)
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

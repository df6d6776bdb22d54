"""The approximate route as the estimators ask for it: the graph, the nearest training
samples of new samples and the joining of graph components, all from one
`ApproximateIndex` of the training samples.

Its answers have the exact routes' form: every list full (the few samples whose probed
cells hold fewer than k others are searched exactly), and distances that are positive
and nearest first, as the propagation weights them. For the inner product, whose
"distance" is minus the product, that is ``sqrt(|x| * M - <x, y>)`` from sample x to
training sample y, M being the largest length of a training sample: it orders each
list as the products do, is never negative (``<x, y> <= |x| * M``), and on samples of
one length it is the euclidean distance over the square root of two, so there the
inner product labels as the euclidean distance and the cosine do.
"""

import numpy as np
from sklearn.utils import check_random_state

from varnex._progress import silent
from varnex._search.approximate import DEFAULT_PROBES, ApproximateIndex

__all__ = ["ApproximateSampleIndex"]

# The joining of components compares its queries with every candidate when there are at
# most this many pairs (a few seconds of products in hundreds of features), and through
# an index of the candidates beyond.
_EXACT_JOIN_PAIRS = 1 << 26
_SEED_LIMIT = 2**31 - 1


class ApproximateSampleIndex:
    """Training samples `X` (float32 or float64) indexed for approximate searches.

    Parameters
    ----------
    X : ndarray of shape (n_samples, n_features)
    metric : {"euclidean", "cosine", "inner_product"}
    n_jobs : int or None
        Threads; the answers do not depend on them.
    n_probes : int
        Cells searched for the samples of each cell.
    random_state : int, RandomState or None
        Seeds the partitions.
    progress : reporter
        Receives the stages of the work.
    """

    algorithm = "approximate"

    def __init__(self, X, metric="euclidean", n_jobs=None, n_probes=DEFAULT_PROBES, random_state=None,
                 progress=silent):
        rng = check_random_state(random_state)
        self._seeds = rng.randint(_SEED_LIMIT, size=2)
        self.metric, self.n_jobs, self.n_probes = metric, n_jobs, n_probes
        self.n_samples = X.shape[0]
        self._index = ApproximateIndex(X, metric, n_probes, n_jobs, int(self._seeds[0]), progress)

    def graph(self, k, index_dtype=np.int64):
        """Every training sample's k nearest other samples, nearest first:
        ``(distances, indices)`` of shape (n_samples, k), float32 and `index_dtype`."""
        distances, indices = self._index.graph(k)
        self._complete(self._index.samples, distances, indices, own=True)
        return self._weighted(distances, self._index.squared_norms), indices.astype(index_dtype, copy=False)

    def kneighbors(self, queries, k):
        """``(distances, indices)`` of the k nearest training samples of new samples."""
        distances, indices = self._index.kneighbors(queries, k)
        queries = self._index.searchable(queries)
        self._complete(queries, distances, indices, own=False)
        return self._weighted(distances, np.einsum("ij,ij->i", queries, queries)), indices

    def nearest_among(self, candidates, queries):
        """For each training sample ``queries[i]``, the nearest training sample among
        `candidates` (indices): ``(distances, nearest)``."""
        samples, candidates = self._index.samples[queries], np.asarray(candidates)
        if len(candidates) < 2 or len(candidates) * len(queries) <= _EXACT_JOIN_PAIRS:
            distances, nearest = self._index.brute(samples, 1, pool=candidates)
        else:
            among = ApproximateIndex(self._index.samples[candidates], self.metric, self.n_probes, self.n_jobs,
                                     int(self._seeds[1]))
            distances, positions = among.kneighbors(samples, 1)
            short = positions[:, 0] < 0
            nearest = np.where(short, -1, candidates[positions[:, 0]])[:, None]
            if short.any():
                distances[short], nearest[short] = self._index.brute(samples[short], 1, pool=candidates)
        return self._weighted(distances, self._index.squared_norms[queries])[:, 0].astype(np.float64), nearest[:, 0]

    def _complete(self, queries, distances, indices, own):
        """Lists the cells left short, searched again exactly."""
        short = np.flatnonzero(indices[:, -1] < 0)
        if short.size:
            distances[short], indices[short] = self._index.brute(queries[short], indices.shape[1],
                                                                 exclude=short if own else None)

    def _weighted(self, distances, squared_norms):
        """The distances the propagation weighs: the metric's own, or for the inner
        product ``sqrt(|x| * M - <x, y>)`` (module docstring), x of squared length
        `squared_norms`."""
        if self.metric != "inner_product":
            return distances
        largest = np.sqrt(self._index.squared_norms.max())
        bound = np.sqrt(squared_norms)[:, None] * largest
        # The "distances" are minus the products.
        return np.sqrt(np.maximum(bound + distances, 0)).astype(np.float32)

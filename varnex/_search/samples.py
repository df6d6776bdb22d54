"""The index of training samples given by their coordinates."""

from functools import cached_property

import numpy as np

from varnex._progress import silent
from varnex._search import blocks, kdtree, library, tiles
from varnex._search.results import Neighbourhoods
from varnex._search.routes import choose_route, searchable
from varnex._search.threads import product_threads, search_threads

__all__ = ["SampleIndex"]

# Pairs whose coordinates are subtracted at once in `pair_distances`.
_PAIR_CHUNK = 1 << 16


class SampleIndex:
    """Training samples `X`, indexed for exact neighbour searches under one metric.

    Each question takes the fastest exact route the metric and the data allow (see
    `varnex._search`); the structures a route needs are built on its first question and
    kept.

    Parameters
    ----------
    X : ndarray of shape (n_samples, n_features), float64, or CSR matrix
        The training samples, already scaled.
    metric, p, metric_params, n_jobs
        As the estimators take them.
    algorithm : {"auto", "kd_tree", "ball_tree", "brute"}
        The search of the k nearest: "auto" the fastest, else the one named.
    progress : reporter
        Receives the blocks of the long searches (see `varnex._progress`).
    """

    def __init__(self, X, metric="euclidean", p=2, metric_params=None, n_jobs=None, algorithm="auto",
                 progress=silent):
        self._X = searchable(X, metric)
        self.n_samples = X.shape[0]
        self.metric, self.p, self.metric_params, self.n_jobs = metric, p, metric_params, n_jobs
        self.route = choose_route(self._X, metric, p, metric_params, algorithm)
        self._algorithm, self._progress = algorithm, progress

    @property
    def algorithm(self):
        """The name of the k-nearest search taken (scikit-learn's names)."""
        if self.route.knn != "library" or self.route.library_algorithm != "auto":
            return self.route.library_algorithm
        return self._knn_search.fit_method   # scikit-learn's own choice, once fitted

    # -- radius --------------------------------------------------------------------------

    @property
    def _radius_route(self):
        """Which search finds the neighbourhoods within a radius; both ways of asking
        (all at once, or a set of samples at a time) follow it."""
        route = self.route
        if not route.ball_tree:
            return "brute"
        if route.euclidean:
            return "kd-tree" if route.tree else "tiles"
        return "ball-tree"

    def neighbourhoods(self, eps):
        """Every sample's other samples within `eps` (boundary included), as the radius
        queries of `densa_main` find them: ``Neighbourhoods(indptr, indices)``, int64 and
        int32, in no particular order within a row. A sample is in its own
        neighbourhood but not in its row."""
        X, threads = self._X, search_threads(self.n_jobs)
        if self.n_samples == 0:
            return Neighbourhoods(np.zeros(1, dtype=np.int64), np.empty(0, dtype=np.int32))
        route = self._radius_route
        if route == "kd-tree":
            with self._progress.stage("radius search by k-d tree", self.n_samples) as advance:
                return Neighbourhoods(*kdtree.tree_neighbourhoods(X, eps, threads, advance))
        if route == "tiles":
            with self._progress.stage("radius search by product tiles", self.n_samples) as advance:
                return Neighbourhoods(*tiles.tile_neighbourhoods(X, eps, product_threads(self.n_jobs), advance))
        if route == "brute":
            return Neighbourhoods(*library.brute_neighbourhoods(X, eps, self.metric, self.p, self.metric_params,
                                                                threads))
        return Neighbourhoods(*library.ball_tree_neighbourhoods(X, eps, self.metric, self.p, self.metric_params,
                                                                threads))

    # -- radius, a set of samples at a time ------------------------------------------------

    @cached_property
    def _row_search(self):
        """The search that gives the rows of `neighbourhoods` a set of samples at a time,
        by the same decisions, ties at the radius included."""
        X, threads = self._X, search_threads(self.n_jobs)
        route = self._radius_route
        if route == "brute":
            return library.BruteRows(X, self.metric, self.p, self.metric_params, threads)
        if route == "kd-tree":
            return kdtree.KDTreeRows(X, threads)
        if route == "tiles":
            return tiles.ProductRows(X, product_threads(self.n_jobs))
        return library.BallTreeRows(X, self.metric, self.p, self.metric_params)

    def count_neighbourhoods(self, eps, points=None):
        """The length of each row of ``neighbourhoods(eps)`` (int64), for the samples
        `points` (int32 indices; every sample by default), holding at most a block of
        rows at a time."""
        if points is not None:
            return self._row_search.count(points, eps)
        lengths = np.empty(self.n_samples, dtype=np.int64)
        for start in range(0, self.n_samples, blocks.CHUNK_ROWS):
            stop = min(start + blocks.CHUNK_ROWS, self.n_samples)
            lengths[start:stop] = self._row_search.count(np.arange(start, stop, dtype=np.int32), eps)
        return lengths

    def neighbourhood_rows(self, eps, points, candidates=None):
        """The rows of ``neighbourhoods(eps)`` of the samples `points` (int32 indices), as
        ``(positions, neighbours)``, int32: entry k puts ``neighbours[k]`` in the row of
        ``points[positions[k]]``. Where `candidates` (sorted int32 indices) is given,
        only the neighbours among them."""
        return self._row_search.rows(points, eps, candidates)

    def pair_distances(self, first, second):
        """Distances between the training samples ``first[i]`` and ``second[i]``, or None
        off the Minkowski family, where the library's searches alone decide."""
        exponent = self.route.exponent
        if exponent is None:
            return None
        X = self._X
        distances = np.empty(len(first))
        for start in range(0, len(first), _PAIR_CHUNK):
            part = slice(start, start + _PAIR_CHUNK)
            difference = X[first[part]] - X[second[part]]
            if exponent == 2:
                distances[part] = np.sqrt(np.einsum("ij,ij->i", difference, difference))
            elif exponent == np.inf:
                distances[part] = np.abs(difference).max(axis=1)
            else:
                distances[part] = np.sum(np.abs(difference) ** exponent, axis=1) ** (1.0 / exponent)
        return distances

    # -- k nearest -----------------------------------------------------------------------

    @cached_property
    def _knn_search(self):
        """The search of the k nearest: a k-d tree, or scikit-learn's (brute force for
        the Minkowski family in many features, its own choice otherwise)."""
        route, threads = self.route, search_threads(self.n_jobs)
        if route.knn == "kd_tree":
            return kdtree.KDTreeSearch(self._X, route.exponent, threads)
        return library.LibrarySearch(self._X, self.metric, self.p, self.metric_params, threads,
                                     route.library_algorithm)

    def graph(self, k, index_dtype=np.int64):
        """Every training sample's k nearest other samples, nearest first.

        Returns ``(distances, indices)`` of shape (n_samples, k), float32 and
        `index_dtype`, the lists `NearestNeighbors(...).fit(X).kneighbors()` gives: a
        sample's own index is dropped from its k + 1 nearest, or, when k duplicates
        crowd it out, the first of them. Among equal distances the order is the
        route's own (by lower index on the product tiles).
        """
        n = self.n_samples
        distances = np.empty((n, k), dtype=np.float32)
        indices = np.empty((n, k), dtype=index_dtype)
        if self.route.knn == "tiles":
            with self._progress.stage(f"{k}-nearest search by product tiles", n) as advance:
                tiles.tile_graph(self._X, distances, indices, product_threads(self.n_jobs), advance)
            return distances, indices
        with self._progress.stage(f"{k}-nearest search ({self.algorithm})", n) as advance:
            self._graph_blocks(k, distances, indices, advance)
        return distances, indices

    def _graph_blocks(self, k, distances, indices, advance):
        n, search = self.n_samples, self._knn_search
        order = getattr(search, "leaf_order", None)
        for start in range(0, n, blocks.CHUNK_ROWS):
            stop = min(start + blocks.CHUNK_ROWS, n)
            rows = slice(start, stop) if order is None else order[start:stop]
            found_distances, found = search.kneighbors(self._X[rows], k + 1)
            # Mostly a sample comes first in its own list; duplicates may come before it.
            distances[rows], indices[rows] = found_distances[:, 1:], found[:, 1:]
            ids = np.arange(start, stop) if order is None else rows
            odd = found[:, 0] != ids
            if odd.any():
                found_distances, found, ids = found_distances[odd], found[odd], ids[odd]
                keep = found != ids[:, None]
                keep[keep.all(axis=1), 0] = False  # crowded out by duplicates: drop the first
                distances[ids], indices[ids] = found_distances[keep].reshape(-1, k), found[keep].reshape(-1, k)
            advance(stop - start)

    def kneighbors(self, queries, k):
        """``(distances, indices)`` of the k nearest training samples of new samples."""
        return self._knn_search.kneighbors(searchable(queries, self.metric), k)

    def nearest(self, queries, within=np.inf):
        """Index of the nearest training sample of each new sample, or -1 where none lies
        within `within` (boundary included)."""
        nearest = np.full(queries.shape[0], -1, dtype=np.intp)
        if self.n_samples == 0 or queries.shape[0] == 0:
            return nearest
        for block in blocks.query_blocks(queries.shape[0], self.n_samples):
            distance, index = self.kneighbors(queries[block.start:block.stop], 1)
            nearest[block.start:block.stop] = np.where(distance[:, 0] <= within, index[:, 0], -1)
        return nearest

    def subset(self, members):
        """An index of the training samples `members` alone, by the same route; its
        answers index into `members`."""
        return SampleIndex(self._X[members], self.metric, self.p, self.metric_params, self.n_jobs, self._algorithm)

    def nearest_among(self, candidates, queries):
        """For each training sample ``queries[i]``, the nearest training sample among
        `candidates` (indices): ``(distances, nearest)``."""
        among = self.subset(candidates)
        if self.route.knn == "kd_tree":
            search = self._knn_search
            # Queries in the order of this tree's leaves come in spatial order, which
            # keeps the walks through the candidates' tree in cache.
            leaf_position = np.empty(self.n_samples, dtype=np.int64)
            leaf_position[search.leaf_order] = np.arange(self.n_samples)
            order = np.argsort(leaf_position[queries], kind="stable")
            distances, nearest = np.empty(len(queries)), np.empty(len(queries), dtype=np.int64)
            found_distances, positions = among.kneighbors(self._X[queries[order]], 1)
            distances[order], nearest[order] = found_distances[:, 0], candidates[positions[:, 0]]
            return distances, nearest
        distances, positions = among.kneighbors(self._X[queries], 1)
        return distances[:, 0], candidates[positions[:, 0]]

"""Approximate nearest-neighbour searches for embeddings: partitioned brute force.

Exact search costs n² · d; on 10⁵ and more embeddings of hundreds of dimensions that is
minutes to hours. Here the samples are partitioned by k-means into about √n cells, and
the samples of one cell look for their neighbours only among the samples of the
`n_probes` cells whose centres are nearest to their own cell's centre. A cell and its
candidates are one single-precision matrix product, so the search runs at BLAS's speed
on cost n · d · n_probes · √n; neighbours that the partition puts out of reach are the
misses (recall below 1).

The result depends only on the data, the parameters and `random_state`: every cell is
computed on one BLAS thread and written to its own rows, so the same graph comes out
whatever `n_jobs` is.

Metrics: ``"euclidean"``; ``"cosine"`` (1 - cosine similarity, searched on unit-length
copies of the samples); ``"inner_product"``, the nearest being the largest inner
product, reported as a distance of minus the inner product.
"""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
from joblib import effective_n_jobs
from sklearn.utils import check_random_state
from threadpoolctl import threadpool_limits  # scikit-learn's own dependency

from varnex._progress import silent

__all__ = ["ApproximateIndex", "prefer_approximate", "METRICS", "DEFAULT_PROBES"]

METRICS = ("euclidean", "cosine", "inner_product")
# Cells searched for each cell: the smallest count that reaches a recall of 0.95 on the
# hard benchmark embeddings (benchmarks/bench_embeddings.py).
DEFAULT_PROBES = 16
# k-means on a sample of this many points per cell: enough for stable centres, and a
# small share of the search's cost.
_TRAINING_PER_CELL = 48
_LLOYD_ITERATIONS = 8
# Rows of one block of the centre assignment: its score matrix stays within a few MiB.
_ASSIGN_ROWS = 2048
# Rows of one cell searched at once: bounds the scores, their argpartition (int64) and
# the coordinates of the neighbours, for cells the partition leaves large.
_SEARCH_ROWS = 256

# The exact brute-force graph's cost in core-seconds beyond which "auto" prefers this
# route: it does about 2·10¹⁰ n²·d per core-second (20,000 × 384 in 2.4 s on two cores).
_BRUTE_RATE = 2e10
_SLOW_SECONDS = 60.0
# In few features a sample's neighbours spread over many cells: at 200,000 × 10 the
# default probes reached a recall of 0.87, and the 48 probes that reach 0.98 took half
# the k-d tree's time. There the exact routes stay.
_MIN_FEATURES = 16
# Below this many samples an approximate graph saves too little to give up exactness.
_MIN_SAMPLES = 20000


def prefer_approximate(n_samples, n_features, metric="euclidean"):
    """Whether ``algorithm="auto"`` takes the approximate route.

    Only where the exact route would be slow by its own cost estimate, and where this
    route does well: a metric it supports (euclidean, cosine, inner product), at least
    20,000 samples in at least 16 features (in fewer, cells leak neighbours and the
    k-d tree is fast), and exact brute force estimated above a minute of one core at
    n² · d / 2·10¹⁰ core-seconds: for example from about 56,000 samples in 384
    features, or 170,000 in 42.
    """
    if metric not in METRICS or n_samples < _MIN_SAMPLES or n_features < _MIN_FEATURES:
        return False
    return float(n_samples) ** 2 * n_features / _BRUTE_RATE > _SLOW_SECONDS


class ApproximateIndex:
    """Training samples indexed for approximate k-nearest-neighbour searches.

    Parameters
    ----------
    X : ndarray of shape (n_samples, n_features)
        The training samples, float32 (searched in place when C-contiguous, for
        euclidean and inner product) or any real type (then copied to float32).
    metric : {"euclidean", "cosine", "inner_product"}
    n_probes : int
        Cells searched for the samples of each cell: more is slower and nearer exact.
    n_jobs : int or None
        Threads (scikit-learn's meaning: None is 1, -1 all). The results do not depend on it.
    random_state : int, RandomState or None
        Seeds the k-means partition.
    progress : reporter or None
        Receives the stages of the work (see `varnex._progress.Progress`).

    Attributes
    ----------
    n_cells : int
        Cells of the partition.
    """

    def __init__(self, X, metric="euclidean", n_probes=DEFAULT_PROBES, n_jobs=None, random_state=None,
                 progress=None):
        if metric not in METRICS:
            raise ValueError(f"metric must be one of {', '.join(METRICS)} for the approximate route, got {metric!r}")
        if int(n_probes) < 1:
            raise ValueError(f"n_probes must be at least 1, got {n_probes}")
        X = np.asarray(X)
        if X.ndim != 2 or X.shape[0] < 2:
            raise ValueError(f"expected at least 2 samples in a 2-d array, got shape {X.shape}")
        self.metric, self.n_jobs = metric, n_jobs
        self._progress = progress or silent
        self._X = self._searchable(X)
        n = len(self._X)
        self._norms = np.einsum("ij,ij->i", self._X, self._X)
        # Largest inner products are nearest neighbours once every sample gets one more
        # coordinate that brings all to the same length, and queries a zero there: cells
        # are drawn in that lifted space, the extra coordinate kept aside (no copy).
        self._lift = np.sqrt(self._norms.max() - self._norms) if metric == "inner_product" else None
        self.n_cells = max(1, int(round(np.sqrt(n))))
        self.n_probes = min(int(n_probes), self.n_cells)
        rng = check_random_state(random_state)
        with threadpool_limits(1, user_api="blas"):
            self._centres, self._centre_lift = self._partition(rng)
            cells = self._assign(self._X, self._lift)
        self._members, self._starts = _group(cells, self.n_cells)
        self._probes = self._nearest_cells()

    def _searchable(self, X):
        """float32 samples in which this metric's nearest are the euclidean or inner-product
        nearest: the samples themselves where possible, unit-length copies for cosine."""
        if self.metric != "cosine":
            return np.ascontiguousarray(X, dtype=np.float32)
        unit = np.array(X, dtype=np.float32, order="C")
        lengths = np.sqrt(np.einsum("ij,ij->i", unit, unit))
        np.divide(unit, lengths[:, None], out=unit, where=lengths[:, None] > 0)
        return unit

    def _scores(self, rows, columns, column_norms):
        """Ordering scores of rows against columns, smaller nearer: squared euclidean
        distance less the row's own norm, or minus the inner product."""
        if self.metric == "euclidean":
            return _euclidean_scores(rows, columns, column_norms)
        products = rows @ columns.T
        return np.negative(products, out=products)

    def _partition(self, rng):
        """Centres of k-means cells, trained on a random sample of the samples."""
        n = len(self._X)
        sample = np.sort(rng.choice(n, size=min(n, _TRAINING_PER_CELL * self.n_cells), replace=False))
        training = self._X[sample]
        lift = self._lift[sample] if self._lift is not None else np.zeros(len(sample), dtype=np.float32)
        first = rng.choice(len(training), size=self.n_cells, replace=False)
        centres, centre_lift = training[first].copy(), lift[first].copy()
        with self._progress.stage("k-means partition", _LLOYD_ITERATIONS, unit="iterations") as advance:
            for _ in range(_LLOYD_ITERATIONS):
                labels = _nearest_centres(training, lift, centres, centre_lift)
                members, starts = _group(labels, self.n_cells)
                counts = np.diff(starts)
                full = counts > 0   # an empty cell keeps its centre
                # Sums in the order of the samples, cell by cell: the same whatever n_jobs.
                cuts = starts[:-1][full]
                sums = np.add.reduceat(training[members], cuts, axis=0, dtype=np.float64)
                centres[full] = (sums / counts[full, None]).astype(np.float32)
                centre_lift[full] = np.add.reduceat(lift[members], cuts, dtype=np.float64) / counts[full]
                advance()
        return centres, centre_lift

    def _assign(self, X, lift=None):
        """The cell of each row of X (lifted by `lift`, None: zeros): the cell of the
        nearest centre."""
        labels = np.empty(len(X), dtype=np.int64)

        def block(start):
            rows = slice(start, start + _ASSIGN_ROWS)
            labels[rows] = _nearest_centres(X[rows], None if lift is None else lift[rows], self._centres,
                                            self._centre_lift)

        with self._progress.stage("cell assignment", len(X)) as advance:
            for start in self._run(block, range(0, len(X), _ASSIGN_ROWS)):
                advance(min(_ASSIGN_ROWS, len(X) - start))
        return labels

    def _nearest_cells(self):
        """For each cell, the `n_probes` cells whose centres are nearest, itself first."""
        scores = _nearest_centres(self._centres, self._centre_lift, self._centres, self._centre_lift, scores=True)
        np.fill_diagonal(scores, -np.inf)
        nearest = np.argpartition(scores, self.n_probes - 1, axis=1)[:, :self.n_probes]
        order = np.lexsort((nearest, np.take_along_axis(scores, nearest, axis=1)), axis=1)
        return np.take_along_axis(nearest, order, axis=1)

    def _run(self, task, items):
        """Runs `task` on each item, on n_jobs threads of one BLAS thread each, and yields
        the items in their order as they are done."""
        workers = effective_n_jobs(self.n_jobs)
        with threadpool_limits(1, user_api="blas"):
            if workers <= 1:
                for item in items:
                    task(item)
                    yield item
                return
            with ThreadPoolExecutor(max_workers=workers) as pool:
                for item, _ in zip(items, pool.map(task, items)):
                    yield item

    def _search(self, queries, query_cells, k, own):
        """The k nearest candidates of each query among its cell's probed cells; `own`:
        queries are the training samples themselves, each excluding its own index."""
        n = len(queries)
        distances = np.empty((n, k), dtype=np.float32)
        indices = np.empty((n, k), dtype=np.int64)
        by_cell, starts = _group(query_cells, self.n_cells)

        def cell(c):
            if starts[c] == starts[c + 1]:
                return
            candidates = np.concatenate([self._members[self._starts[p]:self._starts[p + 1]]
                                         for p in self._probes[c]])
            pool, pool_norms = self._X[candidates], self._norms[candidates]
            # A training sample looks for one more, then drops itself (or the farthest).
            taken = min(k + own, len(candidates))
            for first in range(starts[c], starts[c + 1], _SEARCH_ROWS):
                rows = by_cell[first:min(first + _SEARCH_ROWS, starts[c + 1])]
                block = queries[rows]
                picked = candidates[_smallest(self._scores(block, pool, pool_norms), taken)]
                distance = self._distances(block, picked)
                if own:
                    distance[picked == rows[:, None]] = np.inf
                _ordered_into(distance, picked, taken - own, k, distances, indices, rows)

        with self._progress.stage(f"{k}-nearest-neighbour search", n) as advance:
            for c in self._run(cell, range(self.n_cells)):
                advance(starts[c + 1] - starts[c])
        return distances, indices

    def _distances(self, block, picked):
        """This metric's distances from each row of `block` to its picked samples,
        measured from the coordinates (the scores lose precision to cancellation)."""
        neighbours = self._X[picked]
        if self.metric == "euclidean":
            difference = neighbours - block[:, None, :]
            return np.sqrt(np.einsum("ijk,ijk->ij", difference, difference))
        products = np.einsum("ijk,ik->ij", neighbours, block)
        return 1 - products if self.metric == "cosine" else -products

    def graph(self, k):
        """Every training sample's k nearest other samples, found approximately, nearest
        first (ties by lower index): ``(distances, indices)``, float32 and int64 of shape
        (n_samples, k). A sample whose probed cells hold fewer than k others lists -1
        and +inf in the places left."""
        self._check_k(k, len(self._X) - 1)
        if self._lift is not None:
            cells = self._assign(self._X)   # as queries, unlifted
        else:
            cells = np.empty(len(self._X), dtype=np.int64)
            cells[self._members] = np.repeat(np.arange(self.n_cells), np.diff(self._starts))
        return self._search(self._X, cells, k, own=True)

    def kneighbors(self, queries, k):
        """The k nearest training samples of new samples, found approximately, nearest
        first: ``(distances, indices)`` of shape (n_queries, k)."""
        self._check_k(k, len(self._X))
        queries = self._searchable(np.asarray(queries))
        if queries.ndim != 2 or queries.shape[1] != self._X.shape[1]:
            raise ValueError(f"expected queries of {self._X.shape[1]} features, got shape {queries.shape}")
        return self._search(queries, self._assign(queries), k, own=False)

    def brute(self, queries, k, exclude=None, pool=None):
        """The exact k nearest of `queries` (float32, as the index searches them: unit
        length for cosine) among the training samples `pool` (None: all), nearest
        first, as indices into the training samples; `exclude`: each query's own
        training index, left out. For the few queries the cells leave short of k."""
        pool = np.arange(len(self._X)) if pool is None else pool
        columns, column_norms = self._X[pool], self._norms[pool]
        own = int(exclude is not None)
        taken = min(k + own, len(pool))
        distances = np.empty((len(queries), k), dtype=np.float32)
        indices = np.empty((len(queries), k), dtype=np.int64)
        # Score blocks of about 16 MiB whatever the pool's size.
        step = max(1, (1 << 22) // len(pool))
        for first in range(0, len(queries), step):
            rows = np.arange(first, min(first + step, len(queries)))
            block = queries[rows]
            picked = pool[_smallest(self._scores(block, columns, column_norms), taken)]
            distance = self._distances(block, picked)
            if own:
                distance[picked == exclude[rows][:, None]] = np.inf
            _ordered_into(distance, picked, taken - own, k, distances, indices, rows)
        return distances, indices

    def searchable(self, queries):
        """Queries as this index searches them (float32; unit length for cosine)."""
        return self._searchable(np.asarray(queries))

    @property
    def samples(self):
        """The training samples as searched (float32; unit length for cosine)."""
        return self._X

    @property
    def squared_norms(self):
        """Squared lengths of the searched training samples."""
        return self._norms

    @staticmethod
    def _check_k(k, most):
        if not 1 <= k <= most:
            raise ValueError(f"n_neighbors must be between 1 and {most}, got {k}")


def _group(labels, n_groups):
    """Indices sorted by label (stable) and the start of each label's run."""
    members = np.argsort(labels, kind="stable")
    starts = np.zeros(n_groups + 1, dtype=np.int64)
    np.cumsum(np.bincount(labels, minlength=n_groups), out=starts[1:])
    return members, starts


def _euclidean_scores(rows, columns, column_norms):
    """Squared euclidean distances less the rows' own norms."""
    products = rows @ columns.T
    products *= -2
    products += column_norms
    return products


def _nearest_centres(rows, row_lift, centres, centre_lift, scores=False):
    """Index of the nearest centre of each row in euclidean distance over the
    coordinates and the lift (None: zeros), the lower index among ties; with `scores`,
    the squared distances less the rows' own norms instead."""
    found = _euclidean_scores(rows, centres, np.einsum("ij,ij->i", centres, centres) + centre_lift ** 2)
    if row_lift is not None:
        found -= 2 * row_lift[:, None] * centre_lift[None, :]
    return found if scores else np.argmin(found, axis=1)


def _smallest(scores, k):
    """Columns of the k smallest scores of each row (unordered)."""
    if k >= scores.shape[1]:
        return np.broadcast_to(np.arange(scores.shape[1]), scores.shape)
    return np.argpartition(scores, k - 1, axis=1)[:, :k]


def _ordered_into(distance, picked, found, k, distances, indices, rows):
    """Writes the `found` nearest picked neighbours of `rows` by distance then index,
    padding lists shorter than k."""
    order = np.lexsort((picked, distance), axis=1)[:, :found]
    distances[rows, :found] = np.take_along_axis(distance, order, axis=1)
    indices[rows, :found] = np.take_along_axis(picked, order, axis=1)
    distances[rows, found:] = np.inf
    indices[rows, found:] = -1

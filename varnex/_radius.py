"""The radius of DensityClustering chosen from the known labels (``eps="auto"``).

Two labelled samples of different classes must not be density-connected: once they
are, the cluster grown first from one of them takes the other's whole region. In the
terms of the clustering, sample q can be reached from sample p at radius eps when p
spreads its cluster (p is labelled, or a core sample: its `min_samples`-th neighbour,
itself counted, lies within eps) and so does q, and d(p, q) <= eps. So the radius at
which p and q meet is

    w(p, q) = max(s(p), s(q), d(p, q)),   s = 0 for labelled samples, else the core distance,

and the smallest radius at which two classes meet is the smallest bottleneck (the
largest edge of the best path) between differently labelled samples: a cut of the
minimum spanning tree of w. The tree is grown over the k-nearest-neighbour graph, its
components joined by their nearest samples (between components, w is the distance
itself); the k-NN graph can miss a shortcut, so the radius found is checked on the true
neighbourhoods and lowered until no two classes meet.

Just below that level the known regions are as large as they can be. With few labels a
region no label claims can still join the wrong class below it, so the radius is then
chosen among a ladder of lower radii by hiding part of the labels (stratified by class)
and scoring the clustering on the hidden ones; equal scores take the middle rung.
"""

import warnings

import numpy as np
from scipy import sparse
from scipy.sparse.csgraph import connected_components, minimum_spanning_tree

from varnex import _knn
from varnex._neighbourhoods import precomputed_neighbourhoods, radius_neighbourhoods
from varnex.algorithms.src.densa.binaries.densa_arrays import cluster_neighbourhoods, cluster_weighted_neighbourhoods
from varnex.model_selection import hidden_folds

__all__ = ["choose_radius", "conflict_radius", "knee_radius"]

# Neighbours of the graph the spanning tree is grown over: more than min_samples, so the
# graph misses fewer shortcuts.
GRAPH_NEIGHBOURS = 10
# Rungs below the conflict level, each this factor below the previous one.
LADDER = 0.8 ** np.arange(5)
# Each class's spare labels are hidden half at a time: three folds chose nearly the same
# radii on the benchmark's data sets, for half as much work again.
HIDDEN_FOLDS = 2
# Attempts at lowering a radius that the true neighbourhoods show to join two classes.
CHECKS = 12
# Zero weights are absent edges to SciPy's spanning tree: duplicates get this instead.
_TINY = np.finfo(np.float64).tiny


def choose_radius(estimator, X, known, sample_weight=None):
    """The radius for `estimator` (a DensityClustering) on `X`, its data as it clusters
    it, and the class codes `known` (-1 unlabelled). Returns ``(eps, rule)``, `rule`
    naming how it was found."""
    n = X.shape[0]
    min_samples = int(estimator.min_samples)
    if n < 2:
        return 0.0, "k-distance"
    index = _knn.index_samples(X, metric=estimator.metric, p=estimator.p, n_jobs=estimator.n_jobs,
                               metric_params=estimator.metric_params)
    if sparse.issparse(X) and isinstance(estimator.metric, str) and estimator.metric == "precomputed":
        # A sparse graph of distances is its own neighbour graph, rows of any length.
        edges, core = _stored_edges(X, min_samples)
    else:
        distances, indices = index.graph(min(max(min_samples, GRAPH_NEIGHBOURS), n - 1))
        core = core_distances(distances, min_samples)
        edges = (np.repeat(np.arange(n), indices.shape[1]), indices.ravel().astype(np.int64),
                 distances.ravel().astype(np.float64))
    if np.unique(known[known >= 0]).size < 2:
        warnings.warn("eps='auto' needs labelled samples of at least two classes; with fewer, eps is the "
                      "knee of the sorted core distances (a k-distance rule)", UserWarning, stacklevel=5)
        return knee_radius(core), "k-distance"
    spread = np.where(known >= 0, 0.0, core)
    level, widest = conflict_radius(index, edges, spread, known)
    if not np.isfinite(level):
        # No path ever joins two classes (a sparse graph of distances in pieces): the
        # widest edge of the spanning forest joins all that can be joined.
        return widest, "no conflict"
    eps = float(np.nextafter(np.float32(level), np.float32(0)))
    neighbourhoods = _Neighbourhoods(estimator, X, sample_weight)
    for _ in range(CHECKS):
        rows = neighbourhoods.search(eps)
        if not neighbourhoods.join_classes(rows, known):
            break
        eps *= 0.95
    return _held_out_choice(estimator, X, known, sample_weight, neighbourhoods, eps * LADDER), "labels"


def core_distances(distances, min_samples):
    """Distance to each sample's `min_samples`-th neighbour, itself counted first."""
    if min_samples <= 1:
        return np.zeros(distances.shape[0])
    return distances[:, min(min_samples - 2, distances.shape[1] - 1)].astype(np.float64)


def _stored_edges(D, min_samples):
    """The stored distances of a sparse graph between distinct samples, as edges, and
    each sample's core distance among them (+inf for a row with too few)."""
    D = sparse.coo_matrix(D)
    keep = D.row != D.col
    rows, columns, values = D.row[keep].astype(np.int64), D.col[keep].astype(np.int64), D.data[keep]
    order = np.lexsort((values, rows))
    n = D.shape[0]
    starts = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=starts[1:])
    core = np.zeros(n) if min_samples <= 1 else np.full(n, np.inf)
    if min_samples > 1:
        position = np.arange(rows.size) - starts[rows[order]]
        at = position == min_samples - 2
        core[rows[order][at]] = values[order][at]
    return (rows, columns, values.astype(np.float64)), core


def knee_radius(core):
    """The knee of the sorted core distances: the point farthest below the chord from
    the smallest to the largest, both axes brought to [0, 1]."""
    values = np.sort(core[np.isfinite(core)])
    if values.size == 0 or values[-1] == values[0]:
        return float(values[-1]) if values.size else 0.0
    x = np.linspace(0.0, 1.0, values.size)
    y = (values - values[0]) / (values[-1] - values[0])
    return float(values[np.argmax(x - y)])


def conflict_radius(index, edges, spread, known):
    """The smallest radius at which two labelled samples of different classes are
    joined by a path of spreading samples (+inf if never), and the widest edge of the
    spanning forest. `edges` are the neighbour graph's ``(rows, columns, distances)``."""
    rows, columns, weights = _spanning_tree(index, edges, spread)
    order = np.argsort(weights, kind="stable")
    rows, columns, weights = rows[order], columns[order], weights[order]
    levels = np.unique(weights)
    labelled = np.flatnonzero(known >= 0)
    n = known.shape[0]

    def meet(level):
        # The tree's edges up to `level` are a prefix of the sorted ones.
        count = np.searchsorted(weights, level, side="right")
        _, component = connected_components(_csr(rows[:count], columns[:count], n), directed=False)
        pairs = np.unique(np.c_[component[labelled], known[labelled]], axis=0)
        return pairs.shape[0] > np.unique(pairs[:, 0]).size

    widest = float(levels[-1]) if levels.size else 0.0
    if levels.size == 0 or not meet(levels[-1]):
        return np.inf, widest
    low, high = 0, levels.size - 1   # levels[high] meets; find the first that does
    while low < high:
        middle = (low + high) // 2
        if meet(levels[middle]):
            high = middle
        else:
            low = middle + 1
    return float(levels[low]), widest


def _spanning_tree(index, edges, spread):
    """Edges ``(rows, columns, weights)`` of a spanning forest of w over the neighbour
    graph `edges`, its components joined through their nearest outside samples as long
    as any is reachable."""
    n = spread.shape[0]
    rows, columns, distances = edges
    weights = np.maximum(np.maximum(spread[rows], spread[columns]), distances)
    tree = minimum_spanning_tree(sparse.csr_matrix((np.maximum(weights, _TINY), (rows, columns)), shape=(n, n)))
    tree = tree.tocoo()
    rows, columns, weights = tree.row.astype(np.int64), tree.col.astype(np.int64), tree.data
    while True:
        n_components, component = connected_components(_csr(rows, columns, n), directed=False)
        if n_components == 1:
            break
        joins = []
        for label in range(n_components):
            inside = component == label
            found, nearest = index.nearest_among(np.flatnonzero(~inside), np.flatnonzero(inside))
            best = int(np.argmin(found))
            if np.isfinite(found[best]):
                p, q = np.flatnonzero(inside)[best], nearest[best]
                # Outside a sample's k nearest the distance is at least both core distances.
                joins.append((p, q, max(found[best], spread[p], spread[q], _TINY)))
        if not joins:
            break
        p, q, w = map(np.asarray, zip(*joins))
        rows, columns, weights = np.r_[rows, p], np.r_[columns, q], np.r_[weights, w]
    return rows, columns, weights


def _csr(rows, columns, n):
    """The edges as an unweighted CSR graph, built by counting (no sorting of entries)."""
    order = np.argsort(rows, kind="stable")
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=indptr[1:])
    return sparse.csr_matrix((np.ones(rows.size), columns[order], indptr), shape=(n, n))


class _Neighbourhoods:
    """The true radius neighbourhoods of the clustering at the largest radius tried,
    and the clusterings of the smaller radii drawn from them.

    In the Minkowski metrics the distances of the pairs found are measured once, so a
    smaller radius keeps the pairs within it instead of searching again; other metrics
    search again. Either way the clusterings follow the estimator's own steps, on its
    neighbourhoods, without a fit of their own.
    """

    def __init__(self, estimator, X, sample_weight):
        self.estimator, self.X, self.weights = estimator, X, sample_weight
        self.min_samples = estimator.min_samples
        metric = estimator.metric
        self.precomputed = isinstance(metric, str) and metric == "precomputed"
        exponent = _MINKOWSKI.get(metric) if isinstance(metric, str) and not estimator.metric_params else None
        self.exponent = float(estimator.p) if exponent == "p" else exponent
        if sparse.issparse(X):
            self.exponent = None
        self.found = None

    def search(self, eps):
        """Neighbourhoods at `eps`: ``(indptr, indices, self_within)``, as the fit finds them."""
        estimator = self.estimator
        if self.precomputed:
            rows = precomputed_neighbourhoods(self.X, eps)
        else:
            rows = (*radius_neighbourhoods(self.X, eps, estimator.metric, int(estimator.p), estimator.n_jobs,
                                           estimator.metric_params), None)
        owners = np.repeat(np.arange(rows[0].size - 1), np.diff(rows[0]))
        self.found = (eps, rows, owners, self._pair_distances(rows[1], owners))
        return rows

    def within(self, eps):
        """Neighbourhoods at `eps`, no larger than the last radius searched."""
        top, rows, owners, distances = self.found
        if eps == top:
            return rows
        if distances is None:
            return self.search(eps)
        return _kept(rows, owners, distances <= eps)

    def _pair_distances(self, indices, owners):
        if self.exponent is None:
            return None
        distances = np.empty(indices.size)
        for start in range(0, indices.size, _PAIR_CHUNK):
            part = slice(start, start + _PAIR_CHUNK)
            difference = self.X[owners[part]] - self.X[indices[part]]
            if self.exponent == 2:
                distances[part] = np.sqrt(np.einsum("ij,ij->i", difference, difference))
            elif self.exponent == np.inf:
                distances[part] = np.abs(difference).max(axis=1)
            else:
                distances[part] = np.sum(np.abs(difference) ** self.exponent, axis=1) ** (1.0 / self.exponent)
        return distances

    def _spreading(self, rows, known):
        """Labelled samples and core samples: those that spread their cluster."""
        indptr, indices, self_within = rows
        own = 1 if self_within is None else self_within.astype(np.float64)
        if self.weights is None:
            sizes = np.diff(indptr) + own
        else:
            own = np.ones(known.shape[0]) if self_within is None else own
            owners = np.repeat(np.arange(known.shape[0]), np.diff(indptr))
            sizes = np.bincount(owners, weights=self.weights[indices], minlength=known.shape[0]) + own * self.weights
        return (known >= 0) | (sizes >= self.min_samples)

    def join_classes(self, rows, known):
        """Whether two classes meet in these neighbourhoods through spreading samples."""
        n = known.shape[0]
        spreads = self._spreading(rows, known)
        owners = self.found[2] if rows is self.found[1] else np.repeat(np.arange(n), np.diff(rows[0]))
        indptr, indices, _ = _kept(rows, owners, spreads[owners] & spreads[rows[1]])
        graph = sparse.csr_matrix((np.ones(indices.size), indices, indptr), shape=(n, n))
        _, component = connected_components(graph, directed=False)
        labelled = np.flatnonzero(known >= 0)
        pairs = np.unique(np.c_[component[labelled], known[labelled]], axis=0)
        return pairs.shape[0] > np.unique(pairs[:, 0]).size

    def codes(self, rows, known):
        """The final class codes the estimator gives at these neighbourhoods: its
        clustering (as in its `_cluster`) and its post-processing."""
        indptr, indices, self_within = rows
        estimator, weights = self.estimator, self.weights
        if weights is None and (self_within is None or self_within.all()):
            clusters = cluster_neighbourhoods(indptr, indices, known, int(self.min_samples))
        else:
            weights = np.ones(known.shape[0]) if weights is None else weights
            own = weights if self_within is None else np.where(self_within, weights, 0.0)
            clusters, _ = cluster_weighted_neighbourhoods(indptr, indices, known, float(self.min_samples),
                                                          weights, own)
        if not estimator.postprocess:
            return clusters
        return estimator._postprocess(self.X, clusters, self.weights)[0]


def _kept(rows, owners, keep):
    """The CSR rows with only the entries where `keep` holds."""
    indptr, indices, self_within = rows
    kept = np.zeros(indptr.size, dtype=np.int64)
    np.cumsum(np.bincount(owners[keep], minlength=indptr.size - 1), out=kept[1:])
    return kept, indices[keep], self_within


# Minkowski exponent of each metric name; "p": the estimator's own.
_MINKOWSKI = {"euclidean": 2.0, "l2": 2.0, "manhattan": 1.0, "cityblock": 1.0, "l1": 1.0, "chebyshev": np.inf,
              "infinity": np.inf, "minkowski": "p"}
# Pairs whose coordinates are subtracted at once when measuring neighbourhoods.
_PAIR_CHUNK = 1 << 16


def _held_out_choice(estimator, X, known, sample_weight, neighbourhoods, candidates):
    """The candidate radius (largest first) whose clusterings best recover hidden
    labels, the middle one among equals."""
    folds = hidden_folds(known, HIDDEN_FOLDS, 0)
    if not np.any(folds >= 0):
        # No class has a label to spare: every rung would score alike.
        return float(candidates[(candidates.size - 1) // 2])
    scores = np.zeros(candidates.size)
    for i, eps in enumerate(candidates):
        rows = neighbourhoods.within(float(eps))
        for fold in range(HIDDEN_FOLDS):
            hidden = folds == fold
            if hidden.any():
                codes = neighbourhoods.codes(rows, np.where(hidden, -1, known).astype(np.int32))
                scores[i] += np.count_nonzero(codes[hidden] == known[hidden])
    best = np.flatnonzero(scores == scores.max())
    return float(candidates[best[(best.size - 1) // 2]])

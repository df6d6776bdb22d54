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

from varnex._search import Neighbourhoods, is_precomputed
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


def choose_radius(estimator, index, X, known, sample_weight=None):
    """The radius for `estimator` (a DensityClustering) from `index`, the index of its
    training samples `X` as it clusters them, and the class codes `known` (-1
    unlabelled). Returns ``(eps, rule)``, `rule` naming how it was found."""
    n = X.shape[0]
    min_samples = int(estimator.min_samples)
    if n < 2:
        return 0.0, "k-distance"
    if sparse.issparse(X) and is_precomputed(estimator.metric):
        # A sparse graph of distances is its own neighbour graph, rows of any length.
        edges, core = _stored_edges(X, min_samples)
    else:
        distances, indices = index.graph(min(max(min_samples, GRAPH_NEIGHBOURS), n - 1))
        core = core_distances(distances, min_samples)
        edges = (np.repeat(np.arange(n), indices.shape[1]), indices.ravel().astype(np.int64),
                 distances.ravel().astype(np.float64))
    if np.unique(known[known >= 0]).size < 2:
        warnings.warn("eps='auto' needs labelled samples of at least two classes; with fewer, eps is the "
                      "knee of the sorted core distances (a k-distance rule)", UserWarning, stacklevel=6)
        return knee_radius(core), "k-distance"
    spread = np.where(known >= 0, 0.0, core)
    level, widest = conflict_radius(index, edges, spread, known)
    if not np.isfinite(level):
        # No path ever joins two classes (a sparse graph of distances in pieces): the
        # widest edge of the spanning forest joins all that can be joined.
        return widest, "no conflict"
    eps = float(np.nextafter(np.float32(level), np.float32(0)))
    neighbourhoods = _Neighbourhoods(estimator, index, X, sample_weight)
    for _ in range(CHECKS):
        rows = neighbourhoods.search(eps)
        if not neighbourhoods.join_classes(rows, known):
            break
        eps *= 0.95
    return _held_out_choice(known, neighbourhoods, eps * LADDER), "labels"


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

    Where the index measures the distances of the pairs found, a smaller radius keeps
    the pairs within it instead of searching again. The clusterings are the estimator's
    own steps on these neighbourhoods, without a fit of their own.
    """

    def __init__(self, estimator, index, X, sample_weight):
        self.estimator, self.index, self.X, self.weights = estimator, index, X, sample_weight
        self.found = None

    def search(self, eps):
        """Neighbourhoods at `eps`, as the fit finds them."""
        rows = self.index.neighbourhoods(eps)
        owners = np.repeat(np.arange(rows.indptr.size - 1), np.diff(rows.indptr))
        self.found = (eps, rows, owners, self.index.pair_distances(owners, rows.indices))
        return rows

    def within(self, eps):
        """Neighbourhoods at `eps`, no larger than the last radius searched."""
        top, rows, owners, distances = self.found
        if eps == top:
            return rows
        if distances is None:
            return self.search(eps)
        return _kept(rows, owners, distances <= eps)

    def join_classes(self, rows, known):
        """Whether two classes meet in these neighbourhoods through spreading samples:
        labelled samples and core samples."""
        n = known.shape[0]
        _, core = self.estimator._cluster_neighbourhoods(rows, self.X, known, self.weights)
        spreads = (known >= 0) | core
        owners = self.found[2] if rows is self.found[1] else np.repeat(np.arange(n), np.diff(rows.indptr))
        indptr, indices, _ = _kept(rows, owners, spreads[owners] & spreads[rows.indices])
        graph = sparse.csr_matrix((np.ones(indices.size), indices, indptr), shape=(n, n))
        _, component = connected_components(graph, directed=False)
        labelled = np.flatnonzero(known >= 0)
        pairs = np.unique(np.c_[component[labelled], known[labelled]], axis=0)
        return pairs.shape[0] > np.unique(pairs[:, 0]).size

    def codes(self, rows, known):
        """The final class codes the estimator gives at these neighbourhoods: its
        clustering and, where it post-processes, its post-processing."""
        estimator = self.estimator
        clusters, _ = estimator._cluster_neighbourhoods(rows, self.X, known, self.weights)
        if not estimator.postprocess:
            return clusters
        return estimator._postprocess(self.index, self.X, clusters, self.weights)[0]


def _kept(rows, owners, keep):
    """The neighbourhoods with only the entries where `keep` holds."""
    kept = np.zeros(rows.indptr.size, dtype=np.int64)
    np.cumsum(np.bincount(owners[keep], minlength=rows.indptr.size - 1), out=kept[1:])
    return Neighbourhoods(kept, rows.indices[keep], rows.self_within)


def _held_out_choice(known, neighbourhoods, candidates):
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

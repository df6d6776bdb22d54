"""The synchronous growth of DensityClustering: where clusters meet, distance decides, so
the rows may come in any order."""

import numpy as np
import pytest
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import connected_components
from sklearn.cluster import DBSCAN
from sklearn.datasets import make_blobs, make_moons
from sklearn.metrics import pairwise_distances

from varnex import DensityClustering
from varnex._search import SampleIndex
from varnex.algorithms.src.densa.binaries.densa_arrays import cluster_synchronously

# Ten samples about 1 apart: with eps=1.1 and min_samples=3 all but the two ends are core.
CHAIN = np.arange(10.0)[:, None]
SHIFTED = CHAIN.copy()
SHIFTED[4] = 3.95  # sample 4 now nearer sample 3 than sample 5


@pytest.mark.parametrize("X, labels, expected", [
    # A labelled end sample no longer takes the region before the core samples grow.
    (CHAIN, {2: 1, 9: 0}, [1, 1, 1, 1, 1, 1, 0, 0, 0, 0]),
    # Sample 4 is reached by both classes in the same ring, as near to both: lower class.
    (CHAIN, {1: 1, 7: 0}, [1, 1, 1, 1, 0, 0, 0, 0, 0, 0]),
    # ... unless nearer to one: the nearest sample that reached it decides.
    (SHIFTED, {1: 1, 7: 0}, [1, 1, 1, 1, 1, 0, 0, 0, 0, 0]),
    # A labelled sample spreads although not core, and stops at another class.
    (CHAIN, {0: 0, 1: 1}, [0, 1, 1, 1, 1, 1, 1, 1, 1, 1]),
])
def test_contested_samples_go_by_distance_in_any_row_order(X, labels, expected):
    y = np.full(10, -1)
    y[list(labels)] = list(labels.values())
    model = DensityClustering(eps=1.1, min_samples=3, postprocess=False, growth="synchronous")
    np.testing.assert_array_equal(model.fit(X, y).labels_, expected)
    np.testing.assert_array_equal(model.fit(X[::-1], y[::-1]).labels_, expected[::-1])


@pytest.mark.parametrize("border, nearest_group", [(15.5, 0), (16.5, 1)])
def test_a_border_between_new_clusters_joins_its_nearest_core_sample(border, nearest_group):
    # Two groups of four core samples, one border sample between them, unlabelled.
    X = np.array([0.0, 2, 4, 6, 26, 28, 30, 32, border])[:, None]
    for rows in (np.arange(9), np.r_[4:8, 0:4, 8]):
        model = DensityClustering(eps=11, min_samples=4, growth="synchronous").fit(X[rows])
        labels = np.empty(9, dtype=int)
        labels[rows] = model.labels_
        assert labels[8] == labels[4 * nearest_group]
        assert labels[0] != labels[4]


def reference_growth(X, rows, labels, min_samples):
    """The synchronous rule written plainly: labelled rings, then the groups of connected
    core samples left and their borders, every contest to the nearest reaching sample."""
    n = len(rows)
    core = np.array([len(r) + 1 >= min_samples for r in rows])
    result = np.full(n, -1)
    frontier = {i: labels[i] for i in range(n) if labels[i] >= 0}
    result[list(frontier)] = list(frontier.values())
    while frontier:
        claims = {}
        for s, c in frontier.items():
            if labels[s] >= 0 or core[s]:
                for j in rows[s]:
                    if result[j] == -1 and labels[j] == -1:
                        claims.setdefault(j, []).append((np.linalg.norm(X[s] - X[j]), c))
        frontier = {j: min(v)[1] for j, v in claims.items()}
        result[list(frontier)] = list(frontier.values())
    free = np.flatnonzero((result == -1) & core)
    pairs = [(a, b) for a in free for b in rows[a] if b in set(free)]
    graph = csr_matrix((np.ones(len(pairs)), ([a for a, _ in pairs], [b for _, b in pairs])), shape=(n, n))
    _, component = connected_components(graph, directed=False)
    ids = {}
    for i in free:  # numbered by their lowest row
        ids.setdefault(component[i], -2 - len(ids))
        result[i] = ids[component[i]]
    for j in np.flatnonzero(result == -1):
        near = [(np.linalg.norm(X[s] - X[j]), -result[s]) for s in rows[j] if s in set(free)]
        if near and labels[j] == -1:
            result[j] = -min(near)[1]
    return result


@pytest.mark.parametrize("seed, labelled, min_samples", [(0, 0.0, 4), (1, 0.03, 4), (2, 0.1, 6), (3, 0.3, 3)])
def test_native_growth_equals_the_plain_rule(seed, labelled, min_samples):
    rng = np.random.default_rng(seed)
    X, _ = make_blobs(300, centers=4, cluster_std=1.5, random_state=seed)
    indptr, indices, _ = SampleIndex(X).neighbourhoods(0.9)
    labels = np.where(rng.random(len(X)) < labelled, rng.integers(0, 3, len(X)), -1).astype(np.int32)
    clusters, core = cluster_synchronously(indptr, indices, labels, min_samples, None, None, X, 2.0)
    rows = [indices[indptr[i]:indptr[i + 1]] for i in range(len(X))]
    np.testing.assert_array_equal(clusters, reference_growth(X, rows, labels, min_samples))
    np.testing.assert_array_equal(core, np.diff(indptr) + 1 >= min_samples)


@pytest.mark.parametrize("metric, eps", [("euclidean", 0.25), ("manhattan", 0.3), ("chebyshev", 0.2)])
@pytest.mark.parametrize("share", [0.0, 0.02, 0.2])
def test_labels_do_not_depend_on_the_row_order(metric, eps, share):
    X, truth = make_moons(400, noise=0.12, random_state=1)
    rng = np.random.default_rng(5)
    y = np.where(rng.random(len(X)) < share, truth, -1)
    weights = rng.uniform(0.5, 2.0, len(X))
    order = rng.permutation(len(X))
    model = DensityClustering(eps=eps, min_samples=5, metric=metric, growth="synchronous")
    first = model.fit(X, y, sample_weight=weights).labels_
    again = np.empty_like(first)
    again[order] = model.fit(X[order], y[order], sample_weight=weights[order]).labels_
    if share == 0.0:  # DBSCAN's numbering follows the rows: compare the partitions
        first = np.unique(first, return_inverse=True)[1] + 10 * (first == -1)
        again = first[np.unique(again, return_index=True)[1]][np.unique(again, return_inverse=True)[1]]
    np.testing.assert_array_equal(again, first)


@pytest.mark.parametrize("metric, eps, shift", [("euclidean", 0.35, 10.0), ("manhattan", 0.45, 10.0),
                                               ("cosine", 0.0005, (1.5, 1.0))])
def test_without_labels_the_core_samples_split_as_dbscans(metric, eps, shift):
    # Three blobs that touch; for cosine, around the origin so that angles part them.
    X, _ = make_blobs(500, centers=[[0, 0], [3, 0], [1.5, 2.5]], cluster_std=0.8, random_state=2)
    X = X + shift
    expected = DBSCAN(eps=eps, min_samples=6, metric=metric).fit(X)
    model = DensityClustering(eps=eps, min_samples=6, metric=metric, growth="synchronous").fit(X)
    labels = model.labels_
    core = expected.core_sample_indices_
    assert len(set(expected.labels_[core])) > 1
    np.testing.assert_array_equal(model.core_sample_indices_, core)
    np.testing.assert_array_equal(labels[core], expected.labels_[core])  # numbered as DBSCAN numbers them
    np.testing.assert_array_equal(labels == -1, expected.labels_ == -1)
    border = np.setdiff1d(np.flatnonzero(labels != -1), core)
    distances = pairwise_distances(X[border], X[core], metric=metric)
    if metric != "cosine":  # cosine has no coordinates to measure contests by
        np.testing.assert_array_equal(labels[border], labels[core][np.argmin(distances, axis=1)])
        np.testing.assert_array_equal(model.predict(X), labels)  # predict places samples alike
    # Either way a border sample joins a cluster of a core sample within reach.
    within = distances <= eps
    assert all(labels[b] in labels[core][within[k]] for k, b in enumerate(border))

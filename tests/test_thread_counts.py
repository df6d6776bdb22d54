"""Results that do not depend on the number of threads, and the thread count itself."""

import _thread
import signal
import threading

import numpy as np
import pytest
from sklearn.datasets import make_blobs, make_moons
from sklearn.metrics import DistanceMetric
from threadpoolctl import threadpool_limits

from test_linka_sweep import random_graph, synchronous_reference
from varnex import DensityClustering, KNNLabelPropagation
from varnex._graph_pipeline import Graph, confidence, knn_graph, reverse_subgraph, symmetric_graph
from varnex._search.threads import native_threads
from varnex.algorithms.src.densa.binaries.densa_arrays import cluster_means, label_groups, nearest_centres
from varnex.algorithms.src.linka.binaries.linka_arrays import join
from varnex.algorithms.src.linka.binaries.linka_sweep import propagate

THREAD_COUNTS = (1, 2, 4)


def sweeps_by_threads(graph, **options):
    indptr, indices, weights, labels = graph
    results = []
    for threads in THREAD_COUNTS:
        found = labels.copy()
        sweeps = propagate(indptr, indices, weights, found, synchronous=True, n_threads=threads, **options)
        results.append((found, sweeps))
    return results


# Thousands of nodes, so a sweep spans several chunks of work.
@pytest.mark.parametrize("seed, ties, index_dtype, options", [
    (0, False, np.int64, dict(max_iter=1000, tol=1e-3)),
    (1, True, np.int32, dict(max_iter=1000, tol=1e-3)),
    (2, True, np.int64, dict(max_iter=1000, tol=1e-2, exact_stop=True)),
    (3, False, np.int32, dict(max_iter=3, tol=1e-3)),   # cut short by the sweep limit
])
def test_synchronous_labels_and_sweeps_are_the_same_on_any_number_of_threads(seed, ties, index_dtype, options):
    indptr, indices, weights, labels = random_graph(seed, n_max=6000, ties=ties)
    graph = indptr, indices.astype(index_dtype), weights, labels
    (first, sweeps), *others = sweeps_by_threads(graph, **options)
    for found, other_sweeps in others:
        np.testing.assert_array_equal(found, first)
        assert other_sweeps == sweeps


def test_threaded_sweeps_match_the_layer_reference():
    rng = np.random.default_rng(7)
    n = 2500   # three chunks
    indptr = np.arange(0, 3 * n + 1, 3, dtype=np.int64)
    indices = rng.integers(0, n, 3 * n)
    weights = rng.choice([0.5, 1.0, 2.0], 3 * n).astype(np.float32)
    labels = np.where(rng.random(n) < 0.01, rng.integers(0, 3, n), -1).astype(np.int32)
    found = labels.copy()
    propagate(indptr, indices, weights, found, 1000, 1e-3, True, n_threads=4)
    np.testing.assert_array_equal(found, synchronous_reference(indptr, indices, weights, labels))


def test_label_confidence_is_the_same_on_any_number_of_threads_and_matches_the_vote():
    rng = np.random.default_rng(3)
    n, k = 40_000, 6   # three chunks of nodes
    weights = np.sort(rng.choice([0.5, 1.0, 2.0, 3.0], (n, k)), axis=1).astype(np.float32)
    knn = Graph(np.arange(n + 1, dtype=np.int64) * k, rng.integers(0, n, n * k), weights.ravel())
    labels = rng.integers(-1, 3, n).astype(np.int32)
    known = np.where(rng.random(n) < 0.1, labels, -1).astype(np.int32)
    found = [confidence(knn, known, labels, threads) for threads in THREAD_COUNTS]
    neighbours = labels[knn.indices].reshape(n, k)
    votes = np.where(neighbours >= 0, (weights[:, :1].astype(float) / weights) ** 2, 0.0)
    own, total = np.where(neighbours == labels[:, None], votes, 0.0).sum(axis=1), votes.sum(axis=1)
    expected = np.where((total > 0) & (labels >= 0), own / np.where(total > 0, total, 1), 0.0)
    expected[known >= 0] = 1.0
    np.testing.assert_allclose(found[0], expected, rtol=1e-12)
    for other in found[1:]:
        np.testing.assert_array_equal(other, found[0])


def symmetric_reference(indices, weights):
    """Own lists, then the reverse edges not listed yet, by weight then source: one
    stable sort of every edge."""
    n, k = indices.shape
    source, target, weight = np.repeat(np.arange(n), k), indices.ravel(), weights.ravel()
    reverse = ~np.isin(target * n + source, source * n + target)
    rows, columns = np.r_[source, target[reverse]], np.r_[target, source[reverse]]
    weights = np.r_[weight, weight[reverse]]
    is_reverse = np.r_[np.zeros(n * k, bool), np.ones(np.count_nonzero(reverse), bool)]
    order = np.lexsort((np.where(is_reverse, weights, 0), is_reverse, rows))
    return np.r_[0, np.cumsum(np.bincount(rows, minlength=n))], columns[order], weights[order]


# 20,000 nodes: three chunks of rows. Few distinct weights make ties; NaN goes last.
@pytest.mark.parametrize("n, k, choices", [(20_000, 5, [0.5, 1.0, 2.0]), (20_000, 3, [1.0, np.nan, 2.0]),
                                           (7, 3, None)])
def test_symmetric_graph_is_the_same_on_any_number_of_threads(n, k, choices):
    rng = np.random.default_rng(k)
    indices = rng.integers(0, n, (n, k))   # duplicates and self-loops included
    weights = (rng.random((n, k)) if choices is None else rng.choice(choices, (n, k))).astype(np.float32)
    expected = symmetric_reference(indices, weights)
    for threads in THREAD_COUNTS:
        for found, wanted in zip(symmetric_graph(indices, weights, threads), expected):
            np.testing.assert_array_equal(found, wanted)


def reverse_reference(graph, knn, nodes):
    """Each node's own list, then once each node whose k-NN row lists it and that it
    does not list, in the order of those nodes; over positions among the nodes listed."""
    lists = {t: list(zip(graph.indices[graph.indptr[t]:graph.indptr[t + 1]].tolist(),
                         graph.weights[graph.indptr[t]:graph.indptr[t + 1]].tolist())) for t in nodes.tolist()}
    own, added = {t: {v for v, _ in row} for t, row in lists.items()}, set()
    for s in range(len(knn.indptr) - 1):
        for t, w in zip(knn.indices[knn.indptr[s]:knn.indptr[s + 1]].tolist(),
                        knn.weights[knn.indptr[s]:knn.indptr[s + 1]].tolist()):
            if t in lists and s not in own[t] and (t, s) not in added:
                added.add((t, s))
                lists[t].append((s, w))
    if not added:
        return None
    members = np.array(sorted(set(lists) | {v for row in lists.values() for v, _ in row}))
    rows = [lists.get(m, []) for m in members.tolist()]
    indptr = np.r_[0, np.cumsum([len(row) for row in rows])]
    listed = np.searchsorted(members, [v for row in rows for v, _ in row])
    return (indptr, listed, np.array([w for row in rows for _, w in row], np.float32)), members


# 20,000 nodes: three chunks of k-NN rows; duplicates and self-loops included.
@pytest.mark.parametrize("symmetric, share", [(False, 0.05), (True, 0.05), (False, 0.0)])
def test_reverse_subgraph_is_the_same_on_any_number_of_threads(symmetric, share):
    rng = np.random.default_rng(11)
    n, k = 20_000, 3
    indices, weights = rng.integers(0, n, (n, k)).astype(np.int32), rng.random((n, k)).astype(np.float32)
    knn = knn_graph(indices, weights)
    graph = symmetric_graph(indices, weights) if symmetric else knn
    nodes = np.flatnonzero(rng.random(n) < share)
    expected = reverse_reference(graph, knn, nodes)
    for threads in THREAD_COUNTS:
        found = reverse_subgraph(graph, knn, nodes, threads)
        if expected is None:
            assert found is None
            continue
        for array, wanted in zip((*found[0], found[1]), (*expected[0], expected[1])):
            np.testing.assert_array_equal(array, wanted)


# 70,000 rows: the sort splits them between threads, and clusters span several runs of
# members; a spread of labels wider than the rows sorts on one thread.
@pytest.mark.parametrize("n_labels, weighted", [(5, False), (5, True), (3000, True), (200_000, False)])
def test_groups_and_cluster_means_are_the_same_on_any_number_of_threads(n_labels, weighted):
    rng = np.random.default_rng(n_labels)
    n = 70_000
    labels = rng.integers(-3, n_labels, n).astype(np.int32)
    points = rng.normal(size=(n, 3)) * 100
    weights = rng.random(n) - 0.1 if weighted else None
    if weighted:
        weights[labels == 0] = -1.0   # shares summing below 0: counted alike
    found = [(label_groups(labels, threads), cluster_means(labels, points, weights, threads))
             for threads in THREAD_COUNTS]
    (values, starts, rows), (clusters, means) = found[0]
    np.testing.assert_array_equal(rows, np.argsort(labels, kind="stable"))
    np.testing.assert_array_equal(values, np.unique(labels))
    np.testing.assert_array_equal(starts, np.searchsorted(labels[rows], np.r_[values, values[-1] + 1]))
    np.testing.assert_array_equal(clusters, values[values != -1])
    # Weighted means by bincount; members of a cluster whose weights sum to nothing count alike.
    kept = labels != -1
    codes = np.searchsorted(clusters, labels[kept])
    share = np.ones(codes.size) if weights is None else weights[kept]
    share = np.where(np.bincount(codes, share, len(clusters))[codes] > 0, share, 1.0)
    expected = np.stack([np.bincount(codes, share * column, len(clusters)) for column in points[kept].T], axis=1)
    expected /= np.bincount(codes, share, len(clusters))[:, None]
    np.testing.assert_allclose(means, expected, rtol=1e-9, atol=1e-9)
    for groups, (_, other_means) in found[1:]:
        for array, first in zip((*groups, other_means), (values, starts, rows, means)):
            np.testing.assert_array_equal(array, first)


# Whole coordinates make ties, which go to the first centre; overflow makes a centre
# infinitely far, and a point far from every centre gets none.
@pytest.mark.parametrize("p, metric", [(1.0, "manhattan"), (2.0, "euclidean"), (3.0, "minkowski"),
                                       (np.inf, "chebyshev")])
def test_nearest_centres_are_the_same_on_any_number_of_threads(p, metric):
    rng = np.random.default_rng(5)
    points = rng.integers(-4, 5, (9000, 3)).astype(float)
    centres = rng.integers(-4, 5, (12, 3)).astype(float)
    centres[2], points[::500] = 1e308, -1e308
    distances = DistanceMetric.get_metric(metric, **({"p": p} if metric == "minkowski" else {})).pairwise(points,
                                                                                                         centres)
    expected = np.where(np.isfinite(distances.min(axis=1)), np.argmin(distances, axis=1), -1)
    for threads in THREAD_COUNTS:
        np.testing.assert_array_equal(nearest_centres(points, centres, p, threads), expected)


def test_joined_graph_is_the_same_on_any_number_of_threads():
    # Rows in three chunks of the copy; each join adds both directions where missing.
    rng = np.random.default_rng(4)
    n, k = 150_000, 3
    indices, weights = rng.integers(0, n, (n, k)), rng.random((n, k)).astype(np.float32)
    graph = (np.arange(0, n * k + 1, k, dtype=np.int64), indices.ravel(), weights.ravel())
    joins = (rng.integers(0, n, 40), rng.integers(0, n, 40), rng.random(40).astype(np.float32))
    found = [join(graph, joins, n_threads=threads) for threads in THREAD_COUNTS]
    added = {}
    for a, b, weight in zip(*joins):
        for source, target in ((a, b), (b, a)):
            if target not in indices[source] and target not in [t for t, _ in added.get(source, [])]:
                added.setdefault(source, []).append((target, weight))
    sources = sorted(added)
    at = np.repeat([(s + 1) * k for s in sources], [len(added[s]) for s in sources])
    listed = [edge for s in sources for edge in added[s]]
    expected = (graph[0] + np.searchsorted(at, graph[0], side="right"), np.insert(graph[1], at, [t for t, _ in listed]),
                np.insert(graph[2], at, np.array([w for _, w in listed], dtype=np.float32)))
    for result in found:
        for array, wanted in zip(result, expected):
            np.testing.assert_array_equal(array, wanted)


@pytest.mark.parametrize("make, data", [
    (lambda n_jobs: KNNLabelPropagation(n_neighbors=7, n_jobs=n_jobs), "moons"),
    (lambda n_jobs: KNNLabelPropagation(n_neighbors=4, symmetrize=False, n_jobs=n_jobs), "moons"),
    (lambda n_jobs: DensityClustering(eps=0.4, min_samples=5, n_jobs=n_jobs), "blobs"),
])
def test_estimators_give_the_same_results_for_every_n_jobs(make, data):
    if data == "moons":
        X, y = make_moons(6000, noise=0.08, random_state=0)
        y[np.random.default_rng(0).random(y.size) > 0.01] = -1
    else:
        X, y = make_blobs(6000, centers=5, random_state=0)
    fitted = [make(n_jobs).fit(X, y) for n_jobs in THREAD_COUNTS]
    queries = X[::7] + 0.01
    for other in fitted[1:]:
        attribute = "transduction_" if hasattr(other, "transduction_") else "labels_"
        np.testing.assert_array_equal(getattr(other, attribute), getattr(fitted[0], attribute))
        np.testing.assert_array_equal(other.predict(queries), fitted[0].predict(queries))
        if hasattr(other, "predict_proba"):
            np.testing.assert_array_equal(other.predict_proba(queries), fitted[0].predict_proba(queries))


@pytest.mark.parametrize("n_jobs, limit, expected", [
    (None, None, 1),
    (1, None, 1),
    (0, None, 1),
    (10**6, None, "processors"),
    (-1, None, "processors"),
    (-1, 1, 1),
    (2, 1, 1),
])
def test_native_threads_follow_n_jobs_within_processors_and_outer_limits(n_jobs, limit, expected):
    from joblib import cpu_count
    expected = cpu_count() if expected == "processors" else expected
    if limit is None:
        assert native_threads(n_jobs) == expected
    else:
        with threadpool_limits(limit):
            assert native_threads(n_jobs) == expected


@pytest.mark.parametrize("n_threads", [0, -1, 1025])
def test_thread_counts_outside_the_pool_sizes_are_refused(n_threads):
    indptr, indices, weights, labels = random_graph(0)
    with pytest.raises((ValueError, OverflowError)):
        propagate(indptr, indices, weights, labels, 5, 1e-3, True, n_threads=n_threads)


def test_ctrl_c_stops_a_threaded_run():
    # 1100 chains of 2000 nodes, each labelled at its far end: every sweep labels one
    # node per chain, two chunks of work, for 2000 sweeps.
    chains, length = 1100, 2000
    n = chains * length
    successor = np.arange(1, n + 1, dtype=np.int32)
    ends = np.arange(length - 1, n, length)
    indptr = np.zeros(n + 1, np.int64)
    np.cumsum(np.isin(np.arange(n), ends, invert=True), out=indptr[1:])
    indices = np.delete(successor, ends)
    labels = np.full(n, -1, np.int32)
    labels[ends] = 1
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.02, _thread.interrupt_main)
    try:
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            propagate(indptr, indices, np.ones(indices.size, np.float32), labels, 10**6, 1e-3, True, n_threads=3)
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)
    assert labels[0] == -1

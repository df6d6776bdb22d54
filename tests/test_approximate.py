"""The approximate route finds nearly the neighbours an exact search finds, the same
ones whatever n_jobs, and "auto" takes it only where exact search is slow."""

import io

import numpy as np
import pytest
from scipy.spatial.distance import cdist

from varnex._search.approximate import ApproximateIndex, prefer_approximate
from varnex._progress import Progress


def embeddings(n, d=48, seed=0):
    """Overlapping clusters in a low-dimensional subspace, with isotropic noise."""
    rng = np.random.default_rng(seed)
    basis = rng.normal(size=(6, d))
    centres = rng.normal(scale=2.0, size=(12, 6))
    X = (centres[rng.integers(0, 12, n)] + rng.normal(size=(n, 6))) @ basis + rng.normal(scale=0.7, size=(n, d))
    return X.astype(np.float32)


def exact_distances(queries, X, metric):
    """Distances by SciPy (smaller nearer); minus the inner product for "inner_product"."""
    queries, X = queries.astype(np.float64), X.astype(np.float64)
    return -(queries @ X.T) if metric == "inner_product" else cdist(queries, X, metric)


def recall(found, exact):
    return np.mean([np.isin(row, reference).mean() for row, reference in zip(found, exact)])


# Largest inner products gather on a few long samples that the cells split: a lower floor.
@pytest.mark.parametrize("metric, least", [("euclidean", 0.95), ("cosine", 0.95), ("inner_product", 0.93)])
def test_graph_and_queries_reach_high_recall_with_exact_distances(metric, least):
    X, k = embeddings(1700), 8
    X, queries = X[:1500], X[1500:]
    index = ApproximateIndex(X, metric, random_state=0)
    D = exact_distances(X, X, metric)
    np.fill_diagonal(D, np.inf)
    distances, indices = index.graph(k)
    assert distances.dtype == np.float32 and indices.shape == (1500, k)
    assert not (indices == np.arange(1500)[:, None]).any()
    assert recall(indices, np.argsort(D, axis=1)[:, :k]) >= least
    # The distances are the metric's own, nearest first.
    np.testing.assert_allclose(distances, np.take_along_axis(D, indices, axis=1), rtol=1e-4, atol=1e-3)
    assert (np.diff(distances, axis=1) >= 0).all()
    D = exact_distances(queries, X, metric)
    distances, indices = index.kneighbors(queries, k)
    assert recall(indices, np.argsort(D, axis=1)[:, :k]) >= least
    np.testing.assert_allclose(distances, np.take_along_axis(D, indices, axis=1), rtol=1e-4, atol=1e-3)


@pytest.mark.parametrize("n, k", [(2, 1), (5, 4), (40, 39)])
def test_tiny_sets_are_searched_exactly(n, k):
    X = embeddings(n, d=5, seed=2)
    distances, indices = ApproximateIndex(X, n_probes=64, random_state=0).graph(k)
    D = cdist(X.astype(np.float64), X.astype(np.float64))
    np.fill_diagonal(D, np.inf)
    np.testing.assert_array_equal(np.sort(indices, axis=1), np.sort(np.argsort(D, axis=1)[:, :k], axis=1))


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_same_results_whatever_n_jobs(metric):
    X = embeddings(3300, d=64)
    X, queries = X[:3000], X[3000:]
    results = []
    for n_jobs in (1, 2, -1):
        index = ApproximateIndex(X, metric, n_probes=4, n_jobs=n_jobs, random_state=7)
        results.append(index.graph(6) + index.kneighbors(queries, 3))
    for other in results[1:]:
        for got, want in zip(other, results[0]):
            np.testing.assert_array_equal(got, want)


def test_random_state_draws_the_partition():
    X = embeddings(3000, d=64)
    graphs = [ApproximateIndex(X, n_probes=2, random_state=seed).graph(6)[1] for seed in (0, 0, 1)]
    np.testing.assert_array_equal(graphs[0], graphs[1])
    assert (graphs[0] != graphs[2]).any()


def test_float32_samples_are_searched_in_place():
    X = embeddings(500)
    assert ApproximateIndex(X)._X is X
    assert ApproximateIndex(X, "inner_product")._X is X


@pytest.mark.parametrize("n_samples, n_features, metric, approximate", [
    (200_000, 384, "euclidean", True),     # exact brute force: many minutes
    (60_000, 384, "cosine", True),
    (10_000, 1024, "euclidean", False),    # too few samples to give up exactness
    (200_000, 384, "manhattan", False),    # a metric this route cannot take
    (200_000, 3, "euclidean", False),      # the k-d tree is fast in few features
    (2_150_000, 10, "cosine", False),      # and cells leak neighbours there
    (170_000, 42, "inner_product", True),
    (150_000, 42, "euclidean", False),     # brute force under a minute
])
def test_auto_prefers_approximate_only_where_exact_is_slow(n_samples, n_features, metric, approximate):
    assert prefer_approximate(n_samples, n_features, metric) is approximate


@pytest.mark.parametrize("arguments, message", [
    ({"metric": "manhattan"}, "metric must be one of"),
    ({"n_probes": 0}, "n_probes must be at least 1"),
])
def test_refused_parameters(arguments, message):
    with pytest.raises(ValueError, match=message):
        ApproximateIndex(embeddings(50), **arguments)


def test_k_beyond_the_samples_is_refused():
    index = ApproximateIndex(embeddings(30), random_state=0)
    with pytest.raises(ValueError, match="between 1 and 29"):
        index.graph(30)


def test_progress_reports_counts_rate_and_estimate():
    ticks = iter([0.0, 1.0, 1.5, 4.0, 5.0])
    stream = io.StringIO()
    progress = Progress("fit", stream=stream, interval=2.0, clock=lambda: next(ticks))
    with progress.stage("search", total=100) as advance:
        advance(10)   # 1.0 s: too soon after the start to report
        advance(30)   # 1.5 s
        advance(40)   # 4.0 s: 80 rows in 4 s
    assert stream.getvalue().splitlines() == [
        "fit: search: 100 rows ...",
        "fit: search: 80/100 rows (80%) in 4.0 s, 20 rows/s, about 1 s left",
        "fit: search done: 80 rows in 5.00 s",
    ]


def test_index_reports_its_stages(capsys):
    ApproximateIndex(embeddings(400), random_state=0, progress=Progress("index", interval=0)).graph(3)
    lines = capsys.readouterr().err.splitlines()
    assert lines[0] == "index: k-means partition: 8 iterations ..."
    assert lines[-1].startswith("index: 3-nearest-neighbour search done: 400 rows in ")

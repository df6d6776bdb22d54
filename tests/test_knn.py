"""The neighbour routes find what scikit-learn's NearestNeighbors finds."""

import numpy as np
import pytest
from scipy.spatial.distance import cdist
from sklearn.neighbors import NearestNeighbors

from varnex import _knn

# p < 1 is no metric; scikit-learn says so and searches by brute force, as it should.
pytestmark = pytest.mark.filterwarnings("ignore:Mind that for 0 < p < 1")

CASES = [  # metric, p, features, route
    ("euclidean", 2, 2, "tree"), ("manhattan", 2, 3, "tree"), ("chebyshev", 2, 2, "tree"),
    ("minkowski", 3, 4, "tree"), ("euclidean", 2, 15, "tree"), ("euclidean", 2, 16, "brute"),
    ("manhattan", 2, 64, "brute"), ("cosine", 2, 3, "scikit-learn"), ("minkowski", 0.5, 2, "scikit-learn")]


def tie_free(n, features, seed):
    return np.random.default_rng(seed).normal(size=(n, features))


@pytest.mark.parametrize("metric, p, features, route", CASES)
@pytest.mark.parametrize("n_jobs", [None, -1])
def test_graph_and_queries_match_nearest_neighbors(metric, p, features, route, n_jobs, monkeypatch):
    monkeypatch.setattr(_knn, "_CHUNK_ROWS", 37)   # several chunks, the last one short
    X = tie_free(200, features, 0)
    neighbours = _knn.Neighbours(X, metric, p, n_jobs)
    assert neighbours.route == route
    reference = NearestNeighbors(n_neighbors=5, metric=metric, p=p).fit(X)
    want_distances, want_indices = reference.kneighbors()
    distances, indices = neighbours.graph(5, np.int32)
    assert distances.dtype == np.float32 and indices.dtype == np.int32
    np.testing.assert_array_equal(indices, want_indices)
    np.testing.assert_allclose(distances, want_distances, rtol=1e-5, atol=1e-6)
    queries = tie_free(30, features, 1)
    got_distances, got_indices = neighbours.kneighbors(queries, 4)
    want_distances, want_indices = reference.kneighbors(queries, 4)
    np.testing.assert_array_equal(got_indices, want_indices)
    np.testing.assert_allclose(got_distances, want_distances, rtol=1e-7, atol=1e-12)


@pytest.mark.parametrize("metric, p, features, route", CASES[::2])
def test_nearest_among_is_the_exact_nearest_candidate(metric, p, features, route):
    X = tie_free(300, features, 2)
    candidates = np.flatnonzero(np.random.default_rng(3).uniform(size=300) < 0.3)
    queries = np.setdiff1d(np.arange(300), candidates)[::3]
    distances, nearest = _knn.Neighbours(X, metric, p).nearest_among(candidates, queries)
    scipy_metric = {"manhattan": "cityblock"}.get(metric, metric)
    extra = {"p": p} if metric == "minkowski" else {}
    pairwise = cdist(X[queries], X[candidates], metric=scipy_metric, **extra)
    np.testing.assert_array_equal(nearest, candidates[pairwise.argmin(axis=1)])
    np.testing.assert_allclose(distances, pairwise.min(axis=1), rtol=1e-7, atol=1e-12)


@pytest.mark.parametrize("copies, k", [(3, 2), (6, 2), (6, 5)])
def test_duplicates_never_list_themselves(copies, k):
    X = np.repeat([[0.0, 0.0], [1.0, 0.0], [0.0, 3.0]], copies, axis=0)
    _, want = NearestNeighbors(n_neighbors=k).fit(X).kneighbors()
    distances, indices = _knn.Neighbours(X).graph(k)
    assert not np.any(indices == np.arange(len(X))[:, None])
    # Among ties the order is the search's own, but the groups found are the same.
    np.testing.assert_array_equal(np.sort(X[indices], axis=1), np.sort(X[want], axis=1))
    assert np.all(distances[:, : min(k, copies - 1)] == 0)

"""The neighbour routes find what scikit-learn's NearestNeighbors finds."""

import numpy as np
import pytest
from scipy.spatial.distance import cdist
from sklearn.neighbors import NearestNeighbors

from varnex._search import SampleIndex, blocks, tiles

# p < 1 is no metric; scikit-learn says so and searches by brute force, as it should.
pytestmark = pytest.mark.filterwarnings("ignore:Mind that for 0 < p < 1")

CASES = [  # metric, p, features, route
    ("euclidean", 2, 2, "tree"), ("manhattan", 2, 3, "tree"), ("chebyshev", 2, 2, "tree"),
    ("minkowski", 3, 4, "tree"), ("euclidean", 2, 15, "tree"), ("euclidean", 2, 16, "brute"),
    ("manhattan", 2, 64, "brute"), ("cosine", 2, 3, "scikit-learn"), ("minkowski", 0.5, 2, "scikit-learn")]
# Each route as (a Minkowski metric the fast routes take, few enough features for a tree).
ROUTES = {"tree": (True, True), "brute": (True, False), "scikit-learn": (False, True)}


def tie_free(n, features, seed):
    return np.random.default_rng(seed).normal(size=(n, features))


@pytest.mark.parametrize("metric, p, features, route", CASES)
@pytest.mark.parametrize("n_jobs", [None, -1])
def test_graph_and_queries_match_nearest_neighbors(metric, p, features, route, n_jobs, monkeypatch):
    monkeypatch.setattr(blocks, "CHUNK_ROWS", 37)   # several chunks, the last one short
    X = tie_free(200, features, 0)
    neighbours = SampleIndex(X, metric, p, n_jobs=n_jobs)
    assert ROUTES[route] == (neighbours.route.exponent is not None, neighbours.route.tree)
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
    distances, nearest = SampleIndex(X, metric, p).nearest_among(candidates, queries)
    scipy_metric = {"manhattan": "cityblock"}.get(metric, metric)
    extra = {"p": p} if metric == "minkowski" else {}
    pairwise = cdist(X[queries], X[candidates], metric=scipy_metric, **extra)
    np.testing.assert_array_equal(nearest, candidates[pairwise.argmin(axis=1)])
    np.testing.assert_allclose(distances, pairwise.min(axis=1), rtol=1e-7, atol=1e-12)


@pytest.mark.parametrize("copies, k", [(3, 2), (6, 2), (6, 5)])
def test_duplicates_never_list_themselves(copies, k):
    X = np.repeat([[0.0, 0.0], [1.0, 0.0], [0.0, 3.0]], copies, axis=0)
    _, want = NearestNeighbors(n_neighbors=k).fit(X).kneighbors()
    distances, indices = SampleIndex(X).graph(k)
    assert not np.any(indices == np.arange(len(X))[:, None])
    # Among ties the order is the search's own, but the groups found are the same.
    np.testing.assert_array_equal(np.sort(X[indices], axis=1), np.sort(X[want], axis=1))
    assert np.all(distances[:, : min(k, copies - 1)] == 0)


@pytest.mark.parametrize("n, features, k, tile, n_jobs", [
    (300, 16, 5, (13, 37), None),   # tiles of 13 x 37, the last ones short
    (300, 64, 1, (64, 1024), 2),
    (97, 40, 96, (256, 1024), None),   # every other sample is a neighbour
    (200, 20, 7, (1, 200), 2),      # one row per tile
])
@pytest.mark.parametrize("shift, spread", [(0.0, 1.0), (1e6, 1e-3), (0.0, 1e8)])
def test_product_graph_is_exact(n, features, k, tile, n_jobs, shift, spread, monkeypatch):
    # Far from the origin or at any scale, the single-precision products only screen
    # the candidates: the neighbours are those of a double-precision search.
    monkeypatch.setattr(tiles, "TILE_ROWS", tile[0])
    monkeypatch.setattr(tiles, "TILE_COLUMNS", tile[1])
    X = tie_free(n, features, 3) * spread + shift
    X[0] *= 50   # one far outlier among them
    neighbours = SampleIndex(X, n_jobs=n_jobs)
    distances, indices = neighbours.graph(k, np.int64)
    exact = cdist(X, X)
    np.fill_diagonal(exact, np.inf)
    want = np.argsort(exact, axis=1, kind="stable")[:, :k]
    np.testing.assert_array_equal(indices, want)
    np.testing.assert_allclose(distances, np.take_along_axis(exact, want, axis=1).astype(np.float32), rtol=1e-6)
    if shift == 0:   # far from the origin scikit-learn's double-precision products round too coarsely
        np.testing.assert_array_equal(indices, NearestNeighbors(n_neighbors=k).fit(X).kneighbors()[1])


def test_product_graph_breaks_ties_by_lower_index():
    base = tie_free(40, 20, 4)
    X = np.concatenate([base, base, base])   # every sample three times
    distances, indices = SampleIndex(X).graph(4, np.int32)
    copies = (np.arange(120)[:, None] % 40 + np.array([0, 40, 80]))
    others = np.sort(np.where(copies == np.arange(120)[:, None], -1, copies), axis=1)[:, 1:]
    np.testing.assert_array_equal(indices[:, :2], others)
    assert np.all(distances[:, :2] == 0) and np.all(distances[:, 2:] > 0)

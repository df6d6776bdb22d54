"""The bounded-memory route of the density clustering: rows fetched a batch at a time
give the clusters of densa_main and of the in-memory route, bit for bit."""

import numpy as np
import pytest
import scipy.sparse as sp
import sklearn
from scipy.spatial.distance import cdist

import varnex._bounded as bounded
import varnex.density as density
from varnex import DensityClustering
from varnex._bounded import cluster_bounded
from varnex._search import index_samples, tiles
from varnex._search.memory import BOUNDED, IN_MEMORY, neighbourhood_route
from varnex.algorithms.src.densa.binaries.densa_core import densa_main
from varnex.algorithms.src.densa.binaries.densa_arrays import cluster_synchronously
from varnex.algorithms.src.densa.binaries.densa_stream import cluster_streamed, cluster_streamed_synchronously

from test_densa_arrays import blob_data, random_labels

TINY = 1e-3   # MiB of working memory: every fit takes the bounded route, batches of a few rows
HUGE = 1e6

# scikit-learn's brute force warns of working memory too small for one row of distances.
pytestmark = pytest.mark.filterwarnings("ignore:Could not adhere to working_memory")


def tie_grid(n, seed):
    # On a half-integer grid many pairs lie exactly eps apart.
    rng = np.random.default_rng(seed)
    return np.ascontiguousarray(np.round(rng.uniform(0, 12, size=(n, 2)) * 2) / 2)


def labels_with_marks(n, seed):
    labels = random_labels(n, seed, fraction=0.05)
    labels[::89] = -5   # below -1: unlabelled, joinable only by the new cluster -5
    return labels


class Recorder:
    """Rows of an all-pairs reference, among the candidates where given, recording the
    size of every batch asked for."""

    def __init__(self, within):
        self.within, self.batches = within, []

    def __call__(self, points, candidates):
        rows = self.within[points]
        if candidates is not None:
            rows = rows & np.isin(np.arange(rows.shape[1]), candidates)
        positions, neighbours = np.nonzero(rows)
        self.batches.append((len(points), len(neighbours)))
        return positions.astype(np.int32), neighbours.astype(np.int32)


@pytest.mark.parametrize("data", ["blobs", "ties"])
@pytest.mark.parametrize("budget", [1, 60, 10**9])
def test_streamed_rows_give_densa_main_labels(data, budget):
    X = blob_data(500, 2, 2) if data == "blobs" else tie_grid(800, 2)
    eps = 0.5 if data == "ties" else float(np.quantile(cdist(X[:50], X), 0.03))
    labels = labels_with_marks(len(X), 2)
    within = cdist(X, X) <= eps
    np.fill_diagonal(within, False)
    lengths = within.sum(axis=1).astype(np.int64)
    for min_samples in (1, 4, 9):
        fetch = Recorder(within)
        got = cluster_streamed(lengths, (lengths + 1 >= min_samples).astype(np.uint8), labels, fetch, budget)
        assert np.array_equal(got, densa_main(X, eps, min_samples, labels, "minkowski", 2)), min_samples
        assert all(entries <= budget or size == 1 for size, entries in fetch.batches)


def csr_of(within):
    indptr = np.concatenate([[0], np.cumsum(within.sum(axis=1))]).astype(np.int64)
    return indptr, np.nonzero(within)[1].astype(np.int32)


# The synchronous growth reads rows of contested samples too, and of a row only what can
# still change: with eps covering everything, nearly every row is read restricted.
@pytest.mark.parametrize("data, eps", [("blobs", None), ("ties", 0.5), ("blobs", 100.0)])
@pytest.mark.parametrize("budget", [1, 60, 10**9])
@pytest.mark.parametrize("by_distance", [True, False])
def test_synchronous_streamed_rows_give_the_in_memory_labels(data, eps, budget, by_distance):
    X = blob_data(500, 2, 3) if data == "blobs" else tie_grid(800, 3)
    eps = eps or float(np.quantile(cdist(X[:50], X), 0.03))
    within = cdist(X, X) <= eps
    np.fill_diagonal(within, False)
    lengths = within.sum(axis=1).astype(np.int64)
    points = X if by_distance else None
    for min_samples, fraction in ((1, 0.05), (4, 0.05), (9, 0.3), (4, 0.0)):
        labels = random_labels(len(X), 3, fraction=fraction)
        expected, core = cluster_synchronously(*csr_of(within), labels, float(min_samples), None, None, points, 2.0)
        fetch = Recorder(within)
        got = cluster_streamed_synchronously(lengths, core, labels, fetch, budget, points, 2.0)
        assert np.array_equal(got, expected), (min_samples, fraction)
        assert all(entries <= budget or size == 1 for size, entries in fetch.batches)
        assert sum(entries for _, entries in fetch.batches) <= lengths.sum()


# Every search family of the bounded route, against densa_main's own index where it
# decides the same pairs.
FAMILIES = [
    pytest.param(2, "minkowski", 2, "blobs", id="kd-tree"),
    pytest.param(2, "minkowski", 2, "ties", id="kd-tree-ties"),
    pytest.param(3, "minkowski", 1, "blobs", id="ball-tree-p1"),
    pytest.param(3, "chebyshev", 2, "ties", id="ball-tree-chebyshev-ties"),
    pytest.param(24, "euclidean", 2, "blobs", id="products"),
]


def small_tiles(monkeypatch):
    # Several tiles of rows and of columns even on small data.
    monkeypatch.setattr(tiles, "TILE_ROWS", 64)
    monkeypatch.setattr(tiles, "TILE_COLUMNS", 96)


@pytest.mark.parametrize("d, metric, p, data", FAMILIES)
def test_bounded_route_equals_densa_main(monkeypatch, d, metric, p, data):
    small_tiles(monkeypatch)
    X = blob_data(600, d, d) if data == "blobs" else tie_grid(900, d)
    labels = labels_with_marks(len(X), d)
    eps = 1.0 if data == "ties" else float(np.quantile(cdist(X[:50], X), 0.03))
    index = index_samples(X, metric, p)
    for min_samples in (1, 5, 12):
        clusters, core = cluster_bounded(index, eps, labels, min_samples, None, 64 * bounded.ENTRY_BYTES)
        assert np.array_equal(clusters, densa_main(X, eps, min_samples, labels, metric, p)), min_samples
        assert np.array_equal(core, (cdist(X, X, metric, **({"p": p} if metric == "minkowski" else {})) <= eps)
                              .sum(axis=1) >= min_samples)


def fitted(working_memory, X, y=None, sample_weight=None, **params):
    with sklearn.config_context(working_memory=working_memory):
        return DensityClustering(**params).fit(X, y, sample_weight=sample_weight)


# The estimator's inputs that take other searches or rules: sparse samples, metrics of
# brute force only, sample weights, several jobs.
CASES = [
    pytest.param({"eps": 0.6}, "dense", False, id="kd-tree"),
    pytest.param({"eps": 0.6, "n_jobs": 2}, "dense", False, id="kd-tree-jobs"),
    pytest.param({"eps": 0.6, "metric": "manhattan"}, "dense", True, id="ball-tree-weights"),
    pytest.param({"eps": 0.6}, "sparse", False, id="sparse"),
    pytest.param({"eps": 0.004, "metric": "cosine"}, "dense", False, id="cosine"),
    pytest.param({"eps": 0.6}, "dense", True, id="weights"),
]


@pytest.mark.parametrize("params, layout, weighted", CASES)
@pytest.mark.parametrize("labelled", [False, True])
@pytest.mark.parametrize("growth", ["synchronous", "sequential"])
def test_both_routes_fit_the_same_clusters(params, layout, weighted, labelled, growth):
    X = blob_data(700, 3, 5)
    X = sp.csr_matrix(X) if layout == "sparse" else X
    y = random_labels(700, 5, fraction=0.05) if labelled else None
    weights = np.random.default_rng(5).integers(0, 3, 700).astype(float) if weighted else None
    in_memory = fitted(HUGE, X, y, weights, min_samples=5, growth=growth, **params)
    streamed = fitted(TINY, X, y, weights, min_samples=5, growth=growth, **params)
    assert (in_memory.neighbourhood_route_, streamed.neighbourhood_route_) == (IN_MEMORY, BOUNDED)
    for name in ("clusters_", "labels_", "core_sample_indices_"):
        assert np.array_equal(getattr(in_memory, name), getattr(streamed, name)), name
    assert np.array_equal(streamed.predict(X[:50]), in_memory.predict(X[:50]))
    if not labelled:
        from sklearn.cluster import DBSCAN
        reference = DBSCAN(min_samples=5, **params).fit(X, sample_weight=weights)
        # The synchronous growth may give a border sample to another cluster within reach.
        compared = reference.core_sample_indices_ if growth == "synchronous" else slice(None)
        assert np.array_equal(streamed.labels_[compared], reference.labels_[compared])


@pytest.mark.parametrize("slack, route", [(0, IN_MEMORY), (-1, BOUNDED), (10**6, IN_MEMORY), (-10**5, BOUNDED)])
def test_route_follows_the_predicted_size(slack, route):
    # 8 bytes a sample and 4 a neighbour; sizes near the budget are counted exactly.
    X = blob_data(3000, 2, 7)
    eps = 0.4
    within = (cdist(X, X) <= eps).sum() - len(X)
    size = 8 * (len(X) + 1) + 4 * int(within)
    chosen, lengths = neighbourhood_route(index_samples(X), eps, size + slack)
    assert chosen == route
    if abs(slack) <= 1:
        assert int(lengths.sum()) == within


@pytest.mark.parametrize("metric", ["euclidean", "precomputed"])
def test_an_in_memory_route_out_of_memory_falls_back(monkeypatch, metric):
    def exhausted(*args):
        raise MemoryError("std::bad_alloc")

    X, y = blob_data(400, 2, 8), random_labels(400, 8)
    X = cdist(X, X) if metric == "precomputed" else X
    expected = fitted(HUGE, X, y, eps=0.5, metric=metric)
    monkeypatch.setattr(density, "cluster_neighbourhoods", exhausted)
    monkeypatch.setattr(density, "cluster_synchronously", exhausted)
    if metric == "precomputed":   # no other route: say what to pass instead
        with pytest.raises(MemoryError, match="sparse graph of the distances within eps"):
            fitted(HUGE, X, y, eps=0.5, metric=metric)
        return
    model = fitted(HUGE, X, y, eps=0.5, metric=metric)
    assert model.neighbourhood_route_ == BOUNDED
    assert np.array_equal(model.clusters_, expected.clusters_)


@pytest.mark.parametrize("available, streamed, message", [
    (2**20, None, r"needs about \d+ MiB for the state of 20000 samples.*only 1 MiB"),
    (None, MemoryError("std::bad_alloc"), r"20000 samples need about \d+ MiB.*working_memory"),
])
def test_out_of_memory_says_what_was_needed(monkeypatch, available, streamed, message):
    def fake_streamed(*args):
        if streamed is None:
            raise AssertionError("allocated before the memory was checked")
        raise streamed

    monkeypatch.setattr(bounded, "_available_bytes", lambda: available)
    monkeypatch.setattr(bounded, "cluster_streamed", fake_streamed)
    monkeypatch.setattr(bounded, "cluster_streamed_synchronously", fake_streamed)
    model = DensityClustering(eps=0.1)
    with sklearn.config_context(working_memory=TINY), pytest.raises(MemoryError, match=message):
        model.fit(blob_data(20000, 2, 9))
    assert not hasattr(model, "neighbourhood_route_")


# The index's rows a set of samples at a time are its whole neighbourhoods' rows, on
# every route, ties at eps included: the clustering's identity rests on it.
ROW_ROUTES = [
    pytest.param(2, "euclidean", 2, "ties", id="kd-tree-ties"),
    pytest.param(24, "euclidean", 2, "blobs", id="tiles"),
    pytest.param(3, "chebyshev", 2, "ties", id="ball-tree-ties"),
    pytest.param(3, "cosine", 2, "blobs", id="brute"),
]


@pytest.mark.parametrize("d, metric, p, data", ROW_ROUTES)
def test_rows_of_a_set_of_samples_are_those_of_the_whole_neighbourhoods(monkeypatch, d, metric, p, data):
    small_tiles(monkeypatch)
    X = blob_data(400, d, d) if data == "blobs" else tie_grid(400, d)
    eps = 1.0 if data == "ties" else float(np.quantile(cdist(X[:50], X, metric), 0.05))
    index = index_samples(X, metric, p)
    indptr, indices, _ = index.neighbourhoods(eps)
    within = cdist(X, X, metric) <= eps
    np.fill_diagonal(within, False)
    np.testing.assert_array_equal(np.diff(indptr), within.sum(axis=1))
    np.testing.assert_array_equal(index.count_neighbourhoods(eps), np.diff(indptr))
    rng = np.random.default_rng(d)
    points = rng.permutation(400)[:150].astype(np.int32)
    candidates = np.flatnonzero(rng.uniform(size=400) < 0.3).astype(np.int32)
    np.testing.assert_array_equal(index.count_neighbourhoods(eps, points), np.diff(indptr)[points])
    for among in (None, candidates):
        positions, neighbours = index.neighbourhood_rows(eps, points, among)
        got = np.zeros((len(points), 400), dtype=bool)
        got[positions, neighbours] = True
        assert len(positions) == got.sum()   # no pair twice
        expected = within[points] if among is None else within[points] & np.isin(np.arange(400), among)
        np.testing.assert_array_equal(got, expected)

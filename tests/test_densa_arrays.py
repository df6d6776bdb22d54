"""The array route of the density clustering: radius neighbourhoods as CSR rows, and the
clustering over them, against densa_main and independent references."""

import numpy as np
import pytest
from scipy.spatial.distance import cdist

from varnex._search import SampleIndex, kdtree, tiles
from varnex.algorithms.src.densa.binaries.densa_arrays import (close_pairs, cluster_neighbourhoods,
                                                               neighbourhoods_from_pairs)
from varnex.algorithms.src.densa.binaries.densa_core import densa_main


def radius_neighbourhoods(X, eps, metric="euclidean", p=2, n_jobs=None):
    indptr, indices, _ = SampleIndex(X, metric, p, n_jobs=n_jobs).neighbourhoods(eps)
    return indptr, indices


def blob_data(n, d, seed, spread=1.0):
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-10, 10, size=(4, d))
    return np.ascontiguousarray(centres[rng.integers(0, 4, n)] + rng.normal(scale=spread, size=(n, d)))


def random_labels(n, seed, fraction=0.03, classes=3):
    rng = np.random.default_rng(seed)
    return np.where(rng.random(n) < fraction, rng.integers(0, classes, n), -1).astype(np.int32)


def as_sets(indptr, indices):
    return [set(indices[indptr[i]:indptr[i + 1]].tolist()) for i in range(len(indptr) - 1)]


def reference_sets(X, eps, metric="euclidean", p=2):
    kwargs = {"p": p} if metric == "minkowski" else {}
    within = cdist(X, X, metric=metric, **kwargs) <= eps
    np.fill_diagonal(within, False)
    return [set(np.flatnonzero(row).tolist()) for row in within]


# Routes: k-d tree (one slab, several slabs), brute force, ball tree.
ROUTES = [
    pytest.param(2, "minkowski", 2, {}, id="kd-tree"),
    pytest.param(3, "euclidean", 2, {(kdtree, "SLAB_POINTS"): 50}, id="kd-tree-slabs"),
    pytest.param(24, "euclidean", 2, {(tiles, "TILE_ROWS"): 40, (tiles, "TILE_COLUMNS"): 64}, id="brute"),
    pytest.param(3, "minkowski", 1, {}, id="ball-tree-p1"),
    pytest.param(3, "chebyshev", 2, {}, id="ball-tree-chebyshev"),
]


@pytest.mark.parametrize("d, metric, p, sizes", ROUTES)
@pytest.mark.parametrize("n_jobs", [None, 2])
def test_neighbourhoods_match_all_pairs_distances(monkeypatch, d, metric, p, sizes, n_jobs):
    for (module, name), value in sizes.items():
        monkeypatch.setattr(module, name, value)
    X = blob_data(400, d, seed=d)
    eps = np.quantile(cdist(X[:50], X), 0.05)
    indptr, indices = radius_neighbourhoods(X, eps, metric, p, n_jobs)
    assert indptr.dtype == np.int64 and indices.dtype == np.int32 and indptr[-1] == len(indices)
    assert as_sets(indptr, indices) == reference_sets(X, eps, metric, p)


@pytest.mark.parametrize("d, metric, p, sizes", ROUTES)
@pytest.mark.parametrize("seed", [0, 1])
def test_array_route_labels_equal_densa_main(monkeypatch, d, metric, p, sizes, seed):
    for (module, name), value in sizes.items():
        monkeypatch.setattr(module, name, value)
    X = blob_data(600, d, seed)
    labels = random_labels(len(X), seed)
    labels[::97] = -5   # below -1: unlabelled, joinable only by the new cluster -5
    eps = np.quantile(cdist(X[:50], X), 0.03)
    for min_samples in (1, 4, 12):
        expected = densa_main(X, eps, min_samples, labels, metric, p)
        got = cluster_neighbourhoods(*radius_neighbourhoods(X, eps, metric, p), labels, min_samples)
        assert np.array_equal(got, expected), min_samples


@pytest.mark.parametrize("index_route", [("minkowski", 2), ("euclidean", 2)])
@pytest.mark.parametrize("sizes", [{}, {(kdtree, "SLAB_POINTS"): 300}])
def test_ties_on_the_boundary_count_as_inside(monkeypatch, index_route, sizes):
    # On a half-integer grid many pairs lie exactly eps apart.
    for (module, name), value in sizes.items():
        monkeypatch.setattr(module, name, value)
    rng = np.random.default_rng(3)
    X = np.ascontiguousarray(np.round(rng.uniform(0, 15, size=(2000, 2)) * 2) / 2)
    labels = random_labels(len(X), 3)
    for eps in (0.0, 0.5, np.sqrt(0.5), 1.0):
        expected = densa_main(X, eps, 6, labels, *index_route)
        got = cluster_neighbourhoods(*radius_neighbourhoods(X, eps, *index_route), labels, 6)
        assert np.array_equal(got, expected), eps


def test_brute_force_decides_close_calls_from_the_points():
    # Far from the origin and in many dimensions, products lose the low digits of the
    # distances: pairs straddling eps by a hair must still come out as a direct sum says.
    rng = np.random.default_rng(5)
    base = rng.normal(size=(200, 20)) + 1e4
    X = np.ascontiguousarray(np.concatenate([base, base + 1e-3 * rng.normal(size=base.shape)]))
    direct = np.sqrt(((X[:200] - X[200:]) ** 2).sum(axis=1))
    eps = float(np.median(direct))
    rows = as_sets(*radius_neighbourhoods(X, eps))
    assert rows == reference_sets(X, eps)


def test_no_points_and_one_point():
    for n in (0, 1):
        indptr, indices = radius_neighbourhoods(np.zeros((n, 3)), 1.0)
        assert indptr.tolist() == [0] * (n + 1) and len(indices) == 0
        assert cluster_neighbourhoods(indptr, indices, np.full(n, -1, np.int32), 1).tolist() == [-2] * n


def test_pairs_become_symmetric_rows():
    rng = np.random.default_rng(0)
    pairs = rng.choice(50, size=(300, 2))
    pairs = pairs[pairs[:, 0] != pairs[:, 1]].astype(np.int32)
    indptr, indices = neighbourhoods_from_pairs([pairs[:100], pairs[100:100], pairs[100:]], 60)
    expected = [[] for _ in range(60)]
    for a, b in pairs.tolist():
        expected[a].append(b)
        expected[b].append(a)
    assert [sorted(indices[indptr[i]:indptr[i + 1]].tolist()) for i in range(60)] == [sorted(e) for e in expected]


@pytest.mark.parametrize("blocks, n, message", [
    ([np.array([[0, 5]], np.int32)], 5, "out of range"),
    ([np.array([[-1, 2]], np.int32)], 5, "out of range"),
    ([np.array([[2, 2]], np.int32)], 5, "to itself"),
    ([np.array([[0, 1, 2]], np.int32)], 5, "2 columns"),
    ([np.array([[0, 1]], np.int64)], 5, "dtype mismatch"),
    ([np.array([[0, 1]], np.int32)], -1, "at least 0"),
])
def test_bad_pairs_are_refused(blocks, n, message):
    with pytest.raises(ValueError, match=message):
        neighbourhoods_from_pairs(blocks, n)


@pytest.mark.parametrize("indptr, indices, message", [
    ([0, 1, 2, 2], [1, 0, 0], "ends at 2 but indices has 3"),
    ([0, 1], [0], "indptr has 2 entries"),
    ([1, 1, 2, 2], [0, 0], "start at 0"),
    ([0, 2, 1, 2], [1, 2], "decreases"),
    ([0, 1, 1, 2], [3, 0], "out of range"),
    ([0, 1, 1, 2], [-1, 0], "out of range"),
    ([0, 1, 1, 2], [0, 1], "its own point"),
])
def test_bad_rows_are_refused(indptr, indices, message):
    labels = np.full(3, -1, np.int32)
    with pytest.raises(ValueError, match=message):
        cluster_neighbourhoods(np.array(indptr, np.int64), np.array(indices, np.int32), labels, 2)


def test_close_pairs_refuses_a_tile_outside_the_points():
    X = np.zeros((4, 2))
    with pytest.raises(ValueError, match="does not fit"):
        close_pairs(np.zeros((3, 3)), np.zeros(4), 2, 0, 1.0, X)


def test_clustering_runs_while_other_threads_do():
    # Without the GIL two clusterings proceed side by side and agree with one alone.
    from concurrent.futures import ThreadPoolExecutor
    X = blob_data(20000, 2, 9, spread=2.0)
    labels = random_labels(len(X), 9)
    rows = radius_neighbourhoods(X, 0.2)
    alone = cluster_neighbourhoods(*rows, labels, 5)
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda _: cluster_neighbourhoods(*rows, labels, 5), range(4)))
    assert all(np.array_equal(r, alone) for r in results)


@pytest.mark.parametrize("metric, p, d", [("euclidean", 2, 2), ("minkowski", 2, 20), ("manhattan", 2, 3)])
@pytest.mark.parametrize("n_jobs", [None, 1, 2, -1])
def test_estimator_equals_the_native_pipeline(metric, p, d, n_jobs):
    from varnex import DensityClustering
    from varnex.algorithms.src.densa.binaries.densa_postprocess import densa_postprocess
    X = blob_data(500, d, 11)
    y = random_labels(len(X), 11, fraction=0.05)
    eps = float(np.quantile(cdist(X[:50], X), 0.04))
    model = DensityClustering(eps=eps, min_samples=4, metric=metric, p=p, n_jobs=n_jobs).fit(X, y)
    raw = densa_main(X, eps, 4, y, metric, p)
    assert np.array_equal(model.clusters_, raw)
    assert np.array_equal(model.transduction_, densa_postprocess(X, raw, metric, p))


def test_arrays_written_by_another_thread_meanwhile_are_read_safely():
    # The GIL is released while the rows are read: a thread scribbling over them may
    # spoil the labels, but every read and write must stay inside the arrays.
    import threading
    X = blob_data(30000, 2, 4, spread=2.0)
    indptr, indices = radius_neighbourhoods(X, 0.3)
    rng = np.random.default_rng(4)
    pairs = np.ascontiguousarray(np.column_stack([np.arange(len(X) - 1), np.arange(1, len(X))]), dtype=np.int32)
    stop = threading.Event()

    originals = [(array, array.copy()) for array in (indices, indptr, pairs)]

    def scribble():
        # Bad values, then the good ones back: validation sees either, the kernels both.
        while not stop.is_set():
            for array, original in originals:
                where = rng.integers(0, len(array), 50)
                array[where] = rng.integers(-2**31, 2**31 - 1, array[where].shape)
                array[where] = original[where]

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for _ in range(50):
            for run in (lambda: cluster_neighbourhoods(indptr, indices, random_labels(len(X), 4), 5),
                        lambda: neighbourhoods_from_pairs([pairs], len(X))):
                try:
                    run()
                except (ValueError, RuntimeError):
                    pass
    finally:
        stop.set()
        writer.join()

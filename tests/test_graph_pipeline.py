"""KNNLabelPropagation labels every sample, and keeps the labels of the GraphWrapper
modules wherever those modules manage on their own."""

import numpy as np
import pytest
from sklearn.datasets import make_blobs, make_circles, make_moons
from sklearn.neighbors import NearestNeighbors

from varnex import KNNLabelPropagation
from varnex._labels import encode_targets
from varnex import _graph_pipeline as pipeline
from varnex._graph_pipeline import symmetric_graph
from varnex.algorithms.src.linka.binaries.linka_lp import weighted_label_propagation
from varnex.graph import GraphWrapper

from graph_reference import connected_by_modules, propagated_by_module, random_knn


def labels_by_modules(X, y, k, metric="euclidean", symmetrize=False):
    """The graph pipeline as the five modules run it: k-NN lists, components,
    connection, propagation, then reverse edges for what is left and a second
    propagation. Raises connect_unlabeled's SystemError where it gets stuck."""
    _, known = encode_targets(np.asarray(y))
    distances, indices = NearestNeighbors(n_neighbors=k, metric=metric).fit(X).kneighbors()
    knn = indices.astype(np.int64)
    weights = np.maximum(distances.astype(np.float32), np.finfo(np.float32).tiny)
    if symmetrize:
        indptr, neighbours, symmetric_weights = symmetric_graph(knn, weights)
        connections = GraphWrapper.from_csr(indptr, neighbours, dtype=np.int64)
        weight_graph = GraphWrapper.from_csr(indptr, symmetric_weights, dtype=np.float32)
    else:
        connections, weight_graph = GraphWrapper.from_knn(knn), GraphWrapper.from_knn(weights)
    if connected_by_modules(knn, weights, known, connections, weight_graph) is None:
        raise SystemError("NO PROGRESS :)")
    labels = propagated_by_module(connections, weight_graph, known)
    left = np.flatnonzero(labels == -1)
    added = False
    for source, position in zip(*np.nonzero(np.isin(knn, left))):
        target = int(knn[source, position])
        if not connections.contains(target, int(source)):
            connections.append(target, int(source))
            weight_graph.append(target, float(weights[source, position]))
            added = True
    if added:
        weighted_label_propagation(connections, weight_graph, labels)
    return labels


def reveal(truth, count, seed):
    y = np.full(truth.shape[0], -1)
    chosen = np.random.default_rng(seed).choice(truth.shape[0], count, replace=False)
    y[chosen] = truth[chosen]
    return y


DATA = {
    "moons": lambda: make_moons(400, noise=0.1, random_state=1),
    "blobs": lambda: make_blobs(400, centers=4, random_state=2),
    "circles": lambda: make_circles(400, noise=0.05, factor=0.5, random_state=3),
    "anisotropic": lambda: (make_blobs(400, centers=3, random_state=4)[0] @ [[0.6, -0.6], [-0.4, 0.8]],
                            make_blobs(400, centers=3, random_state=4)[1]),
    "uniform 5-D": lambda: (np.random.default_rng(5).uniform(size=(300, 5)), np.arange(300) % 3),
}
SPREAD = [(data, k, metric, draw) for data in DATA for k in (1, 3, 5, 10) for metric in ("euclidean", "manhattan",
                                                                                          "cosine") for draw in (0, 1)]


@pytest.fixture(scope="module")
def outcomes():
    """Per fit of the spread: (labels of the modules or None where they raise, the
    estimator's by the modules' sequential rule, the estimator's by its default rule)."""
    results = []
    for data, k, metric, draw in SPREAD:
        X, truth = DATA[data]()
        y = reveal(truth, 4, draw)
        try:
            expected = labels_by_modules(X, y, k, metric)
        except SystemError:
            expected = None
        fitted = [KNNLabelPropagation(n_neighbors=k, metric=metric, propagation=rule).fit(X, y)
                  for rule in ("sequential", "synchronous")]
        results.append((expected, *[encode_targets(model.transduction_)[1] for model in fitted]))
    return results


def test_every_fit_of_the_spread_labels_every_sample(outcomes):
    assert all(np.all(got != -1) for _, *rules in outcomes for got in rules)
    # The spread must hold inputs the modules cannot manage on their own.
    assert any(expected is None for expected, *_ in outcomes)


def test_labels_are_the_modules_wherever_they_manage(outcomes):
    for expected, got, _ in outcomes:
        if expected is not None:
            np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("seed", range(4))
def test_symmetric_lists_keep_the_modules_labels(seed):
    X, truth = make_moons(300, noise=0.1, random_state=seed)
    y = reveal(truth, 6, seed)
    fitted = KNNLabelPropagation(n_neighbors=4, symmetrize=True, propagation="sequential").fit(X, y)
    np.testing.assert_array_equal(fitted.transduction_, labels_by_modules(X, y, 4, symmetrize=True))


def far_group():
    """Two groups of 40 samples around 0 and 100, and five samples at 1000 whose lists
    lead only into their own group; the nearest reached sample of the five is in the
    group at 100."""
    rng = np.random.default_rng(0)
    X = np.concatenate([rng.normal(0, 1, (40, 2)), rng.normal(100, 1, (40, 2)), rng.normal(1000, 1, (5, 2))])
    y = np.full(85, -1)
    y[0], y[40] = 0, 1
    return X, y, np.r_[np.zeros(40), np.ones(45)]


def pairs():
    """Mutual nearest pairs 10 apart on a line, one labelled at each end: with k=1
    every pair is a closed group."""
    X = np.repeat(np.arange(10) * 10.0, 2)[:, None] + np.tile([0.0, 1.0], 10)[:, None]
    y = np.full(20, -1)
    y[0], y[19] = 0, 1
    return X, y, None


def duplicates():
    """Clusters of 6 identical samples: with k=3 each lists only its own copies."""
    X = np.repeat([[0.0, 0.0], [5.0, 0.0], [40.0, 0.0], [50.0, 0.0]], 6, axis=0)
    y = np.full(24, -1)
    y[0], y[18] = 0, 1
    return X, y, np.r_[np.zeros(12), np.ones(12)]


def cosine_rays():
    """Samples on three rays from the origin; with the cosine metric each ray's samples
    are at distance 0 from each other, so a ray without a label is a closed group. The
    ray at 80 degrees is nearer to the one at 90 (labelled 1) than to the one at 0."""
    angles = np.repeat([0.0, 80.0, 90.0], 8) * np.pi / 180
    X = np.c_[np.cos(angles), np.sin(angles)] * np.tile(np.arange(1, 9), 3)[:, None]
    y = np.full(24, -1)
    y[0], y[16] = 0, 1
    return X, y, np.r_[np.zeros(8), np.ones(16)]


@pytest.mark.parametrize("make, k, metric", [
    (far_group, 3, "euclidean"), (far_group, 4, "manhattan"), (pairs, 1, "euclidean"),
    (duplicates, 3, "euclidean"), (cosine_rays, 3, "cosine")])
def test_closed_groups_get_the_label_of_their_nearest_reached_sample(make, k, metric):
    X, y, expected = make()
    with pytest.raises(SystemError, match="NO PROGRESS"):
        labels_by_modules(X, y, k, metric)
    fitted = KNNLabelPropagation(n_neighbors=k, metric=metric).fit(X, y)
    assert np.all(fitted.transduction_ != -1)
    if expected is not None:
        np.testing.assert_array_equal(fitted.transduction_, expected)


@pytest.mark.parametrize("n_neighbors", [1, 3])
def test_two_moons_with_few_labels_and_small_k(n_neighbors):
    X, truth = make_moons(2000, noise=0.1, random_state=0)
    for seed in range(3):
        fitted = KNNLabelPropagation(n_neighbors=n_neighbors).fit(X, reveal(truth, 4, seed))
        assert np.all(fitted.transduction_ != -1)


@pytest.mark.parametrize("X, y, params, error, message", [
    ([[0.0], [1.0]], [-1, -1], {}, ValueError, "no labelled sample"),
    ([[0.0]], [0], {}, ValueError, "minimum of 2 is required"),
    ([[0.0], [1.0]], [0, -1], {"n_neighbors": 0}, ValueError, "n_neighbors"),
    ([[0.0], [1.0]], [0, -1], {"metric": "no such metric"}, ValueError, "metric"),
    ([[0.0], [np.nan]], [0, -1], {}, ValueError, "NaN"),
    ([[0.0], [1.0]], [0], {}, ValueError, "inconsistent numbers of samples"),
])
def test_invalid_inputs_are_refused_with_a_message(X, y, params, error, message):
    with pytest.raises(error, match=message):
        KNNLabelPropagation(**params).fit(np.asarray(X), np.asarray(y))


@pytest.mark.parametrize("seed", range(12))
def test_csr_route_labels_as_the_graphwrapper_route_on_random_graphs(seed):
    n, k = 150, 1 + seed % 4
    knn, weights = random_knn(n, k, seed)
    known = np.full(n, -1, np.int32)
    known[np.random.default_rng(seed).choice(n, 3 + seed, replace=False)] = np.arange(3 + seed) % 3
    graphs = connected_by_modules(knn, weights, known)
    expected = None if graphs is None else propagated_by_module(*graphs, known)
    graph = pipeline.knn_graph(knn, weights)
    search = pipeline_search_on(np.random.default_rng(seed).normal(size=(n, 2)))
    connected = pipeline.connect(graph, graph, pipeline.components(graph, known), search)
    labels = known.copy()
    pipeline.propagate(connected, labels, 50000, 1e-3)
    if expected is not None:
        np.testing.assert_array_equal(labels, expected)
    else:
        assert np.all(pipeline.label_graph(connected, graph, known, 50000, 1e-3)[0] != -1)


def pipeline_search_on(X):
    from varnex._search import SampleIndex
    return SampleIndex(X).nearest_among

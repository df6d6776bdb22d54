"""DensityClustering on every input DBSCAN takes: sparse samples, precomputed distances,
any metric, sample weights; and predict on new samples."""

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.cluster import DBSCAN
from sklearn.datasets import make_blobs
from sklearn.metrics import pairwise_distances
from sklearn.neighbors import kneighbors_graph, radius_neighbors_graph

from varnex import DensityClustering
from varnex.algorithms.src.densa.binaries.densa_postprocess import densa_postprocess

# The DBSCAN references warn that graph rows are not sorted by distance; ours need no order.
pytestmark = pytest.mark.filterwarnings("ignore::sklearn.exceptions.EfficiencyWarning")


def blobs(n=240, seed=0, features=3):
    X, truth = make_blobs(n, n_features=features, centers=4, cluster_std=0.9, random_state=seed)
    y = np.full(n, -1)
    y[:12] = truth[:12]
    return X, y


def manhattan(a, b, scale=1.0):
    return scale * np.abs(a - b).sum()


# (metric, eps, metric_params) with eps giving several clusters and some noise on blobs().
METRICS = [
    ("euclidean", 0.7, None),
    ("manhattan", 1.0, None),
    ("chebyshev", 0.6, None),
    ("cosine", 0.002, None),
    ("sqeuclidean", 0.5, None),
    ("minkowski", 0.8, {"p": 3}),
    ("seuclidean", 0.7, {"V": np.array([1.0, 2.0, 0.5])}),
    ("mahalanobis", 0.7, {"VI": np.diag([1.0, 0.5, 2.0])}),
    (manhattan, 2.0, {"scale": 2.0}),
]
METRIC_IDS = [metric if isinstance(metric, str) else "callable" for metric, _, _ in METRICS]


@pytest.mark.parametrize("metric, eps, params", METRICS, ids=METRIC_IDS)
def test_without_labels_every_metric_is_dbscan(metric, eps, params):
    X, _ = blobs()
    expected = DBSCAN(eps=eps, min_samples=4, metric=metric, metric_params=params).fit(X)
    model = DensityClustering(eps=eps, min_samples=4, metric=metric, metric_params=params).fit(X)
    assert len(set(expected.labels_)) > 2
    np.testing.assert_array_equal(model.labels_, expected.labels_)
    np.testing.assert_array_equal(model.core_sample_indices_, expected.core_sample_indices_)


@pytest.mark.parametrize("metric, eps, params", [m for m in METRICS if not callable(m[0])],
                         ids=[i for i in METRIC_IDS if i != "callable"])
@pytest.mark.parametrize("threshold", [-1, -3])
def test_post_processing_places_samples_as_the_native_module_does(metric, eps, params, threshold):
    X, y = blobs()
    model = DensityClustering(eps=eps, min_samples=4, metric=metric, metric_params=params,
                              threshold=threshold).fit(X, y)
    if params is None and metric in ("euclidean", "manhattan", "chebyshev", "minkowski"):
        # The module's own route, for the metrics it is handed without parameters.
        raw = densa_postprocess(np.array(X), model.clusters_, "minkowski" if metric == "euclidean" else metric,
                                3 if metric == "minkowski" else 2, threshold)
        expected = np.where(raw >= 0, model.classes_[np.maximum(raw, 0)], -1)
        np.testing.assert_array_equal(model.labels_, expected)
    # Every sample outside the kept clusters went to its nearest centroid.
    kept = (model.clusters_ >= threshold) & (model.clusters_ != -1)
    placed = ~kept
    distances = pairwise_distances(X[placed], model.centroids_, metric=metric, **(params or {}))
    np.testing.assert_array_equal(model.labels_[placed], model.centroid_labels_[np.argmin(distances, axis=1)])


@pytest.mark.parametrize("labelled", [True, False], ids=["labels", "dbscan"])
@pytest.mark.parametrize("metric, eps, params", METRICS[:5], ids=METRIC_IDS[:5])
@pytest.mark.parametrize("to_sparse", [sp.csr_matrix, sp.csc_matrix, lambda X: sp.csr_array(X.astype(np.float32))],
                         ids=["csr", "csc", "csr-float32"])
def test_sparse_samples_cluster_as_dense_ones(to_sparse, metric, eps, params, labelled):
    X, y = blobs()
    X[np.abs(X) < 1.0] = 0.0   # some structure to the sparsity
    X = X.astype(np.float32).astype(np.float64) if "float32" in str(to_sparse) else X
    dense = DensityClustering(eps=eps, min_samples=4, metric=metric).fit(X, y if labelled else None)
    sparse = DensityClustering(eps=eps, min_samples=4, metric=metric).fit(to_sparse(X), y if labelled else None)
    np.testing.assert_array_equal(sparse.labels_, dense.labels_)
    np.testing.assert_array_equal(sparse.clusters_, dense.clusters_)
    queries = X[::7] + 0.05
    np.testing.assert_array_equal(sparse.predict(to_sparse(queries)), dense.predict(queries))


def with_diagonal(graph):
    """A distance graph storing every sample's zero distance to itself."""
    graph = sp.coo_matrix(graph)
    n = graph.shape[0]
    return sp.csr_matrix((np.r_[graph.data, np.zeros(n)], (np.r_[graph.row, np.arange(n)],
                                                          np.r_[graph.col, np.arange(n)])), shape=graph.shape)


def reversed_rows(graph):
    """The same graph with every row's entries in reverse order (unsorted by distance)."""
    graph = graph.tocsr()
    order = np.concatenate([np.arange(end - 1, start - 1, -1) for start, end in zip(graph.indptr[:-1],
                                                                                      graph.indptr[1:])])
    return sp.csr_matrix((graph.data[order], graph.indices[order], graph.indptr), shape=graph.shape)


PRECOMPUTED = {
    "dense": lambda X, eps: pairwise_distances(X),
    "radius graph": lambda X, eps: radius_neighbors_graph(X, eps, mode="distance"),
    "wider radius graph": lambda X, eps: radius_neighbors_graph(X, 2 * eps, mode="distance").tocsc(),
    "unsorted rows": lambda X, eps: reversed_rows(radius_neighbors_graph(X, eps, mode="distance")),
    "stored diagonal": lambda X, eps: with_diagonal(radius_neighbors_graph(X, eps, mode="distance")),
}


@pytest.mark.parametrize("make", PRECOMPUTED.values(), ids=PRECOMPUTED.keys())
def test_precomputed_distances_cluster_as_the_named_metric(make):
    X, y = blobs()
    eps = 0.7
    D = make(X, eps)
    named = DensityClustering(eps=eps, min_samples=4, postprocess=False).fit(X, y)
    given = DensityClustering(eps=eps, min_samples=4, metric="precomputed", postprocess=False).fit(D, y)
    np.testing.assert_array_equal(given.clusters_, named.clusters_)
    np.testing.assert_array_equal(given.core_sample_indices_, named.core_sample_indices_)
    np.testing.assert_array_equal(DensityClustering(eps=eps, min_samples=4, metric="precomputed").fit(D).labels_,
                                  DBSCAN(eps=eps, min_samples=4, metric="precomputed").fit(D).labels_)


@pytest.mark.parametrize("make", [
    lambda X: kneighbors_graph(X, 6, mode="distance"),
    lambda X: sp.csr_matrix(np.where(np.eye(len(X)), 0.9, pairwise_distances(X))),  # self beyond eps
    # a sample listed twice in row 0, once within eps and once beyond
    lambda X: sp.vstack([sp.csr_matrix(([0.1, 2.0, 0.1], ([0, 0, 0], [1, 1, 2])), shape=(1, len(X))),
                         radius_neighbors_graph(X, 0.7, mode="distance")[1:]]).tocsr(),
], ids=["knn graph", "diagonal beyond eps", "duplicates"])
def test_precomputed_graphs_are_read_as_dbscan_reads_them(make):
    X, _ = blobs()
    D = make(X)
    expected = DBSCAN(eps=0.7, min_samples=4, metric="precomputed").fit(D)
    model = DensityClustering(eps=0.7, min_samples=4, metric="precomputed").fit(D)
    np.testing.assert_array_equal(model.labels_, expected.labels_)
    np.testing.assert_array_equal(model.core_sample_indices_, expected.core_sample_indices_)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "precomputed"])
@pytest.mark.parametrize("labelled, postprocess", [(True, True), (True, False), (False, True)],
                         ids=["labels", "no-postprocess", "dbscan"])
def test_integer_weights_equal_duplicated_rows(metric, labelled, postprocess):
    X, y = blobs(160)
    # Weight 0 is no absence: such a sample can still be a core sample, as in DBSCAN.
    weights = np.random.default_rng(1).integers(1, 4, X.shape[0])
    eps = 0.002 if metric == "cosine" else 0.7
    y = y if labelled else np.full(X.shape[0], -1)
    copies = np.repeat(np.arange(X.shape[0]), weights)
    make = (lambda Z: pairwise_distances(Z)) if metric == "precomputed" else (lambda Z: Z)
    kind = dict(eps=eps, min_samples=6, metric=metric, postprocess=postprocess)
    weighted = DensityClustering(**kind).fit(make(X), y, sample_weight=weights)
    duplicated = DensityClustering(**kind).fit(make(X[copies]), y[copies])
    first = np.searchsorted(copies, np.arange(X.shape[0]))   # the first copy of every sample
    np.testing.assert_array_equal(weighted.labels_, duplicated.labels_[first])
    if not labelled:
        np.testing.assert_array_equal(weighted.labels_,
                                      DBSCAN(eps=eps, min_samples=6, metric=metric).fit(
                                          make(X), sample_weight=weights).labels_)


@pytest.mark.parametrize("low, high", [(-0.5, 2.5), (0, 3)])
def test_fractional_zero_and_negative_weights_are_dbscans(low, high):
    X, _ = blobs()
    weights = np.random.default_rng(2).uniform(low, high, X.shape[0])
    weights[::5] = 0.0
    expected = DBSCAN(eps=0.7, min_samples=4).fit(X, sample_weight=weights)
    model = DensityClustering(eps=0.7, min_samples=4).fit(X, sample_weight=weights)
    np.testing.assert_array_equal(model.labels_, expected.labels_)
    np.testing.assert_array_equal(model.core_sample_indices_, expected.core_sample_indices_)


ROUTES = {
    "dense": (dict(eps=0.7), lambda X: X),
    "sparse": (dict(eps=0.7), sp.csr_matrix),
    "many features": (dict(eps=1.6), lambda X: X),
    "cosine": (dict(eps=0.002, metric="cosine"), lambda X: X),
    "callable": (dict(eps=1.0, metric=manhattan), lambda X: X),
    "precomputed": (dict(eps=0.7, metric="precomputed"), pairwise_distances),
    "precomputed graph": (dict(eps=0.7, metric="precomputed"),
                          lambda X: with_diagonal(radius_neighbors_graph(X, 2.0, mode="distance"))),
}


@pytest.mark.parametrize("route", ROUTES.values(), ids=ROUTES.keys())
@pytest.mark.parametrize("labelled, kind", [(True, {}), (True, {"threshold": -3}), (True, {"postprocess": False}),
                                            (False, {})], ids=["labels", "kept-clusters", "no-postprocess", "dbscan"])
def test_predict_gives_training_samples_their_labels(route, labelled, kind):
    parameters, make = route
    X, y = blobs(features=20 if parameters["eps"] == 1.6 else 3)
    if parameters["eps"] == 1.6:
        X = X / 3.0
    model = DensityClustering(min_samples=4, **parameters, **kind).fit(make(X), y if labelled else None)
    core = model.core_sample_indices_
    assert 0 < core.size < X.shape[0]
    predicted = model.predict(make(X))
    np.testing.assert_array_equal(predicted[core], model.labels_[core])
    # Unlabelled noise lies beyond every core sample, where post-processing placed it.
    noise = model.clusters_ == -1
    noise &= (y == -1) if labelled else True
    np.testing.assert_array_equal(predicted[noise], model.labels_[noise])


def test_predict_places_far_samples_by_the_nearest_centroid():
    X, y = blobs()
    far = np.array([[100.0, 0.0, 0.0], [-100.0, 5.0, 5.0]])
    model = DensityClustering(eps=0.7, min_samples=4).fit(X, y)
    nearest = np.argmin(pairwise_distances(far, model.centroids_), axis=1)
    np.testing.assert_array_equal(model.predict(far), model.centroid_labels_[nearest])
    assert set(DensityClustering(eps=0.7, min_samples=4, postprocess=False).fit(X, y).predict(far)) == {-1}
    assert set(DensityClustering(eps=0.7, min_samples=4).fit(X).predict(far)) == {-1}


def square_with(value):
    D = pairwise_distances(blobs(20)[0])
    D[2, 3] = value
    return D


BAD_FITS = [
    ("nan in X", {}, lambda X, y: (np.where(X == X[0, 0], np.nan, X), y, None), "NaN"),
    ("inf in X", {}, lambda X, y: (np.where(X == X[0, 0], np.inf, X), y, None), "infinity"),
    ("nan in sparse X", {}, lambda X, y: (sp.csr_matrix(np.where(X == X[0, 0], np.nan, X)), y, None), "NaN"),
    ("short y", {}, lambda X, y: (X, y[:-1], None), "inconsistent numbers of samples"),
    ("short weights", {}, lambda X, y: (X, y, np.ones(len(X) - 1)), "sample_weight"),
    ("nan weight", {}, lambda X, y: (X, y, np.r_[np.nan, np.ones(len(X) - 1)]), "NaN"),
    ("not square", {"metric": "precomputed"}, lambda X, y: (pairwise_distances(X)[:, :-1], y, None), "square"),
    ("negative", {"metric": "precomputed"}, lambda X, y: (square_with(-1.0), y[:20], None), "Negative values"),
    ("negative graph", {"metric": "precomputed"},
     lambda X, y: (sp.csr_matrix(square_with(-1.0)), y[:20], None), "Negative values"),
    ("nan distance", {"metric": "precomputed"}, lambda X, y: (square_with(np.nan), y[:20], None), "NaN"),
]


@pytest.mark.parametrize("kind, make, message", [case[1:] for case in BAD_FITS], ids=[case[0] for case in BAD_FITS])
@pytest.mark.parametrize("fitted", [False, True], ids=["fresh", "refit"])
def test_bad_input_is_refused_and_nothing_is_half_fitted(kind, make, message, fitted):
    X, y = blobs(40)
    model = DensityClustering(eps=0.7, min_samples=3, **kind)
    if fitted:
        model.fit(pairwise_distances(X) if kind else X, y)
    before = dict(vars(model))
    X_bad, y_bad, weights = make(X, y)
    with pytest.raises(ValueError, match=message):
        model.fit(X_bad, y_bad, sample_weight=weights)
    assert vars(model).keys() == before.keys()
    assert all(vars(model)[key] is value for key, value in before.items())


@pytest.mark.parametrize("query, message", [
    (lambda D: D[:, :-1], "column per training sample|features"),
    (lambda D: -D, "Negative values"),
    (lambda D: sp.csr_matrix(-D), "Negative values"),
])
def test_bad_precomputed_queries_are_refused(query, message):
    D = pairwise_distances(blobs(40)[0])
    model = DensityClustering(eps=0.7, min_samples=3, metric="precomputed").fit(D)
    with pytest.raises(ValueError, match=message):
        model.predict(query(D))

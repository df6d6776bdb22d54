"""KNNLabelPropagation takes what NearestNeighbors takes: sparse samples, precomputed
distances and graphs, every metric; each against the equivalent plain input."""

import numpy as np
import pytest
from scipy import sparse
from scipy.spatial.distance import cdist
from sklearn.datasets import make_moons
from sklearn.neighbors import kneighbors_graph, radius_neighbors_graph

from varnex import KNNLabelPropagation


@pytest.fixture(scope="module")
def moons():
    X, truth = make_moons(n_samples=400, noise=0.1, random_state=1)
    y = np.full(X.shape[0], -1)
    y[::40] = truth[::40]
    return X, y, X[::9] + 0.013


def fitted(X, y, **parameters):
    return KNNLabelPropagation(n_neighbors=5, **parameters).fit(X, y)


@pytest.mark.parametrize("convert", [sparse.csr_matrix, sparse.csc_matrix])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
# chebyshev has no sparse form: the samples are made dense, as DensityClustering does.
@pytest.mark.parametrize("metric", ["euclidean", "manhattan", "cosine", "chebyshev"])
def test_sparse_samples_label_as_dense_ones(moons, convert, dtype, metric):
    X, y, new = moons
    X = X.astype(dtype)
    dense = fitted(X, y, metric=metric)
    as_sparse = fitted(convert(X), y, metric=metric)
    np.testing.assert_array_equal(as_sparse.transduction_, dense.transduction_)
    np.testing.assert_array_equal(as_sparse.predict(convert(new)), dense.predict(new))


@pytest.mark.parametrize("metric", ["euclidean", "manhattan"])
@pytest.mark.parametrize("form", ["dense", "kneighbors_graph", "radius_neighbors_graph"])
def test_precomputed_distances_label_as_the_metric(moons, metric, form):
    X, y, new = moons
    named = fitted(X, y, metric=metric)
    if form == "dense":
        D, D_new = cdist(X, X, metric=metric if metric == "euclidean" else "cityblock"), None
    elif form == "kneighbors_graph":
        D = kneighbors_graph(X, 8, mode="distance", metric=metric)
    else:
        D = radius_neighbors_graph(X, 0.6, mode="distance", metric=metric)
    model = fitted(D, y, metric="precomputed")
    np.testing.assert_array_equal(model.transduction_, named.transduction_)
    D_new = cdist(new, X, metric=metric if metric == "euclidean" else "cityblock")
    np.testing.assert_array_equal(model.predict(D_new), named.predict(new))


def test_a_sparse_graph_that_joins_nothing_still_labels_every_sample():
    # Two far groups; the graph stores no distance between them at all.
    X = np.vstack([np.arange(6)[:, None] * 0.1, 50 + np.arange(6)[:, None] * 0.1])
    D = radius_neighbors_graph(X, 1.0, mode="distance")
    y = np.array([0] + [-1] * 11)
    model = fitted(D, y, metric="precomputed")
    assert np.all(model.transduction_ == 0)


@pytest.mark.parametrize("metric, metric_params, same_as", [
    (lambda u, v: np.abs(u - v).sum(), None, "manhattan"),
    ("seuclidean", {"V": np.ones(2)}, "euclidean"),
    ("mahalanobis", {"VI": np.eye(2)}, "euclidean"),
    ("minkowski", {"w": np.ones(2)}, "euclidean"),
])
def test_every_metric_with_its_parameters(moons, metric, metric_params, same_as):
    X, y, new = moons
    model = fitted(X, y, metric=metric, metric_params=metric_params)
    np.testing.assert_array_equal(model.transduction_, fitted(X, y, metric=same_as).transduction_)
    np.testing.assert_array_equal(model.predict(new), fitted(X, y, metric=same_as).predict(new))


@pytest.mark.parametrize("X, y, metric, message", [
    (np.array([[0.0, np.inf], [1.0, 2.0], [3.0, 1.0]]), [0, -1, 1], "euclidean", "Input X contains infinity"),
    (np.zeros((3, 2)), [0, 1], "euclidean", "inconsistent numbers of samples"),
    (np.zeros((3, 2)), [0, -1, 1], "precomputed", "Precomputed matrix must be square"),
    (-np.ones((3, 3)), [0, -1, 1], "precomputed", "Negative values"),
    (kneighbors_graph(np.arange(6.0)[:, None], 1, mode="distance"), [0, -1, -1, -1, -1, 1], "precomputed",
     "row 0 of the precomputed distances stores 1 distances to other samples, fewer than the 2"),
])
def test_bad_input_is_refused_and_fits_nothing(X, y, metric, message):
    model = KNNLabelPropagation(n_neighbors=2, metric=metric)
    with pytest.raises(ValueError, match=message):
        model.fit(X, y)
    assert not hasattr(model, "transduction_") and not hasattr(model, "classes_")

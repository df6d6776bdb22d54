"""What the estimators promise whatever the data's scale, label type or labelled share."""

import copy
import pickle

import numpy as np
import pytest
from sklearn.cluster import DBSCAN
from sklearn.datasets import make_blobs, make_moons

from varnex import DensityClustering, KNNLabelPropagation
from varnex.graph import GraphWrapper


def blobs_with_shared_borders(seed):
    """Blobs close enough that some border samples lie within eps of two clusters."""
    rng = np.random.default_rng(seed)
    X, _ = make_blobs(n_samples=int(rng.integers(30, 300)), centers=int(rng.integers(2, 6)),
                      cluster_std=rng.uniform(0.3, 1.0), random_state=seed)
    return X, float(rng.uniform(0.3, 0.8)), int(rng.integers(2, 8))


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("metric", ["euclidean", "manhattan"])
def test_without_labels_density_clustering_is_dbscan(seed, metric):
    X, eps, min_samples = blobs_with_shared_borders(seed)
    expected = DBSCAN(eps=eps, min_samples=min_samples, metric=metric).fit(X).labels_
    for y in (None, np.full(X.shape[0], -1)):
        model = DensityClustering(eps=eps, min_samples=min_samples, metric=metric, growth="sequential").fit(X, y)
        np.testing.assert_array_equal(model.labels_, expected)
        np.testing.assert_array_equal(model.classes_, np.arange(expected.max() + 1))
    assert DensityClustering(eps=eps, min_samples=min_samples, metric=metric, growth="sequential").fit_predict(X).tolist() == \
        expected.tolist()


def scaled_data():
    X, truth = make_moons(n_samples=200, noise=0.08, random_state=3)
    X = np.vstack([X, X[:40] + [10.0, 0.0]])     # a far-off group, 10 units away
    y = np.full(X.shape[0], -1)
    y[[0, 1, 2, 3, 200]] = [truth[0], truth[1], truth[2], truth[3], 1]
    return X, y


@pytest.mark.parametrize("factor", [1e-150, 1e-100, 1e-20, 1e20, 1e100, 1e150, 3e150])
def test_results_do_not_depend_on_the_scale_of_the_data(factor):
    X, y = scaled_data()
    density = DensityClustering(eps=0.2, min_samples=3)
    graph = KNNLabelPropagation(n_neighbors=5)
    reference_density = density.fit(X, y).labels_.copy()
    reference_graph = graph.fit(X, y)
    reference_proba = reference_graph.predict_proba(X[::7] + 0.01)
    reference_labels = reference_graph.transduction_.copy()

    np.testing.assert_array_equal(DensityClustering(eps=0.2 * factor, min_samples=3).fit(X * factor, y).labels_,
                                  reference_density)
    scaled = KNNLabelPropagation(n_neighbors=5).fit(X * factor, y)
    np.testing.assert_array_equal(scaled.transduction_, reference_labels)
    with np.errstate(all="raise"):
        proba = scaled.predict_proba((X[::7] + 0.01) * factor)
    np.testing.assert_allclose(proba, reference_proba, rtol=1e-6)


def test_predict_proba_is_finite_far_below_float32_resolution():
    X, y = scaled_data()
    fitted = KNNLabelPropagation(n_neighbors=5).fit(X * 1e-42, y)
    new = (X[::5] + 1e-3) * 1e-42
    with np.errstate(all="raise"):
        proba = fitted.predict_proba(new)
    assert np.all(np.isfinite(proba)) and np.allclose(proba.sum(axis=1), 1)
    assert len(set(fitted.predict(new))) == 2


@pytest.mark.parametrize("classes, marker", [
    (np.array([2**64 - 2, 2**64 - 1], dtype=np.uint64), None),
    (np.array([False, True]), None),
    (np.array(["a" * 40, "b"]), "-1"),
    (np.array(["cat", "dog"], dtype=object), "-1"),
    (np.array(["cat", "dog"], dtype=object), -1),
    (np.array([-7, 3], dtype=np.int16), -1),
    (np.array([1.0, 3.0]), -1),
])
@pytest.mark.parametrize("make", [lambda: DensityClustering(eps=0.15, min_samples=2),
                                  lambda: KNNLabelPropagation(n_neighbors=2)], ids=["density", "graph"])
def test_class_dtype_is_kept_exactly(make, classes, marker):
    X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    if marker is None:   # unsigned and boolean labels cannot mark a sample unlabelled
        y = np.array([classes[0]] * 3 + [classes[1]] * 3, dtype=classes.dtype)
    else:
        y = np.array([classes[0]] + [marker] * 4 + [classes[1]], dtype=classes.dtype)
    fitted = make().fit(X, y)
    expected = np.array([classes[0]] * 3 + [classes[1]] * 3, dtype=classes.dtype)
    assert fitted.transduction_.dtype == classes.dtype
    np.testing.assert_array_equal(fitted.transduction_, expected)
    if hasattr(fitted, "predict"):
        assert fitted.predict(X).dtype == classes.dtype
        np.testing.assert_array_equal(fitted.predict(X), expected)


@pytest.mark.parametrize("classes, marker, noise", [(["a", "d"], "-1", "-1"),
                                                    ([-7, 120], -1, -1)])
def test_density_noise_marker_widens_only_what_cannot_hold_it(classes, marker, noise):
    X = np.array([[0.0], [0.1], [9.0], [5.0], [5.1]])
    y = np.array([classes[0], marker, marker, classes[1], marker])
    labels = DensityClustering(eps=0.15, min_samples=2, postprocess=False).fit(X, y).labels_
    assert labels.tolist() == [classes[0], classes[0], noise, classes[1], classes[1]]


@pytest.mark.parametrize("y, message", [
    (np.array([0, None, 1, None, None, 1], dtype=object), "y contains None"),
    (np.array([0, "-1", "dog", -1, -1, 1], dtype=object), "y mixes strings and numbers"),
])
def test_bad_markers_are_refused(y, message):
    X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    for estimator in (DensityClustering(eps=0.15, min_samples=2), KNNLabelPropagation(n_neighbors=2)):
        with pytest.raises(ValueError, match=message):
            estimator.fit(X, y)


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, lambda g: pickle.loads(pickle.dumps(g))])
def test_graph_copies_are_independent(duplicate):
    original = GraphWrapper.from_knn(np.array([[1, 2], [0, 2], [0, 1]]))
    original.append(0, 1)                 # node 0 now has storage with spare room
    twin = duplicate(original)
    twin.append(0, 2)
    twin.append(1, 1)
    assert original.to_numpy(0).tolist() == [1, 2, 1] and original.to_numpy(1).tolist() == [0, 2]
    original.append(0, 0)
    assert twin.to_numpy(0).tolist() == [1, 2, 1, 2] and original.to_numpy(0).tolist() == [1, 2, 1, 0]


@pytest.mark.parametrize("build", [
    lambda: GraphWrapper.from_knn(np.full((300, 1), 200), dtype=np.int8),
    lambda: GraphWrapper.from_knn(np.full((3, 1), 1e300)),
    lambda: GraphWrapper(3, np.float32).append(0, -1e39),
])
def test_graph_entries_that_do_not_fit_are_refused(build):
    with pytest.raises(ValueError, match="does not fit in"):
        build()

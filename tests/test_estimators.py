"""The estimators as scikit-learn sees them, their input checks and accuracy floors."""

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.datasets import load_digits, make_moons
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

from varnex import DensityClustering, KNNLabelPropagation
from varnex.demo import reveal
from varnex._graph_pipeline import symmetric_graph

# scikit-learn runs this check on its own semi-supervised classifiers with their label
# convention, in which -1 marks an unlabelled sample rather than a class; it tells them
# by name, as no tag says so. The check runs here in full under that convention.
SEMI_SUPERVISED_CONVENTION = {"check_classifiers_classes": "LabelSpreading"}


@parametrize_with_checks([DensityClustering(eps=1.0, min_samples=2), KNNLabelPropagation(n_neighbors=3),
                          KNNLabelPropagation(n_neighbors=3, metric="precomputed")])
def test_scikit_learn_checks(estimator, check):
    name = SEMI_SUPERVISED_CONVENTION.get(getattr(check, "func", check).__name__)
    if name is not None and isinstance(estimator, KNNLabelPropagation):
        check.func(name, estimator, *check.args[1:], **check.keywords)
    else:
        check(estimator)


def two_groups():
    X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    return X, np.array([0, -1, -1, -1, -1, 1])


@pytest.fixture(scope="module")
def moons():
    X, truth = make_moons(n_samples=1000, noise=0.1, random_state=0)
    return X, truth, reveal(truth, 0.02, np.random.default_rng(0))


@pytest.fixture(scope="module")
def digits():
    data = load_digits()
    return data.data, data.target, reveal(data.target, 0.05, np.random.default_rng(0))


def unlabelled_accuracy(predicted, truth, known):
    return np.mean(predicted[known == -1] == truth[known == -1])


ESTIMATORS = {
    "density": lambda: DensityClustering(eps=0.15, min_samples=2),
    "graph": lambda: KNNLabelPropagation(n_neighbors=2),
}


@pytest.mark.parametrize("make", ESTIMATORS.values(), ids=ESTIMATORS.keys())
@pytest.mark.parametrize("classes, unlabelled, dtype", [
    ([0, 1], -1, int), ([7, -3], -1, int), (["cat", "dog"], -1, object), (["c", "dog"], "-1", str)])
def test_class_labels_come_back_as_given(make, classes, unlabelled, dtype):
    y = np.array([classes[0]] + [unlabelled] * 4 + [classes[1]], dtype=dtype)
    X, _ = two_groups()
    estimator = make().fit(X, y)
    assert list(estimator.classes_) == sorted(classes)
    assert list(estimator.transduction_) == [classes[0]] * 3 + [classes[1]] * 3


@pytest.mark.parametrize("make", ESTIMATORS.values(), ids=ESTIMATORS.keys())
def test_pipeline_and_clone(make):
    X, y = two_groups()
    estimator = make()
    pipeline = make_pipeline(StandardScaler(), clone(estimator))
    pipeline.fit(X * 100, y)
    assert list(pipeline[-1].transduction_) == [0, 0, 0, 1, 1, 1]
    copy = clone(estimator.set_params(verbose=1))
    assert copy.get_params() == estimator.get_params() and not hasattr(copy, "transduction_")


@pytest.mark.parametrize("make", ESTIMATORS.values(), ids=ESTIMATORS.keys())
@pytest.mark.parametrize("X, y, message", [
    (np.array([[0.0], [np.nan], [1.0]]), [0, -1, 1], "Input X contains NaN"),
    (np.array([0.0, 1.0, 2.0]), [0, -1, 1], "Expected 2D array, got 1D array"),
    (np.zeros((3, 1)), [0, 1], "inconsistent numbers of samples: [3, 2]"),
    (np.zeros((3, 1)), [0, np.nan, 1], "Input y contains NaN"),
    (np.zeros((3, 1)), [0.5, -1, 1], "Unknown label type: continuous"),
])
def test_bad_input_is_refused(make, X, y, message):
    with pytest.raises(ValueError) as error:
        make().fit(X, y)
    assert message in str(error.value)


@pytest.mark.parametrize("estimator, message", [
    (DensityClustering(eps=-0.1), "The 'eps' parameter of DensityClustering must be a float in the range [0.0, inf)"),
    (DensityClustering(min_samples=2.5), "The 'min_samples' parameter of DensityClustering must be an int"),
    (DensityClustering(min_samples=0), "The 'min_samples' parameter of DensityClustering must be an int in the range [1, inf)"),
    (DensityClustering(min_samples=-5), "in the range [1, inf). Got -5 instead"),
    (DensityClustering(p=0), "The 'p' parameter of DensityClustering must be an int in the range [1, inf)"),
    (DensityClustering(metric="nonsense"), "The 'metric' parameter of DensityClustering must be a str among"),
    (DensityClustering(postprocess="no"), "The 'postprocess' parameter of DensityClustering must be an instance of 'bool'"),
    (DensityClustering(threshold=1), "The 'threshold' parameter of DensityClustering must be -1 or lower (new clusters are numbered -2, -3, ...), got 1"),
    (DensityClustering(threshold=2.0), "The 'threshold' parameter of DensityClustering must be an instance of 'int'"),
    (DensityClustering(metric="seuclidean"), "metric='seuclidean' needs metric_params with 'V'"),
    (KNNLabelPropagation(n_neighbors=0), "The 'n_neighbors' parameter of KNNLabelPropagation must be an int in the range [1, inf)"),
    (KNNLabelPropagation(max_iter=-1), "The 'max_iter' parameter of KNNLabelPropagation must be an int in the range [0, inf)"),
    (KNNLabelPropagation(tol=float("nan")), "The 'tol' parameter of KNNLabelPropagation must be a float in the range [0.0, inf)"),
    (KNNLabelPropagation(tol=-1.0), "The 'tol' parameter of KNNLabelPropagation must be a float in the range [0.0, inf)"),
    (KNNLabelPropagation(symmetrize="yes"), "The 'symmetrize' parameter of KNNLabelPropagation must be an instance of 'bool'"),
    (KNNLabelPropagation(metric="nonsense"), "The 'metric' parameter of KNNLabelPropagation must be a str among"),
    (KNNLabelPropagation(metric="mahalanobis"), "metric='mahalanobis' needs metric_params with 'VI' or 'V'"),
    (KNNLabelPropagation(propagation="layers"), "The 'propagation' parameter of KNNLabelPropagation must be a str among"),
])
def test_bad_parameters_are_refused(estimator, message):
    with pytest.raises(ValueError) as error:
        estimator.fit(*two_groups())
    assert message in str(error.value)


def test_density_raw_clusters_and_post_processing():
    # Two labelled groups and an unlabelled one between them, nearer to class 1.
    X = np.array([[0.0], [0.1], [0.2], [3.0], [3.1], [3.2], [5.0], [5.1], [5.2], [9.0]])
    y = np.array([5, -1, -1, -1, -1, -1, -1, -1, 6, -1])
    fitted = DensityClustering(eps=0.15, min_samples=2).fit(X, y)
    np.testing.assert_array_equal(fitted.clusters_, [0, 0, 0, -2, -2, -2, 1, 1, 1, -1])
    np.testing.assert_array_equal(fitted.transduction_, [5, 5, 5, 6, 6, 6, 6, 6, 6, 6])
    assert fitted.labels_ is fitted.transduction_
    raw = DensityClustering(eps=0.15, min_samples=2, postprocess=False).fit(X, y)
    np.testing.assert_array_equal(raw.transduction_, [5, 5, 5, -1, -1, -1, 6, 6, 6, -1])
    kept = DensityClustering(eps=0.15, min_samples=2, threshold=-2).fit(X, y)   # the new cluster survives
    np.testing.assert_array_equal(kept.transduction_, [5, 5, 5, -1, -1, -1, 6, 6, 6, 6])
    assert fitted.fit_predict(X, y).tolist() == fitted.labels_.tolist()


def test_density_routes_agree_and_read_only_input_is_accepted(moons):
    X, truth, known = moons
    X = X.copy()
    X.flags.writeable = False
    by_route = [DensityClustering(eps=0.1, metric=metric, p=2).fit(X, known) for metric in ("minkowski", "euclidean")]
    np.testing.assert_array_equal(by_route[0].clusters_, by_route[1].clusters_)
    np.testing.assert_array_equal(by_route[0].transduction_, by_route[1].transduction_)


def test_graph_predicts_new_samples_from_training_labels():
    X, y = two_groups()
    fitted = KNNLabelPropagation(n_neighbors=2).fit(X, y)
    np.testing.assert_array_equal(fitted.predict(X), fitted.transduction_)
    new = np.array([[-1.0], [0.15], [4.9], [100.0]])
    np.testing.assert_array_equal(fitted.predict(new), [0, 0, 1, 1])
    proba = fitted.predict_proba(new)
    assert proba.shape == (4, 2) and np.allclose(proba.sum(axis=1), 1)
    assert fitted.score(new, [0, 0, 1, 0]) == 0.75


def test_graph_duplicates_vote_finitely_and_by_count():
    # Sample 4 repeats two samples of class 1 and one of class 0: infinite scores would
    # let list order decide; finite ones let the count decide.
    X = np.array([[0.0], [1.0], [1.0], [1.0], [1.0], [2.0]])
    y = np.array([-1, 0, 1, 1, -1, -1])
    fitted = KNNLabelPropagation(n_neighbors=3).fit(X, y)
    assert fitted.transduction_[4] == 1
    assert np.all(np.isfinite(fitted.predict_proba([[1.0]])))
    assert fitted.predict([[1.0]])[0] == 1


def test_symmetric_lists_put_own_neighbours_first():
    knn = np.array([[1, 2], [0, 2], [1, 0], [2, 1]], dtype=np.int64)
    weights = np.array([[1, 2], [1, 3], [3, 2], [4, 5]], dtype=np.float32)
    indptr, neighbours, edge_weights = symmetric_graph(knn, weights)
    rows = [neighbours[indptr[i]:indptr[i + 1]].tolist() for i in range(4)]
    assert rows == [[1, 2], [0, 2, 3], [1, 0, 3], [2, 1]]
    assert edge_weights[indptr[1]:indptr[2]].tolist() == [1, 3, 5]


def test_graph_group_listing_only_itself_still_gets_a_label():
    # Sample 0 lists one labelled sample and one of the group 4, 5, 6, whose one-way
    # lists never leave the group: propagation alone leaves the group unlabelled.
    X = np.array([[0.0, 0.0], [-1.0, 0], [-1.05, 0], [-1.1, 0], [1.0, 0], [1.05, 0], [1.1, 0]])
    y = [-1, 0, -1, -1, -1, -1, -1]
    fitted = KNNLabelPropagation(n_neighbors=2).fit(X, y)
    np.testing.assert_array_equal(fitted.transduction_, 0)


def test_graph_group_no_list_leaves_is_joined_to_its_nearest_labelled_part():
    X = np.array([[0.0], [0.1], [0.2], [0.3], [50.0], [50.1], [50.2], [50.3]])
    fitted = KNNLabelPropagation(n_neighbors=2).fit(X, [0, -1, -1, -1, -1, -1, -1, -1])
    np.testing.assert_array_equal(fitted.transduction_, 0)


@pytest.mark.parametrize("symmetrize, digits_floor", [(False, 0.93), (True, 0.87)])
def test_graph_accuracy_floors(moons, digits, symmetrize, digits_floor):
    for (X, truth, known), floor in ((moons, 0.95), (digits, digits_floor)):
        fitted = KNNLabelPropagation(symmetrize=symmetrize).fit(X, known)
        assert unlabelled_accuracy(fitted.transduction_, truth, known) > floor


def test_density_accuracy_floors(moons, digits):
    X, truth, known = moons
    assert unlabelled_accuracy(DensityClustering(eps=0.1).fit_predict(X, known), truth, known) > 0.95
    X, truth, known = digits
    assert unlabelled_accuracy(DensityClustering(eps=20.0, min_samples=10).fit_predict(X, known), truth, known) > 0.8


def far_graph(X):
    """One stored neighbour per row, at distances far beyond the unit scale."""
    from sklearn.neighbors import kneighbors_graph
    return kneighbors_graph(X, 1, mode="distance") * 1e300


# A refit that raises must leave the fitted model as it was. (model, bad refit, answers)
FAILED_REFITS = [
    pytest.param(lambda: KNNLabelPropagation(n_neighbors=4, metric="precomputed"),
                 lambda X, y: (far_graph(X), y), "predict_proba", id="graph-too-few-neighbours"),
    pytest.param(lambda: KNNLabelPropagation(n_neighbors=4),
                 lambda X, y: (X[:, ::-1] * 1e300, np.full_like(y, -1)), "predict_proba", id="graph-no-label"),
    pytest.param(lambda: DensityClustering(eps=0.3, min_samples=4, metric="precomputed"),
                 lambda X, y: (-np.abs(far_graph(X).toarray()), y), "predict", id="density-negative"),
    pytest.param(lambda: DensityClustering(eps=0.3, min_samples=4),
                 lambda X, y: (X[:, ::-1] * 1e300, y[:-1]), "predict", id="density-short-y"),
]


@pytest.mark.parametrize("make, bad, answer", FAILED_REFITS)
def test_a_failed_refit_leaves_the_model_as_it_was(moons, make, bad, answer):
    from sklearn.metrics import pairwise_distances
    X, truth, known = moons
    y = np.where(known, truth, -1)
    model = make()
    precomputed = model.metric == "precomputed"
    new = X[::11] + 0.05
    queries = pairwise_distances(new, X) if precomputed else new
    model.fit(pairwise_distances(X) if precomputed else X, y)
    before, state = getattr(model, answer)(queries), dict(vars(model))
    with pytest.raises(ValueError):
        model.fit(*bad(X, y))
    assert vars(model).keys() == state.keys() and all(vars(model)[key] is value for key, value in state.items())
    np.testing.assert_array_equal(getattr(model, answer)(queries), before)

"""Parameters from the labels: eps="auto", hidden-label folds and search, labelled-only scores."""

import numpy as np
import pytest
from scipy.sparse.csgraph import connected_components
from sklearn.base import BaseEstimator
from sklearn.datasets import make_circles, make_moons
from sklearn.metrics import accuracy_score, balanced_accuracy_score, pairwise_distances
from sklearn.neighbors import NearestNeighbors, radius_neighbors_graph

from varnex import DensityClustering, KNNLabelPropagation
from varnex._radius import _Neighbourhoods, conflict_radius, core_distances
from varnex._search import index_samples
from varnex.model_selection import HiddenLabelSearchCV, HiddenLabelSplit


def labelled_draw(truth, per_class, seed):
    rng = np.random.default_rng(seed)
    known = np.full(truth.shape[0], -1)
    for label in np.unique(truth):
        chosen = rng.choice(np.flatnonzero(truth == label), per_class, replace=False)
        known[chosen] = label
    return known


def reference_conflict(X, known, min_samples):
    """Smallest radius joining two classes, from the full distance matrix: the first
    level of w = max(s_p, s_q, d) whose graph connects two labels."""
    D = pairwise_distances(X)
    core = np.sort(D, axis=1)[:, min_samples - 1]
    spread = np.where(known >= 0, 0.0, core)
    W = np.maximum(D, np.maximum.outer(spread, spread))
    labelled = np.flatnonzero(known >= 0)
    for level in np.unique(W):
        _, component = connected_components(W <= level, directed=False)
        for a in labelled:
            if np.any((component[labelled] == component[a]) & (known[labelled] != known[a])):
                return level
    return np.inf


@pytest.mark.parametrize("shape, min_samples, seed", [
    ("moons", 5, 0), ("moons", 3, 1), ("circles", 5, 2), ("blobs", 4, 3), ("blobs", 1, 4)])
def test_conflict_radius_matches_the_full_distance_matrix(shape, min_samples, seed):
    if shape == "moons":
        X, truth = make_moons(160, noise=0.12, random_state=seed)
    elif shape == "circles":
        X, truth = make_circles(160, noise=0.06, factor=0.5, random_state=seed)
    else:   # blobs close enough to touch: the k-NN graph holds no edge across the gap
        rng = np.random.default_rng(seed)
        X = np.r_[rng.normal(size=(80, 2)), rng.normal(size=(80, 2)) + [3.5, 0]]
        truth = np.repeat([0, 1], 80)
    known = labelled_draw(truth, 4, seed)
    index = index_samples(X)
    distances, indices = index.graph(10)
    spread = np.where(known >= 0, 0.0, core_distances(distances, min_samples))
    edges = np.repeat(np.arange(len(X)), 10), indices.ravel(), distances.ravel().astype(float)
    found, _ = conflict_radius(index, edges, spread, known)
    assert found == pytest.approx(reference_conflict(X, known, min_samples), rel=1e-6)


@pytest.mark.parametrize("spacing, gap, min_samples", [(0.1, 2.0, 3), (1.0, 15.0, 5), (0.01, 0.5, 2)])
def test_auto_radius_lies_between_the_spacing_and_the_gap(spacing, gap, min_samples):
    # Three runs of evenly spaced samples on a line, gaps between them: any radius from
    # the spacing up to the gap separates them, none outside that range does.
    run = np.arange(40) * spacing
    X = np.r_[run, run + run[-1] + gap, run + 2 * (run[-1] + gap)][:, None]
    truth = np.repeat([0, 1, 2], 40)
    known = labelled_draw(truth, 3, 0)
    model = DensityClustering(eps="auto", min_samples=min_samples).fit(X, known)
    assert spacing <= model.eps_ < gap
    np.testing.assert_array_equal(model.labels_, truth)


def test_auto_radius_on_two_moons_with_one_percent_labelled():
    X, truth = make_moons(3000, noise=0.1, random_state=0)
    known = labelled_draw(truth, 15, 0)
    model = DensityClustering(eps="auto").fit(X, known)
    assert model.eps_rule_ == "labels"
    assert accuracy_score(truth, model.labels_) >= 0.98


def test_auto_radius_is_the_same_from_precomputed_distances_and_at_any_scale():
    X, truth = make_moons(300, noise=0.1, random_state=3)
    known = labelled_draw(truth, 5, 3)
    plain = DensityClustering(eps="auto").fit(X, known)
    scaled = DensityClustering(eps="auto").fit(X * 2.0**70, known)
    precomputed = DensityClustering(eps="auto", metric="precomputed").fit(pairwise_distances(X), known)
    graph = radius_neighbors_graph(X, 0.5, mode="distance")   # wide enough for every path that matters
    stored = DensityClustering(eps="auto", metric="precomputed").fit(graph, known)
    assert scaled.eps_ == pytest.approx(plain.eps_ * 2.0**70, rel=1e-6)
    for other in (precomputed, stored):
        assert other.eps_ == pytest.approx(plain.eps_, rel=1e-6)
        np.testing.assert_array_equal(other.clusters_, plain.clusters_)   # post-processing differs


def test_a_given_radius_after_an_auto_one_is_reported_as_given():
    X, truth = make_moons(200, noise=0.1, random_state=1)
    model = DensityClustering(eps="auto").fit(X, labelled_draw(truth, 4, 1))
    assert model.eps_rule_ == "labels"
    model.set_params(eps=0.2).fit(X, labelled_draw(truth, 4, 1))
    assert model.eps_ == 0.2 and model.eps_rule_ is None


@pytest.mark.parametrize("labels", ["none", "one class"])
def test_fallback_to_the_knee_of_the_core_distances_warns(labels):
    # A dense grid and far outliers: the knee separates them.
    grid = np.stack(np.meshgrid(np.arange(15), np.arange(15)), -1).reshape(-1, 2) * 0.1
    outliers = np.array([[10.0, 10.0], [-10.0, 5.0], [20.0, -3.0], [5.0, 30.0]])
    X = np.r_[grid, outliers]
    y = None if labels == "none" else np.r_[0, np.full(len(X) - 1, -1)]
    with pytest.warns(UserWarning, match="two classes"):
        model = DensityClustering(eps="auto", min_samples=4, postprocess=False).fit(X, y)
    core = NearestNeighbors(n_neighbors=4).fit(X).kneighbors(X)[0][:, -1]
    assert model.eps_rule_ == "k-distance"
    assert core[:len(grid)].max() <= model.eps_ < core[len(grid):].min()
    assert np.all(model.clusters_[len(grid):] == -1) and np.all(model.clusters_[:len(grid)] != -1)


@pytest.mark.parametrize("metric, p", [("euclidean", 2), ("manhattan", 2), ("chebyshev", 2), ("minkowski", 3),
                                       ("cosine", 2)])
def test_smaller_radii_keep_the_pairs_a_new_search_finds(metric, p):
    X = np.random.default_rng(5).normal(size=(150, 3))
    model = DensityClustering(metric=metric, p=p)
    neighbourhoods = _Neighbourhoods(model, index_samples(X, metric, p), X, None)
    neighbourhoods.search(1.0)
    indptr, indices, _ = neighbourhoods.within(0.6)
    search = NearestNeighbors(metric=metric, p=p).fit(X)
    for row, expected in enumerate(search.radius_neighbors(X, radius=0.6, return_distance=False)):
        assert set(indices[indptr[row]:indptr[row + 1]]) == set(expected) - {row}


# -- folds that hide labels -----------------------------------------------------------------

Y_KINDS = {
    "ints": np.array([0, 0, 0, 1, 1, 1, 1, 2, -1, -1, -1, 0, 1, 2, 2, -1]),
    "strings": np.array(["a", "a", "b", "-1", "b", "c", "c", "-1", "a", "b", "c", "-1"]),
    "objects": np.array(["x", -1, "y", "x", "y", "x", "-1", "y", "z"], dtype=object),
    "one class with one label": np.array([5, 5, 5, 5, 9, -1, -1]),
}


@pytest.mark.parametrize("y", Y_KINDS.values(), ids=Y_KINDS.keys())
@pytest.mark.parametrize("n_splits", [2, 3])
def test_folds_hide_each_spare_label_once_and_fit_every_sample(y, n_splits):
    X = np.zeros((y.shape[0], 1))
    labelled = ~np.isin(y.astype(str), ["-1"])
    counts = {label: np.count_nonzero(y[labelled] == label) for label in set(y[labelled])}
    splits = list(HiddenLabelSplit(n_splits, random_state=0).split(X, y))
    assert len(splits) == n_splits
    hidden_count = np.zeros(y.shape[0], dtype=int)
    for fitted, hidden in splits:
        np.testing.assert_array_equal(fitted, np.arange(y.shape[0]))
        assert labelled[hidden].all()
        hidden_count[hidden] += 1
        shown = HiddenLabelSplit.hide(y, hidden)
        assert np.all(shown[hidden].astype(str) == "-1")
        np.testing.assert_array_equal(np.delete(shown, hidden), np.delete(y, hidden).astype(shown.dtype))
        for label, count in counts.items():   # stratified: each fold a fair share of each class
            share = np.count_nonzero(y[hidden] == label)
            assert count < 2 and share == 0 or abs(share - count / n_splits) < 1
    expected = np.array([labelled[i] and counts[y[i]] >= 2 for i in range(y.shape[0])])
    np.testing.assert_array_equal(hidden_count, expected.astype(int))


def test_folds_are_reproducible_and_refuse_labels_with_nothing_to_spare():
    y = np.repeat([0, 1, 2, -1], 10)
    first = [h for _, h in HiddenLabelSplit(3, random_state=4).split(y[:, None], y)]
    again = [h for _, h in HiddenLabelSplit(3, random_state=4).split(y[:, None], y)]
    other = [h for _, h in HiddenLabelSplit(3, random_state=5).split(y[:, None], y)]
    assert all(np.array_equal(a, b) for a, b in zip(first, again))
    assert not all(np.array_equal(a, b) for a, b in zip(first, other))
    with pytest.raises(ValueError, match="no class has two"):
        list(HiddenLabelSplit().split(np.zeros((3, 1)), np.array([0, 1, -1])))


class Recorder(BaseEstimator):
    """Labels every sample by the nearest labelled one along the line; records its fits."""

    fits = []

    def __init__(self, shift=0):
        self.shift = shift

    def fit(self, X, y):
        Recorder.fits.append((X.shape[0], y.copy()))
        labelled = np.flatnonzero(y != -1)
        nearest = np.abs(X[:, :1] + self.shift - X[labelled, 0]).argmin(axis=1)
        self.transduction_ = y[labelled][nearest]
        return self


def test_search_fits_every_sample_and_scores_hidden_labels_only():
    rng = np.random.default_rng(0)
    X = np.sort(rng.uniform(0, 10, 60))[:, None]
    truth = (X[:, 0] > 5).astype(int)
    y = np.where(rng.random(60) < 0.3, truth, -1)
    Recorder.fits = []
    search = HiddenLabelSearchCV(Recorder(), {"shift": [0.0, 3.0]}, cv=3, random_state=1,
                                 scoring=balanced_accuracy_score).fit(X, y)
    folds = [h for _, h in HiddenLabelSplit(3, random_state=1).split(X, y)]
    fits = list(Recorder.fits)
    assert len(fits) == 2 * 3 + 1
    for i, (n_fitted, shown) in enumerate(fits[:-1]):
        hidden = folds[i % 3]
        assert n_fitted == 60 and np.all(shown[hidden] == -1)
        params = search.cv_results_["params"][i // 3]
        expected = balanced_accuracy_score(y[hidden], Recorder(**params).fit(X, shown).transduction_[hidden])
        assert search.cv_results_[f"split{i % 3}_test_score"][i // 3] == pytest.approx(expected)
    np.testing.assert_array_equal(fits[-1][1], y)   # the refit sees every label
    assert search.best_params_ == {"shift": 0.0} and search.cv_results_["rank_test_score"].tolist() == [1, 2]


@pytest.mark.parametrize("estimator, grid", [
    (DensityClustering(), {"eps": [0.02, 0.12, 0.5]}),
    (KNNLabelPropagation(), {"n_neighbors": [3, 9]}),
])
def test_search_end_to_end(estimator, grid):
    X, truth = make_moons(400, noise=0.1, random_state=0)
    y = labelled_draw(truth, 12, 0)
    search = HiddenLabelSearchCV(estimator, grid, random_state=0).fit(X, y)
    best = search.cv_results_["mean_test_score"].argmax()
    assert search.best_params_ == search.cv_results_["params"][best]
    assert search.best_estimator_.get_params()[next(iter(grid))] == search.best_params_[next(iter(grid))]
    assert accuracy_score(truth, search.transduction_) >= 0.95


@pytest.mark.parametrize("estimator", [DensityClustering(eps=0.15, min_samples=2), KNNLabelPropagation(n_neighbors=2)])
@pytest.mark.parametrize("marker, classes", [(-1, np.array([3, 8])), ("-1", np.array(["p", "q"]))])
def test_score_counts_labelled_samples_only(estimator, marker, classes):
    X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    y = np.array([classes[0], marker, marker, marker, marker, classes[1]])
    model = estimator.fit(X, y)
    queries = np.array([[0.05], [5.05], [0.15], [9.0]])
    asked = np.array([classes[0], classes[0], marker, classes[1]])
    predicted = model.predict(queries)
    weights = np.array([1.0, 3.0, 5.0, 1.0])
    labelled = [0, 1, 3]
    assert model.score(queries, asked) == pytest.approx(accuracy_score(asked[labelled], predicted[labelled]))
    assert model.score(queries, asked, weights) == pytest.approx(
        accuracy_score(asked[labelled], predicted[labelled], sample_weight=weights[labelled]))
    with pytest.raises(ValueError, match="no labelled sample"):
        model.score(queries, np.full(4, marker))

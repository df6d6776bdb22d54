"""Post-processing's cluster centres lie where the metric lives, at any weight."""

import numpy as np
import pytest
from sklearn.metrics import pairwise_distances
from sklearn.metrics.pairwise import haversine_distances

from varnex import DensityClustering

FIJI, SYDNEY = np.radians([-17.7, 179.9]), np.radians([-33.9, 151.2])


def around(centre, n, spread, rng):
    """(latitude, longitude) radians around `centre`, longitudes wrapped into [-pi, pi)."""
    points = centre + rng.normal(0, spread, (n, 2))
    points[:, 1] = (points[:, 1] + np.pi) % (2 * np.pi) - np.pi
    return points


def fiji_and_sydney():
    """Two dense labelled clusters, Fiji's across longitude ±180°, and sparse points
    around Fiji left to post-processing."""
    rng = np.random.default_rng(0)
    X = np.vstack([around(FIJI, 200, 0.01, rng), around(SYDNEY, 200, 0.01, rng), around(FIJI, 20, 0.05, rng)])
    y = np.full(len(X), -1)
    y[0], y[200] = 0, 1
    return X, y


@pytest.mark.parametrize("weights", [None, np.full(420, 1e308), np.r_[np.full(210, 3.0), np.ones(210)]])
def test_haversine_centres_are_mean_directions_on_the_sphere(weights):
    X, y = fiji_and_sydney()
    fitted = DensityClustering(eps=0.005, min_samples=5, metric="haversine").fit(X, y, sample_weight=weights)
    # Independent reference: the point minimising the summed squared chord lengths is
    # the normalised mean of the unit vectors; its great-circle distance to the centre
    # found stays small, and each centre lies by its own cluster.
    for code, centre in zip(fitted.centroid_labels_, fitted.centroids_):
        members = X[fitted.clusters_ == code]
        share = np.ones(len(members)) if weights is None else weights[fitted.clusters_ == code] / weights.max()
        unit = np.column_stack([np.cos(members[:, 0]) * np.cos(members[:, 1]),
                                np.cos(members[:, 0]) * np.sin(members[:, 1]), np.sin(members[:, 0])])
        mean = share @ unit
        reference = np.array([[np.arcsin(mean[2] / np.linalg.norm(mean)), np.arctan2(mean[1], mean[0])]])
        assert haversine_distances(centre[None], reference)[0, 0] < 1e-9
        assert haversine_distances(centre[None], [FIJI if code == 0 else SYDNEY])[0, 0] < 0.01
    assert np.all(fitted.labels_[400:] == 0)
    assert fitted.predict(np.radians([[-17.0, -179.5]]))[0] == 0


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.DataConversionWarning")   # jaccard reads booleans
@pytest.mark.parametrize("metric, eps", [("hamming", 0.25), ("jaccard", 0.4), (lambda a, b: np.abs(a - b).sum(), 2)])
def test_centres_without_a_mean_are_members_nearest_all_others(metric, eps):
    rng = np.random.default_rng(1)
    X = (rng.random((60, 8)) < np.r_[np.full(30, 0.05), np.full(30, 0.95)][:, None]).astype(float)
    y = np.full(60, -1)
    y[0], y[30] = 0, 1
    fitted = DensityClustering(eps=eps, min_samples=3, metric=metric).fit(X, y)
    for code, centre in zip(fitted.centroid_labels_, fitted.centroids_):
        members = X[fitted.clusters_ == code]
        assert len(members) > 5
        totals = pairwise_distances(members, metric=metric).sum(axis=1)
        np.testing.assert_array_equal(centre, members[np.argmin(totals)])


def test_huge_weights_give_the_plain_mean():
    rng = np.random.default_rng(2)
    X = np.vstack([rng.normal(0, 0.1, (50, 2)), rng.normal(3, 0.1, (50, 2))])
    y = np.full(100, -1)
    y[0], y[50] = 0, 1
    plain = DensityClustering(eps=0.5, min_samples=3).fit(X, y)
    heavy = DensityClustering(eps=0.5, min_samples=3).fit(X, y, sample_weight=np.full(100, 1e308))
    np.testing.assert_allclose(heavy.centroids_, [X[:50].mean(axis=0), X[50:].mean(axis=0)], rtol=1e-12)
    np.testing.assert_array_equal(heavy.labels_, plain.labels_)

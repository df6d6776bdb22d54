"""The search layer's nearest training samples of new samples, on every route, against
all-pairs distances."""

import numpy as np
import pytest
from scipy import sparse
from scipy.spatial.distance import cdist

from varnex import DensityClustering, KNNLabelPropagation
from varnex._search import PrecomputedIndex, SampleIndex

ROUTES = [  # metric, p, features: k-d tree, brute force in many features, scikit-learn's
    ("euclidean", 2, 3), ("minkowski", 3, 2), ("euclidean", 2, 20), ("manhattan", 1, 30), ("cosine", 2, 4)]


def reference_nearest(D, within):
    nearest = D.argmin(axis=1)
    return np.where(D[np.arange(len(D)), nearest] <= within, nearest, -1)


@pytest.mark.parametrize("metric, p, features", ROUTES)
def test_nearest_within_a_radius_is_the_closest_sample(metric, p, features):
    rng = np.random.default_rng(features)
    X, queries = rng.normal(size=(300, features)), rng.normal(size=(80, features))
    D = cdist(queries, X, metric={"manhattan": "cityblock"}.get(metric, metric), **({"p": p} if metric == "minkowski" else {}))
    within = float(np.quantile(D.min(axis=1), 0.6))   # some queries have no sample that close
    np.testing.assert_array_equal(SampleIndex(X, metric, p).nearest(queries, within), reference_nearest(D, within))


@pytest.mark.parametrize("form", [np.asarray, sparse.csr_matrix])
def test_nearest_by_precomputed_distances_reads_only_the_chosen_columns(form):
    rng = np.random.default_rng(1)
    D = rng.uniform(1, 2, size=(50, 40))
    columns = np.flatnonzero(rng.uniform(size=40) < 0.3)
    got = PrecomputedIndex(None, columns=columns).nearest(form(D), within=1.5)
    np.testing.assert_array_equal(got, reference_nearest(D[:, columns], 1.5))


@pytest.mark.parametrize("make", [lambda n_jobs: DensityClustering(eps=0.3, min_samples=4, n_jobs=n_jobs),
                                  lambda n_jobs: KNNLabelPropagation(n_neighbors=5, n_jobs=n_jobs)])
def test_n_jobs_zero_runs_on_one_thread(make):
    rng = np.random.default_rng(2)
    X = rng.normal(size=(200, 2))
    y = np.where(rng.uniform(size=200) < 0.1, (X[:, 0] > 0).astype(int), -1)
    np.testing.assert_array_equal(make(0).fit(X, y).transduction_, make(None).fit(X, y).transduction_)

"""The approximate search as a route of the estimator: the route choice, labels that do
not depend on n_jobs, answers against NumPy's exact ones, and the progress reports."""

import io

import numpy as np
import pytest
from scipy import sparse
from scipy.spatial.distance import cdist

from varnex import KNNLabelPropagation
from varnex._progress import Progress
from varnex._search import SampleIndex
from varnex._search import approximate_samples
from varnex._search.approximate_samples import ApproximateSampleIndex
from varnex._search.routes import takes_approximate
from test_approximate import embeddings


def labelled(n, d=48, seed=0, share=0.03):
    """Embeddings, their cluster by nearest centre, and a few of them known."""
    X = embeddings(n, d, seed)
    rng = np.random.default_rng(seed)
    truth = np.argmin(cdist(X, X[rng.choice(n, 4, replace=False)]), axis=1)
    y = np.full(n, -1)
    known = rng.choice(n, int(share * n), replace=False)
    y[known] = truth[known]
    return X, y, truth


def reference(queries, X, metric):
    """Exact neighbour distances by NumPy, smaller nearer; for the inner product the
    documented sqrt(|x| * M - <x, y>)."""
    queries, X = queries.astype(np.float64), X.astype(np.float64)
    if metric != "inner_product":
        return cdist(queries, X, metric)
    bound = np.linalg.norm(queries, axis=1)[:, None] * np.linalg.norm(X, axis=1).max()
    return np.sqrt(np.maximum(bound - queries @ X.T, 0))


@pytest.mark.parametrize("algorithm, shape, metric, approximate", [
    ("auto", (200_000, 384), "euclidean", True),     # exact brute force: many minutes
    ("auto", (200_000, 384), "manhattan", False),
    ("auto", (2_000, 8), "inner_product", True),     # no exact search takes it
    ("auto", (2_000, 384), "cosine", False),
    ("approximate", (2_000, 8), "cosine", True),
    ("brute", (200_000, 384), "euclidean", False),
])
def test_route_choice(algorithm, shape, metric, approximate):
    X = np.broadcast_to(np.float32(0), shape)   # the rule reads only the shape
    assert takes_approximate(algorithm, X, metric) is approximate
    assert takes_approximate(algorithm, sparse.csr_matrix((shape[0], 20)), metric) is (algorithm == "approximate")


@pytest.mark.parametrize("algorithm, metric, n_features, taken", [
    ("auto", "euclidean", 48, "brute"),
    ("auto", "euclidean", 8, "kd_tree"),
    ("auto", "inner_product", 48, "approximate"),
    ("approximate", "cosine", 48, "approximate"),
    ("ball_tree", "euclidean", 48, "ball_tree"),
    ("kd_tree", "euclidean", 48, "kd_tree"),
])
def test_fitted_search_is_recorded_and_labels_match_the_exact_route(algorithm, metric, n_features, taken):
    X, y, truth = labelled(1200, n_features)
    model = KNNLabelPropagation(algorithm=algorithm, metric=metric, random_state=0).fit(X, y)
    assert model.algorithm_ == taken
    if metric != "inner_product":
        exact = KNNLabelPropagation(algorithm="brute", metric=metric).fit(X, y)
        assert np.mean(model.transduction_ == exact.transduction_) > 0.97
        assert np.mean(model.predict(X[:300]) == exact.predict(X[:300])) > 0.97


def test_labels_do_not_depend_on_n_jobs():
    X, y, _ = labelled(3000)
    fits = [KNNLabelPropagation(algorithm="approximate", random_state=7, n_jobs=n_jobs).fit(X, y)
            for n_jobs in (1, 2)]
    np.testing.assert_array_equal(fits[0].transduction_, fits[1].transduction_)
    np.testing.assert_array_equal(fits[0].predict_proba(X[:500]), fits[1].predict_proba(X[:500]))


def test_inner_product_on_unit_length_samples_labels_as_euclidean():
    X, y, _ = labelled(2000)
    X /= np.linalg.norm(X, axis=1, keepdims=True)
    inner, euclidean = (KNNLabelPropagation(algorithm="approximate", metric=metric, random_state=0).fit(X, y)
                        for metric in ("inner_product", "euclidean"))
    np.testing.assert_array_equal(inner.transduction_, euclidean.transduction_)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
def test_graph_and_joining_match_numpy_where_every_cell_is_probed(metric):
    # 200 samples make 14 cells, fewer than the 16 probes: the search is exact.
    X = embeddings(260, 24, seed=3)
    X, queries = X[:200], X[200:]
    index = ApproximateSampleIndex(X, metric, random_state=0)
    D = reference(X, X, metric)
    np.fill_diagonal(D, np.inf)
    distances, indices = index.graph(5, np.int32)
    assert indices.dtype == np.int32
    np.testing.assert_allclose(distances, np.sort(D, axis=1)[:, :5], rtol=1e-4, atol=1e-4)
    found, _ = index.kneighbors(queries, 3)
    np.testing.assert_allclose(found, np.sort(reference(queries, X, metric), axis=1)[:, :3], rtol=1e-4, atol=1e-4)
    candidates, asking = np.arange(0, 200, 3), np.arange(1, 200, 3)
    joined, nearest = index.nearest_among(candidates, asking)
    np.testing.assert_allclose(joined, D[asking][:, candidates].min(axis=1), rtol=1e-4, atol=1e-4)
    np.testing.assert_allclose(D[asking, nearest], joined, rtol=1e-4, atol=1e-4)


def test_joining_through_an_index_of_the_candidates(monkeypatch):
    monkeypatch.setattr(approximate_samples, "_EXACT_JOIN_PAIRS", 0)
    X = embeddings(3000, seed=4)
    index = ApproximateSampleIndex(X, random_state=0)
    candidates, asking = np.arange(0, 3000, 2), np.arange(1, 3000, 2)
    _, nearest = index.nearest_among(candidates, asking)
    exact = candidates[np.argmin(cdist(X[asking], X[candidates]), axis=1)]
    assert np.mean(nearest == exact) > 0.95


@pytest.mark.parametrize("parameters, X, message", [
    ({"algorithm": "approximate", "metric": "manhattan"}, None, "takes metric"),
    ({"algorithm": "brute", "metric": "inner_product"}, None, "searched by algorithm='approximate'"),
    ({"algorithm": "approximate"}, sparse.random(40, 20, density=0.3, format="csr", random_state=0), "dense"),
])
def test_refused_combinations(parameters, X, message):
    X = embeddings(40) if X is None else X
    with pytest.raises(ValueError, match=message):
        KNNLabelPropagation(**parameters).fit(X, np.r_[0, 1, np.full(38, -1)])


def test_float32_samples_are_searched_without_a_copy():
    X, y, _ = labelled(500)
    model = KNNLabelPropagation(algorithm="approximate", random_state=0).fit(X, y)
    assert np.shares_memory(model._index._index.samples, X)


def test_verbose_fit_reports_stages_with_counts(capsys):
    X, y, _ = labelled(1000)
    KNNLabelPropagation(algorithm="approximate", random_state=0, verbose=1).fit(X, y)
    err = capsys.readouterr().err
    for line in ("KNNLabelPropagation: 7-nearest-neighbour search: 1000 rows ...",
                 "KNNLabelPropagation: 7-nearest-neighbour search done: 1000 rows in ",
                 "KNNLabelPropagation: label propagation (synchronous) done in "):
        assert line in err


@pytest.mark.parametrize("n_features, stage", [(4, "7-nearest search (kd_tree)"),
                                               (20, "7-nearest search by product tiles")])
def test_exact_searches_report_each_block(monkeypatch, n_features, stage):
    from varnex._search import blocks

    monkeypatch.setattr(blocks, "CHUNK_ROWS", 256)
    stream = io.StringIO()
    X = np.random.default_rng(0).normal(size=(600, n_features))
    SampleIndex(X, progress=Progress("fit", stream=stream, interval=0)).graph(7)
    lines = stream.getvalue().splitlines()
    # 256, 512 and 600 of 600 rows: the tile blocks and the k-d tree's chunks alike.
    assert [line for line in lines if "/600 rows" in line][-1].startswith(f"fit: {stage}: 600/600 rows (100%)")
    assert sum("/600 rows" in line for line in lines) == 3


@pytest.mark.parametrize("factor", [1.0, 2.0**100])   # the second brought to unit scale
def test_float32_samples_on_an_exact_route_label_as_their_float64_copy(factor):
    X, y, _ = labelled(600)
    X *= np.float32(factor)
    X[:, 0] = np.float32(1e-10)   # far below the largest: subnormal if scaled in single precision
    single, double = (KNNLabelPropagation(algorithm="brute").fit(data, y) for data in (X, X.astype(np.float64)))
    np.testing.assert_array_equal(single.transduction_, double.transduction_)
    np.testing.assert_array_equal(single.predict_proba(X[:50]), double.predict_proba(X[:50]))

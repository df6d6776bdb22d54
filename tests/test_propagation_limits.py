"""KNNLabelPropagation keeps its limits: the sweep budget over the whole fit, and memory
that grows with what a step has to do, not with the graph or the class count."""

import tracemalloc
import warnings

import numpy as np
import pytest
from sklearn.exceptions import ConvergenceWarning

from varnex import DensityClustering, KNNLabelPropagation
from varnex import _graph_pipeline as pipeline


def spread_line(n=300):
    """Points ever further apart on a line, labelled at both ends: labelled in 45
    sweeps, and a propagation cut short leaves a stretch to the clean-up step."""
    X = np.arange(n, dtype=float)[:, None] ** 1.5
    y = np.full(n, -1)
    y[0], y[-1] = 0, 1
    return X, y


@pytest.mark.parametrize("max_iter, warns", [(1, True), (10, True), (40, True), (45, False), (50000, False)])
def test_max_iter_bounds_every_sweep_of_a_fit(max_iter, warns):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fitted = KNNLabelPropagation(max_iter=max_iter).fit(*spread_line())
    assert fitted.n_iter_ <= max_iter
    assert any(issubclass(w.category, ConvergenceWarning) for w in caught) == warns
    assert np.any(fitted.transduction_ == -1) == warns


def closed_group_graph(n_main, k=4):
    """A k-NN graph in which each main node lists the k before it (every 100th is
    labelled), and a group of k + 1 nodes lists only itself; main node 5 lists the
    group's first node."""
    rows = np.zeros((n_main + k + 1, k), dtype=np.int32)
    main = np.arange(n_main)
    rows[:n_main] = (main[:, None] - 1 - np.arange(k)) % n_main
    rows[5, -1] = n_main
    group = n_main + np.arange(k + 1)
    rows[n_main:] = [np.delete(group, i) for i in range(k + 1)]
    distances = np.random.default_rng(0).uniform(1, 2, rows.shape).astype(np.float32)
    known = np.full(rows.shape[0], -1, dtype=np.int32)
    known[:n_main:100] = 0
    known[1:n_main:200] = 1
    return pipeline.knn_graph(rows, distances), known


@pytest.mark.parametrize("synchronous", [True, False])
def test_clean_up_after_the_first_propagation_scales_with_what_is_left(synchronous):
    knn, known = closed_group_graph(400_000)
    edges = knn.indices.shape[0]
    tracemalloc.start()
    try:
        labels, _ = pipeline.label_graph(knn, knn, known, 50000, 1e-3, synchronous)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    # The group is reached only through node 5's edge, listed back from the group.
    assert np.all(labels != -1) and np.all(labels[-5:] == labels[5])
    # The labels themselves and one byte per edge to find who lists the group.
    assert peak < 4 * known.shape[0] + 2 * edges


def test_predict_memory_does_not_grow_with_rows_times_classes():
    rng = np.random.default_rng(0)
    n_classes = 1000
    X = rng.normal(size=(3 * n_classes, 3))
    y = np.repeat(np.arange(n_classes), 3)
    y[1::3] = -1
    fitted = KNNLabelPropagation().fit(X, y)
    queries = rng.normal(size=(5000, 3))
    tracemalloc.start()
    try:
        predicted = fitted.predict(queries)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < queries.shape[0] * n_classes * 8 / 4   # a quarter of the full table
    np.testing.assert_array_equal(predicted, fitted.classes_[fitted.predict_proba(queries).argmax(axis=1)])


@pytest.mark.parametrize("estimator", [
    KNNLabelPropagation(n_neighbors=True), KNNLabelPropagation(max_iter=False), KNNLabelPropagation(n_jobs=True),
    DensityClustering(min_samples=True), DensityClustering(threshold=False), DensityClustering(p=True),
])
def test_bools_are_refused_where_a_count_is_due(estimator):
    X, y = spread_line(20)
    with pytest.raises(ValueError, match="must be an int, not a bool"):
        estimator.fit(X, y)

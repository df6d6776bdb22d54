"""KNNLabelPropagation's two propagation rules: the sequential one is the index-order
propagation of weighted_label_propagation, the synchronous one ignores the row order."""

import numpy as np
import pytest
from sklearn.datasets import load_digits
from sklearn.neighbors import NearestNeighbors

from varnex import KNNLabelPropagation
from varnex.algorithms.src.linka.binaries.linka_bfs import find_connected_components
from varnex.algorithms.src.linka.binaries.linka_connect import connect_unlabeled
from varnex.algorithms.src.linka.binaries.linka_lp import weighted_label_propagation
from varnex.graph import GraphWrapper, _AlgorithmInput
from graph_reference import add_reverse_edges, edge_weights


def blobs(seed, n=400, labelled=0.05, far_group=False):
    """Four Gaussian blobs in 5-D (continuous draws: no two distances tie) with a few
    labels per blob; with `far_group`, a fifth group of 3 unlabelled samples far away,
    which the joining step has to reach."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 4, (4, 5))
    truth = rng.integers(0, 4, n)
    X = centres[truth] + rng.normal(0, 1.5, (n, 5))
    y = np.full(n, -1)
    for c in range(4):
        chosen = rng.choice(np.flatnonzero(truth == c), max(1, int(labelled * n / 4)), replace=False)
        y[chosen] = c
    if far_group:
        X = np.vstack([X, rng.normal(30, 0.5, (3, 5))])
        y = np.concatenate([y, np.full(3, -1)])
    return X, y


def index_order_pipeline(X, y, k):
    """The graph pipeline with weighted_label_propagation, step by step."""
    distances, indices = NearestNeighbors(n_neighbors=k).fit(X).kneighbors()
    knn, knn_weights = indices.astype(np.int64), edge_weights(distances)
    connections, weights = GraphWrapper.from_knn(knn), GraphWrapper.from_knn(knn_weights)
    labels = y.astype(np.int32)
    components, flags = find_connected_components(_AlgorithmInput(labels), connections)
    connect_unlabeled(knn, knn_weights, components, flags, connections, weights)
    weighted_label_propagation(connections, weights, labels)
    if add_reverse_edges(np.flatnonzero(labels == -1), knn, knn_weights, connections, weights):
        weighted_label_propagation(connections, weights, labels)
    return labels


@pytest.mark.parametrize("seed, k, far_group", [(0, 7, False), (1, 3, True), (2, 10, True), (3, 4, True)])
def test_sequential_rule_is_weighted_label_propagation(seed, k, far_group):
    X, y = blobs(seed, far_group=far_group)
    fitted = KNNLabelPropagation(n_neighbors=k, propagation="sequential").fit(X, y)
    np.testing.assert_array_equal(fitted.transduction_, index_order_pipeline(X, y, k))


# Neighbour counts at which every component of these graphs holds a label: the joining
# step, which visits components in index order, does not take part.
@pytest.mark.parametrize("seed, k", [(0, 7), (1, 10), (2, 12), (3, 8)])
def test_synchronous_labels_follow_the_rows_when_permuted(seed, k):
    X, y = blobs(seed)
    order = np.random.default_rng(seed + 100).permutation(len(y))
    plain = KNNLabelPropagation(n_neighbors=k).fit(X, y)
    permuted = KNNLabelPropagation(n_neighbors=k).fit(X[order], y[order])
    np.testing.assert_array_equal(permuted.transduction_, plain.transduction_[order])
    new = np.random.default_rng(seed).normal(0, 4, (20, 5))
    np.testing.assert_allclose(permuted.predict_proba(new), plain.predict_proba(new), rtol=1e-12)


@pytest.mark.parametrize("rule", ["synchronous", "sequential"])
def test_both_rules_join_unreached_groups_and_predict(rule):
    X, y = blobs(5, far_group=True)
    fitted = KNNLabelPropagation(n_neighbors=4, propagation=rule).fit(X, y)
    assert np.all(fitted.transduction_ >= 0)
    proba = fitted.predict_proba(X[-8:])
    assert proba.shape == (8, 4) and np.allclose(proba.sum(axis=1), 1)
    np.testing.assert_array_equal(fitted.predict(X[-8:]), fitted.classes_[proba.argmax(axis=1)])


@pytest.mark.parametrize("X, y, synchronous, sequential", [
    # Sample 0 has one neighbour of class 1 at distance 1 and four of class 0 at
    # distance 2: both totals are exactly 1, and the nearest neighbour's class wins.
    ([[0, 0], [1, 0], [2, 0], [-2, 0], [0, 2], [0, -2]], [-1, 1, 0, 0, 0, 0], 1, 1),
    # One neighbour of each class at distance 1: the smaller class wins, where the index
    # order takes the class listed first, which the search's order of ties decides.
    ([[0, 0], [-1, 0], [1, 0]], [-1, 1, 0], 0, None),
])
def test_ties_go_to_the_nearest_then_the_smallest_class(X, y, synchronous, sequential):
    X, k = np.array(X, float), len(X) - 1
    for rule, expected in (("synchronous", synchronous), ("sequential", sequential)):
        if expected is not None:
            assert KNNLabelPropagation(n_neighbors=k, propagation=rule).fit(X, y).transduction_[0] == expected, \
                rule


@pytest.mark.parametrize("rule", ["synchronous", "sequential"])
def test_a_large_tolerance_does_not_leave_samples_unlabelled(rule):
    # On the digits every score is below 0.01: the tolerance stop of
    # weighted_label_propagation ended a run of tolerance 1.5 after its first sweep,
    # with hundreds of samples still unlabelled (264 with these labels).
    X, y = load_digits(return_X_y=True)
    known = np.where(np.random.default_rng(0).random(len(y)) < 0.05, y, -1)
    fitted = KNNLabelPropagation(propagation=rule, tol=1.5).fit(X, known)
    assert np.all(fitted.transduction_ >= 0)

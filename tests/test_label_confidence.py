"""label_confidence_ measures each propagated label by its neighbours' final votes."""

import numpy as np
import pytest
from sklearn.datasets import load_digits, make_moons
from sklearn.neighbors import NearestNeighbors

from varnex import KNNLabelPropagation


def reference_confidence(X, labels, known, k):
    """Own label's share of the (1 / d)**2 votes of the k nearest others, by scikit-learn."""
    distances, indices = NearestNeighbors(n_neighbors=k).fit(X).kneighbors()
    distances = np.maximum(distances.astype(np.float32), np.finfo(np.float32).tiny).astype(np.float64)
    strength = (distances[:, :1] / distances) ** 2
    votes = labels[indices]
    share = (strength * (votes == labels[:, None])).sum(axis=1) / (strength * (votes >= 0)).sum(axis=1)
    return np.where(known, 1.0, share)


@pytest.mark.parametrize("k, symmetrize", [(7, False), (3, False), (10, True)])
def test_confidence_matches_an_independent_vote(k, symmetrize):
    X, _ = make_moons(300, noise=0.12, random_state=k)
    y = np.full(300, -1)
    y[::40] = np.arange(8) % 2
    fitted = KNNLabelPropagation(n_neighbors=k, symmetrize=symmetrize).fit(X, y)
    np.testing.assert_allclose(fitted.label_confidence_,
                               reference_confidence(X, fitted.transduction_, y != -1, k), rtol=1e-12)


def test_wrong_labels_are_the_less_confident():
    X, truth = load_digits(return_X_y=True)
    y = np.full(len(truth), -1)
    chosen = np.random.default_rng(0).choice(len(truth), 100, replace=False)
    y[chosen] = truth[chosen]
    fitted = KNNLabelPropagation().fit(X, y)
    right = fitted.transduction_ == truth
    unlabelled = y == -1
    confidence = fitted.label_confidence_
    assert confidence[unlabelled & ~right].mean() < confidence[unlabelled & right].mean() - 0.2

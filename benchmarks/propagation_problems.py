"""Data sets, labelled draws and the estimator's graph, shared by the propagation
benchmark and the refinement study.

The graph is the one KNNLabelPropagation fits on: each sample's k nearest neighbours
(itself excluded) as one-way lists, distances as float32 weights floored at the smallest
normal float32, joined until every sample can reach a labelled one. It is returned as
CSR arrays for linka_sweep.propagate.
"""

import numpy as np
from sklearn.datasets import (load_breast_cancer, load_digits, load_iris, load_wine, make_circles,
                              make_classification, make_moons)

from varnex import _graph_pipeline as pipeline
from varnex._search import SampleIndex
from varnex.algorithms.src.linka.binaries.linka_sweep import propagate

# name -> (loader, labelled share)
DATA_SETS = {
    "moons": (lambda: make_moons(3000, noise=0.1, random_state=0), 0.01),
    "circles": (lambda: make_circles(3000, noise=0.05, factor=0.5, random_state=0), 0.01),
    "digits": (lambda: load_digits(return_X_y=True), 0.05),
    "iris": (lambda: load_iris(return_X_y=True), 0.10),
    "wine": (lambda: load_wine(return_X_y=True), 0.10),
    "breast cancer": (lambda: load_breast_cancer(return_X_y=True), 0.10),
    "20-D": (lambda: make_classification(3000, 20, n_informative=10, n_classes=4, random_state=0), 0.05),
}


def load(name):
    X, y = DATA_SETS[name][0]()
    return np.asarray(X, np.float64), np.asarray(y)


def draw_labels(truth, share, seed):
    """-1 everywhere but a random `share` of the samples, at least one of each class."""
    rng = np.random.default_rng(seed)
    n = truth.shape[0]
    chosen = set(rng.choice(n, max(1, int(round(share * n))), replace=False).tolist())
    for c in np.unique(truth):
        if not any(truth[i] == c for i in chosen):
            chosen.add(int(rng.choice(np.flatnonzero(truth == c))))
    known = np.full(n, -1, np.int32)
    index = np.fromiter(chosen, np.int64)
    known[index] = np.searchsorted(np.unique(truth), truth[index])
    return known


class EstimatorGraph:
    """The joined k-NN graph of X for the known labels, as the estimator builds it, and
    the estimator's way out for groups left unlabelled (reverse edges, then once more)."""

    def __init__(self, X, known, k):
        neighbours = SampleIndex(X)
        distances, indices = neighbours.graph(k, pipeline.index_dtype(X.shape[0]))
        self.knn = pipeline.knn_graph(indices, distances)
        components = pipeline.components(self.knn, known)
        self.graph = pipeline.connect(self.knn, self.knn, components, neighbours.nearest_among)

    def csr(self):
        return self.graph

    def propagate(self, known, synchronous, exact_stop=False):
        """The estimator's propagation; with `exact_stop` (and a tolerance below every
        labelling's score change) the synchronous rule stops after its layers, without
        the closing re-vote."""
        labels = known.copy()
        propagate(*self.graph, labels, 50000, 1e-3, synchronous, exact_stop)
        left = np.flatnonzero(labels == -1)
        rescued = pipeline.reverse_edges(self.graph, self.knn, left) if left.size else None
        if rescued is not None:
            propagate(*rescued, labels, 50000, 1e-3, synchronous, exact_stop)
        return labels

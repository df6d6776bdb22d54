"""The graph pipeline as the GraphWrapper modules run it, for tests to compare against."""

import numpy as np

from varnex.algorithms.src.linka.binaries.linka_bfs import find_connected_components
from varnex.algorithms.src.linka.binaries.linka_connect import connect_unlabeled
from varnex.algorithms.src.linka.binaries.linka_lp import weighted_label_propagation
from varnex.graph import GraphWrapper, _AlgorithmInput


def random_knn(n, k, seed):
    """k distinct random out-neighbours per node (never itself), weights in (0.01, 1]."""
    rng = np.random.default_rng(seed)
    knn = np.array([rng.choice(np.delete(np.arange(n), i), size=k, replace=False) for i in range(n)], np.int64)
    return knn.reshape(n, k), rng.uniform(0.01, 1, (n, k)).astype(np.float32)


def connected_by_modules(knn, weights, known, connections=None, weight_graph=None):
    """The GraphWrapper pair after components and connect_unlabeled, or None where it
    raises its SystemError. By default the graph is the k-NN lists themselves."""
    if connections is None:
        connections, weight_graph = GraphWrapper.from_knn(knn), GraphWrapper.from_knn(weights)
    components, flags = find_connected_components(_AlgorithmInput(known), connections)
    try:
        connect_unlabeled(knn, weights, components, flags, connections, weight_graph)
    except SystemError:
        return None
    return connections, weight_graph


def propagated_by_module(connections, weight_graph, known):
    labels = np.asarray(known, np.int32).copy()
    weighted_label_propagation(connections, weight_graph, labels)
    return labels


WEIGHT_FLOOR = np.finfo(np.float32).tiny


def edge_weights(distances):
    """Distances as the estimator weighs edges: float32, floored at the smallest normal."""
    return np.maximum(distances.astype(np.float32), WEIGHT_FLOOR)


def add_reverse_edges(nodes, knn, knn_weights, connections, weights):
    """Let each of `nodes` also list the nodes that list it, in the GraphWrapper pair, as
    the estimator does for groups that one-way lists leave unlabelled; return whether
    any edge was added."""
    added = False
    for source, position in zip(*np.nonzero(np.isin(knn, nodes))):
        target = int(knn[source, position])
        if not connections.contains(target, int(source)):
            connections.append(target, int(source))
            weights.append(target, float(knn_weights[source, position]))
            added = True
    return added

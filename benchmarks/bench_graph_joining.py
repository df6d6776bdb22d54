"""The joining of closed groups against the k-NN search of the same fit.

100,000 two-moons samples, 0.1% labelled, 3 neighbours: many small groups list only
each other, so the connection gets stuck and the closed groups must be joined to
the reached part. The joining step (the connection, the closed groups, the nearest
search against the reached samples, the join edges) is timed against the k-NN search
that built the lists (index and queries, the estimator's route); target: at most 0.2.
"""

import time

import numpy as np
from sklearn.datasets import make_moons

from varnex import _graph_pipeline as pipeline
from varnex import _knn
from varnex.algorithms.src.linka.binaries import linka_arrays

N_POINTS = 100_000
K = 3
LABELLED_FRACTION = 0.001


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def search_graph(X):
    neighbours = _knn.Neighbours(X)
    return neighbours, neighbours.graph(K, np.int32)


def run():
    X, truth = make_moons(N_POINTS, noise=0.1, random_state=0)
    known = np.full(N_POINTS, -1, dtype=np.int32)
    chosen = np.random.default_rng(0).choice(N_POINTS, int(N_POINTS * LABELLED_FRACTION), replace=False)
    known[chosen] = truth[chosen]
    best_search = best_join = float("inf")
    for _ in range(3):
        (neighbours, (distances, indices)), t_search = timed(lambda: search_graph(X))
        knn = pipeline.knn_graph(indices, distances)
        components = pipeline.components(knn, known)
        _, t_join = timed(lambda: pipeline.connect(knn, knn, components, neighbours.nearest_among))
        best_search, best_join = min(best_search, t_search), min(best_join, t_join)

    # What the joining had to do: the closed groups of the nodes the rows cannot lead
    # to the reached part.
    reached = components[3].copy()
    _, stuck = linka_arrays.connect(knn, components, reached, knn)
    group, count = linka_arrays.closed_groups(knn[0], knn[1], reached)
    print(f"{N_POINTS} two-moons samples, {LABELLED_FRACTION:.1%} labelled, k={K} (best of 3)")
    print(f"  {np.count_nonzero(components[2] == 0)} unlabelled components; stuck: {stuck},"
          f" {np.count_nonzero(reached == 0)} samples no row leads to a labelled one, {count} closed groups"
          f" of {np.count_nonzero(group >= 0)} samples")
    print(f"  k-NN search {best_search:.3f} s, joining {best_join:.3f} s -> ratio {best_join / best_search:.3f}"
          " (target <= 0.2)")

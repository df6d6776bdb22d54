"""weighted_label_propagation against the to_numpy calls it has to make, and the whole
graph pipeline against scikit-learn's LabelSpreading.

Every node processed in a sweep costs two Python calls (connections.to_numpy and
weights.to_numpy). A bare Python loop making exactly those calls, in the same order,
is the floor; the ratio shows how much the native sweep adds on top of it.

The pipeline (k-NN search, graph containers, components, connection, propagation) runs
only when the component and connection modules are built.
"""

import importlib
import time

import numpy as np
from sklearn.datasets import make_moons
from sklearn.neighbors import NearestNeighbors
from sklearn.semi_supervised import LabelSpreading

from common import side_by_side
from varnex.algorithms.src.linka.binaries.linka_lp import weighted_label_propagation
from varnex.graph import GraphWrapper, _AlgorithmInput

N_POINTS = 100_000
K = 10
LABELLED_FRACTION = 0.01


def make_problem(n_points=N_POINTS, k=K, seed=0):
    """Two moons, the k-NN graph as GraphWrappers (distances as float32 weights), and
    labels with a random 1% known. Returns (points, truth, labels, connections, weights)."""
    points, truth = make_moons(n_samples=n_points, noise=0.1, random_state=seed)
    distances, indices = NearestNeighbors(n_neighbors=k).fit(points).kneighbors()  # self excluded
    connections = GraphWrapper.from_knn(indices.astype(np.int64))
    weights = GraphWrapper.from_knn(distances.astype(np.float32))
    labels = np.full(n_points, -1, dtype=np.int32)
    known = np.random.default_rng(seed).choice(n_points, int(n_points * LABELLED_FRACTION), replace=False)
    labels[known] = truth[known]
    return points, truth, labels, connections, weights


class Recorder:
    """Passes to_numpy through and logs the nodes asked for."""

    def __init__(self, graph):
        self.graph, self.nodes = graph, []

    def to_numpy(self, node):
        self.nodes.append(node)
        return self.graph.to_numpy(node)


def sweeps_made(nodes, result):
    """Sweeps of a run from its call log: each sweep calls in increasing node order, and
    when every node ends labelled one last sweep makes no call and ends the run."""
    runs = 1 + sum(1 for a, b in zip(nodes, nodes[1:]) if b <= a) if nodes else 0
    return runs + int(not np.any(result == -1))


def bare_calls(connections, weights, nodes):
    for node in nodes:
        connections.to_numpy(node)
        weights.to_numpy(node)


def run():
    _, truth, labels, connections, weights = make_problem()
    recorder = Recorder(connections)
    result = weighted_label_propagation(recorder, weights, labels.copy())
    nodes = recorder.nodes
    sweeps = sweeps_made(nodes, result)
    left = np.count_nonzero(result == -1)
    accuracy = np.mean(result == truth)

    t_native, t_bare = side_by_side([
        lambda: weighted_label_propagation(connections, weights, labels.copy()),
        lambda: bare_calls(connections, weights, nodes),
    ], repeat=5)
    print(f"{N_POINTS} two-moons points, {K}-NN graph, {LABELLED_FRACTION:.0%} labelled (best of 5, taking turns)")
    print(f"  {sweeps} sweeps, {len(nodes)} nodes processed ({len(nodes) / N_POINTS:.2f} per node),"
          f" {left} left at -1, accuracy {accuracy:.4f}")
    print(f"  weighted_label_propagation {t_native:7.3f} s, bare loop of the same {2 * len(nodes)} to_numpy calls"
          f" {t_bare:7.3f} s -> ratio {t_native / t_bare:5.3f}")
    print(f"  per processed node: native {t_native / len(nodes) * 1e9:6.0f} ns,"
          f" bare calls {t_bare / len(nodes) * 1e9:6.0f} ns")

    modules = graph_modules()
    if modules is None:
        print("  whole pipeline: skipped, linka_bfs and linka_connect are not built")
    else:
        run_pipeline_comparison(*modules)


def run_pipeline(points, labels, k, find_connected_components, connect_unlabeled, propagate):
    """The graph pipeline from raw points to labels. Returns (labels, seconds per stage)
    with the stages "knn", "containers" and "native" (the three native calls together)."""
    start = time.perf_counter()
    distances, indices = NearestNeighbors(n_neighbors=k).fit(points).kneighbors()  # self excluded
    knn_done = time.perf_counter()
    knn_connections = indices.astype(np.int64)
    knn_weights = distances.astype(np.float32)
    connections = GraphWrapper.from_knn(knn_connections)
    weights = GraphWrapper.from_knn(knn_weights)
    X = _AlgorithmInput(labels)
    result = labels.astype(np.int32, copy=True)
    containers_done = time.perf_counter()
    components, vertix_component_label = find_connected_components(X, connections)
    connect_unlabeled(knn_connections, knn_weights, components, vertix_component_label, connections, weights)
    propagate(connections, weights, result)
    end = time.perf_counter()
    return result, {"knn": knn_done - start, "containers": containers_done - knn_done, "native": end - containers_done}


def graph_modules():
    """(find_connected_components, connect_unlabeled) when both modules are built, else None."""
    try:
        bfs = importlib.import_module("varnex.algorithms.src.linka.binaries.linka_bfs")
        connect = importlib.import_module("varnex.algorithms.src.linka.binaries.linka_connect")
    except ImportError:
        return None
    return bfs.find_connected_components, connect.connect_unlabeled


def run_pipeline_comparison(find_connected_components, connect_unlabeled, repeat=5):
    points, truth, labels, _, _ = make_problem()
    stages = []

    def pipeline():
        result, times = run_pipeline(points, labels, K, find_connected_components, connect_unlabeled,
                                     weighted_label_propagation)
        stages.append(times)
        return result

    spreading = LabelSpreading(kernel="knn", n_neighbors=K)
    t_pipeline, t_spreading = side_by_side([pipeline, lambda: spreading.fit(points, labels)], repeat=repeat)
    accuracy = np.mean(pipeline() == truth)
    accuracy_spreading = np.mean(spreading.transduction_ == truth)
    best = {stage: min(times[stage] for times in stages) for stage in stages[0]}
    print(f"  pipeline {t_pipeline:7.3f} s (accuracy {accuracy:.4f}), LabelSpreading(kernel='knn') {t_spreading:7.3f} s"
          f" (accuracy {accuracy_spreading:.4f}) -> ratio {t_pipeline / t_spreading:5.3f} (target <= 1.0,"
          f" accuracy not lower)")
    print(f"  k-NN search {best['knn']:7.3f} s, containers {best['containers']:7.3f} s, three native steps"
          f" {best['native']:7.3f} s -> native / k-NN {best['native'] / best['knn']:5.3f} (target <= 0.5)")

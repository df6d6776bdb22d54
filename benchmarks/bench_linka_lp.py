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


def search_without_self(points, k):
    """k neighbours of every sample, itself excluded: scikit-learn queries k + 1."""
    return NearestNeighbors(n_neighbors=k).fit(points).kneighbors()


def search_like_label_spreading(points, k):
    """The search LabelSpreading(kernel='knn') makes: k neighbours counting the sample
    itself, which is then dropped (or, where a duplicate took its place, the farthest)."""
    distances, indices = NearestNeighbors(n_neighbors=k).fit(points).kneighbors(points)
    itself = indices == np.arange(len(points))[:, None]
    itself[~itself.any(axis=1), -1] = True
    return distances[~itself].reshape(len(points), k - 1), indices[~itself].reshape(len(points), k - 1)


def run_pipeline(points, labels, k, find_connected_components, connect_unlabeled, propagate,
                 search=search_without_self):
    """The graph pipeline from raw points to labels. Returns (labels, seconds per stage)
    with the stages "knn", "containers" and "native" (the three native calls together)."""
    start = time.perf_counter()
    distances, indices = search(points, k)
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
    searches = {"k neighbours besides the sample": search_without_self,
                "LabelSpreading's search (k counting the sample)": search_like_label_spreading}
    stages = {name: [] for name in searches}
    results = {}

    def pipeline(name):
        def go():
            result, times = run_pipeline(points, labels, K, find_connected_components, connect_unlabeled,
                                         weighted_label_propagation, search=searches[name])
            stages[name].append(times)
            results[name] = result
        return go

    spreading = LabelSpreading(kernel="knn", n_neighbors=K)
    *t_pipelines, t_spreading = side_by_side([pipeline(name) for name in searches]
                                             + [lambda: spreading.fit(points, labels)], repeat=repeat)
    accuracy_spreading = np.mean(spreading.transduction_ == truth)
    print(f"  LabelSpreading(kernel='knn', n_neighbors={K}) {t_spreading:7.3f} s, accuracy {accuracy_spreading:.4f}")
    for name, t_pipeline in zip(searches, t_pipelines):
        best = {stage: min(times[stage] for times in stages[name]) for stage in stages[name][0]}
        accuracy = np.mean(results[name] == truth)
        print(f"  pipeline, {name}: {t_pipeline:7.3f} s, accuracy {accuracy:.4f}"
              f" -> pipeline / LabelSpreading {t_pipeline / t_spreading:5.3f} (target <= 1.0, accuracy not lower)")
        print(f"    k-NN search {best['knn']:7.3f} s, containers {best['containers']:7.3f} s, three native steps"
              f" {best['native']:7.3f} s -> native / k-NN {best['native'] / best['knn']:5.3f} (target <= 0.5)")

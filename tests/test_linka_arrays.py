"""The CSR routines of linka_arrays against the GraphWrapper modules and SciPy."""

import numpy as np
import pytest
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import breadth_first_order, connected_components

from varnex.algorithms.src.linka.binaries import linka_arrays
from varnex.algorithms.src.linka.binaries.linka_bfs import find_connected_components
from varnex.graph import GraphWrapper, _AlgorithmInput

from graph_reference import connected_by_modules, random_knn


def as_csr(knn, weights, dtype=np.int32):
    n, k = knn.shape
    return np.arange(n + 1, dtype=np.int64) * k, knn.astype(dtype).ravel(), weights.ravel()


def random_labels(n, count, seed):
    labels = np.full(n, -1, dtype=np.int32)
    labels[np.random.default_rng(seed).choice(n, count, replace=False)] = 0
    return labels


GRAPHS = [(n, k, seed, labelled) for seed, (n, k, labelled) in enumerate(
    [(1, 1, 1), (2, 1, 1), (30, 1, 2), (60, 2, 3), (80, 2, 1), (100, 3, 5), (50, 4, 1), (200, 1, 10), (40, 2, 0)])]


@pytest.mark.parametrize("n, k, seed, labelled", GRAPHS)
@pytest.mark.parametrize("dtype", [np.int32, np.int64])
def test_components_match_the_graphwrapper_module(n, k, seed, labelled, dtype):
    knn, weights = random_knn(n, k, seed) if n > 1 else (np.zeros((1, 0), np.int64), np.zeros((1, 0), np.float32))
    labels = random_labels(n, labelled, seed)
    expected, expected_flags = find_connected_components(_AlgorithmInput(labels), GraphWrapper.from_knn(knn))
    indptr, indices, _ = as_csr(knn, weights, dtype)
    order, starts, component_flags, node_flags = linka_arrays.components(indptr, indices, (labels != -1).view(np.uint8))
    assert order.dtype == dtype
    got = [(order[a:b].tolist(), int(flag)) for a, b, flag in zip(starts[:-1], starts[1:], component_flags)]
    assert got == [(nodes, flag) for nodes, flag in expected]
    np.testing.assert_array_equal(node_flags, expected_flags)


def test_components_of_symmetric_graphs_are_scipys():
    knn, weights = random_knn(300, 1, 7)
    matrix = csr_matrix((np.ones(300), knn.ravel(), np.arange(301)), shape=(300, 300))
    matrix = (matrix + matrix.T).tocsr()
    matrix.sort_indices()
    count, scipy_labels = connected_components(matrix, directed=False)
    order, starts, _, _ = linka_arrays.components(matrix.indptr.astype(np.int64), matrix.indices.astype(np.int32),
                                                  np.zeros(300, np.uint8))
    ours = np.empty(300, np.int64)
    for c, (a, b) in enumerate(zip(starts[:-1], starts[1:])):
        ours[order[a:b]] = c
    assert len(starts) - 1 == count
    # Same partition: a one-to-one map between the two numberings.
    assert len(set(zip(ours, scipy_labels))) == count


def connect_by_modules(knn, weights, labels):
    """connect_unlabeled's graph as CSR, or None when it raises its SystemError."""
    graphs = connected_by_modules(knn, weights, labels)
    return None if graphs is None else (graphs[0].to_csr(), graphs[1].to_csr())


def connect_arrays(knn, weights, labels):
    graph = as_csr(knn, weights)
    components = linka_arrays.components(graph[0], graph[1], (labels != -1).view(np.uint8))
    reached = components[3].copy()
    return graph, reached, *linka_arrays.connect(graph, components, reached, graph)


CONNECT_GRAPHS = GRAPHS[2:] + [(300, k, seed, labelled) for seed in range(20, 30) for k in (1, 2, 4)
                               for labelled in (1, 10)]


@pytest.mark.parametrize("n, k, seed, labelled", CONNECT_GRAPHS)
def test_connect_adds_the_edges_of_the_graphwrapper_module(n, k, seed, labelled):
    knn, weights = random_knn(n, k, seed)
    labels = random_labels(n, labelled, seed)
    expected = connect_by_modules(knn, weights, labels)
    _, reached, (indptr, indices, edge_weights), stuck = connect_arrays(knn, weights, labels)
    assert stuck == (expected is None)
    if not stuck:
        (want_indptr, want_indices), (_, want_weights) = expected
        np.testing.assert_array_equal(indptr, want_indptr)
        np.testing.assert_array_equal(indices, want_indices)
        np.testing.assert_array_equal(edge_weights, want_weights)
        assert reached.all()


def reaching(indptr, indices, reached):
    """Nodes with a path along the rows to a reached node (reached ones included)."""
    n = indptr.shape[0] - 1
    matrix = csr_matrix((np.ones(indices.shape[0]), indices, np.r_[indptr, indptr[-1]]), shape=(n + 1, n + 1))
    # An extra node n that every reached node lists, searched from over reversed edges.
    extra = csr_matrix((np.ones(int(reached.sum())), (np.flatnonzero(reached), np.full(int(reached.sum()), n))),
                       shape=(n + 1, n + 1))
    order = breadth_first_order((matrix + extra).T.tocsr(), n, directed=True, return_predecessors=False)
    found = np.zeros(n + 1, bool)
    found[order] = True
    return found[:n]


@pytest.mark.parametrize("n, k, seed", [(100, 1, 0), (300, 2, 1), (300, 3, 2), (500, 1, 3)])
def test_stuck_connection_reports_what_the_rows_reach(n, k, seed):
    knn, weights = random_knn(n, k, seed)
    labels = random_labels(n, max(1, n // 100), seed)
    graph, reached, _, stuck = connect_arrays(knn, weights, labels)
    if not stuck:
        assert reached.all()
        return
    # After the first stage: every node of a component it joined, and what leads there.
    after_stage_one = np.zeros(n, np.uint8)
    components, _ = find_connected_components(_AlgorithmInput(labels), GraphWrapper.from_knn(knn))
    for nodes, labelled in components:
        if labelled or any(labels[w] != -1 for v in nodes for w in knn[v]):
            after_stage_one[nodes] = 1
    np.testing.assert_array_equal(reached.astype(bool), reaching(graph[0], graph[1], after_stage_one))


def test_join_adds_each_missing_direction_once():
    graph = as_csr(np.array([[1], [0], [0]], np.int64), np.array([[1.0], [1.0], [2.0]], np.float32))
    indptr, indices, weights = linka_arrays.join(graph, (np.array([0, 2, 2]), np.array([1, 1, 0]),
                                                         np.array([5.0, 3.0, 4.0], np.float32)))
    rows = [indices[a:b].tolist() for a, b in zip(indptr[:-1], indptr[1:])]
    assert rows == [[1, 2], [0, 2], [0, 1]]
    assert weights.tolist() == [1.0, 4.0, 1.0, 3.0, 2.0, 3.0]


def closed_groups_by_scipy(indptr, indices, reached):
    """Strongly connected components of the unreached nodes that no edge leaves."""
    n = indptr.shape[0] - 1
    matrix = csr_matrix((np.ones(indices.shape[0]), indices, indptr), shape=(n, n))
    _, scc = connected_components(matrix, directed=True, connection="strong")
    rows = np.repeat(np.arange(n), np.diff(indptr))
    leaving = (scc[rows] != scc[indices]) | reached[indices].astype(bool)
    open_components = set(scc[rows[leaving]]) | set(scc[reached.astype(bool)])
    return {frozenset(np.flatnonzero(scc == c)) for c in set(scc) - open_components}


@pytest.mark.parametrize("n, k, seed", [(50, 1, 0), (200, 1, 1), (200, 2, 2), (300, 3, 3), (10, 9, 4)])
def test_closed_groups_are_the_sink_components(n, k, seed):
    knn, weights = random_knn(n, k, seed)
    indptr, indices, _ = as_csr(knn, weights)
    reached = (np.random.default_rng(seed).uniform(size=n) < 0.05).astype(np.uint8)
    group, count = linka_arrays.closed_groups(indptr, indices, reached)
    ours = {frozenset(np.flatnonzero(group == g)) for g in range(count)}
    assert ours == closed_groups_by_scipy(indptr, indices, reached)
    assert np.all(group[np.isin(np.arange(n), list(set().union(*ours)) if ours else [], invert=True)] == -1)


@pytest.mark.parametrize("call, message", [
    (lambda: linka_arrays.components(np.array([0, 1], np.int64), np.array([1], np.int32), np.zeros(1, np.uint8)),
     "not a node"),
    (lambda: linka_arrays.components(np.array([0, 2], np.int64), np.array([0], np.int32), np.zeros(1, np.uint8)),
     "indptr ends at 2"),
    (lambda: linka_arrays.components(np.array([1, 1], np.int64), np.array([0], np.int32), np.zeros(1, np.uint8)),
     "start at 0"),
    (lambda: linka_arrays.components(np.array([0, 1, 0], np.int64), np.array([0], np.int32), np.zeros(2, np.uint8)),
     "must not fall"),
    (lambda: linka_arrays.closed_groups(np.array([0, 1], np.int64), np.array([-1], np.int64), np.zeros(1, np.uint8)),
     "not a node"),
    (lambda: linka_arrays.components(np.array([0, 1], np.int64), np.array([0], np.int32), np.zeros(3, np.uint8)),
     "labelled has 3 entries"),
])
def test_malformed_graphs_are_refused(call, message):
    with pytest.raises((ValueError, IndexError), match=message):
        call()

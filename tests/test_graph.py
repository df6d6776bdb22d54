import copy
import pickle

import numpy as np
import pytest

from varnex.graph import GraphWrapper, _AlgorithmInput


@pytest.fixture
def triangle():
    return GraphWrapper.from_knn(np.array([[1, 2], [0, 2], [0, 1]]))


def test_rows_are_read_only_views_of_the_node_storage(triangle):
    first = triangle.to_numpy(0)
    assert first.dtype == np.int64 and first.ndim == 1 and not first.flags.writeable
    assert triangle.to_numpy(0) is first  # prepared once, not rebuilt per call
    assert triangle.to_numpy(-1) is triangle.to_numpy(2)  # list indexing
    with pytest.raises(ValueError):
        first[0] = 2


def test_appends_keep_neighbour_and_weight_lists_parallel():
    rng = np.random.default_rng(3)
    connections = GraphWrapper.from_knn(rng.integers(0, 50, (50, 3)))
    weights = GraphWrapper.from_knn(rng.random((50, 3)))
    expected = {node: (list(connections.to_numpy(node)), list(weights.to_numpy(node))) for node in range(50)}
    for _ in range(500):
        node, other, weight = int(rng.integers(50)), int(rng.integers(50)), float(rng.random())
        connections.append(node, other)
        weights.append(node, weight)
        expected[node][0].append(other)
        expected[node][1].append(np.float32(weight))
    for node, (neighbours, node_weights) in expected.items():
        assert connections.to_numpy(node).tolist() == neighbours
        assert weights.to_numpy(node).tolist() == node_weights
        assert connections.degree(node) == len(neighbours)
    indptr, values = connections.to_csr()
    assert values[indptr[7]:indptr[8]].tolist() == expected[7][0]
    rebuilt = GraphWrapper.from_csr(indptr, values)
    assert all(rebuilt.to_numpy(node).tolist() == expected[node][0] for node in range(50))


def test_contains_and_append_on_an_empty_graph():
    graph = GraphWrapper(3)
    assert len(graph) == 3 and graph.to_numpy(2).size == 0 and not graph.contains(2, 0)
    graph.append(2, 0)
    assert graph.contains(2, 0) and not graph.contains(0, 2)
    assert [graph.degree(node) for node in range(3)] == [0, 0, 1]


def test_an_appended_view_does_not_change_the_source_array():
    knn = np.array([[1], [0]])
    graph = GraphWrapper.from_knn(knn)
    knn[0, 0] = 0
    graph.append(0, 0)
    assert graph.to_numpy(0).tolist() == [1, 0]


@pytest.mark.parametrize("call, error", [
    (lambda g: g.to_numpy(3), IndexError),
    (lambda g: g.to_numpy(-4), IndexError),
    (lambda g: g.to_numpy(1.0), TypeError),
    (lambda g: g.contains(5, 0), IndexError),
    (lambda g: g.append(0, 3), ValueError),
    (lambda g: g.append(0, -1), ValueError),
    (lambda g: g.append(0, 1.5), TypeError),
    (lambda g: g.append(-1, 0), IndexError),
    (lambda g: GraphWrapper.from_knn(np.array([[1], [2]])), ValueError),
    (lambda g: GraphWrapper.from_knn(np.arange(3)), ValueError),
    (lambda g: GraphWrapper(-1), ValueError),
    (lambda g: GraphWrapper.from_csr([0, 2], [0, 1]), ValueError),
    (lambda g: GraphWrapper.from_csr([0, 1, 1], [2]), ValueError),
    (lambda g: GraphWrapper(2, dtype=object), TypeError),
])
def test_bad_input_is_refused(triangle, call, error):
    with pytest.raises(error):
        call(triangle)


@pytest.mark.parametrize("labels, indices", [
    ([-1, 3, -1, 0, -5], [1, 3, 4]),
    ([], []),
    (np.array([-1.0, 2.0]), [1]),
])
def test_algorithm_input_lists_labelled_nodes(labels, indices):
    X = _AlgorithmInput(labels)
    assert X.n == len(labels) and X.labeled_count == len(indices)
    assert X.labeled_indices.dtype == np.int64 and X.labeled_indices.tolist() == indices
    assert X.labeled_indices.flags.c_contiguous and X.labeled_indices.flags.writeable


@pytest.mark.parametrize("labels", [[[0, 1]], [0.5, -1], [2**40]])
def test_algorithm_input_refuses_non_labels(labels):
    with pytest.raises(ValueError):
        _AlgorithmInput(labels)


def test_a_subclass_keeps_its_own_to_numpy():
    class Doubled(GraphWrapper):
        def to_numpy(self, node):
            return np.repeat(super().to_numpy(node), 2)

    graph = Doubled.from_knn(np.array([[1], [0]]))
    graph.append(0, 0)
    assert graph.to_numpy(0).tolist() == [1, 1, 0, 0]


@pytest.mark.parametrize("duplicate", [copy.deepcopy, lambda g: pickle.loads(pickle.dumps(g))])
def test_copies_grow_on_their_own(duplicate):
    graph = GraphWrapper.from_knn(np.array([[1], [0]]))
    graph.append(0, 0)  # storage of its own
    twin = duplicate(graph)
    for _ in range(5):  # past the first storage's capacity
        twin.append(0, 1)
    twin.append(1, 1)
    assert twin.to_numpy(0).tolist() == [1, 0] + [1] * 5 and twin.to_numpy(1).tolist() == [0, 1]
    assert graph.to_numpy(0).tolist() == [1, 0] and graph.to_numpy(1).tolist() == [0]

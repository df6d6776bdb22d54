import importlib

import numpy as np
import pytest
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import connected_components

from test_boundary import traceback_routines
from varnex.graph import GraphWrapper, _AlgorithmInput

BFS = "varnex.algorithms.src.linka.binaries.linka_bfs"


@pytest.fixture
def bfs():
    return importlib.import_module(BFS)


class Lists:
    """A graph given as plain lists, recording every to_numpy call."""

    def __init__(self, lists, dtype=np.int64, make=np.array):
        self.lists, self.dtype, self.make, self.calls = lists, dtype, make, []

    def to_numpy(self, node):
        self.calls.append(node)
        return self.make(self.lists[node], dtype=self.dtype)


class Input:
    def __init__(self, n, labeled_indices=None, labeled_count=0):
        self.n, self.labeled_indices, self.labeled_count = n, labeled_indices, labeled_count


def labelled(n, *nodes):
    return Input(n, np.array(nodes, dtype=np.int64), len(nodes))


@pytest.mark.parametrize("lists, X, components, flags", [
    ({0: [1], 1: [0, 2], 2: [1], 3: [4], 4: [3]}, labelled(5, 2), [([0, 1, 2], 1), ([3, 4], 0)], [1, 1, 1, 0, 0]),
    ({0: [2, 1], 1: [3], 2: [3], 3: []}, labelled(4), [([0, 2, 1, 3], 0)], [0, 0, 0, 0]),
    ({0: [], 1: [0]}, labelled(2, 0), [([0], 1), ([1], 0)], [1, 0]),
    ({0: [0, 1, 1], 1: []}, labelled(2, 1), [([0, 1], 1)], [1, 1]),
    ({0: [1], 1: []}, Input(2, None, -3), [([0, 1], 0)], [0, 0]),
    ({}, Input(0), [], []),
])
def test_worked_examples(bfs, lists, X, components, flags):
    graph = Lists(lists)
    found, vertix_component_label = bfs.find_connected_components(X, graph)
    assert found == components
    assert all(type(flag) is int for _, flag in found)
    assert vertix_component_label.dtype == np.uint8 and vertix_component_label.tolist() == flags
    assert graph.calls == [node for nodes, _ in found for node in nodes]


def random_lists(rng, n, k):
    return {node: rng.choice(n, size=rng.integers(0, k + 1), replace=False).tolist() for node in range(n)}


@pytest.mark.parametrize("seed", range(8))
def test_symmetric_graphs_split_as_scipy_does(bfs, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 200))
    directed = random_lists(rng, n, 2)
    lists = {node: [] for node in range(n)}
    for node, neighbours in directed.items():
        for other in neighbours:
            lists[node].append(other)
            lists[other].append(node)
    labels = np.where(rng.random(n) < 0.05, 1, -1)
    components, flags = bfs.find_connected_components(_AlgorithmInput(labels), Lists(lists))

    rows = [node for node in range(n) for _ in lists[node]]
    cols = [other for node in range(n) for other in lists[node]]
    count, oracle = connected_components(csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(n, n)))
    assert len(components) == count
    for nodes, flag in components:
        assert len(set(oracle[nodes])) == 1 and np.count_nonzero(oracle == oracle[nodes[0]]) == len(nodes)
        assert flag == int((labels[nodes] != -1).any())
        assert (flags[nodes] == flag).all()
    assert [nodes[0] for nodes, _ in components] == sorted(nodes[0] for nodes, _ in components)


def test_graph_wrapper_with_appended_edges(bfs):
    graph = GraphWrapper.from_knn(np.array([[0], [1], [2]]))
    graph.append(2, 0)
    components, flags = bfs.find_connected_components(_AlgorithmInput([-1, 4, -1]), graph)
    assert components == [([0], 0), ([1], 1), ([2], 0)]
    graph.append(0, 2)
    assert bfs.find_connected_components(_AlgorithmInput([-1, 4, 0]), graph)[0] == [([0, 2], 1), ([1], 1)]


def test_strided_and_read_only_rows_are_read(bfs):
    def make(values, dtype):
        wide = np.repeat(np.array(values, dtype=dtype), 2)[::2]
        wide.flags.writeable = False
        return wide
    graph = Lists({0: [2, 1], 1: [], 2: []}, make=make)
    assert bfs.find_connected_components(labelled(3), graph)[0] == [([0, 2, 1], 0)]


def test_attributes_are_read_once_in_order(bfs):
    reads = []

    class Recording:
        def __getattr__(self, name):
            reads.append(name)
            return {"n": 2, "labeled_indices": np.array([1], dtype=np.int64), "labeled_count": 1}[name]

    assert bfs.find_connected_components(Recording(), Lists({0: [], 1: []}))[1].tolist() == [0, 1]
    assert reads == ["n", "labeled_indices", "labeled_count"]


class Raising:
    def to_numpy(self, node):
        raise KeyError(node)


@pytest.mark.parametrize("X, graph, error, message", [
    (object(), Lists({}), AttributeError, "'object' object has no attribute 'n'"),
    (Input(1), object(), AttributeError, "'object' object has no attribute 'to_numpy'"),
    (Input("3"), Lists({}), TypeError, "an integer is required"),
    (Input(2**31), Lists({}), OverflowError, "value too large to convert to int"),
    (Input(-1), Lists({}), ValueError, "negative dimensions are not allowed"),
    (Input(1, np.zeros(1, dtype=np.int32), 1), Lists({0: []}), ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    (Input(1, np.zeros((1, 1), dtype=np.int64), 1), Lists({0: []}), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (Input(2, np.zeros(4, dtype=np.int64)[::2], 1), Lists({0: []}), ValueError, "ndarray is not C-contiguous"),
    (Input(1), Raising(), KeyError, "0"),
    (Input(1), Lists({0: [0]}, make=lambda v, dtype: list(v)), TypeError, "Cannot convert list to numpy.ndarray"),
    (Input(1), Lists({0: [0]}, dtype=np.int32), ValueError, "Buffer dtype mismatch, expected 'ITYPE_t' but got 'int'"),
    (Input(1), Lists({0: [[0]]}), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (Input(1), Lists({0: [0]}, dtype=">i8"), ValueError,
     "Buffer dtype mismatch, expected 'ITYPE_t' but got a byte-swapped element"),
    (Input(1), Lists({0: [0]}, dtype=np.uint64), ValueError,
     "Buffer dtype mismatch, expected 'ITYPE_t' but got 'unsigned long'"),
])
def test_failures(bfs, X, graph, error, message):
    with pytest.raises(error) as info:
        bfs.find_connected_components(X, graph)
    assert str(info.value) == message


def test_read_only_labeled_indices_are_refused(bfs):
    indices = np.zeros(1, dtype=np.int64)
    indices.flags.writeable = False
    with pytest.raises(ValueError):
        bfs.find_connected_components(Input(1, indices, 1), Lists({0: []}))


# Indices the traversal would otherwise read or write outside its arrays.
@pytest.mark.parametrize("X, lists, error, message", [
    (Input(3), {0: [3]}, IndexError, "node 0 lists neighbour 3, not a node of this graph of 3 nodes"),
    (Input(3), {0: [1], 1: [-1]}, IndexError, "node 1 lists neighbour -1, not a node of this graph of 3 nodes"),
    (Input(3), {0: [2**32 + 1]}, IndexError, "node 0 lists neighbour 4294967297, not a node of this graph of 3 nodes"),
    (labelled(3, 0, 5), {}, IndexError, "labeled_indices[1] is 5, not a node of this graph of 3 nodes"),
    (labelled(3, -1), {}, IndexError, "labeled_indices[0] is -1, not a node of this graph of 3 nodes"),
    (Input(3, np.zeros(1, dtype=np.int64), 2), {}, ValueError,
     "labeled_count is 2 but labeled_indices has only 1 entries"),
    (Input(3, None, 1), {}, ValueError, "labeled_count is 1 but labeled_indices has only 0 entries"),
    (Input(1), {0: None}, TypeError, "to_numpy(0) returned None, not an array"),
])
def test_out_of_range_input_is_refused(bfs, X, lists, error, message):
    graph = Lists(lists, make=lambda v, dtype: None if v is None else np.array(v, dtype=dtype))
    with pytest.raises(error) as info:
        bfs.find_connected_components(X, graph)
    assert str(info.value) == message


def test_traceback_names_bfs_then_the_function(bfs):
    with pytest.raises(IndexError) as info:
        bfs.find_connected_components(Input(2), Lists({0: [7]}))
    names = [name for name, _ in traceback_routines(info.value)[-2:]]
    assert names == [BFS + ".find_connected_components", BFS + ".bfs"]


def test_module_namespace_and_docstring(bfs):
    assert sorted(name for name in vars(bfs) if not name.startswith("__")) == ["find_connected_components", "np"]
    assert bfs.__test__ == {}
    doc = bfs.find_connected_components.__doc__
    assert doc.startswith("find_connected_components(X, connections) -> tuple\n\n    Finds the connected")
    assert doc.endswith("with at least labeled datapoint.\n    ")


def test_rebound_np_is_used_at_call_time(bfs, monkeypatch):
    class Shrinking:
        uint8, int64 = np.uint8, np.int64

        @staticmethod
        def zeros(n, dtype):
            return np.zeros(max(n - 1, 0), dtype=dtype)

        empty = staticmethod(np.empty)

    monkeypatch.setattr(bfs, "np", Shrinking)
    with pytest.raises(ValueError, match="the visited array has 1 entries, fewer than the 2 nodes"):
        bfs.find_connected_components(Input(2), Lists({0: [], 1: []}))


class Scripted(Lists):
    """Rows of a dict; a row that is an exception instance is raised instead."""

    def to_numpy(self, node):
        self.calls.append(node)
        row = self.lists[node]
        if isinstance(row, Exception):
            raise row
        return row


ROW = lambda *values: np.array(values, dtype=np.int64)  # noqa: E731


# Rows are fetched ahead of their turn; failures must still surface in turn.
@pytest.mark.parametrize("lists, error, calls", [
    ({0: ROW(1, 2), 1: np.array([0], dtype=np.int32), 2: KeyError(2)}, ValueError, [0, 1]),
    ({0: ROW(1, 2), 1: KeyError(1), 2: ROW()}, KeyError, [0, 1]),
    ({0: ROW(1, 2), 1: ROW(), 2: KeyError(2)}, KeyError, [0, 1, 2]),
    ({0: ROW(1, 2), 1: ROW(2), 2: "not an array"}, TypeError, [0, 1, 2]),
    ({0: ROW(1, 2, 3), 1: ROW(), 2: np.array([0], dtype=np.int32), 3: KeyError(3)}, ValueError, [0, 1, 2]),
    ({0: ROW(1, 2, 3), 1: ROW(), 2: None, 3: KeyError(3)}, TypeError, [0, 1, 2]),
    ({0: ROW(1, 2, 3, 4), 1: ROW(), 2: ROW(), 3: KeyError(3), 4: KeyError(4)}, KeyError, [0, 1, 2, 3]),
])
def test_failures_surface_at_their_node(bfs, lists, error, calls):
    graph = Scripted(lists)
    with pytest.raises(error):
        bfs.find_connected_components(Input(len(lists)), graph)
    assert graph.calls == calls

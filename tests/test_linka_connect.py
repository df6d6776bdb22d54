"""Joining unlabelled components: connect_unlabeled."""

import importlib
import re
from collections import defaultdict

import numpy as np
import pytest
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components

from varnex.graph import GraphWrapper

MODULE = "varnex.algorithms.src.linka.binaries.linka_connect"
linka = importlib.import_module(MODULE)


class Fake:
    """A graph container recording its calls into a log shared with its partner."""

    def __init__(self, name, log, lists=None):
        self.name, self.log, self.lists = name, log, defaultdict(list, lists or {})

    def contains(self, node, other):
        self.log.append(("contains", node, other))
        return other in self.lists[node]

    def append(self, node, value):
        self.log.append((self.name, node, value))
        self.lists[node].append(value)


def connect(knn, flags, components, existing=None, /, **changes):
    knn, log = np.array(knn, np.int64), []
    weights = (1 + np.arange(knn.size, dtype=np.float32) / 4).reshape(knn.shape)  # distinct, exact
    args = dict(knn_connections=knn, knn_weights=weights, components=components,
                vertix_component_label=np.array(flags, np.uint8),
                connections=Fake("conn", log, existing), weights=Fake("wt", log))
    return args, log, linka.connect_unlabeled(**{**args, **changes})


# The boundary and the failure table. Base case: node 1 joins labelled node 0.
KNN, W = [[1, 2], [2, 0], [1, 0]], np.ones((3, 2), np.float32)


@pytest.mark.parametrize("changes, error, message", [
    ({"vertix_component_label": None}, AttributeError, "no attribute 'copy'"),
    ({"components": [([0], 1), ((1, 2), 0)]}, TypeError, "Expected list, got tuple"),
    ({"components": [([0], 1), (None, 0)]}, TypeError, "object of type 'NoneType' has no len()"),
    ({"knn_connections": np.array(KNN, np.int32)}, ValueError, "expected 'int64_t' but got 'int'"),
    ({"knn_weights": W.astype(np.float64)}, ValueError, "expected 'float32_t' but got 'double'"),
    ({"knn_connections": np.zeros(3, np.int64)}, TypeError, "Cannot convert numpy.int64 to numpy.ndarray"),
    ({"components": [([0], 1), ([3, 1], 0)]}, IndexError, "components[1] lists node 3, outside the 3 nodes"),
    ({"components": [([0], 1), ([1, 7], 0)]}, IndexError, "components[1] lists node 7"),  # in the marking loop
    ({"components": [([0], 1), ([1, 2],)]}, ValueError, "components[1] has 1 item, not a pair"),
    ({"knn_connections": np.array([[1, 2], [2**32, 0], [1, 0]])}, IndexError, "lists node 4294967296"),
    ({"knn_connections": np.array([None] * 3, object)}, TypeError, "knn_connections[1] is None"),
    ({"knn_weights": W[:, :1]}, ValueError, "knn_weights[1] has 1 entries, fewer than the 2 of knn_connections[1]"),
    ({"knn_connections": np.array([[1, 2], [2, 2], [1, 1]])}, SystemError, "NO PROGRESS :)"),
])
def test_failures(changes, error, message):
    with pytest.raises(error, match=re.escape(message)) as info:
        connect(KNN, [1, 0, 0], [([0], 1), ([1, 2], 0)], **changes)
    code = info.traceback[-1].frame.code.raw
    assert (code.co_name, code.co_filename) == (MODULE + ".connect_unlabeled",
                                                "varnex/algorithms/src/linka/source/linka_connect")


def test_module_and_nothing_to_join():
    assert [n for n in vars(linka) if not n.startswith("__")] == ["np", "connect_unlabeled"] and linka.__test__ == {}
    assert linka.connect_unlabeled.__doc__.endswith("store the weights of graph edges.\n    ")
    # All reached at once: no row is fetched, so wrong element types go unnoticed.
    for components, flags in [([([0, 1, 2], True), ([3], 1)], [1, 1, 1, 1]), ([], [])]:
        args, log, result = connect([[0]] * 4, flags, components, knn_connections=np.zeros((4, 1), np.int32))
        assert log == [] and result[0] is args["connections"] and result[1] is args["weights"]


# The two stages and the pass rules.
def test_stage_one_joins_first_flagged_neighbour_once_per_component():
    # Labelled {0, 5}; [1, 2] joins through node 2 (node 1 has no labelled neighbour),
    # [3, 4] through node 3 to 5, the lower row position; node 4 is never scanned.
    flags = np.array([1, 0, 0, 0, 0, 1], np.uint8)
    flags.flags.writeable = False
    args, log, _ = connect([[1, 2], [3, 4], [3, 0], [5, 0], [0, 5], [0, 3]], flags,
                           [([0, 5], 1), ([1, 2], 0), ([3, 4], 0)], vertix_component_label=flags)
    expected = []
    for a, b, w in [(2, 0, args["knn_weights"][2, 1]), (3, 5, args["knn_weights"][3, 0])]:
        expected += [("contains", a, b), ("conn", a, b), ("wt", a, w), ("contains", b, a), ("conn", b, a), ("wt", b, w)]
    assert log == expected
    assert all(type(e[2]) is float for e in log if e[0] == "wt") and list(flags) == [1, 0, 0, 0, 0, 1]


class Marks(np.ndarray):
    """Flags whose copy logs the item assignments that mark nodes reached."""
    log = []

    def __setitem__(self, key, value):
        self.log.append(key)
        super().__setitem__(key, value)


@pytest.mark.parametrize("existing, flag_type", [(None, np.ndarray), ({3: [4], 4: [3]}, Marks)])
def test_stage_two_passes(existing, flag_type):
    # Stage 1 joins 1 to labelled 0, not 2 to 1 (1 is not flagged in the input). Pass 1
    # joins 2; [3, 4] stops at 3, as a node has joined in this pass. Pass 2 joins nothing
    # before [3, 4], so its scan goes past 3 and joins 4. Pass 3 joins 3 to 4 (appending
    # nothing when both directions exist, and still counting), then 5 to 3.
    Marks.log.clear()
    flags = np.array([1, 0, 0, 0, 0, 0], np.uint8).view(flag_type)
    _, log, _ = connect([[0, 0], [0, 1], [1, 2], [5, 4], [1, 4], [3, 5]], flags,
                        [([0], 1), ([1], 0), ([2], 0), ([3, 4], 0), ([5], 0)], existing, vertix_component_label=flags)
    assert [e[1:] for e in log if e[0] == "contains"][::2] == [(1, 0), (2, 1), (4, 1), (3, 4), (5, 3)]
    assert ((3, 4) in [e[1:] for e in log if e[0] == "conn"]) == (existing is None)
    if flag_type is Marks:  # every node joined so far in a pass is marked after each component
        assert Marks.log[:-2] == [1, 2, 2, 2, 4, 4, 3] and sorted(Marks.log[-2:]) == [3, 5]


# The graph objects: extended in place and parallel, on random k-NN graphs.
class Rows(np.ndarray):
    log = []  # row fetches and contains calls, in call order

    def __getitem__(self, node):
        self.log.append(("row", node))
        return np.asarray(self)[node]


class LoggedGraph(GraphWrapper):
    def contains(self, node, other):
        Rows.log.append(("contains", node, other))
        return super().contains(node, other)


def weak_components(graph):
    indptr, values = graph.to_csr()
    n = len(graph)
    matrix = coo_matrix((np.ones(len(values)), (np.repeat(np.arange(n), np.diff(indptr)), values)), (n, n))
    return connected_components(matrix, connection="weak")[1]


@pytest.mark.parametrize("seed", range(60))
def test_random_knn_graphs_end_connected_or_stuck(seed):
    rng = np.random.default_rng(seed)
    n, k, share = rng.integers(2, 80), rng.integers(1, 7), [0.02, 0.05, 0.3][seed % 3]
    k = min(k, n - 1)
    points = rng.random((n, 2))
    distances = ((points[:, None] - points[None]) ** 2).sum(-1)
    knn = np.argsort(distances, axis=1)[:, 1:k + 1]
    knn_weights = np.take_along_axis(distances, knn, 1).astype(np.float32)
    keep, labelled = rng.integers(1, min(k, 2) + 1), rng.random(n) < share  # the graph holds the first neighbours
    connections, weights = LoggedGraph.from_knn(knn[:, :keep]), GraphWrapper.from_knn(knn_weights[:, :keep])
    component_of = weak_components(connections)
    flag_of = {c: int(labelled[component_of == c].any()) for c in dict.fromkeys(component_of.tolist())}
    components = [(np.flatnonzero(component_of == c).tolist(), flag) for c, flag in flag_of.items()]
    flags = np.array([flag_of[c] for c in component_of], np.uint8)
    log = Rows.log
    log.clear()
    try:
        result = linka.connect_unlabeled(knn.view(Rows), knn_weights, components, flags, connections, weights)
        assert result[0] is connections and result[1] is weights
    except SystemError:
        # The last pass joined nothing: the nodes scanned since the last join are those
        # left unreached, and none of their rows holds a reached node.
        stuck = {e[1] for e in log[max([i for i, e in enumerate(log) if e[0] == "contains"], default=-1) + 1:]}
        assert stuck and set(knn[sorted(stuck)].ravel()) <= stuck
    else:
        component_of = weak_components(connections)
        assert set(component_of) <= set(component_of[labelled])  # every node reaches a labelled one
    for a in range(n):  # every appended entry has the k-NN weight of one of its directions
        assert connections.degree(a) == weights.degree(a)
        for b, w in zip(connections.to_numpy(a)[keep:], weights.to_numpy(a)[keep:]):
            assert w in knn_weights[a][knn[a] == b] or w in knn_weights[b][knn[b] == a]

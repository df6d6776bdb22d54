"""Case tables of the graph family: find_connected_components, connect_unlabeled,
weighted_label_propagation, propagate, label_confidence, symmetric and reverse_subgraph
(CSR arrays).

SUCCESS and ERRORS drive the leak checks (ERRORS follows the failure tables), THREADS
the thread check, FUZZ the child-process fuzzing: malformed graphs (rows of the wrong
kind, out-of-range and negative indices, methods that raise or return the wrong things
midway), malformed inputs and label arrays.

connect_unlabeled extends its graphs and weighted_label_propagation writes its labels:
repeated on the same objects, the first call does the work and later ones find it done,
which is the steady state the leak checks measure. Thread calls get objects of their own.
"""

import numpy as np
from hypothesis import strategies as st

from reliability import hostile
from reliability.calls import Call, Layout
from reliability.strategies import (INT32_MAX, INT32_MIN, INT_DTYPES, JUNK, array_argument, bound, cast, doubles,
                                    ints, weighted)

BFS, CONNECT, LP, SWEEP = "find_connected_components", "connect_unlabeled", "weighted_label_propagation", "propagate"


def _knn_graph(n, k, seed):
    """k nearest neighbours (self excluded) of n random points in two clusters."""
    rng = np.random.default_rng(seed)
    points = np.concatenate([rng.normal(0, 1, (n // 2, 2)), rng.normal(8, 1, (n - n // 2, 2))])
    distances = np.linalg.norm(points[:, None] - points[None], axis=2)
    np.fill_diagonal(distances, np.inf)
    order = np.argsort(distances, axis=1)[:, :k]
    return order.astype(np.int64), np.take_along_axis(distances, order, 1).astype(np.float32)


def _components(knn, labels):
    """Components of the graph of knn rows, as find_connected_components gives them."""
    n = len(knn)
    seen, components = np.zeros(n, bool), []
    flags = np.zeros(n, np.uint8)
    for start in range(n):
        if seen[start]:
            continue
        seen[start], queue = True, [start]
        for node in queue:
            for other in knn[node]:
                if not seen[other]:
                    seen[other] = True
                    queue.append(int(other))
        labelled = int(any(labels[v] != -1 for v in queue))
        flags[queue] = labelled
        components.append((queue, labelled))
    return components, flags


def _graphs(knn, weights):
    from varnex.graph import GraphWrapper
    return GraphWrapper.from_knn(knn), GraphWrapper.from_knn(weights)


KNN, WEIGHTS = _knn_graph(120, 4, 1)
LABELS = np.full(120, -1, np.int32)
LABELS[[0, 60]] = [0, 1]
COMPONENTS, FLAGS = _components(KNN, LABELS)


def _input(labels):
    from varnex.graph import _AlgorithmInput
    return _AlgorithmInput(labels)


def bfs(*args, **kwargs):
    return Call(BFS, args, kwargs)


def connect(*args, **kwargs):
    return Call(CONNECT, args, kwargs)


def lp(*args, **kwargs):
    return Call(LP, args, kwargs)


def sweep(*args, **kwargs):
    return Call(SWEEP, args, kwargs)


def arrays_call(name):
    return lambda *args, **kwargs: Call(name, args, kwargs)


components_call, connect_call, join_call, closed_groups_call = map(arrays_call, ["components", "connect", "join",
                                                                              "closed_groups"])
confidence_call, symmetric_call = arrays_call("label_confidence"), arrays_call("symmetric")
reverse_call = arrays_call("reverse_subgraph")
LEFT = np.flatnonzero(LABELS == -1)[::3].astype(np.int64)


def _csr(knn, weights):
    n, k = knn.shape
    return np.arange(0, n * k + 1, k, dtype=np.int64), knn.ravel().copy(), weights.ravel().copy()


CSR = _csr(KNN, WEIGHTS)
CSR32 = (CSR[0], CSR[1].astype(np.int32), CSR[2])
LABELLED = (LABELS != -1).view(np.uint8)


def _array_components(csr=CSR32, labelled=LABELLED):
    from varnex.algorithms.src.linka.binaries.linka_arrays import components
    return components(csr[0], csr[1], labelled)


def _connect_arrays_args(csr=CSR32, labelled=LABELLED, **changes):
    parts = _array_components(csr, labelled)
    values = dict(knn=csr, components=parts, reached=parts[3].copy(), graph=csr)
    values.update(changes)
    return values


# Nodes 2 and 3 list only each other, never the labelled node 0: the connection gets stuck.
STUCK = _csr(np.array([[1], [0], [3], [2]], np.int64), np.ones((4, 1), np.float32))
STUCK32 = (STUCK[0], STUCK[1].astype(np.int32), STUCK[2])
JOINS = (np.array([2], np.int64), np.array([0], np.int64), np.array([0.5], np.float32))


def _sweep_args(labels=LABELS, synchronous=True, **changes):
    indptr, indices, weights = CSR
    labels = None if labels is None else labels.copy()
    values = dict(indptr=indptr, indices=indices, weights=weights, labels=labels, max_iter=100, tol=1e-3,
                  synchronous=synchronous)
    values.update(changes)
    return values


def _connect_args(**changes):
    connections, weights = _graphs(KNN, WEIGHTS)
    values = dict(knn_connections=KNN, knn_weights=WEIGHTS, components=COMPONENTS, vertix_component_label=FLAGS,
                  connections=connections, weights=weights)
    values.update(changes)
    return values


def _lp_args(labels=LABELS, **changes):
    connections, weights = _graphs(KNN, WEIGHTS)
    values = dict(connections=connections, weights=weights, initial_labels=labels.copy())
    values.update(changes)
    return values


_ROWS_OK = [Layout("contiguous", np.array([1], np.int64)), Layout("contiguous", np.array([0], np.int64))]
_WEIGHT_ROWS = [Layout("contiguous", np.ones(1, np.float32))] * 2

SUCCESS = {
    "find_connected_components k-NN graph": bfs(_input(LABELS), _graphs(KNN, WEIGHTS)[0]),
    "find_connected_components no nodes": bfs(_input(LABELS[:0]), _graphs(KNN[:0], WEIGHTS[:0])[0]),
    "connect_unlabeled k-NN graph": connect(**_connect_args()),
    "weighted_label_propagation k-NN graph": lp(**_lp_args()),
    "weighted_label_propagation few iterations": lp(**_lp_args(), max_iterations=2, tolerance=0.5),
    "propagate synchronous": sweep(**_sweep_args()),
    "propagate index order, exact stop, int32 indices": sweep(**_sweep_args(
        synchronous=False, exact_stop=True, indices=CSR[1].astype(np.int32))),
    "propagate all labelled": sweep(**_sweep_args(labels=np.zeros(120, np.int32))),
    "propagate synchronous on 3 threads": sweep(**_sweep_args(n_threads=3)),
    "label_confidence k-NN graph": confidence_call(*CSR, np.where(np.arange(120) < 60, 0, 1).astype(np.int32), LABELS),
    "label_confidence on 3 threads, int32 indices": confidence_call(CSR[0], CSR[1].astype(np.int32), CSR[2],
                                                                    LABELS, LABELS, 3),
    "symmetric k-NN graph": symmetric_call(*CSR),
    "symmetric on 2 threads, int32 indices": symmetric_call(*CSR32, n_threads=2),
    "reverse_subgraph k-NN graph": reverse_call(CSR, CSR, LEFT),
    "reverse_subgraph on 3 threads, int32 indices": reverse_call(CSR32, CSR32, LEFT, 3),
    "reverse_subgraph nothing added": reverse_call(CSR, CSR, LEFT[:0]),
    "components k-NN graph": components_call(*CSR32[:2], LABELLED),
    "components int64 indices, no nodes": components_call(np.zeros(1, np.int64), np.zeros(0, np.int64),
                                                          np.zeros(0, np.uint8)),
    "connect k-NN graph": connect_call(**_connect_arrays_args()),
    "connect stuck": connect_call(**_connect_arrays_args(STUCK32, np.array([1, 0, 0, 0], np.uint8))),
    "join": join_call(STUCK32, JOINS),
    "join on 2 threads": join_call(STUCK32, JOINS, n_threads=2),
    "connect on 3 threads": connect_call(**_connect_arrays_args(), n_threads=3),
    "closed_groups": closed_groups_call(*STUCK32[:2], np.array([1, 0, 0, 0], np.uint8)),
}

ERRORS = {
    "find_connected_components X lacks n": (bfs(object(), _graphs(KNN, WEIGHTS)[0]), AttributeError),
    "find_connected_components n not an int": (bfs(hostile.HostileInput("3", None, 0), _graphs(KNN, WEIGHTS)[0]),
                                               TypeError),
    "find_connected_components labeled_indices int32": (bfs(hostile.HostileInput(
        120, np.arange(3, dtype=np.int32), 3), _graphs(KNN, WEIGHTS)[0]), ValueError),
    "find_connected_components to_numpy raises": (bfs(_input(LABELS[:2]), hostile.HostileGraph(_ROWS_OK, 0)),
                                                  hostile.HostileError),
    "find_connected_components row not an array": (bfs(_input(LABELS[:2]), hostile.HostileGraph([[1], [0]])),
                                                   TypeError),
    "find_connected_components row int32": (bfs(_input(LABELS[:2]), hostile.HostileGraph(
        [Layout("contiguous", np.array([1], np.int32))] * 2)), ValueError),
    "find_connected_components neighbour out of range": (bfs(_input(LABELS[:2]), hostile.HostileGraph(
        [Layout("contiguous", np.array([5], np.int64))] * 2)), IndexError),
    "connect_unlabeled components None": (connect(**_connect_args(components=None)), TypeError),
    "connect_unlabeled flags None": (connect(**_connect_args(vertix_component_label=None)), AttributeError),
    "connect_unlabeled flags int8": (connect(**_connect_args(vertix_component_label=FLAGS.astype(np.int32))),
                                     ValueError),
    "connect_unlabeled components a tuple": (connect(**_connect_args(components=tuple(COMPONENTS))), TypeError),
    "connect_unlabeled knn int32": (connect(**_connect_args(knn_connections=KNN.astype(np.int32))), ValueError),
    "connect_unlabeled contains raises": (connect(**_connect_args(connections=hostile.HostileGraph([], 0))),
                                          hostile.HostileError),
    "connect_unlabeled no progress": (connect(np.array([[1, 2], [2, 2], [1, 1]], np.int64), np.ones((3, 2), np.float32),
                                              [([0], 1), ([1, 2], 0)], np.array([1, 0, 0], np.uint8),
                                              hostile.HostileGraph([[]] * 3), hostile.HostileGraph([[]] * 3)),
                                      SystemError),
    "weighted_label_propagation labels int64": (lp(**_lp_args(LABELS.astype(np.int64))), ValueError),
    "weighted_label_propagation labels read-only": (lp(**_lp_args(initial_labels=Layout("read_only", LABELS))),
                                                    ValueError),
    "weighted_label_propagation to_numpy raises": (lp(hostile.HostileGraph(_ROWS_OK, 0),
                                                      hostile.HostileGraph(_WEIGHT_ROWS), LABELS[:2].copy()),
                                                   hostile.HostileError),
    "weighted_label_propagation weights short": (lp(hostile.HostileGraph(_ROWS_OK), hostile.HostileGraph(
        [Layout("contiguous", np.ones(0, np.float32))] * 2), np.array([0, -1], np.int32)), ValueError),
    "weighted_label_propagation tolerance not a float": (lp(**_lp_args(), tolerance="x"), TypeError),
    "propagate index out of range": (sweep(**_sweep_args(indices=np.full(480, 120, np.int64))), ValueError),
    "propagate indptr decreasing": (sweep(**_sweep_args(indptr=CSR[0][::-1].copy())), ValueError),
    "propagate weights float64": (sweep(**_sweep_args(weights=CSR[2].astype(np.float64))), ValueError),
    "propagate labels read-only": (sweep(**_sweep_args(labels=None) | {"labels": Layout("read_only", LABELS)}),
                                   ValueError),
    "propagate synchronous not a truth value": (sweep(**_sweep_args(synchronous=np.array([1, 0]))), ValueError),
    "propagate no threads": (sweep(**_sweep_args(n_threads=0)), ValueError),
    "label_confidence known short": (confidence_call(*CSR, LABELS, LABELS[:-1]), ValueError),
    "label_confidence index out of range": (confidence_call(CSR[0], np.full(480, 120, np.int64), CSR[2], LABELS,
                                                            LABELS), ValueError),
    "label_confidence too many threads": (confidence_call(*CSR, LABELS, LABELS, 1025), ValueError),
    "symmetric weights None": (symmetric_call(*CSR[:2], None), TypeError),
    "symmetric weights short": (symmetric_call(*CSR[:2], CSR[2][:-1]), ValueError),
    "symmetric index out of range": (symmetric_call(CSR[0], np.full(480, 120, np.int64), CSR[2]), IndexError),
    "symmetric no threads": (symmetric_call(*CSR, 0), ValueError),
    "reverse_subgraph nodes unsorted": (reverse_call(CSR, CSR, LEFT[::-1].copy()), ValueError),
    "reverse_subgraph node out of range": (reverse_call(CSR, CSR, np.array([120])), ValueError),
    "reverse_subgraph index types differ": (reverse_call(CSR, CSR32, LEFT), ValueError),
    "reverse_subgraph knn of other nodes": (reverse_call(CSR, STUCK, LEFT), ValueError),
    "reverse_subgraph knn index out of range": (reverse_call(CSR, (CSR[0], np.full(480, 120, np.int64), CSR[2]),
                                                             LEFT), IndexError),
    "components index out of range": (components_call(CSR32[0], np.full(480, 120, np.int32), LABELLED), IndexError),
    "components indptr not from 0": (components_call(CSR32[0] + 1, CSR32[1], LABELLED), ValueError),
    "components labelled too short": (components_call(*CSR32[:2], LABELLED[:5]), ValueError),
    "connect components not a tuple": (connect_call(**_connect_arrays_args(components=[1, 2, 3, 4])), TypeError),
    "connect reached read-only": (connect_call(**_connect_arrays_args(reached=Layout("read_only", LABELLED))),
                                  ValueError),
    "connect graph of other nodes": (connect_call(**_connect_arrays_args(graph=STUCK32)), ValueError),
    "join node out of range": (join_call(STUCK32, (np.array([9], np.int64),) + JOINS[1:]), IndexError),
    "join weights float64": (join_call(STUCK32, JOINS[:2] + (JOINS[2].astype(np.float64),)), ValueError),
    "closed_groups indices float": (closed_groups_call(STUCK32[0], STUCK32[2], LABELLED[:4]), ValueError),
}


THREADS = [
    SUCCESS["find_connected_components k-NN graph"],
    ERRORS["find_connected_components row int32"][0],
    ERRORS["connect_unlabeled components None"][0],
    ERRORS["weighted_label_propagation labels int64"][0],
    SUCCESS["propagate all labelled"],
    ERRORS["propagate index out of range"][0],
    SUCCESS["components k-NN graph"],
    SUCCESS["label_confidence on 3 threads, int32 indices"],
    SUCCESS["closed_groups"],
    SUCCESS["symmetric on 2 threads, int32 indices"],
    SUCCESS["reverse_subgraph on 3 threads, int32 indices"],
    SUCCESS["join on 2 threads"],
    ERRORS["join node out of range"][0],
]


def node_indices(n):
    return weighted((8, st.integers(0, max(n - 1, 0))), (2, st.integers(-n - 2, n + 2)),
                    (1, st.sampled_from([INT32_MAX, INT32_MIN, 2**31, 2**40, -(2**63)])))


def _index_row(values):
    return np.array([v & (2**64 - 1) for v in values], np.uint64).astype(np.int64)


def rows(n, dtype):
    """One node's list as to_numpy might return it: mostly right, sometimes not."""
    values = st.lists(node_indices(n), max_size=5)
    right = values.map(lambda v: Layout("contiguous", _index_row(v).astype(dtype)))
    return weighted(
        (8, right),
        (2, st.tuples(values, st.sampled_from(["read_only", "every_other_row", "reversed", "unaligned",
                                               "byte_swapped"])).map(
            lambda t: Layout(t[1], _index_row(t[0]).astype(dtype)))),
        (1, st.tuples(values, st.sampled_from(INT_DTYPES)).map(
            lambda t: Layout("contiguous", _index_row(t[0]).astype(t[1])))),
        (1, values.map(lambda v: Layout("contiguous", _index_row(v).reshape(-1, 1)))),
        (1, st.sampled_from([None, [0, 1], 3, "x", np.int64(0), hostile.Unmeasurable()])),
    )


@st.composite
def graphs(draw, n, dtype=np.int64):
    """A connections (int64 rows) or weights (float32 rows) object with n nodes."""
    if draw(st.integers(0, 10)) == 10:
        return draw(st.sampled_from(JUNK))
    real_rows = draw(st.lists(rows(n, dtype), min_size=n, max_size=n))
    fail_after = draw(weighted((6, st.none()), (1, st.integers(0, 3 * n + 3))))
    contains = draw(weighted((6, st.none()), (1, st.sampled_from([hostile.BadTruth(), 0, 1, "yes", np.array([1, 0])]))))
    return hostile.HostileGraph(real_rows, fail_after, contains)


@st.composite
def algorithm_inputs(draw, n):
    count = draw(weighted((6, st.integers(0, n)), (1, st.sampled_from([-1, n + 3, INT32_MAX, 2**40, 1.5, None]))))
    indices = draw(st.lists(node_indices(n), min_size=0, max_size=n + 2))
    labeled = draw(array_argument(_index_row(indices), INT_DTYPES))
    n_value = draw(weighted((8, st.just(n)), (1, st.sampled_from([-1, n + 1, 2**31, None, "3", 2.5]))))
    fail_on = draw(weighted((8, st.none()), (1, st.sampled_from(["n", "labeled_indices", "labeled_count"]))))
    return hostile.HostileInput(n_value, labeled, count, fail_on)


@st.composite
def find_connected_components_calls(draw):
    n = draw(st.integers(0, 8))
    connections = draw(graphs(n))
    args, kwargs = draw(bound([draw(algorithm_inputs(n)), connections], ["X", "connections"]))
    return Call("find_connected_components", args, kwargs)


@st.composite
def connect_unlabeled_calls(draw):
    n = draw(st.integers(0, 8))
    k = draw(st.integers(0, 3))
    knn = _index_row(draw(st.lists(node_indices(n), min_size=n * k, max_size=n * k))).reshape(n, k)
    weights = np.asarray(draw(st.lists(st.floats(-1, 10, width=32) | st.just(np.nan), min_size=n * k,
                                       max_size=n * k)), np.float32).reshape(n, k)
    flags = np.array(draw(st.lists(st.integers(0, 1), min_size=n, max_size=n)), np.uint8)
    components = draw(st.lists(st.tuples(st.lists(node_indices(n), max_size=n), st.integers(0, 1)), max_size=n + 1))
    odd_components = st.sampled_from([None, (), [([0], 0), None], [(None, 0)], [((0,), 0)], [([0],)],
                                      [(["0"], 0)], [([hostile.RaisingNumber()], 0)]])
    values = [draw(array_argument(knn, INT_DTYPES)), draw(array_argument(weights, INT_DTYPES)),
              draw(weighted((8, st.just(components)), (1, odd_components))),
              draw(array_argument(flags, INT_DTYPES)),
              draw(graphs(n)), draw(graphs(n, np.float32))]
    args, kwargs = draw(bound(values, ["knn_connections", "knn_weights", "components", "vertix_component_label",
                                       "connections", "weights"]))
    return Call("connect_unlabeled", args, kwargs)


@st.composite
def weighted_label_propagation_calls(draw):
    n = draw(st.integers(0, 8))
    labels = np.array(draw(st.lists(st.sampled_from([-1, -1, 0, 1, 2, INT32_MAX, INT32_MIN]), min_size=n,
                                    max_size=n + 2)), np.int32)
    values = [draw(graphs(n)), draw(graphs(n, np.float32)), draw(array_argument(labels, INT_DTYPES)),
              draw(ints((0, 50))), draw(doubles())]
    args, kwargs = draw(bound(values, ["connections", "weights", "initial_labels", "max_iterations", "tolerance"],
                              defaults=2))
    return Call("weighted_label_propagation", args, kwargs)


def csr_arrays(draw, n):
    """(indptr, indices, weights) of an n-node graph: mostly consistent, sometimes not."""
    degrees = draw(st.lists(st.integers(0, 4), min_size=n, max_size=n))
    indptr = np.concatenate([[0], np.cumsum(degrees, dtype=np.int64)]).astype(np.int64)
    nnz = int(indptr[-1])
    indptr = draw(weighted((8, st.just(indptr)), (1, st.lists(st.integers(-2, nnz + 2), max_size=n + 2).map(
        lambda v: np.array(v, np.int64)))))
    indices = _index_row(draw(st.lists(node_indices(n), min_size=nnz, max_size=nnz)))
    index_dtype = draw(st.sampled_from([np.int64, np.int32]))
    weights = np.asarray(draw(st.lists(st.floats(-1, 10, width=32) | st.sampled_from([0.0, np.nan, np.inf]),
                                       min_size=nnz, max_size=nnz + draw(weighted((8, st.just(0)), (1, st.just(1)))))),
                         np.float32)
    return [draw(array_argument(indptr, INT_DTYPES)), draw(array_argument(cast(indices, index_dtype), INT_DTYPES)),
            draw(array_argument(weights, INT_DTYPES))]


# Thread counts, some of them out of the pool's range or of the wrong type.
THREADS_ARGUMENT = weighted((8, st.integers(1, 4)), (1, st.sampled_from([0, -1, 1025, 2**64, 1.5, None])))


@st.composite
def propagate_calls(draw):
    n = draw(st.integers(0, 8))
    labels = np.array(draw(st.lists(st.sampled_from([-1, -1, 0, 1, 2, INT32_MAX, INT32_MIN]), min_size=n,
                                    max_size=n + 1)), np.int32)
    flags = weighted((8, st.booleans()), (1, st.sampled_from([0, 2, None, "", np.bool_(True), hostile.BadTruth()])))
    # Sweep limits stay small: a run is allowed every sweep it asks for.
    max_iter = weighted((8, st.integers(0, 50)), (1, st.sampled_from([-1, 2**64, 2.5, None, "3"])))
    values = [*csr_arrays(draw, n), draw(array_argument(labels, INT_DTYPES)), draw(max_iter), draw(doubles()),
              draw(flags), draw(flags), draw(THREADS_ARGUMENT)]
    args, kwargs = draw(bound(values, ["indptr", "indices", "weights", "labels", "max_iter", "tol", "synchronous",
                                       "exact_stop", "n_threads"], defaults=2))
    return Call("propagate", args, kwargs)


@st.composite
def confidence_calls(draw):
    n = draw(st.integers(0, 8))
    labels, known = (np.array(draw(st.lists(st.sampled_from([-1, -1, 0, 1, 2, INT32_MAX, INT32_MIN]), min_size=n,
                                            max_size=n + 1)), np.int32) for _ in range(2))
    values = [*csr_arrays(draw, n), draw(array_argument(labels, INT_DTYPES)), draw(array_argument(known, INT_DTYPES)),
              draw(THREADS_ARGUMENT)]
    args, kwargs = draw(bound(values, ["indptr", "indices", "weights", "labels", "known", "n_threads"], defaults=1))
    return Call("label_confidence", args, kwargs)


@st.composite
def symmetric_calls(draw):
    n = draw(st.integers(0, 8))
    args, kwargs = draw(bound([*csr_arrays(draw, n), draw(THREADS_ARGUMENT)],
                              ["indptr", "indices", "weights", "n_threads"],
                              defaults=1))
    return Call("symmetric", args, kwargs)


@st.composite
def reverse_calls(draw):
    n = draw(st.integers(0, 8))
    nodes = np.array(sorted(draw(st.sets(node_indices(n), max_size=n + 1))), np.int64)
    values = [csr_tuple(draw, n), csr_tuple(draw, n), draw(array_argument(nodes, INT_DTYPES)), draw(THREADS_ARGUMENT)]
    args, kwargs = draw(bound(values, ["graph", "knn", "nodes", "n_threads"], defaults=1))
    return Call("reverse_subgraph", args, kwargs)


def flags(draw, n):
    values = np.array(draw(st.lists(st.integers(0, 1), min_size=n, max_size=n + draw(st.integers(0, 1)))), np.uint8)
    return draw(array_argument(values, INT_DTYPES))


def csr_tuple(draw, n):
    return draw(weighted((12, st.just(tuple(csr_arrays(draw, n)))),
                         (1, st.sampled_from([None, (), [0, 1, 2], (np.zeros(1, np.int64),) * 2]))))


@st.composite
def structure_and_flags_calls(draw, function, flags_name):
    """components(indptr, indices, labelled) and closed_groups(indptr, indices, reached)."""
    n = draw(st.integers(0, 8))
    indptr, indices, _ = csr_arrays(draw, n)
    args, kwargs = draw(bound([indptr, indices, flags(draw, n)], ["indptr", "indices", flags_name]))
    return Call(function, args, kwargs)


@st.composite
def connect_calls(draw):
    n = draw(st.integers(0, 8))
    knn = csr_tuple(draw, n)
    order = draw(array_argument(_index_row(draw(st.lists(node_indices(n), min_size=n, max_size=n))), INT_DTYPES))
    count = draw(st.integers(0, n))
    starts = np.array(sorted(draw(st.lists(st.integers(0, n), min_size=count, max_size=count))), np.int64)
    starts = draw(array_argument(np.concatenate([[0], starts]).astype(np.int64), INT_DTYPES))
    parts = draw(weighted((8, st.just((order, starts, flags(draw, count), flags(draw, n)))),
                          (1, st.sampled_from([None, (order,), [order] * 4]))))
    values = [knn, parts, flags(draw, n), csr_tuple(draw, n), draw(THREADS_ARGUMENT)]
    args, kwargs = draw(bound(values, ["knn", "components", "reached", "graph", "n_threads"], defaults=1))
    return Call("connect", args, kwargs)


@st.composite
def join_calls(draw):
    n = draw(st.integers(0, 8))
    count = draw(st.integers(0, 4))
    joins = tuple(draw(array_argument(np.asarray(values, dtype), INT_DTYPES)) for values, dtype in (
        (_index_row(draw(st.lists(node_indices(n), min_size=count, max_size=count))), np.int64),
        (_index_row(draw(st.lists(node_indices(n), min_size=count, max_size=count + 1))), np.int64),
        (draw(st.lists(st.floats(0, 10, width=32), min_size=count, max_size=count)), np.float32)))
    joins = draw(weighted((8, st.just(joins)), (1, st.sampled_from([None, (), joins[:2]]))))
    args, kwargs = draw(bound([csr_tuple(draw, n), joins, draw(THREADS_ARGUMENT)], ["graph", "joins", "n_threads"],
                              defaults=1))
    return Call("join", args, kwargs)


FUZZ = {
    "find_connected_components arguments": find_connected_components_calls(),
    "connect_unlabeled arguments": connect_unlabeled_calls(),
    "weighted_label_propagation arguments": weighted_label_propagation_calls(),
    "propagate arguments": propagate_calls(),
    "label_confidence arguments": confidence_calls(),
    "symmetric arguments": symmetric_calls(),
    "reverse_subgraph arguments": reverse_calls(),
    "components arguments": structure_and_flags_calls("components", "labelled"),
    "connect arguments": connect_calls(),
    "join arguments": join_calls(),
    "closed_groups arguments": structure_and_flags_calls("closed_groups", "reached"),
}

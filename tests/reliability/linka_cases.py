"""Case tables of the graph family, prepared ahead of its modules.

FUZZ is ready: malformed graphs (rows of the wrong kind, out-of-range and negative
indices, methods that raise or return the wrong things midway), malformed inputs and
label arrays. When the modules land, fill SUCCESS, ERRORS and THREADS from their failure
tables, as densa_cases does, and add this module to targets.FAMILIES.
"""

import numpy as np
from hypothesis import strategies as st

from reliability import hostile
from reliability.calls import Call, Layout
from reliability.strategies import (INT32_MAX, INT32_MIN, INT_DTYPES, JUNK, array_argument, bound, doubles, ints,
                                    weighted)

SUCCESS = {}
ERRORS = {}
THREADS = []


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


FUZZ = {
    "find_connected_components arguments": find_connected_components_calls(),
    "connect_unlabeled arguments": connect_unlabeled_calls(),
    "weighted_label_propagation arguments": weighted_label_propagation_calls(),
}

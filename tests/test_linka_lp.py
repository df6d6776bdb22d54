"""weighted_label_propagation: boundary, sweep rules, shared memory, and a reference sweep."""

import array
import importlib
import math
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from varnex.graph import GraphWrapper

LP = "varnex.algorithms.src.linka.binaries.linka_lp"
lp = importlib.import_module(LP)
propagate = lp.weighted_label_propagation


class Rows:
    """A stand-in graph: to_numpy(i) returns rows[i] as given, and logs i."""

    def __init__(self, rows, log=None):
        self.rows, self.log = rows, log if log is not None else []

    def to_numpy(self, node):
        self.log.append(node)
        row = self.rows[node]
        if isinstance(row, BaseException):
            raise row
        return row


def graph(neighbours, weights=None):
    """Fake connections/weights from per-node lists (weights default to 1.0)."""
    weights = weights or [[1.0] * len(row) for row in neighbours]
    return (Rows([np.array(r, np.int64) for r in neighbours]),
            Rows([np.array(w, np.float32) for w in weights]))


def labels(*values):
    return np.array(values, np.int32)


def read_only(row):
    row = row.copy()
    row.flags.writeable = False
    return row


# --- boundary and failure table ---------------------------------------------------

def test_module_and_function_object():
    assert [n for n in vars(lp) if not n.startswith("__") or n == "__test__"] == [
        "np", "perf_counter", "weighted_label_propagation", "__test__"]
    assert lp.np is np and lp.perf_counter is time.perf_counter and lp.__test__ == {}
    assert (propagate.__name__, propagate.__qualname__, propagate.__module__) == (
        "weighted_label_propagation", "weighted_label_propagation", LP)
    assert propagate.__defaults__ == (50000, 0.001)
    doc = propagate.__doc__.split("\n")
    assert doc[:6] == [
        "weighted_label_propagation(connections, weights, int[::1] initial_labels, size_t max_iterations=50000, "
        "double tolerance=1e-3) -> ndarray", "",
        "Performs weighted label propagation on the data graph represented by `connetions` and `weights`.", "",
        "    Parameters:", "    " + "-" * 16]
    assert doc[6:8] == ["    connections: GraphWrapper",
                        "        adjacency list (2D array where each row lists neighbors of a node)"]
    assert doc[-3:] == ["    tolerance: float", "        convergence threshold", "    "]


C, W = graph([[1], []])
BAD_ROW = np.zeros(1, np.int64)


@pytest.mark.parametrize("args, error, message", [
    ((C, W), TypeError, "weighted_label_propagation() takes at least 3 positional arguments (2 given)"),
    ((C, W, labels(-1, 0), 1, 0.1, 0), TypeError,
     "weighted_label_propagation() takes at most 5 positional arguments (6 given)"),
    ((C, W, labels(-1, 0).astype(np.int64)), ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ((C, W, labels(-1, 0, 0)[::2]), ValueError, "ndarray is not C-contiguous"),
    ((C, W, None), TypeError, "Argument 'initial_labels' must not be None"),
    ((C, W, read_only(labels(-1, 0))), ValueError, "read-only"),
    ((C, W, labels(-1, 0), -1), OverflowError, "can't convert negative value to size_t"),
    ((C, W, labels(-1, 0), 1, "x"), TypeError, "must be real number, not str"),
    # Declaration order: the label array is converted before max_iterations.
    ((C, W, np.zeros(2), -1), ValueError, "Buffer dtype mismatch, expected 'int' but got 'double'"),
    ((object(), W, labels(-1, 0)), AttributeError, "'object' object has no attribute 'to_numpy'"),
    ((Rows([[1]]), W, labels(-1, 0)), TypeError, "Cannot convert list to numpy.ndarray"),
    ((Rows([np.zeros((1, 1), np.int64)]), W, labels(-1, 0)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ((Rows([BAD_ROW.astype(np.int32)]), W, labels(-1, 0)), ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    ((C, Rows([np.ones(1)]), labels(-1, 0)), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
    # Where the rows break the limits the sweep relies on, the node is named.
    ((Rows([None]), W, labels(-1, 0)), TypeError, "connections.to_numpy(0) returned None"),
    ((C, Rows([None]), labels(-1, 0)), TypeError, "weights.to_numpy(0) returned None"),
    (graph([[1, 2], []]) + (labels(-1, 0),), IndexError, "node 0 lists neighbour 2, outside 0 .. 1"),
    (graph([[-1], []]) + (labels(-1, 0),), IndexError, "node 0 lists neighbour -1, outside 0 .. 1"),
    (graph([[2**32 + 1], []]) + (labels(-1, 0),), IndexError, "node 0 lists neighbour 4294967297"),
    (graph([[1, 1], []], [[1.0], []]) + (labels(-1, 0),), ValueError, "node 0 has 2 neighbours but only 1 weights"),
])
def test_failures(args, error, message):
    with pytest.raises(error) as info:
        propagate(*args)
    assert message in str(info.value)
    tb = info.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == LP + ".weighted_label_propagation"
    assert tb.tb_frame.f_code.co_filename == "varnex/algorithms/src/linka/source/linka_lp"


def test_keywords_and_call_order():
    connections, weights = graph([[1], [2], []])
    result = propagate(tolerance=0.0, max_iterations=3, initial_labels=labels(-1, -1, 4),
                       weights=weights, connections=connections)
    # Node 0 at every sweep until labelled, node 1 once; both rows of a node, as ints.
    assert list(result) == [4, 4, 4] and connections.log == weights.log == [0, 1, 0]
    assert all(type(i) is int for i in connections.log)


# --- sweep rules -------------------------------------------------------------------

NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("neighbour_labels, weights, expected", [
    ([5, 3], [1.0, 1.0], 5),                 # equal totals: first inserted wins
    ([3, 5], [1.0, 1.0], 3),
    ([7, 7, 9], [2.0, 2.0, 1.0], 9),         # 0.25 + 0.25 < 1.0
    ([2, 3], [1.0, 0.0], 3),                 # zero weight: +inf
    ([2, 3], [0.0, -0.0], 2),                # both +inf: first inserted
    ([2, 3], [NAN, 1.0], 3),                 # NaN total never wins
    ([2, 2], [1.0, NAN], -1),
    ([2, 3], [INF, INF], 2),                 # zero totals still beat -1.0
    ([-5, 4], [1.0, 2.0], -5),               # any value but -1 is a label
    ([], [], -1),
])
def test_scoring(neighbour_labels, weights, expected):
    n = len(neighbour_labels)
    connections, weight_rows = graph([list(range(1, n + 1))] + [[]] * n, [weights] + [[]] * n)
    result = propagate(connections, weight_rows, labels(-1, *neighbour_labels))
    assert result[0] == expected and list(result[1:]) == neighbour_labels


@pytest.mark.parametrize("initial, rows, tolerance, expected, calls", [
    # Labels found earlier in a sweep are seen later in it.
    ([4, -1, -1], [[], [0], [1]], 1e-3, [4, 4, 4], [1, 2]),
    # The other way round: node 0 waits a sweep (diff 1.0, then 2.0); the third ends the run.
    ([-1, -1, 4], [[1], [2], []], 1e-3, [4, 4, 4], [0, 1, 0]),
    # Strict comparison: max_diff 1.0 of the first sweep stops only a larger tolerance.
    ([-1, -1, 4], [[1], [2], []], 1.0000001, [-1, 4, 4], [0, 1]),
    ([-1, -1, 4], [[1], [2], []], 1.0, [4, 4, 4], [0, 1, 0]),
    # Only outgoing lists count; unlabelled neighbours give nothing; diff 0 after sweep one.
    ([-1, 3, -1], [[], [0], [0]], 1e-3, [-1, 3, -1], [0, 2, 0, 2]),
    ([1, 2], [[1], [0]], 1e-3, [1, 2], []),  # nothing to do: one sweep, no calls
])
def test_sweeps(initial, rows, tolerance, expected, calls):
    connections, weights = graph(rows)
    result = propagate(connections, weights, labels(*initial), tolerance=tolerance)
    assert list(result) == expected and connections.log == calls


@pytest.mark.parametrize("initial", [[], [3, 4]])
def test_nothing_to_do_returns_at_once_whatever_the_limit(initial):
    connections, weights = graph([[1], [0]][:len(initial)])
    result = propagate(connections, weights, labels(*initial), 2**64 - 1, 0.0)
    assert list(result) == initial and connections.log == []


@pytest.mark.parametrize("tolerance", [0.0, -1.0, NAN])
@pytest.mark.parametrize("max_iterations", [0, 1, 7])
def test_tolerance_that_never_stops_runs_every_sweep(tolerance, max_iterations):
    connections, weights = graph([[], [0]])
    result = propagate(connections, weights, labels(-1, -1), max_iterations, tolerance)
    assert list(result) == [-1, -1] and connections.log == [0, 1] * max_iterations


class Marked(np.ndarray):
    pass


@pytest.mark.parametrize("layout", [
    lambda row: np.repeat(row, 2)[::2],            # strided
    lambda row: np.repeat(row, 2)[::-2][::-1],     # negative strides
    read_only,
    lambda row: row.view(Marked),                  # ndarray subclass
    lambda row: row.astype(np.longlong if row.dtype.kind == "i" else np.float32),
])
def test_rows_of_any_layout_read_the_same(layout):
    neighbours = [[1, 2, 3], [2], [], [2, 1]]
    weights = [[2.0, 0.5, 1.0], [1.0], [], [3.0, 0.25]]
    plain = propagate(*graph(neighbours, weights), labels(-1, 7, 8, -1))
    connections, weight_rows = graph(neighbours, weights)
    connections.rows = [layout(r) for r in connections.rows]
    weight_rows.rows = [layout(r) for r in weight_rows.rows]
    assert list(propagate(connections, weight_rows, labels(-1, 7, 8, -1))) == list(plain) == [8, 7, 8, 7]


# --- the caller's memory -----------------------------------------------------------

def test_result_is_the_callers_memory():
    initial = labels(-1, 6)
    result = propagate(*graph([[1], []]), initial)
    assert result.dtype == np.int32 and result.shape == (2,) and np.shares_memory(result, initial)
    assert list(initial) == [6, 6]
    result[0] = 9
    assert initial[0] == 9
    exported = array.array("i", [-1, 6])   # any writable int32 buffer will do
    result = propagate(*graph([[1], []]), exported)
    result[1] = 2
    assert list(exported) == [6, 2]


def test_labels_written_before_a_failure_stay():
    error = KeyError("from to_numpy")
    connections = Rows([np.array(r, np.int64) for r in ([3], [0], [1], [])] + [error])
    initial = labels(-1, -1, -1, 8, -1)   # 0, 1, 2 are labelled in turn, then node 4 fails
    with pytest.raises(KeyError) as info:
        propagate(connections, Rows([np.ones(1, np.float32)] * 5), initial, tolerance=0.0)
    assert info.value is error and list(initial) == [8, 8, 8, 8, -1]


# --- against a reference sweep -------------------------------------------------------

def reference(neighbours, weights, initial, max_iterations, tolerance):
    """The propagation written out plainly, per-node totals in a dict."""
    final_labels, scores, calls = initial.copy(), [0.0] * len(initial), []
    for _ in range(max_iterations):
        max_diff = 0.0
        for i in range(len(final_labels)):
            if final_labels[i] != -1:
                continue
            calls.append(i)
            new_scores = {}
            for neighbor, weight in zip(neighbours[i], weights[i]):
                label = int(final_labels[neighbor])
                if label == -1:
                    continue
                weight = float(weight)
                reciprocal = 1.0 / weight if weight != 0.0 else math.copysign(INF, weight)
                contribution = reciprocal * reciprocal
                if label in new_scores:
                    new_scores[label] += contribution
                else:
                    new_scores[label] = contribution
            best_label, best_score = -1, -1.0
            for label, score in new_scores.items():
                if score > best_score:
                    best_label, best_score = label, score
            diff = abs(scores[i] - best_score)
            if diff > max_diff:
                max_diff = diff
            scores[i], final_labels[i] = best_score, best_label
        if max_diff < tolerance:
            break
    return final_labels, calls


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 60), max_iterations=st.sampled_from([0, 1, 3, 50000]),
       tolerance=st.sampled_from([1e-3, 0.0, 0.5, 3.0]))
def test_matches_reference_sweep(seed, n, max_iterations, tolerance):
    rng = np.random.default_rng(seed)
    connections, weights = GraphWrapper(n), GraphWrapper(n, np.float32)
    # Few distinct weights make ties; some zero and NaN weights, some random ones.
    palette = np.array([0.5, 1.0, 2.0, 0.0, NAN, 0.7], np.float32)
    for i in range(n):
        for _ in range(rng.integers(0, 6)):
            connections.append(i, int(rng.integers(n)))
            weights.append(i, float(palette[rng.integers(6)] if rng.random() < 0.7 else rng.random()))
    initial = rng.choice(np.array([-1, -1, -1, -1, 0, 1, 2, -3], np.int32), n)
    expected, calls = reference([connections.to_numpy(i) for i in range(n)], [weights.to_numpy(i) for i in range(n)],
                                initial, max_iterations, tolerance)
    log = []
    recorded = Rows([connections.to_numpy(i) for i in range(n)], log)
    result = propagate(recorded, weights, initial, max_iterations, tolerance)
    np.testing.assert_array_equal(result, expected)
    assert log == calls

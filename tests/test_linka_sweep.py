"""propagate over CSR arrays: the index-order rule against weighted_label_propagation, the
synchronous rule against a NumPy reference, the stop rules and the checks of the arrays."""

import _thread
import signal
import threading

import numpy as np
import pytest

from varnex.algorithms.src.linka.binaries.linka_lp import weighted_label_propagation
from varnex.algorithms.src.linka.binaries.linka_sweep import propagate
from varnex.graph import GraphWrapper


def random_graph(seed, n_max=40, ties=False):
    """(indptr, indices, weights, labels): random out-degrees 0..5, some self-loops and
    repeated neighbours; with `ties`, weights from a few values so scores tie often."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, n_max))
    indptr = np.zeros(n + 1, np.int64)
    np.cumsum(rng.integers(0, 6, n), out=indptr[1:])
    indices = rng.integers(0, n, indptr[-1]).astype(np.int64)
    if ties:
        weights = rng.choice([0.5, 1.0, 2.0], indptr[-1]).astype(np.float32)
    else:
        weights = rng.uniform(0.1, 3.0, indptr[-1]).astype(np.float32)
    labels = np.where(rng.random(n) < 0.2, rng.integers(0, 3, n), -1).astype(np.int32)
    return indptr, indices, weights, labels


def synchronous_reference(indptr, indices, weights, labels):
    """Layers in NumPy: each sweep labels every unlabelled node with a labelled neighbour
    from the labels of the sweep before; ties by strongest edge, then smallest label.
    Once a sweep labels nothing, every node unlabelled at the start votes once more."""
    free = np.flatnonzero(labels == -1)

    def vote(i, before):
        row = slice(indptr[i], indptr[i + 1])
        seen, strength = before[indices[row]], weights[row].astype(np.float64) ** -2.0
        known = seen != -1
        if not known.any():
            return before[i]
        totals = {}
        for label, s in zip(seen[known], strength[known]):
            totals[label] = totals.get(label, 0.0) + s
        best = max(totals.values())
        tied = [label for label, total in totals.items() if total == best]
        return max(tied, key=lambda label: (strength[seen == label].max(), -label))

    labels = labels.copy()
    while True:
        before = labels.copy()
        for i in np.flatnonzero(before == -1):
            labels[i] = vote(i, before)
        if np.array_equal(before, labels):
            break
    return np.array([vote(i, labels) if i in free else labels[i] for i in range(labels.size)], np.int32)


def wrappers(indptr, indices, weights):
    return (GraphWrapper.from_csr(indptr, indices, dtype=np.int64),
            GraphWrapper.from_csr(indptr, weights, dtype=np.float32))


@pytest.mark.parametrize("index_dtype", [np.int64, np.int32])
@pytest.mark.parametrize("tol", [1e-3, 0.0, 2.0, np.nan])
@pytest.mark.parametrize("max_iter", [0, 1, 3, 50])
def test_exact_stop_in_index_order_matches_weighted_label_propagation(index_dtype, tol, max_iter):
    for seed in range(40):
        indptr, indices, weights, labels = random_graph(seed, ties=True)
        weights[::7] = 0.0  # +inf scores
        expected = labels.copy()
        weighted_label_propagation(*wrappers(indptr, indices, weights), expected, max_iter, tol)
        got = labels.copy()
        propagate(indptr, indices.astype(index_dtype), weights, got, max_iter, tol, False, True)
        np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("ties", [False, True])
def test_synchronous_rule_matches_the_layer_reference(ties):
    for seed in range(60):
        indptr, indices, weights, labels = random_graph(seed, ties=ties)
        got = labels.copy()
        propagate(indptr, indices, weights, got, 10**6, 1e-3, True)
        np.testing.assert_array_equal(got, synchronous_reference(indptr, indices, weights, labels))


@pytest.mark.parametrize("seed", range(10))
def test_synchronous_rule_commutes_with_renumbering_the_nodes(seed):
    indptr, indices, weights, labels = random_graph(seed, n_max=200, ties=True)
    n = labels.size
    order = np.random.default_rng(seed).permutation(n)   # new node k is old node order[k]
    rank = np.argsort(order)
    rows = [rank[indices[indptr[i]:indptr[i + 1]]] for i in order]
    new_indptr = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.int64)
    new_weights = np.concatenate([weights[indptr[i]:indptr[i + 1]] for i in order] + [np.zeros(0, np.float32)])
    new_indices = np.concatenate(rows + [np.zeros(0, np.int64)]).astype(np.int64)
    plain, renumbered = labels.copy(), labels[order].copy()
    propagate(indptr, indices, weights, plain, 1000, 1e-3, True)
    propagate(new_indptr, new_indices, new_weights, renumbered, 1000, 1e-3, True)
    np.testing.assert_array_equal(renumbered, plain[order])


def chain(n):
    """Node i lists i + 1 (weight 0.5); only the last node is labelled: index order needs
    one sweep per node, as do the layers."""
    indptr = np.arange(n + 1, dtype=np.int64)
    indptr[-1] = n - 1
    indices = np.arange(1, n, dtype=np.int64)
    labels = np.full(n, -1, np.int32)
    labels[-1] = 3
    return indptr, indices, np.full(n - 1, 0.5, np.float32), labels


@pytest.mark.parametrize("synchronous", [False, True])
def test_tolerance_ends_labelling_only_under_the_exact_stop(synchronous):
    indptr, indices, weights, labels = chain(6)
    exact, settled = labels.copy(), labels.copy()
    # Every labelling raises a score by 5.0 at most: a tolerance of 10 ends the exact run early.
    assert propagate(indptr, indices, weights, exact, 100, 10.0, synchronous, True) == 1
    assert list(exact) == [-1, -1, -1, -1, 3, 3]
    # Five sweeps label a node each, the sixth labels none and ends the labelling; the
    # synchronous rule then re-votes once.
    assert propagate(indptr, indices, weights, settled, 100, 10.0, synchronous) == 6 + synchronous
    assert list(settled) == [3] * 6
    limited = labels.copy()
    assert propagate(indptr, indices, weights, limited, 2, 10.0, synchronous) == 2
    assert list(limited) == [-1, -1, -1, 3, 3, 3]


def test_index_order_labels_a_forward_chain_in_one_sweep_and_layers_do_not():
    indptr = np.array([0, 0, 1, 2, 3], np.int64)
    indices = np.array([0, 1, 2], np.int64)   # node i lists i - 1; node 0 labelled
    weights = np.ones(3, np.float32)
    in_place, layers = np.array([1, -1, -1, -1], np.int32), np.array([1, -1, -1, -1], np.int32)
    assert propagate(indptr, indices, weights, in_place, 100, 1e-3, False) == 2
    assert propagate(indptr, indices, weights, layers, 100, 1e-3, True) == 5
    assert list(in_place) == list(layers) == [1] * 4


def test_read_only_graph_arrays_are_accepted_and_left_alone():
    indptr, indices, weights, labels = random_graph(3)
    copies = [a.copy() for a in (indptr, indices, weights)]
    for a in (indptr, indices, weights):
        a.flags.writeable = False
    propagate(indptr, indices, weights, labels, 100, 1e-3, True)
    for a, b in zip((indptr, indices, weights), copies):
        np.testing.assert_array_equal(a, b)


GOOD = (np.array([0, 1, 2], np.int64), np.array([1, 0], np.int64), np.ones(2, np.float32))


def arguments(**changes):
    values = dict(zip(("indptr", "indices", "weights"), GOOD), labels=np.array([0, -1], np.int32))
    values.update(changes)
    return values


SHARED = np.zeros(4, np.int32)


@pytest.mark.parametrize("changes, error, message", [
    (dict(indptr=np.array([0, 2], np.int64)), ValueError, "indptr has 2 entries for 2 nodes"),
    (dict(indptr=np.array([1, 1, 2], np.int64)), ValueError, "indptr must run from 0"),
    (dict(indptr=np.array([0, 1, 1], np.int64)), ValueError, "indptr must run from 0 to the number of indices (2)"),
    (dict(indptr=np.array([0, 3, 2], np.int64)), ValueError, "indptr falls from 3 to 2 at node 1"),
    (dict(indices=np.array([1, 2], np.int64)), ValueError, "indices[1] is 2, outside the nodes 0 .. 1"),
    (dict(indices=np.array([-1, 0], np.int32)), ValueError, "indices[0] is -1"),
    (dict(weights=np.ones(3, np.float32)), ValueError, "weights has 3 entries for 2 indices"),
    (dict(weights=np.ones(2)), ValueError, "expected 'float32_t' but got 'double'"),
    (dict(indices=np.array([1, 0], np.int16)), ValueError, "expected 'int64_t' but got 'short'"),
    (dict(indptr=np.array([0, 1, 2], np.int32)), ValueError, "expected 'int64_t' but got 'int'"),
    (dict(labels=np.array([0, -1], np.int64)), ValueError, "expected 'int' but got 'long'"),
    (dict(labels=np.array([0, 0, -1, -1], np.int32)[::2]), ValueError, "contiguous"),
    (dict(indices=np.array([1, 9, 0, 9], np.int64)[::2]), ValueError, "contiguous"),
    (dict(labels=None), TypeError, "'labels' must not be None"),
    (dict(indptr=None), TypeError, "'indptr' must not be None"),
    (dict(indices=SHARED[:2], labels=SHARED[1:3]), ValueError, "labels shares memory with indices"),
])
def test_malformed_arrays_are_rejected_before_any_label_changes(changes, error, message):
    values = arguments(**changes)
    before = None if values["labels"] is None else values["labels"].copy()
    with pytest.raises(error) as info:
        propagate(**values, max_iter=10, tol=1e-3, synchronous=True)
    assert message in str(info.value)
    if before is not None:
        np.testing.assert_array_equal(values["labels"], before)


def test_keywords_defaults_and_an_empty_graph():
    assert propagate.__defaults__ == (False, 1)
    empty = np.zeros(0, np.int32)
    assert propagate(np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0, np.float32), empty, 5, 0.0,
                     synchronous=False, exact_stop=True) == 1
    with pytest.raises(TypeError, match="takes at least 7 positional arguments"):
        propagate(*GOOD, np.zeros(2, np.int32), 5, 0.1)


def test_other_threads_run_while_it_sweeps():
    # Labelled from its far end, a chain of n nodes takes n sweeps over up to n nodes in
    # index order.
    indptr, indices, weights, labels = chain(8000)
    ticks = []
    worker = threading.Thread(target=propagate, args=(indptr, indices, weights, labels, 10**6, 1e-3, False))
    worker.start()
    while worker.is_alive():
        ticks.append(1)
        worker.join(0.001)
    assert labels[0] == 3 and len(ticks) > 1


def test_ctrl_c_stops_a_long_run_and_keeps_what_it_found():
    indptr, indices, weights, labels = chain(30000)   # about 4.5e8 node visits in index order
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)   # whatever ran before
    timer = threading.Timer(0.05, _thread.interrupt_main)
    try:
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            propagate(indptr, indices, weights, labels, 10**6, 1e-3, False)
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)
    assert labels[0] == -1 and labels[-2] == 3

"""Clustering rules of densa_main."""

import importlib

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from sklearn.cluster import DBSCAN
from scipy.spatial import KDTree
from sklearn.neighbors import BallTree

from conftest import CORE, unlabelled

densa_core = importlib.import_module(CORE)  # hypothesis tests cannot take function-scoped fixtures

PATHS = [("minkowski", 2), ("euclidean", 2)]  # k-d tree path, ball tree path


def as_new_cluster_ids(sklearn_labels):
    """sklearn numbers clusters 0, 1, ...; densa_main numbers them -2, -3, ..."""
    return np.where(sklearn_labels >= 0, -2 - sklearn_labels, -1).astype(np.int32)


@pytest.mark.parametrize("metric, p", PATHS)
@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 150), eps=st.floats(0.05, 0.6),
       min_samples=st.integers(1, 8))
def test_unlabelled_data_matches_dbscan(metric, p, seed, n, eps, min_samples):
    points = np.random.default_rng(seed).random((n, 2))
    expected = DBSCAN(eps=eps, min_samples=min_samples).fit(points).labels_
    result = densa_core.densa_main(points, eps, min_samples, unlabelled(n), metric, p)
    np.testing.assert_array_equal(result, as_new_cluster_ids(expected))


def line(*xs):
    return np.array([[x, 0.0] for x in xs])


@pytest.mark.parametrize("metric, p", PATHS)
def test_known_labels_are_kept_and_never_merged(core, blobs, metric, p):
    points, truth = blobs
    labels = unlabelled(len(points))
    first_of_each = [np.flatnonzero(truth == c)[0] for c in range(3)]
    labels[first_of_each[0]] = 7
    labels[first_of_each[1]] = 3
    result = core.densa_main(points, 1.5, 4, labels, metric, p)
    np.testing.assert_array_equal(result[truth == 0], 7)
    np.testing.assert_array_equal(result[truth == 1], 3)
    np.testing.assert_array_equal(result[truth == 2], -2)   # the unlabelled blob is a new cluster
    assert labels[first_of_each[0]] == 7 and np.count_nonzero(labels != -1) == 2  # input untouched


def test_labelled_non_core_point_seeds_and_spreads(core):
    # 0 -- 1 -- 2 spaced by 1.0; no point has 3 neighbours, but the label spreads to its
    # unlabelled neighbour, which as a non-core point does not spread further.
    result = core.densa_main(line(0, 1, 2), 1.0, 4, np.array([-1, 5, -1], np.int32), "minkowski", 2)
    np.testing.assert_array_equal(result, [5, 5, 5])
    result = core.densa_main(line(0, 1, 2, 3), 1.0, 4, np.array([5, -1, -1, -1], np.int32), "minkowski", 2)
    np.testing.assert_array_equal(result, [5, 5, -1, -1])


@pytest.mark.parametrize("reverse", [False, True])
def test_labelled_non_core_point_claims_before_labelled_core_point(core, reverse):
    # Point 1 is within reach of A (point 0, non-core) and of B (point 2, core thanks to 3, 4).
    points = line(0.0, 1.0, 2.0, 2.5, 2.7)
    labels = np.array([0, -1, 1, -1, -1], np.int32)
    if reverse:
        points, labels = points[::-1].copy(), labels[::-1].copy()
    result = core.densa_main(points, 1.0, 3, labels, "minkowski", 2)
    if reverse:
        result = result[::-1]
    np.testing.assert_array_equal(result, [0, 0, 1, 1, 1])


def test_neighbouring_different_labels_both_kept(core):
    result = core.densa_main(line(0, 0.5, 1.0), 1.0, 2, np.array([1, 2, -1], np.int32), "minkowski", 2)
    assert list(result[:2]) == [1, 2] and result[2] in (1, 2)


@pytest.mark.parametrize("min_samples", [1, 0, -3])
def test_small_min_samples_makes_every_point_core(core, min_samples):
    points = line(0, 10, 20, 20.5)
    result = core.densa_main(points, 1.0, min_samples, unlabelled(4), "minkowski", 2)
    np.testing.assert_array_equal(result, [-2, -3, -4, -4])


def test_label_below_minus_one_joins_only_its_own_new_cluster(core):
    points = line(0, 0.5, 1.0, 10, 10.5, 11)
    labels = np.array([-1, -3, -1, -1, -1, -1], np.int32)
    result = core.densa_main(points, 0.6, 2, labels, "minkowski", 2)
    # Cluster -2 grows from point 0 and stops at point 1 (label -3 is neither -1 nor -2);
    # point 1 then seeds -3 itself, which takes point 2.
    np.testing.assert_array_equal(result, [-2, -3, -3, -4, -4, -4])


def test_longer_labels_and_empty_input(core, blobs):
    points, _ = blobs
    labels = unlabelled(len(points) + 5)
    labels[-5:] = 99  # never read
    result = core.densa_main(points, 1.5, 4, labels, "minkowski", 2)
    assert result.dtype == np.int32 and result.shape == (len(points),) and 99 not in result
    empty = core.densa_main(np.empty((0, 2)), 1.0, 2, unlabelled(0), "minkowski", 2)
    assert empty.dtype == np.int32 and empty.shape == (0,)
    with pytest.raises(ValueError, match="0 sample"):  # the ball tree refuses an empty set
        core.densa_main(np.empty((0, 2)), 1.0, 2, unlabelled(0), "euclidean", 2)


class Spy:
    """Stands in for an index class, recording how it is built and queried."""

    def __init__(self, real, calls):
        self.real, self.calls = real, calls

    def __call__(self, data, **kwargs):
        self.calls.append((self.real.__name__, kwargs))
        tree = self.real(data, **kwargs)
        spy_calls = self.calls

        class Tree:
            def query_ball_tree(self, other, r):
                spy_calls.append(("query_ball_tree", r))
                return tree.query_ball_tree(tree, r=r)

            def query_radius(self, X, r):
                spy_calls.append(("query_radius", r))
                return tree.query_radius(X, r=r)

        return Tree()


@pytest.mark.parametrize(
    "metric, p, built",
    [
        ("minkowski", 2, ("KDTree", {})),
        ("minkowski", 1, ("BallTree", {"metric": "minkowski", "p": 1})),
        ("euclidean", 2, ("BallTree", {"metric": "euclidean"})),
        ("manhattan", 3, ("BallTree", {"metric": "manhattan"})),
    ],
)
def test_index_choice(core, monkeypatch, blobs, metric, p, built):
    calls = []
    monkeypatch.setattr(core, "KDTree", Spy(KDTree, calls))
    monkeypatch.setattr(core, "BallTree", Spy(BallTree, calls))
    points, _ = blobs
    core.densa_main(points, 1.5, 4, unlabelled(len(points)), metric, p)
    assert calls[0] == built
    assert calls[1] == ("query_ball_tree" if built[0] == "KDTree" else "query_radius", 1.5)


def fake_tree(neighbourhoods):
    class Tree:
        def __init__(self, data):
            pass

        def query_ball_tree(self, other, r):
            return neighbourhoods

    return Tree


def unaligned(entry):
    """int64 indices at an odd address, as a view into a byte buffer can hold them."""
    raw = np.zeros(8 * len(entry) + 1, np.uint8)
    array = raw[1:].view(np.int64)
    array[:] = entry
    return array


@pytest.mark.parametrize(
    "as_entry",
    [list, tuple, lambda e: np.array(e, np.int64), lambda e: np.array(e, np.int32),
     lambda e: np.array(e, np.int64)[::-1], lambda e: np.array(e, np.uint16),
     lambda e: [np.int64(i) for i in e], lambda e: np.array(e, np.float64), unaligned],
    ids=["list", "tuple", "int64", "int32", "reversed", "uint16", "numpy-ints", "floats", "unaligned"],
)
def test_any_sequence_of_indices_is_read_alike(core, monkeypatch, blobs, as_entry):
    points, truth = blobs
    labels = unlabelled(len(points))
    labels[np.flatnonzero(truth == 1)[:2]] = 4
    table = KDTree(points).query_ball_tree(KDTree(points), r=1.5)
    expected = core.densa_main(points, 1.5, 4, labels, "minkowski", 2)
    monkeypatch.setattr(core, "KDTree", fake_tree([as_entry(e) for e in table]))
    np.testing.assert_array_equal(core.densa_main(points, 1.5, 4, labels, "minkowski", 2), expected)


@pytest.mark.parametrize(
    "table, error, message",
    [
        ((([0], [1], [2])), TypeError, "Expected list, got tuple"),
        (None, TypeError, "Expected list, got NoneType"),
        ([[0], [1]], ValueError, "the neighbour query returned 2 entries for 3 points"),
        ([[0, 3], [1], [2]], IndexError, r"Out of bounds on buffer access \(axis 0\)"),
        ([[0, -4], [1], [2]], IndexError, r"Out of bounds on buffer access \(axis 0\)"),
        ([np.array([0, 2**40]), [1], [2]], OverflowError, "value too large to convert to int"),
        ([[0, 2**40], [1], [2]], OverflowError, "value too large to convert to int"),
        ([[0, "1"], [1], [2]], TypeError, "an integer is required"),
        ([[0, 1], 5, [2]], TypeError, "has no len()"),
    ],
)
def test_bad_neighbour_tables_are_refused(core, monkeypatch, table, error, message):
    monkeypatch.setattr(core, "KDTree", fake_tree(table))
    with pytest.raises(error, match=message):
        core.densa_main(line(0, 1, 2), 1.0, 1, np.array([0, -1, -1], np.int32), "minkowski", 2)


def test_negative_neighbour_index_counts_from_the_end(core, monkeypatch):
    monkeypatch.setattr(core, "KDTree", fake_tree([[0, -1], [1], [2]]))
    result = core.densa_main(line(0, 1, 2), 1.0, 1, np.array([0, -1, -1], np.int32), "minkowski", 2)
    np.testing.assert_array_equal(result, [0, -2, 0])


def test_entries_that_are_never_scanned_are_never_converted(core, monkeypatch):
    # Only core or labelled points have their entries scanned; a bad index elsewhere
    # must not raise.
    monkeypatch.setattr(core, "KDTree", fake_tree([[0], [1, 2**40], ["x"]]))
    result = core.densa_main(line(0, 10, 20), 1.0, 3, unlabelled(3), "minkowski", 2)
    np.testing.assert_array_equal(result, [-1, -1, -1])


def test_neighbour_table_resized_during_clustering(core, monkeypatch):
    # Python code that runs mid-clustering (here an item's __int__) may grow or shrink
    # the table; nothing may then be read outside it.
    table = [[0, 1], [1], [2], [3]]

    class Shrinking:
        def __int__(self):
            del table[1:]
            return 2

    class Growing:
        def __int__(self):
            table.extend([[0]] * 100)
            return 1

    monkeypatch.setattr(core, "KDTree", fake_tree(table))
    labels = np.array([0, -1, -1, -1], np.int32)
    table[:] = [[0, Shrinking()], [1], (2,), [3]]  # the tuple row is read when reached
    with pytest.raises(IndexError, match="list index out of range"):
        core.densa_main(line(0, 1, 2, 3), 1.0, 1, labels, "minkowski", 2)
    # -1 reaches the last of the four points, not the last entry of the grown list.
    table[:] = [[0, Growing(), -1], [1], [2], [3]]
    result = core.densa_main(line(0, 1, 2, 3), 1.0, 1, labels, "minkowski", 2)
    np.testing.assert_array_equal(result, [0, 0, -2, 0])

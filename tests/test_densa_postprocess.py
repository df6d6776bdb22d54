import traceback

import numpy as np
import pytest
import sklearn.metrics

from varnex.algorithms.src.densa.binaries import densa_postprocess as module
from varnex.algorithms.src.densa.binaries.densa_postprocess import densa_postprocess

I32 = np.int32
PTS = np.array([[0, 0], [1, 0], [10, 10], [11, 10], [5, 4], [9, 9], [2, 1], [6, 6]], dtype=float)
LAB = np.array([0, 0, 1, 1, -2, -2, -1, -1], dtype=I32)


def test_module_namespace_and_signature():
    assert module.np is np and module.DistanceMetric is sklearn.metrics.DistanceMetric
    assert module.__test__ == {}
    assert densa_postprocess.__doc__ == ("densa_postprocess(double[:, ::1] points, ndarray labels_in, "
                                         "str metric='minkowski', int p=2, int threshold=-1)")
    assert densa_postprocess.__defaults__ == ("minkowski", 2, -1)


@pytest.mark.parametrize("args, error, message", [
    ((PTS.astype(np.float32), [0], 5, "x"), ValueError, "expected 'double' but got 'float'"),
    ((PTS, [0], None, 2**40, "x"), OverflowError, "value too large to convert to int"),
    ((PTS, [0], 5, 2, "x"), TypeError, "an integer is required"),
    ((PTS, [0], 5), TypeError, "Argument 'labels_in' has incorrect type (expected numpy.ndarray, got list)"),
    ((PTS, LAB.astype(np.int64), 5), TypeError, "Argument 'metric' has incorrect type (expected str, got int)"),
    ((None, LAB.astype(np.int64)), ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ((None, LAB.reshape(2, 4)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ((None, LAB), TypeError, "Argument 'points' must not be None"),
    ((PTS, LAB[:5]), ValueError, "labels_in has 5 entries but points has 8 rows"),
    ((PTS[:0], np.full(3, -1, I32)), ValueError, "labels_in has 3 entries but points has 0 rows"),
    ((PTS, None), AttributeError, "copy"),
    ((PTS, LAB, None), ValueError, "Unrecognized metric"),
    ((np.asfortranarray(PTS), LAB), ValueError, "contiguous"),
])
def test_boundary_checks_in_order(args, error, message):
    with pytest.raises(error) as info:
        densa_postprocess(*args)
    assert message in str(info.value)
    assert "varnex.algorithms.src.densa.binaries.densa_postprocess.densa_postprocess" in [
        entry.name for entry in traceback.extract_tb(info.tb)]


def test_read_only_points_rejected_but_read_only_strided_labels_accepted():
    frozen = PTS.copy()
    frozen.flags.writeable = False
    with pytest.raises(ValueError):
        densa_postprocess(frozen, LAB)
    wide = np.repeat(LAB, 2)[::2]
    wide.flags.writeable = False
    out = densa_postprocess(points=PTS, labels_in=wide, threshold=-1, p=2, metric="minkowski")
    assert out.flags.c_contiguous and out.dtype == I32
    assert out.tolist() == densa_postprocess(PTS, LAB).tolist()
    with pytest.raises(TypeError, match="unexpected keyword argument 'treshold'"):
        densa_postprocess(PTS, LAB, treshold=0)


TIE = np.array([[0.0, 1], [0, -1], [5, 0]])


@pytest.mark.parametrize("points, labels, kwargs, expected", [
    (PTS, LAB, {}, [0, 0, 1, 1, 0, 1, 0, 1]),
    (PTS, LAB, {"threshold": 1}, [1] * 8),
    (PTS, [0, 0, -2, -2, -3, -3, -1, -1], {"threshold": -5}, [0, 0, -2, -2, -3, -3, 0, -3]),
    (PTS, [-1] * 8, {}, [-1] * 8),
    (PTS, LAB, {"threshold": 2}, [-1] * 8),
    (PTS, [0, 0, 1, 1, 1, 0, 0, 1], {}, [0, 0, 1, 1, 1, 0, 0, 1]),  # members never move
    (PTS, [0, -1, 1, -1, -1, -1, -1, -1], {}, [0, 0, 1, 1, 0, 1, 0, 1]),  # single-point clusters
    (TIE, [7, 3, -1], {}, [7, 3, 3]),  # equidistant: the smaller label wins
])
def test_dissolution_and_assignment(points, labels, kwargs, expected):
    labels = np.array(labels, dtype=I32)
    before, points_before = labels.copy(), points.copy()
    out = densa_postprocess(points, labels, **kwargs)
    assert out.tolist() == expected and out.dtype == I32
    assert not np.shares_memory(out, labels) and np.array_equal(labels, before)
    assert np.array_equal(points, points_before)


class PerPair:
    """Stands in for DistanceMetric, forcing one metric call per pair; records each call."""

    def __init__(self, distance=None):
        self.calls, self.distance = [], distance

    def get_metric(self, *args, **kwargs):
        self.inner = sklearn.metrics.DistanceMetric.get_metric(*args, **kwargs)
        return self

    def pairwise(self, xs, ys):
        self.calls.append((len(xs), np.shape(ys)))
        if self.distance is not None:
            return [[self.distance(xs[0], ys[0])]]
        return self.inner.pairwise(xs, ys)


def both_paths(monkeypatch, *args, distance=None):
    batched = densa_postprocess(*args) if distance is None else None
    spy = PerPair(distance)
    with monkeypatch.context() as m:
        m.setattr(module, "DistanceMetric", spy)
        return batched, densa_postprocess(*args), spy.calls


RNG = np.random.default_rng(7)


@pytest.mark.parametrize("points, labels, metric, p", [
    (RNG.normal(size=(400, 3)), RNG.integers(-4, 5, 400), "minkowski", 2),
    (RNG.normal(size=(400, 3)), RNG.integers(-4, 5, 400), "minkowski", 3),
    (RNG.normal(size=(300, 3)), RNG.integers(-2, 4, 300), "chebyshev", 2),
    (RNG.integers(0, 3, (300, 2)).astype(float), RNG.integers(-2, 6, 300), "manhattan", 2),  # many ties
    (RNG.normal(scale=100, size=(200, 3)), RNG.integers(-2, 3, 200), "minkowski", 1000),  # inf distances
    ((RNG.random((200, 4)) > 0.7).astype(float), RNG.integers(-2, 3, 200), "dice", 2),  # NaN distances
    (RNG.normal(size=(1600, 1000)), RNG.integers(-2, 3, 1600), "euclidean", 2),  # several blocks
])
def test_batched_and_per_pair_paths_agree(monkeypatch, points, labels, metric, p):
    labels = labels.astype(I32)
    batched, per_pair, calls = both_paths(monkeypatch, points, labels, metric, p, 0)
    assert np.array_equal(batched, per_pair)
    survivors = len(np.unique(labels[labels >= 0]))
    assert calls == [(1, (1, points.shape[1]))] * (survivors * int(np.sum(labels < 0)))


def test_per_pair_scan_ignores_nan_and_inf_and_keeps_first_tie(monkeypatch):
    label_of = {10: 0, 20: 3, 30: 7}
    table = {(0, 0): np.nan, (0, 3): 5.0, (0, 7): 5.0,
             (1, 0): np.inf, (1, 3): np.nan, (1, 7): np.inf,
             (2, 0): 9.0, (2, 3): np.inf, (2, 7): -1.0}
    points = np.array([[0.0], [1], [2], [10], [20], [30]])
    labels = np.array([-1, -1, -1, 0, 3, 7], I32)
    _, out, _ = both_paths(monkeypatch, points, labels, "minkowski", 2, -5,
                           distance=lambda c, row: table[int(row[0]), label_of[int(c[0])]])
    assert out.tolist() == [3, -1, 7, 0, 3, 7]


@pytest.mark.parametrize("bad_rows", [[(5, np.nan)], [(5, np.inf), (7, np.nan)], [(0, np.nan)]])
def test_library_errors_match_per_pair_protocol(monkeypatch, bad_rows):
    points = RNG.normal(size=(10, 2))
    labels = np.array([0, 0, 1, 1, -1, -1, -1, -1, -1, -1], I32)
    for row, value in bad_rows:
        points[row, 0] = value
    # Recent scikit-learn releases refuse NaN and inf in pairwise(); older ones compute.
    outcomes = []
    for rebind in (False, True):
        with monkeypatch.context() as m:
            if rebind:
                m.setattr(module, "DistanceMetric", PerPair())
            try:
                outcomes.append(("result", densa_postprocess(points, labels).tolist()))
            except ValueError as error:
                outcomes.append(("error", str(error)))
    assert outcomes[0] == outcomes[1]


def test_rebound_numpy_gets_every_call_with_the_same_result(monkeypatch):
    calls = []

    class NumpySpy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    points, labels = RNG.normal(size=(300, 3)), RNG.integers(-3, 5, 300).astype(I32)
    expected = densa_postprocess(points, labels)
    monkeypatch.setattr(module, "np", NumpySpy())
    assert np.array_equal(densa_postprocess(points, labels), expected)
    assert calls == ["unique"] + ["array", "mean"] * 7 + ["unique"] + ["array", "mean"] * 5


# Centroids from one grouping of the rows ---------------------------------------------

class RecordingMetric:
    """A stand-in metric class recording every centroid handed to pairwise()."""

    def __init__(self):
        self.centroids = []

    def get_metric(self, *args, **kwargs):
        return self

    def pairwise(self, X, Y):
        self.centroids.append(np.asarray(X[0]).copy())
        return [[float(np.abs(np.asarray(X[0]) - np.asarray(Y[0])).sum())]]


def clustered_points(kind, seed=0):
    rng = np.random.default_rng(seed)
    n, d, clusters = {"one feature": (5000, 1, 400), "many features": (4000, 9, 300),
                      "thousands of clusters": (9000, 3, 3000), "large offset": (3000, 4, 50),
                      "mixed magnitudes": (3000, 5, 40)}[kind]
    labels = rng.integers(-clusters, clusters, n).astype(I32)
    labels[labels == -1] = 0
    labels[0] = -1   # one noise point to place
    points = rng.normal(size=(n, d))
    if kind == "large offset":
        points = 1e15 + points * 3.0
    elif kind == "mixed magnitudes":
        points = points * 10.0 ** rng.integers(-300, 300, size=(n, d))
    return np.ascontiguousarray(points), labels


@pytest.mark.parametrize("kind", ["one feature", "many features", "thousands of clusters", "large offset",
                                  "mixed magnitudes"])
def test_centroids_equal_mask_and_mean_bit_for_bit(monkeypatch, kind):
    points, labels = clustered_points(kind)
    recorder = RecordingMetric()
    monkeypatch.setattr(module, "DistanceMetric", recorder)
    densa_postprocess(points, labels, "euclidean", 2, np.iinfo(I32).min)
    keys = [v for v in np.unique(labels) if v != -1]
    expected = [np.mean(np.array(points)[labels == v], axis=0) for v in keys]
    assert len(recorder.centroids) == len(expected)
    assert all(got.tobytes() == want.tobytes() for got, want in zip(recorder.centroids, expected))


def nearest_centroid_reference(points, labels, threshold):
    """A short NumPy version: dissolve, then nearest surviving centroid (Euclidean)."""
    labels = np.where((labels != -1) & (labels < threshold), -1, labels)
    keys = np.array([v for v in np.unique(labels) if v != -1])
    if len(keys) == 0:
        return labels
    centroids = np.array([points[labels == v].mean(axis=0) for v in keys])
    noise = labels == -1
    distances = np.sqrt(((points[noise][:, None, :] - centroids[None]) ** 2).sum(axis=2))
    labels[noise] = keys[np.argmin(distances, axis=1)]
    return labels


@pytest.mark.parametrize("threshold", [-1, 2, -40, 10**6])
def test_labels_match_a_numpy_reference(threshold):
    points, labels = clustered_points("many features", seed=1)
    labels[::5] = -1
    assert np.array_equal(densa_postprocess(points, labels, threshold=threshold),
                          nearest_centroid_reference(points, labels, threshold))


class CountingNumpy:
    """numpy under another name: forces the call-by-call route, counting np.mean."""

    def __init__(self):
        self.means = 0

    def __getattr__(self, name):
        return getattr(np, name)

    def mean(self, *args, **kwargs):
        self.means += 1
        return np.mean(*args, **kwargs)


def test_rebound_numpy_gets_every_call_and_the_same_labels(monkeypatch):
    points, labels = clustered_points("thousands of clusters", seed=2)
    labels[::7] = -1
    expected = densa_postprocess(points, labels)
    counting = CountingNumpy()
    monkeypatch.setattr(module, "np", counting)
    assert np.array_equal(densa_postprocess(points, labels), expected)
    n_clusters = len(set(labels.tolist()) - {-1})
    n_known = len(set(labels[labels >= 0].tolist()))
    assert counting.means == n_clusters + n_known   # both tables, the second after dissolution


def test_means_of_dissolved_clusters_still_warn_when_they_would(monkeypatch):
    # A sum that overflows inside a dissolved cluster: its mean warns, as it does when
    # every call is made.
    points = np.array([[0.0], [1.0], [1e308], [1.5e308], [5.0]])
    labels = np.array([0, 0, -2, -2, -1], I32)
    with pytest.warns(RuntimeWarning, match="overflow"):
        out = densa_postprocess(points, labels, "manhattan")
    monkeypatch.setattr(module, "np", CountingNumpy())
    with pytest.warns(RuntimeWarning, match="overflow"):
        assert np.array_equal(densa_postprocess(points, labels, "manhattan"), out)

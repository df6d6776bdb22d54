"""Case tables of the density family: densa_main and densa_postprocess.

SUCCESS and ERRORS drive the leak and thread checks (ERRORS follows the failure tables:
binding, conversion, buffer and library errors, and the errors raised mid-clustering);
FUZZ holds the hypothesis strategies for the child-process fuzzing.
"""

import numpy as np
from hypothesis import strategies as st
from scipy.spatial import KDTree
from sklearn.metrics import DistanceMetric

from reliability import hostile
from reliability.calls import DELETED, Call, Layout, ModuleRef
from reliability.strategies import (INT32_MAX, INT32_MIN, INT_DTYPES, FLOAT_DTYPES, JUNK, array_argument, bound,
                                    doubles, ints, label_values, metrics, point_arrays, weighted)

CORE_PARAMETERS = ["data", "eps", "min_samples", "labels", "metric", "p"]
POST_PARAMETERS = ["points", "labels_in", "metric", "p", "threshold"]


def _blobs(n, seed):
    rng = np.random.default_rng(seed)
    centres = np.array([[0.0, 0.0], [6.0, 0.0], [0.0, 6.0]])
    return np.ascontiguousarray(centres[np.arange(n) % 3] + rng.normal(scale=0.7, size=(n, 2)))


POINTS = _blobs(300, 1)
SMALL = _blobs(30, 2)
LABELS = np.full(300, -1, np.int32)
LABELS[[0, 1, 2, 10]] = [0, 1, 2, 0]
SMALL_LABELS = LABELS[:30].copy()
CLUSTERS = np.where(np.arange(300) % 7 == 0, -1, np.arange(300) % 3).astype(np.int32)
CLUSTERS[5::11] = -2


def core(*args, **kwargs):
    patches = kwargs.pop("patches", {})
    return Call("densa_main", args, kwargs, patches)


def post(*args, **kwargs):
    patches = kwargs.pop("patches", {})
    return Call("densa_postprocess", args, kwargs, patches)


def _kd_table(points, eps):
    tree = KDTree(points)
    return tree.query_ball_tree(tree, r=eps)


SUCCESS = {
    "densa_main k-d tree": core(POINTS, 0.5, 5, LABELS, "minkowski", 2),
    "densa_main ball tree p=1": core(POINTS, 0.5, 5, LABELS, "minkowski", 1),
    "densa_main ball tree euclidean": core(POINTS, 0.5, 5, LABELS, "euclidean", 2),
    "densa_main by keyword, longer labels": core(data=POINTS[:200], eps=0.5, min_samples=3, labels=LABELS,
                                                 metric="minkowski", p=2),
    "densa_main no rows": core(np.empty((0, 2)), 0.5, 5, LABELS[:0], "minkowski", 2),
    "densa_main tuple neighbourhoods": core(SMALL, 1.0, 3, SMALL_LABELS, "minkowski", 2,
                                            patches={"KDTree": hostile.TreeFactory(
                                                [tuple(e) for e in _kd_table(SMALL, 1.0)])}),
    "densa_main __int__ returns an int subclass": core(SMALL, 1.0, hostile.IntLike(hostile.IntSubclass(3)),
                                                      SMALL_LABELS, "minkowski", 2),  # with a DeprecationWarning
    "densa_main ctypes data": core(Layout("ctypes", SMALL), 1.0, 3, SMALL_LABELS, "minkowski", 2),
    "densa_postprocess defaults": post(POINTS, CLUSTERS),
    "densa_postprocess threshold 1, manhattan": post(POINTS, CLUSTERS, "manhattan", 3, 1),
    "densa_postprocess nothing dissolved": post(POINTS, CLUSTERS, "minkowski", 1, threshold=-5),
    "densa_postprocess strided labels": post(SMALL, Layout("every_other_row", CLUSTERS[:30])),
    "densa_postprocess read-only labels": post(SMALL, Layout("read_only", CLUSTERS[:30])),
    "densa_postprocess all noise": post(SMALL, np.full(30, -1, np.int32)),
    "densa_postprocess no rows": post(np.empty((0, 2)), np.empty(0, np.int32)),
    "densa_postprocess pair by pair": post(SMALL, CLUSTERS[:30], "euclidean",
                                           patches={"DistanceMetric": hostile.FakeMetricClass(hostile.FakeMetric())}),
}

_D, _L = SMALL, SMALL_LABELS
ERRORS = {
    # Argument binding.
    "densa_main no arguments": (core(), TypeError),
    "densa_main too many": (core(_D, 1.0, 2, _L, "minkowski", 2, 0), TypeError),
    "densa_main unknown keyword": (core(_D, 1.0, 2, _L, "minkowski", p=2, q=1), TypeError),
    "densa_main given twice": (core(_D, 1.0, 2, _L, "minkowski", 2, eps=1.0), TypeError),
    # Conversion of scalars and the str test.
    "densa_main eps not a float": (core(_D, "1.0", 2, _L, "minkowski", 2), TypeError),
    "densa_main min_samples not an int": (core(_D, 1.0, "2", _L, "minkowski", 2), TypeError),
    "densa_main p overflows": (core(_D, 1.0, 2, _L, "minkowski", 2**40), OverflowError),
    "densa_main __int__ returns a str": (core(_D, 1.0, hostile.IntLike("2"), _L, "minkowski", 2), TypeError),
    "densa_main __int__ raises": (core(_D, 1.0, hostile.RaisingNumber(), _L, "minkowski", 2), hostile.HostileError),
    "densa_main metric not a str": (core(_D, 1.0, 2, _L, b"minkowski", 2), TypeError),
    # Typed arrays.
    "densa_main data float32": (core(_D.astype(np.float32), 1.0, 2, _L, "minkowski", 2), ValueError),
    "densa_main data one-dimensional": (core(_D.ravel(), 1.0, 2, _L, "minkowski", 2), ValueError),
    "densa_main data transposed": (core(Layout("transposed", _D), 1.0, 2, _L, "minkowski", 2), ValueError),
    "densa_main data read-only": (core(Layout("read_only", _D), 1.0, 2, _L, "minkowski", 2), ValueError),
    "densa_main data misaligned": (core(Layout("unaligned", _D), 1.0, 2, _L, "minkowski", 2), ValueError),
    "densa_main data a list": (core(_D.tolist(), 1.0, 2, _L, "minkowski", 2), TypeError),
    "densa_main data None": (core(None, 1.0, 2, _L, "minkowski", 2), TypeError),
    "densa_main labels int64": (core(_D, 1.0, 2, _L.astype(np.int64), "minkowski", 2), ValueError),
    "densa_main labels None": (core(_D, 1.0, 2, None, "minkowski", 2), TypeError),
    "densa_main labels shorter than data": (core(_D, 1.0, 2, _L[:-1], "minkowski", 2), ValueError),
    # The index and its query.
    "densa_main unknown metric": (core(_D, 1.0, 2, _L, "nonsense", 2), ValueError),
    "densa_main exponent refused": (core(_D, 1.0, 2, _L, "minkowski", 0), ValueError),
    "densa_main ball tree on no rows": (core(_D[:0], 1.0, 2, _L[:0], "euclidean", 2), ValueError),
    "densa_main index name missing": (core(_D, 1.0, 2, _L, "minkowski", 2, patches={"KDTree": DELETED}), NameError),
    "densa_main index fails": (core(_D, 1.0, 2, _L, "minkowski", 2,
                                    patches={"KDTree": hostile.TreeFactory(None, fail="query")}), hostile.HostileError),
    "densa_main query not a list": (core(_D, 1.0, 2, _L, "minkowski", 2,
                                         patches={"KDTree": hostile.TreeFactory(tuple(_kd_table(_D, 1.0)))}),
                                    TypeError),
    "densa_main query too short": (core(_D, 1.0, 2, _L, "minkowski", 2,
                                        patches={"KDTree": hostile.TreeFactory(_kd_table(_D, 1.0)[:-1])}), ValueError),
    "densa_main work array refused": (core(_D, 1.0, 2, _L, "minkowski", 2,
                                           patches={"np": hostile.FakeNumpy({"empty": hostile.Raising()})}),
                                      hostile.HostileError),
    # Inside expand_cluster: bad neighbour entries.
    "densa_main neighbour out of range": (core(_D[:3], 1.0, 1, _L[:3], "minkowski", 2, patches={
        "KDTree": hostile.TreeFactory([[0, 3], [1], [2]])}), IndexError),
    "densa_main neighbour overflows": (core(_D[:3], 1.0, 1, _L[:3], "minkowski", 2, patches={
        "KDTree": hostile.TreeFactory([np.array([0, 2**40]), [1], [2]])}), OverflowError),
    "densa_main neighbour not an int": (core(_D[:3], 1.0, 1, _L[:3], "minkowski", 2, patches={
        "KDTree": hostile.TreeFactory([[0, "1"], [1], [2]])}), TypeError),
    "densa_main entry without a length": (core(_D[:3], 1.0, 1, _L[:3], "minkowski", 2, patches={
        "KDTree": hostile.TreeFactory([[0], 5, [2]])}), TypeError),
    # densa_postprocess, in its order of validation.
    "densa_postprocess points float32": (post(_D.astype(np.float32), _L), ValueError),
    "densa_postprocess points read-only": (post(Layout("read_only", _D), _L), ValueError),
    "densa_postprocess points None": (post(None, _L), TypeError),
    "densa_postprocess p not an int": (post(_D, _L, "minkowski", "2"), TypeError),
    "densa_postprocess threshold overflows": (post(_D, _L, threshold=2**31), OverflowError),
    "densa_postprocess labels a list": (post(_D, _L.tolist()), TypeError),
    "densa_postprocess metric not a str": (post(_D, _L, 5), TypeError),
    "densa_postprocess labels int64": (post(_D, _L.astype(np.int64)), ValueError),
    "densa_postprocess labels two-dimensional": (post(_D, _L.reshape(2, -1)), ValueError),
    "densa_postprocess labels misaligned": (post(_D, Layout("unaligned", _L)), ValueError),
    "densa_postprocess labels None": (post(_D, None), AttributeError),
    "densa_postprocess lengths differ": (post(_D, _L[:-1]), ValueError),
    "densa_postprocess unknown metric": (post(_D, CLUSTERS[:30], "nonsense"), ValueError),
    "densa_postprocess metric None": (post(_D, CLUSTERS[:30], None), ValueError),
    "densa_postprocess exponent refused": (post(_D, CLUSTERS[:30], "minkowski", -1), ValueError),
    "densa_postprocess metric fails": (post(_D, CLUSTERS[:30], patches={"DistanceMetric": hostile.FakeMetricClass(
        hostile.FakeMetric(fail=True))}), hostile.HostileError),
    "densa_postprocess unique fails": (post(_D, CLUSTERS[:30], patches={"np": hostile.FakeNumpy(
        {"unique": hostile.Raising()})}), hostile.HostileError),
    "densa_postprocess copy is short": (post(_D, hostile.hostile_labels(CLUSTERS[:30], "truncated")), IndexError),
}

# Calls for the thread check: no patches (they are module-wide), results compared.
THREADS = [
    SUCCESS["densa_main k-d tree"], SUCCESS["densa_main ball tree p=1"], SUCCESS["densa_main no rows"],
    core(SMALL, 1.0, 3, SMALL_LABELS, "chebyshev", 2), core(POINTS[:100], 0.3, 2, LABELS, "minkowski", 2),
    ERRORS["densa_main labels shorter than data"][0], ERRORS["densa_main unknown metric"][0],
    SUCCESS["densa_postprocess defaults"], SUCCESS["densa_postprocess threshold 1, manhattan"],
    post(SMALL, CLUSTERS[:30], "chebyshev"), ERRORS["densa_postprocess lengths differ"][0],
    ERRORS["densa_postprocess unknown metric"][0],
]


# Fuzzing --------------------------------------------------------------------------

# A whole clustering, run again from inside a call (an item's __int__), with the real
# libraries: with the outer call's stand-ins it would recurse without end.
REENTRY = core(SMALL, 1.0, 3, SMALL_LABELS, "minkowski", 2, patches={"KDTree": KDTree, "np": ModuleRef("numpy")})
CORE_LABELS = [-1, -1, -1, 0, 1, 2, -2, -3, -7, INT32_MAX, INT32_MIN]
POST_LABELS = [-1, -1, 0, 1, 2, -2, -3, 7, INT32_MAX, INT32_MIN]


@st.composite
def densa_main_arguments(draw):
    """Malformed and extreme arguments, the library names left alone."""
    points = draw(point_arrays())
    labels = draw(label_values(len(points), CORE_LABELS))
    values = [draw(array_argument(points, FLOAT_DTYPES)), draw(doubles()), draw(ints()),
              draw(array_argument(labels, INT_DTYPES)), draw(metrics()), draw(ints((-2, 4)))]
    args, kwargs = draw(bound(values, CORE_PARAMETERS))
    return core(*args, **kwargs)


def _index_array(values, dtype):
    # Indices outside the dtype's range wrap around, as a C cast would.
    return np.array([v & (2**64 - 1) for v in values], np.uint64).astype(dtype)


def neighbour_entries(n):
    index = weighted((8, st.integers(-n - 2, n + 2)),
                     (1, st.sampled_from([INT32_MAX, INT32_MIN, 2**31, 2**40, -(2**63), 2**64])))
    indices = st.lists(index, max_size=6)
    odd_items = st.sampled_from([hostile.RaisingNumber(), hostile.IntLike("x"), hostile.IntLike(1), 1.5, None,
                                 np.int64(1), np.uint64(2**63), True, hostile.Reentrant(REENTRY, 1)])
    return weighted(
        (6, indices),
        (2, indices.map(tuple)),
        (3, st.tuples(indices, st.sampled_from([np.int64, np.int32, np.int16, np.uint64, np.float64, np.bool_]),
                      st.sampled_from(["contiguous", "reversed", "every_other_row", "unaligned", "byte_swapped",
                                       "read_only", "memoryview"])).map(
            lambda t: Layout(t[2], _index_array(t[0], t[1])))),
        (1, st.tuples(indices, st.integers(0, 3), st.booleans()).map(
            lambda t: hostile.LyingSequence(t[0], t[1], t[2]))),
        (1, st.tuples(indices, odd_items).map(lambda t: t[0] + [t[1]])),
        (1, st.sampled_from([None, 5, "ab", hostile.Unmeasurable(), hostile.Unmeasurable(-1),
                             hostile.Unmeasurable(2**70), np.zeros((2, 2), np.int64), np.int64(3)])),
    )


@st.composite
def neighbour_tables(draw, n):
    length = draw(weighted((6, st.just(n)), (1, st.integers(max(n - 2, 0), n + 2))))
    table = draw(st.lists(neighbour_entries(n), min_size=length, max_size=length))
    # Python code the clustering runs (an item's __int__) may change the table, or the
    # entry being read, under its feet.
    lists = [e for e in table if isinstance(e, list)]
    if lists and draw(st.integers(0, 3)) == 0:
        entry = draw(st.sampled_from(lists))
        target = table if draw(st.booleans()) else entry
        action = draw(st.sampled_from(["clear", "truncate", "grow", "replace"]))
        entry.append(hostile.MutatingInt(target, action, draw(st.integers(-n, n))))
    container = draw(weighted((8, st.just(list)), (1, st.sampled_from([tuple, hostile.LyingSequence]))))
    return container(table)


@st.composite
def densa_main_with_hostile_libraries(draw):
    """Well-formed arguments; the neighbour index or numpy answer wrongly."""
    points = draw(point_arrays())
    n = len(points)
    labels = draw(label_values(n, CORE_LABELS))
    min_samples = draw(st.integers(-1, 4))
    metric, p = draw(st.sampled_from([("minkowski", 2), ("minkowski", 1), ("euclidean", 2)]))
    which = draw(st.sampled_from(["index", "index", "numpy"]))
    if which == "index":
        name = "KDTree" if (metric, p) == ("minkowski", 2) else "BallTree"
        fail = draw(weighted((8, st.none()), (1, st.sampled_from(["build", "query"]))))
        patches = {name: hostile.TreeFactory(draw(neighbour_tables(n)), fail)}
    else:
        overrides = draw(st.dictionaries(
            st.sampled_from(["full", "zeros", "empty", "asarray", "int8", "int32"]),
            st.sampled_from([hostile.Raising(), hostile.Returning(None), hostile.Returning([0, 1]),
                             hostile.Reshaped("empty", "truncated")]),
            min_size=1, max_size=3))
        for name in overrides:
            if name in ("int8", "int32"):
                overrides[name] = draw(st.sampled_from([np.int64, np.float64, np.uint8, np.int16, np.bool_, "x"]))
            elif draw(st.booleans()):
                overrides[name] = hostile.Reshaped(name, draw(st.sampled_from(hostile.RESHAPINGS)))
        patches = {"np": hostile.FakeNumpy(overrides)}
    return core(points, draw(st.floats(0, 3)), min_samples, labels, metric, p, patches=patches)


def label_argument(labels):
    return weighted(
        (6, array_argument(labels, INT_DTYPES)),
        (1, st.sampled_from(["raise", "self", *hostile.RESHAPINGS]).map(
            lambda how: hostile.hostile_labels(labels, how))),
    )


@st.composite
def densa_postprocess_arguments(draw):
    points = draw(point_arrays())
    labels = draw(label_values(len(points), POST_LABELS))
    values = [draw(array_argument(points, FLOAT_DTYPES)), draw(label_argument(labels)), draw(metrics()),
              draw(ints((-2, 4))), draw(ints((-4, 4)))]
    args, kwargs = draw(bound(values, POST_PARAMETERS, defaults=3))
    return post(*args, **kwargs)


def _pairwise_answers():
    return st.sampled_from([
        hostile.FakeMetric(), hostile.FakeMetric(fail=True), hostile.FakeMetric(value=0.5),
        hostile.ReentrantMetric(post(SMALL, CLUSTERS[:30], patches={"np": ModuleRef("numpy"), "DistanceMetric": DistanceMetric})),
        hostile.FakeMetric(value=[[np.nan]]), hostile.FakeMetric(value=[["x"]]), hostile.FakeMetric(value=[[]]),
        hostile.FakeMetric(value=np.zeros((0, 0))), hostile.FakeMetric(value=[[1.0, 2.0]]),
        *[hostile.FakeMetric(how=how) for how in hostile.RESHAPINGS]])


@st.composite
def densa_postprocess_with_hostile_libraries(draw):
    points = draw(point_arrays())
    n = len(points)
    labels = draw(label_values(n, POST_LABELS).filter(lambda a: len(a) == n))
    which = draw(st.sampled_from(["metric", "numpy"]))
    if which == "metric":
        metric = draw(weighted((6, _pairwise_answers()), (1, st.none())))
        patches = {"DistanceMetric": hostile.FakeMetricClass(metric)}
    else:
        junk_labels = st.sampled_from([[2**40], [np.nan], ["a"], [None], [hostile.IntLike(3)], [0, 0, 1],
                                       np.array([[0, 1]]), 5])
        overrides = {}
        for name in draw(st.sets(st.sampled_from(["unique", "mean", "array"]), min_size=1)):
            overrides[name] = draw(weighted(
                (3, st.sampled_from(hostile.RESHAPINGS).map(lambda how, name=name: hostile.Reshaped(name, how))),
                (1, st.just(hostile.Raising())),
                (1, junk_labels.map(hostile.Returning)),
            ))
        patches = {"np": hostile.FakeNumpy(overrides)}
    threshold = draw(st.integers(-4, 4))
    return post(points, labels, draw(st.sampled_from(["minkowski", "euclidean"])), 2, threshold, patches=patches)


FUZZ = {
    "densa_main arguments": densa_main_arguments(),
    "densa_main hostile libraries": densa_main_with_hostile_libraries(),
    "densa_postprocess arguments": densa_postprocess_arguments(),
    "densa_postprocess hostile libraries": densa_postprocess_with_hostile_libraries(),
}

__all__ = ["SUCCESS", "ERRORS", "THREADS", "FUZZ", "JUNK"]

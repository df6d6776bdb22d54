"""Hypothesis strategies for malformed and extreme arguments, shared by every family.

Branch 0 of every weighted choice is the well-formed one, so that shrinking heads for
the simplest valid input and a failure reads as "this one argument was odd".
"""

import math

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from reliability import hostile
from reliability.calls import LAYOUTS, Layout

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
FLOAT_SPECIALS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e308, -1e308, 5e-324, 1e-300]
INT_EXTREMES = [0, -1, 1, 2, INT32_MAX, INT32_MIN, INT32_MAX + 1, INT32_MIN - 1, 2**63, -(2**63), 10**30]
JUNK = [None, 0, 1.5, "x", b"ab", (), [], {}, hostile.RaisingNumber(), hostile.Unmeasurable()]

FLOAT_DTYPES = [np.float32, np.float16, np.longdouble, np.complex128, np.int64, np.int32, np.bool_, np.uint8,
                np.object_]
INT_DTYPES = [np.int64, np.int16, np.int8, np.uint32, np.uint64, np.float64, np.float32, np.bool_, np.object_]


def weighted(*options):
    """One of `options`, each a (weight, strategy) pair; the first is the simplest."""
    total = sum(w for w, _ in options)

    def pick(n):
        for w, strategy in options:
            if n < w:
                return strategy
            n -= w
        raise AssertionError

    return st.integers(0, total - 1).flatmap(pick)


def cast(array, dtype):
    with np.errstate(all="ignore"):
        if np.dtype(dtype).kind in "iub" and array.dtype.kind == "f":
            array = np.nan_to_num(array, posinf=0, neginf=0)
        return array.astype(dtype)


def redimension(array, how):
    if how == "flat":
        return array.reshape(-1)
    if how == "extra_axis":
        return array[..., None]
    if how == "scalar":
        return np.asarray(array.ravel()[0] if array.size else 0, array.dtype)
    return array.reshape(1, *array.shape)


def array_argument(base, wrong_dtypes):
    """`base` as given, in another layout or container, cast, reshaped, or replaced by junk."""
    return weighted(
        (6, st.just(Layout("contiguous", base))),
        (6, st.sampled_from(LAYOUTS).map(lambda kind: Layout(kind, base))),
        (2, st.sampled_from(wrong_dtypes).map(lambda dtype: Layout("contiguous", cast(base, dtype)))),
        (2, st.sampled_from(["flat", "extra_axis", "scalar", "leading_axis"]).map(
            lambda how: Layout("contiguous", redimension(base, how)))),
        (1, st.sampled_from(JUNK)),
    )


def coordinates():
    return weighted((8, st.floats(-10, 10, allow_nan=False)), (1, st.sampled_from(FLOAT_SPECIALS)))


def point_arrays(max_rows=12, max_cols=4):
    shape = st.tuples(st.integers(0, max_rows), weighted((6, st.integers(1, max_cols)), (1, st.just(0))))
    return hnp.arrays(np.float64, shape, elements=coordinates())


def label_values(n, values):
    """int32 labels for n points, the length sometimes off by a few."""
    length = weighted((6, st.just(n)), (2, st.integers(max(n - 3, 0), n + 3)))
    return length.flatmap(lambda m: hnp.arrays(np.int32, m, elements=st.sampled_from(values)))


def doubles():
    return weighted(
        (6, st.floats(0, 5)),
        (3, st.floats(allow_nan=True, allow_infinity=True)),
        (2, st.sampled_from(FLOAT_SPECIALS + [-1.0, 10**400, True, np.float32(0.5)])),
        (1, st.sampled_from(JUNK + [hostile.FloatLike("x"), hostile.FloatLike(1.0)])),
    )


def ints(small=(-3, 8)):
    return weighted(
        (6, st.integers(*small)),
        (2, st.sampled_from(INT_EXTREMES)),
        (2, st.sampled_from([2.7, -0.5, math.nan, math.inf, np.int64(3), np.float32(2.0), True,
                             hostile.IntLike(2), hostile.IntLike(2**40), hostile.IntLike("2"),
                             hostile.IntLike(None)])),
        (1, st.sampled_from(JUNK)),
    )


METRICS = ["minkowski", "euclidean", "manhattan", "chebyshev", "cityblock", "l1", "l2", "infinity", "haversine",
           "seuclidean", "mahalanobis", "hamming", "canberra", "braycurtis", "jaccard", "dice", "pyfunc",
           "precomputed", "", "nonsense", "MINKOWSKI", "minkowski\x00"]


def metrics():
    return weighted(
        (4, st.just("minkowski")),
        (4, st.sampled_from(METRICS)),
        (1, st.sampled_from(JUNK + [np.str_("minkowski")])),
        (1, st.text(max_size=8)),
    )


def bound(args, names, defaults=0):
    """The call's (args, kwargs): positional, by keyword, mixed, or a binding error
    (one missing, one too many, an unknown keyword, a value given twice)."""
    args = list(args)
    required = len(names) - defaults

    def shape(style):
        if style == "positional":
            return tuple(args), {}
        if style == "keywords":
            return (), dict(zip(names, args))
        if style == "mixed":
            return tuple(args[:2]), dict(zip(names[2:], args[2:]))
        if style == "defaults_used":
            return tuple(args[:required]), {}
        if style == "missing":
            return tuple(args[: required - 1]), {}
        if style == "too_many":
            return tuple(args) + (0,), {}
        if style == "unknown_keyword":
            return tuple(args), {"bogus": 1}
        return tuple(args), {names[0]: args[0]}  # given twice

    return weighted(
        (8, st.just("positional")),
        (3, st.sampled_from(["keywords", "mixed", "defaults_used"])),
        (1, st.sampled_from(["missing", "too_many", "unknown_keyword", "twice"])),
    ).map(shape)

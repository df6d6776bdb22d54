"""Case tables of the entry points that place and find cluster centres: label_groups,
cluster_means and nearest_centres (module densa_arrays). Fuzzing covers labels anywhere
in int32 (spans far wider than the rows, which the counting sort must not follow),
points, weights and exponents with NaN and infinities, lengths and widths that disagree,
and thread counts in and out of range.
"""

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from reliability.calls import Call
from reliability.densa_cases import LABELS, POINTS
from reliability.strategies import (INT32_MAX, INT32_MIN, INT_DTYPES, FLOAT_DTYPES, array_argument, bound, doubles,
                                    ints, label_values, point_arrays, weighted)

GROUPS, MEANS, NEAREST = "label_groups", "cluster_means", "nearest_centres"
GROUPS_PARAMETERS = ["labels", "n_threads"]
MEANS_PARAMETERS = ["labels", "points", "weights", "n_threads"]
NEAREST_PARAMETERS = ["points", "centres", "p", "n_threads"]
# Many rows, so that the sort splits them between threads and a cluster spans several runs.
MANY_LABELS = np.random.default_rng(0).integers(-3, 4, 70_000).astype(np.int32)
MANY_POINTS = np.random.default_rng(1).normal(size=(70_000, 2))
WEIGHTS = np.linspace(-0.5, 3.0, len(LABELS))


def call(function, *args, **kwargs):
    return Call(function, args, kwargs)


SUCCESS = {
    "label_groups few": call(GROUPS, LABELS),
    "label_groups many on 3 threads": call(GROUPS, MANY_LABELS, 3),
    "label_groups spread across int32": call(GROUPS, np.array([INT32_MAX, INT32_MIN, 0, INT32_MAX], np.int32), 2),
    "label_groups none": call(GROUPS, np.empty(0, np.int32)),
    "cluster_means few": call(MEANS, LABELS, POINTS, None),
    "cluster_means weighted": call(MEANS, LABELS, POINTS, WEIGHTS, 2),
    "cluster_means many on 4 threads": call(MEANS, MANY_LABELS, MANY_POINTS, np.abs(MANY_POINTS[:, 0]), 4),
    "cluster_means no rows": call(MEANS, np.empty(0, np.int32), np.empty((0, 2)), None),
    "cluster_means no features": call(MEANS, LABELS, np.empty((len(LABELS), 0)), None),
    "nearest_centres euclidean": call(NEAREST, POINTS, POINTS[::50].copy(), 2.0),
    # Five chunks of points for two threads.
    "nearest_centres chebyshev on 2 threads": call(NEAREST, MANY_POINTS[:10_000], MANY_POINTS[:7].copy(), np.inf, 2),
    "nearest_centres no centres": call(NEAREST, POINTS, np.empty((0, 2)), 1.0),
}

ERRORS = {
    "label_groups no arguments": (call(GROUPS), TypeError),
    "label_groups int64 labels": (call(GROUPS, LABELS.astype(np.int64)), ValueError),
    "label_groups no threads": (call(GROUPS, LABELS, 0), ValueError),
    "label_groups too many threads": (call(GROUPS, LABELS, 1025), ValueError),
    "cluster_means points short": (call(MEANS, LABELS, POINTS[:-1], None), ValueError),
    "cluster_means weights short": (call(MEANS, LABELS, POINTS, WEIGHTS[:-1]), ValueError),
    "cluster_means points None": (call(MEANS, LABELS, None, None), TypeError),
    "cluster_means float32 points": (call(MEANS, LABELS, POINTS.astype(np.float32), None), ValueError),
    "nearest_centres other width": (call(NEAREST, POINTS, np.zeros((3, 3)), 2.0), ValueError),
    "nearest_centres p below 1": (call(NEAREST, POINTS, POINTS[:3].copy(), 0.5), ValueError),
    "nearest_centres p NaN": (call(NEAREST, POINTS, POINTS[:3].copy(), np.nan), ValueError),
}

THREADS = [SUCCESS["label_groups many on 3 threads"], SUCCESS["cluster_means weighted"],
           SUCCESS["cluster_means many on 4 threads"], SUCCESS["nearest_centres chebyshev on 2 threads"],
           ERRORS["cluster_means weights short"][0]]


# Fuzzing --------------------------------------------------------------------------

LABEL_CHOICES = [-1, -1, 0, 1, 2, -2, -7, INT32_MAX, INT32_MIN]


def threads():
    return weighted((6, st.integers(1, 4)), (1, ints()))


@st.composite
def groups_arguments(draw):
    labels = draw(label_values(draw(st.integers(0, 12)), LABEL_CHOICES))
    values = [draw(array_argument(labels, INT_DTYPES)), draw(threads())]
    args, kwargs = draw(bound(values, GROUPS_PARAMETERS, defaults=1))
    return call(GROUPS, *args, **kwargs)


@st.composite
def means_arguments(draw):
    points = draw(point_arrays())
    n = len(points)
    labels = draw(label_values(n, LABEL_CHOICES))
    weight = st.floats(allow_nan=True, allow_infinity=True)
    weights = draw(st.none() | hnp.arrays(np.float64, draw(weighted((6, st.just(n)), (1, st.integers(0, n + 2)))),
                                          elements=weight))
    values = [draw(array_argument(labels, INT_DTYPES)), draw(array_argument(points, FLOAT_DTYPES)),
              weights if weights is None else draw(array_argument(weights, FLOAT_DTYPES)), draw(threads())]
    args, kwargs = draw(bound(values, MEANS_PARAMETERS, defaults=1))
    return call(MEANS, *args, **kwargs)


@st.composite
def nearest_arguments(draw):
    points, centres = draw(point_arrays()), draw(point_arrays(max_rows=4))
    exponent = weighted((4, st.sampled_from([1.0, 2.0, 3.0, np.inf])), (1, doubles()))
    values = [draw(array_argument(points, FLOAT_DTYPES)), draw(array_argument(centres, FLOAT_DTYPES)),
              draw(exponent), draw(threads())]
    args, kwargs = draw(bound(values, NEAREST_PARAMETERS, defaults=1))
    return call(NEAREST, *args, **kwargs)


FUZZ = {
    "label_groups arguments": groups_arguments(),
    "cluster_means arguments": means_arguments(),
    "nearest_centres arguments": nearest_arguments(),
}

__all__ = ["SUCCESS", "ERRORS", "THREADS", "FUZZ"]

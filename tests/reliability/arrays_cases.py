"""Case tables of the array entry points over points and products:
cluster_neighbourhoods, cluster_weighted_neighbourhoods, cluster_synchronously, neighbourhoods_from_pairs and
close_pairs (module densa_arrays), offer_tile (module linka_nearest).

SUCCESS and ERRORS drive the leak checks, THREADS the thread check, FUZZ the
child-process fuzzing: malformed CSR rows (indices out of range, a row listing its own
point, indptr that decreases or ends elsewhere), pairs and tiles, in every layout.
"""

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from reliability.calls import Call, Layout
from reliability.densa_cases import LABELS, POINTS
from reliability.strategies import (INT32_MAX, INT32_MIN, INT_DTYPES, FLOAT_DTYPES, JUNK, array_argument, bound,
                                    doubles, ints, label_values, point_arrays, weighted)

CLUSTER, PAIRS, TILE, NEAREST = "cluster_neighbourhoods", "neighbourhoods_from_pairs", "close_pairs", "offer_tile"
WEIGHTED = "cluster_weighted_neighbourhoods"
SYNC = "cluster_synchronously"
CLUSTER_PARAMETERS = ["indptr", "indices", "labels", "min_samples"]
WEIGHTED_PARAMETERS = CLUSTER_PARAMETERS + ["weights", "self_weights"]
SYNC_PARAMETERS = WEIGHTED_PARAMETERS + ["points", "p"]
PAIRS_PARAMETERS = ["blocks", "n_samples"]
TILE_PARAMETERS = ["products", "norms", "row_start", "column_start", "radius", "points"]
NEAREST_PARAMETERS = ["products", "norms", "row_start", "column_start", "points", "nearest_squared",
                      "nearest_index"]


def call(function, *args, **kwargs):
    return Call(function, args, kwargs)


def _rows(points, eps):
    """CSR rows of every pair within eps (the point itself left out), by brute force."""
    within = np.linalg.norm(points[:, None] - points[None], axis=2) <= eps
    np.fill_diagonal(within, False)
    indptr = np.concatenate([[0], np.cumsum(within.sum(axis=1))]).astype(np.int64)
    return indptr, np.nonzero(within)[1].astype(np.int32)


INDPTR, INDICES = _rows(POINTS, 0.5)
WEIGHTS = np.linspace(-0.5, 3.0, len(LABELS))
SPARSE_POINTS = (np.arange(len(LABELS) + 1, dtype=np.int64), np.zeros(len(LABELS), np.int32), POINTS[:, 0].copy())
PAIR_BLOCK = np.array([[0, 1], [1, 2], [5, 3]], np.int32)
CENTRED = POINTS - POINTS.mean(axis=0)
NORMS = np.einsum("ij,ij->i", CENTRED, CENTRED)
PRODUCTS = np.ascontiguousarray(CENTRED[:40] @ CENTRED[20:100].T)
ROW_PRODUCTS = np.ascontiguousarray(CENTRED[10:30] @ CENTRED[5:60].T).astype(np.float32)


def nearest_call(k=4, products=ROW_PRODUCTS, row_start=10, norms=NORMS, rows=20):
    return call(NEAREST, products, norms, row_start, 5, POINTS, np.full((rows, k), np.inf),
                np.full((rows, k), np.iinfo(np.int64).max))


SUCCESS = {
    "cluster_neighbourhoods blobs": call(CLUSTER, INDPTR, INDICES, LABELS, 5),
    "cluster_neighbourhoods by keyword": call(CLUSTER, indptr=INDPTR, indices=INDICES, labels=LABELS, min_samples=1),
    "cluster_neighbourhoods no rows": call(CLUSTER, np.zeros(1, np.int64), np.empty(0, np.int32),
                                           np.empty(0, np.int32), 5),
    "cluster_weighted_neighbourhoods blobs": call(WEIGHTED, INDPTR, INDICES, LABELS, 5.5, WEIGHTS, WEIGHTS),
    "cluster_weighted_neighbourhoods no rows": call(WEIGHTED, np.zeros(1, np.int64), np.empty(0, np.int32),
                                                    np.empty(0, np.int32), 1, np.empty(0), np.empty(0)),
    "cluster_synchronously points": call(SYNC, INDPTR, INDICES, LABELS, 5, None, None, POINTS, 2.0),
    "cluster_synchronously sparse points": call(SYNC, INDPTR, INDICES, LABELS, 5, None, None, SPARSE_POINTS, 1.0),
    "cluster_synchronously weighted, no points": call(SYNC, INDPTR, INDICES, LABELS, 5.5, WEIGHTS, WEIGHTS, None,
                                                      np.inf),
    "neighbourhoods_from_pairs blocks": call(PAIRS, [PAIR_BLOCK, PAIR_BLOCK[:0], PAIR_BLOCK[1:]], 6),
    "neighbourhoods_from_pairs none": call(PAIRS, [], 3),
    "close_pairs double": call(TILE, PRODUCTS, NORMS, 0, 20, 0.5, POINTS),
    "close_pairs single": call(TILE, PRODUCTS.astype(np.float32), NORMS, 0, 20, 0.5, POINTS),
    "offer_tile": nearest_call(),
    "offer_tile k=1": nearest_call(k=1),
    "offer_tile no rows": nearest_call(products=ROW_PRODUCTS[:0], rows=0),
}

_LABELS3 = np.full(3, -1, np.int32)
ERRORS = {
    "cluster_neighbourhoods no arguments": (call(CLUSTER), TypeError),
    "cluster_neighbourhoods indptr int32": (call(CLUSTER, INDPTR.astype(np.int32), INDICES, LABELS, 5), ValueError),
    "cluster_neighbourhoods indices None": (call(CLUSTER, INDPTR, None, LABELS, 5), TypeError),
    "cluster_neighbourhoods labels short": (call(CLUSTER, INDPTR, INDICES, LABELS[:-1], 5), ValueError),
    "cluster_neighbourhoods min_samples junk": (call(CLUSTER, INDPTR, INDICES, LABELS, "5"), TypeError),
    "cluster_neighbourhoods index out of range": (call(CLUSTER, np.array([0, 1, 1, 1]), np.array([7], np.int32),
                                                       _LABELS3, 2), ValueError),
    "cluster_neighbourhoods own point": (call(CLUSTER, np.array([0, 1, 1, 1]), np.array([0], np.int32),
                                              _LABELS3, 2), ValueError),
    "cluster_neighbourhoods indptr decreases": (call(CLUSTER, np.array([0, 2, 1, 2]), np.array([1, 2], np.int32),
                                                     _LABELS3, 2), ValueError),
    "cluster_weighted_neighbourhoods weights short": (call(WEIGHTED, INDPTR, INDICES, LABELS, 5, WEIGHTS[:-1],
                                                            WEIGHTS), ValueError),
    "cluster_weighted_neighbourhoods self_weights float32": (call(WEIGHTED, INDPTR, INDICES, LABELS, 5, WEIGHTS,
                                                                  WEIGHTS.astype(np.float32)), ValueError),
    "cluster_weighted_neighbourhoods own point": (call(WEIGHTED, np.array([0, 1, 1, 1]), np.array([0], np.int32),
                                                       _LABELS3, 2, np.ones(3), np.ones(3)), ValueError),
    "cluster_synchronously label below -1": (call(SYNC, INDPTR, INDICES, np.where(LABELS == 1, -2, LABELS)
                                                   .astype(np.int32), 5, None, None, POINTS, 2.0), ValueError),
    "cluster_synchronously points short": (call(SYNC, INDPTR, INDICES, LABELS, 5, None, None, POINTS[:-1], 2.0),
                                           ValueError),
    "cluster_synchronously sparse indptr short": (call(SYNC, INDPTR, INDICES, LABELS, 5, None, None,
                                                       (SPARSE_POINTS[0][:-1],) + SPARSE_POINTS[1:], 2.0), ValueError),
    "cluster_synchronously p below 1": (call(SYNC, INDPTR, INDICES, LABELS, 5, None, None, POINTS, 0.5), ValueError),
    "cluster_synchronously one weight": (call(SYNC, INDPTR, INDICES, LABELS, 5, WEIGHTS, None, None, 2.0),
                                         ValueError),
    "neighbourhoods_from_pairs not a list": (call(PAIRS, (PAIR_BLOCK,), 6), TypeError),
    "neighbourhoods_from_pairs int64 block": (call(PAIRS, [PAIR_BLOCK.astype(np.int64)], 6), ValueError),
    "neighbourhoods_from_pairs out of range": (call(PAIRS, [PAIR_BLOCK], 5), ValueError),
    "neighbourhoods_from_pairs self pair": (call(PAIRS, [np.array([[2, 2]], np.int32)], 5), ValueError),
    "neighbourhoods_from_pairs junk block": (call(PAIRS, [PAIR_BLOCK, "x"], 6), TypeError),
    "close_pairs tile too large": (call(TILE, PRODUCTS, NORMS, 280, 20, 0.5, POINTS), ValueError),
    "close_pairs negative offset": (call(TILE, PRODUCTS, NORMS, -1, 20, 0.5, POINTS), ValueError),
    "close_pairs norms short": (call(TILE, PRODUCTS, NORMS[:-1], 0, 20, 0.5, POINTS), ValueError),
    "offer_tile past the last point": (nearest_call(row_start=len(POINTS) - 5), ValueError),
    "offer_tile no neighbours": (nearest_call(k=0), ValueError),
    "offer_tile rows short": (nearest_call(rows=19), ValueError),
    "offer_tile double products": (nearest_call(products=ROW_PRODUCTS.astype(np.float64)), ValueError),
    "offer_tile norms short": (nearest_call(norms=NORMS[:-1]), ValueError),
}

THREADS = [SUCCESS["cluster_neighbourhoods blobs"], SUCCESS["cluster_weighted_neighbourhoods blobs"],
           SUCCESS["cluster_synchronously points"], SUCCESS["neighbourhoods_from_pairs blocks"], SUCCESS["close_pairs single"], SUCCESS["offer_tile"],
           ERRORS["cluster_neighbourhoods own point"][0]]


# Fuzzing --------------------------------------------------------------------------

@st.composite
def csr_rows(draw, n):
    """Rows of n points, mostly well formed, sometimes not."""
    lengths = draw(st.lists(st.integers(0, 4), min_size=n, max_size=n))
    indptr = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    wrong_indptr = weighted(
        (8, st.just(indptr)),
        (1, st.just(indptr[::-1].copy())),
        (1, st.integers(-3, 3).map(lambda shift: indptr + shift)),
        (1, st.just(indptr[:-1].copy())),
    )
    index = weighted((8, st.integers(0, max(n - 1, 0))), (1, st.sampled_from([-1, n, n + 1, INT32_MAX, INT32_MIN])))
    indices = hnp.arrays(np.int32, int(indptr[-1]), elements=index)
    return draw(wrong_indptr), draw(indices)


@st.composite
def cluster_arguments(draw):
    n = draw(st.integers(0, 12))
    indptr, indices = draw(csr_rows(n))
    labels = draw(label_values(n, [-1, -1, -1, 0, 1, -2, -7, INT32_MAX, INT32_MIN]))
    values = [draw(array_argument(indptr, INT_DTYPES)), draw(array_argument(indices, INT_DTYPES)),
              draw(array_argument(labels, INT_DTYPES)), draw(ints())]
    args, kwargs = draw(bound(values, CLUSTER_PARAMETERS))
    return call(CLUSTER, *args, **kwargs)


@st.composite
def weighted_cluster_arguments(draw):
    n = draw(st.integers(0, 12))
    indptr, indices = draw(csr_rows(n))
    labels = draw(label_values(n, [-1, -1, -1, 0, 1, -2, INT32_MAX, INT32_MIN]))
    weight = st.floats(allow_nan=True, allow_infinity=True)
    sizes = weighted((6, st.just(n)), (1, st.integers(0, n + 2)))
    weights, self_weights = (draw(hnp.arrays(np.float64, draw(sizes), elements=weight)) for _ in range(2))
    values = [draw(array_argument(indptr, INT_DTYPES)), draw(array_argument(indices, INT_DTYPES)),
              draw(array_argument(labels, INT_DTYPES)), draw(doubles()),
              draw(array_argument(weights, FLOAT_DTYPES)), draw(array_argument(self_weights, FLOAT_DTYPES))]
    args, kwargs = draw(bound(values, WEIGHTED_PARAMETERS))
    return call(WEIGHTED, *args, **kwargs)


WEIGHT = st.floats(allow_nan=True, allow_infinity=True)


@st.composite
def contest_points(draw, n):
    """The (points, p) that settle contests: dense or sparse rows, sometimes of the wrong
    count, their sparse offsets and features sometimes out of line, or None."""
    dense = hnp.arrays(np.float64, st.tuples(weighted((6, st.just(n)), (1, st.integers(0, n + 2))),
                                             st.integers(0, 3)), elements=WEIGHT)
    sparse = st.tuples(csr_rows(n).map(lambda rows: rows[0]), hnp.arrays(np.int32, 3 * n, elements=st.integers(-1, 4)),
                       hnp.arrays(np.float64, st.integers(0, 3 * n), elements=WEIGHT))
    points = draw(weighted((3, dense), (2, sparse), (1, st.none())))
    return points, draw(weighted((4, st.sampled_from([1.0, 2.0, 3.0, np.inf])), (1, doubles())))


@st.composite
def synchronous_arguments(draw):
    n = draw(st.integers(0, 12))
    indptr, indices = draw(csr_rows(n))
    labels = draw(label_values(n, [-1, -1, -1, -1, 0, 1, 2, -2, INT32_MAX, INT32_MIN]))
    weights = draw(st.none() | hnp.arrays(np.float64, draw(weighted((6, st.just(n)), (1, st.integers(0, n + 2)))),
                                          elements=WEIGHT))
    values = [draw(array_argument(indptr, INT_DTYPES)), draw(array_argument(indices, INT_DTYPES)),
              draw(array_argument(labels, INT_DTYPES)), draw(doubles()), weights, weights, *draw(contest_points(n))]
    args, kwargs = draw(bound(values, SYNC_PARAMETERS))
    return call(SYNC, *args, **kwargs)


@st.composite
def pairs_arguments(draw):
    n = draw(st.integers(0, 10))
    point = weighted((8, st.integers(0, max(n - 1, 0))), (1, st.sampled_from([-1, n, INT32_MAX, INT32_MIN])))
    blocks = draw(st.lists(hnp.arrays(np.int32, st.tuples(st.integers(0, 5), st.just(2)), elements=point),
                           max_size=3))
    blocks = [draw(array_argument(block, INT_DTYPES)) for block in blocks]
    container = draw(weighted((8, st.just(list)), (1, st.sampled_from([tuple, lambda b: b[0] if b else None]))))
    values = [container(blocks), draw(weighted((4, st.just(n)), (1, ints())))]
    args, kwargs = draw(bound(values, PAIRS_PARAMETERS))
    return call(PAIRS, *args, **kwargs)


@st.composite
def tile_arguments(draw):
    points = draw(point_arrays())
    n = len(points)
    rows, columns = draw(st.integers(0, n + 2)), draw(st.integers(0, n + 2))
    products = draw(hnp.arrays(draw(st.sampled_from([np.float64, np.float32])), (rows, columns),
                               elements=st.floats(-100, 100, width=32)))
    norms = draw(hnp.arrays(np.float64, draw(weighted((6, st.just(n)), (1, st.integers(0, n + 2)))),
                            elements=st.floats(0, 100)))
    values = [draw(array_argument(products, FLOAT_DTYPES)), draw(array_argument(norms, FLOAT_DTYPES)),
              draw(weighted((4, st.integers(0, n)), (1, ints()))), draw(weighted((4, st.integers(0, n)), (1, ints()))),
              draw(doubles()), draw(array_argument(points, FLOAT_DTYPES))]
    args, kwargs = draw(bound(values, TILE_PARAMETERS))
    return call(TILE, *args, **kwargs)


@st.composite
def nearest_arguments(draw):
    points = draw(point_arrays())
    n = len(points)
    rows, columns = draw(st.integers(0, n + 2)), draw(st.integers(0, n + 2))
    products = draw(hnp.arrays(np.float32, (rows, columns), elements=st.floats(-100, 100, width=32)))
    norms = draw(hnp.arrays(np.float64, draw(weighted((6, st.just(n)), (1, st.integers(0, n + 2)))),
                            elements=st.floats(0, 100)))
    k, heap_rows = draw(st.integers(0, 4)), draw(weighted((6, st.just(rows)), (1, st.integers(0, n + 2))))
    squared = draw(hnp.arrays(np.float64, (heap_rows, k), elements=st.floats(0, 100) | st.just(np.inf)))
    index = draw(hnp.arrays(np.int64, (heap_rows, k), elements=st.integers(-3, n + 3)))
    values = [draw(array_argument(products, FLOAT_DTYPES)), draw(array_argument(norms, FLOAT_DTYPES)),
              draw(weighted((4, st.integers(0, n)), (1, ints()))), draw(weighted((4, st.integers(0, n)), (1, ints()))),
              draw(array_argument(points, FLOAT_DTYPES)), draw(array_argument(squared, FLOAT_DTYPES)),
              draw(array_argument(index, INT_DTYPES))]
    args, kwargs = draw(bound(values, NEAREST_PARAMETERS))
    return call(NEAREST, *args, **kwargs)


FUZZ = {
    "cluster_neighbourhoods arguments": cluster_arguments(),
    "cluster_weighted_neighbourhoods arguments": weighted_cluster_arguments(),
    "cluster_synchronously arguments": synchronous_arguments(),
    "neighbourhoods_from_pairs arguments": pairs_arguments(),
    "close_pairs arguments": tile_arguments(),
    "offer_tile arguments": nearest_arguments(),
}

__all__ = ["SUCCESS", "ERRORS", "THREADS", "FUZZ", "JUNK"]

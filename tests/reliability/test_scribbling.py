"""Arrays that another thread rewrites while an array entry point runs without the GIL.

Whatever the second thread writes, every read and write of the call must stay inside
the arrays: the result may be meaningless, and an error may be raised, but the process
survives (and the sanitizers stay quiet). Each case scribbles out-of-range values over
the arrays its function reads as offsets and indices, and garbage over the others.
"""

import sys
import threading
import time
import zlib

import numpy as np
import pytest
import scipy.sparse as sp

from varnex.algorithms.src.densa.binaries import densa_arrays, densa_stream
from varnex.algorithms.src.linka.binaries import linka_arrays, linka_nearest, linka_sweep

N, K = 20_000, 8
INT32 = (-2**31, 2**31 - 1)
INT64 = (-2**63, 2**63 - 1)


def knn_graph(rng, dtype=np.int32, n=N, k=K):
    """A random k-NN graph as (indptr, indices, weights): each node lists k other nodes."""
    indices = rng.integers(0, n, n * k).astype(dtype)
    weights = rng.uniform(0.1, 2.0, n * k).astype(np.float32)
    return np.arange(0, n * k + 1, k, dtype=np.int64), indices, weights


def bounds(array):
    return INT64 if array.dtype == np.int64 else INT32


def propagate_case(rng, dtype, synchronous, threads=1):
    indptr, indices, weights = knn_graph(rng, dtype)
    labels = np.full(N, -1, np.int32)
    labels[rng.choice(N, N // 50, replace=False)] = rng.integers(0, 4, N // 50)
    return (lambda: linka_sweep.propagate(indptr, indices, weights, labels.copy(), 50, 1e-3, synchronous,
                                          n_threads=threads),
            [indptr, indices, weights])


def confidence_case(rng):
    indptr, indices, weights = knn_graph(rng)
    labels = rng.integers(-1, 4, N).astype(np.int32)
    return (lambda: linka_sweep.label_confidence(indptr, indices, weights, labels, labels, 2),
            [indptr, indices, weights, labels])


def symmetric_case(rng):
    graph = knn_graph(rng)
    return lambda: linka_arrays.symmetric(*graph, n_threads=2), list(graph)


def reverse_case(rng):
    knn = knn_graph(rng)
    graph = tuple(array.copy() for array in knn)
    nodes = np.flatnonzero(rng.random(N) < 0.2)
    return lambda: linka_arrays.reverse_subgraph(graph, knn, nodes, n_threads=2), [*knn, *graph, nodes]


def components_case(rng, dtype):
    indptr, indices, _ = knn_graph(rng, dtype, k=2)
    labelled = (rng.random(N) < 0.01).astype(np.uint8)
    return lambda: linka_arrays.components(indptr, indices, labelled), [indptr, indices, labelled]


def connect_case(rng, dtype):
    knn = knn_graph(rng, dtype, k=2)
    components = linka_arrays.components(knn[0], knn[1], (rng.random(N) < 0.001).astype(np.uint8))
    graph = tuple(array.copy() for array in knn)
    reached = components[3].copy()  # written by every call, as the caller's flags are
    return (lambda: linka_arrays.connect(knn, components, reached, graph),
            [*knn, components[0], components[1], reached, *graph])


def join_case(rng, dtype):
    graph = knn_graph(rng, dtype)
    joins = (rng.integers(0, N, 500), rng.integers(0, N, 500), rng.random(500).astype(np.float32))
    return lambda: linka_arrays.join(graph, joins), list(graph)


def closed_groups_case(rng, dtype):
    indptr, indices, _ = knn_graph(rng, dtype, k=2)
    reached = (rng.random(N) < 0.01).astype(np.uint8)
    return lambda: linka_arrays.closed_groups(indptr, indices, reached), [indptr, indices, reached]


def cluster_case(rng, weighted):
    # Symmetric rows without self-loops, as a radius query gives them.
    a = rng.integers(0, N, N * K // 2)
    b = (a + rng.integers(1, N, len(a))) % N
    indptr, indices = densa_arrays.neighbourhoods_from_pairs([np.column_stack([a, b]).astype(np.int32)], N)
    labels = np.where(rng.random(N) < 0.05, rng.integers(0, 3, N), -1).astype(np.int32)
    if not weighted:
        return lambda: densa_arrays.cluster_neighbourhoods(indptr, indices, labels, 5), [indptr, indices, labels]
    weights = rng.random(N)
    return (lambda: densa_arrays.cluster_weighted_neighbourhoods(indptr, indices, labels, 3.0, weights, weights),
            [indptr, indices, labels])


def synchronous_case(rng):
    # Sparse points too: their offsets are read while the GIL is released.
    _, (indptr, indices, labels) = cluster_case(rng, False)
    points = sp.random(N, 8, density=0.3, format="csr", random_state=1)
    point_rows = points.indptr.astype(np.int64), points.indices.astype(np.int32), points.data
    return (lambda: densa_arrays.cluster_synchronously(indptr, indices, labels, 5, None, None, point_rows, 2.0),
            [indptr, indices, labels, *point_rows])


def streamed_case(rng, synchronous=False):
    # The fetch runs Python code, so the writer also runs while a batch is read: here
    # it rewrites the neighbours the fetch hands over, as well as the call's arrays.
    _, (indptr, indices, labels) = cluster_case(rng, False)
    lengths = np.diff(indptr)
    core = (lengths + 1 >= 5).astype(np.uint8)
    offsets, counted = indptr.copy(), lengths.copy()

    def fetch(points, candidates):
        positions = np.repeat(np.arange(len(points), dtype=np.int32), counted[points])
        return positions, np.concatenate([indices[offsets[p]:offsets[p + 1]] for p in points])

    if not synchronous:
        return (lambda: densa_stream.cluster_streamed(lengths, core, labels, fetch, 4096),
                [lengths, core, labels, indices])
    points = rng.normal(size=(len(labels), 2))
    return (lambda: densa_stream.cluster_streamed_synchronously(lengths, core, labels, fetch, 4096, points, 2.0),
            [lengths, core, labels, indices, points])


def pairs_case(rng):
    pairs = rng.integers(0, N, (N * K, 2)).astype(np.int32)
    pairs = pairs[pairs[:, 0] != pairs[:, 1]].copy()
    return lambda: densa_arrays.neighbourhoods_from_pairs([pairs], N), [pairs]


def means_case(rng):
    # Labels spread over more values than rows: their counts are kept per label.
    labels = rng.integers(-1, 2 * N, N).astype(np.int32)
    points, weights = rng.normal(size=(N, 3)), rng.random(N)
    return lambda: densa_arrays.cluster_means(labels, points, weights, 2), [labels, points, weights]


def nearest_case(rng):
    points, centres = rng.normal(size=(N, 3)), rng.normal(size=(30, 3))
    return lambda: densa_arrays.nearest_centres(points, centres, 3.0, 2), [points, centres]


def tile_case(rng, nearest):
    points = rng.normal(size=(2000, 16))
    centred = points - points.mean(axis=0)
    norms = np.einsum("ij,ij->i", centred, centred)
    products = np.ascontiguousarray(centred[:1000] @ centred.T)
    if not nearest:
        return lambda: densa_arrays.close_pairs(products, norms, 0, 0, 4.0, points), [products, norms, points]
    products = products.astype(np.float32)
    squared, index = np.full((1000, 5), np.inf), np.full((1000, 5), np.iinfo(np.int64).max)
    return (lambda: linka_nearest.offer_tile(products, norms, 0, 0, points, squared, index),
            [products, norms, points, squared, index])


CASES = {
    "propagate int32 in place": lambda rng: propagate_case(rng, np.int32, False),
    "propagate int64 synchronous": lambda rng: propagate_case(rng, np.int64, True),
    "propagate int32 synchronous, 3 threads": lambda rng: propagate_case(rng, np.int32, True, 3),
    "label_confidence, 2 threads": confidence_case,
    "symmetric, 2 threads": symmetric_case,
    "reverse_subgraph, 2 threads": reverse_case,
    "components int32": lambda rng: components_case(rng, np.int32),
    "components int64": lambda rng: components_case(rng, np.int64),
    "connect": lambda rng: connect_case(rng, np.int32),
    "join": lambda rng: join_case(rng, np.int64),
    "closed_groups": lambda rng: closed_groups_case(rng, np.int32),
    "cluster_neighbourhoods": lambda rng: cluster_case(rng, False),
    "cluster_weighted_neighbourhoods": lambda rng: cluster_case(rng, True),
    "cluster_synchronously": synchronous_case,
    "cluster_streamed": streamed_case,
    "cluster_streamed_synchronously": lambda rng: streamed_case(rng, True),
    "neighbourhoods_from_pairs": pairs_case,
    "cluster_means, 2 threads": means_case,
    "nearest_centres, 2 threads": nearest_case,
    "close_pairs": lambda rng: tile_case(rng, False),
    "offer_tile": lambda rng: tile_case(rng, True),
}


def scribble(arrays, stop, rng):
    """Writes garbage over a few hundred entries of each array, then the old values back."""
    originals = [array.copy() for array in arrays]
    while not stop.is_set():
        for array, original in zip(arrays, originals):
            flat, kept = array.reshape(-1), original.reshape(-1)
            where = rng.integers(0, len(flat), 300)
            if flat.dtype.kind in "iu":
                low, high = (0, 255) if flat.dtype == np.uint8 else bounds(flat)
                flat[where] = rng.integers(low, high, len(where), dtype=flat.dtype, endpoint=True)
            else:
                flat[where] = rng.choice([np.nan, -np.inf, np.inf, -1.0], len(where))
            flat[where] = kept[where]


@pytest.mark.parametrize("name", CASES)
def test_arrays_rewritten_meanwhile_are_never_read_or_written_outside(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    run, arrays = CASES[name](rng)
    stop = threading.Event()
    writer = threading.Thread(target=scribble, args=(arrays, stop, np.random.default_rng(1)))
    # The lock changes hands often, so the writer runs while the call works without it.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    writer.start()
    try:
        calls, start = 0, time.perf_counter()
        while calls < 3 or time.perf_counter() - start < 0.3:
            calls += 1
            try:
                run()
            except (ValueError, IndexError, RuntimeError):
                pass  # the check under the GIL saw a scribbled value
    finally:
        stop.set()
        writer.join()
        sys.setswitchinterval(interval)

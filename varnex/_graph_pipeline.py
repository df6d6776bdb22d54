"""The graph pipeline of `KNNLabelPropagation` over CSR arrays.

A `Graph` is ``(indptr, indices, weights)``: node i lists
``indices[indptr[i]:indptr[i + 1]]`` with the float32 edge weights beside them.
Indices are int32 below 2**31 nodes, int64 above. Components, connection and the
joining of closed groups run natively on these arrays with the GIL released.
"""

from typing import NamedTuple

import numpy as np

from varnex.algorithms.src.linka.binaries import linka_arrays, linka_sweep

# Edge weights are distances and a neighbour scores (1 / weight)**2. Two identical
# samples are at distance 0, which would score +inf: a tie between two such labels
# would then be settled by list order alone and vote shares would turn into NaN. The
# smallest normal float32 keeps the score finite (about 7e75) yet far above any other
# neighbour's, so identical samples still decide, by their count.
WEIGHT_FLOOR = np.finfo(np.float32).tiny


class Graph(NamedTuple):
    """A weighted graph as CSR arrays (a tuple, as the native functions take it)."""

    indptr: np.ndarray
    indices: np.ndarray
    weights: np.ndarray


class Components(NamedTuple):
    """Breadth-first components: the nodes in component order, where each component
    starts in it, and uint8 flags of whether each component, and the component of
    each node, holds a labelled node."""

    order: np.ndarray
    starts: np.ndarray
    component_labelled: np.ndarray
    node_labelled: np.ndarray


def edge_weights(distances):
    return np.maximum(np.asarray(distances, dtype=np.float32), WEIGHT_FLOOR)


def index_dtype(n_nodes):
    return np.int32 if n_nodes < 2**31 else np.int64


def knn_graph(indices, distances):
    """The k-NN lists of shape (n, k) as a CSR graph; float32 distances become the
    weights in place."""
    n, k = indices.shape
    indptr = np.arange(n + 1, dtype=np.int64) * k
    if distances.dtype == np.float32 and distances.flags.c_contiguous:
        weights = np.maximum(distances, WEIGHT_FLOOR, out=distances)
    else:
        weights = edge_weights(distances)
    return Graph(indptr, np.ascontiguousarray(indices, dtype=index_dtype(n)).ravel(), weights.ravel())


def symmetric_graph(indices, distances, threads=1):
    """CSR lists of the k-NN graph made undirected, on `threads` threads with the same
    result for any number.

    Node i lists its own nearest neighbours first, nearest first, then every node that
    has i among its neighbours without being among i's, nearest first; each such
    reverse edge keeps the weight it has in the other node's list.
    """
    knn = knn_graph(np.asarray(indices), edge_weights(distances))
    return Graph(*linka_arrays.symmetric(knn.indptr, knn.indices, knn.weights, n_threads=threads))


def components(graph, known):
    """Breadth-first components of `graph`, flagged by whether they hold a labelled node."""
    return Components(*linka_arrays.components(graph.indptr, graph.indices, (known != -1).view(np.uint8)))


def connect(knn, graph, components, search, threads=1):
    """`graph` extended until the k-NN lists lead every node to a labelled one.

    Components without a labelled node are joined through their k-NN rows. Where the
    rows of a group of nodes lead only into the group, no row can ever join it. Then,
    after the first stage, the nodes whose rows lead to the reached part count as
    reached, and each closed group of the others gets one edge pair (weight: their
    distance) between its sample closest to the reached part and that nearest reached
    sample, all groups in one search.

    `search(candidates, queries)` gives, for each query sample, the distance to and
    the index of its nearest candidate sample. The extended graph is written on
    `threads` threads; the joins themselves depend each on the ones before.
    """
    reached = components.node_labelled.copy()
    graph, stuck = linka_arrays.connect(knn, components, reached, graph, n_threads=threads)
    if stuck:
        # Every node left can reach a closed group along its rows, and each group's
        # join leads it to the reached part: one round joins everything.
        graph = linka_arrays.join(graph, closest_joins(knn, reached, search), n_threads=threads)
    return Graph(*graph)


def closest_joins(knn, reached, search):
    """For every closed group of unreached nodes, the closest pair (node in the group,
    reached node) and their edge weight; ties go to the lower node of the group."""
    group, _ = linka_arrays.closed_groups(knn.indptr, knn.indices, reached)
    members = np.flatnonzero(group >= 0)
    distances, nearest = search(np.flatnonzero(reached), members)
    order = np.lexsort((members, distances, group[members]))
    first = order[np.r_[True, group[members[order[1:]]] != group[members[order[:-1]]]]]
    return members[first].astype(np.int64), nearest[first].astype(np.int64), edge_weights(distances[first])


def reverse_subgraph(graph, knn, nodes, threads=1):
    """The part of `graph` a propagation over the unlabelled `nodes` (sorted) reads, in
    which each of them also lists the nodes whose k-NN rows list it.

    Propagation follows each node's own list only, so in one-way lists a group of nodes
    can list nothing but each other and never meet a label, although nodes outside list
    them. Listing those edges both ways lets the labels in. A node lists its own edges
    first, then the new ones in the order of the nodes that list it.

    Returns ``(subgraph, members)``: the sorted nodes the subgraph holds (`nodes` and
    every node they list) and the subgraph over positions in `members`, where nodes
    outside `nodes` list nothing; or None when every such edge is listed already. It
    reads every k-NN row once, on `threads` threads with the same result for any
    number; the rest of its cost grows with `nodes` and their edges.
    """
    knn = Graph(knn.indptr, knn.indices.astype(graph.indices.dtype, copy=False), knn.weights)
    found = linka_arrays.reverse_subgraph(tuple(graph), tuple(knn), np.asarray(nodes, dtype=np.int64),
                                          n_threads=threads)
    return None if found is None else (Graph(*found[0]), found[1])


def propagate(graph, labels, max_iterations, tolerance, synchronous=False, threads=1):
    """Weighted label propagation over `graph`, into `labels` (int32) in place; returns
    the number of sweeps. Sequential sweeps go in node order, each node seeing the
    labels given earlier in the same sweep; synchronous ones see the previous sweep's,
    on `threads` threads with the same result for any number."""
    indptr, indices, weights = graph
    return linka_sweep.propagate(indptr, indices, weights, labels, int(max_iterations), float(tolerance),
                                 synchronous, n_threads=threads)


def confidence(knn, known, labels, threads=1):
    """Share of each sample's own label in its k nearest samples' weighted vote, a
    neighbour at distance d voting (d0 / d)**2 with d0 the nearest one's; 1 for the
    labelled samples (see `label_confidence_`). On `threads` threads, the same for any
    number."""
    return linka_sweep.label_confidence(knn.indptr, knn.indices, knn.weights, labels, known, n_threads=threads)


def label_graph(graph, knn, known, max_iterations, tolerance, synchronous=False, threads=1):
    """Labels for every node of a connected graph: propagation, then the reverse edges
    of the nodes left unlabelled and a second propagation. Returns ``(labels, sweeps)``.

    `max_iterations` bounds the sweeps of both propagations together: the second only
    gets what the first left of the budget."""
    labels = known.copy()
    sweeps = propagate(graph, labels, max_iterations, tolerance, synchronous, threads)
    left = np.flatnonzero(labels == -1)
    if left.size and sweeps < max_iterations:
        rescued = reverse_subgraph(graph, knn, left, threads)
        if rescued is not None:
            # Only the nodes left vote in the second propagation: the part of the graph
            # they read gives the same labels as the whole.
            subgraph, members = rescued
            local = labels[members]
            sweeps += propagate(subgraph, local, max_iterations - sweeps, tolerance, synchronous,
                                threads)
            labels[members] = local
    return labels, sweeps

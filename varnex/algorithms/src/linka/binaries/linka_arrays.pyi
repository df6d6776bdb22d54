"""Components, connection and closed groups of CSR graphs (native, GIL released)."""

import numpy as np
import numpy.typing as npt

Graph = tuple[npt.NDArray[np.int64], npt.NDArray[np.integer], npt.NDArray[np.float32]]

def components(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.integer],
    labelled: npt.NDArray[np.uint8],
) -> tuple[npt.NDArray[np.integer], npt.NDArray[np.int64], npt.NDArray[np.uint8], npt.NDArray[np.uint8]]:
    """Breadth-first components as ``(order, starts, component_labelled, node_labelled)``."""

def connect(
    knn: Graph,
    components: tuple[npt.NDArray[np.integer], npt.NDArray[np.int64], npt.NDArray[np.uint8], npt.NDArray[np.uint8]],
    reached: npt.NDArray[np.uint8],
    graph: Graph,
    n_threads: int = 1,
) -> tuple[Graph, bool]:
    """`graph` extended as connect_unlabeled extends it, and whether that would get stuck;
    the extended graph is written on `n_threads` threads."""

def join(
    graph: Graph,
    joins: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float32]],
    n_threads: int = 1,
) -> Graph:
    """`graph` with the edge pairs (nodes, targets, weights) added where missing, written
    on `n_threads` threads."""

def closed_groups(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.integer],
    reached: npt.NDArray[np.uint8],
) -> tuple[npt.NDArray[np.int64], int]:
    """The closed groups of unreached nodes: group per node (-1 outside), and their count."""

def symmetric(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.integer],
    weights: npt.NDArray[np.float32],
    n_threads: int = 1,
) -> Graph:
    """The graph made undirected: each node lists its own entries, then every node that
    lists it without being listed back, with that node's weight, by weight (NaN last)
    and then by node; the same on any number of threads."""

def reverse_subgraph(
    graph: Graph,
    knn: Graph,
    nodes: npt.NDArray[np.int64],
    n_threads: int = 1,
) -> tuple[Graph, npt.NDArray[np.int64]] | None:
    """The part of `graph` a propagation over the sorted `nodes` reads, each of them also
    listing, once, the nodes whose `knn` rows list it and that it does not list:
    ``(subgraph, members)`` over positions in the sorted `members`, or None where no
    edge is added. The same on any number of threads."""

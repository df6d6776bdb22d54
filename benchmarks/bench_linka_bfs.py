"""find_connected_components on the 10-NN graph of 300,000 points.

The points are two-moons samples in shuffled order (as a user's data would be), the
k-NN lists are symmetrised so that breadth-first components equal the undirected
components SciPy computes. Compared side by side in one run:
- the native call;
- a bare Python loop making the calls the traversal must make: to_numpy on every
  node, once in the traversal's own order and once in index order;
- scipy.sparse.csgraph.connected_components on the same graph in CSR form.
"""

import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import connected_components
from sklearn.datasets import make_moons
from sklearn.neighbors import NearestNeighbors

from common import side_by_side
from varnex.algorithms.src.linka.binaries.linka_bfs import find_connected_components
from varnex.graph import GraphWrapper, _AlgorithmInput

N_NODES, K, LABELLED = 300_000, 10, 0.01


def make_graph(seed=0):
    points, _ = make_moons(N_NODES, noise=0.1, random_state=seed)
    knn = NearestNeighbors(n_neighbors=K + 1).fit(points).kneighbors(points, return_distance=False)[:, 1:]
    rows = np.repeat(np.arange(N_NODES), K)
    adjacency = csr_matrix((np.ones(rows.size, dtype=np.int8), (rows, knn.ravel())), shape=(N_NODES, N_NODES))
    adjacency = (adjacency + adjacency.T).tocsr()
    adjacency.sort_indices()
    labels = np.where(np.random.default_rng(seed).random(N_NODES) < LABELLED, 1, -1)
    return adjacency, GraphWrapper.from_csr(adjacency.indptr, adjacency.indices), _AlgorithmInput(labels)


def run(out=print):
    adjacency, graph, X = make_graph()
    components, _ = find_connected_components(X, graph)
    traversal_order = [node for nodes, _ in components for node in nodes]
    count, _ = connected_components(adjacency, directed=False)
    assert count == len(components)

    def bare_loop(order):
        to_numpy = graph.to_numpy
        for node in order:
            to_numpy(node)

    index_order = range(N_NODES)
    native, in_traversal_order, in_index_order, scipy_time = side_by_side([
        lambda: find_connected_components(X, graph),
        lambda: bare_loop(traversal_order),
        lambda: bare_loop(index_order),
        lambda: connected_components(adjacency, directed=False),
    ], repeat=7)

    out(f"find_connected_components: {N_NODES} nodes, symmetrised {K}-NN graph "
        f"({adjacency.nnz} entries), {len(components)} component(s)")
    out(f"  native call                          {native * 1e3:8.1f} ms")
    out(f"  bare to_numpy loop, traversal order  {in_traversal_order * 1e3:8.1f} ms   "
        f"native / loop = {native / in_traversal_order:.2f}")
    out(f"  bare to_numpy loop, index order      {in_index_order * 1e3:8.1f} ms   "
        f"native / loop = {native / in_index_order:.2f}")
    out(f"  scipy connected_components (CSR)     {scipy_time * 1e3:8.1f} ms   "
        f"native / scipy = {native / scipy_time:.1f}")


if __name__ == "__main__":
    run()

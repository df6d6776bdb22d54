"""
A neighbour graph built by another library
==========================================

With ``metric="precomputed"`` both estimators take a sparse distance graph instead
of samples: here scikit-learn's ``kneighbors_graph`` and ``radius_neighbors_graph``
with ``mode="distance"``. Missing entries are not neighbours. The labels are the same
as from the samples themselves.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_circles
from sklearn.neighbors import kneighbors_graph, radius_neighbors_graph

from varnex import DensityClustering, KNNLabelPropagation

X, truth = make_circles(n_samples=800, noise=0.05, factor=0.5, random_state=0)
y = np.full(len(X), -1)
y[[np.flatnonzero(truth == 0)[0], np.flatnonzero(truth == 1)[0]]] = [0, 1]

knn = kneighbors_graph(X, n_neighbors=7, mode="distance")
from_graph = KNNLabelPropagation(n_neighbors=7, metric="precomputed").fit(knn, y).transduction_
from_samples = KNNLabelPropagation(n_neighbors=7).fit(X, y).transduction_
print("k-NN graph:", knn.shape, knn.nnz, "entries; same labels as from the samples:",
      np.array_equal(from_graph, from_samples))

radius = radius_neighbors_graph(X, radius=0.15, mode="distance")
density = DensityClustering(eps=0.15, min_samples=5, metric="precomputed").fit(radius, y)
print("radius graph:", radius.nnz, "entries; same labels as from the samples:",
      np.array_equal(density.labels_, DensityClustering(eps=0.15, min_samples=5).fit(X, y).labels_))

# %%
# The graph's edges, and the labels each estimator gave.
rows, cols = knn.nonzero()
fig, axes = plt.subplots(1, 3, figsize=(12, 4), sharex=True, sharey=True)
axes[0].plot(np.c_[X[rows, 0], X[cols, 0]].T, np.c_[X[rows, 1], X[cols, 1]].T, color="0.7", lw=0.4)
axes[0].set_title("kneighbors_graph, k=7")
axes[1].scatter(*X.T, c=from_graph, cmap="coolwarm", s=8)
axes[1].set_title("KNNLabelPropagation on the graph")
axes[2].scatter(*X.T, c=density.labels_, cmap="coolwarm", s=8)
axes[2].set_title("DensityClustering on radius graph")
for ax in axes:
    ax.scatter(*X[y != -1].T, c=y[y != -1], cmap="coolwarm", s=200, marker="*", edgecolor="k")
    ax.set_aspect("equal")
fig.tight_layout()

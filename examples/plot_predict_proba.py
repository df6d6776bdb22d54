"""
Predicting new samples, with probabilities
==========================================

After ``fit``, ``KNNLabelPropagation.predict_proba`` gives a new sample the shares of
the classes among its nearest training samples, each voting with weight
``(1 / distance)**2``; ``predict`` takes the largest. ``DensityClustering.predict``
gives a new sample the label of its nearest core sample within ``eps``, else that of
the nearest centroid. Both are drawn over a grid of new points.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_moons

from varnex import DensityClustering, KNNLabelPropagation

X, truth = make_moons(n_samples=400, noise=0.1, random_state=2)
y = np.full(len(X), -1)
y[:12] = truth[:12]

graph = KNNLabelPropagation(n_neighbors=10).fit(X, y)
density = DensityClustering(eps=0.15, min_samples=5).fit(X, y)

xx, yy = np.meshgrid(np.linspace(-1.5, 2.5, 160), np.linspace(-1.0, 1.5, 100))
grid = np.c_[xx.ravel(), yy.ravel()]
proba = graph.predict_proba(grid)[:, 1].reshape(xx.shape)
density_labels = density.predict(grid).reshape(xx.shape)

new = np.array([[0.0, 0.4], [1.0, 0.0], [0.5, 0.25]])
print("predict:", graph.predict(new))
print("predict_proba:\n", graph.predict_proba(new).round(3))
print("DensityClustering.predict:", density.predict(new))

# %%
fig, axes = plt.subplots(1, 2, figsize=(11, 4), sharex=True, sharey=True)
shade = axes[0].contourf(xx, yy, proba, levels=np.linspace(0, 1, 11), cmap="coolwarm", alpha=0.8)
fig.colorbar(shade, ax=axes[0], label="probability of class 1")
axes[0].set_title("KNNLabelPropagation.predict_proba")
axes[1].contourf(xx, yy, density_labels, levels=[-0.5, 0.5, 1.5], cmap="coolwarm", alpha=0.8)
axes[1].set_title("DensityClustering.predict")
for ax in axes:
    ax.scatter(*X.T, c=np.where(y == -1, 0.5, y), cmap="coolwarm", s=6, edgecolor="none")
    ax.scatter(*X[:12].T, c=y[:12], cmap="coolwarm", vmin=0, vmax=1, s=160, marker="*", edgecolor="k")
    ax.scatter(*new.T, s=90, marker="P", c="k")

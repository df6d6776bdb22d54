"""
Two moons with a few labels, beside the peers
==============================================

Six of 1,000 samples carry a label. Both varnex estimators label the rest and are
drawn beside scikit-learn's ``LabelSpreading`` and ``DBSCAN`` (which ignores the
labels: each of its clusters is named after the most common known label in it, and its
noise counts as wrong).
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.cluster import DBSCAN
from sklearn.datasets import make_moons
from sklearn.semi_supervised import LabelSpreading

from varnex import DensityClustering, KNNLabelPropagation

X, truth = make_moons(n_samples=1000, noise=0.1, random_state=0)
rng = np.random.default_rng(0)
known = np.concatenate([rng.choice(np.flatnonzero(truth == c), 3, replace=False) for c in (0, 1)])
y = np.full(len(X), -1)
y[known] = truth[known]

# %%
# DBSCAN knows no labels: name each of its clusters after the known labels inside.


def named_clusters(clusters, y):
    named = np.full(len(clusters), -1)
    for cluster in np.unique(clusters[clusters >= 0]):
        inside = (clusters == cluster) & (y != -1)
        if inside.any():
            named[clusters == cluster] = np.bincount(y[inside]).argmax()
    return named


results = {
    "DensityClustering": DensityClustering(eps=0.1, min_samples=5).fit(X, y).labels_,
    "KNNLabelPropagation": KNNLabelPropagation(n_neighbors=7).fit(X, y).transduction_,
    "LabelSpreading": LabelSpreading().fit(X, y).transduction_,
    "DBSCAN": named_clusters(DBSCAN(eps=0.1, min_samples=5).fit(X).labels_, y),
}

PALETTE = np.array(["tab:blue", "tab:red", "0.75"])
fig, axes = plt.subplots(2, 2, figsize=(9, 7), sharex=True, sharey=True)
hidden = y == -1
for ax, (name, labels) in zip(axes.ravel(), results.items()):
    ax.scatter(X[:, 0], X[:, 1], c=PALETTE[labels], s=8)   # label -1 (noise) takes the last colour
    ax.scatter(*X[known].T, c=PALETTE[y[known]], s=200, marker="*", edgecolor="k")
    ax.set_title(f"{name}: accuracy {np.mean(labels[hidden] == truth[hidden]):.3f}")
fig.tight_layout()

for name, labels in results.items():
    print(f"{name:20s} accuracy on the unlabelled samples: {np.mean(labels[hidden] == truth[hidden]):.3f}")

"""
What post-processing does to noise
==================================

``DensityClustering`` leaves some samples outside every known class: noise (-1) and
clusters no label reached (-2, -3, ...). Post-processing gives each of them the class
whose centroid is nearest; ``threshold`` decides which new clusters are dissolved
first. Here two classes are known, a third blob carries no label, and uniform noise is
scattered over everything.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_blobs

from varnex import DensityClustering

X, blob = make_blobs(n_samples=[200, 200, 150], centers=[[0, 0], [3, 0], [1.5, 4]], cluster_std=0.45,
                     shuffle=False, random_state=0)
rng = np.random.default_rng(1)
X = np.vstack([X, rng.uniform(X.min(0), X.max(0), size=(120, 2))])
y = np.full(len(X), -1)
y[[0, 1, 200, 201]] = [0, 0, 1, 1]          # two known samples in each of the lower blobs

raw = DensityClustering(eps=0.35, min_samples=8, postprocess=False).fit(X, y)
full = DensityClustering(eps=0.35, min_samples=8).fit(X, y)
keep = DensityClustering(eps=0.35, min_samples=8, threshold=-2).fit(X, y)

for name, model in [("no post-processing", raw), ("threshold=-1", full), ("threshold=-2", keep)]:
    values, counts = np.unique(model.labels_, return_counts=True)
    print(f"{name:20s}", dict(zip(values.tolist(), counts.tolist())))
print("raw clusters:", dict(zip(*[a.tolist() for a in np.unique(raw.clusters_, return_counts=True)])))

# %%
# Grey: no class (-1 in ``labels_``); crosses: the centroids post-processing measured.
palette = {0: "tab:blue", 1: "tab:red", -1: "0.7"}
fig, axes = plt.subplots(1, 3, figsize=(12, 4), sharex=True, sharey=True)
for ax, (name, model) in zip(axes, [("postprocess=False", raw), ("threshold=-1 (default)", full),
                                    ("threshold=-2 keeps cluster -2", keep)]):
    ax.scatter(X[:, 0], X[:, 1], s=8, c=[palette[v] for v in model.labels_])
    if len(model.centroids_):
        ax.scatter(*model.centroids_.T, s=150, marker="X", c="k")
    ax.set_title(name)
    ax.set_aspect("equal")
fig.tight_layout()

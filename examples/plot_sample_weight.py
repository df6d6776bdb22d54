"""
Sample weights: one row for many copies
=======================================

``DensityClustering.fit(X, y, sample_weight=w)`` counts a sample of weight 3 as three
copies of it: a core sample is one whose neighbourhood's weights sum to at least
``min_samples``. Collapsing duplicate rows into weights gives the same clusters from
fewer rows.
"""

import matplotlib.pyplot as plt
import numpy as np

from varnex import DensityClustering

rng = np.random.default_rng(0)
# Readings on a coarse grid: many samples share a cell.
X = np.round(np.vstack([rng.normal([0, 0], 0.6, (1500, 2)), rng.normal([3, 1], 0.6, (1500, 2))]), 1)
y = np.full(len(X), -1)
y[0], y[1500] = 0, 1

full = DensityClustering(eps=0.15, min_samples=20).fit(X, y)

cells, first, counts = np.unique(X, axis=0, return_index=True, return_counts=True)
y_cells = np.full(len(cells), -1)
for i in (0, 1500):
    y_cells[np.flatnonzero((cells == X[i]).all(axis=1))] = y[i]
weighted = DensityClustering(eps=0.15, min_samples=20).fit(cells, y_cells, sample_weight=counts)

inverse = np.unique(X, axis=0, return_inverse=True)[1].ravel()
print(f"{len(X)} rows, {len(cells)} distinct")
print("same labels for every row:", np.array_equal(full.labels_, weighted.labels_[inverse]))

# %%
palette = np.array(["tab:blue", "tab:red", "0.75"])    # label -1 takes the last colour
fig, axes = plt.subplots(1, 2, figsize=(10, 4), sharex=True, sharey=True)
axes[0].scatter(*X.T, s=4, c=palette[full.labels_])
axes[0].set_title(f"{len(X)} rows")
axes[1].scatter(*cells.T, s=3 * counts, c=palette[weighted.labels_])
axes[1].set_title(f"{len(cells)} weighted rows (size: weight)")
fig.tight_layout()

"""
Choosing parameters from the labels you have
=============================================

Without the truth, the known labels themselves tell how well a setting works: hide a
part of them, fit on the rest, and count how many hidden labels come back. Repeated
over several splits, this picks ``eps`` for ``DensityClustering`` and ``n_neighbors``
for ``KNNLabelPropagation``. The true accuracy on all unlabelled samples, known here
because the data is generated, is drawn beside it.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_moons

from varnex import DensityClustering, KNNLabelPropagation

X, truth = make_moons(n_samples=1500, noise=0.12, random_state=0)
rng = np.random.default_rng(0)
y = np.full(len(X), -1)
known = rng.choice(len(X), 40, replace=False)
y[known] = truth[known]


def held_out_accuracy(model, n_splits=5, share=0.3):
    """Mean share of hidden known labels that the model gives back."""
    scores = []
    labelled = np.flatnonzero(y != -1)
    for split in range(n_splits):
        hidden = np.random.default_rng(split).choice(labelled, int(share * len(labelled)), replace=False)
        y_fit = y.copy()
        y_fit[hidden] = -1
        scores.append(np.mean(model.fit(X, y_fit).transduction_[hidden] == y[hidden]))
    return np.mean(scores)


def true_accuracy(model):
    unlabelled = y == -1
    return np.mean(model.fit(X, y).transduction_[unlabelled] == truth[unlabelled])


epss = np.geomspace(0.03, 0.4, 10)
ks = [2, 3, 5, 7, 10, 15, 25, 40]
density = [(held_out_accuracy(DensityClustering(eps=e)), true_accuracy(DensityClustering(eps=e))) for e in epss]
graph = [(held_out_accuracy(KNNLabelPropagation(n_neighbors=k)), true_accuracy(KNNLabelPropagation(n_neighbors=k)))
         for k in ks]
print(f"best eps by held-out labels: {epss[np.argmax([d[0] for d in density])]:.3f}")
print(f"best n_neighbors by held-out labels: {ks[np.argmax([g[0] for g in graph])]}")

# %%
fig, axes = plt.subplots(1, 2, figsize=(11, 3.8), sharey=True)
for ax, values, scores, name in [(axes[0], epss, density, "eps (DensityClustering)"),
                                 (axes[1], ks, graph, "n_neighbors (KNNLabelPropagation)")]:
    scores = np.array(scores)
    ax.semilogx(values, scores[:, 0], "o-", label="held-out known labels")
    ax.semilogx(values, scores[:, 1], "s--", label="truth on unlabelled samples")
    ax.set_xlabel(name)
    ax.xaxis.set_minor_formatter(plt.NullFormatter())
    ax.xaxis.set_major_formatter(plt.ScalarFormatter())
    ax.legend(fontsize=8)
axes[0].set_ylabel("accuracy")
fig.tight_layout()

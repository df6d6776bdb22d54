"""
String labels
=============

Classes may be strings; an unlabelled sample is marked ``"-1"``. The labels come back
as strings of the same dtype. Here the iris flowers, a tenth of them named, the rest
left to each estimator.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_iris
from sklearn.decomposition import PCA

from varnex import DensityClustering, KNNLabelPropagation

iris = load_iris()
names = iris.target_names[iris.target]          # 'setosa', 'versicolor', 'virginica'
rng = np.random.default_rng(0)
y = np.full(len(names), "-1", dtype=names.dtype)
known = rng.choice(len(names), 15, replace=False)
y[known] = names[known]
print("y:", y.dtype, y[:8])

graph = KNNLabelPropagation(n_neighbors=7).fit(iris.data, y)
density = DensityClustering(eps=0.5, min_samples=5).fit(iris.data, y)
print("classes_:", graph.classes_)
print("transduction_:", graph.transduction_.dtype, graph.transduction_[:5])
hidden = y == "-1"
for name, labels in [("KNNLabelPropagation", graph.transduction_), ("DensityClustering", density.labels_)]:
    print(f"{name:20s} accuracy on the unnamed flowers: {np.mean(labels[hidden] == names[hidden]):.3f}")
print("predict:", graph.predict(iris.data[[0, 60, 120]]))

# %%
# The flowers on their first two principal components, coloured by the names given.
shown = PCA(n_components=2).fit_transform(iris.data)
fig, axes = plt.subplots(1, 2, figsize=(10, 4), sharex=True, sharey=True)
for ax, (title, labels) in zip(axes, [("the truth", names), ("KNNLabelPropagation", graph.transduction_)]):
    for species, colour in zip(iris.target_names, ["tab:green", "tab:orange", "tab:purple"]):
        chosen = labels == species
        ax.scatter(*shown[chosen].T, s=14, c=colour, label=species)
    ax.scatter(*shown[known].T, s=90, facecolor="none", edgecolor="k", label="named")
    ax.set_title(title)
axes[0].legend(fontsize=8)
fig.tight_layout()

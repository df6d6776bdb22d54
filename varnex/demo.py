"""The demo job: both varnex estimators beside scikit-learn's on built-in data.

Two data sets, a few percent of each labelled (stratified, at least one sample per
class): a generated two-moons set and scikit-learn's bundled handwritten digits. On
each, DensityClustering, KNNLabelPropagation, scikit-learn's LabelSpreading and
DBSCAN are fitted; the table shows their accuracy on the unlabelled samples and their
fit time (best of three). DBSCAN ignores the labels: each of its clusters is named after the most
common known label among its members, and noise or clusters without a known label
count as wrong.
"""

import time
from collections import Counter

import numpy as np
from sklearn.cluster import DBSCAN
from sklearn.datasets import load_digits, make_moons
from sklearn.semi_supervised import LabelSpreading

from varnex.density import DensityClustering
from varnex.propagation import KNNLabelPropagation

METHODS = ["DensityClustering", "KNNLabelPropagation", "sklearn LabelSpreading", "sklearn DBSCAN"]


def reveal(truth, fraction, rng):
    """Known labels for about `fraction` of each class (at least one sample), -1 elsewhere."""
    labels = np.full(truth.shape[0], -1, dtype=np.int64)
    for cls in np.unique(truth):
        members = np.flatnonzero(truth == cls)
        count = max(1, int(round(fraction * members.size)))
        labels[rng.choice(members, size=count, replace=False)] = cls
    return labels


def name_clusters(clusters, known):
    """Give each cluster the most common known label among its members; -1 otherwise."""
    named = np.full(clusters.shape[0], -1, dtype=np.int64)
    for cluster in np.unique(clusters[clusters >= 0]):
        members = clusters == cluster
        votes = Counter(known[members & (known != -1)].tolist())
        if votes:
            named[members] = votes.most_common(1)[0][0]
    return named


def data_sets(n_moons, seed):
    """(name, X, truth, fraction labelled, parameters per method) of each data set."""
    moons_X, moons_y = make_moons(n_samples=n_moons, noise=0.1, random_state=seed)
    digits = load_digits()
    return [
        ("two moons", moons_X, moons_y, 0.02, {
            "density": {"eps": 0.1, "min_samples": 5},
            "graph": {"n_neighbors": 7},
            "spreading": {},   # the default RBF kernel suits this low-dimensional set
        }),
        ("digits", digits.data, digits.target, 0.05, {
            "density": {"eps": 20.0, "min_samples": 10},
            "graph": {"n_neighbors": 7},
            "spreading": {"kernel": "knn", "n_neighbors": 7},   # RBF with gamma=20 vanishes at 64-D distances
        }),
    ]


def _timed(fit, repeat=3):
    """Result and best time of `repeat` runs of `fit` (the first run also warms caches)."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = fit()
        best = min(best, time.perf_counter() - start)
    return result, best


def evaluate(X, truth, known, params):
    """Predictions and fit time of each method: {method: (labels, seconds)}."""
    return {
        "DensityClustering": _timed(lambda: DensityClustering(**params["density"]).fit(X, known).transduction_),
        "KNNLabelPropagation": _timed(lambda: KNNLabelPropagation(**params["graph"]).fit(X, known).transduction_),
        "sklearn LabelSpreading": _timed(lambda: LabelSpreading(**params["spreading"]).fit(X, known).transduction_),
        "sklearn DBSCAN": _timed(lambda: name_clusters(DBSCAN(**params["density"]).fit(X).labels_, known)),
    }


def run_demo(n_moons=1000, seed=0, plot=None, out=print):
    """Run the comparison, print its table through `out` and return the figures.

    Returns ``{data set name: {method: (accuracy on unlabelled samples, seconds)}}``.
    With `plot` a file name, the two-moons predictions are drawn there (matplotlib).
    """
    rng = np.random.default_rng(seed)
    figures, moons = {}, None
    lines = []
    for name, X, truth, fraction, params in data_sets(n_moons, seed):
        X = np.ascontiguousarray(X, dtype=np.float64)
        known = reveal(truth, fraction, rng)
        unlabelled = known == -1
        results = evaluate(X, truth, known, params)
        figures[name] = {method: (float(np.mean(labels[unlabelled] == truth[unlabelled])), seconds)
                         for method, (labels, seconds) in results.items()}
        lines.append(f"{name}: {X.shape[0]} samples, {X.shape[1]} features, {np.unique(truth).size} classes, "
                     f"{np.count_nonzero(~unlabelled)} labelled")
        if moons is None:
            moons = (X, known, {method: labels for method, (labels, _) in results.items()})

    names = list(figures)
    out("varnex demo: accuracy on the unlabelled samples and fit time (best of 3)")
    for line in lines:
        out(f"  {line}")
    out("")
    header = f"| {'method':<24} |" + "".join(f" {name + ' accuracy':>18} | {'time':>8} |" for name in names)
    out(header)
    out("|" + "-" * 26 + "|" + "".join("-" * 20 + "|" + "-" * 10 + "|" for _ in names))
    for method in METHODS:
        cells = "".join(f" {figures[name][method][0]:>18.3f} | {figures[name][method][1]:>6.3f} s |"
                        for name in names)
        out(f"| {method:<24} |{cells}")
    out("")
    out("DBSCAN ignores the labels; its clusters are named after their most common known label.")
    if plot:
        draw(plot, *moons)
        out(f"two-moons results drawn to {plot}")
    return figures


def draw(path, X, known, predictions):
    """Draw the two-moons predictions of every method, one panel each, to `path`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colours = np.array(["lightgrey", "tab:blue", "tab:red", "tab:green"])   # -1 (no label), classes 0, 1, ...
    figure, axes = plt.subplots(1, len(predictions), figsize=(4 * len(predictions), 4), sharey=True)
    labelled = known != -1
    for axis, (method, labels) in zip(axes, predictions.items()):
        axis.scatter(X[:, 0], X[:, 1], c=colours[np.clip(labels, -1, 2) + 1], s=6)
        axis.scatter(X[labelled, 0], X[labelled, 1], c=colours[known[labelled] + 1], s=90, marker="*",
                     edgecolors="black", linewidths=0.8)
        axis.set_title(method, fontsize=10)
        axis.set_xticks([])
        axis.set_yticks([])
    figure.suptitle("two moons: predicted classes; stars are the labelled samples, grey points got no class")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)

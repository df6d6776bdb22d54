"""The one choice of search route: what the metric and the data allow."""

from dataclasses import dataclass

import numpy as np
from scipy import sparse
from sklearn.neighbors import VALID_METRICS, VALID_METRICS_SPARSE

from varnex._search.approximate import prefer_approximate

__all__ = ["ALGORITHMS", "EXACT_ALGORITHMS", "MAX_TREE_FEATURES", "Route", "choose_route", "minkowski_exponent",
           "searchable", "takes_approximate"]

# scikit-learn's own threshold: in more features a tree prunes too little to pay off,
# and brute force (matrix products where the metric allows) wins.
MAX_TREE_FEATURES = 15

# The searches one may ask for by name: the exact ones by scikit-learn's names, and the
# approximate one for embeddings (`approximate`).
EXACT_ALGORITHMS = ("kd_tree", "ball_tree", "brute")
ALGORITHMS = ("auto", *EXACT_ALGORITHMS, "approximate")

# Minkowski exponent of each metric name that SciPy's k-d tree and the product tiles
# take; None: the estimator's p.
_MINKOWSKI = {"euclidean": 2, "l2": 2, "manhattan": 1, "cityblock": 1, "l1": 1, "chebyshev": np.inf,
              "infinity": np.inf, "minkowski": None}


@dataclass(frozen=True)
class Route:
    """What the searches of one index may use.

    exponent : float or None
        The Minkowski exponent (p >= 1) when the metric is a plain member of that family
        on dense samples without metric parameters; None otherwise, and the library's
        searches decide.
    tree : bool
        Whether the samples have few enough features for a k-d tree.
    ball_tree : bool
        Whether scikit-learn's ball tree computes the metric on these samples.
    knn : {"kd_tree", "tiles", "library"}
        The search of the k nearest: SciPy's k-d tree, the product tiles (euclidean
        graphs), or scikit-learn's by `library_algorithm`.
    library_algorithm : str
        scikit-learn's `algorithm` for its searches.
    """

    exponent: float | None
    tree: bool
    ball_tree: bool
    knn: str = "library"
    library_algorithm: str = "auto"

    @property
    def euclidean(self):
        return self.exponent == 2


def minkowski_exponent(metric, p, metric_params):
    """The Minkowski exponent (p >= 1) that `metric` names without parameters, or None."""
    if not isinstance(metric, str) or metric_params:
        return None
    exponent = _MINKOWSKI.get(metric, False)
    exponent = p if exponent is None else exponent
    return float(exponent) if exponent is not False and exponent >= 1 else None


def choose_route(X, metric, p, metric_params, algorithm="auto"):
    """The exact searches of `X` under `metric`: the fastest the metric and the data
    allow, or the one `algorithm` names (one of EXACT_ALGORITHMS)."""
    exponent = None if sparse.issparse(X) else minkowski_exponent(metric, p, metric_params)
    ball_tree = not sparse.issparse(X) and (callable(metric) or metric in VALID_METRICS["ball_tree"])
    tree = X.shape[1] <= MAX_TREE_FEATURES if algorithm == "auto" else algorithm == "kd_tree"
    if exponent is not None and tree and algorithm in ("auto", "kd_tree"):
        knn, library_algorithm = "kd_tree", "kd_tree"
    elif exponent == 2 and algorithm in ("auto", "brute"):
        knn, library_algorithm = "tiles", "brute"
    elif algorithm == "auto":
        knn, library_algorithm = "library", "brute" if exponent is not None else "auto"
    else:
        knn, library_algorithm = "library", algorithm
    return Route(exponent, tree, ball_tree, knn, library_algorithm)


def takes_approximate(algorithm, X, metric):
    """Whether `algorithm` leads to the approximate search of `X`: by name, or for
    "auto" by the rule of `approximate.prefer_approximate` on dense samples, and for the
    inner product, which no exact route takes."""
    if algorithm != "auto" or sparse.issparse(X):
        return algorithm == "approximate"
    return metric == "inner_product" or prefer_approximate(X.shape[0], X.shape[1], metric)


def searchable(X, metric):
    """X as scikit-learn's searches take it under `metric`: sparse samples stay sparse
    where the metric has a sparse form, and are made dense where it has none."""
    if sparse.issparse(X) and not callable(metric) and metric not in VALID_METRICS_SPARSE["brute"]:
        return X.toarray()
    return X

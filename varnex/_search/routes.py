"""The one choice of search route: what the metric and the data allow."""

from dataclasses import dataclass

import numpy as np
from scipy import sparse
from sklearn.neighbors import VALID_METRICS, VALID_METRICS_SPARSE

__all__ = ["MAX_TREE_FEATURES", "Route", "choose_route", "searchable"]

# scikit-learn's own threshold: in more features a tree prunes too little to pay off,
# and brute force (matrix products where the metric allows) wins.
MAX_TREE_FEATURES = 15

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
    """

    exponent: float | None
    tree: bool
    ball_tree: bool

    @property
    def euclidean(self):
        return self.exponent == 2


def choose_route(X, metric, p, metric_params):
    exponent = None
    if isinstance(metric, str) and not metric_params and not sparse.issparse(X):
        exponent = _MINKOWSKI.get(metric, False)
        exponent = p if exponent is None else exponent
        exponent = float(exponent) if exponent is not False and exponent >= 1 else None
    ball_tree = not sparse.issparse(X) and (callable(metric) or metric in VALID_METRICS["ball_tree"])
    return Route(exponent, X.shape[1] <= MAX_TREE_FEATURES, ball_tree)


def searchable(X, metric):
    """X as scikit-learn's searches take it under `metric`: sparse samples stay sparse
    where the metric has a sparse form, and are made dense where it has none."""
    if sparse.issparse(X) and not callable(metric) and metric not in VALID_METRICS_SPARSE["brute"]:
        return X.toarray()
    return X

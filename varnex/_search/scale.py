"""Unit scale: data of any size searched without overflow or underflow."""

import math
from typing import NamedTuple

import numpy as np
from scipy import sparse

__all__ = ["Scale"]

# How distances of each metric change when every coordinate is multiplied by s: by s**1
# (degree 1), by s**2 (degree 2) or not at all (degree 0). Metrics not listed
# (haversine, boolean metrics, callables) are left unscaled.
_METRIC_DEGREE = {
    **dict.fromkeys(["euclidean", "l2", "minkowski", "p", "manhattan", "cityblock", "l1", "chebyshev",
                     "infinity", "seuclidean", "mahalanobis", "nan_euclidean", "precomputed"], 1),
    "sqeuclidean": 2,
    **dict.fromkeys(["cosine", "correlation", "canberra", "braycurtis"], 0),
}

# Data whose largest coordinate lies within 2**-60 .. 2**60 is taken as it is: its
# squared distances, and the float32 edge weights made from distances, stay in range,
# and scaling would only copy it.
_MODERATE_EXPONENT = 60
_LARGEST_EXPONENT = 1023   # of a finite float64


class Scale(NamedTuple):
    """Samples multiplied by `factor`, a power of two, and distances by ``factor **
    degree``: the same neighbours bit for bit wherever the data's own arithmetic neither
    overflows nor underflows (a power of two scales every product, sum and square root
    exactly), and squared distances finite for any finite data."""

    factor: float = 1.0
    degree: int = 1

    @classmethod
    def of(cls, X, metric):
        """The power of two that brings the largest coordinate of `X` into [0.5, 1);
        data of moderate size, and metrics that do not scale, get the factor 1, and
        subnormal data the largest factor whose power stays finite."""
        degree = _METRIC_DEGREE.get(metric) if isinstance(metric, str) else None
        if degree is None:
            return cls(1.0, 0)
        data = X.data if sparse.issparse(X) else X
        largest = float(np.max(np.abs(data))) if data.size else 0.0
        if largest == 0.0 or not math.isfinite(largest):
            return cls(1.0, degree)
        exponent = math.frexp(largest)[1]
        if abs(exponent) <= _MODERATE_EXPONENT:
            return cls(1.0, degree)
        # Subnormal data would need a factor beyond the float range (2**1074 at most): take
        # the largest one whose power for the radii stays finite. That still brings the data
        # up to normal numbers, where its arithmetic no longer loses bits.
        return cls(math.ldexp(1.0, min(-exponent, _LARGEST_EXPONENT // max(degree, 1))), degree)

    def samples(self, X):
        """X times the factor, a new array unless the factor is 1 (the data is only read)."""
        if self.factor == 1.0:
            return X
        if sparse.issparse(X):
            X = X.copy()
            X.data *= self.factor
            return X
        return X * self.factor

    def distance(self, d):
        return d * self.factor ** self.degree

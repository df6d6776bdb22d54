"""Helpers shared by the estimators: label encoding, scaling, parameter rules, stage reports."""

import math
import sys
import time
from contextlib import contextmanager
from numbers import Integral, Real

import numpy as np
from sklearn.neighbors import NearestNeighbors
from sklearn.neighbors._base import _check_precomputed
from sklearn.utils._param_validation import Interval
from sklearn.utils.multiclass import check_classification_targets

UNLABELLED = -1

# -- labels -------------------------------------------------------------------------------


def unlabelled_mask(y):
    """Where `y` marks a sample as unlabelled.

    The marker is -1 in numeric arrays, "-1" in string arrays, and either -1 or "-1" in
    object arrays. Unsigned and boolean arrays cannot hold -1: every sample is labelled.
    None is no marker: it is refused, since it cannot be told from a missing value.
    """
    if y.dtype.kind in "ub":
        return np.zeros(y.shape[0], dtype=bool)
    if y.dtype.kind == "U":
        return y == str(UNLABELLED)
    if y.dtype.kind == "S":
        return y == str(UNLABELLED).encode()
    if y.dtype.kind == "O":
        if any(value is None for value in y):
            raise ValueError("y contains None: mark unlabelled samples with -1 (or \"-1\" among strings)")
        return np.asarray(y == UNLABELLED, dtype=bool) | np.asarray(y == str(UNLABELLED), dtype=bool)
    return y == UNLABELLED


def encode_targets(y, *, require_labels=True):
    """Split a semi-supervised target vector into its classes and their indices.

    Returns ``(classes, encoded)``: ``classes`` holds the distinct labels in sorted
    order, in the dtype of `y`; ``encoded`` (int32) the index of each sample's class in
    ``classes``, or -1 for an unlabelled sample (see `unlabelled_mask`). The native
    modules reserve every negative value below -1 for clusters they discover, so known
    classes have to be 0, 1, ... whatever the caller's labels are.
    """
    unlabelled = unlabelled_mask(y)
    labelled = ~unlabelled
    if not np.any(labelled):
        if require_labels:
            raise ValueError("y has no labelled sample: at least one entry must be a class label, not -1")
        return y[:0], np.full(y.shape[0], UNLABELLED, dtype=np.int32)
    known = y[labelled]
    if y.dtype.kind == "O":
        kinds = {type(value) is str for value in known}
        if len(kinds) > 1:
            raise ValueError("y mixes strings and numbers among its class labels: use one kind of label")
    check_classification_targets(known)
    classes = np.unique(known)
    encoded = np.full(y.shape[0], UNLABELLED, dtype=np.int32)
    encoded[labelled] = np.searchsorted(classes, known)
    return classes, encoded


def decode_targets(classes, encoded):
    """Map class indices back to class labels; every negative index becomes -1.

    The labels keep the dtype of `classes` exactly when every index names a class.
    Otherwise the dtype must also hold the marker -1: strings are widened to hold "-1",
    unsigned integers become the next wider signed type (or object beyond int64), and
    booleans become int8.
    """
    known = encoded >= 0
    if known.all():
        return classes[encoded]
    decoded = np.full(encoded.shape[0], UNLABELLED, dtype=_dtype_with_marker(classes))
    decoded[known] = classes[encoded[known]]
    return decoded


def _dtype_with_marker(classes):
    kind = classes.dtype.kind
    if kind in "US":
        return np.result_type(classes.dtype, np.array(str(UNLABELLED), dtype=kind).dtype)
    if kind in "ifO":
        return classes.dtype
    if kind == "u":
        if classes.dtype.itemsize < 8:
            return np.dtype(f"i{2 * classes.dtype.itemsize}")
        return np.dtype(np.int64) if classes.size == 0 or classes.max() <= np.iinfo(np.int64).max else object
    return np.dtype(np.int8)


# -- scale --------------------------------------------------------------------------------

# How distances of each metric change when every coordinate is multiplied by s: by s**1
# (degree 1) or not at all (degree 0). Metrics not listed (haversine, boolean metrics,
# callables) are left unscaled.
_METRIC_DEGREE = {
    **dict.fromkeys(["euclidean", "l2", "minkowski", "p", "manhattan", "cityblock", "l1", "chebyshev",
                     "infinity", "seuclidean", "mahalanobis", "nan_euclidean", "precomputed"], 1),
    "sqeuclidean": 2,
    "precomputed": 1,
    **dict.fromkeys(["cosine", "correlation", "canberra", "braycurtis"], 0),
}


# Data whose largest coordinate lies within 2**-60 .. 2**60 is taken as it is: its
# squared distances, and the float32 edge weights made from distances, stay in range,
# and scaling would only copy it.
_MODERATE_EXPONENT = 60
_LARGEST_EXPONENT = 1023   # of a finite float64


def unit_scale(X, metric):
    """A power of two that brings the largest coordinate of `X` into [0.5, 1), and the
    power of it that scales distances under `metric`: ``(factor, degree)``.

    Working on ``X * factor`` with radii multiplied by ``factor ** degree`` gives the
    same neighbours as on `X`, bit for bit, wherever `X`'s own arithmetic neither
    overflows nor underflows (a power of two scales every product, sum and square root
    exactly), and keeps squared distances finite for any finite `X`. Data of moderate
    size gets the factor 1, and subnormal data the largest factor whose power stays
    finite.
    """
    degree = _METRIC_DEGREE.get(metric) if isinstance(metric, str) else None
    if degree is None:
        return 1.0, 0
    data = X.data if hasattr(X, "tocsr") else X
    largest = float(np.max(np.abs(data))) if data.size else 0.0
    if largest == 0.0 or not math.isfinite(largest):
        return 1.0, degree
    exponent = math.frexp(largest)[1]
    if abs(exponent) <= _MODERATE_EXPONENT:
        return 1.0, degree
    # Subnormal data would need a factor beyond the float range (2**1074 at most): take
    # the largest one whose power for the radii stays finite. That still brings the data
    # up to normal numbers, where its arithmetic no longer loses bits.
    return math.ldexp(1.0, min(-exponent, _LARGEST_EXPONENT // max(degree, 1))), degree


# -- samples ------------------------------------------------------------------------------


def check_samples(X, metric, *, fitting=False):
    """`X` as validated by `validate_data`, checked for what its metric needs.

    Precomputed distances must be non-negative, square when fitting, and a sparse
    graph has its rows sorted by distance (with scikit-learn's warning when they were
    not), as `NearestNeighbors` takes them.
    """
    if not (isinstance(metric, str) and metric == "precomputed"):
        return X
    if fitting and X.shape[0] != X.shape[1]:
        raise ValueError(f"a precomputed distance matrix must be square, got shape {X.shape}")
    return _check_precomputed(X)


# -- parameters ---------------------------------------------------------------------------

METRIC_CONSTRAINT = NearestNeighbors._parameter_constraints["metric"]

# Metrics that cannot be computed without parameters of their own.
_METRIC_NEEDS = {"seuclidean": ("V",), "mahalanobis": ("VI", "V"), "wminkowski": ("w",)}


def check_metric_params(metric, metric_params):
    """Refuse a metric whose required parameters `metric_params` does not give."""
    needs = _METRIC_NEEDS.get(metric) if isinstance(metric, str) else None
    if needs and not any(key in (metric_params or {}) for key in needs):
        raise ValueError(f"metric={metric!r} needs metric_params with {' or '.join(map(repr, needs))}, "
                         f"for example metric_params={{{needs[0]!r}: ...}}")


def positive_int(closed_below=1):
    return Interval(Integral, closed_below, None, closed="left")


def non_negative_real():
    return Interval(Real, 0, None, closed="left")


# -- reporting ----------------------------------------------------------------------------


class Stages:
    """Reports each stage of a fit with its duration on stderr when `verbose` is set."""

    def __init__(self, name, verbose):
        self.name = name
        self.verbose = verbose

    @contextmanager
    def __call__(self, stage):
        if not self.verbose:
            yield
            return
        print(f"{self.name}: {stage} ...", file=sys.stderr, flush=True)
        start = time.perf_counter()
        yield
        print(f"{self.name}: {stage} done in {time.perf_counter() - start:.2f} s", file=sys.stderr, flush=True)

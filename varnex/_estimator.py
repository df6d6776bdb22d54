"""The life cycle both estimators share: validate, encode labels, scale, fit, decode.

A fit either succeeds whole or leaves the estimator exactly as it was. Each estimator
supplies `_fit_scaled`, which sees samples at unit scale and labels as class indices and
returns what to commit; `_check_params` holds the parameter rules that constraints
cannot state, and `check_parameters` is what the command line calls before it reads
any data.
"""

import sys
import time
from contextlib import contextmanager
from numbers import Integral, Real
from typing import Any, NamedTuple

import numpy as np
from sklearn.base import BaseEstimator
from sklearn.neighbors import NearestNeighbors
from sklearn.utils._param_validation import Interval
from sklearn.utils.validation import validate_data

from varnex._labels import UNLABELLED, decode_targets, encode_targets
from varnex._search import Scale, check_distances, is_precomputed

__all__ = ["Fitted", "NeighbourEstimator", "Stages", "check_parameters"]

METRIC_CONSTRAINT = NearestNeighbors._parameter_constraints["metric"]

# Metrics that cannot be computed without parameters of their own.
_METRIC_NEEDS = {"seuclidean": ("V",), "mahalanobis": ("VI", "V"), "wminkowski": ("w",)}


def positive_int(closed_below=1):
    return Interval(Integral, closed_below, None, closed="left")


def non_negative_real():
    return Interval(Real, 0, None, closed="left")


def check_parameters(estimator):
    """Every parameter rule of `estimator`: its constraints, then its own checks. Raises
    ValueError (scikit-learn's InvalidParameterError for a constraint)."""
    estimator._validate_params()
    estimator._check_params()


class Fitted(NamedTuple):
    """What a successful fit commits: the classes, the class index of every training
    sample (-1 for none), and the estimator's other fitted attributes."""

    classes: np.ndarray
    codes: np.ndarray
    attributes: dict[str, Any]


class NeighbourEstimator(BaseEstimator):
    """Base of the estimators that search the neighbours of their training samples.

    Subclasses set `_label_attributes` (the attributes that hold the decoded labels of
    the training samples), `_min_samples` (fewest samples a fit takes),
    `_requires_labels` and `_scales_precomputed` (whether precomputed distances enter
    arithmetic, and so need the unit scale, or are only compared).
    """

    _label_attributes = ("transduction_",)
    _min_samples = 1
    _requires_labels = True
    _scales_precomputed = True

    @property
    def _precomputed(self):
        return is_precomputed(self.metric)

    def _check_params(self):
        needs = _METRIC_NEEDS.get(self.metric) if isinstance(self.metric, str) else None
        if needs and not any(key in (self.metric_params or {}) for key in needs):
            raise ValueError(f"metric={self.metric!r} needs metric_params with {' or '.join(map(repr, needs))}, "
                             f"for example metric_params={{{needs[0]!r}: ...}}")

    def _fit_with(self, X, y, **fit_params):
        """The whole fit; the estimator's parameters are valid (`_fit_context`)."""
        self._check_params()
        with _unchanged_on_error(self):
            X, y = self._validate_training(X, y)
            if y is None:
                classes, codes = np.empty(0, dtype=np.int64), np.full(X.shape[0], UNLABELLED, dtype=np.int32)
            else:
                classes, codes = encode_targets(y, require_labels=self._requires_labels)
            scale = Scale(1.0, 1) if self._precomputed and not self._scales_precomputed else Scale.of(X, self.metric)
            fitted = self._fit_scaled(X, scale.samples(X), classes, codes, scale, **fit_params)
            labels = decode_targets(fitted.classes, fitted.codes)
        # Committed at once, only now that nothing is left to fail.
        self.__dict__.update(fitted.attributes, classes_=fitted.classes, _codes=fitted.codes, _scale=scale,
                             **dict.fromkeys(self._label_attributes, labels))
        return self

    def _validate_training(self, X, y):
        checks = dict(accept_sparse="csr", dtype=np.float64, order="C", ensure_min_samples=self._min_samples)
        if y is None and not self._requires_labels:
            X = validate_data(self, X, **checks)
        else:
            X, y = validate_data(self, X, y, **checks)
        if self._precomputed:
            check_distances(X)
        return X, y

    def _queries(self, X):
        """New samples, validated against the training samples and scaled as they were."""
        X = validate_data(self, X, accept_sparse="csr", dtype=np.float64, order="C", reset=False)
        if self._precomputed:
            check_distances(X, n_columns=self._codes.shape[0])
        return self._scale.samples(X)

    def _fit_scaled(self, X, scaled, classes, codes, scale, **fit_params):
        """Fit on the samples `X`, given as `scaled` at unit `scale`, and the labels
        `codes` (indices into `classes`, -1 unlabelled); return the `Fitted` result."""
        raise NotImplementedError


@contextmanager
def _unchanged_on_error(estimator):
    """A fit that fails leaves the estimator as it was: no attribute of a half-done fit."""
    before = dict(estimator.__dict__)
    try:
        yield
    except BaseException:
        estimator.__dict__.clear()
        estimator.__dict__.update(before)
        raise


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

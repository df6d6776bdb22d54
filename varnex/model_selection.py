"""Parameter search for semi-supervised estimators: hide labels, not rows.

A transductive estimator labels the very samples it is fitted on, unlabelled ones
included. scikit-learn's splitters take a fold's test rows out of the fit, so those
rows never shape the clustering or the graph they are scored by, and unlabelled rows
(-1) count in the score as a class of their own. Here every fold fits on all samples
with part of the labels hidden (set to the unlabelled marker) and is scored on the
hidden labels only.
"""

import numbers
import time
from collections import defaultdict

import numpy as np
from joblib import Parallel, delayed
from sklearn.base import BaseEstimator, MetaEstimatorMixin, clone
from sklearn.metrics import accuracy_score
from sklearn.model_selection import ParameterGrid
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_is_fitted

from varnex._labels import UNLABELLED, _dtype_with_marker, labelled_accuracy, unlabelled_mask

__all__ = ["HiddenLabelSplit", "HiddenLabelSearchCV", "labelled_accuracy"]


def hide_labels(y, hidden):
    """A copy of `y` whose entries at `hidden` are the unlabelled marker, in a dtype that
    holds it (strings get "-1", unsigned and boolean labels a signed type)."""
    y = np.asarray(y)
    shown = y.astype(_dtype_with_marker(y), copy=True)
    shown[hidden] = str(UNLABELLED) if shown.dtype.kind in "US" else UNLABELLED
    return shown


def hidden_folds(y, n_splits, random_state):
    """Fold in which each sample's label is hidden, -1 for a sample never hidden.

    Each class's labelled samples are dealt over the folds in a random order, every
    class taking up where the previous one stopped, so each fold hides about the same
    share of every class. A class with a single labelled sample is never hidden: a fold
    would then fit without the class.
    """
    y = np.asarray(y)
    rng = check_random_state(random_state)
    labelled = np.flatnonzero(~unlabelled_mask(y))
    folds = np.full(y.shape[0], -1, dtype=np.int64)
    start = 0
    for label in np.unique(y[labelled]):
        members = labelled[y[labelled] == label]
        if members.size < 2:
            continue
        members = rng.permutation(members)
        folds[members] = (start + np.arange(members.size)) % n_splits
        start = (start + members.size) % n_splits
    return folds


class HiddenLabelSplit:
    """Folds that hide labels instead of rows, stratified by class.

    Each fold fits on every sample and hides about ``1 / n_splits`` of each class's
    labelled samples; those are the samples it scores. Unlabelled samples are never
    scored, and a class with one labelled sample is never hidden.

    Parameters
    ----------
    n_splits : int, default=3
        Number of folds, at least 2.
    random_state : int, RandomState instance or None, default=None
        Order in which labelled samples are dealt over the folds; an int makes the
        folds reproducible.

    Notes
    -----
    `split` yields ``(fitted, hidden)``: all row indices, then the indices whose labels
    the fold hides. scikit-learn's `GridSearchCV` would pass the hidden labels to the
    fit with their rows; `HiddenLabelSearchCV` hides them (see `hide`).
    """

    def __init__(self, n_splits=3, *, random_state=None):
        if not isinstance(n_splits, numbers.Integral) or n_splits < 2:
            raise ValueError(f"n_splits must be an integer of at least 2, got {n_splits!r}")
        self.n_splits = n_splits
        self.random_state = random_state

    def get_n_splits(self, X=None, y=None, groups=None):
        """Number of folds."""
        return self.n_splits

    def split(self, X, y, groups=None):
        """Yield ``(fitted, hidden)`` index arrays of each fold.

        Parameters
        ----------
        X : array-like of shape (n_samples, ...)
            The samples (only their number is used).
        y : array-like of shape (n_samples,)
            Known labels, -1 (or "-1") for unlabelled samples.
        groups : None
            Ignored.
        """
        y = np.asarray(y)
        if y.shape[0] != _n_samples(X):
            raise ValueError(f"X has {_n_samples(X)} samples but y has {y.shape[0]}")
        folds = hidden_folds(y, self.n_splits, self.random_state)
        if not np.any(folds >= 0):
            raise ValueError("no class has two labelled samples: there is no label to hide")
        everything = np.arange(y.shape[0])
        for fold in range(self.n_splits):
            yield everything, np.flatnonzero(folds == fold)

    @staticmethod
    def hide(y, hidden):
        """`y` with the labels at `hidden` replaced by the unlabelled marker."""
        return hide_labels(y, hidden)

    def __repr__(self):
        return f"HiddenLabelSplit(n_splits={self.n_splits}, random_state={self.random_state!r})"


class HiddenLabelSearchCV(MetaEstimatorMixin, BaseEstimator):
    """Exhaustive parameter search scored on hidden labels.

    For every combination of `param_grid` and every fold of `cv`, a clone of
    `estimator` is fitted on all samples with the fold's labels hidden, and its
    `transduction_` is scored on those labels. The combination of the best mean score
    is refitted on all labels (`refit`). Attributes follow scikit-learn's
    `GridSearchCV`.

    Parameters
    ----------
    estimator : estimator
        A semi-supervised estimator with a `transduction_` after `fit(X, y)`, such as
        `DensityClustering` or `KNNLabelPropagation`.
    param_grid : dict or list of dicts
        Parameter values to try, as scikit-learn's `ParameterGrid` takes them.
    scoring : callable, default=None
        ``scoring(y_true, y_pred) -> float``, larger is better, on the hidden labels;
        None is accuracy.
    cv : int or HiddenLabelSplit, default=3
        The folds; an int is the number of `HiddenLabelSplit` folds.
    refit : bool, default=True
        Refit the best combination on all labels as `best_estimator_`.
    n_jobs : int, default=None
        Fits run in parallel (joblib's meaning: None is 1, -1 all processors).
    random_state : int, RandomState instance or None, default=None
        Folds of an int `cv`; an int makes the search reproducible.

    Attributes
    ----------
    cv_results_ : dict of ndarrays
        ``params``, ``param_<name>``, ``split<i>_test_score``, ``mean_test_score``,
        ``std_test_score``, ``rank_test_score``, ``mean_fit_time``, ``std_fit_time``.
    best_index_ : int
        Index of the best combination in `cv_results_`.
    best_params_ : dict
        The best combination.
    best_score_ : float
        Its mean score on the hidden labels.
    best_estimator_ : estimator
        The best combination fitted on all labels (with `refit`).
    n_splits_ : int
        Number of folds.

    Examples
    --------
    >>> from sklearn.datasets import make_moons
    >>> from varnex import KNNLabelPropagation
    >>> from varnex.model_selection import HiddenLabelSearchCV
    >>> X, y = make_moons(300, noise=0.1, random_state=0)
    >>> y[30:] = -1
    >>> search = HiddenLabelSearchCV(KNNLabelPropagation(), {"n_neighbors": [3, 7]}, random_state=0)
    >>> search.fit(X, y).best_params_["n_neighbors"] in (3, 7)
    True
    """

    def __init__(self, estimator, param_grid, *, scoring=None, cv=3, refit=True, n_jobs=None, random_state=None):
        self.estimator = estimator
        self.param_grid = param_grid
        self.scoring = scoring
        self.cv = cv
        self.refit = refit
        self.n_jobs = n_jobs
        self.random_state = random_state

    def fit(self, X, y, **fit_params):
        """Run the search, then refit the best combination on all labels.

        Parameters
        ----------
        X : array-like or sparse matrix of shape (n_samples, ...)
            The samples, as the estimator takes them.
        y : array-like of shape (n_samples,)
            Known labels, -1 (or "-1") for unlabelled samples.
        **fit_params : dict
            Passed to every `fit` of the estimator.

        Returns
        -------
        self : HiddenLabelSearchCV
            The fitted search.
        """
        y = np.asarray(y)
        cv = self.cv if isinstance(self.cv, HiddenLabelSplit) else HiddenLabelSplit(self.cv,
                                                                                    random_state=self.random_state)
        folds = [hidden for _, hidden in cv.split(X, y)]
        candidates = list(ParameterGrid(self.param_grid))
        score = accuracy_score if self.scoring is None else self.scoring
        jobs = (delayed(_fit_and_score)(clone(self.estimator).set_params(**params), X, y, hidden, score, fit_params)
                for params in candidates for hidden in folds)
        results = Parallel(n_jobs=self.n_jobs)(jobs)
        scores = np.array([s for s, _ in results]).reshape(len(candidates), len(folds))
        times = np.array([t for _, t in results]).reshape(len(candidates), len(folds))
        self.cv_results_ = _results(candidates, scores, times)
        self.best_index_ = int(np.argmin(self.cv_results_["rank_test_score"]))
        self.best_params_ = candidates[self.best_index_]
        self.best_score_ = float(self.cv_results_["mean_test_score"][self.best_index_])
        self.n_splits_ = len(folds)
        if self.refit:
            self.best_estimator_ = clone(self.estimator).set_params(**self.best_params_).fit(X, y, **fit_params)
        return self

    @property
    def transduction_(self):
        """The best estimator's labels of the training samples."""
        check_is_fitted(self, "best_estimator_")
        return self.best_estimator_.transduction_

    def predict(self, X):
        """Labels of new samples by the best estimator."""
        check_is_fitted(self, "best_estimator_")
        return self.best_estimator_.predict(X)

    def score(self, X, y):
        """Accuracy of the best estimator over the labelled entries of `y`."""
        check_is_fitted(self, "best_estimator_")
        return self.best_estimator_.score(X, y)


def _fit_and_score(estimator, X, y, hidden, score, fit_params):
    start = time.perf_counter()
    estimator.fit(X, hide_labels(y, hidden), **fit_params)
    elapsed = time.perf_counter() - start
    return float(score(y[hidden], np.asarray(estimator.transduction_)[hidden])), elapsed


def _results(candidates, scores, times):
    results = {"params": candidates}
    values = defaultdict(lambda: np.ma.masked_all(len(candidates), dtype=object))
    for i, params in enumerate(candidates):
        for name, value in params.items():
            values[f"param_{name}"][i] = value
    results.update(values)
    for fold in range(scores.shape[1]):
        results[f"split{fold}_test_score"] = scores[:, fold]
    results["mean_test_score"] = scores.mean(axis=1)
    results["std_test_score"] = scores.std(axis=1)
    # Equal means share the lowest rank, as in scikit-learn.
    order = -results["mean_test_score"]
    results["rank_test_score"] = np.searchsorted(np.sort(order), order).astype(np.int32) + 1
    results["mean_fit_time"] = times.mean(axis=1)
    results["std_fit_time"] = times.std(axis=1)
    return results


def _n_samples(X):
    return X.shape[0] if hasattr(X, "shape") else len(X)

"""The semi-supervised density clusterer: densa_main, then densa_postprocess."""

from numbers import Integral, Real

import numpy as np
from sklearn.base import BaseEstimator, ClusterMixin, _fit_context
from sklearn.utils._param_validation import Interval
from sklearn.utils.validation import validate_data

from varnex._common import (METRIC_CONSTRAINT, Stages, check_metric_params, decode_targets, encode_targets,
                            positive_int, unit_scale)
from varnex._neighbourhoods import radius_neighbourhoods
from varnex.algorithms.src.densa.binaries.densa_arrays import cluster_neighbourhoods
from varnex.algorithms.src.densa.binaries.densa_postprocess import densa_postprocess

__all__ = ["DensityClustering"]


class DensityClustering(ClusterMixin, BaseEstimator):
    """Semi-supervised density clustering with known labels for some samples.

    Clusters grow from dense regions as in DBSCAN (radius `eps`, at least
    `min_samples` samples in a core sample's neighbourhood, itself included), but every
    labelled sample keeps its label, two different labels never share a cluster and
    every cluster grown from a labelled sample carries that sample's class. Clusters
    found among unlabelled samples only get new identifiers -2, -3, ... (see
    `clusters_`). Post-processing (on by default) then dissolves those new clusters and
    gives each remaining sample the class whose centroid is nearest, so every sample
    ends in a known class.

    Without labels (`y` omitted, or every entry -1) this is DBSCAN: `labels_` equals
    ``DBSCAN(eps, min_samples, metric=metric, p=p).fit(X).labels_``, clusters numbered
    0, 1, ... in the order DBSCAN finds them and noise -1.

    Parameters
    ----------
    eps : float, default=0.5
        Neighbourhood radius: samples at distance at most `eps` are neighbours.
    min_samples : int, default=5
        Smallest neighbourhood size, the sample itself included, that makes a sample a
        core sample.
    metric : str, default="euclidean"
        Distance between samples, any metric of scikit-learn's ``BallTree``.
        ``"euclidean"`` and ``"minkowski"`` with ``p=2`` give the same clusters: a k-d
        tree's pair query in up to 15 dimensions, brute force by matrix products in
        more. Other metrics use a ball tree.
    metric_params : dict, default=None
        Parameters of the metric, as scikit-learn takes them (``{"V": ...}`` for
        ``"seuclidean"``, ``{"VI": ...}`` for ``"mahalanobis"``).
    p : int, default=2
        Minkowski exponent, used only when `metric` is ``"minkowski"``.
    threshold : int, default=-1
        Which new clusters post-processing dissolves: those whose identifier in
        `clusters_` lies below `threshold`. -1 dissolves every new cluster; -3 keeps
        -2 and -3, whose samples stay -1 in `labels_`. Known classes are never
        dissolved, so values above -1 are refused.
    postprocess : bool, default=True
        Whether to run the post-processing. Without it, `labels_` holds -1 for every
        sample outside a known class.
    verbose : int, default=0
        Report each stage and its duration on stderr when positive.
    n_jobs : int, default=None
        Parallel jobs for the neighbour search (k-d tree slabs, ball-tree queries or
        brute-force tiles). ``None`` means 1, ``-1`` all processors.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The distinct labels of the labelled samples, sorted, in the dtype of `y`.
        Without labels: the cluster numbers 0, 1, ...
    labels_ : ndarray of shape (n_samples,)
        The final label of every sample, from `classes_`, or -1 where none applies.
        It keeps the dtype of `classes_` when every sample has a class, and otherwise
        takes the nearest dtype that also holds -1 ("-1" for strings).
    transduction_ : ndarray of shape (n_samples,)
        The same array as `labels_`, under the name scikit-learn's semi-supervised
        estimators use.
    clusters_ : ndarray of int32, shape (n_samples,)
        The raw clusters before post-processing: the index into `classes_` for samples
        in a known class, -1 for noise and -2, -3, ... for clusters found among
        unlabelled samples.
    n_features_in_ : int
        Number of features seen during `fit`.

    Notes
    -----
    Every neighbourhood is computed at once before clusters grow, so memory grows with
    the number of sample pairs within `eps` of each other: on large dense data choose
    `eps` with care.

    For the distances that scale with the data (Minkowski family, cosine and their
    kin) the data is first brought to unit size by a power of two, with `eps` to
    match: the clusters are the same as on the data itself, and stay the same at any
    scale, even where squared distances would overflow or underflow.

    Examples
    --------
    >>> import numpy as np
    >>> from varnex import DensityClustering
    >>> X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    >>> y = np.array([0, -1, -1, -1, -1, 1])
    >>> DensityClustering(eps=0.15, min_samples=2).fit_predict(X, y)
    array([0, 0, 0, 1, 1, 1])
    """

    _parameter_constraints = {
        "eps": [Interval(Real, 0, None, closed="left")],
        "min_samples": [positive_int()],
        "metric": METRIC_CONSTRAINT,
        "metric_params": [dict, None],
        "p": [positive_int()],
        "threshold": [Integral],
        "postprocess": ["boolean"],
        "verbose": ["verbose"],
        "n_jobs": [Integral, None],
    }

    def __init__(self, eps=0.5, min_samples=5, metric="euclidean", metric_params=None, p=2, threshold=-1,
                 postprocess=True, verbose=0, n_jobs=None):
        self.eps = eps
        self.min_samples = min_samples
        self.metric = metric
        self.metric_params = metric_params
        self.p = p
        self.threshold = threshold
        self.postprocess = postprocess
        self.verbose = verbose
        self.n_jobs = n_jobs

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y=None):
        """Cluster `X` keeping the known labels of `y`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The samples.
        y : array-like of shape (n_samples,), default=None
            The known label of each sample, -1 for an unlabelled one (-1 or "-1" in an
            array of strings or objects). Without labels the clustering is DBSCAN's.

        Returns
        -------
        self : DensityClustering
            The fitted estimator.
        """
        self._check_params()
        if y is None:
            X = validate_data(self, X, dtype=np.float64, order="C")
            classes, known = np.empty(0, dtype=np.int64), np.full(X.shape[0], -1, dtype=np.int32)
        else:
            X, y = validate_data(self, X, y, dtype=np.float64, order="C")
            classes, known = encode_targets(y, require_labels=False)
        factor, degree = unit_scale(X, self.metric)
        X = X * factor if factor != 1.0 or not X.flags.writeable else X   # densa_postprocess takes writable data
        eps = float(self.eps) * factor ** degree
        stage = Stages("DensityClustering", self.verbose)
        with stage(f"density clustering of {X.shape[0]} samples"):
            clusters = self._cluster(X, eps, known)
        if classes.size == 0:
            # Nothing labelled: the new clusters -2, -3, ... are DBSCAN's 0, 1, ...
            final = np.where(clusters <= -2, -2 - clusters, -1).astype(np.int32)
            classes = np.arange(-1 - int(clusters.min(initial=-1)))
        elif self.postprocess:
            with stage("post-processing"):
                final = densa_postprocess(X, clusters, self.metric, int(self.p), int(self.threshold))
        else:
            final = clusters
        self.classes_ = classes
        self.clusters_ = clusters
        self.labels_ = self.transduction_ = decode_targets(classes, final)
        return self

    def _cluster(self, X, eps, known):
        # The neighbourhoods are dropped on return, before any post-processing.
        indptr, indices = radius_neighbourhoods(X, eps, self.metric, int(self.p), self.n_jobs)
        return cluster_neighbourhoods(indptr, indices, known, int(self.min_samples))

    def fit_predict(self, X, y=None):
        """Fit, then return the final label of every sample (`labels_`).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The samples.
        y : array-like of shape (n_samples,), default=None
            The known labels, -1 for unlabelled samples.

        Returns
        -------
        labels : ndarray of shape (n_samples,)
            The final labels.
        """
        return self.fit(X, y).labels_

    def _check_params(self):
        if self.threshold > -1:
            raise ValueError(f"threshold must be -1 or lower, got {self.threshold}: it selects the new clusters "
                             "(-2, -3, ...) that post-processing dissolves, and known classes are never dissolved")
        check_metric_params(self.metric, self.metric_params)

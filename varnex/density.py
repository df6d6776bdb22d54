"""The semi-supervised density clusterer: densa_main, then densa_postprocess."""

import numpy as np
from sklearn.base import BaseEstimator, ClusterMixin
from sklearn.utils.validation import validate_data

from varnex._common import Stages, check_number, decode_targets, encode_targets
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
    found among unlabelled samples only get new identifiers -2, -3, ... Post-processing
    (on by default) then dissolves those new clusters and gives each remaining sample
    the class whose centroid is nearest, so every sample ends in a known class.

    Parameters
    ----------
    eps : float, default=0.5
        Neighbourhood radius.
    min_samples : int, default=5
        Smallest neighbourhood size, the sample itself included, that makes a sample a
        core sample.
    metric : str, default="euclidean"
        Distance between samples, any metric of scikit-learn's ``BallTree``.
        ``"euclidean"`` and ``"minkowski"`` with ``p=2`` give the same clusters: a k-d
        tree's pair query in up to 15 dimensions, brute force by matrix products in
        more. Other metrics use a ball tree.
    p : int, default=2
        Minkowski exponent, used only when `metric` is ``"minkowski"``.
    threshold : int, default=-1
        Post-processing dissolves every cluster of `labels_` whose value is below
        `threshold` (-1: every new cluster, no known class). With a lower value, new
        clusters -2 .. `threshold` survive and their samples stay -1 in
        `transduction_`.
    postprocess : bool, default=True
        Whether to run the post-processing. Without it, `transduction_` keeps -1 for
        every sample outside a known class.
    verbose : int, default=0
        Report each stage and its duration on stderr when positive.
    n_jobs : int, default=None
        Parallel jobs for the neighbour search (k-d tree slabs, ball-tree queries or
        brute-force tiles). ``None`` means 1, ``-1`` all processors.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The distinct labels of the labelled samples, sorted.
    labels_ : ndarray of int32, shape (n_samples,)
        The raw clusters: the index into `classes_` for samples in a known class, -1
        for noise and -2, -3, ... for clusters found among unlabelled samples.
    transduction_ : ndarray of shape (n_samples,)
        The final label of every sample, from `classes_`, or -1 where none applies.
    n_features_in_ : int
        Number of features seen during `fit`.

    Notes
    -----
    Every neighbourhood is computed at once before clusters grow, so memory grows with
    the number of sample pairs within `eps` of each other: on large dense data choose
    `eps` with care.

    Examples
    --------
    >>> import numpy as np
    >>> from varnex import DensityClustering
    >>> X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    >>> y = np.array([0, -1, -1, -1, -1, 1])
    >>> DensityClustering(eps=0.15, min_samples=2).fit_predict(X, y)
    array([0, 0, 0, 1, 1, 1])
    """

    def __init__(self, eps=0.5, min_samples=5, metric="euclidean", p=2, threshold=-1, postprocess=True,
                 verbose=0, n_jobs=None):
        self.eps = eps
        self.min_samples = min_samples
        self.metric = metric
        self.p = p
        self.threshold = threshold
        self.postprocess = postprocess
        self.verbose = verbose
        self.n_jobs = n_jobs

    def fit(self, X, y):
        """Cluster `X` keeping the known labels of `y`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The samples.
        y : array-like of shape (n_samples,)
            The known label of each sample, -1 for an unlabelled one. At least one
            sample must be labelled.

        Returns
        -------
        self : DensityClustering
            The fitted estimator.
        """
        self._check_params()
        X, y = validate_data(self, X, y, dtype=np.float64, order="C")
        if not X.flags.writeable:   # the native modules take writable buffers
            X = X.copy()
        self.classes_, known = encode_targets(y)
        stage = Stages("DensityClustering", self.verbose)
        with stage(f"density clustering of {X.shape[0]} samples"):
            self.labels_ = self._cluster(X, known)
        final = self.labels_
        if self.postprocess:
            with stage("post-processing"):
                final = densa_postprocess(X, self.labels_, self.metric, int(self.p), int(self.threshold))
        self.transduction_ = decode_targets(self.classes_, final)
        return self

    def _cluster(self, X, known):
        # The neighbourhoods are dropped on return, before any post-processing.
        indptr, indices = radius_neighbourhoods(X, float(self.eps), self.metric, int(self.p), self.n_jobs)
        return cluster_neighbourhoods(indptr, indices, known, int(self.min_samples))

    def fit_predict(self, X, y):
        """Fit, then return the final label of every sample (`transduction_`).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The samples.
        y : array-like of shape (n_samples,)
            The known labels, -1 for unlabelled samples.

        Returns
        -------
        labels : ndarray of shape (n_samples,)
            The final labels.
        """
        return self.fit(X, y).transduction_

    def _check_params(self):
        check_number("eps", self.eps, minimum=0)
        check_number("min_samples", self.min_samples, integral=True)
        if not isinstance(self.metric, str):
            raise ValueError(f"metric must be a metric name, got {self.metric!r}")
        check_number("p", self.p, integral=True, minimum=1)
        check_number("threshold", self.threshold, integral=True)
        if self.n_jobs is not None:
            check_number("n_jobs", self.n_jobs, integral=True)

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        return tags

"""The semi-supervised density clusterer: densa_main, then densa_postprocess."""

from numbers import Integral, Real

import numpy as np
import scipy.sparse as sp
from sklearn.base import ClusterMixin, _fit_context
from sklearn.metrics import DistanceMetric, pairwise_distances
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import _check_sample_weight, check_is_fitted

from varnex._bounded import cluster_bounded, out_of_memory
from varnex._centroids import cluster_centres
from varnex._estimator import METRIC_CONSTRAINT, Fitted, NeighbourEstimator, positive_int
from varnex._labels import decode_targets
from varnex._radius import choose_radius
from varnex._search import PrecomputedIndex, index_samples
from varnex._search.memory import BOUNDED, IN_MEMORY, budget_bytes, neighbourhood_route
from varnex._search.routes import minkowski_exponent
from varnex._search.threads import native_threads
from varnex.algorithms.src.densa.binaries.densa_arrays import (cluster_neighbourhoods, cluster_synchronously,
                                                               cluster_weighted_neighbourhoods, nearest_centres)

__all__ = ["DensityClustering"]


class DensityClustering(ClusterMixin, NeighbourEstimator):
    """Semi-supervised density clustering with known labels for some samples.

    Clusters grow from dense regions as in DBSCAN (radius `eps`, at least
    `min_samples` samples in a core sample's neighbourhood, itself included), but every
    labelled sample keeps its label, two different labels never share a cluster and
    every cluster grown from a labelled sample carries that sample's class. Clusters
    found among unlabelled samples only get new identifiers -2, -3, ... (see
    `clusters_`). Post-processing (on by default) then dissolves those new clusters and
    gives each remaining sample the class whose centroid is nearest, so every sample
    ends in a known class.

    Where clusters meet, `growth` decides who takes the samples between them. With
    ``"synchronous"`` (the default) the data decide, not the order of the rows: every
    labelled sample seeds at once and the clusters grow together, one ring of
    neighbours at a time; a sample reached by several clusters in the same ring joins
    the cluster of the nearest sample that reached it. The core samples no labelled
    cluster took then form the new clusters, and a border sample within reach of
    several of them joins that of its nearest core sample, as `predict` does. Equal
    distances go to the lower class (among new clusters, the one numbered first), and
    so do all contests where the distance is not a Minkowski distance of coordinates
    (precomputed distances, a callable or another metric, or `metric_params`). With
    ``"sequential"`` seeds grow one after another in the order of the rows (labelled
    samples outside dense regions first, then labelled core samples, then new
    clusters) and the first cluster to reach a sample keeps it.

    Without labels (`y` omitted, or every entry -1) this is DBSCAN: the same core
    samples, split into the same clusters, numbered 0, 1, ... in the order DBSCAN finds
    them, and the same noise. Only a border sample within reach of two clusters may
    differ: DBSCAN gives it to the cluster found first in row order, the synchronous
    growth to its nearest core sample's. With ``growth="sequential"`` `labels_` equals
    ``DBSCAN(eps, min_samples, metric=metric, p=p).fit(X).labels_``.

    Parameters
    ----------
    eps : float or "auto", default=0.5
        Neighbourhood radius: samples at distance at most `eps` are neighbours.
        ``"auto"`` chooses it from the labels (see Notes); the radius used is `eps_`.
    min_samples : int, default=5
        Smallest neighbourhood size, the sample itself included, that makes a sample a
        core sample.
    metric : str or callable, default="euclidean"
        Distance between samples: any metric of scikit-learn's ``NearestNeighbors``,
        a callable taking two rows and returning their distance, or ``"precomputed"``
        to pass `fit` the distances themselves (see `fit`). ``"euclidean"`` and
        ``"minkowski"`` with ``p=2`` give the same clusters: a k-d tree's pair query in
        up to 15 dimensions, brute force by matrix products in more. Other metrics of
        scikit-learn's ``BallTree``, callables included, use a ball tree; the rest
        (``"cosine"``, ``"correlation"``, ...) and sparse samples scikit-learn's brute
        force, a bounded number of rows at a time. Sparse samples under a metric
        without a sparse form are made dense.
    metric_params : dict, default=None
        Parameters of the metric, as scikit-learn takes them (``{"V": ...}`` for
        ``"seuclidean"``, ``{"VI": ...}`` for ``"mahalanobis"``, keyword arguments of
        a callable).
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
    growth : {"synchronous", "sequential"}, default="synchronous"
        How clusters that meet share the samples between them: by distance, whatever
        the order of the rows, or by the order of the rows (see above).
    verbose : int, default=0
        Report each stage and its duration on stderr when positive.
    n_jobs : int, default=None
        Parallel jobs for the neighbour search (k-d tree slabs, ball-tree queries or
        brute-force tiles). ``None`` means 1, ``-1`` all processors; as in
        scikit-learn, the matrix products of the brute-force search in many features
        use as many threads as BLAS would with ``None``.

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
    core_sample_indices_ : ndarray of shape (n_core_samples,)
        Indices of the core samples, as DBSCAN's.
    components_ : ndarray or sparse matrix of shape (n_core_samples, n_features)
        The core samples themselves (their rows of distances with
        ``metric="precomputed"``), as DBSCAN's.
    centroids_ : ndarray of shape (n_centroids, n_features) or None
        The centroids that post-processing measured: those of the known classes and of
        the new clusters it kept, in the order of their identifiers in `clusters_`
        (new clusters first). A centroid is the members' weighted mean; with
        ``metric="haversine"`` their mean direction on the sphere, as (latitude,
        longitude); for metrics where a mean has no meaning (boolean metrics such as
        ``"hamming"`` or ``"jaccard"``, and callables) the weighted medoid, the member
        whose distances to the others sum least (among 512 evenly spaced members of a
        larger cluster). Empty without post-processing or labels; None with
        ``metric="precomputed"``, where no coordinates exist and the nearest sample of
        a kept cluster stands in for its centroid.
    centroid_labels_ : ndarray of shape (n_centroids,)
        The label each centroid gives, from `classes_`, or -1 for a kept new cluster.
    n_features_in_ : int
        Number of features seen during `fit`.
    eps_ : float
        The radius used: `eps` itself, or the one ``eps="auto"`` chose.
    eps_rule_ : str or None
        With ``eps="auto"``, how the radius was chosen: ``"labels"``, ``"k-distance"``
        (fewer than two labelled classes) or ``"no conflict"`` (no two classes are ever
        joined: the largest neighbour distance searched). None for a given `eps`.
    neighbourhood_route_ : {"in-memory", "bounded"}
        How `fit` held the neighbourhoods: all at once, or a batch at a time (see
        Notes).

    Notes
    -----
    With ``eps="auto"`` the labels choose the radius. Two labelled samples of different
    classes must not be joined through core samples: the cluster grown first would take
    the other's whole region. The smallest radius at which that happens is found from a
    minimum spanning tree of the distances raised to the core distances (the distance
    to the `min_samples`-th neighbour, the sample counted; 0 for labelled samples,
    which spread their cluster whatever their neighbourhood), grown over the
    nearest-neighbour graph and checked on the true neighbourhoods. Just below that
    radius the known regions are as large as they can be, but with few labels a region
    no label claims may still join the wrong class, so five radii from it down to 0.41
    times it are scored by hiding half of each class's labels in turn and counting the
    hidden labels each radius gives back; equal scores take the middle radius. Classes
    with a single labelled sample are never hidden; when no class has two, the middle
    radius is taken. With fewer than two labelled classes no label can choose: the
    radius is the knee of the sorted core distances, with a warning. The search costs
    several fits' worth of work (neighbour graph, one radius search at the largest radius
    tried, and clusterings drawn from it) in memory that grows as a fit's does.

    To choose `min_samples`, the metric or a fixed `eps` by their accuracy, use
    `varnex.model_selection.HiddenLabelSearchCV`, which fits on all samples and scores
    hidden labels; `score` counts labelled samples only.

    `predict` labels new samples as `fit` labelled the training samples: by the
    nearest core sample within `eps`, else by post-processing's nearest centroid.

    Memory: holding every neighbourhood at once takes 8 bytes per sample and 4 per
    neighbour, which grows with the square of `eps`. Where that size, predicted from
    the neighbourhoods of 512 samples among a sixteenth of the data (and counted
    exactly when the prediction comes within 25% of it), exceeds scikit-learn's
    ``working_memory`` setting (``sklearn.set_config(working_memory=...)``, in MiB),
    `fit` takes a bounded route instead: it counts every neighbourhood, then computes
    rows as the clusters reach them, a batch of at most ``working_memory`` at a time
    (less when the memory left is smaller), keeping about 100 bytes per sample besides. Both routes give the same
    clusters, bit for bit; the bounded one takes longer, computing each neighbourhood
    twice. `neighbourhood_route_` tells which was taken. Precomputed distances always
    take the in-memory route, their neighbourhoods being smaller than the distances.
    With sample weights that are not whole numbers, a neighbourhood's weights may be
    summed in another order on the two routes, which can move a sample whose sum
    lies within rounding of `min_samples`.

    For the distances that scale with the data (Minkowski family, cosine and their
    kin, precomputed distances) the data is first brought to unit size by a power of two, with `eps` to
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
        "eps": [Interval(Real, 0, None, closed="left"), StrOptions({"auto"})],
        "min_samples": [positive_int()],
        "metric": METRIC_CONSTRAINT,
        "metric_params": [dict, None],
        "p": [positive_int()],
        "threshold": [Integral],
        "postprocess": ["boolean"],
        "growth": [StrOptions({"synchronous", "sequential"})],
        "verbose": ["verbose"],
        "n_jobs": [Integral, None],
    }

    def __init__(self, eps=0.5, min_samples=5, metric="euclidean", metric_params=None, p=2, threshold=-1,
                 postprocess=True, growth="synchronous", verbose=0, n_jobs=None):
        self.eps = eps
        self.min_samples = min_samples
        self.metric = metric
        self.metric_params = metric_params
        self.p = p
        self.threshold = threshold
        self.postprocess = postprocess
        self.growth = growth
        self.verbose = verbose
        self.n_jobs = n_jobs

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y=None, sample_weight=None):
        """Cluster `X` keeping the known labels of `y`.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features) or \
                (n_samples, n_samples)
            The samples; with ``metric="precomputed"`` the distances between them, a
            square array or a sparse graph (such as ``radius_neighbors_graph`` or
            ``kneighbors_graph`` give with ``mode="distance"``) whose missing entries
            are not neighbours. Rows of a graph may be in any order and list a sample
            twice (it then counts twice, as in DBSCAN). A sample belongs to its own
            neighbourhood unless its stored diagonal entry exceeds `eps`.
        y : array-like of shape (n_samples,), default=None
            The known label of each sample, -1 for an unlabelled one (-1 or "-1" in an
            array of strings or objects). Without labels the clustering is DBSCAN's.
        sample_weight : array-like of shape (n_samples,), default=None
            Weight of each sample: a core sample is one whose neighbourhood's weights,
            its own included, sum to at least `min_samples`. A weight of 3 counts as
            three copies of the sample; a negative weight keeps neighbours from being
            core samples. None weighs every sample 1.

        Returns
        -------
        self : DensityClustering
            The fitted estimator.
        """
        return self._fit_with(X, y, sample_weight=sample_weight)

    _label_attributes = ("labels_", "transduction_")
    _requires_labels = False
    # Precomputed distances are only compared with eps: no arithmetic to keep in range.
    _scales_precomputed = False

    def _fit_scaled(self, X, scaled, classes, known, scale, sample_weight=None):
        weights = None if sample_weight is None else _check_sample_weight(sample_weight, X, dtype=np.float64)
        progress = self._progress()
        index = index_samples(scaled, self.metric, int(self.p), self.metric_params, self.n_jobs, progress=progress)
        if isinstance(self.eps, str):
            with progress.stage("radius from the labels"):
                eps, rule = choose_radius(self, index, scaled, known, weights)
            eps_ = eps / scale.distance(1.0)
        else:
            eps, rule, eps_ = scale.distance(float(self.eps)), None, float(self.eps)
        with progress.stage(f"density clustering of {X.shape[0]} samples"):
            clusters, core, route = self._cluster(index, scaled, known, eps, weights)
        centroids, centroid_codes = np.empty((0, X.shape[1])), np.empty(0, dtype=np.int32)
        members = None
        postprocessed = bool(self.postprocess) and classes.size > 0
        if classes.size == 0:
            # Nothing labelled: the new clusters -2, -3, ... are DBSCAN's 0, 1, ...
            final = np.where(clusters <= -2, -2 - clusters, -1).astype(np.int32)
            classes = np.arange(-1 - int(clusters.min(initial=-1)))
        elif postprocessed:
            with progress.stage("post-processing"):
                final, centroids, centroid_codes, members = self._postprocess(index, scaled, clusters, weights)
        else:
            final = clusters
        core_sample_indices = np.flatnonzero(core)
        return Fitted(classes, final, {
            "clusters_": clusters,
            "core_sample_indices_": core_sample_indices,
            "components_": X[core_sample_indices],
            "centroids_": None if self._precomputed else centroids / scale.factor,
            "centroid_labels_": decode_targets(classes, centroid_codes),
            "_members": members,
            "_postprocessed": postprocessed,
            "_centroid_codes": centroid_codes,
            "eps_": eps_,
            "eps_rule_": rule,
            "_eps": eps,
            "neighbourhood_route_": route,
        })

    # -- route: every neighbourhood at once, or a batch at a time -------------------------

    def _cluster(self, index, X, known, eps, weights):
        """Raw clusters, core flags and the route taken: in memory where the
        neighbourhoods' size fits ``working_memory``, a batch at a time otherwise, the
        batches following the growth's queue."""
        budget = budget_bytes()
        route, lengths = neighbourhood_route(index, eps, budget)
        if route == IN_MEMORY:
            try:
                return (*self._cluster_in_memory(index, X, known, eps, weights), IN_MEMORY)
            except MemoryError as error:
                if self._precomputed:
                    raise out_of_memory(known.shape[0], budget, bounded=False) from error
        contest = self._contest(X) if self.growth == "synchronous" else None
        return (*cluster_bounded(index, eps, known, self.min_samples, weights, budget, lengths, contest), BOUNDED)

    def _cluster_in_memory(self, index, X, known, eps, weights):
        """Raw clusters and core flags; the neighbourhoods are dropped on return."""
        return self._cluster_neighbourhoods(index.neighbourhoods(eps), X, known, weights)

    def _cluster_neighbourhoods(self, neighbourhoods, X, known, weights):
        """Raw clusters and core flags of the samples `X` with these neighbourhoods."""
        indptr, indices, self_within = neighbourhoods
        own = None
        if weights is not None or not (self_within is None or self_within.all()):
            weights = np.ones(known.shape[0]) if weights is None else weights
            own = weights if self_within is None else np.where(self_within, weights, 0.0)
        if self.growth == "synchronous":
            clusters, core = cluster_synchronously(indptr, indices, known, float(self.min_samples), weights, own,
                                                   *self._contest(X))
            return clusters, core.astype(bool)
        if own is None:
            clusters = cluster_neighbourhoods(indptr, indices, known, int(self.min_samples))
            return clusters, np.diff(indptr) + 1 >= self.min_samples
        clusters, core = cluster_weighted_neighbourhoods(indptr, indices, known, float(self.min_samples),
                                                         weights, own)
        return clusters, core.astype(bool)

    def _contest(self, X):
        """``(points, p)``: what settles the contests of the synchronous growth, the
        Minkowski distances of exponent p between the points (None: every contest a tie,
        as under other metrics)."""
        exponent = None if self._precomputed else minkowski_exponent(self.metric, self.p, self.metric_params)
        return _contest_points(X, exponent), exponent or 2.0

    def _postprocess(self, index, X, clusters, weights):
        """Dissolve the new clusters below `threshold`, then give every sample outside a
        cluster the class of the nearest surviving one: the nearest centroid, or with
        precomputed distances the nearest member. Returns the final codes, the centroids,
        the code of each centroid (-1 for a surviving new cluster) and, with precomputed
        distances, the members that stood in for centroids."""
        codes = clusters.copy()
        codes[codes < self.threshold] = -1
        noise = np.flatnonzero(codes == -1)
        if self._precomputed:
            # A sample of weight 0 counts as absent, here as in the centroids.
            members = np.flatnonzero((codes != -1) & (True if weights is None else weights > 0))
            nearest = index.subset(members).nearest(X[noise])
            codes[noise] = _taken(codes[members], nearest)
            centroids, groups = np.empty((0, X.shape[1])), np.empty(0, dtype=np.int32)
        else:
            members = None
            groups, centroids = cluster_centres(X, codes, weights, self.metric, self._distance_metric(),
                                               native_threads(self.n_jobs))
            nearest = self._nearest_centroids(X[noise], centroids)
            codes[noise] = _taken(groups, nearest)
        return codes, centroids, np.where(groups >= 0, groups, -1).astype(np.int32), members

    def _nearest_centroids(self, points, centroids):
        """Index of the nearest centroid of every point (the first among equals), -1 where
        no centroid is at a finite distance."""
        nearest = np.full(points.shape[0], -1, dtype=np.intp)
        if centroids.shape[0] == 0 or points.shape[0] == 0:
            return nearest
        exponent = minkowski_exponent(self.metric, self.p, self.metric_params)
        if exponent is not None and isinstance(points, np.ndarray):
            # Natively on n_jobs threads, with no table of distances.
            return nearest_centres(np.ascontiguousarray(points, dtype=np.float64),
                                   np.ascontiguousarray(centroids, dtype=np.float64), exponent,
                                   native_threads(self.n_jobs)).astype(np.intp, copy=False)
        distance = self._distance_metric()
        rows = max(1, CHUNK_ELEMENTS // max(points.shape[1], centroids.shape[0]))
        for start in range(0, points.shape[0], rows):
            chunk = points[start:start + rows]
            chunk = chunk.toarray() if sp.issparse(chunk) else chunk
            nearest[start:start + rows] = _first_minimum(distance(chunk, centroids))
        return nearest

    def _distance_metric(self):
        """pairwise(points, centroids) under the estimator's metric."""
        params = dict(self.metric_params or {})
        if isinstance(self.metric, str) and self.metric == "minkowski":
            params.setdefault("p", int(self.p))
        try:
            return DistanceMetric.get_metric(self.metric, **params).pairwise
        except ValueError:  # a metric only scikit-learn's pairwise functions know, such as cosine
            return lambda a, b: pairwise_distances(a, b, metric=self.metric, **params)

    def predict(self, X):
        """Label new samples.

        A new sample takes the final label (`labels_`) of its nearest core sample within
        `eps`. Failing that it takes the label that post-processing would give it: that
        of the nearest surviving centroid (`centroids_`, `centroid_labels_`), or with
        ``metric="precomputed"`` that of the nearest training sample in a surviving
        cluster; a surviving new cluster gives -1. Without post-processing, or without
        labels in `fit` (DBSCAN's clustering), such a sample is noise: -1. Core samples
        of the training data get their own label back.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_queries, n_features) or \
                (n_queries, n_samples)
            The new samples; with ``metric="precomputed"`` their distances to the
            training samples (missing entries of a sparse matrix are not neighbours,
            so a training sample's own row must store its zero distance to itself).

        Returns
        -------
        labels : ndarray of shape (n_queries,)
            The label of every new sample, from `classes_`, or -1.
        """
        check_is_fitted(self)
        scaled = self._queries(X)
        core = self.core_sample_indices_
        nearest = self._index_of_training(core).nearest(scaled, within=self._eps)
        codes = _taken(self._codes[core], nearest)
        rest = np.flatnonzero(nearest < 0)
        if rest.size and self._postprocessed:
            codes[rest] = self._post_code(scaled[rest])
        return decode_targets(self.classes_, codes)

    def _index_of_training(self, members):
        """An index of the training samples `members`, for `predict`: the core samples,
        or with precomputed distances any of them (queries bring their own distances);
        of the coordinates only the core samples' are kept, as `components_`."""
        if self._precomputed:
            return PrecomputedIndex(None, columns=members)
        return index_samples(self._scale.samples(self.components_), self.metric, self.p, self.metric_params,
                             self.n_jobs)

    def _post_code(self, X):
        """The code post-processing gives samples outside every core sample's reach."""
        if self._precomputed:
            members = self._members
            return _taken(self._codes[members], self._index_of_training(members).nearest(X))
        return _taken(self._centroid_codes, self._nearest_centroids(X, self._scale.samples(self.centroids_)))

    def fit_predict(self, X, y=None, sample_weight=None):
        """Fit, then return the final label of every sample (`labels_`).

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features) or \
                (n_samples, n_samples)
            The samples, or their distances with ``metric="precomputed"``.
        y : array-like of shape (n_samples,), default=None
            The known labels, -1 for unlabelled samples.
        sample_weight : array-like of shape (n_samples,), default=None
            Weight of each sample (see `fit`).

        Returns
        -------
        labels : ndarray of shape (n_samples,)
            The final labels.
        """
        return self.fit(X, y, sample_weight).labels_

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        tags.input_tags.pairwise = self._precomputed
        return tags

    def _check_params(self):
        super()._check_params()
        if self.threshold > -1:
            # Known classes are 0, 1, ... and are never dissolved.
            raise ValueError(f"The 'threshold' parameter of {type(self).__name__} must be -1 or lower (new clusters "
                             f"are numbered -2, -3, ...), got {self.threshold}")

# Distances between points and centroids are taken this many at a time at most (8 MiB,
# a few copies of it alive at once): after a threaded search, memory its threads freed
# can stay resident in their allocator arenas, and larger chunks would add to that.
CHUNK_ELEMENTS = 1 << 20


def _contest_points(X, exponent):
    """The coordinates that settle contests of the synchronous growth under a Minkowski
    metric: dense float64 rows, or sparse ones as CSR arrays with sorted features; None
    where the metric is another (every contest a tie)."""
    if exponent is None:
        return None
    if not sp.issparse(X):
        return np.ascontiguousarray(X, dtype=np.float64)
    X = sp.csr_matrix(X, dtype=np.float64)
    if not X.has_canonical_format:
        X = X.copy()
        X.sum_duplicates()
    return X.indptr.astype(np.int64), X.indices.astype(np.int32), X.data


def _taken(codes, positions):
    """codes[positions] as int32, -1 where the position is -1."""
    taken = np.full(positions.shape[0], -1, dtype=np.int32)
    found = positions >= 0
    taken[found] = codes[positions[found]]
    return taken


def _first_minimum(distances):
    """Column of each row's smallest distance (the first among equals), -1 where none is
    finite: NaN and infinity never win."""
    distances = np.where(np.isnan(distances), np.inf, distances)
    nearest = np.argmin(distances, axis=1)
    return np.where(np.isfinite(distances[np.arange(distances.shape[0]), nearest]), nearest, -1)

"""The k-nearest-neighbour label propagator: the graph pipeline behind an estimator."""

import warnings
from numbers import Integral

import numpy as np
from sklearn.base import ClassifierMixin, _fit_context
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils._param_validation import StrOptions
from scipy import sparse
from sklearn.utils.validation import check_is_fitted

from varnex import _graph_pipeline as pipeline
from varnex._estimator import METRIC_CONSTRAINT, Fitted, NeighbourEstimator, non_negative_real, positive_int
from varnex._search import index_samples
from varnex._search.approximate import DEFAULT_PROBES, METRICS as APPROXIMATE_METRICS
from varnex._search.routes import ALGORITHMS, EXACT_ALGORITHMS, takes_approximate
from varnex._search.threads import native_threads

__all__ = ["KNNLabelPropagation"]

# Entries of one block's vote table in `predict`.
PREDICT_ENTRIES = 1 << 18


class KNNLabelPropagation(ClassifierMixin, NeighbourEstimator):
    """Semi-supervised classification by label propagation on a k-nearest-neighbour graph.

    Every sample lists its `n_neighbors` nearest samples, each edge weighted by their
    distance. The graph is split into connected components; components without a
    labelled sample are joined to the labelled part through their nearest neighbours,
    and a group of samples whose lists lead only into the group is joined by one edge
    between its sample nearest to the labelled part and that nearest sample. Then,
    sweep after sweep, each unlabelled sample takes the label with the largest sum of
    ``(1 / distance)**2`` over its already labelled neighbours, until a sweep labels no
    more samples. Which labels a sweep sees is set by `propagation`. Every sample ends
    with a label.

    Parameters
    ----------
    n_neighbors : int, default=7
        Neighbours of each sample in the graph (at most ``n_samples - 1`` are used).
    metric : str, default="euclidean"
        Distance between samples, any metric of scikit-learn's `NearestNeighbors`, or
        ``"inner_product"`` (the largest inner products nearest; see Notes), which
        only the approximate search takes.
    metric_params : dict, default=None
        Parameters of the metric, as scikit-learn takes them (``{"V": ...}`` for
        ``"seuclidean"``, ``{"VI": ...}`` for ``"mahalanobis"``).
    p : int, default=2
        Minkowski exponent, used only when `metric` is ``"minkowski"``.
    symmetrize : bool, default=False
        Make the neighbour lists symmetric: every sample also lists the samples that
        have it among their nearest neighbours. Off by default, since the one-way lists
        were the more accurate on the built-in data sets (figures in the README): a
        sample then takes its label from its own nearest neighbours only. Samples that one-way lists leave unlabelled (a group that
        lists only itself) get the reverse edges added and a second propagation.
    propagation : {"synchronous", "sequential"}, default="synchronous"
        How a sweep reads its neighbours' labels.

        - ``"synchronous"``: every sample votes from the labels of the previous sweep,
          so samples are labelled in layers of hops from the labelled ones, each by the
          same weighted vote. Equal scores go to the label of the nearest labelled
          neighbour among them, then to the smallest class. Once no sample is left to
          label, the samples that voted before all their neighbours had labels vote
          once more, from all of them. No rule depends on the order of the rows:
          permuting the rows permutes the labels and changes nothing else (up to ties
          in the neighbour search, and to the joining of groups that hold no labelled
          sample, which follows the row order).
        - ``"sequential"``: samples are visited in row order and a label counts at once
          for the later rows of the same sweep; a sample keeps the first label it
          gets, and equal scores go to the label met first in its neighbour list. Its
          labels depend on the order of the rows.

        Synchronous is the default: over seven data sets
        (``benchmarks/bench_propagation_rules.py``, figures in the README) a row
        permutation changed a large share of the sequential rule's labels and almost
        none of the synchronous rule's, and the synchronous rule was the more accurate
        on average.
    max_iter : int, default=50000
        Largest number of propagation sweeps. When it stops the labelling before every
        sample has a label, `fit` warns with a ``ConvergenceWarning``.
    tol : float, default=1e-3
        Smallest score change that keeps score refinement going. It never ends the
        labelling, which goes on while a sweep labels samples (up to
        `max_iter`); neither rule refines beyond that (the synchronous rule's
        closing re-vote is a single sweep), so it has no effect on the labels.
    algorithm : {"auto", "kd_tree", "ball_tree", "brute", "approximate"}, default="auto"
        The search of the nearest neighbours. ``"auto"`` takes the fastest exact
        search for the metric and the data, except on embeddings where exact search
        would be slow: with at least 20,000 samples in at least 16 features, a
        euclidean, cosine or inner-product metric, and an exact brute force estimated
        above a minute of one core (``n_samples**2 * n_features / 2e10`` seconds), it
        takes ``"approximate"``. The exact searches by name: a k-d tree, scikit-learn's
        ball tree, or brute force. ``"approximate"`` partitions the samples into about
        ``sqrt(n_samples)`` k-means cells and searches each sample's neighbours in the
        `n_probes` cells nearest to its own: most of the true neighbours (0.95 of
        them on clustered embeddings at the default), in a small share of the time.
        It takes the euclidean, cosine and inner-product metrics on dense samples,
        and float32 samples without a double-precision copy. The search taken is
        `algorithm_`.
    n_probes : int, default=16
        Cells searched for the samples of each cell by the approximate search: more is
        slower and nearer the exact graph.
    random_state : int, RandomState instance or None, default=None
        Seeds the k-means cells of the approximate search; the exact searches use no
        randomness. With a given seed the labels are the same whatever `n_jobs`.
    n_jobs : int, default=None
        Parallel jobs of the nearest-neighbour searches and of the synchronous
        propagation (scikit-learn's meaning: None is 1, -1 all processors; at most the
        processors there are, and within an enclosing threadpoolctl limit). Labels do
        not depend on it. As in scikit-learn, matrix products of the
        brute-force search in many features use BLAS's threads whatever `n_jobs`.
    verbose : int, default=0
        Report each stage on stderr when positive: its counts and elapsed time, and
        for the searches a rate and an estimate of the time left.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The distinct labels of the labelled samples, sorted.
    transduction_ : ndarray of shape (n_samples,)
        The label given to every training sample; -1 only for a sample the propagation
        did not reach within `max_iter` sweeps.
    label_confidence_ : ndarray of shape (n_samples,)
        How firmly the data backs each label of `transduction_`: 1 for a labelled
        sample; for the others, the share of their own label in the vote of their
        `n_neighbors` nearest training samples, each voting for its final label with
        weight ``(1 / distance)**2`` as in `predict_proba`. Low values mark labels the
        neighbourhood disputes, such as those near a class boundary; 0 where no
        neighbour voted for it (a label that came only through a join or a reverse
        edge). `predict_proba` on training samples counts the sample itself and so
        says nothing about its own label.
    n_iter_ : int
        Number of propagation sweeps run, across all propagations of the fit (at most
        `max_iter`).
    algorithm_ : str
        The neighbour search taken: ``"kd_tree"``, ``"ball_tree"``, ``"brute"``,
        ``"approximate"`` or ``"precomputed"``.
    n_features_in_ : int
        Number of features seen during `fit`.

    Notes
    -----
    Unless the approximate search is taken (see `algorithm`), the neighbours are
    those of scikit-learn's `NearestNeighbors`, found by the fastest exact search for
    the metric and dimension: SciPy's k-d tree for the
    Minkowski metrics in up to 15 features, brute force beyond (for the euclidean
    graph: single-precision products choose the candidates and the coordinates decide
    in double precision), `NearestNeighbors` for other metrics. Samples at exactly the
    same distance are taken in the order of that search (by lower index on the
    euclidean brute-force graph). The graph work after the search runs natively without holding the
    GIL.

    For the distances that scale with the data (Minkowski family, cosine and their
    kin) the data is first brought to unit size by a power of two: the neighbours are
    the same as on the data itself, and labels and probabilities stay the same at any
    scale, even where squared distances would overflow or underflow.

    With ``metric="inner_product"`` a sample x weighs its neighbour y by the
    distance ``sqrt(|x| * M - <x, y>)``, M the largest length of a training sample:
    it orders neighbours as the products do, it is never negative, and on samples of
    one length (normalised embeddings) it is the euclidean distance over the square
    root of two, so that there the labels are those of the euclidean and cosine
    metrics.

    Samples at distance 0 from each other (duplicates) are joined by the smallest
    positive float32 weight, so an identical labelled sample outvotes every other
    neighbour while scores stay finite.

    Examples
    --------
    >>> import numpy as np
    >>> from varnex import KNNLabelPropagation
    >>> X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    >>> y = np.array([0, -1, -1, -1, -1, 1])
    >>> KNNLabelPropagation(n_neighbors=2).fit(X, y).transduction_
    array([0, 0, 0, 1, 1, 1])
    """

    _parameter_constraints = {
        "n_neighbors": [positive_int()],
        "metric": [*METRIC_CONSTRAINT, StrOptions({"inner_product"})],
        "metric_params": [dict, None],
        "p": [positive_int()],
        "symmetrize": ["boolean"],
        "propagation": [StrOptions({"synchronous", "sequential"})],
        "max_iter": [positive_int(0)],
        "tol": [non_negative_real()],
        "algorithm": [StrOptions(set(ALGORITHMS))],
        "n_probes": [positive_int()],
        "random_state": ["random_state"],
        "n_jobs": [Integral, None],
        "verbose": ["verbose"],
    }

    def __init__(self, n_neighbors=7, metric="euclidean", metric_params=None, p=2, symmetrize=False,
                 propagation="synchronous", max_iter=50000, tol=1e-3, algorithm="auto", n_probes=DEFAULT_PROBES,
                 random_state=None, n_jobs=None, verbose=0):
        self.n_neighbors = n_neighbors
        self.metric = metric
        self.metric_params = metric_params
        self.p = p
        self.symmetrize = symmetrize
        self.propagation = propagation
        self.max_iter = max_iter
        self.tol = tol
        self.algorithm = algorithm
        self.n_probes = n_probes
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.verbose = verbose

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y):
        """Build the neighbour graph of `X` and propagate the known labels of `y`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The samples, at least two.
        y : array-like of shape (n_samples,)
            The known label of each sample, -1 for an unlabelled one. At least one
            sample must be labelled.

        Returns
        -------
        self : KNNLabelPropagation
            The fitted estimator.

        """
        return self._fit_with(X, y)

    _min_samples = 2

    def _check_params(self):
        super()._check_params()
        if self.algorithm == "approximate" and self.metric not in APPROXIMATE_METRICS:
            raise ValueError(f"algorithm='approximate' takes metric {', '.join(map(repr, APPROXIMATE_METRICS))}, "
                             f"not {self.metric!r}")
        if self.metric == "inner_product" and self.algorithm in EXACT_ALGORITHMS:
            raise ValueError(f"metric='inner_product' is searched by algorithm='approximate' (or 'auto'), "
                             f"not {self.algorithm!r}")

    def _training_dtypes(self):
        # The approximate search reads float32 samples in place.
        if self.algorithm in ("auto", "approximate") and self.metric in APPROXIMATE_METRICS:
            return np.float64, np.float32
        return np.float64

    def _fit_scaled(self, X, scaled, classes, known, scale):
        progress = self._progress()
        k = min(self.n_neighbors, X.shape[0] - 1)
        approximate = takes_approximate(self.algorithm, scaled, self.metric)
        if sparse.issparse(scaled) and (self.algorithm == "approximate" or self.metric == "inner_product"):
            asked = "metric='inner_product'" if self.metric == "inner_product" else "algorithm='approximate'"
            raise ValueError(f"{asked} needs dense samples; got a sparse matrix")
        if not approximate and scaled.dtype != np.float64:
            # Exact searches measure in double precision, scaled there as any other data.
            scaled = scale.samples(X.astype(np.float64))

        threads = native_threads(self.n_jobs)
        with progress.stage(f"{k}-nearest-neighbour graph of {X.shape[0]} samples"):
            index = index_samples(scaled, self.metric, self.p, self.metric_params, self.n_jobs, self.algorithm,
                                  self.n_probes, self.random_state, progress)
            distances, indices = index.graph(k, pipeline.index_dtype(X.shape[0]))
            knn = pipeline.knn_graph(indices, distances)
            graph = pipeline.symmetric_graph(indices, distances, threads) if self.symmetrize else knn
            del distances, indices
        with progress.stage("connected components"):
            components = pipeline.components(graph, known)
        with progress.stage(f"joining {np.count_nonzero(components.component_labelled == 0)} unlabelled components"):
            graph = pipeline.connect(knn, graph, components, index.nearest_among, threads)
        with progress.stage(f"label propagation ({self.propagation})"):
            propagated, n_iter = pipeline.label_graph(graph, knn, known, self.max_iter, self.tol,
                                                      synchronous=self.propagation == "synchronous",
                                                      threads=threads)
        left = np.count_nonzero(propagated == -1)
        if left:
            # Every sample is joined to a labelled one: only the sweep limit leaves -1.
            warnings.warn(f"max_iter={self.max_iter} sweeps ended the propagation with {left} of "
                          f"{propagated.shape[0]} samples unlabelled (-1); raise max_iter", ConvergenceWarning)
        return Fitted(classes, propagated, {"n_iter_": n_iter, "algorithm_": index.algorithm,
                                            "label_confidence_": pipeline.confidence(knn, known, propagated, threads),
                                            "_index": index, "_n_neighbors": k})

    def predict_proba(self, X):
        """Class shares among the nearest training samples of each sample of `X`.

        Each of the `n_neighbors` nearest training samples votes for its label in
        `transduction_` with weight ``(1 / distance)**2``; a training sample identical
        to the sample outvotes all others.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The samples to classify.

        Returns
        -------
        proba : ndarray of shape (n_samples, n_classes)
            The vote share of each class in `classes_`, rows summing to 1.
        """
        check_is_fitted(self, "transduction_")
        X = self._queries(X)
        votes = np.zeros((X.shape[0], self.classes_.shape[0]))
        np.add.at(votes, *self._neighbour_votes(X))
        return _shares(votes)

    def _neighbour_votes(self, X):
        """``((rows, classes), strengths)`` of every vote a labelled neighbour casts for
        the queries `X` (already scaled)."""
        distances, indices = self._index.kneighbors(X, self._n_neighbors)
        labels = self._codes[indices]
        rows = np.broadcast_to(np.arange(X.shape[0])[:, None], labels.shape)
        reached = labels >= 0
        # (1 / d)**2 relative to the nearest neighbour's: at most 1, so no overflow at any scale.
        distances = pipeline.edge_weights(distances).astype(np.float64)
        strength = (distances[:, :1] / distances) ** 2
        return (rows[reached], labels[reached]), strength[reached]

    def predict(self, X):
        """The class with the largest vote among the nearest training samples.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The samples to classify.

        Returns
        -------
        labels : ndarray of shape (n_samples,)
            Labels from `classes_`.
        """
        check_is_fitted(self, "transduction_")
        X = self._queries(X)
        codes = np.empty(X.shape[0], dtype=np.intp)
        # A block's table holds only the classes its rows' neighbours carry: memory stays
        # bounded however many rows and classes there are.
        k, n_classes = self._n_neighbors, self.classes_.shape[0]
        rows = max(1, int(np.sqrt(PREDICT_ENTRIES / k)), PREDICT_ENTRIES // n_classes)
        for start in range(0, X.shape[0], rows):
            (block_rows, labels), strength = self._neighbour_votes(X[start:start + rows])
            present, columns = np.unique(labels, return_inverse=True)
            votes = np.zeros((min(rows, X.shape[0] - start), present.shape[0] + 1))
            np.add.at(votes, (block_rows, columns.ravel() + 1), strength)
            # Column 0 stands for the first class, which wins a row without votes (split
            # evenly: only possible when propagation left samples unlabelled).
            codes[start:start + rows] = np.r_[0, present][np.argmax(votes, axis=1)]
        return self.classes_[codes]

    # ClassifierMixin's would count the unlabelled marker as a class of its own.
    score = NeighbourEstimator.score

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        tags.input_tags.sparse = True
        tags.input_tags.pairwise = tags.input_tags.positive_only = self._precomputed   # distances are not negative
        return tags


def _shares(votes):
    """Votes as shares of each row's total; a row without votes splits evenly (only
    possible when propagation left samples unlabelled)."""
    totals = votes.sum(axis=1, keepdims=True)
    empty = totals[:, 0] == 0
    votes[empty], totals[empty] = 1.0, votes.shape[1]
    return votes / totals

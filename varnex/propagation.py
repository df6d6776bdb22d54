"""The k-nearest-neighbour label propagator: the graph pipeline behind an estimator."""

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.neighbors import NearestNeighbors
from sklearn.utils.validation import check_is_fitted, validate_data

from varnex._common import Stages, check_number, decode_targets, encode_targets
from varnex.algorithms.src.linka.binaries.linka_bfs import find_connected_components
from varnex.algorithms.src.linka.binaries.linka_connect import connect_unlabeled
from varnex.algorithms.src.linka.binaries.linka_sweep import propagate
from varnex.graph import GraphWrapper, _AlgorithmInput

__all__ = ["KNNLabelPropagation"]

# Edge weights are distances and a neighbour scores (1 / weight)**2. Two identical
# samples are at distance 0, which would score +inf: a tie between two such labels
# would then be settled by list order alone and vote shares would turn into NaN. The
# smallest normal float32 keeps the score finite (about 7e75) yet far above any other
# neighbour's, so identical samples still decide, by their count.
_WEIGHT_FLOOR = np.finfo(np.float32).tiny

_PROPAGATION_RULES = ("synchronous", "sequential")


def _edge_weights(distances):
    return np.maximum(distances.astype(np.float32), _WEIGHT_FLOOR)


def _symmetric_lists(knn_connections, knn_weights):
    """CSR lists of the k-NN graph made undirected: ``(indptr, neighbours, weights)``.

    Node i lists its own nearest neighbours first, nearest first, then every node that
    has i among its neighbours without being among i's, nearest first; each such
    reverse edge keeps the weight it has in the other node's list.
    """
    n, k = knn_connections.shape
    source = np.repeat(np.arange(n, dtype=np.int64), k)
    target = knn_connections.ravel()
    weight = knn_weights.ravel()
    # Reverse edges (target -> source) whose pair is not already listed by target.
    reverse = ~np.isin(target * n + source, source * n + target)
    rows = np.concatenate([source, target[reverse]])
    columns = np.concatenate([target, source[reverse]])
    weights = np.concatenate([weight, weight[reverse]])
    is_reverse = np.concatenate([np.zeros(n * k, dtype=bool), np.ones(np.count_nonzero(reverse), dtype=bool)])
    # Stable sort: own neighbours keep their order; reverse edges follow, by weight.
    order = np.lexsort((np.where(is_reverse, weights, 0), is_reverse, rows))
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=indptr[1:])
    return indptr, columns[order], weights[order]


def _add_reverse_edges(nodes, knn_connections, knn_weights, connections, weights):
    """Let each of `nodes` also list the nodes that list it; return whether any edge was added.

    Propagation follows each node's own list only, so in one-way lists a group of nodes
    can list nothing but each other and never meet a label, although nodes outside list
    them. Components and the joining step treat the graph as connected through those
    edges; listing them both ways lets the labels in.
    """
    if nodes.size == 0:
        return False
    added = False
    for source, position in zip(*np.nonzero(np.isin(knn_connections, nodes))):
        target = int(knn_connections[source, position])
        if not connections.contains(target, int(source)):
            connections.append(target, int(source))
            weights.append(target, float(knn_weights[source, position]))
            added = True
    return added


class KNNLabelPropagation(ClassifierMixin, BaseEstimator):
    """Semi-supervised classification by label propagation on a k-nearest-neighbour graph.

    Every sample lists its `n_neighbors` nearest samples, each edge weighted by their
    distance. The graph is split into connected components; components without a
    labelled sample are joined to the labelled part through their nearest neighbours;
    then, sweep after sweep, each unlabelled sample takes the label with the largest sum
    of ``(1 / distance)**2`` over its already labelled neighbours, until a sweep labels
    no more samples. Which labels a sweep sees is set by `propagation`.

    Parameters
    ----------
    n_neighbors : int, default=7
        Neighbours of each sample in the graph (at most ``n_samples - 1`` are used).
    metric : str, default="euclidean"
        Distance between samples, any metric of scikit-learn's `NearestNeighbors`.
    p : int, default=2
        Minkowski exponent, used only when `metric` is ``"minkowski"``.
    symmetrize : bool, default=False
        Make the neighbour lists symmetric: every sample also lists the samples that
        have it among their nearest neighbours. Off by default, since the one-way lists
        gave the better accuracy on the built-in data sets (two moons with 2% labels:
        0.981 against 0.975; digits with 5%: 0.954 against 0.929, mean of 10 draws,
        ``n_neighbors=7``): a sample then takes its label from its own nearest
        neighbours only. Samples that one-way lists leave unlabelled (a group that
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

        Synchronous is the default: over seven data sets (``k=7``, five labelled
        draws each, ``benchmarks/bench_propagation_rules.py``) a row permutation
        changed up to 37% of the sequential rule's labels of unlabelled samples (7% on
        the digits) and at most 0.1% of the synchronous rule's, and the synchronous
        rule was the more accurate on average (0.867 against 0.860; scikit-learn's
        `LabelPropagation` 0.843, `LabelSpreading` 0.799, both with the knn kernel).
    max_iterations : int, default=50000
        Largest number of propagation sweeps.
    tolerance : float, default=1e-3
        Smallest score change that keeps score refinement going. It never ends the
        labelling, which goes on while a sweep labels samples (up to
        `max_iterations`); neither rule refines beyond that (the synchronous rule's
        closing re-vote is a single sweep), so it has no effect on the labels.
    n_jobs : int, default=None
        Parallel jobs of the nearest-neighbour search (scikit-learn's meaning).
    verbose : int, default=0
        Report each stage and its duration on stderr when positive.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The distinct labels of the labelled samples, sorted.
    transduction_ : ndarray of shape (n_samples,)
        The label given to every training sample; -1 only for a sample the propagation
        did not reach within `max_iterations` sweeps.
    n_features_in_ : int
        Number of features seen during `fit`.

    Notes
    -----
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

    def __init__(self, n_neighbors=7, metric="euclidean", p=2, symmetrize=False, propagation="synchronous",
                 max_iterations=50000, tolerance=1e-3, n_jobs=None, verbose=0):
        self.n_neighbors = n_neighbors
        self.metric = metric
        self.p = p
        self.symmetrize = symmetrize
        self.propagation = propagation
        self.max_iterations = max_iterations
        self.tolerance = tolerance
        self.n_jobs = n_jobs
        self.verbose = verbose

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

        Raises
        ------
        SystemError
            "NO PROGRESS :)" when some samples cannot be joined to a labelled one
            through the nearest-neighbour lists (a group of more than `n_neighbors`
            samples far from every labelled sample): raise `n_neighbors` or label a
            sample of that group.
        """
        self._check_params()
        X, y = validate_data(self, X, y, dtype=np.float64, ensure_min_samples=2)
        self.classes_, known = encode_targets(y)
        stage = Stages("KNNLabelPropagation", self.verbose)
        k = min(self.n_neighbors, X.shape[0] - 1)

        with stage(f"{k}-nearest-neighbour graph of {X.shape[0]} samples"):
            self._neighbours = NearestNeighbors(n_neighbors=k, metric=self.metric, p=self.p, n_jobs=self.n_jobs)
            distances, indices = self._neighbours.fit(X).kneighbors()   # without X: no sample is its own neighbour
            knn_connections = np.ascontiguousarray(indices, dtype=np.int64)
            knn_weights = _edge_weights(distances)
            if self.symmetrize:
                indptr, neighbours, weights = _symmetric_lists(knn_connections, knn_weights)
                connections = GraphWrapper.from_csr(indptr, neighbours, dtype=np.int64)
                weights = GraphWrapper.from_csr(indptr, weights, dtype=np.float32)
            else:
                connections = GraphWrapper.from_knn(knn_connections)
                weights = GraphWrapper.from_knn(knn_weights)
        with stage("connected components"):
            components, component_labelled = find_connected_components(_AlgorithmInput(known), connections)
        with stage(f"joining {sum(1 for _, labelled in components if not labelled)} unlabelled components"):
            connect_unlabeled(knn_connections, knn_weights, components, component_labelled, connections, weights)
        with stage(f"label propagation ({self.propagation})"):
            propagated = known.copy()
            self._propagate(connections, weights, propagated)
            if _add_reverse_edges(np.flatnonzero(propagated == -1), knn_connections, knn_weights, connections,
                                  weights):
                self._propagate(connections, weights, propagated)
        self._propagated = propagated
        self.transduction_ = decode_targets(self.classes_, propagated)
        return self

    def _propagate(self, connections, weights, labels):
        """Propagates `labels` in place over the graph's lists, by the chosen rule."""
        indptr, neighbours = connections.to_csr()
        _, edge_weights = weights.to_csr()
        propagate(indptr, neighbours, edge_weights, labels, int(self.max_iterations), float(self.tolerance),
                  self.propagation == "synchronous")

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
        X = validate_data(self, X, dtype=np.float64, reset=False)
        distances, indices = self._neighbours.kneighbors(X)
        votes = np.zeros((X.shape[0], self.classes_.shape[0]))
        labels = self._propagated[indices]
        rows = np.broadcast_to(np.arange(X.shape[0])[:, None], labels.shape)
        reached = labels >= 0
        strength = _edge_weights(distances).astype(np.float64) ** -2
        np.add.at(votes, (rows[reached], labels[reached]), strength[reached])
        totals = votes.sum(axis=1, keepdims=True)
        empty = totals[:, 0] == 0   # only possible when propagation left samples unlabelled
        votes[empty], totals[empty] = 1.0, self.classes_.shape[0]
        return votes / totals

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
        return self.classes_[np.argmax(self.predict_proba(X), axis=1)]

    def _check_params(self):
        check_number("n_neighbors", self.n_neighbors, integral=True, minimum=1)
        if not isinstance(self.metric, str):
            raise ValueError(f"metric must be a metric name, got {self.metric!r}")
        check_number("p", self.p, integral=True, minimum=1)
        if not isinstance(self.symmetrize, (bool, np.bool_)):
            raise ValueError(f"symmetrize must be True or False, got {self.symmetrize!r}")
        if not (isinstance(self.propagation, str) and self.propagation in _PROPAGATION_RULES):
            raise ValueError(f"propagation must be one of {_PROPAGATION_RULES}, got {self.propagation!r}")
        check_number("max_iterations", self.max_iterations, integral=True, minimum=0)
        check_number("tolerance", self.tolerance)

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        return tags

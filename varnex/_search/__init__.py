"""The search layer: the training samples, indexed once per fit, answer every neighbour
question both estimators ask.

`index_samples` builds the index from the metric, its parameters and `n_jobs`, over
samples already brought to unit scale (`Scale`). It answers:

- ``neighbourhoods(eps)``: every sample's others within a radius, as CSR rows
  (the density clustering);
- ``graph(k)``: every sample's k nearest others (the label propagation);
- ``count_neighbourhoods(eps, points)`` and ``neighbourhood_rows(eps, points)``: the
  same rows a set of samples at a time, for a clustering that cannot hold them all
  (`memory` chooses between the two ways);
- ``kneighbors(queries, k)`` and ``nearest(queries, within)``: the nearest training
  samples of new samples (both estimators' `predict`), and ``nearest_among``: of
  training samples among others (the joining of graph components);
- ``pair_distances(first, second)``: the distances of pairs already found, where the
  route measures them itself (the smaller radii that ``eps="auto"`` tries).

Routes, chosen once in `routes.choose_route` from the metric and the data:

- the Minkowski family in at most 15 features: SciPy's k-d tree (`kdtree`), whose
  radius self-joins run over slabs of the points on `n_jobs` threads;
- euclidean distance in more features, where trees lose to brute force: single-
  precision products of centred samples over tiles (`tiles`), the coordinates
  deciding every pair close to the boundary, exact;
- every other metric: scikit-learn (`library`) by its ball tree where it computes the
  metric, by brute force otherwise, and for sparse samples;
- ``metric="precomputed"``: the distances themselves (`precomputed`), a dense square
  matrix or a sparse graph whose missing entries are not neighbours;
- ``algorithm="approximate"``, or "auto" where `approximate.prefer_approximate` finds
  exact search slow (embeddings: many samples in many features): k-means cells
  searched by single-precision products over the nearest cells (`approximate`), for
  the k-nearest questions only (`approximate_samples`).

An exact route can also be named (``"kd_tree"``, ``"ball_tree"``, ``"brute"``, as
scikit-learn names its searches): `routes.choose_route` takes it.

A new route is a module of searches here (whole, and a set of samples at a time) and a
branch of `SampleIndex._radius_route` or of the question that takes it; the thread
count of every route comes from `threads`.
"""

from varnex._progress import silent
from varnex._search.approximate import DEFAULT_PROBES
from varnex._search.approximate_samples import ApproximateSampleIndex
from varnex._search.precomputed import PrecomputedIndex, check_distances
from varnex._search.results import Neighbourhoods
from varnex._search.routes import takes_approximate
from varnex._search.samples import SampleIndex
from varnex._search.scale import Scale

__all__ = ["ApproximateSampleIndex", "Neighbourhoods", "PrecomputedIndex", "SampleIndex", "Scale", "check_distances", "index_samples",
           "is_precomputed"]


def is_precomputed(metric):
    return isinstance(metric, str) and metric == "precomputed"


def index_samples(X, metric="euclidean", p=2, metric_params=None, n_jobs=None, algorithm="auto",
                  n_probes=DEFAULT_PROBES, random_state=None, progress=silent):
    """The index of the training samples `X` under `metric`: their distances when the
    metric is "precomputed" (checked by `check_distances` beforehand), their
    coordinates otherwise, searched by `algorithm` (see `routes.ALGORITHMS`); the
    route taken is the index's `algorithm`. `n_probes` and `random_state` tune and
    seed the approximate route."""
    if is_precomputed(metric):
        return PrecomputedIndex(X)
    if takes_approximate(algorithm, X, metric):
        return ApproximateSampleIndex(X, metric, n_jobs, n_probes, random_state, progress)
    return SampleIndex(X, metric, p, metric_params, n_jobs, algorithm, progress)

"""Where post-processing places the centre of a cluster: where its metric lives.

- Coordinates that a mean summarises (the Minkowski family, cosine and their kin): the
  weighted mean of the members' rows.
- ``"haversine"`` (latitude, longitude in radians): the weighted mean direction on the
  sphere. A plain mean of the angles would put a cluster that straddles longitude ±180°
  on the far side of the earth.
- Metrics where a mean has no meaning (boolean metrics such as ``"hamming"`` and
  ``"jaccard"``, and callables): the weighted medoid, the member whose weighted
  distances to the others sum least, taken among at most `MEDOID_MEMBERS` evenly spaced
  members of a cluster so that its cost stays bounded.
"""

import numpy as np
import scipy.sparse as sp

from varnex.algorithms.src.densa.binaries.densa_arrays import cluster_means, label_groups

__all__ = ["MEDOID_MEMBERS", "centre_kind", "cluster_centres"]

MEDOID_MEMBERS = 512

_MEDOID_METRICS = frozenset(["hamming", "jaccard", "dice", "kulsinski", "matching", "rogerstanimoto",
                             "russellrao", "sokalmichener", "sokalsneath", "yule"])


def centre_kind(metric):
    """"mean", "sphere" or "medoid": how clusters under `metric` are summarised."""
    if callable(metric) or metric in _MEDOID_METRICS:
        return "medoid"
    return "sphere" if metric == "haversine" else "mean"


def cluster_centres(X, codes, weights, metric, pairwise, threads=1):
    """The clusters of `codes` other than -1 in ascending order, and the centre of each
    one's rows (see the module), weighted by the sample weights (a sample of weight 2
    counts as two) where they sum to more than 0. `pairwise(a, b)` gives the distances
    between the rows of two dense arrays under `metric`. Grouping and means run
    natively on `threads` threads, with the same result for any number."""
    kind = centre_kind(metric)
    codes = np.asarray(codes, dtype=np.int32)
    weights = None if weights is None else np.asarray(weights, dtype=np.float64)
    if kind == "mean" and isinstance(X, np.ndarray) and X.dtype == np.float64 and X.flags.c_contiguous:
        return cluster_means(codes, X, weights, threads)
    groups, starts, order = label_groups(codes, threads)
    clusters = np.flatnonzero(groups != -1)
    centres = np.empty((clusters.size, X.shape[1]))
    for g, cluster in enumerate(clusters):
        members = order[starts[cluster]:starts[cluster + 1]]
        rows = X[members]
        share = _shares(None if weights is None else weights[members])
        if kind == "medoid":
            centres[g] = _medoid(rows, share, pairwise)
        elif kind == "sphere":
            centres[g] = _mean_direction(rows, share, pairwise)
        else:
            centres[g] = _mean(rows, share)
    return groups[clusters], centres


def _shares(weights):
    """The weights over their largest magnitude, so that no sum overflows, or None
    where they sum to nothing positive (the members then count alike)."""
    if weights is None:
        return None
    largest = np.max(np.abs(weights))
    if not largest > 0:
        return None
    share = weights / largest
    return share if share.sum() > 0 else None


def _mean(rows, share):
    if share is None:
        return np.asarray(rows.mean(axis=0)).ravel()
    return np.asarray(share @ rows).ravel() / share.sum()


def _mean_direction(rows, share, pairwise):
    """(latitude, longitude) of the mean of the members' unit vectors; the medoid where
    they cancel out and no direction stands for them."""
    latitude, longitude = rows[:, 0], rows[:, 1]
    vectors = np.column_stack([np.cos(latitude) * np.cos(longitude), np.cos(latitude) * np.sin(longitude),
                               np.sin(latitude)])
    mean = _mean(vectors, share)
    length = np.linalg.norm(mean)
    if not length > 1e-9:
        return _medoid(rows, share, pairwise)
    return np.array([np.arctan2(mean[2], np.hypot(mean[0], mean[1])), np.arctan2(mean[1], mean[0])])


def _medoid(rows, share, pairwise):
    """The member whose weighted distances to the members sum least (the first among
    equals), among evenly spaced members of a large cluster."""
    if rows.shape[0] > MEDOID_MEMBERS:
        chosen = np.linspace(0, rows.shape[0] - 1, MEDOID_MEMBERS).astype(np.int64)
        rows, share = rows[chosen], None if share is None else share[chosen]
    rows = rows.toarray() if sp.issparse(rows) else np.asarray(rows)
    distances = pairwise(rows, rows)
    totals = distances.sum(axis=1) if share is None else distances @ np.maximum(share, 0.0)
    return rows[int(np.argmin(totals))]

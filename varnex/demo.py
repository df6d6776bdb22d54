"""The demo job: the density pipeline on generated blobs with a few known labels.

densa_main clusters the points, keeping the known labels and numbering clusters found
among unlabelled points -2, -3, ...; densa_postprocess then dissolves those new
clusters and gives every remaining point the class of the nearest known centroid.
"""

import numpy as np
from sklearn.datasets import make_blobs

from varnex.algorithms.src.densa.binaries.densa_core import densa_main
from varnex.algorithms.src.densa.binaries.densa_postprocess import densa_postprocess


def describe(result):
    """Counts of points in known classes, new clusters and noise."""
    known = np.count_nonzero(result >= 0)
    noise = np.count_nonzero(result == -1)
    new = np.unique(result[result <= -2]).size
    in_new = np.count_nonzero(result <= -2)
    return f"{known} in known classes, {new} new cluster{'' if new == 1 else 's'} ({in_new} points), {noise} noise"


def run_demo(n_samples=2000, seed=1, out=print):
    n_classes = 4
    points, truth = make_blobs(n_samples=n_samples, centers=n_classes, cluster_std=0.8, center_box=(-20, 20),
                               random_state=seed)
    points = np.ascontiguousarray(points, dtype=np.float64)

    # Reveal the class of three points per blob.
    rng = np.random.default_rng(seed)
    labels = np.full(n_samples, -1, dtype=np.int32)
    for cls in range(n_classes):
        labels[rng.choice(np.flatnonzero(truth == cls), size=3, replace=False)] = cls

    clusters = densa_main(points, 0.35, 8, labels, "minkowski", 2)
    final = densa_postprocess(points, clusters)

    out(f"varnex demo: {n_samples} points in {n_classes} blobs, {np.count_nonzero(labels >= 0)} of them labelled")
    out(f"  densa_main        {describe(clusters)}")
    out(f"  densa_postprocess {describe(final)}")
    out("  class   points   agreement with the generating blob")
    for cls in range(n_classes):
        members = final == cls
        agreement = np.mean(truth[members] == cls) if members.any() else float("nan")
        out(f"  {cls:5d}   {np.count_nonzero(members):6d}   {agreement:6.1%}")
    out(f"  overall accuracy {np.mean(final == truth):.1%}")
    return final

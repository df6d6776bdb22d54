"""The demo job: semi-supervised density clustering of generated blobs."""

import numpy as np
from sklearn.datasets import make_blobs

from varnex.algorithms.src.densa.binaries.densa_core import densa_main


def run_demo(n_samples=2000, seed=0, out=print):
    points, truth = make_blobs(n_samples=n_samples, centers=4, cluster_std=0.6, random_state=seed)
    points = np.ascontiguousarray(points, dtype=np.float64)

    # Reveal the class of a few points per blob; leave blob 3 entirely unlabelled.
    rng = np.random.default_rng(seed)
    labels = np.full(n_samples, -1, dtype=np.int32)
    for cls in range(3):
        members = np.flatnonzero(truth == cls)
        labels[rng.choice(members, size=5, replace=False)] = cls

    result = densa_main(points, 0.5, 5, labels, "minkowski", 2)

    out(f"varnex demo: {n_samples} points in 4 blobs, {np.count_nonzero(labels >= 0)} labelled (classes 0-2)")
    for value in np.unique(result):
        members = result == value
        if value >= 0:
            kind = f"known class {value}"
        elif value == -1:
            kind = "noise"
        else:
            kind = f"new cluster {value}"
        agreement = np.mean(truth[members] == np.bincount(truth[members]).argmax())
        out(f"  {kind:<16} {np.count_nonzero(members):6d} points, {agreement:6.1%} from one blob")
    return result

"""DensityClustering's two names for the Euclidean distance: metric="minkowski", p=2
against metric="euclidean", on the densa_core benchmark data with a few labels per blob.
Both now take the same neighbour search (k-d tree pairs in few dimensions, brute force
in many); they must give the same clusters at the same speed.
"""

import numpy as np
from sklearn.datasets import load_digits, make_blobs

from bench_densa_core import MIN_SAMPLES, N_POINTS, eps_for, make_points
from common import side_by_side
from varnex import DensityClustering


def known_labels(n_points, fraction=0.005, seed=0):
    """Blob membership of about `fraction` of the points, -1 elsewhere."""
    _, truth = make_blobs(n_samples=n_points, centers=25, cluster_std=2.0, center_box=(-60, 60), random_state=0)
    labels = np.full(n_points, -1)
    chosen = np.random.default_rng(seed).random(n_points) < fraction
    labels[chosen] = truth[chosen]
    return labels


def run():
    points = make_points()
    y = known_labels(len(points))
    print(f"{N_POINTS} points in 2-D blobs, {np.count_nonzero(y >= 0)} labelled, min_samples={MIN_SAMPLES}, "
          "fit without post-processing (best of 3, taking turns)")
    for target in (5, 10, 20, 35):
        eps = eps_for(points, target)
        kd = DensityClustering(eps=eps, min_samples=MIN_SAMPLES, metric="minkowski", p=2, postprocess=False)
        ball = DensityClustering(eps=eps, min_samples=MIN_SAMPLES, metric="euclidean", postprocess=False)
        t_kd, t_ball = side_by_side([lambda: kd.fit(points, y), lambda: ball.fit(points, y)])
        same = np.array_equal(kd.labels_, ball.labels_)
        print(f"  ~{target:2d} neighbours (eps={eps:.4f}): minkowski/k-d {t_kd:6.3f} s, euclidean/ball {t_ball:6.3f} s"
              f"  -> k-d / ball {t_kd / t_ball:5.2f}; same clusters: {same}")

    digits = load_digits()
    y_digits = np.where(np.random.default_rng(0).random(len(digits.target)) < 0.05, digits.target, -1)
    kd = DensityClustering(eps=20.0, min_samples=MIN_SAMPLES, metric="minkowski", p=2, postprocess=False)
    ball = DensityClustering(eps=20.0, min_samples=MIN_SAMPLES, metric="euclidean", postprocess=False)
    t_kd, t_ball = side_by_side([lambda: kd.fit(digits.data, y_digits), lambda: ball.fit(digits.data, y_digits)],
                                repeat=5)
    print(f"  digits (1797 x 64, eps=20): minkowski/k-d {t_kd:6.3f} s, euclidean/ball {t_ball:6.3f} s"
          f"  -> k-d / ball {t_kd / t_ball:5.2f}; same clusters: {np.array_equal(kd.labels_, ball.labels_)}")

    eps = eps_for(points, 35)
    finals = [DensityClustering(eps=eps, min_samples=MIN_SAMPLES, metric=metric).fit(points, y).transduction_
              for metric in ("minkowski", "euclidean")]
    print(f"  with post-processing at ~35 neighbours, same final labels: {np.array_equal(*finals)}")

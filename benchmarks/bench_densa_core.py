"""densa_main against its own neighbour query, and against sklearn's DBSCAN.

After the radius query the clustering is linear in points plus neighbour pairs, so
densa_main should cost barely more than the query it makes.
"""

import numpy as np
from scipy.spatial import KDTree
from sklearn.cluster import DBSCAN
from sklearn.datasets import make_blobs
from sklearn.neighbors import BallTree

from common import peak_memory_mib, side_by_side
from varnex.algorithms.src.densa.binaries.densa_core import densa_main

N_POINTS = 200_000
MIN_SAMPLES = 5

SETUP = f"""
import sys; sys.path.insert(0, {str(__file__.rsplit('/', 1)[0])!r})
from bench_densa_core import make_points
import numpy as np
from scipy.spatial import KDTree
from sklearn.neighbors import BallTree
from varnex.algorithms.src.densa.binaries.densa_core import densa_main
points = make_points()
labels = np.full(len(points), -1, dtype=np.int32)
"""


def make_points():
    points, _ = make_blobs(n_samples=N_POINTS, centers=25, cluster_std=2.0, center_box=(-60, 60), random_state=0)
    return np.ascontiguousarray(points)


def eps_for(points, mean_neighbours):
    """Radius giving about `mean_neighbours` points per neighbourhood (itself included)."""
    tree = KDTree(points)
    sample = points[np.random.default_rng(1).choice(len(points), 3000, replace=False)]
    lo, hi = 0.0, 5.0
    for _ in range(30):
        mid = (lo + hi) / 2
        count = np.mean([len(x) for x in tree.query_ball_point(sample, mid)])
        lo, hi = (mid, hi) if count < mean_neighbours else (lo, mid)
    return (lo + hi) / 2


def kd_query(points, eps):
    tree = KDTree(points)
    result = tree.query_ball_tree(tree, r=eps)
    del result


def ball_query(points, eps):
    tree = BallTree(points, metric="euclidean")
    result = tree.query_radius(points, r=eps)
    del result


def run():
    points = make_points()
    labels = np.full(len(points), -1, dtype=np.int32)
    print(f"{N_POINTS} points in 2-D blobs, min_samples={MIN_SAMPLES}, every label -1 (best of 5, taking turns)")
    for target in (10, 35):
        eps = eps_for(points, target)
        t_kd, t_main_kd, t_ball, t_main_ball, t_dbscan = side_by_side([
            lambda: kd_query(points, eps),
            lambda: densa_main(points, eps, MIN_SAMPLES, labels, "minkowski", 2),
            lambda: ball_query(points, eps),
            lambda: densa_main(points, eps, MIN_SAMPLES, labels, "euclidean", 2),
            lambda: DBSCAN(eps=eps, min_samples=MIN_SAMPLES).fit(points),
        ], repeat=5)
        m_kd = peak_memory_mib(SETUP, f"tree = KDTree(points); r = tree.query_ball_tree(tree, r={eps!r}); del r")
        m_main_kd = peak_memory_mib(SETUP, f"densa_main(points, {eps!r}, {MIN_SAMPLES}, labels, 'minkowski', 2)")
        m_ball = peak_memory_mib(SETUP, f"r = BallTree(points, metric='euclidean').query_radius(points, r={eps!r})")
        m_main_ball = peak_memory_mib(SETUP, f"densa_main(points, {eps!r}, {MIN_SAMPLES}, labels, 'euclidean', 2)")

        print(f"\n~{target} neighbours per point (eps={eps:.4f})")
        print(f"  k-d tree path : densa_main {t_main_kd:7.3f} s, KDTree + query_ball_tree {t_kd:7.3f} s"
              f"  -> ratio {t_main_kd / t_kd:5.3f} (target <= 1.05)")
        print(f"  ball tree path: densa_main {t_main_ball:7.3f} s, BallTree + query_radius  {t_ball:7.3f} s"
              f"  -> ratio {t_main_ball / t_ball:5.3f} (target <= 1.05)")
        print(f"  sklearn DBSCAN {t_dbscan:7.3f} s -> densa_main/DBSCAN: k-d {t_main_kd / t_dbscan:5.3f},"
              f" ball {t_main_ball / t_dbscan:5.3f} (ball path should be < 1)")
        print(f"  peak memory growth: k-d densa_main {m_main_kd:7.1f} MiB / query {m_kd:7.1f} MiB"
              f" -> {m_main_kd / m_kd:5.3f}; ball densa_main {m_main_ball:7.1f} MiB / query {m_ball:7.1f} MiB"
              f" -> {m_main_ball / m_ball:5.3f} (target <= 1.2)")

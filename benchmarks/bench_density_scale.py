"""DensityClustering against scikit-learn's DBSCAN at scale and in many dimensions.

Cases: 200,000 two-dimensional blob points at about 35 neighbours and 20,000 blob
points in 64 dimensions (eps=19); with --million also 1,000,000 two-dimensional points
at about 10 neighbours, and densa_main against its own k-d tree query there. Every
contender runs in a fresh process, timed and measured for peak memory there, with the
same eps, min_samples and n_jobs. Post-processing is timed against the clustering in
DensityClustering's own process.
"""

import sys

from common import time_and_peak

MIN_SAMPLES = 5
N_JOBS = None

SETUP = """
import sys; sys.path.insert(0, {here!r})
import numpy as np
from sklearn.datasets import make_blobs
X, truth = make_blobs(n_samples={n}, n_features={d}, centers=25, cluster_std={std}, center_box=(-60, 60),
                      random_state=0)
X = np.ascontiguousarray(X)
y = np.where(np.random.default_rng(0).random(len(X)) < 0.01, truth, -1)
eps = {eps!r}
"""

FIT = {
    "DensityClustering": ("from varnex import DensityClustering",
                          f"DensityClustering(eps=eps, min_samples={MIN_SAMPLES}, n_jobs={N_JOBS}).fit(X, y)"),
    "DBSCAN": ("from sklearn.cluster import DBSCAN",
               f"DBSCAN(eps=eps, min_samples={MIN_SAMPLES}, n_jobs={N_JOBS}).fit(X)"),
}

# In DensityClustering's process: the clustering (neighbourhoods + passes), then the
# post-processing of its labels, each timed on its own.
STAGES = """
from varnex import DensityClustering
from varnex.algorithms.src.densa.binaries.densa_postprocess import densa_postprocess
model = DensityClustering(eps=eps, min_samples={min_samples}, postprocess=False)
start = time.perf_counter(); labels = model.fit(X, y).clusters_; cluster = time.perf_counter() - start
start = time.perf_counter(); densa_postprocess(X, labels); post = time.perf_counter() - start
print(json.dumps([cluster, post, int(np.sum(labels <= -2) and -labels.min() - 1)]))
"""

DENSA_MAIN = {
    "densa_main": ("from varnex.algorithms.src.densa.binaries.densa_core import densa_main\n"
                   "labels = np.full(len(X), -1, dtype=np.int32)",
                   f"densa_main(X, eps, {MIN_SAMPLES}, labels, 'minkowski', 2)"),
    "KDTree + query_ball_tree": ("from scipy.spatial import KDTree",
                                 "tree = KDTree(X); result = tree.query_ball_tree(tree, r=eps); del result, tree"),
}


def here():
    return __file__.rsplit("/", 1)[0]


def eps_for(n, d, std, mean_neighbours):
    """Radius giving about `mean_neighbours` points per neighbourhood (itself included)."""
    import numpy as np
    from scipy.spatial import cKDTree
    from sklearn.datasets import make_blobs
    X, _ = make_blobs(n_samples=n, n_features=d, centers=25, cluster_std=std, center_box=(-60, 60), random_state=0)
    tree = cKDTree(X)
    sample = X[np.random.default_rng(1).choice(n, 3000, replace=False)]
    lo, hi = 0.0, 5.0
    for _ in range(30):
        mid = (lo + hi) / 2
        count = np.mean(tree.query_ball_point(sample, mid, return_length=True))
        lo, hi = (mid, hi) if count < mean_neighbours else (lo, mid)
    return (lo + hi) / 2


def stages(setup):
    import json
    import subprocess
    code = "import json, time\n" + setup + STAGES.format(min_samples=MIN_SAMPLES)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def case(title, n, d, std, eps, target, repeat):
    setup = SETUP.format(here=here(), n=n, d=d, std=std, eps=eps)
    results = {name: time_and_peak(setup + "\n" + imports, statement, repeat)
               for name, (imports, statement) in FIT.items()}
    (t_ours, m_ours), (t_theirs, m_theirs) = results["DensityClustering"], results["DBSCAN"]
    cluster, post, new_clusters = stages(setup)
    print(f"\n{title} (eps={eps:.4f}, min_samples={MIN_SAMPLES}, n_jobs={N_JOBS}, best of {repeat})")
    print(f"  fit time   : DensityClustering {t_ours:7.3f} s, DBSCAN {t_theirs:7.3f} s"
          f"  -> {t_ours / t_theirs:5.3f} (target <= {target})")
    print(f"  peak memory: DensityClustering {m_ours:7.1f} MiB, DBSCAN {m_theirs:7.1f} MiB"
          f"  -> {m_ours / m_theirs:5.3f} (target <= 0.6)")
    print(f"  clustering {cluster:7.3f} s, post-processing {post:7.3f} s ({new_clusters} new clusters)"
          f"  -> {post / cluster:5.3f} (target <= 0.1)")
    return setup


def million():
    eps = eps_for(1_000_000, 2, 2.0, 10)
    setup = case("1,000,000 points in 2-D blobs, ~10 neighbours", 1_000_000, 2, 2.0, eps, 0.3, 1)
    results = {name: time_and_peak(setup + "\n" + imports, statement, 1)
               for name, (imports, statement) in DENSA_MAIN.items()}
    (t_main, _), (t_query, _) = results["densa_main"], results["KDTree + query_ball_tree"]
    print(f"  densa_main {t_main:7.3f} s, its KDTree + query_ball_tree {t_query:7.3f} s"
          f"  -> {t_main / t_query:5.3f} (target <= 1.05)")


def run():
    print("DensityClustering.fit against DBSCAN.fit, each in a fresh process, 1% of points labelled")
    case("200,000 points in 2-D blobs, ~35 neighbours", 200_000, 2, 2.0, eps_for(200_000, 2, 2.0, 35), 0.5, 3)
    case("20,000 points in 64-D blobs", 20_000, 64, 2.0, 19.0, 1.0, 3)
    if "--million" in sys.argv:
        million()
    else:
        print("\n(1,000,000-point case: python benchmarks/bench_density_scale.py --million)")


if __name__ == "__main__":
    run()

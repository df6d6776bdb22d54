"""Time and peak memory against the peers as curves: the figures the documentation plots.

Two moons with 1% labelled, at four sizes, with eps shrinking as the samples grow so
that a neighbourhood holds about the same number of samples at every size:
DensityClustering against DBSCAN, and KNNLabelPropagation against
LabelSpreading(kernel="knn"), both with k=10. Then DensityClustering's and DBSCAN's
peak memory as eps grows on one size, against the pairs within eps. Every contender
fits in a fresh process (best of two fits there; peak memory of the first).

    python benchmarks/bench_curves.py                          # print the ratios
    python benchmarks/bench_curves.py --json docs/_data/curves.json   # and keep the figures

Small on purpose (a couple of minutes on two shared cores); the README's tables hold
the figures at scale.
"""

import json
import os
import platform
import sys
import time

from common import time_and_peak

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = [10_000, 20_000, 40_000, 80_000]
EPS_AT_10K = 0.1           # about 130 samples per neighbourhood on these moons
EPS_SIZE = 20_000
EPS_FACTORS = [0.5, 1, 2, 3, 4]
K = 10

SETUP = """
import sys; sys.path.insert(0, {here!r})
import numpy as np
from sklearn.datasets import make_moons
X, truth = make_moons(n_samples={n}, noise=0.1, random_state=0)
y = np.where(np.random.default_rng(0).random(len(X)) < 0.01, truth, -1)
eps = {eps!r}
{imports}
"""

FITS = {
    "DensityClustering": ("from varnex import DensityClustering",
                          "DensityClustering(eps=eps, min_samples=5).fit(X, y)"),
    "DBSCAN": ("from sklearn.cluster import DBSCAN", "DBSCAN(eps=eps, min_samples=5).fit(X)"),
    "KNNLabelPropagation": ("from varnex import KNNLabelPropagation",
                            f"KNNLabelPropagation(n_neighbors={K}).fit(X, y)"),
    "LabelSpreading": ("from sklearn.semi_supervised import LabelSpreading",
                       f"LabelSpreading(kernel='knn', n_neighbors={K}).fit(X, y)"),
}
PAIRS = [("DensityClustering", "DBSCAN"), ("KNNLabelPropagation", "LabelSpreading")]


def eps_for(n):
    # Same expected neighbourhood size at every n: the area per sample shrinks as 1/n.
    return EPS_AT_10K * (10_000 / n) ** 0.5


def measure(name, n, eps):
    imports, statement = FITS[name]
    setup = SETUP.format(here=HERE, n=n, eps=eps, imports=imports)
    seconds, peak = time_and_peak(setup, statement, repeat=2)
    return {"seconds": seconds, "peak_mib": peak}


def mean_neighbours(n, eps):
    import numpy as np
    from scipy.spatial import cKDTree
    from sklearn.datasets import make_moons

    X, _ = make_moons(n_samples=n, noise=0.1, random_state=0)
    return float(np.mean(cKDTree(X).query_ball_point(X, eps, return_length=True)))


def collect():
    scale = []
    for n in SIZES:
        eps = eps_for(n)
        row = {"n": n, "eps": eps, "mean_neighbours": mean_neighbours(n, eps)}
        for name in FITS:
            row[name] = measure(name, n, eps)
        scale.append(row)
        print(f"  n={n:>6}: " + ", ".join(f"{a}/{b} time {row[a]['seconds'] / row[b]['seconds']:.2f}, "
                                          f"memory {row[a]['peak_mib'] / max(row[b]['peak_mib'], 0.1):.2f}"
                                          for a, b in PAIRS), flush=True)
    by_eps = []
    for factor in EPS_FACTORS:
        eps = eps_for(EPS_SIZE) * factor
        row = {"n": EPS_SIZE, "eps": eps, "mean_neighbours": mean_neighbours(EPS_SIZE, eps)}
        for name in ("DensityClustering", "DBSCAN"):
            row[name] = measure(name, EPS_SIZE, eps)
        by_eps.append(row)
        print(f"  eps={eps:.3f} ({row['mean_neighbours']:.0f} neighbours): DensityClustering "
              f"{row['DensityClustering']['peak_mib']:.1f} MiB, DBSCAN {row['DBSCAN']['peak_mib']:.1f} MiB",
              flush=True)
    return {"scale": scale, "eps": by_eps}


def run():
    collect()


def main(argv):
    path = argv[argv.index("--json") + 1] if "--json" in argv else None
    figures = collect()
    if path:
        import numpy
        import scipy
        import sklearn

        figures["about"] = {
            "command": "python benchmarks/bench_curves.py --json " + path,
            "date": time.strftime("%Y-%m-%d"),
            "machine": f"{platform.machine()}, {os.cpu_count()} cores (shared)",
            "python": platform.python_version(),
            "versions": {"numpy": numpy.__version__, "scipy": scipy.__version__,
                         "scikit-learn": sklearn.__version__},
            "k": K, "min_samples": 5, "labelled": 0.01, "fits_per_process": 2,
        }
        with open(path, "w") as out:
            json.dump(figures, out, indent=1)
            out.write("\n")


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    main(sys.argv[1:])

"""Both estimators at 1,000,000 2-D samples on 1 and on 2 threads (n_jobs), stage by stage.

KNNLabelPropagation on two moons (1% labelled, k=10, synchronous rule) and
DensityClustering on blobs (eps giving about ten neighbours, 1% labelled). Each fit
runs in a fresh process, which reports its fit time, the growth of its peak resident
set over the data already made, and the time of each stage (the search and the native
and NumPy stages after it, timed by wrapping the functions the fit calls). The runs of
the two thread counts take turns; each figure is the best of `--repeat` runs.

    python benchmarks/bench_threads.py [--samples N] [--repeat R] [--jobs 1 2]
"""

import argparse
import json
import subprocess
import sys

CHILD = r"""
import functools, gc, json, sys, time
from collections import defaultdict
import numpy as np
from sklearn.datasets import make_blobs, make_moons

estimator, n, n_jobs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
stages = defaultdict(float)

def timed(owner, name, stage):
    function = getattr(owner, name)
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        start = time.perf_counter()
        try:
            return function(*args, **kwargs)
        finally:
            stages[stage] += time.perf_counter() - start
    setattr(owner, name, wrapper)

def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key + ':'):
            return int(line.split()[1])

import varnex._graph_pipeline as pipeline
import varnex.density as density
import varnex.propagation as propagation
from varnex import DensityClustering, KNNLabelPropagation
from varnex._search.samples import SampleIndex

rng = np.random.default_rng(0)
if estimator == "KNNLabelPropagation":
    X, y = make_moons(n, noise=0.05, random_state=0)
    model = KNNLabelPropagation(n_neighbors=10, n_jobs=n_jobs)
    timed(SampleIndex, "graph", "search (k nearest)")
    timed(pipeline, "knn_graph", "k-NN lists as CSR")
    timed(pipeline, "symmetric_graph", "graph assembly (symmetric)")
    timed(pipeline, "components", "components")
    timed(pipeline, "connect", "joining")
    timed(pipeline, "propagate", "propagation")
    timed(pipeline, "reverse_subgraph", "reverse edges")
    timed(pipeline, "confidence", "label confidence")
else:
    X, y = make_blobs(n, centers=20, center_box=(-60, 60), random_state=0)
    # About ten neighbours within eps at any n: blobs of unit spread, n / 20 samples each.
    model = DensityClustering(eps=0.02 * (1e6 / n) ** 0.5, min_samples=5, n_jobs=n_jobs)
    timed(SampleIndex, "neighbourhoods", "search (radius)")
    timed(density, "cluster_synchronously", "cluster growth")
    timed(density, "cluster_neighbourhoods", "cluster growth")
    timed(density, "cluster_centres", "grouping and centroids")
    timed(DensityClustering, "_nearest_centroids", "nearest centroids")
y = np.where(rng.random(n) < 0.01, y, -1)
gc.collect()
open('/proc/self/clear_refs', 'w').write('5')
base = status('VmRSS')
start = time.perf_counter()
model.fit(X, y)
seconds = time.perf_counter() - start
stages["other (checks, scaling, NumPy glue)"] = seconds - sum(stages.values())
print(json.dumps({"seconds": seconds, "peak_mib": (status('VmHWM') - base) / 1024, "stages": stages}))
"""


def fit_in_fresh_process(estimator, n, n_jobs):
    out = subprocess.run([sys.executable, "-c", CHILD, estimator, str(n), str(n_jobs)], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def best(runs):
    merged = {"seconds": min(r["seconds"] for r in runs), "peak_mib": min(r["peak_mib"] for r in runs)}
    merged["stages"] = {stage: min(r["stages"][stage] for r in runs) for stage in runs[0]["stages"]}
    return merged


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--jobs", type=int, nargs=2, default=[1, 2])
    parser.add_argument("--estimators", nargs="+", default=["KNNLabelPropagation", "DensityClustering"])
    options = parser.parse_args(argv)
    one, many = options.jobs
    for estimator in options.estimators:
        runs = {jobs: [] for jobs in (one, many)}
        for _ in range(options.repeat):
            for jobs in (one, many):
                runs[jobs].append(fit_in_fresh_process(estimator, options.samples, jobs))
        a, b = best(runs[one]), best(runs[many])
        print(f"\n{estimator}, {options.samples:,} samples, best of {options.repeat}")
        print(f"{'stage':40s} {'n_jobs=' + str(one):>10s} {'n_jobs=' + str(many):>10s} {'speed-up':>9s} "
              f"{'share':>6s}")
        for stage in a["stages"]:
            ta, tb = a["stages"][stage], b["stages"][stage]
            ratio = f"{ta / tb:8.2f}x" if tb > 0 else "        -"
            print(f"{stage:40s} {ta:9.3f}s {tb:9.3f}s {ratio} {tb / b['seconds']:6.1%}")
        print(f"{'fit':40s} {a['seconds']:9.3f}s {b['seconds']:9.3f}s {a['seconds'] / b['seconds']:8.2f}x")
        print(f"{'peak memory growth (MiB)':40s} {a['peak_mib']:10.0f} {b['peak_mib']:10.0f} "
              f"{b['peak_mib'] / a['peak_mib']:8.2f}x")


def run():
    main([])


if __name__ == "__main__":
    main()

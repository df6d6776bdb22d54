"""k-NN graphs of embeddings: the approximate route against the exact one and a library.

Clustered synthetic embeddings in 384 dimensions: clusters in a 24-dimensional
subspace, isotropic noise in all 384, several clusters per class so that classes
overlap, 0.5% of the samples labelled. "easy" and "hard" differ in how far the
clusters lie apart against their spread and the noise.

Each contender runs in a fresh process: it builds the k-NN graph (timed, with the
growth of the peak resident set), then `KNNLabelPropagation(metric="precomputed")` on
that graph as a sparse distance matrix, and reports the accuracy on the unlabelled
samples. Recall is the share of the exact graph's neighbours that a graph finds.
The estimator contenders (`--estimator`) are whole fits on the samples:
`KNNLabelPropagation(algorithm="approximate", n_probes=16)` and `algorithm="auto"`,
named with the search they took; their recall is that of their index's graph, built
again after the timing (only where it is approximate).

    python benchmarks/bench_embeddings.py [n_samples ...] [--hard-only] [--faiss]
        [--nn-descent] [--peer] [--estimator] [--n-jobs=N] [--probes=8,16,32] [--no-exact]

`--faiss` adds faiss-cpu's IVF and HNSW indexes, `--nn-descent` pynndescent's
NN-descent (its compilation outside the timing), both if installed, and `--peer`
scikit-learn's LabelSpreading(kernel="knn"). Default sizes: 20,000 and 50,000;
default n_jobs: 2. `--no-exact` skips the exact graph (minutes at 200,000) and
measures recall on 2,000 rows drawn at random.
"""

import json
import os
import subprocess
import sys
import tempfile

import numpy as np

K = 10
N_JOBS = 2

CHILD = r"""
import gc, json, sys, time
import numpy as np
from scipy import sparse

def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key + ':'):
            return int(line.split()[1])

sys.path.insert(0, sys.argv[2])
from bench_embeddings import embeddings
n, variant, contender, setting, k, n_jobs, out = json.loads(sys.argv[1])
X, truth, y = embeddings(n, variant)
# Imports outside the measurement: their memory is no contender's.
from varnex import KNNLabelPropagation
from varnex._search import index_samples
from varnex._search.approximate import ApproximateIndex
from sklearn.semi_supervised import LabelSpreading
if contender.startswith("faiss"):
    import faiss
if contender == "nn-descent":
    from pynndescent import NNDescent
    NNDescent(X[:2000], n_neighbors=k + 1, random_state=0).neighbor_graph   # compiles outside the timing

def without_self(found, distances):
    own = found == np.arange(n)[:, None]
    own[~own.any(axis=1), -1] = True   # missing from its own list: drop the farthest
    return distances[~own].reshape(n, k).astype(np.float32), found[~own].reshape(n, k)

gc.collect()
open('/proc/self/clear_refs', 'w').write('5')
base = status('VmRSS')
start = time.perf_counter()
if contender == "exact":
    distances, indices = index_samples(X.astype(np.float64), n_jobs=n_jobs, algorithm="brute").graph(k)
elif contender == "approximate":
    distances, indices = ApproximateIndex(X, n_probes=setting, n_jobs=n_jobs, random_state=0).graph(k)
elif contender.startswith("faiss"):
    faiss.omp_set_num_threads(n_jobs)
    if contender == "faiss-ivf":
        cells = int(round(np.sqrt(n)))
        index = faiss.IndexIVFFlat(faiss.IndexFlatL2(X.shape[1]), X.shape[1], cells)
        index.train(X)
        index.nprobe = setting
    else:
        index = faiss.IndexHNSWFlat(X.shape[1], 32)
        index.hnsw.efConstruction = 80
        index.hnsw.efSearch = setting
    index.add(X)
    squared, found = index.search(X, k + 1)
    distances, indices = without_self(found, np.sqrt(np.maximum(squared, 0)))
elif contender == "nn-descent":
    # Built with `setting` neighbours (more: nearer exact), the k + 1 nearest kept.
    found, found_distances = NNDescent(X, n_neighbors=setting, random_state=0, n_jobs=n_jobs).neighbor_graph
    distances, indices = without_self(found[:, :k + 1], found_distances[:, :k + 1])
if contender == "LabelSpreading":
    model = LabelSpreading(kernel="knn", n_neighbors=k, n_jobs=n_jobs).fit(X, y)
    graph_time = float("nan")
    peak = (status('VmHWM') - base) / 1024
    labels = model.transduction_
elif contender.startswith("fit-"):
    model = KNNLabelPropagation(n_neighbors=k, algorithm=contender[4:], n_probes=setting or 16, random_state=0,
                                n_jobs=n_jobs).fit(X, y)
    graph_time = float("nan")
    peak = (status('VmHWM') - base) / 1024
    labels = model.transduction_
    fit_time = time.perf_counter() - start
    if model.algorithm_ == "approximate":
        np.save(out, model._index.graph(k)[1])
    print(json.dumps([graph_time, fit_time, peak, float(np.mean((labels == truth)[y == -1])), model.algorithm_]))
    sys.exit()
else:
    graph_time = time.perf_counter() - start
    peak = (status('VmHWM') - base) / 1024
    graph = sparse.csr_matrix((distances.ravel().astype(np.float64), indices.ravel(),
                               np.arange(0, n * k + 1, k)), shape=(n, n))
    labels = KNNLabelPropagation(n_neighbors=k, metric="precomputed").fit(graph, y).transduction_
    np.save(out, indices)
fit_time = time.perf_counter() - start
unlabelled = y == -1
accuracy = float(np.mean(labels[unlabelled] == truth[unlabelled]))
print(json.dumps([graph_time, fit_time, peak, accuracy, contender]))
"""


def embeddings(n, variant, d=384, subspace=24, n_clusters=30, n_classes=6, seed=0):
    """float32 samples, their classes, and labels with 0.5% known (-1 elsewhere)."""
    rng = np.random.default_rng(seed)
    separation, noise = {"easy": (3.0, 0.5), "hard": (2.0, 1.0)}[variant]
    basis = np.linalg.qr(rng.normal(size=(d, subspace)))[0].T.astype(np.float32)
    centres = rng.normal(scale=separation, size=(n_clusters, subspace)).astype(np.float32)
    cluster_class = rng.integers(0, n_classes, n_clusters)
    cluster = rng.integers(0, n_clusters, n)
    inside = centres[cluster] + rng.normal(size=(n, subspace)).astype(np.float32)
    X = inside @ basis
    X += rng.normal(scale=noise, size=(n, d)).astype(np.float32)
    truth = cluster_class[cluster]
    y = np.full(n, -1)
    known = rng.choice(n, max(n // 200, n_classes), replace=False)
    y[known] = truth[known]
    return X, truth, y


def contend(n, variant, contender, setting, n_jobs, out):
    arguments = json.dumps([n, variant, contender, setting, K, n_jobs, out])
    result = subprocess.run([sys.executable, "-c", CHILD, arguments, os.path.dirname(os.path.abspath(__file__))],
                            check=True, capture_output=True, text=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def recall(found, exact):
    hits = sum(np.isin(row, reference).sum() for row, reference in zip(found, exact))
    return hits / exact.size


def sampled_exact(n, variant, rows=2000):
    """Rows drawn at random and their exact neighbours, in double precision: the
    reference for recall where the exact graph is not built."""
    X, _, _ = embeddings(n, variant)
    sample = np.random.default_rng(1).choice(n, rows, replace=False)
    X64 = X.astype(np.float64)
    distances = (X64 ** 2).sum(axis=1)[None, :] - 2 * X64[sample] @ X64.T
    distances[np.arange(rows), sample] = np.inf
    return sample, np.argsort(distances, axis=1)[:, :K]


def main(argv):
    sizes = [int(a) for a in argv if a.isdigit()] or [20_000, 50_000]
    variants = ["hard"] if "--hard-only" in argv else ["easy", "hard"]
    n_jobs = next((int(a.split("=")[1]) for a in argv if a.startswith("--n-jobs=")), N_JOBS)
    probes = next((a.split("=")[1] for a in argv if a.startswith("--probes=")), "8,16,32")
    contenders = [] if "--no-exact" in argv else [("exact", None)]
    contenders += [("approximate", int(p)) for p in probes.split(",") if p]
    if "--faiss" in argv:
        contenders += [("faiss-ivf", p) for p in (8, 16, 32)] + [("faiss-hnsw", e) for e in (32, 64)]
    if "--nn-descent" in argv:
        contenders += [("nn-descent", m) for m in (11, 20, 40)]
    if "--estimator" in argv:
        contenders += [("fit-approximate", 16), ("fit-auto", None)]
    if "--peer" in argv:
        contenders.append(("LabelSpreading", None))
    print(f"k={K}, n_jobs={n_jobs}, 384 dims; graph and fit in seconds, peak MiB over the data")
    print(f"{'n':>8} {'data':>5} {'contender':>22} {'graph s':>8} {'fit s':>7} {'x exact':>7} "
          f"{'peak':>6} {'accuracy':>8} {'recall':>6}")
    with tempfile.TemporaryDirectory() as folder:
        for n in sizes:
            for variant in variants:
                exact, exact_time = None, float("nan")
                if "--no-exact" in argv:
                    sample, exact = sampled_exact(n, variant)
                for contender, setting in contenders:
                    out = os.path.join(folder, "indices.npy")
                    if os.path.exists(out):
                        os.remove(out)
                    graph_time, fit_time, peak, accuracy, route = contend(n, variant, contender, setting, n_jobs,
                                                                          out)
                    found = np.load(out) if os.path.exists(out) else None
                    if contender == "exact":
                        exact, exact_time = found, fit_time
                    if found is not None and "--no-exact" in argv:
                        found = found[sample]
                    score = f"{recall(found, exact):.4f}" if found is not None and exact is not None else "-"
                    name = contender + (f" {setting}" if setting is not None else "")
                    name += f" ({route})" if contender == "fit-auto" else ""
                    print(f"{n:>8} {variant:>5} {name:>22} {graph_time:>8.2f} {fit_time:>7.2f} "
                          f"{fit_time / exact_time:>7.3f} {peak:>6.0f} {accuracy:>8.4f} {score:>6}", flush=True)


def run():
    main([])


if __name__ == "__main__":
    main(sys.argv[1:])

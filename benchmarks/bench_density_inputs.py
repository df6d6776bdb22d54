"""DensityClustering against DBSCAN on the inputs both take beyond dense Euclidean data:
sparse samples (Euclidean and cosine), a precomputed sparse distance graph, and sample
weights. Times side by side in this process (best of 3, taking turns); peak memory of
one fit, each contender in a fresh process. Both fit without labels, so both give the
same clusters.
"""

import numpy as np

from common import side_by_side, time_and_peak

SETUP = """
import numpy as np, scipy.sparse as sp
from sklearn.cluster import DBSCAN
from sklearn.neighbors import radius_neighbors_graph
from varnex import DensityClustering

def sparse_blobs(n, seed=0):
    # 20 sparse prototypes (8% of 200 features), each sample one of them with 10% noise
    # on its entries and a few stray entries: about 9% stored.
    rng = np.random.default_rng(seed)
    centres = sp.random(20, 200, density=0.08, random_state=seed, data_rvs=lambda k: rng.uniform(1, 3, k)).toarray()
    X = centres[rng.integers(0, 20, n)]
    X *= 1 + 0.1 * rng.standard_normal(X.shape)
    return sp.csr_matrix(sp.csr_matrix(X) + sp.random(n, 200, density=0.01, random_state=seed + 1) * 0.5)

X = sparse_blobs({n})
weights = np.random.default_rng(0).integers(1, 4, X.shape[0]).astype(float)
graph = radius_neighbors_graph(X, {eps}, mode="distance") if {graph} else None
"""

CASES = {
    # name: (estimator arguments, fit arguments)
    "sparse euclidean": ("eps={eps}, min_samples=5", "X"),
    "sparse cosine": ("eps={eps_cos}, min_samples=5, metric='cosine'", "X"),
    "precomputed graph": ("eps={eps}, min_samples=5, metric='precomputed'", "graph"),
    "sparse + weights": ("eps={eps}, min_samples=8", "X, sample_weight=weights"),
}


def run():
    n, eps, eps_cos = 8000, 1.0, 0.006
    print(f"{n} samples x 200 features, CSR with ~9% stored, 20 sparse blobs; fit without labels")
    for name, (arguments, fit_arguments) in CASES.items():
        arguments = arguments.format(eps=eps, eps_cos=eps_cos)
        setup = SETUP.format(n=n, eps=eps, graph=name == "precomputed graph")
        namespace = {}
        exec(setup, namespace)
        ours = eval(f"DensityClustering({arguments})", namespace)
        theirs = eval(f"DBSCAN({arguments})", namespace)
        fit = eval(f"lambda model: model.fit({fit_arguments})", namespace)
        t_ours, t_theirs = side_by_side([lambda: fit(ours), lambda: fit(theirs)])
        same = np.array_equal(ours.labels_, theirs.labels_)
        _, m_ours = time_and_peak(setup, f"DensityClustering({arguments}).fit({fit_arguments})")
        _, m_theirs = time_and_peak(setup, f"DBSCAN({arguments}).fit({fit_arguments})")
        print(f"  {name:18s}: DensityClustering {t_ours:6.3f} s {m_ours:7.1f} MiB, DBSCAN {t_theirs:6.3f} s "
              f"{m_theirs:7.1f} MiB -> time x{t_theirs / t_ours:5.2f} faster, memory {m_ours / max(m_theirs, 0.1):5.2f} "
              f"of DBSCAN's; {len(set(theirs.labels_)) - 1} clusters, same labels: {same}")

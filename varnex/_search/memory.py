"""Whether every neighbourhood fits in memory at once: the one choice between holding
``neighbourhoods(eps)`` whole and asking for its rows a set of samples at a time.

Held whole, the neighbourhoods take 8 bytes per sample and 4 per neighbour, which grows
with the square of the radius. The size is predicted from the neighbourhoods of a few
samples among a subsample of the data, counted exactly where the prediction comes close
to the budget, and compared with scikit-learn's ``working_memory`` setting.
"""

import numpy as np
import sklearn

from varnex._search.precomputed import PrecomputedIndex

__all__ = ["BOUNDED", "IN_MEMORY", "budget_bytes", "in_memory_bytes", "neighbourhood_route"]

IN_MEMORY, BOUNDED = "in-memory", "bounded"

# The in-memory size is predicted from the neighbourhoods of this many samples among a
# subsample of 1/SUBSAMPLE of the data (whose search costs as much less); the prediction
# is trusted when it lies outside MARGIN times the budget, and every row counted otherwise.
SAMPLE_SIZE = 512
SUBSAMPLE = 16
MARGIN = 1.25


def budget_bytes():
    """scikit-learn's ``working_memory`` setting, in bytes."""
    return int(sklearn.get_config()["working_memory"] * 2**20)


def in_memory_bytes(n_samples, n_neighbours):
    """Bytes of the CSR neighbourhoods of `n_samples` holding `n_neighbours` in all."""
    return 8 * (n_samples + 1) + 4 * n_neighbours


def neighbourhood_route(index, eps, budget):
    """``(route, lengths)``: IN_MEMORY where ``index.neighbourhoods(eps)`` fits `budget`
    bytes, else BOUNDED. `lengths` are the rows' exact lengths where they had to be
    counted, or None. Precomputed distances always take IN_MEMORY: the distances given
    are larger than their neighbourhoods, and they have no other route."""
    n_samples = index.n_samples
    if isinstance(index, PrecomputedIndex) or in_memory_bytes(n_samples, n_samples * max(n_samples - 1, 0)) <= budget:
        return IN_MEMORY, None
    rng = np.random.default_rng(0)
    among = np.sort(rng.choice(n_samples, max(n_samples // SUBSAMPLE, min(n_samples, 2 * SAMPLE_SIZE)),
                               replace=False))
    sample = np.sort(rng.choice(len(among), min(SAMPLE_SIZE, len(among)), replace=False)).astype(np.int32)
    # The mean row among the subsample, scaled up to the whole data.
    mean = float(np.mean(index.subset(among).count_neighbourhoods(eps, sample)))
    predicted = in_memory_bytes(n_samples, n_samples * mean * (n_samples - 1) / max(len(among) - 1, 1))
    if predicted * MARGIN <= budget:
        return IN_MEMORY, None
    if predicted > budget * MARGIN:
        return BOUNDED, None
    lengths = index.count_neighbourhoods(eps)
    return (IN_MEMORY if in_memory_bytes(n_samples, int(lengths.sum())) <= budget else BOUNDED), lengths

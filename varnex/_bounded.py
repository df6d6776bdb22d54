"""Density clustering in memory that grows with the number of samples, not of pairs.

The in-memory route holds every neighbourhood at once (`varnex._search.memory` chooses
between the two). This one holds O(n) state and one batch of rows:

1. the index counts every sample's neighbourhood (and, with sample weights, its weight
   sum over batches of rows), hence the core samples, without keeping any list;
2. the clustering then asks the index for rows as it reads them, in queue order, the
   rows of the samples queued after a missing one in the same batch, up to a budget of
   entries. Only rows that can change the clusters are fetched: none of samples that
   do not spread their cluster, and, once most samples are visited, only the neighbours
   not yet visited.

Which samples are queued next does not depend on when their rows are fetched, and the
index gives the rows by the same exact decisions as its whole neighbourhoods, so the
clusters are the same, bit for bit, under either growth rule. (The synchronous growth
also reads the rows of contested samples, to find their nearest claimant.)
"""

import os

import numpy as np

from varnex.algorithms.src.densa.binaries.densa_stream import cluster_streamed, cluster_streamed_synchronously

__all__ = ["cluster_bounded", "out_of_memory"]

# Bytes a fetched row entry takes while its batch is built: the search's own output
# (up to 24 bytes for a k-d tree's records), its int32 copies and the native buffer.
ENTRY_BYTES = 64

# Bytes of O(n) state per sample: counts and core flags (and their native copies),
# labels, result, visited flags, queue, batch slots, and the search index.
STATE_BYTES = 96


def cluster_bounded(index, eps, known, min_samples, weights, budget, lengths=None, contest=None):
    """Raw clusters and core flags, as the in-memory route gives them from
    ``index.neighbourhoods(eps)``, holding O(n) state and batches of about `budget`
    bytes at most. `lengths` are the rows' lengths where they are known already.
    `contest` is None for the sequential growth, or for the synchronous one the
    ``(points, p)`` whose Minkowski distances settle its contests (points None: ties).
    Raises MemoryError, saying what was needed, before allocating where the memory left
    cannot hold the O(n) state, and after where the memory ran out anyway."""
    n_samples = known.shape[0]
    budget = _fitting_budget(n_samples, budget)
    entries = max(1, budget // ENTRY_BYTES)

    def fetch(points, candidates):
        return index.neighbourhood_rows(eps, points, candidates)

    try:
        if lengths is None:
            lengths = index.count_neighbourhoods(eps)
        if weights is None:
            core = lengths + 1 >= min_samples
        else:
            core = _weight_totals(fetch, lengths, weights, entries) >= min_samples
        if contest is None:
            clusters = cluster_streamed(lengths, core.astype(np.uint8), known, fetch, entries)
        else:
            clusters = cluster_streamed_synchronously(lengths, core.astype(np.uint8), known, fetch, entries,
                                                      *contest)
    except MemoryError as error:
        raise out_of_memory(n_samples, budget, bounded=True) from error
    return clusters, core


def out_of_memory(n_samples, budget, bounded):
    """The MemoryError to raise when a route ran out of memory anyway (the bounded one,
    or the in-memory one of precomputed distances, which have no other): what it
    needed, and what to change."""
    if not bounded:
        return MemoryError(f"DensityClustering ran out of memory holding the neighbourhoods of {n_samples} samples "
                           "from precomputed distances: pass them as a sparse graph of the distances within eps "
                           "only (radius_neighbors_graph with mode='distance')")
    return MemoryError(f"DensityClustering ran out of memory on its bounded-memory route: {n_samples} samples need "
                       f"about {n_samples * STATE_BYTES / 2**20:.0f} MiB of state besides the data, and batches "
                       f"of up to {budget / 2**20:.3g} MiB; lower working_memory with "
                       "sklearn.set_config(working_memory=...), or cluster fewer samples")


def _fitting_budget(n_samples, budget):
    """`budget`, lowered to what the memory left can hold beside the O(n) state; raises
    MemoryError before allocating anything when even that state does not fit."""
    state = n_samples * STATE_BYTES
    available = _available_bytes()
    if available is None:
        return budget
    smallest = 16 * ENTRY_BYTES * max(1, min(n_samples, 1 << 16))
    if state + smallest > available:
        raise MemoryError(f"DensityClustering needs about {(state + smallest) / 2**20:.0f} MiB for the state of "
                          f"{n_samples} samples on its bounded-memory route, but only {available / 2**20:.0f} MiB "
                          "are left (free memory or the address-space limit): cluster fewer samples, or raise "
                          "the limit")
    return min(budget, (available - state) // 2)


def _available_bytes():
    """Memory this process may still take: the smaller of the address space its limit
    leaves and the memory the system has free. None where neither is known."""
    limits = []
    try:
        import resource  # POSIX only
        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        if soft != resource.RLIM_INFINITY:
            limits.append(soft - used)
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    limits.append(int(line.split()[1]) * 1024)
    except (ImportError, OSError, ValueError):
        pass
    return max(0, min(limits)) if limits else None


def _weight_totals(fetch, lengths, weights, entries):
    """Each sample's own weight plus its neighbours', over consecutive batches of rows."""
    totals = weights.copy()
    n_samples = lengths.shape[0]
    ends = np.cumsum(lengths)
    start = 0
    while start < n_samples:
        # At least one row, then as many as fit the entries.
        before = ends[start] - lengths[start]
        stop = max(start + 1, int(np.searchsorted(ends, before + entries, "right")))
        points = np.arange(start, stop, dtype=np.int32)
        positions, neighbours = fetch(points, None)
        totals[start:stop] += np.bincount(positions, weights=weights[neighbours], minlength=stop - start)
        start = stop
    return totals

"""How much of a search is held in memory at once, and how long one library call runs."""

import time

from varnex._search.threads import Abandoned, abandoned

__all__ = ["BLOCK_SECONDS", "BRUTE_BYTES", "CHUNK_ROWS", "DENSE_BLOCK", "paced", "query_blocks"]

# Rows queried at once when listing every sample's neighbours: bounds the float64 and
# int64 arrays of one query while the result goes straight into compact arrays.
CHUNK_ROWS = 1 << 16

# Entries of one dense block of precomputed distances handled at once.
DENSE_BLOCK = 1 << 22

# Brute-force queries take rows in blocks whose distances to every sample fill at most
# this many bytes; each block's neighbour lists are narrowed to int32 before the next.
BRUTE_BYTES = 128 << 20


def query_blocks(n_queries, n_samples):
    """Consecutive ranges of query rows whose distances to `n_samples` samples fit BRUTE_BYTES."""
    rows = max(16, BRUTE_BYTES // (8 * max(n_samples, 1)))
    return [range(start, min(start + rows, n_queries)) for start in range(0, n_queries, rows)]


# A library call that does not poll for interrupts (SciPy's tree queries) lasts about
# this long: Python runs its signal handlers between two calls, so Ctrl-C and
# termination signals take effect within a fraction of a second.
BLOCK_SECONDS = 0.1

# Rows of the first block, before the pace of the search is known.
FIRST_ROWS = 64


def paced(n_rows):
    """Consecutive ranges of rows ``0 .. n_rows - 1``, each sized from the pace of the
    blocks before it to take about BLOCK_SECONDS (growing at most fourfold per block).
    Raises `Abandoned` between blocks when the thread map running it was given up."""
    start, rows = 0, FIRST_ROWS
    while start < n_rows:
        if abandoned():
            raise Abandoned
        stop = min(n_rows, start + rows)
        began = time.perf_counter()
        yield range(start, stop)
        elapsed = time.perf_counter() - began
        rows = max(1, min(4 * rows, int((stop - start) * BLOCK_SECONDS / max(elapsed, 1e-9))))
        start = stop

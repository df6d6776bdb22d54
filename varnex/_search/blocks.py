"""How much of a search is held in memory at once."""

__all__ = ["BRUTE_BYTES", "CHUNK_ROWS", "DENSE_BLOCK", "query_blocks"]

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

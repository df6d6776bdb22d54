"""Euclidean searches by matrix products over tiles, for samples in many features.

Single-precision products of the centred samples, twice as fast as double precision
(centring loses less to cancellation), estimate the distances of one tile of pairs at a
time; the native code measures from the coordinates every pair whose estimate lies
close enough to matter, and the coordinates decide. So the results are exact whatever
the tiles' shape, and ties go by lower index.
"""

import numpy as np

from varnex._search.threads import map_in_threads, single_blas_thread
from varnex.algorithms.src.densa.binaries.densa_arrays import close_pairs, neighbourhoods_from_pairs
from varnex.algorithms.src.linka.binaries.linka_nearest import offer_tile

__all__ = ["CentredProducts", "tile_neighbourhoods", "tile_graph"]

# A tile of products: 1 MiB, which stays in cache while it is read, and rows enough
# for BLAS to run near its peak.
TILE_ROWS = 256
TILE_COLUMNS = 1024


class CentredProducts:
    """The samples centred on their mean and rounded to single precision, with the
    squared norms the products see; `X` itself (float64) stays the judge."""

    def __init__(self, X):
        self.X = np.require(X, dtype=np.float64, requirements=["C", "W"])
        n = self.X.shape[0]
        mean = self.X.mean(axis=0)
        # Centred straight into single precision, a block of rows at a time: no double-
        # precision copy of the samples.
        self.centred = np.empty(self.X.shape, dtype=np.float32)
        for start in range(0, n, TILE_ROWS):
            np.subtract(self.X[start:start + TILE_ROWS], mean, out=self.centred[start:start + TILE_ROWS],
                        casting="same_kind")
        self.norms = np.einsum("ij,ij->i", self.centred, self.centred, dtype=np.float64)

    def __len__(self):
        return self.X.shape[0]

    def tile(self, row, column):
        """Products of rows ``row ..`` with columns ``column ..`` (one tile's worth)."""
        return self.centred[row:row + TILE_ROWS] @ self.centred[column:column + TILE_COLUMNS].T


def for_each_row_block(products, work, threads):
    """[work(start) for each block of TILE_ROWS rows], the blocks on `threads` threads."""
    with single_blas_thread():
        return map_in_threads(work, range(0, len(products), TILE_ROWS), threads)


def tile_neighbourhoods(X, eps, threads):
    """Every sample's others within `eps` (boundary included), as CSR rows."""
    products = CentredProducts(X)
    n = len(products)

    def pairs_from(row):
        # Pairs (i, j), i < j, once: the columns start at the block's first row.
        return [close_pairs(products.tile(row, column), products.norms, row, column, eps, products.X)
                for column in range(row, n, TILE_COLUMNS)]

    blocks = for_each_row_block(products, pairs_from, threads)
    return neighbourhoods_from_pairs([pairs for block in blocks for pairs in block], n)


def tile_graph(X, distances, indices, threads):
    """Every sample's nearest other samples, into `distances` and `indices` of shape
    (n_samples, k), nearest first."""
    products = CentredProducts(X)
    n, k = distances.shape

    def rows_from(row):
        count = min(TILE_ROWS, n - row)
        squared = np.full((count, k), np.inf)
        nearest = np.full((count, k), np.iinfo(np.int64).max)
        for column in range(0, n, TILE_COLUMNS):
            offer_tile(products.tile(row, column), products.norms, row, column, products.X, squared, nearest)
        order = np.lexsort((nearest, squared), axis=1)
        distances[row:row + count] = np.sqrt(np.take_along_axis(squared, order, axis=1))
        indices[row:row + count] = np.take_along_axis(nearest, order, axis=1)

    for_each_row_block(products, rows_from, threads)

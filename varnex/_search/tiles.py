"""Euclidean searches by matrix products over tiles, for samples in many features.

Single-precision products of the centred samples, twice as fast as double precision
(centring loses less to cancellation), estimate the distances of one tile of pairs at a
time; the native code measures from the coordinates every pair whose estimate lies
close enough to matter, and the coordinates decide. So the results are exact whatever
the tiles' shape, and ties go by lower index.
"""

from functools import cached_property

import numpy as np

from varnex._search.threads import map_in_threads, single_blas_thread
from varnex.algorithms.src.densa.binaries.densa_arrays import close_pairs, neighbourhoods_from_pairs
from varnex.algorithms.src.linka.binaries.linka_nearest import offer_tile

__all__ = ["CentredProducts", "ProductRows", "tile_neighbourhoods", "tile_graph"]

# A tile of products: 1 MiB, which stays in cache while it is read, and rows enough
# for BLAS to run near its peak.
TILE_ROWS = 256
TILE_COLUMNS = 1024


def _ignore(count):
    pass


class CentredProducts:
    """Products of the samples centred on their mean and rounded to single precision,
    with the squared norms the products see; `X` itself (float64) stays the judge.

    With `keep` the centred samples are kept, half the size of `X`; without, each block
    is centred when a tile needs it, which costs the products about a tenth more time
    in 64 features. The values are the same either way.
    """

    def __init__(self, X, keep):
        self.X = np.require(X, dtype=np.float64, requirements=["C", "W"])
        self.mean = self.X.mean(axis=0)
        n = self.X.shape[0]
        self._kept = None
        if keep:
            self._kept = np.empty(self.X.shape, dtype=np.float32)
            for start in range(0, n, TILE_ROWS):
                self._centre(start, TILE_ROWS, out=self._kept[start:start + TILE_ROWS])
        self.norms = np.empty(n)
        for start in range(0, n, TILE_COLUMNS):
            block = self.centred(start, TILE_COLUMNS)
            self.norms[start:start + len(block)] = np.einsum("ij,ij->i", block, block, dtype=np.float64)

    def __len__(self):
        return self.X.shape[0]

    def _centre(self, start, count, out=None):
        # Straight into single precision: no double-precision copy of the samples.
        rows = self.X[start:start + count]
        out = np.empty(rows.shape, dtype=np.float32) if out is None else out
        return np.subtract(rows, self.mean, out=out, casting="same_kind")

    def centred(self, start, count):
        """Samples ``start .. start + count - 1``, centred."""
        return self._kept[start:start + count] if self._kept is not None else self._centre(start, count)

    def centred_at(self, points):
        """The samples `points` (indices in any order), centred: the values `centred` gives."""
        return np.subtract(self.X[points], self.mean, out=np.empty((len(points), self.X.shape[1]), dtype=np.float32),
                           casting="same_kind")

    def tile(self, rows, column):
        """Products of the centred `rows` (a block from `centred`) with the samples
        ``column ..`` of one tile."""
        return rows @ self.centred(column, TILE_COLUMNS).T


def for_each_row_block(products, work, threads):
    """[work(start) for each block of TILE_ROWS rows], the blocks on `threads` threads."""
    with single_blas_thread():
        return map_in_threads(work, range(0, len(products), TILE_ROWS), threads)


def tile_neighbourhoods(X, eps, threads, advance=_ignore):
    """Every sample's others within `eps` (boundary included), as CSR rows;
    `advance(count)` hears of each block of rows done."""
    # Neighbourhoods may take little memory beside the samples: no centred copy of them.
    products = CentredProducts(X, keep=False)
    n = len(products)

    def pairs_from(row):
        # Pairs (i, j), i < j, once: the columns start at the block's first row.
        rows = products.centred(row, TILE_ROWS)
        pairs = [close_pairs(products.tile(rows, column), products.norms, row, column, eps, products.X)
                 for column in range(row, n, TILE_COLUMNS)]
        advance(len(rows))
        return pairs

    blocks = for_each_row_block(products, pairs_from, threads)
    return neighbourhoods_from_pairs([pairs for block in blocks for pairs in block], n)


def tile_graph(X, distances, indices, threads, advance=_ignore):
    """Every sample's nearest other samples, into `distances` and `indices` of shape
    (n_samples, k), nearest first; `advance(count)` hears of each block of rows done."""
    # The graph itself takes n * k entries: the centred copy, and its speed, pay.
    products = CentredProducts(X, keep=True)
    n, k = distances.shape

    def rows_from(row):
        rows = products.centred(row, TILE_ROWS)
        count = len(rows)
        squared = np.full((count, k), np.inf)
        nearest = np.full((count, k), np.iinfo(np.int64).max)
        for column in range(0, n, TILE_COLUMNS):
            offer_tile(products.tile(rows, column), products.norms, row, column, products.X, squared, nearest)
        order = np.lexsort((nearest, squared), axis=1)
        distances[row:row + count] = np.sqrt(np.take_along_axis(squared, order, axis=1))
        indices[row:row + count] = np.take_along_axis(nearest, order, axis=1)
        advance(count)

    for_each_row_block(products, rows_from, threads)


class ProductRows:
    """The rows of `tile_neighbourhoods` for any set of samples, a tile of rows at a time
    against every column, for the bounded route. The native test decides each pair from
    the same coordinates, so the rows are the same whatever samples share a tile."""

    def __init__(self, X, threads):
        self._X, self._threads = X, threads

    @cached_property
    def _products(self):
        return CentredProducts(self._X, keep=False)

    def count(self, points, eps):
        # Counted tile by tile: no more than one tile's pairs held per thread.
        def count_block(start):
            block = points[start:start + TILE_ROWS]
            return np.bincount(self._block_rows(block, eps, None)[0], minlength=len(block))

        with single_blas_thread():
            counts = map_in_threads(count_block, range(0, len(points), TILE_ROWS), self._threads)
        return np.concatenate(counts).astype(np.int64) if counts else np.empty(0, dtype=np.int64)

    def rows(self, points, eps, candidates=None):
        def block_rows(start):
            positions, neighbours = self._block_rows(points[start:start + TILE_ROWS], eps, candidates)
            return positions + start, neighbours

        with single_blas_thread():
            found = map_in_threads(block_rows, range(0, len(points), TILE_ROWS), self._threads)
        if not found:
            return np.empty(0, dtype=np.int32), np.empty(0, dtype=np.int32)
        return (np.concatenate([positions for positions, _ in found]).astype(np.int32),
                np.concatenate([neighbours for _, neighbours in found]).astype(np.int32))

    def _block_rows(self, block, eps, candidates):
        products = self._products
        among = np.arange(len(products)) if candidates is None else candidates
        centred = products.centred_at(block)
        found_positions, found_neighbours = [np.empty(0, dtype=np.int64)], [np.empty(0, dtype=np.int64)]
        for start in range(0, len(among), TILE_COLUMNS):
            columns = among[start:start + TILE_COLUMNS]
            # The block's samples first, then the tile's: every pair of the product then
            # has its row below its column, as the test takes them.
            stacked = np.concatenate([products.X[block], products.X[columns]])
            norms = np.concatenate([products.norms[block], products.norms[columns]])
            pairs = close_pairs(centred @ products.centred_at(columns).T, norms, 0, len(block), eps, stacked)
            rows, neighbours = pairs[:, 0], columns[pairs[:, 1] - len(block)]
            keep = neighbours != block[rows]
            found_positions.append(rows[keep])
            found_neighbours.append(neighbours[keep])
        return np.concatenate(found_positions), np.concatenate(found_neighbours)

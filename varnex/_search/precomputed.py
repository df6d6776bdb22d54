"""The index of training samples given by their distances to each other."""

import numpy as np
from scipy import sparse
from sklearn.utils.validation import check_non_negative

from varnex._search.blocks import CHUNK_ROWS, DENSE_BLOCK, query_blocks
from varnex._search.results import Neighbourhoods

__all__ = ["PrecomputedIndex", "check_distances"]


def check_distances(D, n_columns=None):
    """Refuse precomputed distances that are not square (`n_columns` None: the training
    distances) or lack one column per training sample, or hold a negative entry."""
    if n_columns is None and D.shape[0] != D.shape[1]:
        raise ValueError(f"Precomputed matrix must be square, got a {D.shape[0]}x{D.shape[1]} matrix")
    if n_columns is not None and D.shape[1] != n_columns:
        raise ValueError(f"Precomputed distances must have one column per training sample ({n_columns}), "
                         f"got a {D.shape[0]}x{D.shape[1]} matrix")
    # scikit-learn's own check and words, which its estimator checks expect.
    check_non_negative(D, "precomputed distance matrix")
    return D


class PrecomputedIndex:
    """Precomputed distances between the training samples, answering the questions of
    `SampleIndex`: new samples come as their distances to the training samples.

    Parameters
    ----------
    D : ndarray or CSR matrix of shape (n_samples, n_samples), or None
        Distances, checked by `check_distances`. In a sparse matrix only stored entries
        are neighbours (an explicit 0 included), its rows in any order. None for an
        index that answers only `nearest`.
    columns : ndarray of int, optional
        The training samples this index holds (see `subset`); all of them by default.

    Among equal distances the lower index comes first.
    """

    def __init__(self, D, columns=None):
        self._D = D
        self._columns = columns
        self.n_samples = D.shape[0] if columns is None else len(columns)

    def neighbourhoods(self, eps):
        """The neighbourhoods the distances give: ``Neighbourhoods(indptr, indices,
        self_within)``. Row i holds every other sample j with ``D[i, j] <= eps``, a
        point listed twice counting twice; ``self_within[i]`` tells whether the sample
        belongs to its own neighbourhood: its diagonal entry is within eps, a missing one
        counting as 0."""
        D, n = self._D, self.n_samples
        if sparse.issparse(D):
            rows = np.repeat(np.arange(n), np.diff(D.indptr))
            own = D.indices == rows
            self_within = np.ones(n, dtype=bool)
            self_within[rows[own]] = False
            self_within[rows[own & (D.data <= eps)]] = True
            keep = ~own & (D.data <= eps)
            indptr = np.zeros(n + 1, dtype=np.int64)
            np.cumsum(np.bincount(rows[keep], minlength=n), out=indptr[1:])
            return Neighbourhoods(indptr, D.indices[keep].astype(np.int32), self_within)
        lengths, blocks = [], []
        self_within = np.diagonal(D) <= eps
        for block in query_blocks(n, n):
            start = block.start
            within = D[start:block.stop] <= eps
            within[np.arange(within.shape[0]), np.arange(start, start + within.shape[0])] = False
            lengths.append(within.sum(axis=1))
            blocks.append(np.nonzero(within)[1].astype(np.int32))
        indptr = np.zeros(n + 1, dtype=np.int64)
        np.cumsum(np.concatenate(lengths), out=indptr[1:])
        return Neighbourhoods(indptr, np.concatenate(blocks), self_within)

    def graph(self, k, index_dtype=np.int64):
        """Every sample's k nearest other samples, nearest first: ``(distances, indices)``
        of shape (n_samples, k), float32 and `index_dtype`. A sample's own entry is never
        its neighbour; a sparse row with fewer than k other stored entries is refused."""
        n = self.n_samples
        distances = np.empty((n, k), dtype=np.float32)
        indices = np.empty((n, k), dtype=index_dtype)
        for start in range(0, n, CHUNK_ROWS):
            stop = min(start + CHUNK_ROWS, n)
            distances[start:stop], indices[start:stop] = _nearest_in_rows(self._D[start:stop], k,
                                                                          exclude=np.arange(start, stop))
        return distances, indices

    def kneighbors(self, queries, k):
        """The k nearest training samples of new samples, given their distances to the
        training samples (shape (n_queries, n_samples))."""
        return _nearest_in_rows(queries, k)

    def nearest(self, queries, within=np.inf):
        """Position of the nearest sample of this index for each row of `queries` (their
        distances to every training sample), or -1 where none is stored within `within`."""
        nearest = np.full(queries.shape[0], -1, dtype=np.intp)
        columns = np.arange(queries.shape[1]) if self._columns is None else self._columns
        if columns.size == 0 or queries.shape[0] == 0:
            return nearest
        step = max(1, DENSE_BLOCK // columns.size) if not sparse.issparse(queries) else queries.shape[0]
        for start in range(0, queries.shape[0], step):
            rows, found, values = _row_minima(queries[start:start + step][:, columns])
            close = values <= within
            nearest[start + rows[close]] = found[close]
        return nearest

    def subset(self, members):
        """An index of the training samples `members` alone, for `nearest`; it keeps no
        distances, since queries bring their own."""
        return PrecomputedIndex(None, columns=np.asarray(members))

    def nearest_among(self, candidates, queries):
        """For each sample ``queries[i]``, the nearest of the samples `candidates`:
        ``(distances, nearest)``. In a sparse matrix the distance may be stored either
        way between the two; a query with no stored distance to any candidate gets +inf
        and the first candidate."""
        best = np.full(len(queries), np.inf)
        nearest = np.full(len(queries), candidates[0], dtype=np.int64)
        dense = not sparse.issparse(self._D)
        step = max(1, DENSE_BLOCK // len(candidates)) if dense else CHUNK_ROWS
        for start in range(0, len(queries), step):
            part = queries[start:start + step]
            blocks = [self._D[part][:, candidates]] if dense else \
                [self._D[part][:, candidates], self._D[candidates][:, part].T]
            for block in blocks:
                rows, columns, values = _row_minima(block)
                better = values < best[start + rows]
                best[start + rows[better]] = values[better]
                nearest[start + rows[better]] = candidates[columns[better]]
        return best, nearest


def _row_minima(block):
    """Row, column and value of the smallest entry of each row (the lowest column among
    equal ones): of every entry of a dense block, of the stored ones of a sparse one."""
    if not sparse.issparse(block):
        block = np.asarray(block)
        columns = np.argmin(block, axis=1)
        rows = np.arange(block.shape[0])
        return rows, columns, block[rows, columns]
    block = sparse.coo_matrix(block)
    rows, columns, values = block.row.astype(np.int64), block.col.astype(np.int64), block.data
    order = np.lexsort((columns, values, rows))
    rows, columns, values = rows[order], columns[order], values[order]
    first = np.r_[True, rows[1:] != rows[:-1]] if rows.size else np.zeros(0, dtype=bool)
    return rows[first], columns[first], values[first]


def _nearest_in_rows(D, k, exclude=None):
    """The k smallest distances of each row of `D` and their columns, by distance then
    column; ``exclude[i]`` is a column that row i must not list (its own sample)."""
    if not sparse.issparse(D):
        return _nearest_in_dense_rows(D, k, exclude)
    n = D.shape[0]
    D = sparse.csr_matrix(D)
    rows = np.repeat(np.arange(n), np.diff(D.indptr))
    columns, values = D.indices.astype(np.int64), D.data
    if exclude is not None:
        keep = columns != exclude[rows]
        rows, columns, values = rows[keep], columns[keep], values[keep]
    counts = np.bincount(rows, minlength=n)
    short = np.flatnonzero(counts < k)
    if short.size:
        raise ValueError(f"row {short[0]} of the precomputed distances stores {counts[short[0]]} distances to "
                         f"other samples, fewer than the {k} neighbours asked for")
    order = np.lexsort((columns, values, rows))
    starts = np.zeros(n, dtype=np.int64)
    np.cumsum(counts[:-1], out=starts[1:])
    take = (starts[:, None] + np.arange(k)).ravel()
    return values[order][take].reshape(n, k), columns[order][take].reshape(n, k)


def _nearest_in_dense_rows(D, k, exclude):
    n, m = D.shape
    distances, indices = np.empty((n, k)), np.empty((n, k), dtype=np.int64)
    step = max(1, DENSE_BLOCK // max(m, 1))
    for start in range(0, n, step):
        block = np.array(D[start:start + step], dtype=np.float64)
        if exclude is not None:
            block[np.arange(block.shape[0]), exclude[start:start + step]] = np.inf
        # The k-th smallest value, then every smaller entry and the lowest columns of
        # the entries equal to it: ties go to the lower index.
        kth = np.partition(block, k - 1, axis=1)[:, k - 1:k]
        chosen = block < kth
        ties = block == kth
        chosen |= ties & (np.cumsum(ties, axis=1) <= k - chosen.sum(axis=1, keepdims=True))
        columns = np.nonzero(chosen)[1].reshape(-1, k)
        values = np.take_along_axis(block, columns, axis=1)
        order = np.lexsort((columns, values), axis=1)
        distances[start:start + step] = np.take_along_axis(values, order, axis=1)
        indices[start:start + step] = np.take_along_axis(columns, order, axis=1)
    return distances, indices

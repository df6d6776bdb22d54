"""Graph containers handed to the native graph routines.

`GraphWrapper` keeps one growable list per node: neighbour indices (int64) in the
object used as ``connections``, the matching edge weights (float32) in the object used
as ``weights``. The native routines call ``to_numpy(node)`` once per node they visit,
so that call returns a prepared read-only view of the node's storage: no copy and no
array construction per call. Appends write into per-node storage that doubles when
full, and refresh the node's view.

`_AlgorithmInput` is the labelled/unlabelled split of one label vector.
"""

import math
import operator

import numpy as np

__all__ = ["GraphWrapper"]


class GraphWrapper:
    """One list of values per node of a graph with nodes ``0 .. n_nodes - 1``.

    Parameters
    ----------
    n_nodes : int
        Number of nodes; every node starts with an empty list.
    dtype : data-type, default=np.int64
        Element type of the lists. An integer type makes this a neighbour-index graph,
        whose entries must name nodes (``0 <= value < n_nodes``); a float type holds
        edge weights.

    Notes
    -----
    ``to_numpy`` costs O(1) and returns a read-only view, valid until the next
    ``append`` to the same node; ``contains`` costs O(degree); ``append`` is amortised
    O(1).
    """

    def __init__(self, n_nodes, dtype=np.int64):
        n_nodes = operator.index(n_nodes)
        if n_nodes < 0:
            raise ValueError(f"n_nodes must be non-negative, got {n_nodes}")
        self._dtype = np.dtype(dtype)
        if self._dtype.kind not in "iuf":
            raise TypeError(f"GraphWrapper holds integers or floats, not {self._dtype}")
        empty = np.empty(0, dtype=self._dtype)
        empty.flags.writeable = False
        self._rows = [empty] * n_nodes      # the view that to_numpy returns, per node
        self._storage = [None] * n_nodes    # (writable, read-only alias) once a node has grown
        self._arena = None                  # where grown nodes get their storage
        self._arena_free = 0
        # The native routines call to_numpy once per node they visit. Bound straight to
        # the row list's item lookup, that call costs a C-level lookup instead of a
        # Python frame, several times less. A subclass's own to_numpy is left in place.
        self._bind_row_lookup()

    def _bind_row_lookup(self):
        if type(self).to_numpy is GraphWrapper.to_numpy:
            self.to_numpy = self._rows.__getitem__

    # Copies and pickles carry the rows, never a lookup bound to another object's list,
    # nor storage: copied one by one, a node's storage and its read-only alias would part.
    # A copied node gets storage of its own when it next grows.
    def __getstate__(self):
        state = self.__dict__.copy()
        state.pop("to_numpy", None)
        state["_rows"] = list(self._rows)   # a list of its own: a shallow copy must not share it
        state["_storage"] = [None] * len(self._rows)
        state["_arena"], state["_arena_free"] = None, 0
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._bind_row_lookup()

    @classmethod
    def from_knn(cls, array, dtype=None):
        """Build a graph from a two-dimensional array whose row ``i`` lists node i's entries.

        Parameters
        ----------
        array : array-like of shape (n_nodes, k)
            Neighbour indices (for an integer dtype) or edge weights, one row per node.
            The data is copied.
        dtype : data-type, optional
            Element type; by default int64 for integer input and float32 otherwise.
        """
        array = np.asarray(array)
        if array.ndim != 2:
            raise ValueError(f"expected a two-dimensional array, got {array.ndim} dimension(s)")
        graph, block = cls._with_entries(array, array.shape[0], dtype)
        graph._rows[:] = list(block)  # in place: to_numpy is bound to this list
        return graph

    @classmethod
    def from_csr(cls, indptr, values, dtype=None):
        """Build a graph from CSR arrays, the inverse of `to_csr`: the list of node i is
        ``values[indptr[i]:indptr[i + 1]]``. The data is copied."""
        indptr = np.asarray(indptr)
        values = np.asarray(values)
        if indptr.ndim != 1 or indptr.shape[0] < 1 or values.ndim != 1:
            raise ValueError("indptr and values must be one-dimensional, indptr with at least one entry")
        lengths = np.diff(indptr)
        if indptr[0] != 0 or indptr[-1] != values.shape[0] or (lengths < 0).any():
            raise ValueError("indptr must rise from 0 to len(values)")
        n_nodes = indptr.shape[0] - 1
        graph, block = cls._with_entries(values, n_nodes, dtype)
        graph._rows[:] = np.split(block, indptr[1:-1]) if n_nodes else []
        return graph

    @classmethod
    def _with_entries(cls, values, n_nodes, dtype):
        """A graph of `n_nodes` and a read-only copy of `values`, whose row views become
        the nodes' lists; a node gets storage of its own only when it first grows."""
        if dtype is None:
            dtype = np.int64 if values.dtype.kind in "iub" else np.float32
        graph = cls(n_nodes, dtype)
        graph._check_entries(values, n_nodes)
        block = np.array(values, dtype=graph._dtype, order="C", copy=True)
        block.flags.writeable = False
        return graph, block

    def __len__(self):
        return len(self._rows)

    def __repr__(self):
        return f"GraphWrapper(n_nodes={len(self)}, entries={sum(map(len, self._rows))}, dtype={self._dtype})"

    @property
    def dtype(self):
        """Element type of the lists."""
        return self._dtype

    def to_numpy(self, node):
        """The list of `node` as a read-only one-dimensional array (a view, not a copy).

        Nodes are indexed as in a Python list: a negative node counts from the end, and
        one outside the graph raises IndexError.
        """
        return self._rows[node]

    def degree(self, node):
        """Number of entries in the list of `node`."""
        return self._rows[self._node(node)].shape[0]

    def contains(self, node, other):
        """Whether `other` is in the list of `node`."""
        # A short list is searched faster as Python values than through an array
        # comparison, whose fixed cost is several microseconds.
        return other in self._rows[self._node(node)].tolist()

    def append(self, node, value):
        """Add `value` at the end of the list of `node`."""
        node = self._node(node)
        value = self._value(value)
        length = self._rows[node].shape[0]
        storage = self._storage[node]
        if storage is None or length == storage[0].shape[0]:
            storage = self._grow(node, length)
        storage[0][length] = value
        self._rows[node] = storage[1][:length + 1]

    # Grown nodes take their storage from a shared arena, whose read-only alias gives
    # every row view without setting flags per append; outgrown storage stays behind,
    # at most as much again as what is in use.
    _ARENA_SIZE = 1 << 16

    def _grow(self, node, length):
        capacity = max(4, 2 * length)
        if self._arena_free < capacity:
            arena = np.empty(max(self._ARENA_SIZE, capacity), dtype=self._dtype)
            alias = arena.view()
            alias.flags.writeable = False
            self._arena, self._arena_free = (arena, alias), arena.shape[0]
        arena, alias = self._arena
        start = arena.shape[0] - self._arena_free
        self._arena_free -= capacity
        storage = (arena[start:start + capacity], alias[start:start + capacity])
        storage[0][:length] = self._rows[node]
        self._storage[node] = storage
        return storage

    def to_csr(self):
        """The whole graph as CSR arrays ``(indptr, values)``: the list of node i is
        ``values[indptr[i]:indptr[i + 1]]``."""
        indptr = np.zeros(len(self._rows) + 1, dtype=np.int64)
        np.cumsum([row.shape[0] for row in self._rows], out=indptr[1:])
        values = np.concatenate(self._rows) if self._rows else np.empty(0, dtype=self._dtype)
        return indptr, values.astype(self._dtype, copy=False)

    def _check_entries(self, values, n_nodes):
        """Neighbour indices must name nodes of this graph; weights must fit the dtype."""
        if self._dtype.kind not in "iu":
            if values.size and values.dtype.kind in "iuf":
                with np.errstate(over="ignore", invalid="ignore"):
                    stored = values.astype(self._dtype)
                overflow = np.isinf(stored) & np.isfinite(values)
                if overflow.any():
                    raise ValueError(f"weight {float(values[overflow].flat[0])!r} does not fit in {self._dtype}")
            return
        if values.dtype.kind not in "iub":
            raise TypeError(f"neighbour indices must be integers, got dtype {values.dtype}")
        if values.size and (values.min() < 0 or values.max() >= n_nodes):
            bad = values[(values < 0) | (values >= n_nodes)].flat[0]
            raise ValueError(f"neighbour index {bad} is outside 0 .. {n_nodes - 1}")
        if values.size and values.max() > np.iinfo(self._dtype).max:
            raise ValueError(f"neighbour index {values.max()} does not fit in {self._dtype}")

    def _node(self, node):
        if type(node) is not int:
            node = operator.index(node)
        if not 0 <= node < len(self._rows):
            raise IndexError(f"node {node} is outside 0 .. {len(self._rows) - 1}")
        return node

    def _value(self, value):
        if self._dtype.kind == "f":
            value = float(value)
            if math.isfinite(value) and abs(value) > self._largest_weight:
                raise ValueError(f"weight {value!r} does not fit in {self._dtype}")
            return value
        if type(value) is not int:
            value = operator.index(value)
        if not 0 <= value < len(self._rows):
            raise ValueError(f"neighbour index {value} is outside 0 .. {len(self._rows) - 1}")
        if value > self._largest_index:
            raise ValueError(f"neighbour index {value} does not fit in {self._dtype}")
        return value

    @property
    def _largest_weight(self):
        return float(np.finfo(self._dtype).max)

    @property
    def _largest_index(self):
        return int(np.iinfo(self._dtype).max)


class _AlgorithmInput:
    """The labelled part of a label vector, in the form the graph routines read.

    Parameters
    ----------
    labels : array-like of int, shape (n,)
        One label per node; -1 marks an unlabelled node.
    data : array-like, optional
        The samples the nodes stand for, kept for reference.

    Attributes
    ----------
    n : int
        Number of nodes.
    labeled_indices : ndarray of int64
        Indices of the labelled nodes in increasing order (writable, C-contiguous).
    labeled_count : int
        Number of labelled nodes.
    labels : ndarray of int32
        A copy of the labels.
    """

    def __init__(self, labels, data=None):
        labels = np.asarray(labels)
        if labels.ndim != 1:
            raise ValueError(f"labels must be one-dimensional, got {labels.ndim} dimension(s)")
        if labels.size and labels.dtype.kind not in "iu":
            if labels.dtype.kind != "f" or not np.all(np.isfinite(labels)) or np.any(labels != np.round(labels)):
                raise ValueError("labels must be integers (-1 for unlabelled)")
        if labels.size and (labels.max() > np.iinfo(np.int32).max or labels.min() < np.iinfo(np.int32).min):
            raise ValueError("labels must fit in 32-bit integers")
        if data is not None and len(data) != labels.shape[0]:
            raise ValueError(f"data has {len(data)} rows but labels has {labels.shape[0]} entries")
        self.labels = labels.astype(np.int32)
        self.data = data
        self.n = int(labels.shape[0])
        self.labeled_indices = np.ascontiguousarray(np.flatnonzero(self.labels != -1), dtype=np.int64)
        self.labeled_count = int(self.labeled_indices.shape[0])

    def __repr__(self):
        return f"_AlgorithmInput(n={self.n}, labeled_count={self.labeled_count})"

// A graph given as CSR arrays (indptr, indices, weights), checked once under the GIL
// and then read as raw memory, with the GIL released, by the sweeps.
#pragma once

#include "frame.hpp"

#include <cstdint>

namespace linka {

template <class Index>
struct CsrRow {
    frame::Elements<const Index> neighbours;
    frame::Elements<const float> weights;

    Py_ssize_t size() const { return neighbours.size(); }
    Index neighbour(Py_ssize_t j) const { return neighbours.unchecked(j); }
    float weight(Py_ssize_t j) const { return weights.unchecked(j); }
};

// Node i's neighbours are indices[indptr[i] .. indptr[i + 1]], with the weights at the
// same positions. Every Elements here has been checked by check_csr().
template <class Index>
class CsrRows {
public:
    CsrRows(frame::Elements<const int64_t> indptr, frame::Elements<const Index> indices,
            frame::Elements<const float> weights, frame::WithoutGil& gil)
        : indptr_(indptr), indices_(indices), weights_(weights), gil_(gil) {}

    CsrRow<Index> row(Py_ssize_t i) const {
        const int64_t start = indptr_.unchecked(i);
        const Py_ssize_t length = indptr_.unchecked(i + 1) - start;
        return {{indices_.data() + start, length}, {weights_.data() + start, length}};
    }

    void poll() { gil_.poll(); }

    // Hints for a reader that jumps between rows: the row's bounds first, and a few
    // rows later, once they have arrived, its neighbours and weights.
    void prefetch_bounds(Py_ssize_t i) const { __builtin_prefetch(indptr_.data() + i); }
    void prefetch_row(Py_ssize_t i) const {
        const int64_t start = indptr_.unchecked(i);
        __builtin_prefetch(indices_.data() + start);
        __builtin_prefetch(weights_.data() + start);
    }

private:
    frame::Elements<const int64_t> indptr_;
    frame::Elements<const Index> indices_;
    frame::Elements<const float> weights_;
    frame::WithoutGil& gil_;
};

// The checks every CSR reader relies on, with ValueErrors that say which one failed:
// indptr holds num_nodes + 1 entries rising from 0 to the number of edges, weights has
// one entry per edge, every index names a node, and node numbers fit 32 bits.
template <class Index>
void check_csr(frame::Elements<const int64_t> indptr, frame::Elements<const Index> indices,
               frame::Elements<const float> weights, Py_ssize_t num_nodes) {
    if (num_nodes > INT32_MAX) {
        frame::raise(PyExc_ValueError, "%zd nodes: at most %d are supported", num_nodes, INT32_MAX);
    }
    if (indptr.size() != num_nodes + 1) {
        frame::raise(PyExc_ValueError, "indptr has %zd entries for %zd nodes; it needs one more than the nodes",
                     indptr.size(), num_nodes);
    }
    const Py_ssize_t num_edges = indices.size();
    if (weights.size() != num_edges) {
        frame::raise(PyExc_ValueError, "weights has %zd entries for %zd indices; it needs one per index",
                     weights.size(), num_edges);
    }
    if (indptr.unchecked(0) != 0 || indptr.unchecked(num_nodes) != num_edges) {
        frame::raise(PyExc_ValueError, "indptr must run from 0 to the number of indices (%zd), not from %lld to %lld",
                     num_edges, static_cast<long long>(indptr.unchecked(0)),
                     static_cast<long long>(indptr.unchecked(num_nodes)));
    }
    for (Py_ssize_t i = 0; i < num_nodes; ++i) {
        if (indptr.unchecked(i + 1) < indptr.unchecked(i)) {
            frame::raise(PyExc_ValueError, "indptr falls from %lld to %lld at node %zd; it must never decrease",
                         static_cast<long long>(indptr.unchecked(i)), static_cast<long long>(indptr.unchecked(i + 1)),
                         i);
        }
    }
    for (Py_ssize_t e = 0; e < num_edges; ++e) {
        const auto index = static_cast<int64_t>(indices.unchecked(e));
        // One comparison rejects negatives and indices past the end alike.
        if (static_cast<uint64_t>(index) >= static_cast<uint64_t>(num_nodes)) {
            frame::raise(PyExc_ValueError, "indices[%zd] is %lld, outside the nodes 0 .. %zd", e,
                         static_cast<long long>(index), num_nodes - 1);
        }
    }
}

}  // namespace linka

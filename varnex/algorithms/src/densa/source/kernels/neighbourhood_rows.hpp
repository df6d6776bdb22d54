// Neighbourhoods held as CSR arrays: row i holds the other points within reach of point
// i. The point itself is not stored: every neighbourhood holds it, so it is counted
// instead (and a breadth-first walk would skip it anyway, the point being visited by
// the time its row is read).
#pragma once

#include "core/csr.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace densa::kernels {

// The rows as the clustering kernel reads them, from the caller's arrays with guarded
// reads (core/csr.hpp): these graphs can be too large to copy. `Poll` answers poll()
// once per point a kernel takes (Ctrl-C, for one).
template <class Index, class Poll>
class CsrRows {
public:
    struct Row {
        std::span<const Index> stored;
        std::uint64_t n_points;

        // The size of the neighbourhood, the point itself included.
        std::int64_t size() const { return static_cast<std::int64_t>(stored.size()) + 1; }
        template <class Visit>
        void for_each(Visit&& visit) const {
            for (const Index j : stored) {
                // One comparison rejects negatives too.
                if (static_cast<std::uint64_t>(j) < n_points) visit(static_cast<std::int32_t>(j));
            }
        }
    };

    CsrRows(const core::Csr<Index>& graph, Poll& poller) : graph_(graph), poller_(poller) {}

    Row row(std::int64_t i) const { return {graph_.guarded_row(i), graph_.size()}; }
    std::int64_t row_size(std::int64_t i) const { return row(i).size(); }
    void prefetch_row(std::int64_t i) const { __builtin_prefetch(graph_.indptr.data() + i); }
    void prefetch_entry(std::int64_t i) const {
        const std::int64_t begin = graph_.indptr[i];
        if (begin >= 0 && begin < static_cast<std::int64_t>(graph_.indices.size())) {
            __builtin_prefetch(graph_.indices.data() + begin);
        }
    }
    void poll() { poller_.poll(); }

private:
    const core::Csr<Index>& graph_;
    Poll& poller_;
};

// The rows of the symmetric graph whose edges are the pairs of `blocks`: what a radius
// self-join reports, each pair once, validated (0 <= a, b < n). Each block holds its
// pairs as 2 * n_pairs point indices. indptr has n + 1 entries, indices room for two
// per pair; `cursor` is n entries of work space. A counting sort, so linear in points
// plus pairs.
//
// The pairs are read twice, with guarded reads (core/csr.hpp): should another thread
// change them in between, no write leaves its row (and a pair that no longer fits is
// dropped).
template <class Index>
void csr_from_pairs(std::span<const std::span<const std::int32_t>> blocks, std::int64_t n, std::int64_t* indptr,
                    Index* indices, std::int64_t* cursor) {
    auto in_range = [n](std::int32_t a, std::int32_t b) { return a >= 0 && a < n && b >= 0 && b < n; };
    for (std::int64_t i = 0; i <= n; ++i) indptr[i] = 0;
    for (const auto& block : blocks) {
        for (std::size_t k = 0; k + 1 < block.size(); k += 2) {
            const std::int32_t a = block[k], b = block[k + 1];
            if (!in_range(a, b)) continue;
            ++indptr[a + 1];
            ++indptr[b + 1];
        }
    }
    for (std::int64_t i = 0; i < n; ++i) {
        indptr[i + 1] += indptr[i];
        cursor[i] = indptr[i];
    }
    for (const auto& block : blocks) {
        for (std::size_t k = 0; k + 1 < block.size(); k += 2) {
            const std::int32_t a = block[k], b = block[k + 1];
            if (!in_range(a, b) || cursor[a] == indptr[a + 1] || cursor[b] == indptr[b + 1]) continue;
            indices[cursor[a]++] = static_cast<Index>(b);
            indices[cursor[b]++] = static_cast<Index>(a);
        }
    }
    // Rows short of what was counted (only if the pairs changed) are closed up.
    std::int64_t end = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t begin = indptr[i];
        indptr[i] = end;
        if (begin == end) {
            end = cursor[i];
        } else {
            for (std::int64_t k = begin; k < cursor[i]; ++k) indices[end++] = indices[k];
        }
    }
    indptr[n] = end;
}

}  // namespace densa::kernels

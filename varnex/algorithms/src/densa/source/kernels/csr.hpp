// Neighbourhoods held as CSR arrays: row i is indices[indptr[i] .. indptr[i + 1]), the
// other points within reach of point i. The point itself is not stored: every
// neighbourhood holds it, so it is counted instead (and a breadth-first walk would skip
// it anyway, the point being visited by the time its row is read).
#pragma once

#include <cstdint>
#include <cstring>

namespace densa::kernels {

// Rows of a CSR graph whose indices were validated (0 <= j < n, j != i) before the
// kernel runs. `Poll` answers poll() once per point a kernel takes (Ctrl-C, for one).
template <class Index, class Poll>
class CsrRows {
public:
    struct Row {
        const Index* first;
        std::int64_t stored;

        // The size of the neighbourhood, the point itself included.
        std::int64_t size() const { return stored + 1; }
        template <class Visit>
        void for_each(Visit&& visit) const {
            for (std::int64_t k = 0; k < stored; ++k) visit(static_cast<std::int32_t>(first[k]));
        }
    };

    CsrRows(const std::int64_t* indptr, const Index* indices, Poll& poller)
        : indptr_(indptr), indices_(indices), poller_(poller) {}

    Row row(std::int64_t i) const { return Row{indices_ + indptr_[i], indptr_[i + 1] - indptr_[i]}; }
    std::int64_t row_size(std::int64_t i) const { return indptr_[i + 1] - indptr_[i] + 1; }
    void prefetch_row(std::int64_t i) const { __builtin_prefetch(indptr_ + i); }
    void prefetch_entry(std::int64_t i) const { __builtin_prefetch(indices_ + indptr_[i]); }
    void poll() { poller_.poll(); }

private:
    const std::int64_t* indptr_;
    const Index* indices_;
    Poll& poller_;
};

// One block of unordered pairs (a, b), a != b: 2 * n_pairs point indices.
struct PairBlock {
    const std::int32_t* pairs;
    std::int64_t n_pairs;
};

// The rows of the symmetric graph whose edges are the pairs of `blocks`: what a radius
// self-join reports, each pair once. indptr has n + 1 entries, indices two per pair. A
// counting sort, so linear in points plus pairs.
template <class Blocks, class Index>
void csr_from_pairs(const Blocks& blocks, std::int64_t n, std::int64_t* indptr, Index* indices) {
    // Row ends first: indptr[i + 1] = end of row i.
    for (std::int64_t i = 0; i <= n; ++i) indptr[i] = 0;
    for (const PairBlock& block : blocks) {
        for (std::int64_t k = 0; k < 2 * block.n_pairs; ++k) ++indptr[block.pairs[k] + 1];
    }
    for (std::int64_t i = 0; i < n; ++i) indptr[i + 1] += indptr[i];
    const std::int64_t nnz = indptr[n];
    // Filled from the back of each row, which leaves indptr[i + 1] at the start of row i.
    for (const PairBlock& block : blocks) {
        for (std::int64_t k = 0; k < 2 * block.n_pairs; k += 2) {
            const std::int32_t a = block.pairs[k], b = block.pairs[k + 1];
            indices[--indptr[a + 1]] = static_cast<Index>(b);
            indices[--indptr[b + 1]] = static_cast<Index>(a);
        }
    }
    std::memmove(indptr, indptr + 1, static_cast<std::size_t>(n) * sizeof *indptr);
    indptr[n] = nnz;
}

}  // namespace densa::kernels

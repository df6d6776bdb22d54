// Neighbourhoods held as CSR arrays: row i is indices[indptr[i] .. indptr[i + 1]).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace densa::kernels {

// Rows of a CSR graph whose indices were validated (0 <= j < n) before the kernel
// runs. `Poll` answers poll() once per point a kernel takes (Ctrl-C, for one).
template <class Index, class Poll>
class CsrRows {
public:
    struct Row {
        const Index* first;
        std::int64_t length;

        std::int64_t size() const { return length; }
        template <class Visit>
        void for_each(Visit&& visit) const {
            for (std::int64_t k = 0; k < length; ++k) visit(static_cast<std::int32_t>(first[k]));
        }
    };

    CsrRows(const std::int64_t* indptr, const Index* indices, Poll& poller)
        : indptr_(indptr), indices_(indices), poller_(poller) {}

    Row row(std::int64_t i) const { return Row{indices_ + indptr_[i], indptr_[i + 1] - indptr_[i]}; }
    std::int64_t row_size(std::int64_t i) const { return indptr_[i + 1] - indptr_[i]; }
    void prefetch_row(std::int64_t i) const { __builtin_prefetch(indptr_ + i); }
    void prefetch_entry(std::int64_t i) const { __builtin_prefetch(indices_ + indptr_[i]); }
    void poll() { poller_.poll(); }

private:
    const std::int64_t* indptr_;
    const Index* indices_;
    Poll& poller_;
};

// The rows of the symmetric graph given by `n_pairs` unordered pairs (a, b), a != b,
// stored as 2 * n_pairs values, each point listed first in its own row: the result of a
// radius self-query that reports every pair once. indptr has n + 1 entries and indices
// n + 2 * n_pairs. A counting sort, so linear in points plus pairs.
template <class Pair, class Index>
void csr_from_pairs(const Pair* pairs, std::int64_t n_pairs, std::int64_t n, std::int64_t* indptr, Index* indices) {
    // Row ends first: indptr[i + 1] = end of row i.
    std::fill(indptr, indptr + n + 1, std::int64_t{1});
    indptr[0] = 0;
    for (std::int64_t k = 0; k < 2 * n_pairs; ++k) ++indptr[pairs[k] + 1];
    for (std::int64_t i = 0; i < n; ++i) indptr[i + 1] += indptr[i];
    const std::int64_t nnz = indptr[n];
    // Filled from the back of each row, which leaves indptr[i + 1] at the start of row i.
    for (std::int64_t k = 2 * n_pairs - 2; k >= 0; k -= 2) {
        const auto a = pairs[k], b = pairs[k + 1];
        indices[--indptr[a + 1]] = static_cast<Index>(b);
        indices[--indptr[b + 1]] = static_cast<Index>(a);
    }
    for (std::int64_t i = 0; i < n; ++i) indices[--indptr[i + 1]] = static_cast<Index>(i);
    std::memmove(indptr, indptr + 1, static_cast<std::size_t>(n) * sizeof *indptr);
    indptr[n] = nnz;
}

}  // namespace densa::kernels

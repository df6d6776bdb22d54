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
//
// The arrays belong to the caller, and the kernel runs without the GIL: another thread
// could still write into them. So every read stays in bounds whatever they hold (a row
// outside the indices reads as empty, an index outside the points is passed over);
// with arrays left alone, as validated, these tests never fail.
template <class Index, class Poll>
class CsrRows {
public:
    struct Row {
        const Index* first;
        std::int64_t stored;
        std::int64_t n_points;

        // The size of the neighbourhood, the point itself included.
        std::int64_t size() const { return stored + 1; }
        template <class Visit>
        void for_each(Visit&& visit) const {
            for (std::int64_t k = 0; k < stored; ++k) {
                const auto j = static_cast<std::int64_t>(first[k]);
                if (j >= 0 && j < n_points) visit(static_cast<std::int32_t>(j));
            }
        }
    };

    CsrRows(const std::int64_t* indptr, const Index* indices, std::int64_t nnz, std::int64_t n_points, Poll& poller)
        : indptr_(indptr), indices_(indices), n_points_(n_points), nnz_(nnz), poller_(poller) {}

    Row row(std::int64_t i) const {
        const std::int64_t begin = indptr_[i], end = indptr_[i + 1];
        if (begin < 0 || end > nnz_ || begin > end) return Row{indices_, 0, n_points_};
        return Row{indices_ + begin, end - begin, n_points_};
    }
    std::int64_t row_size(std::int64_t i) const { return row(i).size(); }
    void prefetch_row(std::int64_t i) const { __builtin_prefetch(indptr_ + i); }
    void prefetch_entry(std::int64_t i) const {
        const std::int64_t begin = indptr_[i];
        if (begin >= 0 && begin < nnz_) __builtin_prefetch(indices_ + begin);
    }
    void poll() { poller_.poll(); }

private:
    const std::int64_t* indptr_;
    const Index* indices_;
    std::int64_t n_points_;
    std::int64_t nnz_;
    Poll& poller_;
};

// One block of unordered pairs (a, b), a != b: 2 * n_pairs point indices.
struct PairBlock {
    const std::int32_t* pairs;
    std::int64_t n_pairs;
};

// The rows of the symmetric graph whose edges are the pairs of `blocks`: what a radius
// self-join reports, each pair once, validated (0 <= a, b < n). indptr has n + 1
// entries, indices room for two per pair; `cursor` is n entries of work space. A
// counting sort, so linear in points plus pairs.
//
// The pairs are read twice, without the GIL: should another thread change them in
// between, no write leaves its row (and a pair that no longer fits is dropped).
template <class Blocks, class Index>
void csr_from_pairs(const Blocks& blocks, std::int64_t n, std::int64_t* indptr, Index* indices,
                    std::int64_t* cursor) {
    auto in_range = [n](std::int32_t a, std::int32_t b) { return a >= 0 && a < n && b >= 0 && b < n; };
    for (std::int64_t i = 0; i <= n; ++i) indptr[i] = 0;
    for (const PairBlock& block : blocks) {
        for (std::int64_t k = 0; k < 2 * block.n_pairs; k += 2) {
            const std::int32_t a = block.pairs[k], b = block.pairs[k + 1];
            if (!in_range(a, b)) continue;
            ++indptr[a + 1];
            ++indptr[b + 1];
        }
    }
    for (std::int64_t i = 0; i < n; ++i) {
        indptr[i + 1] += indptr[i];
        cursor[i] = indptr[i];
    }
    for (const PairBlock& block : blocks) {
        for (std::int64_t k = 0; k < 2 * block.n_pairs; k += 2) {
            const std::int32_t a = block.pairs[k], b = block.pairs[k + 1];
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

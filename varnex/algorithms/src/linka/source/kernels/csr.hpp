// A graph as CSR arrays: the neighbours of node i are indices[indptr[i] .. indptr[i + 1]),
// their edge weights the same stretch of weights. Validated once by the entry point that
// builds it, then read without checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace linka {

// A stretch of a row, read without bounds checks.
template <class T>
class RowSpan {
public:
    RowSpan(const T* data, std::ptrdiff_t size) : data_(data), size_(size) {}
    std::ptrdiff_t size() const { return size_; }
    T unchecked(std::ptrdiff_t j) const { return data_[j]; }

private:
    const T* data_;
    std::ptrdiff_t size_;
};

template <class I>
struct Csr {
    using index = I;
    std::span<const std::int64_t> indptr;  // size() + 1 entries, rising from 0
    std::span<const I> indices;            // every entry names a node
    std::span<const float> weights;        // at least as many entries as indices

    std::size_t size() const { return indptr.size() - 1; }
    std::ptrdiff_t degree(std::size_t i) const { return indptr[i + 1] - indptr[i]; }
    RowSpan<I> row(std::size_t i) const { return {indices.data() + indptr[i], degree(i)}; }
    RowSpan<float> row_weights(std::size_t i) const { return {weights.data() + indptr[i], degree(i)}; }
};

}  // namespace linka

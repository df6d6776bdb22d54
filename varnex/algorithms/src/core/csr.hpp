// A graph, or a table of neighbourhoods, as CSR arrays: row i is
// indices[indptr[i] .. indptr[i + 1]), with its weights at the same positions.
//
// Arrays that another thread may change while the GIL is released. The arrays of an
// array entry point belong to its caller, and the kernels run without the GIL, so a
// second Python thread can write into them meanwhile. Whatever it writes, no read or
// write may leave the arrays: the result may then be meaningless, but the process
// survives. An entry point keeps this promise in one of two ways:
//  - snapshot: the offsets and indices are copied under the GIL (Snapshot below) and
//    checked as copies; kernels then trust what they read, and the hot loops pay
//    nothing. For kernels that read a row more than once, or count before they fill.
//  - guarded reads: the caller's arrays are checked under the GIL, then read through
//    guarded_row() and is_node(), which cost a comparison each and hold whatever the
//    arrays hold. For kernels over graphs too large to copy cheaply.
// Values that are never used as offsets or indices (weights, labels, flags, points)
// are read and written in place either way: any bits are harmless there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace core {

// One row with its weights, position by position.
template <class I, class W>
struct WeightedRow {
    std::span<const I> nodes;
    std::span<const W> weights;

    std::ptrdiff_t size() const { return static_cast<std::ptrdiff_t>(nodes.size()); }
    I neighbour(std::ptrdiff_t j) const { return nodes[j]; }
    W weight(std::ptrdiff_t j) const { return weights[j]; }
};

template <class I, class W = float>
struct Csr {
    using index = I;
    std::span<const std::int64_t> indptr;  // size() + 1 entries
    std::span<const I> indices;
    std::span<const W> weights;            // empty where only the structure is read

    std::size_t size() const { return indptr.empty() ? 0 : indptr.size() - 1; }
    std::ptrdiff_t degree(std::size_t i) const { return indptr[i + 1] - indptr[i]; }
    std::span<const I> row(std::size_t i) const { return indices.subspan(indptr[i], degree(i)); }
    std::span<const W> row_weights(std::size_t i) const { return weights.subspan(indptr[i], degree(i)); }
    WeightedRow<I, W> weighted_row(std::size_t i) const { return {row(i), row_weights(i)}; }

    // Row i whatever indptr holds now: empty when its bounds leave the indices.
    std::span<const I> guarded_row(std::size_t i) const {
        const std::int64_t begin = indptr[i], end = indptr[i + 1];
        const auto entries = static_cast<std::int64_t>(indices.size());
        if (begin < 0 || end > entries || begin > end) return {};
        return indices.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
    }
    // The same with its weights, for graphs checked to have one weight per index.
    WeightedRow<I, W> guarded_weighted_row(std::size_t i) const {
        const std::span<const I> nodes = guarded_row(i);
        if (nodes.empty()) return {};
        return {nodes, weights.subspan(static_cast<std::size_t>(nodes.data() - indices.data()), nodes.size())};
    }
    // Whether `j`, read from a row, names a node. One comparison rejects negatives too.
    bool is_node(std::int64_t j) const { return static_cast<std::uint64_t>(j) < static_cast<std::uint64_t>(size()); }
};

// The checks every kernel relies on, and the options that differ between callers.
struct CsrRules {
    std::int64_t nodes = -1;  // required number of rows; -1: as many as indptr gives
    enum class Weights { Unread, AtLeastOnePerIndex, OnePerIndex } weights = Weights::Unread;
    bool self_loops = true;   // whether a row may list its own node
};

// The first rule a graph breaks, in this order: indptr's length (for a required number
// of rows, or empty), its start at 0, a fall, its end at the number of indices, the
// number of weights, then the indices in storage order (outside the nodes, or a row
// listing its own node). Entry points report it in their own words.
struct CsrFault {
    enum class Kind { None, Length, Start, Falls, End, Weights, Index, SelfLoop } kind = Kind::None;
    std::int64_t row = 0;       // Falls: the row whose end is below its start; Index, SelfLoop: the row
    std::int64_t position = 0;  // Index, SelfLoop: the position in indices
    std::int64_t value = 0;     // Index, SelfLoop: the index read there
    explicit operator bool() const { return kind != Kind::None; }
};

template <class I, class W>
CsrFault find_fault(const Csr<I, W>& graph, const CsrRules& rules) {
    using Kind = CsrFault::Kind;
    const auto& indptr = graph.indptr;
    if (indptr.empty() || (rules.nodes >= 0 && static_cast<std::int64_t>(indptr.size()) != rules.nodes + 1)) {
        return {Kind::Length};
    }
    const auto n = static_cast<std::int64_t>(graph.size());
    const auto entries = static_cast<std::int64_t>(graph.indices.size());
    if (indptr[0] != 0) return {Kind::Start};
    for (std::int64_t i = 0; i < n; ++i) {
        if (indptr[i + 1] < indptr[i]) return {Kind::Falls, i};
    }
    if (indptr[n] != entries) return {Kind::End};
    const auto weights = static_cast<std::int64_t>(graph.weights.size());
    if ((rules.weights == CsrRules::Weights::OnePerIndex && weights != entries) ||
        (rules.weights == CsrRules::Weights::AtLeastOnePerIndex && weights < entries)) {
        return {Kind::Weights};
    }
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int64_t e = indptr[i]; e < indptr[i + 1]; ++e) {
            const auto j = static_cast<std::int64_t>(graph.indices[e]);
            if (!graph.is_node(j)) return {Kind::Index, i, e, j};
            if (!rules.self_loops && j == i) return {Kind::SelfLoop, i, e, j};
        }
    }
    return {};
}

// Private copies of the arrays read as offsets or indices, taken while the caller's
// arrays cannot change, and the graph over them (the weights still the caller's).
template <class I, class W = float>
class Snapshot {
public:
    Snapshot(std::span<const std::int64_t> indptr, std::span<const I> indices, std::span<const W> weights)
        : indptr_(indptr.begin(), indptr.end()), indices_(indices.begin(), indices.end()), weights_(weights) {}

    Csr<I, W> graph() const { return {indptr_, indices_, weights_}; }

private:
    std::vector<std::int64_t> indptr_;
    std::vector<I> indices_;
    std::span<const W> weights_;
};

}  // namespace core

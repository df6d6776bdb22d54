// A directed graph made undirected, on the threads of a pool.
//
// Node i lists its own entries first, in their order, then every node s that lists i
// while i does not list s, once for each time s lists it, with the weight s gave the
// edge; those come by weight (NaN last), then by s. A stable sort of all edges by
// (row, reverse, weight) gives the same lists; here each reverse edge is counted and
// placed by atomic counters, in whatever order the threads reach it, and each row's
// reverse part is then sorted by (weight, s): equal keys are equal entries, so the
// result is the same on any number of threads.
#pragma once

#include "core/csr.hpp"
#include "core/threads.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace linka {

namespace detail {

template <class I>
bool lists(const core::Csr<I>& graph, std::int64_t from, I to) {
    for (const I j : graph.row(static_cast<std::size_t>(from))) {
        if (j == to) return true;
    }
    return false;
}

// NaN after every number, so that the order is total.
inline bool lighter(float a, float b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

}  // namespace detail

// `graph` must hold indices of its own nodes and one weight per index, and stay as it
// is from count() to fill(). between() runs on the calling thread after each chunk.
template <class I>
class SymmetricRows {
public:
    SymmetricRows(core::Pool& pool, const core::Csr<I>& graph)
        : pool_(pool), graph_(graph), n_(graph.size()), chunks_(core::chunk_count(n_, kRows)) {}

    // The offsets of the undirected lists into indptr (graph.size() + 1 entries);
    // returns their number of entries.
    template <class Between>
    std::int64_t count(std::span<std::int64_t> indptr, Between&& between) {
        // Whether each edge needs its reverse, and how many reverse edges each node gets.
        reverse_.assign(graph_.indices.size(), 0);
        place_.assign(n_, 0);
        pool_.run(
            chunks_,
            [&](std::size_t c, std::size_t) {
                // The rows of the targets lie anywhere: their bounds are asked for a
                // few edges ahead, and their entries once the bounds have arrived.
                const std::int64_t last = graph_.indptr[end_of(c)];
                for (std::size_t s = c * kRows; s < end_of(c); ++s) {
                    for (std::int64_t e = graph_.indptr[s]; e < graph_.indptr[s + 1]; ++e) {
                        if (e + kAhead < last) __builtin_prefetch(graph_.indptr.data() + graph_.indices[e + kAhead]);
                        if (e + kAhead / 2 < last) {
                            __builtin_prefetch(graph_.indices.data() + graph_.indptr[graph_.indices[e + kAhead / 2]]);
                        }
                        const I t = graph_.indices[e];
                        if (detail::lists(graph_, t, static_cast<I>(s))) continue;
                        reverse_[e] = 1;
                        std::atomic_ref<std::int64_t>(place_[t]).fetch_add(1, std::memory_order_relaxed);
                    }
                }
            },
            between);
        indptr[0] = 0;
        for (std::size_t i = 0; i < n_; ++i) {
            const std::int64_t added = place_[i];
            place_[i] = indptr[i] + graph_.degree(i);  // where i's next reverse edge goes
            indptr[i + 1] = place_[i] + added;
        }
        indptr_ = indptr;
        return indptr[n_];
    }

    // The lists, into as many indices and weights as count() returned.
    template <class Between>
    void fill(std::span<I> indices, std::span<float> weights, Between&& between) {
        pool_.run(
            chunks_,
            [&](std::size_t c, std::size_t) {
                const std::int64_t last = graph_.indptr[end_of(c)];
                for (std::size_t s = c * kRows; s < end_of(c); ++s) {
                    const auto own = graph_.row(s);
                    const auto own_weights = graph_.row_weights(s);
                    std::copy(own.begin(), own.end(), indices.begin() + indptr_[s]);
                    std::copy(own_weights.begin(), own_weights.end(), weights.begin() + indptr_[s]);
                    for (std::int64_t e = graph_.indptr[s]; e < graph_.indptr[s + 1]; ++e) {
                        if (e + kAhead < last && reverse_[e + kAhead] != 0) {
                            __builtin_prefetch(place_.data() + graph_.indices[e + kAhead], 1);
                        }
                        if (reverse_[e] == 0) continue;
                        const I t = graph_.indices[e];
                        const std::int64_t at =
                            std::atomic_ref<std::int64_t>(place_[t]).fetch_add(1, std::memory_order_relaxed);
                        indices[at] = static_cast<I>(s);
                        weights[at] = graph_.weights[e];
                    }
                }
            },
            between);
        std::vector<std::vector<std::pair<float, I>>> buffers(pool_.threads());
        pool_.run(
            chunks_,
            [&](std::size_t c, std::size_t thread) {
                auto& entries = buffers[thread];
                for (std::size_t t = c * kRows; t < end_of(c); ++t) {
                    const std::int64_t first = indptr_[t] + graph_.degree(t), last = indptr_[t + 1];
                    if (last - first < 2) continue;
                    entries.clear();
                    for (std::int64_t at = first; at < last; ++at) entries.emplace_back(weights[at], indices[at]);
                    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
                        if (detail::lighter(a.first, b.first)) return true;
                        if (detail::lighter(b.first, a.first)) return false;
                        return a.second < b.second;
                    });
                    for (std::int64_t at = first; at < last; ++at) {
                        weights[at] = entries[at - first].first;
                        indices[at] = entries[at - first].second;
                    }
                }
            },
            between);
    }

private:
    static constexpr std::size_t kRows = 1 << 13;
    static constexpr std::int64_t kAhead = 16;  // edges between a prefetch and its use
    std::size_t end_of(std::size_t c) const { return std::min(n_, (c + 1) * kRows); }

    core::Pool& pool_;
    const core::Csr<I>& graph_;
    std::size_t n_, chunks_;
    std::vector<std::uint8_t> reverse_;
    std::vector<std::int64_t> place_;
    std::span<const std::int64_t> indptr_;
};

}  // namespace linka

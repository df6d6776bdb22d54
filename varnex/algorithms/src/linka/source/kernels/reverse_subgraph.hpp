// The part of a graph that a propagation over a set of nodes reads, each of them also
// listing the nodes whose k-NN rows list it (see reverse_subgraph in the graph pipeline).
//
// Reads the caller's arrays through guarded reads (core/csr.hpp), each value once: the
// nodes' own rows are copied first, and each k-NN row is copied before it is examined.
// An index that names no node is reported (stray_index), the result then meaningless.
// The k-NN rows are examined in chunks on the threads of a pool, each chunk keeping what
// it found, and the chunks are joined in order: the result is the one a single thread
// finds, on any number of threads.
#pragma once

#include "core/csr.hpp"
#include "core/threads.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linka {

struct Subgraph {
    std::vector<std::int64_t> members;  // sorted: the nodes and every node they list
    std::vector<std::int64_t> indptr;   // over positions in members
    std::vector<std::int64_t> indices;  // positions in members
    std::vector<float> weights;
    bool added = false;                 // whether any edge was added
    bool stray_index = false;           // whether a row read lists an index that is no node
};

// `nodes`: sorted, distinct nodes of both graphs (same number of nodes). between() runs on
// the calling thread after each chunk it finishes.
template <class I, class Between>
Subgraph reverse_subgraph(core::Pool& pool, const core::Csr<I>& graph, const core::Csr<I>& knn,
                             std::span<const std::int64_t> nodes, Between&& between) {
    const auto n = static_cast<std::int64_t>(graph.size());
    // Where each wanted node sits in `nodes`, -1 for the others.
    // One byte per node to test every k-NN entry against: it stays in cache.
    std::vector<std::int64_t> slot(static_cast<std::size_t>(n), -1);
    std::vector<std::uint8_t> wanted(static_cast<std::size_t>(n), 0);
    for (std::size_t p = 0; p < nodes.size(); ++p) {
        slot[nodes[p]] = static_cast<std::int64_t>(p);
        wanted[nodes[p]] = 1;
    }
    // Own rows; an index that names no node reads as the row's own node.
    Subgraph out;
    std::vector<std::int64_t> own_start{0}, own_targets;
    std::vector<float> own_weights;
    for (const std::int64_t t : nodes) {
        const auto row = graph.guarded_weighted_row(static_cast<std::size_t>(t));
        for (std::ptrdiff_t j = 0; j < row.size(); ++j) {
            const auto v = static_cast<std::int64_t>(row.neighbour(j));
            out.stray_index |= !graph.is_node(v);
            own_targets.push_back(graph.is_node(v) ? v : t);
            own_weights.push_back(row.weight(j));
        }
        own_start.push_back(static_cast<std::int64_t>(own_targets.size()));
    }
    auto lists = [&](std::int64_t p, std::int64_t v) {
        const auto first = own_targets.begin() + own_start[p], last = own_targets.begin() + own_start[p + 1];
        return std::find(first, last, v) != last;
    };

    // Edges s -> t of the k-NN rows into a wanted t that t does not list back, the first
    // of each pair: slot of t, s and the weight.
    struct Found {
        std::int64_t slot, source;
        float weight;
    };
    constexpr std::size_t kRows = 1 << 13;
    const std::size_t chunks = core::chunk_count(static_cast<std::size_t>(n), kRows);
    std::vector<std::vector<Found>> found(chunks);
    std::vector<std::vector<I>> rows(pool.threads());
    std::vector<std::uint8_t> stray(chunks, 0);
    pool.run(
        chunks,
        [&](std::size_t c, std::size_t thread) {
            std::vector<I>& row = rows[thread];
            const std::size_t end = std::min(static_cast<std::size_t>(n), (c + 1) * kRows);
            for (std::size_t s = c * kRows; s < end; ++s) {
                const auto stored = knn.guarded_weighted_row(s);
                row.assign(stored.nodes.begin(), stored.nodes.end());
                for (std::size_t j = 0; j < row.size(); ++j) {
                    const auto t = static_cast<std::int64_t>(row[j]);
                    if (!knn.is_node(t)) {
                        stray[c] = 1;
                        continue;
                    }
                    if (wanted[t] == 0) continue;
                    if (std::find(row.begin(), row.begin() + j, row[j]) != row.begin() + j) continue;
                    if (lists(slot[t], static_cast<std::int64_t>(s))) continue;
                    found[c].push_back({slot[t], static_cast<std::int64_t>(s), stored.weight(j)});
                }
            }
        },
        between);

    out.stray_index |= std::find(stray.begin(), stray.end(), 1) != stray.end();
    // The found edges by wanted node, in the order found.
    std::vector<std::int64_t> added_start(nodes.size() + 1, 0);
    for (const auto& chunk : found) {
        for (const Found& edge : chunk) ++added_start[edge.slot + 1];
    }
    for (std::size_t p = 0; p < nodes.size(); ++p) added_start[p + 1] += added_start[p];
    out.added = added_start.back() > 0;
    if (!out.added || out.stray_index) return out;
    std::vector<std::int64_t> added_sources(static_cast<std::size_t>(added_start.back()));
    std::vector<float> added_weights(added_sources.size());
    {
        std::vector<std::int64_t> next(added_start.begin(), added_start.end() - 1);
        for (const auto& chunk : found) {
            for (const Found& edge : chunk) {
                const std::int64_t at = next[edge.slot]++;
                added_sources[at] = edge.source;
                added_weights[at] = edge.weight;
            }
        }
    }
    found = {};

    // Members: the nodes and every node they list, numbered in order.
    std::vector<std::int64_t>& local = slot;  // reused: position in members, -1 outside
    std::fill(local.begin(), local.end(), -1);
    for (const std::int64_t t : nodes) local[t] = 0;
    for (const std::int64_t v : own_targets) local[v] = 0;
    for (const std::int64_t v : added_sources) local[v] = 0;
    for (std::int64_t v = 0; v < n; ++v) {
        if (local[v] < 0) continue;
        local[v] = static_cast<std::int64_t>(out.members.size());
        out.members.push_back(v);
    }
    out.indptr.assign(out.members.size() + 1, 0);
    std::size_t p = 0;  // position of the next wanted node in `nodes`
    for (std::size_t m = 0; m < out.members.size(); ++m) {
        if (p < nodes.size() && nodes[p] == out.members[m]) {
            for (std::int64_t e = own_start[p]; e < own_start[p + 1]; ++e) {
                out.indices.push_back(local[own_targets[e]]);
                out.weights.push_back(own_weights[e]);
            }
            for (std::int64_t e = added_start[p]; e < added_start[p + 1]; ++e) {
                out.indices.push_back(local[added_sources[e]]);
                out.weights.push_back(added_weights[e]);
            }
            ++p;
        }
        out.indptr[m + 1] = static_cast<std::int64_t>(out.indices.size());
    }
    return out;
}

}  // namespace linka

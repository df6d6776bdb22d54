// Spreading the reached part along k-NN rows, wave by wave.
//
// An unreached node whose row holds a reached node joins the first such node in row
// order and is reached in turn; nodes whose rows hold it follow. A breadth-first
// search over the rows read backwards, so every node is looked at a bounded number of
// times however long the chains of nodes that reach the reached part only through
// each other.
#pragma once

#include "csr.hpp"

#include <cstdint>
#include <vector>

namespace linka {

// Joins every unreached node that reaches the reached part through the rows of `knn`,
// in breadth-first order from it; `join(node, target, weight)` adds the edge pair and
// `reached` is updated. Returns how many nodes are left unreached. `poll` is called
// once per node.
template <class I, class Join, class Poll>
std::int64_t spread(const Csr<I>& knn, std::uint8_t* reached, Join join, Poll poll) {
    const auto n = static_cast<std::int64_t>(knn.size());
    // Rows read backwards, for unreached nodes only: who lists each node.
    std::vector<std::int64_t> listed_by_start(n + 1, 0);
    std::int64_t unreached = 0;
    for (std::int64_t u = 0; u < n; ++u) {
        if (reached[u] != 0) continue;
        ++unreached;
        for (auto e = knn.indptr[u]; e < knn.indptr[u + 1]; ++e) ++listed_by_start[knn.indices[e] + 1];
    }
    if (unreached == 0) return 0;
    for (std::int64_t v = 0; v < n; ++v) listed_by_start[v + 1] += listed_by_start[v];
    std::vector<I> listed_by(listed_by_start[n]);
    {
        std::vector<std::int64_t> next(listed_by_start.begin(), listed_by_start.end() - 1);
        for (std::int64_t u = 0; u < n; ++u) {
            if (reached[u] != 0) continue;
            for (auto e = knn.indptr[u]; e < knn.indptr[u + 1]; ++e) listed_by[next[knn.indices[e]]++] = static_cast<I>(u);
        }
    }

    std::vector<std::uint8_t> queued(reached, reached + n);
    std::vector<I> queue;
    for (std::int64_t u = 0; u < n; ++u) {
        if (reached[u] != 0) continue;
        for (auto e = knn.indptr[u]; e < knn.indptr[u + 1]; ++e) {
            if (reached[knn.indices[e]] == 0) continue;
            queue.push_back(static_cast<I>(u));
            queued[u] = 1;
            break;
        }
    }
    for (std::size_t front = 0; front < queue.size(); ++front) {
        poll();
        const I u = queue[front];
        for (auto e = knn.indptr[u]; e < knn.indptr[u + 1]; ++e) {
            if (reached[knn.indices[e]] == 0) continue;
            join(u, knn.indices[e], knn.weights.empty() ? 0.0f : knn.weights[e]);
            break;
        }
        reached[u] = 1;
        --unreached;
        for (auto e = listed_by_start[u]; e < listed_by_start[u + 1]; ++e) {
            const I v = listed_by[e];
            if (queued[v] != 0) continue;
            queued[v] = 1;
            queue.push_back(v);
        }
    }
    return unreached;
}

}  // namespace linka

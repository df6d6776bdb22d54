// Which nodes reach the reached part along k-NN rows.
//
// A node whose row holds a reached node reaches it, and so, in turn, does every node
// whose row holds that node. A breadth-first search over the rows read backwards, so
// every node is looked at a bounded number of times however long the chains of nodes
// that lead to the reached part only through each other.
#pragma once

#include "core/csr.hpp"

#include <cstdint>
#include <vector>

namespace linka {

// Marks in `reached` every node with a path along the rows of `knn` to a node marked
// there. Returns how many nodes are left unmarked. `poll` is called once per node.
template <class I, class Poll>
std::int64_t reach(const core::Csr<I>& knn, std::uint8_t* reached, Poll poll) {
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
            for (auto e = knn.indptr[u]; e < knn.indptr[u + 1]; ++e) {
                listed_by[next[knn.indices[e]]++] = static_cast<I>(u);
            }
        }
    }

    // Nodes are marked as they are queued; the reached ones start the search.
    std::vector<I> queue;
    queue.reserve(static_cast<std::size_t>(n - unreached));
    for (std::int64_t v = 0; v < n; ++v) {
        if (reached[v] != 0 && listed_by_start[v + 1] > listed_by_start[v]) queue.push_back(static_cast<I>(v));
    }
    for (std::size_t front = 0; front < queue.size(); ++front) {
        poll();
        const I v = queue[front];
        for (auto e = listed_by_start[v]; e < listed_by_start[v + 1]; ++e) {
            const I u = listed_by[e];
            if (reached[u] != 0) continue;
            reached[u] = 1;
            --unreached;
            queue.push_back(u);
        }
    }
    return unreached;
}

}  // namespace linka

// Closed groups: sets of unreached nodes whose neighbour lists lead only into the set.
//
// Among the unreached nodes, the strongly connected components that no edge leaves
// are exactly the smallest such sets. Every other unreached node has a path into one
// of them, so joining each of them once to the reached part lets the k-NN lists reach
// every node. Found by Tarjan's algorithm, iteratively, so deep graphs cannot
// overflow the call stack.
#pragma once

#include "core/csr.hpp"

#include <cstdint>
#include <vector>

namespace linka {

// group[v] = the closed group of v, numbered 0, 1, … in the order the groups are
// completed, or -1 when v is reached or can leave its strongly connected component.
// Returns the number of groups. `poll` is called once per node.
template <class I, class Poll>
std::int64_t closed_groups(const core::Csr<I>& graph, const std::uint8_t* reached, std::int64_t* group, Poll poll) {
    const auto n = static_cast<std::int64_t>(graph.size());
    constexpr std::int64_t kUnseen = -1;
    // order[v]: discovery order while v is open; low[v]: the lowest order it reaches.
    std::vector<std::int64_t> order(n, kUnseen), low(n);
    std::vector<I> open;                                  // Tarjan's stack
    std::vector<std::pair<I, std::int64_t>> path;         // (node, next edge position)
    std::vector<std::uint8_t> on_open(n, 0);
    std::int64_t counter = 0, components = 0;
    // Component numbers go into `group` as components complete; -2 - c marks component c
    // until it is known whether an edge leaves it.
    for (std::int64_t v = 0; v < n; ++v) group[v] = -1;

    for (std::int64_t root = 0; root < n; ++root) {
        if (reached[root] != 0 || order[root] != kUnseen) continue;
        path.emplace_back(static_cast<I>(root), graph.indptr[root]);
        order[root] = low[root] = counter++;
        open.push_back(static_cast<I>(root));
        on_open[root] = 1;
        while (!path.empty()) {
            auto& [v, position] = path.back();
            if (position < graph.indptr[v + 1]) {
                const I w = graph.indices[position++];
                if (reached[w] != 0) continue;
                if (order[w] == kUnseen) {
                    poll();
                    order[w] = low[w] = counter++;
                    open.push_back(w);
                    on_open[w] = 1;
                    path.emplace_back(w, graph.indptr[w]);
                } else if (on_open[w] != 0 && order[w] < low[v]) {
                    low[v] = order[w];
                }
                continue;
            }
            const I done = v;
            path.pop_back();
            if (!path.empty() && low[done] < low[path.back().first]) low[path.back().first] = low[done];
            if (low[done] != order[done]) continue;
            I w;
            do {
                w = open.back();
                open.pop_back();
                on_open[w] = 0;
                group[w] = -2 - components;
            } while (w != done);
            ++components;
        }
    }

    // A component is closed when every edge of its nodes stays inside it.
    std::vector<std::uint8_t> leaves(components, 0);
    for (std::int64_t v = 0; v < n; ++v) {
        if (group[v] == -1) continue;
        const std::int64_t c = -2 - group[v];
        for (auto position = graph.indptr[v]; position < graph.indptr[v + 1] && leaves[c] == 0; ++position) {
            const I w = graph.indices[position];
            if (reached[w] != 0 || group[w] != group[v]) leaves[c] = 1;
        }
    }
    std::vector<std::int64_t> number(components, -1);
    std::int64_t closed = 0;
    for (std::int64_t c = 0; c < components; ++c) {
        if (leaves[c] == 0) number[c] = closed++;
    }
    for (std::int64_t v = 0; v < n; ++v) {
        if (group[v] != -1) group[v] = number[-2 - group[v]];
    }
    return closed;
}

}  // namespace linka

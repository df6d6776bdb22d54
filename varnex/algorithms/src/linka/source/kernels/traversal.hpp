// Breadth-first traversal: the rule that splits a graph into components.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linka {

struct Traversed {
    std::size_t length;  // nodes queued, all now marked visited
    bool labelled;       // whether any of them is marked labelled
};

// Visits every node reachable from `start` through nodes not yet `visited`, following
// neighbour lists as directed edges, and leaves them in `queue` in visiting order: the
// start, its unvisited neighbours in row order, then theirs. A node is marked when it is
// queued, so none is queued twice and `queue` needs room for at most every node.
//
// `rows.row(queue, position, back)` gives the row of queue[position]; knowing the
// queued nodes ahead (position + 1 .. back) lets a row source fetch their rows early.
// Rows hold valid node indices (row[j], row.size()): sources check them before handing
// them out.
template <class Rows, class Q>
Traversed traverse(Rows& rows, Q start, std::uint8_t* visited, const std::uint8_t* labelled, Q* queue) {
    queue[0] = start;
    visited[start] = 1;
    bool is_labelled = labelled[start] != 0;
    std::size_t back = 1;
    for (std::size_t front = 0; front < back; ++front) {
        const auto row = rows.row(queue, front, back);
        for (std::ptrdiff_t j = 0, degree = row.size(); j < degree; ++j) {
            const auto neighbour = row[j];
            if (visited[neighbour] != 0) continue;
            visited[neighbour] = 1;
            is_labelled = is_labelled || labelled[neighbour] != 0;
            queue[back++] = static_cast<Q>(neighbour);
        }
    }
    return {back, is_labelled};
}

}  // namespace linka

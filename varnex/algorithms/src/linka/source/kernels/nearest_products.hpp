// The k nearest points of each row, one tile of inner products of centred points at a
// time (core/product_tile.hpp). Each row keeps the k nearest points found so far,
// measured from the coordinates in double precision, and a point is measured only when
// the lower end of its single-precision estimate does not exceed the k-th of them. The
// result is the exact k nearest, ties by lower index, whatever the order of the tiles.
#pragma once

#include "core/product_tile.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace linka::kernels {

// A row's k nearest so far: a max-heap of (squared distance, index) pairs, the farthest
// (then the higher index) on top. A fresh row holds k pairs (+inf, kNobody).
struct NearestSoFar {
    static constexpr std::int64_t kNobody = std::numeric_limits<std::int64_t>::max();
    double* squared;
    std::int64_t* index;
    std::int64_t k;

    static bool before(double a, std::int64_t i, double b, std::int64_t j) { return a < b || (a == b && i < j); }

    // Puts (d, j) in place of the top, which it comes before, and restores the heap.
    void replace_top(double d, std::int64_t j) {
        std::int64_t at = 0;
        for (;;) {
            std::int64_t child = 2 * at + 1;
            if (child >= k) break;
            if (child + 1 < k && before(squared[child], index[child], squared[child + 1], index[child + 1])) ++child;
            if (!before(d, j, squared[child], index[child])) break;
            squared[at] = squared[child];
            index[at] = index[child];
            at = child;
        }
        squared[at] = d;
        index[at] = j;
    }
};

// Bounds computed at once, in a buffer that stays in L1: a branch-free loop the
// compiler vectorises.
inline constexpr std::int64_t kStretch = 256;

// Offers every point of tile row r to that row's k nearest so far.
inline void offer_tile_row(const core::ProductTile<float>& tile, std::int64_t r, NearestSoFar nearest) {
    const std::int64_t i = tile.row_start + r;
    const double* norms = tile.norms + tile.column_start;
    const core::RoundingBound<float> bound(tile.dims);
    const double own = tile.norms[i];
    double lower[kStretch];
    for (std::int64_t first = 0; first < tile.columns; first += kStretch) {
        const std::int64_t count = std::min(kStretch, tile.columns - first);
        for (std::int64_t m = 0; m < count; ++m) {
            const double estimate = tile.estimate(r, first + m);
            lower[m] = estimate - bound.slack(own, norms[first + m], std::max(estimate, 0.0));
        }
        for (std::int64_t m = 0; m < count; ++m) {
            // Not a number (overflowing products) is measured too.
            if (lower[m] > nearest.squared[0]) continue;
            const std::int64_t j = tile.column_start + first + m;
            if (j == i) continue;  // a point is not its own neighbour
            const double squared = tile.squared_distance(i, j);
            if (NearestSoFar::before(squared, j, nearest.squared[0], nearest.index[0])) nearest.replace_top(squared, j);
        }
    }
}

}  // namespace linka::kernels

// The k nearest points of each row, one tile of inner products of centred points at a time.
//
// Brute force in many dimensions reads squared distances off matrix products,
// |x - y|^2 = |x|^2 + |y|^2 - 2 x.y, taken in single precision for speed. Such an
// estimate is only good to its rounding bound, so it only screens the points: each row
// keeps the k nearest points found so far, measured from the coordinates in double
// precision, and a point is measured only when the lower end of its estimate does not
// exceed the k-th of them. The result is the exact k nearest, ties by lower index,
// whatever the order of the tiles.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <limits>

namespace linka::kernels {

struct ProductTile {
    const float* products;       // rows x columns, row-major: centred x_i . centred x_j
    std::int64_t rows, columns;
    std::int64_t row_start, column_start;  // the points of the first row and column
    const double* norms;         // squared norms of the centred points as the products saw them
    const double* points;        // n_points x dims, row-major: the points themselves
    std::int64_t dims;
};

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
inline void offer_tile_row(const ProductTile& tile, std::int64_t r, NearestSoFar nearest) {
    const std::int64_t i = tile.row_start + r;
    const float* products = tile.products + r * tile.columns;
    const double* norms = tile.norms + tile.column_start;
    // Rounding of the centring, the single-precision products and the sums, against
    // |x|^2 + |y|^2 + |x - y|^2, with room to spare.
    const double tolerance = 2.0 * static_cast<double>(tile.dims + 8) * FLT_EPSILON;
    const double own = tile.norms[i];
    const double* x = tile.points + i * tile.dims;
    double lower[kStretch];
    for (std::int64_t first = 0; first < tile.columns; first += kStretch) {
        const std::int64_t count = std::min(kStretch, tile.columns - first);
        for (std::int64_t m = 0; m < count; ++m) {
            const double estimate = own + norms[first + m] - 2.0 * static_cast<double>(products[first + m]);
            lower[m] = estimate - tolerance * (own + norms[first + m] + std::max(estimate, 0.0));
        }
        for (std::int64_t m = 0; m < count; ++m) {
            // Not a number (overflowing products) is measured too.
            if (lower[m] > nearest.squared[0]) continue;
            const std::int64_t j = tile.column_start + first + m;
            if (j == i) continue;  // a point is not its own neighbour
            const double* y = tile.points + j * tile.dims;
            double squared = 0;
            for (std::int64_t d = 0; d < tile.dims; ++d) squared += (x[d] - y[d]) * (x[d] - y[d]);
            if (NearestSoFar::before(squared, j, nearest.squared[0], nearest.index[0])) nearest.replace_top(squared, j);
        }
    }
}

}  // namespace linka::kernels

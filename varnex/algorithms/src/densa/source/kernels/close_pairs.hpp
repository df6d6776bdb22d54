// Euclidean pairs within a radius, from a tile of inner products of centred points:
// pairs clearly inside or outside the radius are decided by their estimate, those
// within its rounding bound of the radius again from the coordinates, as a tree query
// decides.
#pragma once

#include "core/product_tile.hpp"

#include <cstdint>
#include <vector>

namespace densa::kernels {

// Appends to `pairs` every (i, j) of the tile with i < j and |x_i - x_j|^2 <= radius^2.
template <class Real>
void close_pairs(const core::ProductTile<Real>& tile, double radius, std::vector<std::int32_t>& pairs) {
    const double limit = radius * radius;
    const core::RoundingBound<Real> bound(tile.dims);
    for (std::int64_t r = 0; r < tile.rows; ++r) {
        const std::int64_t i = tile.row_start + r;
        for (std::int64_t c = i + 1 > tile.column_start ? i + 1 - tile.column_start : 0; c < tile.columns; ++c) {
            const std::int64_t j = tile.column_start + c;
            const double estimate = tile.estimate(r, c);
            const double slack = bound.slack(tile.norms[i], tile.norms[j], limit);
            if (!(estimate <= limit + slack)) continue;
            if (estimate >= limit - slack && !(tile.squared_distance(i, j) <= limit)) continue;
            pairs.push_back(static_cast<std::int32_t>(i));
            pairs.push_back(static_cast<std::int32_t>(j));
        }
    }
}

}  // namespace densa::kernels

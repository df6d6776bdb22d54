// Euclidean pairs within a radius, from a tile of inner products of centred points.
//
// Brute force in many dimensions reads squared distances off matrix products:
// |x - y|^2 = |x|^2 + |y|^2 - 2 x.y. That form rounds differently from summing the
// squared differences, and the products may be taken in single precision (twice the
// speed of double), so the estimate only sorts the pairs: those clearly inside or
// outside the radius are decided by it, those within its rounding bound of the radius
// again from the coordinates themselves, in double precision, as a tree query decides.
#pragma once

#include <cfloat>
#include <cstdint>
#include <vector>

namespace densa::kernels {

template <class Real>
struct ProductTile {
    const Real* products;  // rows x columns, row-major: centred x_i . centred x_j
    std::int64_t rows, columns;
    std::int64_t row_start, column_start;  // the points of the tile's first row and column
};

// Appends to `pairs` every (i, j) of the tile with i < j and |x_i - x_j|^2 <= radius^2.
// `norms` holds the squared norms of the centred points as the products saw them (after
// rounding to Real), `points` the points themselves (n x dims, row-major).
template <class Real>
void close_pairs(const ProductTile<Real>& tile, const double* norms, const double* points, std::int64_t dims,
                 double radius, std::vector<std::int32_t>& pairs) {
    const double limit = radius * radius;
    // Bound on the rounding of the centring, the products and the sums against the
    // squared distance, with room to spare: (dims + 4) units of Real's precision times
    // |x|^2 + |y|^2, and the double-precision sum of squares against the radius.
    const double unit = sizeof(Real) == sizeof(float) ? FLT_EPSILON : DBL_EPSILON;
    const double tolerance = 2.0 * static_cast<double>(dims + 8) * unit;
    for (std::int64_t r = 0; r < tile.rows; ++r) {
        const std::int64_t i = tile.row_start + r;
        const Real* products = tile.products + r * tile.columns;
        const double* x = points + i * dims;
        for (std::int64_t c = i + 1 > tile.column_start ? i + 1 - tile.column_start : 0; c < tile.columns; ++c) {
            const std::int64_t j = tile.column_start + c;
            const double estimate = norms[i] + norms[j] - 2.0 * static_cast<double>(products[c]);
            const double slack = tolerance * (norms[i] + norms[j] + limit);
            if (!(estimate <= limit + slack)) continue;
            if (estimate >= limit - slack) {
                const double* y = points + j * dims;
                double squared = 0;
                for (std::int64_t k = 0; k < dims; ++k) squared += (x[k] - y[k]) * (x[k] - y[k]);
                if (!(squared <= limit)) continue;
            }
            pairs.push_back(static_cast<std::int32_t>(i));
            pairs.push_back(static_cast<std::int32_t>(j));
        }
    }
}

}  // namespace densa::kernels

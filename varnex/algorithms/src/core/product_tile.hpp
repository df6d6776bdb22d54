// Euclidean distances read off a tile of inner products of centred points.
//
// Brute force in many dimensions takes squared distances from matrix products,
// |x - y|^2 = |x|^2 + |y|^2 - 2 x.y, possibly in single precision (twice the speed of
// double). That form rounds differently from summing squared differences, so an
// estimate only sorts the pairs: those clearly on one side of what a kernel asks are
// decided by it, the others measured again from the coordinates, in double precision.
#pragma once

#include <cfloat>
#include <cstdint>

namespace core {

template <class Real>
struct ProductTile {
    const Real* products;  // rows x columns, row-major: centred x_i . centred x_j
    std::int64_t rows, columns;
    std::int64_t row_start, column_start;  // the points of the tile's first row and column
    const double* norms;   // squared norms of the centred points as the products saw them
    const double* points;  // n_points x dims, row-major: the points themselves
    std::int64_t dims;

    // The estimate of |x_i - x_j|^2 from row r and column c of the tile.
    double estimate(std::int64_t r, std::int64_t c) const {
        return norms[row_start + r] + norms[column_start + c] - 2.0 * static_cast<double>(products[r * columns + c]);
    }
    // |x_i - x_j|^2 from the coordinates, in double precision.
    double squared_distance(std::int64_t i, std::int64_t j) const {
        const double* x = points + i * dims;
        const double* y = points + j * dims;
        double squared = 0;
        for (std::int64_t d = 0; d < dims; ++d) squared += (x[d] - y[d]) * (x[d] - y[d]);
        return squared;
    }
};

// How far an estimate may stray from the squared distance: the rounding of the
// centring, the products and the sums, against |x|^2 + |y|^2 + |x - y|^2, with room to
// spare ((dims + 8) units of Real's precision, twice over).
template <class Real>
struct RoundingBound {
    double tolerance;
    explicit RoundingBound(std::int64_t dims)
        : tolerance(2.0 * static_cast<double>(dims + 8) * (sizeof(Real) == sizeof(float) ? FLT_EPSILON : DBL_EPSILON)) {}
    // `squared` stands for |x - y|^2: the estimate itself, or the limit it is compared with.
    double slack(double norm_x, double norm_y, double squared) const { return tolerance * (norm_x + norm_y + squared); }
};

}  // namespace core

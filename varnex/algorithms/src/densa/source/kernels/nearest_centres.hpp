// The nearest of a few centres for each of many points, under a Minkowski distance, on
// the threads of a pool. Each point is measured against every centre on its own, so the
// answer is the same on any number of threads; no table of distances is kept.
#pragma once

#include "contest_distance.hpp"
#include "core/threads.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace densa::kernels {

// Row-major points of `dimensions` coordinates.
struct DenseRows {
    const double* coordinates;
    std::int64_t rows, dimensions;
    const double* row(std::int64_t i) const { return coordinates + i * dimensions; }
};

// The Minkowski distance of exponent p (1 <= p <= infinity), summed in coordinate order
// and rooted as scikit-learn's distance metrics do, so that equal distances stay equal.
inline double minkowski(const double* x, const double* y, std::int64_t dimensions, double p) {
    double total = 0.0;
    for (std::int64_t k = 0; k < dimensions; ++k) total = add_gap(total, x[k] - y[k], p);
    if (p == 1.0 || std::isinf(p)) return total;
    return p == 2.0 ? std::sqrt(total) : std::pow(total, 1.0 / p);
}

// nearest[i]: the centre nearest point i, the first among equals; -1 where no centre
// lies at a finite distance (NaN counts as infinite). between() runs on the calling
// thread after each chunk it finishes.
template <class Between>
void nearest_centres(core::Pool& pool, const DenseRows& points, const DenseRows& centres, double p,
                     std::int64_t* nearest, Between&& between) {
    constexpr std::int64_t kPoints = 2048;
    const auto n = static_cast<std::size_t>(points.rows);
    pool.run(
        core::chunk_count(n, kPoints),
        [&](std::size_t c, std::size_t) {
            const std::int64_t end = std::min<std::int64_t>(points.rows, std::int64_t(c + 1) * kPoints);
            for (std::int64_t i = std::int64_t(c) * kPoints; i < end; ++i) {
                double best = std::numeric_limits<double>::infinity();
                std::int64_t chosen = -1;
                for (std::int64_t g = 0; g < centres.rows; ++g) {
                    const double distance = minkowski(points.row(i), centres.row(g), points.dimensions, p);
                    if (distance < best) {
                        best = distance;
                        chosen = g;
                    }
                }
                nearest[i] = chosen;
            }
        },
        between);
}

}  // namespace densa::kernels

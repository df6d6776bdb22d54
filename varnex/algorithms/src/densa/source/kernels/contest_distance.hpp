// Distances that settle the contests of the synchronous growth (density_clustering.hpp).
// Only their order matters, so Minkowski distances are compared without the root.
#pragma once

#include <cmath>
#include <cstdint>

namespace densa::kernels {

// No coordinates (precomputed distances, metrics only a library computes): every
// contest is a tie.
struct NoDistance {
    bool known() const { return false; }
    double operator()(std::int32_t, std::int32_t) const { return 0.0; }
};

// The p-th power of the Minkowski distance between two rows of a row-major array of
// points (the largest coordinate difference for p = infinity).
struct MinkowskiDistance {
    const double* points;
    std::int64_t n_features;
    double p;

    bool known() const { return true; }
    double operator()(std::int32_t a, std::int32_t b) const {
        const double* x = points + a * n_features;
        const double* y = points + b * n_features;
        double total = 0.0;
        for (std::int64_t k = 0; k < n_features; ++k) {
            const double gap = std::fabs(x[k] - y[k]);
            if (p == 2.0) {
                total += gap * gap;
            } else if (p == 1.0) {
                total += gap;
            } else if (std::isinf(p)) {
                total = std::fmax(total, gap);
            } else {
                total += std::pow(gap, p);
            }
        }
        return total;
    }
};

}  // namespace densa::kernels

// Distances that settle the contests of the synchronous growth (density_clustering.hpp).
// Only their order matters, so Minkowski distances are compared without the root.
#pragma once

#include "core/csr.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>

namespace densa::kernels {

// No coordinates (precomputed distances, metrics only a library computes): every
// contest is a tie.
struct NoDistance {
    bool known() const { return false; }
    double operator()(std::int32_t, std::int32_t) const { return 0.0; }
};

// One coordinate difference added to the p-th power of a Minkowski distance (the
// largest difference for p = infinity).
inline double add_gap(double total, double gap, double p) {
    gap = std::fabs(gap);
    if (p == 2.0) return total + gap * gap;
    if (p == 1.0) return total + gap;
    if (std::isinf(p)) return std::fmax(total, gap);
    return total + std::pow(gap, p);
}

// The p-th power of the Minkowski distance between two rows of a row-major array of
// points.
struct MinkowskiDistance {
    const double* points;
    std::int64_t n_features;
    double p;

    bool known() const { return true; }
    double operator()(std::int32_t a, std::int32_t b) const {
        const double* x = points + a * n_features;
        const double* y = points + b * n_features;
        double total = 0.0;
        for (std::int64_t k = 0; k < n_features; ++k) total = add_gap(total, x[k] - y[k], p);
        return total;
    }
};

// The same over sparse points: row i of `rows` lists the features of point i in
// ascending order, with their values as weights. Read with guarded bounds
// (core/csr.hpp): rows that another thread spoils give a meaningless distance.
struct SparseMinkowskiDistance {
    core::Csr<std::int32_t, double> rows;
    double p;

    bool known() const { return true; }
    double operator()(std::int32_t a, std::int32_t b) const {
        const auto [features_a, values_a] = entries(a);
        const auto [features_b, values_b] = entries(b);
        double total = 0.0;
        std::size_t i = 0, j = 0;
        while (i < features_a.size() && j < features_b.size()) {
            if (features_a[i] < features_b[j]) {
                total = add_gap(total, values_a[i++], p);
            } else if (features_b[j] < features_a[i]) {
                total = add_gap(total, values_b[j++], p);
            } else {
                total = add_gap(total, values_a[i++] - values_b[j++], p);
            }
        }
        for (; i < features_a.size(); ++i) total = add_gap(total, values_a[i], p);
        for (; j < features_b.size(); ++j) total = add_gap(total, values_b[j], p);
        return total;
    }

private:
    std::pair<std::span<const std::int32_t>, std::span<const double>> entries(std::int32_t i) const {
        const std::int64_t begin = rows.indptr[i], end = rows.indptr[i + 1];
        const auto stored = static_cast<std::int64_t>(std::min(rows.indices.size(), rows.weights.size()));
        if (begin < 0 || end > stored || begin > end) return {};
        const auto at = static_cast<std::size_t>(begin), count = static_cast<std::size_t>(end - begin);
        return {rows.indices.subspan(at, count), rows.weights.subspan(at, count)};
    }
};

}  // namespace densa::kernels

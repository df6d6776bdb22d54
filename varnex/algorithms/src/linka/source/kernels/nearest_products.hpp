// The k nearest points of each row of a block of inner products of centred points.
//
// Brute force in many dimensions reads squared distances off matrix products,
// |x - y|^2 = |x|^2 + |y|^2 - 2 x.y, taken in single precision for speed. Such an
// estimate is only good to its rounding bound, so it only sorts the points: every point
// whose estimate could still fall among the k smallest is measured again from the
// coordinates, in double precision, and those distances choose. The result is the exact
// k nearest, ties broken by the lower index.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace linka::kernels {

struct ProductRows {
    const float* products;      // rows x n_points, row-major: centred x_i . centred x_j
    std::int64_t rows;
    std::int64_t row_start;     // the point of the first row
    const double* norms;        // squared norms of the centred points as the products saw them
    const double* points;       // n_points x dims, row-major: the points themselves
    std::int64_t n_points, dims;
};

// Scratch of one row, reused from row to row.
struct NearestScratch {
    static constexpr std::int64_t kStretch = 256;  // bounds computed at once, kept in L1
    double lower[kStretch], upper[kStretch];
    std::vector<double> heap;                           // the k smallest upper bounds so far (max-heap)
    std::vector<std::pair<double, std::int64_t>> candidates;
};

// Writes the k nearest other points of row r (k <= n_points - 1) into distances[r * k ..]
// and indices[r * k ..], nearest first, equal distances by lower index.
template <class Index>
void nearest_of_row(const ProductRows& block, std::int64_t r, std::int64_t k, NearestScratch& scratch,
                    float* distances, Index* indices) {
    const std::int64_t n = block.n_points;
    const std::int64_t i = block.row_start + r;
    const float* products = block.products + r * n;
    const double* norms = block.norms;
    // Rounding of the centring, the single-precision products and the sums, against
    // |x|^2 + |y|^2 + |x - y|^2, with room to spare.
    const double tolerance = 2.0 * static_cast<double>(block.dims + 8) * FLT_EPSILON;
    const double own = norms[i];
    // One pass: the k smallest upper bounds give a threshold that only falls (no more
    // than k - 1 points lie nearer than the k-th nearest), and every point whose lower
    // bound is within the threshold at its turn is kept as a candidate.
    auto& heap = scratch.heap;
    auto& candidates = scratch.candidates;
    heap.clear();
    candidates.clear();
    double threshold = INFINITY;
    for (std::int64_t first = 0; first < n; first += NearestScratch::kStretch) {
        const std::int64_t count = std::min(NearestScratch::kStretch, n - first);
        for (std::int64_t m = 0; m < count; ++m) {  // branch-free: vectorised
            const double estimate = own + norms[first + m] - 2.0 * static_cast<double>(products[first + m]);
            const double slack = tolerance * (own + norms[first + m] + std::max(estimate, 0.0));
            scratch.lower[m] = estimate - slack;
            scratch.upper[m] = estimate + slack;
        }
        for (std::int64_t m = 0; m < count; ++m) {
            if (!(scratch.lower[m] <= threshold)) continue;
            const std::int64_t j = first + m;
            if (j == i) continue;  // a point is not its own neighbour
            candidates.emplace_back(scratch.lower[m], j);
            if (static_cast<std::int64_t>(heap.size()) < k) {
                heap.push_back(scratch.upper[m]);
                std::push_heap(heap.begin(), heap.end());
                if (static_cast<std::int64_t>(heap.size()) == k) threshold = heap.front();
            } else if (scratch.upper[m] < threshold) {
                std::pop_heap(heap.begin(), heap.end());
                heap.back() = scratch.upper[m];
                std::push_heap(heap.begin(), heap.end());
                threshold = heap.front();
            }
        }
    }
    // The candidates still within the final threshold, measured from their coordinates.
    const double* x = block.points + i * block.dims;
    auto squared_distance = [&](std::int64_t j) {
        const double* y = block.points + j * block.dims;
        double squared = 0;
        for (std::int64_t d = 0; d < block.dims; ++d) squared += (x[d] - y[d]) * (x[d] - y[d]);
        return squared;
    };
    std::size_t kept = 0;
    for (const auto& [lower, j] : candidates) {
        if (lower <= threshold) candidates[kept++] = {squared_distance(j), j};
    }
    candidates.resize(kept);
    if (static_cast<std::int64_t>(kept) < k) {
        // Only products that are not numbers (NaN, infinite points) leave too few
        // candidates: then every point is measured.
        candidates.clear();
        for (std::int64_t j = 0; j < n; ++j) {
            if (j != i) candidates.emplace_back(squared_distance(j), j);
        }
    }
    std::partial_sort(candidates.begin(), candidates.begin() + k, candidates.end());
    for (std::int64_t m = 0; m < k; ++m) {
        distances[r * k + m] = static_cast<float>(std::sqrt(candidates[m].first));
        indices[r * k + m] = static_cast<Index>(candidates[m].second);
    }
}

}  // namespace linka::kernels

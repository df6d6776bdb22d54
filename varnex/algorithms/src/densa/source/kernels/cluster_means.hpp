// The weighted mean of each group's points, on the threads of a pool, with the same bits
// for any number of threads.
//
// A group's members are summed in runs of kMemberRun, each run in member order, and the
// runs' sums are added in run order: the run boundaries depend on the group alone, so
// the rounding does too. Weights enter as shares of the group's largest magnitude, so
// that no sum of them overflows; a group whose weights sum to nothing positive (or
// hold a NaN) counts its members alike.
#pragma once

#include "core/threads.hpp"
#include "label_groups.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace densa::kernels {

inline constexpr std::int64_t kMemberRun = 4096;

// Points of `dimensions` coordinates, row-major; weights empty for none.
struct WeightedPoints {
    const double* coordinates;
    std::int64_t dimensions;
    std::span<const double> weights;
};

// means (groups.size() rows of points.dimensions) gets the mean of each group of
// `grouped`. between() runs on the calling thread after each run it finishes.
template <class Between>
void group_means(core::Pool& pool, const LabelGroups& grouped, std::span<const LabelGroup> groups,
                 const WeightedPoints& points, double* means, Between&& between) {
    const std::int64_t d = points.dimensions;
    const bool weighted = !points.weights.empty();
    // Runs in group order; a group of one run sums straight into its mean.
    struct Run {
        std::int64_t group, begin, end, partial;  // partial: its sums' slot, -1 for none
    };
    std::vector<Run> runs;
    std::int64_t partials = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const LabelGroup& group = groups[g];
        const bool single = group.end - group.begin <= kMemberRun;
        for (std::int64_t begin = group.begin; begin < group.end; begin += kMemberRun) {
            runs.push_back({std::int64_t(g), begin, std::min(begin + kMemberRun, group.end), single ? -1 : partials++});
        }
    }
    // Per run and per group: the plain sums, then (weighted) the share sums and the total
    // share. Unweighted: one slot of d sums.
    const std::int64_t width = weighted ? 2 * d + 1 : d;
    std::vector<double> partial(static_cast<std::size_t>(partials * width));
    std::vector<double> group_sums(weighted ? groups.size() * static_cast<std::size_t>(width) : 0);
    std::vector<double> largest(weighted ? groups.size() : 0, 0.0);

    auto each_run = [&](auto&& work) {
        pool.run(runs.size(), [&](std::size_t r, std::size_t) { work(runs[r]); }, between);
    };
    if (weighted) {
        // The largest magnitude first; NaN stays, and makes the group count alike.
        std::vector<double> run_largest(runs.size(), 0.0);
        pool.run(
            runs.size(),
            [&](std::size_t r, std::size_t) {
                double top = 0.0;
                for (std::int64_t m = runs[r].begin; m < runs[r].end; ++m) {
                    const double magnitude = std::fabs(points.weights[grouped.rows[m]]);
                    top = std::isnan(top) || std::isnan(magnitude) ? NAN : std::max(top, magnitude);
                }
                run_largest[r] = top;
            },
            between);
        for (std::size_t r = 0; r < runs.size(); ++r) {
            double& top = largest[runs[r].group];
            top = std::isnan(top) || std::isnan(run_largest[r]) ? NAN : std::max(top, run_largest[r]);
        }
    }
    each_run([&](const Run& run) {
        double* sums = run.partial >= 0 ? partial.data() + run.partial * width
                                        : (weighted ? group_sums.data() + run.group * width : means + run.group * d);
        std::fill(sums, sums + width, 0.0);
        const double scale = weighted ? largest[run.group] : 0.0;
        const bool shared = weighted && scale > 0;
        for (std::int64_t m = run.begin; m < run.end; ++m) {
            const std::int64_t row = grouped.rows[m];
            const double* point = points.coordinates + row * d;
            for (std::int64_t j = 0; j < d; ++j) sums[j] += point[j];
            if (shared) {
                const double share = points.weights[row] / scale;
                for (std::int64_t j = 0; j < d; ++j) sums[d + j] += share * point[j];
                sums[2 * d] += share;
            }
        }
    });
    // Runs of a group in order, then each group's mean.
    for (std::size_t r = 0; r < runs.size(); ++r) {
        if (runs[r].partial < 0) continue;
        const double* sums = partial.data() + runs[r].partial * width;
        double* total = weighted ? group_sums.data() + runs[r].group * width : means + runs[r].group * d;
        const bool first = runs[r].begin == groups[runs[r].group].begin;
        for (std::int64_t j = 0; j < width; ++j) total[j] = first ? sums[j] : total[j] + sums[j];
    }
    for (std::size_t g = 0; g < groups.size(); ++g) {
        double* mean = means + g * d;
        const auto count = static_cast<double>(groups[g].end - groups[g].begin);
        if (!weighted) {
            for (std::int64_t j = 0; j < d; ++j) mean[j] /= count;
            continue;
        }
        const double* sums = group_sums.data() + g * width;
        const double share = sums[2 * d];
        const bool by_share = largest[g] > 0 && share > 0;
        for (std::int64_t j = 0; j < d; ++j) mean[j] = by_share ? sums[d + j] / share : sums[j] / count;
    }
}

}  // namespace densa::kernels

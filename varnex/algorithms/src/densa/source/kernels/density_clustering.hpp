// Semi-supervised DBSCAN over precomputed neighbourhoods, written once for every way of
// reading them.
//
// Clusters grow breadth-first in three passes: from labelled points that are not core
// points, from labelled core points, then from unlabelled core points. A labelled point
// spreads its cluster whatever the size of its neighbourhood; a cluster absorbs only
// unvisited points that are unlabelled or carry the cluster's own identifier; clusters
// found among unlabelled points are numbered -2, -3, ...
//
// The kernel knows nothing of Python. What it is generic over:
//  - Rows: how a neighbourhood is read.
//        row(i)         an object with size() and for_each(visit), visit(int32_t neighbour)
//        row_size(i)    the length of row i, without reading its entries
//        prefetch_row(i), prefetch_entry(i)   cache hints for a point about to be read
//        poll()         called once per point taken out of a queue
//  - Array: element access to labels, result, visited flags and queue, a(i) -> T&.
//    Whether an access is bounds-checked is the adapter's choice.
//  - Queues: make(n_slots) -> an Array of int32_t, made when a cluster starts; one
//    slot more than it can ever fill.
//  - Core: core(i, row_size) -> bool, the core-point test (CountCore, WeightCore).
#pragma once

#include <cstdint>

namespace densa::kernels {

// The core test of plain DBSCAN: a neighbourhood of at least min_samples points, the
// point itself included. A weighted test (the sample weights of a neighbourhood summing
// to at least min_samples) fits the same slot, reading each point's neighbourhood weight
// summed once over its row before the passes.
struct CountCore {
    std::int64_t min_samples;
    bool operator()(std::int32_t /*point*/, std::int64_t row_size) const { return row_size >= min_samples; }
};

// The core test with sample weights: the weights of a neighbourhood, the point itself
// included where it belongs to it, summing to at least min_samples. The sums are read
// from `totals`, filled once by neighbourhood_weights() before the passes.
struct WeightCore {
    const double* totals;
    double min_samples;
    bool operator()(std::int32_t point, std::int64_t /*row_size*/) const { return totals[point] >= min_samples; }
};

// totals[i] = self_weights[i] + the weights of the points in row i, each stored entry
// counted (a point listed twice weighs twice, as a neighbourhood query would count it).
template <class Rows>
void neighbourhood_weights(Rows& rows, std::int32_t n_samples, const double* weights, const double* self_weights,
                           double* totals) {
    for (std::int32_t i = 0; i < n_samples; ++i) {
        rows.poll();
        double total = self_weights[i];
        rows.row(i).for_each([&](std::int32_t j) { total += weights[j]; });
        totals[i] = total;
    }
}

// The seeding passes, in their order: labelled points that are not core points,
// labelled core points, unlabelled core points.
enum class Pass { LabelledBorder, LabelledCore, NewClusters };

template <class Rows, class Labels, class Core>
class DensityClustering {
public:
    DensityClustering(Rows& rows, std::int32_t n_samples, Labels labels, Core core)
        : rows_(rows), n_samples_(n_samples), labels_(labels), core_(core) {}

    // Grows cluster `cluster_id` from `point_idx` unless that point is visited already.
    // Points are marked visited as they enter the queue, so none enters twice.
    template <class Result, class Visited, class Queues>
    void expand_cluster(Result cluster_labels, Visited visited, Queues& queues, std::int64_t point_idx,
                        std::int32_t cluster_id) {
        if (visited(point_idx) != 0) return;
        auto queue = queues.make(std::int64_t{n_samples_} + 1);
        queue(0) = static_cast<std::int32_t>(point_idx);
        std::int32_t queue_start = 0;
        std::int32_t queue_end = 1;
        while (queue_start < queue_end) {
            // Rows are read in queue order, scattered in memory: ask for later ones ahead.
            if (std::int64_t{queue_start} + 2 * kPrefetchDistance < queue_end) {
                rows_.prefetch_row(queue(std::int64_t{queue_start} + 2 * kPrefetchDistance));
            }
            if (std::int64_t{queue_start} + kPrefetchDistance < queue_end) {
                rows_.prefetch_entry(queue(std::int64_t{queue_start} + kPrefetchDistance));
            }
            rows_.poll();
            const std::int32_t current_point_idx = queue(queue_start);
            visited(current_point_idx) = 1;
            cluster_labels(current_point_idx) = cluster_id;
            auto neighbors = rows_.row(current_point_idx);
            if (labels_(current_point_idx) >= 0 || core_(current_point_idx, neighbors.size())) {
                neighbors.for_each([&](std::int32_t idx) {
                    if (visited(idx) != 0) return;
                    const std::int32_t label = labels_(idx);
                    if (label != -1 && label != cluster_id) return;
                    visited(idx) = 1;
                    queue(queue_end) = idx;
                    ++queue_end;
                });
            }
            ++queue_start;
        }
    }

    // The three passes; grow(pass, seed, cluster_id) grows one cluster. The first pass
    // reads `soft_visited`, the others `visited`: two views of one flag array, which
    // grow() is to pass on as expand_cluster's `visited`. Labels and flags are read
    // here without bounds checks, the caller having sized them.
    template <class Unchecked, class UncheckedVisited, class Grow>
    void seed_clusters(Unchecked labels, UncheckedVisited soft_visited, UncheckedVisited visited, Grow&& grow) {
        for (std::int32_t i = 0; i < n_samples_; ++i) {
            if (soft_visited(i) != 0 || labels(i) < 0) continue;
            if (!core_(i, rows_.row_size(i))) grow(Pass::LabelledBorder, i, labels(i));
        }
        for (std::int32_t i = 0; i < n_samples_; ++i) {
            if (visited(i) != 0 || labels(i) < 0) continue;
            if (core_(i, rows_.row_size(i))) grow(Pass::LabelledCore, i, labels(i));
        }
        std::int32_t cluster_id = -2;
        for (std::int32_t i = 0; i < n_samples_; ++i) {
            if (visited(i) != 0) continue;
            if (core_(i, rows_.row_size(i))) {
                grow(Pass::NewClusters, i, cluster_id);
                --cluster_id;
            }
        }
    }

private:
    static constexpr std::int32_t kPrefetchDistance = 8;

    Rows& rows_;
    std::int32_t n_samples_;
    Labels labels_;
    Core core_;
};

}  // namespace densa::kernels

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

// States of a point in the synchronous growth: a claimed point has a cluster for now, a
// contested one several, until it is taken out of the queue. The queue holding at most
// two layers at a time, a claim's state tells them apart by the parity of its layer.
// Public for the rows that read the states to decide what a row must hold.
struct GrowthState {
    static constexpr std::int8_t kFree = 0, kTaken = 1, kContested = 2, kClaimed = 3;  // kClaimed + parity
    // Layers of the new clusters: their core points, then their border points (odd: only
    // borders are contested).
    static constexpr std::int32_t kNewCore = INT32_MAX - 1, kNewBorder = INT32_MAX;

    static constexpr std::int8_t claimed(std::int32_t at) { return static_cast<std::int8_t>(kClaimed + (at & 1)); }
};

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

    // The synchronous growth: where several clusters reach a point, the data decide, not
    // the row order. Every labelled point seeds at once and all of them grow together,
    // one layer of neighbours at a time; a point reached in the same layer by different
    // clusters joins the cluster of the nearest point that reached it. Then the core
    // points no labelled cluster took form the new clusters -2, -3, ... (whole groups of
    // connected core points, numbered in the order of their lowest row), and a border
    // point within reach of several goes to the one of its nearest core point.
    //
    // `distance(a, b)` orders the pairs of a contest (any monotone form of the distance);
    // where distance.known() is false every contest is a tie. Ties go to the lower
    // class, or among new clusters to the one numbered first. Labels below -1 are not
    // taken (the caller refuses them). `state` and `layer` are n_samples entries of work
    // space, `queue` n_samples + 1. Rows are read at most once each, only those of points
    // that spread their cluster or are contested, and in queue order: those of the
    // contested border points of the new clusters after all clusters have grown.
    template <class Result, class State, class Layers, class Queue, class Distance>
    void grow_synchronously(Result cluster_labels, State state, Layers layer, Queue queue, const Distance& distance) {
        std::int32_t end = 0;
        for (std::int32_t i = 0; i < n_samples_; ++i) {
            state(i) = kFree;
            if (labels_(i) < 0) continue;
            claim(cluster_labels, state, layer, i, labels_(i), 0);
            queue(end++) = i;
        }
        for (std::int32_t start = 0; start < end; ++start) {
            prefetch_ahead(queue, start, end);
            rows_.poll();
            const std::int32_t point = queue(start);
            // A row is read only where it is needed: to settle a contest, or to spread.
            const bool spreads = labels_(point) >= 0 || core_(point, rows_.row_size(point));
            const bool contested = state(point) == kContested;
            if (!spreads && !contested) {
                state(point) = kTaken;
                continue;
            }
            auto row = rows_.row(point);
            if (contested) cluster_labels(point) = nearest_claim(cluster_labels, state, layer, point, row, distance);
            state(point) = kTaken;
            if (!spreads) continue;
            const std::int32_t cluster_id = cluster_labels(point);
            const std::int32_t next = layer(point) + 1;
            const std::int8_t claimed_next = claimed(next);
            row.for_each([&](std::int32_t idx) {
                // Most neighbours are taken, or claimed in this layer: the state alone
                // settles them. A claimed point is unlabelled, or a seed of layer 0.
                const std::int8_t seen = state(idx);
                if (seen == kFree) {
                    if (labels_(idx) != -1) return;
                    claim(cluster_labels, state, layer, idx, cluster_id, next);
                    queue(end++) = idx;
                } else if (seen == claimed_next && cluster_labels(idx) != cluster_id) {
                    contest(cluster_labels, state, idx, cluster_id, distance);
                }
            });
        }

        const std::int32_t new_start = end;
        std::int32_t cluster_id = -2;
        std::int32_t start = end;
        for (std::int32_t i = 0; i < n_samples_; ++i) {
            if (state(i) != kFree || labels_(i) != -1 || !core_(i, rows_.row_size(i))) continue;
            claim(cluster_labels, state, layer, i, cluster_id, kNewCore);
            queue(end++) = i;
            for (; start < end; ++start) {
                rows_.poll();
                const std::int32_t point = queue(start);
                if (state(point) != claimed(kNewCore)) continue;  // a border point, settled below
                state(point) = kTaken;
                rows_.row(point).for_each([&](std::int32_t idx) {
                    const std::int8_t seen = state(idx);
                    if (seen == kFree) {
                        if (labels_(idx) != -1) return;
                        const bool core = core_(idx, rows_.row_size(idx));
                        claim(cluster_labels, state, layer, idx, cluster_id, core ? kNewCore : kNewBorder);
                        queue(end++) = idx;
                    } else if (seen == claimed(kNewBorder) && cluster_labels(idx) != cluster_id) {
                        contest(cluster_labels, state, idx, cluster_id, distance);
                    }
                });
            }
            --cluster_id;
        }
        for (std::int32_t k = new_start; k < end; ++k) {
            const std::int32_t point = queue(k);
            if (state(point) == kContested) {
                rows_.poll();
                cluster_labels(point) = nearest_claim(cluster_labels, state, layer, point, rows_.row(point), distance);
            }
            state(point) = kTaken;
        }
    }

private:
    static constexpr std::int32_t kPrefetchDistance = 8;
    static constexpr std::int8_t kFree = GrowthState::kFree, kTaken = GrowthState::kTaken,
                                 kContested = GrowthState::kContested;
    static constexpr std::int32_t kNewCore = GrowthState::kNewCore, kNewBorder = GrowthState::kNewBorder;

    static constexpr std::int8_t claimed(std::int32_t at) { return GrowthState::claimed(at); }

    template <class Queue>
    void prefetch_ahead(Queue queue, std::int32_t start, std::int32_t end) {
        if (std::int64_t{start} + 2 * kPrefetchDistance < end) {
            rows_.prefetch_row(queue(std::int64_t{start} + 2 * kPrefetchDistance));
        }
        if (std::int64_t{start} + kPrefetchDistance < end) {
            rows_.prefetch_entry(queue(std::int64_t{start} + kPrefetchDistance));
        }
    }

    // Whether cluster a wins a tie against cluster b: the lower class, or the new
    // cluster numbered first.
    static bool earlier(std::int32_t a, std::int32_t b) { return a >= 0 ? a < b : a > b; }

    template <class Result, class State, class Layers>
    static void claim(Result cluster_labels, State state, Layers layer, std::int32_t point, std::int32_t cluster_id,
                      std::int32_t at) {
        state(point) = claimed(at);
        cluster_labels(point) = cluster_id;
        layer(point) = at;
    }

    // A second cluster reaches a claimed point in its layer. With distances the point is
    // settled when it is taken; without, the tie rule settles it now.
    template <class Result, class State, class Distance>
    static void contest(Result cluster_labels, State state, std::int32_t point, std::int32_t cluster_id,
                        const Distance& distance) {
        if (distance.known()) {
            state(point) = kContested;
        } else if (earlier(cluster_id, cluster_labels(point))) {
            cluster_labels(point) = cluster_id;
        }
    }

    // The cluster of the nearest spreading point of the layer before `point`'s, among
    // its neighbours (a radius neighbourhood being symmetric, every point that reached
    // it). Keeps the claim it has should the row hold none.
    template <class Result, class State, class Layers, class Row, class Distance>
    std::int32_t nearest_claim(Result cluster_labels, State state, Layers layer, std::int32_t point, const Row& row,
                               const Distance& distance) {
        std::int32_t best = cluster_labels(point);
        double best_distance = 0.0;
        bool found = false;
        const std::int32_t before = layer(point) - 1;
        row.for_each([&](std::int32_t idx) {
            if (state(idx) != kTaken || layer(idx) != before) return;
            if (labels_(idx) < 0 && !core_(idx, rows_.row_size(idx))) return;
            const double d = distance(idx, point);
            const std::int32_t candidate = cluster_labels(idx);
            if (!found || d < best_distance || (d == best_distance && earlier(candidate, best))) {
                best = candidate;
                best_distance = d;
                found = true;
            }
        });
        return best;
    }


    Rows& rows_;
    std::int32_t n_samples_;
    Labels labels_;
    Core core_;
};

}  // namespace densa::kernels

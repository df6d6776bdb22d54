// Neighbourhoods computed on demand, a batch at a time, so that the density clustering
// runs in memory that grows with the number of points, not with the number of pairs.
//
// The clustering reads rows in queue order. Which points are queued next does not
// depend on when their rows are read, so when a row is missing, the rows of the points
// queued after it are fetched in the same batch, up to a budget of stored entries: the
// result is the one the whole set of rows would give, with at most one batch held.
//
// The class serves the kernel both as its Rows and as its Queues: the queue it makes
// records how far the kernel has filled it, which tells a batch where to stop. What a
// growth rule reads of the rows, and so what need be fetched, is its Reading.
#pragma once

#include "core/csr.hpp"
#include "density_clustering.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace densa::kernels {

// The core test read off flags decided before the clustering (from counts or weight
// sums of the neighbourhoods, which a batch of rows cannot give for every point).
struct FlagCore {
    std::span<const std::uint8_t> flags;
    bool operator()(std::int32_t point, std::int64_t /*row_size*/) const { return flags[point] != 0; }
};

// The rows of one batch: row k, that of points[k], is rows().row(k). Filled by the
// fetch, which checks every entry, so the kernel reads them as they are.
struct RowBatch {
    std::vector<std::int32_t> points;
    std::vector<std::int64_t> offsets;
    std::vector<std::int32_t> entries;
    bool restricted = false;
    std::vector<std::int32_t> candidates;

    core::Csr<std::int32_t> rows() const { return {offsets, entries, {}}; }
};

// A queue that records one past the highest slot the kernel has touched: slots are
// written at the end and read only below it, so that is the end of the queue.
struct TrackedQueue {
    std::int32_t* data;
    std::int64_t* filled;
    std::int32_t& operator()(std::int64_t i) const {
        if (i >= *filled) *filled = i + 1;
        return data[i];
    }
};

// Rows are fetched among the points they may still change only where those are at most
// this share of all points: a search among a subset costs the subset's own index.
inline constexpr std::int64_t kRestrictBelow = 8;

// What the sequential growth (expand_cluster) reads: the rows of the points that spread
// their cluster (core or labelled points), and of a row only the points not yet
// visited; once every point is visited, nothing. A point is visited exactly when it
// enters a queue, so the queues count the visited points.
struct SequentialReading {
    std::span<const std::uint8_t> spreads;
    std::span<const std::int8_t> visited;  // the kernel's flags

    bool answers_empty(std::int64_t i, std::int64_t unqueued) const { return spreads[i] == 0 || unqueued == 0; }
    bool reads(std::int32_t point) const { return spreads[point] != 0; }
    bool joins(std::int32_t /*first*/, std::int32_t /*next*/) const { return true; }
    // Whether the batch's rows need only the points of `among`, which it then lists.
    bool restricts(std::span<const std::int32_t> /*batch*/, std::int64_t unqueued,
                   std::vector<std::int32_t>& among) const {
        const auto n = static_cast<std::int64_t>(visited.size());
        if (unqueued * kRestrictBelow > n) return false;
        for (std::int64_t j = 0; j < n; ++j) {
            if (visited[j] == 0) among.push_back(static_cast<std::int32_t>(j));
        }
        return true;
    }
};

// What the synchronous growth (grow_synchronously) reads. It asks only for the rows it
// needs, of points that spread or are contested, and reads in the row of a point of
// layer L the free points (to claim them), those claimed in layer L + 1 (to contest
// them) and, to settle a contest, the spreading points of layer L - 1, taken already.
// A batch holds the rows of one layer, which tells which points those are: `state` and
// `layer` are the kernel's work space.
struct SynchronousReading {
    std::span<const std::uint8_t> spreads;
    std::span<const std::int8_t> state;
    std::span<const std::int32_t> layer;

    bool answers_empty(std::int64_t /*i*/, std::int64_t /*unqueued*/) const { return false; }
    bool reads(std::int32_t point) const {
        return state[point] == GrowthState::kContested || (spreads[point] != 0 && state[point] != GrowthState::kTaken);
    }
    bool joins(std::int32_t first, std::int32_t next) const { return layer[first] == layer[next]; }
    bool restricts(std::span<const std::int32_t> batch, std::int64_t /*unqueued*/,
                   std::vector<std::int32_t>& among) const {
        const std::int64_t at = layer[batch[0]];
        const auto n = static_cast<std::int64_t>(state.size());
        for (std::int64_t j = 0; j < n; ++j) {
            const std::int8_t seen = state[j];
            const bool taken = seen == GrowthState::kTaken;
            const bool needed = seen == GrowthState::kFree ||
                                (taken ? spreads[j] != 0 && layer[j] == at - 1 : layer[j] == at + 1);
            if (needed) among.push_back(static_cast<std::int32_t>(j));
        }
        if (static_cast<std::int64_t>(among.size()) * kRestrictBelow <= n) return true;
        among.clear();
        return false;
    }
};

// Where a batch is `restricted`, a row need only hold its neighbours among `candidates`,
// the points the Reading may still read in it.
//
// `lengths[i]` is the number of stored entries of row i (its neighbours but itself);
// `fetch(batch)` fills batch.offsets and batch.entries for batch.points, with those
// lengths (at most, where restricted) and every entry in 0 .. n - 1. A batch holds at
// most `budget` entries, or a single row that is longer. `Poll` answers poll() once per
// point taken.
template <class Reading, class Fetch, class Poll>
class StreamedRows {
public:
    struct Row {
        std::span<const std::int32_t> stored;

        std::int64_t size() const { return static_cast<std::int64_t>(stored.size()) + 1; }
        template <class Visit>
        void for_each(Visit&& visit) const {
            for (const std::int32_t j : stored) visit(j);
        }
    };

    StreamedRows(std::span<const std::int64_t> lengths, Reading reading, std::int64_t budget, Fetch& fetch,
                 Poll& poller)
        : lengths_(lengths), reading_(reading), n_(static_cast<std::int64_t>(lengths.size())), budget_(budget),
          fetch_(fetch), poller_(poller), slot_(lengths.size(), -1), queue_(lengths.size() + 1) {}

    Row row(std::int64_t i) {
        if (reading_.answers_empty(i, unqueued())) return {};
        if (slot_[i] < 0) load(static_cast<std::int32_t>(i));
        return {batch_.rows().row(static_cast<std::size_t>(slot_[i]))};
    }
    std::int64_t row_size(std::int64_t i) const { return lengths_[i] + 1; }
    void prefetch_row(std::int64_t /*i*/) const {}
    void prefetch_entry(std::int64_t /*i*/) const {}
    void poll() { poller_.poll(); }

    // One cluster's queue at a time, the storage shared: each point enters a queue once.
    TrackedQueue make(std::int64_t /*n_slots*/) {
        queued_before_ += filled_;
        filled_ = 0;
        searched_ = 0;
        return {queue_.data(), &filled_};
    }

private:
    std::int64_t unqueued() const { return n_ - queued_before_ - filled_; }

    // Where `point` is in the queue, looking on from the last point found (rows are
    // asked for in queue order), then from the start; filled_ where it is not queued.
    std::int64_t position_of(std::int32_t point) {
        for (const std::int64_t from : {searched_, std::int64_t{0}}) {
            for (std::int64_t position = from; position < filled_; ++position) {
                if (queue_[position] != point) continue;
                searched_ = position;
                return position;
            }
        }
        return filled_;
    }

    // Replaces the batch by the rows of `point` and of the points queued after it whose
    // rows will be read.
    void load(std::int32_t point) {
        for (const std::int32_t p : batch_.points) slot_[p] = -1;
        batch_.points.assign(1, point);
        std::int64_t total = lengths_[point];
        const std::int64_t position = position_of(point);
        for (std::int64_t q = position + 1; q < filled_; ++q) {
            const std::int32_t next = queue_[q];
            if (!reading_.reads(next) || !reading_.joins(point, next)) continue;
            if (total + lengths_[next] > budget_) break;
            total += lengths_[next];
            batch_.points.push_back(next);
        }
        batch_.candidates.clear();
        batch_.restricted = reading_.restricts(batch_.points, unqueued(), batch_.candidates);
        if (batch_.restricted && batch_.candidates.empty()) {
            batch_.offsets.assign(batch_.points.size() + 1, 0);  // nothing left to read
            batch_.entries.clear();
        } else {
            fetch_(batch_);
        }
        for (std::size_t k = 0; k < batch_.points.size(); ++k) {
            slot_[batch_.points[k]] = static_cast<std::int32_t>(k);
        }
    }

    std::span<const std::int64_t> lengths_;
    Reading reading_;
    std::int64_t n_;
    std::int64_t budget_;
    Fetch& fetch_;
    Poll& poller_;
    std::vector<std::int32_t> slot_;  // position of a point's row in the batch, or -1
    std::vector<std::int32_t> queue_;
    std::int64_t filled_ = 0;
    std::int64_t queued_before_ = 0;  // points queued by the clusters before this one
    std::int64_t searched_ = 0;  // where the last point asked for was found
    RowBatch batch_;
};

}  // namespace densa::kernels

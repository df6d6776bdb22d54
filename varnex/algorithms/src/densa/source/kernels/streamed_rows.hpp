// Neighbourhoods computed on demand, a batch at a time, so that the density clustering
// runs in memory that grows with the number of points, not with the number of pairs.
//
// The clustering reads rows in queue order. Which points are queued next does not
// depend on when their rows are read, so when a row is missing, the rows of the points
// queued after it are fetched in the same batch, up to a budget of stored entries: the
// result is the one the whole set of rows would give, with at most one batch held.
//
// The class serves the kernel both as its Rows and as its Queues: the queue it makes
// records how far the kernel has filled it, which tells a batch where to stop.
#pragma once

#include "core/csr.hpp"

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

// Where a batch is `restricted`, a row need only hold its neighbours among `candidates`,
// the points not yet visited when the batch was asked for: the clustering passes over
// the others.
//
// Rows that cannot change the clustering are not fetched at all: those of points that
// do not spread their cluster (neither core nor labelled), and every row once every
// point is visited. A point is visited exactly when it enters a queue, so the queues
// count the visited points.
//
// `lengths[i]` is the number of stored entries of row i (its neighbours but itself);
// `fetch(batch)` fills batch.offsets and batch.entries for batch.points, with those
// lengths (at most, where restricted) and every entry in 0 .. n - 1. A batch holds at
// most `budget` entries, or a single row that is longer. `Poll` answers poll() once per
// point taken.
template <class Fetch, class Poll>
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

    // `spreads[i]` tells whether point i spreads its cluster (a core or labelled point);
    // `visited` are the kernel's flags, read when a batch is restricted. All n long.
    StreamedRows(std::span<const std::int64_t> lengths, std::span<const std::uint8_t> spreads,
                 std::span<const std::int8_t> visited, std::int64_t budget, Fetch& fetch, Poll& poller)
        : lengths_(lengths), spreads_(spreads), visited_(visited), n_(static_cast<std::int64_t>(lengths.size())),
          budget_(budget), fetch_(fetch), poller_(poller), slot_(lengths.size(), -1), queue_(lengths.size() + 1) {}

    Row row(std::int64_t i) {
        if (spreads_[i] == 0 || unvisited() == 0) return {};
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
    // Past this share of the points visited, rows are fetched among the others only.
    static constexpr std::int64_t kRestrictBelow = 8;

    std::int64_t unvisited() const { return n_ - queued_before_ - filled_; }

    // Replaces the batch by the rows of `point` and of the spreading points queued after it.
    void load(std::int32_t point) {
        for (const std::int32_t p : batch_.points) slot_[p] = -1;
        batch_.points.assign(1, point);
        std::int64_t total = lengths_[point];
        std::int64_t position = searched_;
        while (position < filled_ && queue_[position] != point) ++position;
        if (position < filled_) {
            searched_ = position;
            for (std::int64_t q = position + 1; q < filled_; ++q) {
                const std::int32_t next = queue_[q];
                if (spreads_[next] == 0) continue;
                if (total + lengths_[next] > budget_) break;
                total += lengths_[next];
                batch_.points.push_back(next);
            }
        }
        batch_.candidates.clear();
        batch_.restricted = unvisited() * kRestrictBelow <= n_;
        if (batch_.restricted) {
            for (std::int32_t j = 0; j < static_cast<std::int32_t>(n_); ++j) {
                if (visited_[j] == 0) batch_.candidates.push_back(j);
            }
        }
        fetch_(batch_);
        for (std::size_t k = 0; k < batch_.points.size(); ++k) {
            slot_[batch_.points[k]] = static_cast<std::int32_t>(k);
        }
    }

    std::span<const std::int64_t> lengths_;
    std::span<const std::uint8_t> spreads_;
    std::span<const std::int8_t> visited_;
    std::int64_t n_;
    std::int64_t budget_;
    Fetch& fetch_;
    Poll& poller_;
    std::vector<std::int32_t> slot_;  // position of a point's row in the batch, or -1
    std::vector<std::int32_t> queue_;
    std::int64_t filled_ = 0;
    std::int64_t queued_before_ = 0;  // points queued by the clusters before this one
    std::int64_t searched_ = 0;  // the queue holds no unread point before this slot
    RowBatch batch_;
};

}  // namespace densa::kernels

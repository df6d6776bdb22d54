// Label propagation sweeps, written once for every way of reading a graph.
//
// A sweep visits unlabelled nodes in index order and gives each the label whose labelled
// neighbours weigh most, a neighbour over an edge of weight w counting (1/w)^2. Two
// policies say which labels a node sees:
//  - InPlace: the labels as they are now, so a label found earlier in the sweep counts
//    for every later node of the same sweep, and the result depends on the node order;
//    ties go to the label met first in the row.
//  - Snapshot: the labels as the previous sweep left them, so nodes are labelled in
//    layers of hops from the labelled ones whatever their order; ties go to the label
//    of the strongest (nearest) neighbour among the tied ones, then to the smallest label.
#pragma once

#include "core/threads.hpp"
#include "label_totals.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace linka {

// One node's row: its neighbours and the weights of the edges to them, position by
// position. Every neighbour is a node index the source has already checked.
template <class R>
concept WeightedRow = requires(const R& row, std::ptrdiff_t j) {
    { row.size() } -> std::convertible_to<std::ptrdiff_t>;
    { row.neighbour(j) } -> std::convertible_to<int64_t>;
    { row.weight(j) } -> std::convertible_to<double>;
};

// Where the rows come from. row(i) is asked for the nodes a sweep processes, in the
// order it processes them (and, for snapshot reading, twice for every unlabelled node
// before the first sweep); poll() is called once per node visited, labelled or not.
template <class G>
concept WeightedRows = requires(G& rows, std::ptrdiff_t i) {
    { rows.row(i) } -> WeightedRow;
    rows.poll();
};

// Rows that take hints about the rows to be read soon.
template <class G>
concept PrefetchingRows = requires(const G& rows, std::ptrdiff_t i) {
    rows.prefetch_bounds(i);
    rows.prefetch_row(i);
};

enum class Reading { InPlace, Snapshot };

// AtTolerance: the first sweep whose largest score change is below the tolerance ends
// the run, even if it labelled nodes whose neighbours are still waiting for a label.
// WhenSettled: a run ends only after a sweep that labelled no node, and no later sweep
// could: a tolerance cannot cut the labelling short.
enum class Stop { AtTolerance, WhenSettled };

struct SweepLimits {
    uint64_t max_sweeps;
    double tolerance;
    Stop stop;
};

namespace detail {

struct Vote {
    int32_t label;
    double score;
    bool saw_unlabelled = false;  // some neighbour had no label yet
};

// Strictly greater wins, so the first label inserted takes ties and NaN never wins;
// with no labelled neighbour the node keeps -1 with a score of -1.0.
inline Vote first_best(const LabelTotals& totals, bool& tied) {
    Vote best{-1, -1.0, false};
    tied = false;
    for (const LabelTotals::Entry& entry : totals.entries()) {
        if (entry.total > best.score) {
            best.label = entry.label;
            best.score = entry.total;
            tied = false;
        } else if (entry.total == best.score) {
            tied = true;
        }
    }
    return best;
}

// Among the labels whose total equals the best, the one with the strongest single
// edge wins (the nearest neighbour for distance weights), then the smallest label:
// nothing depends on where in the row a neighbour stands.
template <WeightedRow Row>
int32_t break_tie(const Row& row, std::span<const int32_t> labels, const LabelTotals& totals, double best) {
    int32_t winner = -1;
    double strongest = -1.0;
    for (const LabelTotals::Entry& entry : totals.entries()) {
        if (entry.total != best) continue;
        for (std::ptrdiff_t j = 0; j < row.size(); ++j) {
            if (labels[row.neighbour(j)] != entry.label) continue;
            const double reciprocal = 1.0 / static_cast<double>(row.weight(j));
            const double strength = reciprocal * reciprocal;
            if (strength > strongest || (strength == strongest && entry.label < winner)) {
                strongest = strength;
                winner = entry.label;
            }
        }
    }
    return winner;
}

// Visits `nodes` in their order. Rows scattered over memory arrive one cache miss
// after another; rows that take hints are asked for some visits ahead instead.
template <WeightedRows Rows, class Visit>
void visit_all(std::span<const int32_t> nodes, const Rows& rows, Visit&& visit) {
    constexpr size_t kBoundsAhead = 16, kRowAhead = 8;
    const size_t count = nodes.size();
    for (size_t k = 0; k < count; ++k) {
        if constexpr (PrefetchingRows<Rows>) {
            if (k + kBoundsAhead < count) rows.prefetch_bounds(nodes[k + kBoundsAhead]);
            if (k + kRowAhead < count) rows.prefetch_row(nodes[k + kRowAhead]);
        }
        visit(nodes[k]);
    }
}

// In-place reading: every sweep visits every node in index order, and a new label is
// written at once.
class InPlaceVisits {
public:
    template <WeightedRows Rows>
    InPlaceVisits(Rows&, std::span<const int32_t> labels) : num_nodes_(labels.size()) {}

    template <WeightedRows Rows, class Visit>
    void for_each(const Rows&, Visit&& visit) const {
        for (std::ptrdiff_t i = 0; i < num_nodes_; ++i) visit(i);
    }
    void assign(std::span<int32_t> labels, std::ptrdiff_t i, const Vote& vote) { labels[i] = vote.label; }
    void end_sweep(std::span<int32_t>) {}

private:
    std::ptrdiff_t num_nodes_;
};

// Snapshot reading: new labels wait until the sweep ends, so the label array itself is
// the previous sweep's snapshot. A node's vote can only change when a neighbour's label
// did, so a sweep visits only the nodes that list a node labelled in the sweep before:
// no node waits through sweeps of rescanning a neighbourhood where nothing changed.
// The first sweep visits the nodes that list a labelled node, or, where every
// unlabelled node's first score counts (`visit_all_first`), every unlabelled node.
// Nodes are int32 (the entry points refuse more).
//
// Nothing a sweep reads is written before it ends, so its nodes split into chunks
// that threads vote on independently; each chunk keeps what it found, and the chunks
// are combined in order, so the found nodes come out in the order one thread would
// find them.
class SnapshotVisits {
public:
    struct Found {
        int32_t node;
        int32_t label;
    };
    // What one chunk of a sweep found.
    struct Chunk {
        double max_diff = 0.0;
        bool processed_any = false;
        bool labelled_any = false;
        std::vector<Found> found;
        std::vector<int32_t> partial_voters;

        void reset() {
            max_diff = 0.0;
            processed_any = labelled_any = false;
            found.clear();
            partial_voters.clear();
        }
        void assign(std::ptrdiff_t i, const Vote& vote) {
            if (vote.label == -1) return;
            found.push_back({static_cast<int32_t>(i), vote.label});
            if (vote.saw_unlabelled) partial_voters.push_back(static_cast<int32_t>(i));
        }
    };

    // Builds the lists on the threads of `pool`.
    template <WeightedRows Rows>
    SnapshotVisits(core::Pool& pool, Rows& rows, std::span<const int32_t> labels, bool visit_all_first)
        : pool_(pool), listed_by_start_(labels.size() + 1, 0), queued_((labels.size() + 63) / 64, 0) {
        const auto num_nodes = static_cast<int32_t>(labels.size());
        // Who lists whom, turned around: listed_by_ holds the nodes that list node v
        // at listed_by_start_[v] .. listed_by_start_[v + 1], in index order. Only
        // unlabelled nodes are ever visited, so only they are kept.
        //
        // Each thread owns a range of the listed nodes and reads every row, keeping
        // the entries in its range: the counters are its own, so no atomic operation
        // (whose fences would stall the scattered increments one after another), and
        // each list comes out in index order whatever the number of threads. The rows
        // are read front to back, so reading them once per thread costs less than the
        // scattered increments themselves.
        constexpr int64_t kSlice = 4096;
        const auto shares = static_cast<int64_t>(pool.threads());
        auto for_each_lister = [&](auto&& listed) {
            pool.run(
                static_cast<size_t>(shares),
                [&](size_t share, size_t thread) {
                    const int64_t low = num_nodes * static_cast<int64_t>(share) / shares;
                    const int64_t high = num_nodes * (static_cast<int64_t>(share) + 1) / shares;
                    for (int32_t i = 0; i < num_nodes; ++i) {
                        if (thread == 0 && i % kSlice == 0) rows.poll();  // the caller alone
                        if (labels[i] != -1) continue;
                        const auto row = rows.row(i);
                        for (std::ptrdiff_t j = 0; j < row.size(); ++j) {
                            const auto v = static_cast<int64_t>(row.neighbour(j));
                            if (v >= low && v < high) listed(v, i);
                        }
                    }
                },
                [](size_t) {});
        };
        for_each_lister([&](int64_t v, int32_t) { ++listed_by_start_[v + 1]; });
        for (int32_t v = 0; v < num_nodes; ++v) listed_by_start_[v + 1] += listed_by_start_[v];
        listed_by_.resize(listed_by_start_[num_nodes]);
        std::vector<int64_t> filled(listed_by_start_.begin(), listed_by_start_.end() - 1);
        for_each_lister([&](int64_t v, int32_t i) {
            // Rows read again may differ from the rows counted when another thread
            // rewrites them meanwhile: a node's share is never overrun.
            if (filled[v] < listed_by_start_[v + 1]) listed_by_[filled[v]++] = i;
        });
        for (int32_t i = 0; i < num_nodes; ++i) {
            if (visit_all_first && labels[i] == -1) next_.push_back(i);
            if (!visit_all_first && labels[i] != -1) found_.push_back({i, labels[i]});
        }
        if (!visit_all_first) queue_listers_of_found();
    }

    // The nodes of the next sweep; the previous sweep's are forgotten.
    std::span<const int32_t> start_sweep() {
        visiting_.swap(next_);
        next_.clear();
        return visiting_;
    }
    // The nodes that voted while some of their neighbours had no label: only their
    // vote can come out differently now. The others saw then what they would see now.
    std::span<const int32_t> partial_voters() const { return partial_voters_; }

    // Takes what the chunks found, in chunk order.
    void collect(std::span<const Chunk> chunks) {
        for (const Chunk& chunk : chunks) {
            found_.insert(found_.end(), chunk.found.begin(), chunk.found.end());
            partial_voters_.insert(partial_voters_.end(), chunk.partial_voters.begin(), chunk.partial_voters.end());
        }
    }
    // Writes the labels found in the sweep and queues the nodes that list them.
    void end_sweep(std::span<int32_t> labels) {
        write_found(labels);
        queue_listers_of_found();
    }
    void write_found(std::span<int32_t> labels) const {
        for (const Found& found : found_) labels[found.node] = found.label;
    }

private:
    // Queues the nodes that list a found node, once each and in index order, so the
    // next sweep reads the label array front to back; whether a queued node still
    // needs a label is left to that sweep's skip test. Forgets the found nodes.
    //
    // Many found nodes are shared out as the reverse lists are built: each thread owns
    // a range of the listers (whole words of their bits) and reads every found node's
    // list, and the ranges are joined in order.
    void queue_listers_of_found() {
        constexpr size_t kFoundPerThread = 4096;
        const size_t shares = std::min(pool_.threads(), found_.size() / kFoundPerThread + 1);
        parts_.resize(std::max(parts_.size(), shares));
        pool_.run(
            shares,
            [&](size_t share, size_t) {
                queue_listers_in(queued_.size() * share / shares, queued_.size() * (share + 1) / shares, parts_[share]);
            },
            [](size_t) {});
        found_.clear();
        for (size_t share = 0; share < shares; ++share) next_.insert(next_.end(), parts_[share].begin(), parts_[share].end());
    }
    // The listers whose bits lie in words low .. high - 1, into `queued`.
    void queue_listers_in(size_t low, size_t high, std::vector<int32_t>& queued) {
        constexpr size_t kBoundsAhead = 16, kListAhead = 8;
        queued.clear();
        const size_t count = found_.size();
        // Many found nodes: set their listers' bits, then read the bits back in order.
        // Few: list the listers as their bits are first set, then sort the short list,
        // which costs less than reading every word.
        const bool many = count * 8 > queued_.size();
        for (size_t k = 0; k < count; ++k) {
            if (k + kBoundsAhead < count) __builtin_prefetch(&listed_by_start_[found_[k + kBoundsAhead].node]);
            if (k + kListAhead < count) __builtin_prefetch(listed_by_.data() + listed_by_start_[found_[k + kListAhead].node]);
            const int32_t node = found_[k].node;
            for (int64_t e = listed_by_start_[node]; e < listed_by_start_[node + 1]; ++e) {
                const int32_t lister = listed_by_[e];
                const auto w = static_cast<size_t>(lister >> 6);
                if (w < low || w >= high) continue;
                uint64_t& word = queued_[w];
                const uint64_t bit = uint64_t{1} << (lister & 63);
                if (!many && !(word & bit)) queued.push_back(lister);
                word |= bit;
            }
        }
        if (many) {
            for (size_t w = low; w < high; ++w) {
                for (uint64_t bits = std::exchange(queued_[w], 0); bits != 0; bits &= bits - 1) {
                    queued.push_back(static_cast<int32_t>(w * 64 + std::countr_zero(bits)));
                }
            }
        } else {
            std::sort(queued.begin(), queued.end());
            for (const int32_t i : queued) queued_[i >> 6] = 0;
        }
    }

    core::Pool& pool_;
    std::vector<int64_t> listed_by_start_;
    std::vector<int32_t> listed_by_;
    std::vector<uint64_t> queued_;  // one bit per node
    std::vector<int32_t> visiting_, next_, partial_voters_;
    std::vector<std::vector<int32_t>> parts_;  // the listers each thread queued
    std::vector<Found> found_;
};

// The label that node i's labelled neighbours vote for, as `seen` gives their labels,
// and its score; ties broken as `reading` says.
template <Reading reading, WeightedRows Rows>
Vote vote_for(const Rows& rows, std::span<const int32_t> seen, LabelTotals& totals, std::ptrdiff_t i) {
    const auto row = rows.row(i);
    // The neighbours' labels are scattered over the label array: ask for all of
    // them first, so the loop below does not wait for them one at a time.
    for (std::ptrdiff_t j = 0; j < row.size(); ++j) __builtin_prefetch(&seen[row.neighbour(j)]);
    totals.clear();
    bool saw_unlabelled = false;
    for (std::ptrdiff_t j = 0; j < row.size(); ++j) {
        const int32_t label = seen[row.neighbour(j)];
        if (label == -1) {
            saw_unlabelled = true;
            continue;
        }
        // A zero weight gives +inf, a NaN weight a NaN total.
        const double reciprocal = 1.0 / static_cast<double>(row.weight(j));
        totals.add(label, reciprocal * reciprocal);
    }
    bool tied = false;
    Vote vote = first_best(totals, tied);
    vote.saw_unlabelled = saw_unlabelled;
    if constexpr (reading == Reading::Snapshot) {
        if (tied) vote.label = break_tie(row, seen, totals, vote.score);
    }
    return vote;
}

// Nodes per chunk of a synchronous sweep: enough to pay for handing a chunk to a
// thread, few enough that the last chunks of a sweep keep every thread busy. Fixed,
// so chunk boundaries never depend on the thread count.
constexpr size_t kSweepChunk = 1024;

// Runs `visit(i, chunk, totals)` for every node of `nodes`, chunk by chunk on `pool`,
// each chunk reset first; the caller polls once per node of its own chunks.
template <WeightedRows Rows, class Visit>
void visit_in_chunks(core::Pool& pool, Rows& rows, std::span<const int32_t> nodes,
                     std::vector<SnapshotVisits::Chunk>& chunks, std::vector<LabelTotals>& totals, Visit&& visit) {
    chunks.resize(core::chunk_count(nodes.size(), kSweepChunk));
    const auto part = [&](size_t c) {
        return nodes.subspan(c * kSweepChunk, std::min(kSweepChunk, nodes.size() - c * kSweepChunk));
    };
    pool.run(
        chunks.size(),
        [&](size_t c, size_t t) {
            SnapshotVisits::Chunk& chunk = chunks[c];
            chunk.reset();
            visit_all(part(c), rows, [&](std::ptrdiff_t i) { visit(i, chunk, totals[t]); });
        },
        [&](size_t c) {
            for (size_t k = part(c).size(); k > 0; --k) rows.poll();
        });
}

}  // namespace detail

// Synchronous sweeps (snapshot reading) on the threads of `pool`, with the stop rules
// and results of sweep_labels; the labels, scores and sweep count do not depend on the
// pool's size.
//
// Under Stop::WhenSettled the run ends with one refinement sweep, when the limit leaves
// room for it: every node that was unlabelled re-votes from the labels of all its
// neighbours, where its first vote saw only those labelled before it (a node that saw
// every neighbour labelled would vote the same, and is not visited). One such sweep
// measured better than none, and than sweeping until no label changes, which lets the
// larger classes creep over the smaller ones.
template <WeightedRows Rows>
uint64_t sweep_synchronous(core::Pool& pool, Rows& rows, std::span<int32_t> labels, std::span<double> scores,
                           const SweepLimits& limits) {
    if (limits.max_sweeps == 0) return 0;
    const std::span<const int32_t> seen(labels.data(), labels.size());
    // The tolerance stop counts every unlabelled node's first score.
    detail::SnapshotVisits visits(pool, rows, seen, limits.stop == Stop::AtTolerance);
    std::vector<LabelTotals> totals(pool.threads());
    std::vector<detail::SnapshotVisits::Chunk> chunks;

    uint64_t sweep = 0;
    bool settled = false;
    while (sweep < limits.max_sweeps) {
        ++sweep;
        detail::visit_in_chunks(pool, rows, visits.start_sweep(), chunks, totals,
                                [&](std::ptrdiff_t i, detail::SnapshotVisits::Chunk& chunk, LabelTotals& own) {
            // A node not yet processed holds the same label in both readings.
            if (seen[i] != -1) return;
            chunk.processed_any = true;
            const detail::Vote vote = detail::vote_for<Reading::Snapshot>(rows, seen, own, i);
            const double diff = std::fabs(scores[i] - vote.score);
            if (diff > chunk.max_diff) chunk.max_diff = diff;  // a NaN diff never raises it
            scores[i] = vote.score;
            chunk.assign(i, vote);
            chunk.labelled_any = chunk.labelled_any || vote.label != -1;
        });
        double max_diff = 0.0;
        bool processed_any = false, labelled_any = false;
        for (const auto& chunk : chunks) {
            if (chunk.max_diff > max_diff) max_diff = chunk.max_diff;
            processed_any = processed_any || chunk.processed_any;
            labelled_any = labelled_any || chunk.labelled_any;
        }
        visits.collect(chunks);
        visits.end_sweep(labels);
        if (limits.stop == Stop::AtTolerance && max_diff < limits.tolerance) break;  // never for a NaN tolerance
        // A sweep that labelled nothing leaves every label as it found it, and so would
        // every sweep after it; one that found no unlabelled node did not even look.
        settled = limits.stop == Stop::WhenSettled ? !labelled_any : !processed_any;
        if (settled) break;
    }

    if (limits.stop == Stop::WhenSettled && settled && sweep < limits.max_sweeps) {
        ++sweep;
        // The chunks find no partial voters here, so collecting leaves the list as read.
        detail::visit_in_chunks(pool, rows, visits.partial_voters(), chunks, totals,
                                [&](std::ptrdiff_t i, detail::SnapshotVisits::Chunk& chunk, LabelTotals& own) {
            const detail::Vote vote = detail::vote_for<Reading::Snapshot>(rows, seen, own, i);
            scores[i] = vote.score;
            if (vote.label != -1) chunk.found.push_back({static_cast<int32_t>(i), vote.label});
        });
        visits.collect(chunks);
        visits.write_found(labels);
    }
    return sweep;
}

// Runs sweeps over `labels` (-1 unlabelled), writing each node's winning score into
// `scores`, until the stop rule or the sweep limit ends the run. Returns the number of
// sweeps run. Exception-neutral: whatever the row source throws leaves the labels
// found so far in place.
//
// In-place reading stays on one thread: each node may see the label its predecessor
// in the same sweep was just given, so a node's vote waits for every node before it.
template <Reading reading, WeightedRows Rows>
uint64_t sweep_labels(Rows& rows, std::span<int32_t> labels, std::span<double> scores,
                      const SweepLimits& limits) {
    if constexpr (reading == Reading::Snapshot) {
        core::Pool caller_only(1);
        return sweep_synchronous(caller_only, rows, labels, scores, limits);
    } else {
        if (limits.max_sweeps == 0) return 0;
        const std::span<const int32_t> seen(labels.data(), labels.size());
        detail::InPlaceVisits visits(rows, seen);
        LabelTotals totals;
        uint64_t sweep = 0;
        while (sweep < limits.max_sweeps) {
            ++sweep;
            double max_diff = 0.0;
            bool processed_any = false;
            bool labelled_any = false;
            visits.for_each(rows, [&](std::ptrdiff_t i) {
                rows.poll();
                if (labels[i] != -1) return;
                processed_any = true;
                const detail::Vote vote = detail::vote_for<Reading::InPlace>(rows, seen, totals, i);
                const double diff = std::fabs(scores[i] - vote.score);
                if (diff > max_diff) max_diff = diff;  // a NaN diff never raises it
                scores[i] = vote.score;
                visits.assign(labels, i, vote);
                labelled_any = labelled_any || vote.label != -1;
            });
            if (limits.stop == Stop::AtTolerance && max_diff < limits.tolerance) break;  // never for a NaN tolerance
            // A sweep that labelled nothing leaves every label as it found it, and so
            // would every sweep after it; one that found no unlabelled node did not look.
            if (limits.stop == Stop::WhenSettled ? !labelled_any : !processed_any) break;
        }
        return sweep;
    }
}

}  // namespace linka

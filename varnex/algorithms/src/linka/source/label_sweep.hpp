// Label propagation sweeps, written once for every way of reading a graph.
//
// A sweep visits the unlabelled nodes in index order and gives each the label whose
// labelled neighbours weigh most, a neighbour over an edge of weight w counting (1/w)^2.
// Two policies say which labels a node sees:
//  - InPlace: the labels as they are now, so a label found earlier in the sweep counts
//    for every later node of the same sweep, and the result depends on the node order;
//    ties go to the label met first in the row.
//  - Snapshot: the labels as the previous sweep left them, so nodes are labelled in
//    layers of hops from the labelled ones whatever their order; ties go to the label
//    of the strongest (nearest) neighbour among the tied ones, then to the smallest label.
#pragma once

#include "array.hpp"
#include "label_totals.hpp"

#include <cmath>
#include <concepts>
#include <cstdint>
#include <vector>

namespace linka {

// One node's row: its neighbours and the weights of the edges to them, position by
// position. Every neighbour is a node index the source has already checked.
template <class R>
concept WeightedRow = requires(const R& row, Py_ssize_t j) {
    { row.size() } -> std::convertible_to<Py_ssize_t>;
    { row.neighbour(j) } -> std::convertible_to<int64_t>;
    { row.weight(j) } -> std::convertible_to<double>;
};

// Where the rows come from. row(i) is asked only for nodes the sweep processes, in the
// order it processes them; poll() is called once per node visited, labelled or not.
template <class G>
concept WeightedRows = requires(G& rows, Py_ssize_t i) {
    { rows.row(i) } -> WeightedRow;
    rows.poll();
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
};

// Strictly greater wins, so the first label inserted takes ties and NaN never wins;
// with no labelled neighbour the node keeps -1 with a score of -1.0.
inline Vote first_best(const LabelTotals& totals, bool& tied) {
    Vote best{-1, -1.0};
    tied = false;
    for (const LabelTotals::Entry& entry : totals.entries()) {
        if (entry.total > best.score) {
            best = {entry.label, entry.total};
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
int32_t break_tie(const Row& row, frame::Elements<const int32_t> seen, const LabelTotals& totals, double best) {
    int32_t winner = -1;
    double strongest = -1.0;
    for (const LabelTotals::Entry& entry : totals.entries()) {
        if (entry.total != best) continue;
        for (Py_ssize_t j = 0; j < row.size(); ++j) {
            if (seen.unchecked(row.neighbour(j)) != entry.label) continue;
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

}  // namespace detail

// Runs sweeps over `labels` (-1 unlabelled), writing each node's winning score into
// `scores`, until the stop rule or the sweep limit ends the run. Returns the number of
// sweeps run. Exception-neutral: whatever the row source throws leaves the labels
// found so far in place.
template <Reading reading, WeightedRows Rows>
uint64_t sweep_labels(Rows& rows, frame::Elements<int32_t> labels, frame::Elements<double> scores,
                      const SweepLimits& limits) {
    const Py_ssize_t num_nodes = labels.size();
    LabelTotals totals;
    // Snapshot reading keeps the previous sweep's labels; in-place reading sees the
    // live array.
    std::vector<int32_t> previous(reading == Reading::Snapshot ? num_nodes : 0);
    const frame::Elements<const int32_t> seen(reading == Reading::Snapshot ? previous.data() : labels.data(),
                                              num_nodes);

    uint64_t sweep = 0;
    while (sweep < limits.max_sweeps) {
        ++sweep;
        if constexpr (reading == Reading::Snapshot) {
            for (Py_ssize_t i = 0; i < num_nodes; ++i) previous[i] = labels.unchecked(i);
        }
        double max_diff = 0.0;
        bool processed_any = false;
        bool labelled_any = false;
        for (Py_ssize_t i = 0; i < num_nodes; ++i) {
            rows.poll();
            // A node not yet processed holds the same label in both readings.
            if (labels.unchecked(i) != -1) continue;
            processed_any = true;
            const auto row = rows.row(i);

            totals.clear();
            for (Py_ssize_t j = 0; j < row.size(); ++j) {
                const int32_t label = seen.unchecked(row.neighbour(j));
                if (label == -1) continue;
                // A zero weight gives +inf, a NaN weight a NaN total.
                const double reciprocal = 1.0 / static_cast<double>(row.weight(j));
                totals.add(label, reciprocal * reciprocal);
            }
            bool tied = false;
            detail::Vote vote = detail::first_best(totals, tied);
            if constexpr (reading == Reading::Snapshot) {
                if (tied) vote.label = detail::break_tie(row, seen, totals, vote.score);
            }

            const double diff = std::fabs(scores.unchecked(i) - vote.score);
            if (diff > max_diff) max_diff = diff;  // a NaN diff never raises it
            scores.unchecked(i) = vote.score;
            labels.unchecked(i) = vote.label;
            labelled_any = labelled_any || vote.label != -1;
        }
        if (limits.stop == Stop::AtTolerance && max_diff < limits.tolerance) break;  // never for a NaN tolerance
        // A sweep that labelled nothing leaves every label as it found it, and so would
        // every sweep after it; one that found no unlabelled node did not even look.
        if (limits.stop == Stop::WhenSettled ? !labelled_any : !processed_any) break;
    }
    return sweep;
}

}  // namespace linka

// Joining the unlabelled components of a k-NN graph to its labelled part.
//
// Stage 1 gives every unlabelled component that has a k-nearest neighbour flagged
// labelled one edge pair to that neighbour (first such node, first such neighbour) and
// counts the whole component as reached. Stage 2 then runs passes in which single
// unreached nodes are joined to reached neighbours, at most one per component and pass;
// once a pass has joined a node, a component's scan also stops at its first unreached
// node that cannot join. A pass that joins nothing means the rest cannot be reached
// through the k-NN lists: what then happens is the caller's choice.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <vector>

namespace linka {

// A source gives the components and k-NN rows and carries out joins and marks:
//   component_count(); unlabelled_component(c), falsy for a labelled component, with
//   size() and node(i); index(node); knn_row(node) with neighbours and weights (rows of
//   valid indices); labelled(i) and reached(i), the input and the working flags;
//   join(node, knn, weight), the edge pair; mark_component_reached(component);
//   begin_pass(); note_joined(node) and end_component_scan(joined or null);
//   kStableComponents, true when components and their node lists cannot change during
//   the call, so a pass need not look again at what it found reached before.
template <class Source>
class Connection {
public:
    explicit Connection(Source& source) : source_(source) {}

    void stage_one() {
        for (std::ptrdiff_t c = 0, count = source_.component_count(); c < count; ++c) {
            auto component = source_.unlabelled_component(c);
            if (!component) continue;
            for (std::ptrdiff_t n_i = 0, size = component.size(); n_i < size; ++n_i) {
                if (!join_first(component.node(n_i), [&](auto knn) { return source_.labelled(knn); })) continue;
                source_.mark_component_reached(component);
                break;
            }
        }
    }

    // One pass of stage 2; whether it joined any node.
    bool pass() {
        source_.begin_pass();
        bool progress = false;
        if constexpr (Source::kStableComponents) {
            if (!started_) start_passes();
            std::size_t kept = 0;
            for (const std::ptrdiff_t c : active_) {
                auto component = source_.unlabelled_component(c);
                std::ptrdiff_t& first = first_unreached_[c];
                while (first < component.size() && source_.reached(source_.index(component.node(first)))) ++first;
                if (first == component.size()) continue;  // done for good: dropped from the list
                active_[kept++] = c;
                scan(component, first, progress);
            }
            active_.resize(kept);
        } else {
            for (std::ptrdiff_t c = 0, count = source_.component_count(); c < count; ++c) {
                auto component = source_.unlabelled_component(c);
                if (component) scan(component, 0, progress);
            }
        }
        return progress;
    }

private:
    // One component's scan in a pass: the first unreached node that can join does;
    // once the pass has progress, the first that cannot ends the scan.
    template <class Component>
    void scan(const Component& component, std::ptrdiff_t from, bool& progress) {
        std::optional<typename Source::Node> joined;
        for (std::ptrdiff_t n_i = from, size = component.size(); n_i < size; ++n_i) {
            auto node = component.node(n_i);
            if (source_.reached(source_.index(node))) continue;
            if (join_first(node, [&](auto knn) { return source_.reached(knn); })) {
                source_.note_joined(node);
                progress = true;
                joined = std::move(node);
                break;
            }
            if (progress) break;
        }
        source_.end_component_scan(joined ? &*joined : nullptr);
    }

    // With components that cannot change between passes, each pass may start a
    // component's scan at its first unreached node and skip components with none:
    // reached nodes stay reached, so the passes join exactly the same nodes.
    void start_passes() {
        started_ = true;
        first_unreached_.assign(source_.component_count(), 0);
        for (std::ptrdiff_t c = 0, count = source_.component_count(); c < count; ++c) {
            if (source_.unlabelled_component(c)) active_.push_back(c);
        }
    }

    // Joins `node` to the first neighbour in its row that `flagged` accepts.
    template <class Node, class Flagged>
    bool join_first(const Node& node, Flagged flagged) {
        const auto rows = source_.knn_row(node);
        for (std::ptrdiff_t idx = 0, degree = std::ssize(rows.neighbours); idx < degree; ++idx) {
            const auto knn = rows.neighbours[idx];
            if (!flagged(knn)) continue;
            source_.join(node, knn, static_cast<double>(rows.weights[idx]));
            return true;
        }
        return false;
    }

    Source& source_;
    bool started_ = false;
    std::vector<std::ptrdiff_t> active_;           // components that may hold unreached nodes, in order
    std::vector<std::ptrdiff_t> first_unreached_;  // per component, no earlier node is unreached
};

}  // namespace linka

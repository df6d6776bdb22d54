// Per-label score totals of one node, in the order the labels were first seen.
//
// One instance serves every node of a call: clear() forgets the previous node's labels
// by touching only the slots they used, so a node costs no allocation once the table
// has grown to the largest number of distinct labels met so far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace linka {

class LabelTotals {
public:
    struct Entry {
        int32_t label;
        double total;
        size_t slot;  // where the hash index points at this entry
    };

    LabelTotals() : slots_(kInitialSlots, kEmpty), mask_(kInitialSlots - 1) {}

    // Adds `amount` to the total of `label`, inserting the label last when it is new.
    // Totals are plain running sums, so each label's additions happen in call order.
    void add(int32_t label, double amount) {
        size_t slot = home(label);
        while (slots_[slot] != kEmpty) {
            Entry& entry = entries_[slots_[slot]];
            if (entry.label == label) {
                entry.total += amount;
                return;
            }
            slot = (slot + 1) & mask_;
        }
        insert(label, amount, slot);
    }

    // Entries in insertion order.
    const std::vector<Entry>& entries() const { return entries_; }

    void clear() {
        for (const Entry& entry : entries_) slots_[entry.slot] = kEmpty;
        entries_.clear();
    }

private:
    static constexpr size_t kEmpty = SIZE_MAX;
    static constexpr size_t kInitialSlots = 16;

    size_t home(int32_t label) const {
        // Fibonacci hashing: consecutive labels land far apart.
        uint64_t h = static_cast<uint64_t>(static_cast<uint32_t>(label)) * 0x9E3779B97F4A7C15ULL;
        return static_cast<size_t>(h >> 32) & mask_;
    }

    // Out of line, so that add() stays small enough to inline into the vote loops: a
    // node meets each of its labels once, and adds to it once per neighbour.
    [[gnu::noinline]] void insert(int32_t label, double amount, size_t slot) {
        if (2 * (entries_.size() + 1) > slots_.size()) {
            grow();
            slot = free_slot(label);
        }
        slots_[slot] = entries_.size();
        entries_.push_back({label, amount, slot});
    }

    size_t free_slot(int32_t label) const {
        size_t slot = home(label);
        while (slots_[slot] != kEmpty) slot = (slot + 1) & mask_;
        return slot;
    }

    // Doubles the index (kept at most half full, so probes stay short) and re-enters
    // the current entries.
    void grow() {
        slots_.assign(2 * slots_.size(), kEmpty);
        mask_ = slots_.size() - 1;
        for (size_t i = 0; i < entries_.size(); ++i) {
            size_t slot = free_slot(entries_[i].label);
            slots_[slot] = i;
            entries_[i].slot = slot;
        }
    }

    std::vector<Entry> entries_;
    std::vector<size_t> slots_;  // entry index per slot, or kEmpty
    size_t mask_;
};

}  // namespace linka

// Rows grouped by label with one stable sort: each group holds exactly the rows that
// carry its label, in increasing row order, the groups in increasing label order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace densa::kernels {

struct LabelGroup {
    std::int32_t label;
    std::int64_t begin, end;  // positions in LabelGroups::rows
};

struct LabelGroups {
    std::vector<std::int64_t> rows;
    std::vector<LabelGroup> groups;
};

// `label(i)` for i in 0 .. n - 1. A counting sort when the labels span a range not much
// wider than n (as clustering results do), a comparison sort of (label, row) otherwise.
template <class Label>
LabelGroups group_by_label(std::int64_t n, Label&& label) {
    LabelGroups out;
    out.rows.resize(static_cast<std::size_t>(n));
    if (n == 0) return out;
    std::int32_t lowest = label(0), highest = label(0);
    for (std::int64_t i = 1; i < n; ++i) {
        lowest = std::min(lowest, label(i));
        highest = std::max(highest, label(i));
    }
    const std::int64_t span = std::int64_t{highest} - lowest + 1;
    if (span <= 2 * n + 1024) {
        std::vector<std::int64_t> start(static_cast<std::size_t>(span) + 1, 0);
        for (std::int64_t i = 0; i < n; ++i) ++start[label(i) - lowest + 1];
        for (std::int64_t v = 0; v < span; ++v) {
            if (start[v + 1] != 0) {
                const std::int64_t begin = start[v];
                out.groups.push_back({static_cast<std::int32_t>(v + lowest), begin, begin + start[v + 1]});
            }
            start[v + 1] += start[v];
        }
        for (std::int64_t i = 0; i < n; ++i) out.rows[start[label(i) - lowest]++] = i;
        return out;
    }
    // Label offset to unsigned in the high half, row in the low half: one key per row,
    // so sorting the keys sorts by label and then by row.
    std::vector<std::uint64_t> keys(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        const auto biased = static_cast<std::uint32_t>(label(i)) ^ 0x80000000u;
        keys[i] = (std::uint64_t{biased} << 32) | static_cast<std::uint64_t>(i);
    }
    std::sort(keys.begin(), keys.end());
    for (std::int64_t k = 0; k < n; ++k) {
        out.rows[k] = static_cast<std::int64_t>(keys[k] & 0xffffffffu);
        const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(keys[k] >> 32) ^ 0x80000000u);
        if (out.groups.empty() || out.groups.back().label != value) out.groups.push_back({value, k, k});
        out.groups.back().end = k + 1;
    }
    return out;
}

}  // namespace densa::kernels

// Rows grouped by label on the threads of a pool: the groups of group_by_label, row for
// row, for any number of threads.
//
// A stable counting sort: each part of the rows counts its labels, the counts give every
// (part, label) pair its place, and each part writes its rows there. A stable sort has a
// single result, so the split into parts changes nothing but the speed.
#pragma once

#include "core/threads.hpp"
#include "label_groups.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace densa::kernels {

// `labels` must not change while this runs (the counts would not match the rows).
// between() runs on the calling thread after each part it finishes.
template <class Between>
LabelGroups group_by_label_in_parallel(core::Pool& pool, std::span<const std::int32_t> labels, Between&& between) {
    const auto n = static_cast<std::int64_t>(labels.size());
    if (n == 0) return {};
    const auto [lowest, highest] = std::minmax_element(labels.begin(), labels.end());
    const std::int64_t span = std::int64_t{*highest} - *lowest + 1;
    // Each part keeps a count per label: labels spread wider than the rows would make
    // those counts outweigh the sort itself.
    constexpr std::int64_t kPartRows = 1 << 15;
    const std::int64_t parts = std::min({static_cast<std::int64_t>(pool.threads()), n / kPartRows, n / span});
    if (span > 2 * n + 1024 || parts <= 1) {
        return group_by_label(n, [&](std::int64_t i) { return labels[i]; });
    }
    const std::int32_t low = *lowest;
    auto part_rows = [&](std::size_t p) { return std::pair{n * std::int64_t(p) / parts, n * std::int64_t(p + 1) / parts}; };
    // place[p * span + v]: how many rows of part p carry label low + v, then where the
    // next of them goes.
    std::vector<std::int64_t> place(static_cast<std::size_t>(parts * span), 0);
    pool.run(
        static_cast<std::size_t>(parts),
        [&](std::size_t p, std::size_t) {
            std::int64_t* counts = place.data() + std::int64_t(p) * span;
            const auto [begin, end] = part_rows(p);
            for (std::int64_t i = begin; i < end; ++i) ++counts[labels[i] - low];
        },
        between);
    LabelGroups out;
    out.rows.resize(static_cast<std::size_t>(n));
    std::int64_t next = 0;
    for (std::int64_t v = 0; v < span; ++v) {
        const std::int64_t begin = next;
        for (std::int64_t p = 0; p < parts; ++p) {
            std::int64_t& slot = place[p * span + v];
            const std::int64_t count = slot;
            slot = next;
            next += count;
        }
        if (next > begin) out.groups.push_back({static_cast<std::int32_t>(low + v), begin, next});
    }
    pool.run(
        static_cast<std::size_t>(parts),
        [&](std::size_t p, std::size_t) {
            std::int64_t* cursor = place.data() + std::int64_t(p) * span;
            const auto [begin, end] = part_rows(p);
            for (std::int64_t i = begin; i < end; ++i) out.rows[cursor[labels[i] - low]++] = i;
        },
        between);
    return out;
}

}  // namespace densa::kernels

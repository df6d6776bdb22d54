// How strongly each node's final neighbours vote for the label it ended with.
//
// A labelled neighbour over an edge of weight w votes with (w0 / w)^2, w0 the weight of
// the node's first (nearest) edge, so that the votes of a row stay near 1 whatever the
// scale of the distances. Each node reads only its own row and writes only its own
// entry, so the nodes split into chunks with the same result on any number of threads.
#pragma once

#include "core/threads.hpp"
#include "label_sweep.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace linka {

// confidence[i]: 1 where known[i] is a label (not -1); otherwise the share of the votes
// of row i that go to labels[i], 0 where the row has no vote or the node no label.
// between() runs on the calling thread after each chunk it finishes.
template <WeightedRows Rows, class Between>
void label_confidence(core::Pool& pool, Rows& rows, std::span<const int32_t> labels, std::span<const int32_t> known,
                      std::span<double> confidence, Between&& between) {
    constexpr std::size_t kChunk = 1 << 14;
    const std::size_t n = labels.size();
    pool.run(
        core::chunk_count(n, kChunk),
        [&](std::size_t c, std::size_t) {
            for (std::size_t i = c * kChunk; i < std::min(n, (c + 1) * kChunk); ++i) {
                if (known[i] != -1) {
                    confidence[i] = 1.0;
                    continue;
                }
                const auto row = rows.row(static_cast<std::ptrdiff_t>(i));
                double own = 0.0, total = 0.0;
                if (row.size() > 0) {
                    const double nearest = row.weight(0);
                    for (std::ptrdiff_t j = 0; j < row.size(); ++j) {
                        const int32_t label = labels[static_cast<std::size_t>(row.neighbour(j))];
                        if (label < 0) continue;
                        const double ratio = nearest / static_cast<double>(row.weight(j));
                        total += ratio * ratio;
                        if (label == labels[i]) own += ratio * ratio;
                    }
                }
                confidence[i] = total > 0 && labels[i] >= 0 ? own / total : 0.0;
            }
        },
        between);
}

}  // namespace linka

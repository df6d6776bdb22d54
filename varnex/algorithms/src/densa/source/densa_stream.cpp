// densa_stream: the density clustering with neighbourhoods fetched a batch at a time
// from a Python callable, for data whose neighbourhoods do not fit in memory at once.
//
// The caller's O(n) arrays are copied first: the fetch runs Python code, which may
// release the GIL and let another thread change them. (The coordinates that settle the
// contests of the synchronous growth are too large to copy; they are read in place.) The kernel runs without the GIL
// and takes it back only to fetch a batch and to answer Ctrl-C; a fetched batch is
// checked entry by entry while the GIL is still held, before the kernel reads it.
#include "contest_points.hpp"
#include "frame.hpp"
#include "kernels/access.hpp"
#include "kernels/density_clustering.hpp"
#include "kernels/streamed_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace {

using frame::data_of;
using frame::Ref;
using frame::Vector;
using densa::kernels::Unchecked;

constexpr const char* kModule = "varnex.algorithms.src.densa.binaries.densa_stream";
constexpr const char* kSource = "varnex/algorithms/src/densa/source/densa_stream";

// A new int32 ndarray holding `values`.
Ref int32_array(std::span<const std::int32_t> values) {
    Ref array = frame::new_vector(static_cast<std::int64_t>(values.size()), NPY_INT32);
    std::copy(values.begin(), values.end(), data_of<std::int32_t>(array));
    return array;
}

// Calls fetch(points, candidates) -> (positions, neighbours), two int32 arrays of equal
// length: entry k puts point neighbours[k] into the row of points[positions[k]]. Every
// row must come back with the length counted for it, its own point left out; where
// `candidates` is not None, only its neighbours among the candidates are needed.
struct PythonFetch {
    PyObject* fetch;
    std::span<const std::int64_t> lengths;
    frame::WithoutGil& unlocked;

    void operator()(densa::kernels::RowBatch& batch) {
        unlocked.holding([&] { fill(batch); });
    }

    void fill(densa::kernels::RowBatch& batch) const {
        const auto n = static_cast<std::int32_t>(lengths.size());
        const auto m = static_cast<Py_ssize_t>(batch.points.size());
        Ref points = int32_array(batch.points);
        Ref candidates = batch.restricted ? int32_array(batch.candidates) : Ref::borrow(Py_None);
        Ref result = frame::check(PyObject_CallFunctionObjArgs(fetch, points.get(), candidates.get(), nullptr));
        if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) {
            frame::raise(PyExc_TypeError, "fetch must return a tuple (positions, neighbours)");
        }
        auto positions = Vector<const std::int32_t>::readable(PyTuple_GET_ITEM(result.get(), 0), frame::kInt);
        auto neighbours = Vector<const std::int32_t>::readable(PyTuple_GET_ITEM(result.get(), 1), frame::kInt);
        if (positions.is_none() || neighbours.is_none() || positions.size() != neighbours.size()) {
            frame::raise(PyExc_ValueError, "fetch must return two int32 arrays of equal length");
        }
        const std::span<const std::int32_t> row_of = positions.span(), column = neighbours.span();
        batch.offsets.assign(static_cast<std::size_t>(m) + 1, 0);
        for (std::size_t k = 0; k < row_of.size(); ++k) {
            const std::int32_t r = row_of[k], j = column[k];
            if (r < 0 || r >= m) frame::raise(PyExc_ValueError, "row position %d out of range for %zd rows", r, m);
            if (j < 0 || j >= n) frame::raise(PyExc_ValueError, "neighbour index %d out of range for %d points", j, n);
            if (j == batch.points[r]) frame::raise(PyExc_ValueError, "row %d lists its own point", j);
            ++batch.offsets[r + 1];
        }
        for (Py_ssize_t r = 0; r < m; ++r) {
            const std::int32_t point = batch.points[r];
            const std::int64_t found = batch.offsets[r + 1];
            if (batch.restricted ? found > lengths[point] : found != lengths[point]) {
                frame::raise(PyExc_ValueError, "the row of point %d holds %lld neighbours, %lld were counted", point,
                             static_cast<long long>(found), static_cast<long long>(lengths[point]));
            }
            batch.offsets[r + 1] += batch.offsets[r];
        }
        batch.entries.resize(row_of.size());
        std::vector<std::int64_t> cursor(batch.offsets.begin(), batch.offsets.end() - 1);
        for (std::size_t k = 0; k < row_of.size(); ++k) batch.entries[cursor[row_of[k]]++] = column[k];
    }
};

// The arguments both growth rules take: lengths[i] (int64) counts the neighbours of point
// i but itself, core[i] (uint8) tells whether it is a core point, fetch(points,
// candidates) returns the rows of int32 `points` as (positions, neighbours), and a batch
// holds at most `budget` entries, or one longer row. Copies: the fetch runs Python code,
// during which another thread may change the caller's arrays.
struct StreamedInput {
    std::vector<std::int64_t> lengths;
    std::vector<std::uint8_t> core;
    std::vector<std::int32_t> labels;
    std::vector<std::uint8_t> spreads;  // core or labelled
    PyObject* fetch;
    long long budget;

    explicit StreamedInput(const frame::Arguments& args) {
        auto lengths_view = Vector<const std::int64_t>::readable(args[0], frame::kInt64);
        auto core_view = Vector<const std::uint8_t>::readable(args[1], frame::kUInt8);
        auto labels_view = Vector<const std::int32_t>::readable(args[2], frame::kInt);
        fetch = args[3];
        budget = frame::check_value(PyLong_AsLongLong(args[4]), -1LL);
        for (int i : {0, 1, 2}) frame::require_not_none(args[i], "lengths, core and labels");
        if (!PyCallable_Check(fetch)) frame::raise(PyExc_TypeError, "fetch must be callable");
        if (budget < 1) frame::raise(PyExc_ValueError, "budget must be at least 1, got %lld", budget);
        const Py_ssize_t size = labels_view.size();
        if (size > INT32_MAX) frame::raise(PyExc_OverflowError, "value too large to convert to int");
        if (lengths_view.size() != size || core_view.size() != size) {
            frame::raise(PyExc_ValueError, "lengths, core and labels must have equal lengths, got %zd, %zd and %zd",
                         lengths_view.size(), core_view.size(), size);
        }
        lengths.assign(lengths_view.span().begin(), lengths_view.span().end());
        core.assign(core_view.span().begin(), core_view.span().end());
        labels.assign(labels_view.span().begin(), labels_view.span().end());
        const auto n = static_cast<std::int32_t>(size);
        for (std::int32_t i = 0; i < n; ++i) {
            if (lengths[i] < 0 || lengths[i] >= n) {
                frame::raise(PyExc_ValueError, "point %d has %lld neighbours, out of range for %d points", i,
                             static_cast<long long>(lengths[i]), n);
            }
        }
        spreads.resize(lengths.size());
        for (std::int32_t i = 0; i < n; ++i) spreads[i] = core[i] != 0 || labels[i] >= 0;
    }

    std::int32_t size() const { return static_cast<std::int32_t>(labels.size()); }
};

// cluster_streamed(lengths, core, labels, fetch, budget): cluster_neighbourhoods' result
// with rows fetched on demand (StreamedInput gives the arguments).
Ref cluster_streamed(const frame::Arguments& args) {
    const StreamedInput input(args);
    const std::int32_t n = input.size();
    Ref result = frame::new_vector(n, NPY_INT32);
    Unchecked<std::int32_t> cluster_labels{data_of<std::int32_t>(result)};
    std::vector<std::int8_t> visited_flags(input.lengths.size(), 0);
    {
        frame::WithoutGil unlocked;
        PythonFetch fetcher{input.fetch, input.lengths, unlocked};
        std::fill(cluster_labels.data, cluster_labels.data + n, -1);
        using Reading = densa::kernels::SequentialReading;
        using Rows = densa::kernels::StreamedRows<Reading, PythonFetch, frame::WithoutGil>;
        Rows rows(input.lengths, Reading{input.spreads, visited_flags}, input.budget, fetcher, unlocked);
        const Unchecked<const std::int32_t> known{input.labels.data()};
        const Unchecked<std::int8_t> visited{visited_flags.data()};
        densa::kernels::DensityClustering<Rows, Unchecked<const std::int32_t>, densa::kernels::FlagCore> clustering(
            rows, n, known, densa::kernels::FlagCore{input.core});
        clustering.seed_clusters(known, visited, visited,
                                 [&](densa::kernels::Pass, std::int32_t seed, std::int32_t id) {
                                     clustering.expand_cluster(cluster_labels, visited, rows, seed, id);
                                 });
    }
    return result;
}

// cluster_streamed_synchronously(lengths, core, labels, fetch, budget, points, p):
// cluster_synchronously's labels with rows fetched on demand (StreamedInput gives the
// first arguments, ContestPoints the last two). The coordinates are read in place:
// should another thread change them during a fetch, contests go by meaningless
// distances, but no read leaves the arrays.
Ref cluster_streamed_synchronously(const frame::Arguments& args) {
    const StreamedInput input(args);
    const densa::ContestPoints points(args[5], args[6]);
    const std::int32_t n = input.size();
    points.require(n);
    for (std::int32_t i = 0; i < n; ++i) {
        if (input.labels[i] < -1) {
            frame::raise(PyExc_ValueError, "label %d of point %d is below -1", input.labels[i], i);
        }
    }
    Ref result = frame::new_vector(n, NPY_INT32);
    Unchecked<std::int32_t> cluster_labels{data_of<std::int32_t>(result)};
    std::vector<std::int8_t> state(input.lengths.size());
    std::vector<std::int32_t> layers(input.lengths.size());
    {
        frame::WithoutGil unlocked;
        PythonFetch fetcher{input.fetch, input.lengths, unlocked};
        std::fill(cluster_labels.data, cluster_labels.data + n, -1);
        using Reading = densa::kernels::SynchronousReading;
        using Rows = densa::kernels::StreamedRows<Reading, PythonFetch, frame::WithoutGil>;
        Rows rows(input.lengths, Reading{input.spreads, state, layers}, input.budget, fetcher, unlocked);
        const Unchecked<const std::int32_t> known{input.labels.data()};
        densa::kernels::DensityClustering<Rows, Unchecked<const std::int32_t>, densa::kernels::FlagCore> clustering(
            rows, n, known, densa::kernels::FlagCore{input.core});
        auto queue = rows.make(std::int64_t{n} + 1);
        points.visit([&](const auto& distance) {
            clustering.grow_synchronously(cluster_labels, Unchecked<std::int8_t>{state.data()},
                                          Unchecked<std::int32_t>{layers.data()}, queue, distance);
        });
    }
    return result;
}

const frame::FunctionSpec kClusterStreamed{
    .name = "cluster_streamed",
    .parameters = {"lengths", "core", "labels", "fetch", "budget"},
    .defaults = {},
    .doc = "cluster_streamed(lengths, core, labels, fetch, budget)\n"
           "\n"
           "cluster_neighbourhoods with rows fetched on demand: lengths (int64) counts each\n"
           "point's neighbours but itself, core (uint8) flags the core points, and\n"
           "fetch(points, candidates) returns the rows of the int32 `points` as int32\n"
           "(positions, neighbours), entry k putting neighbours[k] in the row of\n"
           "points[positions[k]]; where candidates (int32) is not None, only the\n"
           "neighbours among them are needed.\n"
           "A batch holds at most `budget` entries, or one longer row. Returns new int32\n"
           "labels.",
    .body = cluster_streamed,
};

const frame::FunctionSpec kClusterStreamedSynchronously{
    .name = "cluster_streamed_synchronously",
    .parameters = {"lengths", "core", "labels", "fetch", "budget", "points", "p"},
    .defaults = {},
    .doc = "cluster_streamed_synchronously(lengths, core, labels, fetch, budget, points, p)\n"
           "\n"
           "cluster_synchronously with rows fetched on demand, as in cluster_streamed:\n"
           "labelled points seed at once and grow a layer at a time, a point reached by\n"
           "several clusters in one layer joining that of the nearest point that reached it\n"
           "(Minkowski distance of exponent p between rows of `points`: float64, a tuple\n"
           "(indptr, indices, data) of sparse rows with sorted features, or None for ties\n"
           "everywhere). Labels are -1 or a class of 0 or more. Returns new int32 labels.",
    .body = cluster_streamed_synchronously,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "densa_stream",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {},
    .function = kClusterStreamed,
    .more_functions = {&kClusterStreamedSynchronously},
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_densa_stream() { return frame::module_definition(kModuleSpec); }

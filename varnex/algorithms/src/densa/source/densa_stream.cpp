// densa_stream: the density clustering with neighbourhoods fetched a batch at a time
// from a Python callable, for data whose neighbourhoods do not fit in memory at once.
//
// The caller's arrays are copied first (O(n)): the fetch runs Python code, which may
// release the GIL and let another thread change them. The kernel runs without the GIL
// and takes it back only to fetch a batch and to answer Ctrl-C.
#include "frame.hpp"
#include "kernels/access.hpp"
#include "kernels/density_clustering.hpp"
#include "kernels/streamed_rows.hpp"

#include <algorithm>
#include <utility>
#include <cstdint>
#include <vector>

namespace {

using frame::Ref;
using frame::Vector;
using densa::kernels::Unchecked;

constexpr const char* kModule = "varnex.algorithms.src.densa.binaries.densa_stream";
constexpr const char* kSource = "varnex/algorithms/src/densa/source/densa_stream";

// The GIL released for its lifetime, taken back for the length of holding(f). When f
// throws, the GIL stays held, as the routine boundary needs it for the error.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    template <class F>
    void holding(F&& f) {
        PyEval_RestoreThread(std::exchange(state_, nullptr));
        f();
        state_ = PyEval_SaveThread();
    }
    void poll() {
        if (++count_ < kPeriod) return;
        count_ = 0;
        holding([] { frame::check_status(PyErr_CheckSignals()); });
    }

private:
    static constexpr std::uint32_t kPeriod = 1u << 14;
    PyThreadState* state_;
    std::uint32_t count_ = 0;
};

// Calls fetch(points, candidates) -> (positions, neighbours), two int32 arrays of equal
// length: entry k puts point neighbours[k] into the row of points[positions[k]]. Every
// row must come back with the length counted for it, its own point left out; where
// `candidates` is not None, only its neighbours among the candidates are needed.
struct PythonFetch {
    PyObject* fetch;
    std::int32_t n;
    const std::vector<std::int64_t>& lengths;
    ReleasedGil& gil;

    void operator()(densa::kernels::RowBatch& batch) {
        gil.holding([&] { fill(batch); });
    }

    void fill(densa::kernels::RowBatch& batch) const {
        const auto m = static_cast<npy_intp>(batch.points.size());
        Ref points = frame::check(PyArray_SimpleNew(1, &m, NPY_INT32));
        std::copy(batch.points.begin(), batch.points.end(),
                  static_cast<std::int32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(points.get()))));
        Ref candidates = Ref::borrow(Py_None);
        if (batch.restricted) {
            const auto u = static_cast<npy_intp>(batch.candidates.size());
            candidates = frame::check(PyArray_SimpleNew(1, &u, NPY_INT32));
            std::copy(batch.candidates.begin(), batch.candidates.end(),
                      static_cast<std::int32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(candidates.get()))));
        }
        Ref result = frame::check(PyObject_CallFunctionObjArgs(fetch, points.get(), candidates.get(), nullptr));
        if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) {
            frame::raise(PyExc_TypeError, "fetch must return a tuple (positions, neighbours)");
        }
        auto positions = Vector<const std::int32_t>::readable(PyTuple_GET_ITEM(result.get(), 0), frame::kInt);
        auto neighbours = Vector<const std::int32_t>::readable(PyTuple_GET_ITEM(result.get(), 1), frame::kInt);
        if (positions.is_none() || neighbours.is_none() || positions.size() != neighbours.size()) {
            frame::raise(PyExc_ValueError, "fetch must return two int32 arrays of equal length");
        }
        const std::int32_t* row_of = positions.elements().data();
        const std::int32_t* column = neighbours.elements().data();
        const Py_ssize_t n_entries = positions.size();
        batch.offsets.assign(static_cast<std::size_t>(m) + 1, 0);
        for (Py_ssize_t k = 0; k < n_entries; ++k) {
            const std::int32_t r = row_of[k], j = column[k];
            if (r < 0 || r >= m) frame::raise(PyExc_ValueError, "row position %d out of range for %zd rows", r, m);
            if (j < 0 || j >= n) frame::raise(PyExc_ValueError, "neighbour index %d out of range for %d points", j, n);
            if (j == batch.points[r]) frame::raise(PyExc_ValueError, "row %d lists its own point", j);
            ++batch.offsets[r + 1];
        }
        for (npy_intp r = 0; r < m; ++r) {
            const std::int32_t point = batch.points[r];
            const std::int64_t found = batch.offsets[r + 1];
            if (batch.restricted ? found > lengths[point] : found != lengths[point]) {
                frame::raise(PyExc_ValueError, "the row of point %d holds %lld neighbours, %lld were counted", point,
                             static_cast<long long>(batch.offsets[r + 1]), static_cast<long long>(lengths[point]));
            }
            batch.offsets[r + 1] += batch.offsets[r];
        }
        batch.entries.resize(static_cast<std::size_t>(n_entries));
        std::vector<std::int64_t> cursor(batch.offsets.begin(), batch.offsets.end() - 1);
        for (Py_ssize_t k = 0; k < n_entries; ++k) batch.entries[cursor[row_of[k]]++] = column[k];
    }
};

struct Poller {
    ReleasedGil& gil;
    void poll() { gil.poll(); }
};

// cluster_streamed(lengths, core, labels, fetch, budget): cluster_neighbourhoods' result
// with rows fetched on demand. lengths[i] (int64) counts the neighbours of point i but
// itself, core[i] (uint8) tells whether it is a core point; fetch(points, candidates)
// returns the rows of int32 `points` as (positions, neighbours); a batch holds at most
// `budget` entries, or one longer row.
Ref cluster_streamed(const frame::Arguments& args) {
    auto lengths_view = Vector<const std::int64_t>::readable(args[0], frame::kInt64);
    auto core_view = Vector<const std::uint8_t>::readable(args[1], frame::kUInt8);
    auto labels_view = Vector<const std::int32_t>::readable(args[2], frame::kInt);
    PyObject* fetch = args[3];
    const long long budget = frame::check_value(PyLong_AsLongLong(args[4]), -1LL);
    for (int i : {0, 1, 2}) frame::require_not_none(args[i], "lengths, core and labels");
    if (!PyCallable_Check(fetch)) frame::raise(PyExc_TypeError, "fetch must be callable");
    if (budget < 1) frame::raise(PyExc_ValueError, "budget must be at least 1, got %lld", budget);
    const Py_ssize_t size = labels_view.size();
    if (size > INT32_MAX) frame::raise(PyExc_OverflowError, "value too large to convert to int");
    if (lengths_view.size() != size || core_view.size() != size) {
        frame::raise(PyExc_ValueError, "lengths, core and labels must have equal lengths, got %zd, %zd and %zd",
                     lengths_view.size(), core_view.size(), size);
    }
    const auto n = static_cast<std::int32_t>(size);
    std::vector<std::int64_t> lengths(lengths_view.span().begin(), lengths_view.span().end());
    std::vector<std::uint8_t> core(core_view.span().begin(), core_view.span().end());
    std::vector<std::int32_t> labels(labels_view.span().begin(), labels_view.span().end());
    std::vector<std::uint8_t> spreads(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) spreads[i] = core[i] != 0 || labels[i] >= 0;
    for (std::int32_t i = 0; i < n; ++i) {
        if (lengths[i] < 0 || lengths[i] >= n) {
            frame::raise(PyExc_ValueError, "point %d has %lld neighbours, out of range for %d points", i,
                         static_cast<long long>(lengths[i]), n);
        }
    }

    const npy_intp dims = n;
    Ref result = frame::check(PyArray_SimpleNew(1, &dims, NPY_INT32));
    Unchecked<std::int32_t> cluster_labels{
        static_cast<std::int32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())))};
    std::vector<std::int8_t> visited_flags(static_cast<std::size_t>(n), 0);
    {
        ReleasedGil gil;
        PythonFetch fetcher{fetch, n, lengths, gil};
        Poller poller{gil};
        std::fill(cluster_labels.data, cluster_labels.data + n, -1);
        using Rows = densa::kernels::StreamedRows<PythonFetch, Poller>;
        Rows rows(lengths.data(), spreads.data(), visited_flags.data(), n, budget, fetcher, poller);
        const Unchecked<std::int32_t> known{labels.data()};
        const Unchecked<std::int8_t> visited{visited_flags.data()};
        densa::kernels::DensityClustering<Rows, Unchecked<std::int32_t>, densa::kernels::FlagCore> clustering(
            rows, n, known, densa::kernels::FlagCore{core.data()});
        clustering.seed_clusters(known, visited, visited,
                                 [&](densa::kernels::Pass, std::int32_t seed, std::int32_t id) {
                                     clustering.expand_cluster(cluster_labels, visited, rows, seed, id);
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

const frame::ModuleSpec kModuleSpec{
    .short_name = "densa_stream",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {},
    .function = kClusterStreamed,
    .more_functions = {},
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_densa_stream() { return frame::module_definition(kModuleSpec); }

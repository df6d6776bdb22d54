// linka_sweep: label propagation over a graph given as CSR arrays, for the estimators.
//
// The same sweeps as weighted_label_propagation, read from plain arrays: the arrays are
// checked under the GIL, then the sweeps run without it, reading them through guarded
// reads (core/csr.hpp), and answering Ctrl-C between nodes. Labels are read in place (the index-order rule) or
// from the previous sweep (the synchronous rule, which no reordering of the nodes
// changes).
#include "core/csr.hpp"
#include "frame.hpp"
#include "kernels/label_confidence.hpp"
#include "kernels/label_sweep.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace {

using frame::Ref;

constexpr const char* kModule = "varnex.algorithms.src.linka.binaries.linka_sweep";
constexpr const char* kSource = "varnex/algorithms/src/linka/source/linka_sweep";

bool to_bool(PyObject* object) { return frame::check_status(PyObject_IsTrue(object)) != 0; }

template <class T>
frame::Vector<const T> readable(PyObject* object, const char* name, const frame::ElementType& type) {
    frame::require_not_none(object, name);
    return frame::Vector<const T>::readable(object, type);
}

// The sweeps write the labels while reading the graph: memory shared between them
// would let a new label turn into an index outside the nodes.
template <class T>
void require_apart(std::span<int32_t> labels, std::span<const T> other, const char* name) {
    const auto* labels_begin = reinterpret_cast<const char*>(labels.data());
    const auto* labels_end = reinterpret_cast<const char*>(labels.data() + labels.size());
    const auto* other_begin = reinterpret_cast<const char*>(other.data());
    const auto* other_end = reinterpret_cast<const char*>(other.data() + other.size());
    if (!labels.empty() && !other.empty() && labels_begin < other_end && other_begin < labels_end) {
        frame::raise(PyExc_ValueError, "labels shares memory with %s; pass a copy of one of them", name);
    }
}

// ValueError naming the first rule the graph breaks, for `num_nodes` nodes of int32.
template <class Index>
void require_graph(const core::Csr<Index>& graph, Py_ssize_t num_nodes) {
    if (num_nodes > INT32_MAX) {
        frame::raise(PyExc_ValueError, "%zd nodes: at most %d are supported", num_nodes, INT32_MAX);
    }
    using Kind = core::CsrFault::Kind;
    const core::CsrFault fault =
        core::find_fault(graph, {.nodes = num_nodes, .weights = core::CsrRules::Weights::OnePerIndex});
    const auto num_edges = static_cast<Py_ssize_t>(graph.indices.size());
    switch (fault.kind) {
        case Kind::None:
        case Kind::SelfLoop:
            return;
        case Kind::Length:
            frame::raise(PyExc_ValueError, "indptr has %zd entries for %zd nodes; it needs one more than the nodes",
                         static_cast<Py_ssize_t>(graph.indptr.size()), num_nodes);
        case Kind::Weights:
            frame::raise(PyExc_ValueError, "weights has %zd entries for %zd indices; it needs one per index",
                         static_cast<Py_ssize_t>(graph.weights.size()), num_edges);
        case Kind::Start:
        case Kind::End:
            frame::raise(PyExc_ValueError,
                         "indptr must run from 0 to the number of indices (%zd), not from %lld to %lld", num_edges,
                         static_cast<long long>(graph.indptr.front()), static_cast<long long>(graph.indptr.back()));
        case Kind::Falls:
            frame::raise(PyExc_ValueError, "indptr falls from %lld to %lld at node %lld; it must never decrease",
                         static_cast<long long>(graph.indptr[fault.row]),
                         static_cast<long long>(graph.indptr[fault.row + 1]), static_cast<long long>(fault.row));
        case Kind::Index:
            frame::raise(PyExc_ValueError, "indices[%lld] is %lld, outside the nodes 0 .. %zd",
                         static_cast<long long>(fault.position), static_cast<long long>(fault.value), num_nodes - 1);
    }
}

// A row read from arrays another thread may be changing (guarded reads, core/csr.hpp):
// an index that names no node reads as the row's own node, so every label read stays
// in the label array.
template <class Index>
struct GuardedRow {
    core::WeightedRow<Index, float> stored;
    std::int64_t node;
    std::uint64_t num_nodes;

    std::ptrdiff_t size() const { return stored.size(); }
    std::int64_t neighbour(std::ptrdiff_t j) const {
        const auto read = static_cast<std::int64_t>(stored.neighbour(j));
        return static_cast<std::uint64_t>(read) < num_nodes ? read : node;  // one comparison rejects negatives too
    }
    float weight(std::ptrdiff_t j) const { return stored.weight(j); }
};

// The rows as the sweeps read them: the caller's arrays through guarded reads, which
// copy nothing (a copy of the indices would cost as much memory as the graph), answering
// Ctrl-C, and taking hints for a reader that jumps between rows: the row's bounds first,
// and a few rows later, once they have arrived, its neighbours and weights.
template <class Index>
struct SweepRows {
    const core::Csr<Index>& graph;
    frame::WithoutGil& gil;

    GuardedRow<Index> row(std::ptrdiff_t i) const {
        return {graph.guarded_weighted_row(i), i, static_cast<std::uint64_t>(graph.size())};
    }
    void poll() { gil.poll(); }
    void prefetch_bounds(std::ptrdiff_t i) const { __builtin_prefetch(graph.indptr.data() + i); }
    // A prefetch never faults, but a pointer past its array is undefined all the same:
    // a start another thread has changed is checked like any other read.
    void prefetch_row(std::ptrdiff_t i) const {
        const int64_t start = graph.indptr[i];
        if (start < 0 || start >= static_cast<int64_t>(graph.indices.size())) return;
        __builtin_prefetch(graph.indices.data() + start);
        __builtin_prefetch(graph.weights.data() + start);
    }
};

template <class Index>
uint64_t propagate_over(PyObject* indices_object, std::span<const int64_t> indptr, std::span<const float> weights,
                        std::span<int32_t> labels, const linka::SweepLimits& limits, bool synchronous,
                        size_t n_threads) {
    auto indices = readable<Index>(indices_object, "indices", sizeof(Index) == 4 ? frame::kInt : frame::kInt64);
    const core::Csr<Index> graph{indptr, indices.span(), weights};
    require_graph(graph, static_cast<Py_ssize_t>(labels.size()));
    require_apart(labels, indptr, "indptr");
    require_apart(labels, indices.span(), "indices");
    require_apart(labels, weights, "weights");

    std::vector<double> scores(labels.size(), 0.0);
    frame::WithoutGil gil;
    SweepRows<Index> rows{graph, gil};
    if (!synchronous) return linka::sweep_labels<linka::Reading::InPlace>(rows, labels, std::span(scores), limits);
    core::Pool pool(n_threads);
    return linka::sweep_synchronous(pool, rows, labels, std::span(scores), limits);
}

Ref propagate(const frame::Arguments& args) {
    auto indptr = readable<int64_t>(args[0], "indptr", frame::kInt64);
    auto weights = readable<float>(args[2], "weights", frame::kFloat32);
    frame::require_not_none(args[3], "labels");
    auto labels = frame::Vector<int32_t>::typed(args[3], frame::kInt);
    const uint64_t max_iter = frame::to_size_t(args[4]);
    const double tol = frame::to_double(args[5]);
    const bool synchronous = to_bool(args[6]);
    const bool exact_stop = to_bool(args[7]);
    const size_t n_threads = frame::to_thread_count(args[8]);

    const linka::SweepLimits limits{max_iter, tol, exact_stop ? linka::Stop::AtTolerance : linka::Stop::WhenSettled};
    const uint64_t sweeps = frame::with_index_type(args[1], [&]<class Index>() {
        return propagate_over<Index>(args[1], indptr.span(), weights.span(), labels.span(), limits, synchronous,
                                     n_threads);
    });
    return frame::check(PyLong_FromUnsignedLongLong(sweeps));
}

template <class Index>
void confidence_over(PyObject* indices_object, std::span<const int64_t> indptr, std::span<const float> weights,
                     std::span<const int32_t> labels, std::span<const int32_t> known, std::span<double> confidence,
                     size_t n_threads) {
    auto indices = readable<Index>(indices_object, "indices", sizeof(Index) == 4 ? frame::kInt : frame::kInt64);
    const core::Csr<Index> graph{indptr, indices.span(), weights};
    require_graph(graph, static_cast<Py_ssize_t>(labels.size()));
    frame::WithoutGil gil;
    SweepRows<Index> rows{graph, gil};
    core::Pool pool(n_threads);
    linka::label_confidence(pool, rows, labels, known, confidence, [&](size_t) { gil.poll(); });
}

// label_confidence(indptr, indices, weights, labels, known, n_threads=1): see the doc.
Ref label_confidence(const frame::Arguments& args) {
    auto indptr = readable<int64_t>(args[0], "indptr", frame::kInt64);
    auto weights = readable<float>(args[2], "weights", frame::kFloat32);
    auto labels = readable<int32_t>(args[3], "labels", frame::kInt);
    auto known = readable<int32_t>(args[4], "known", frame::kInt);
    const size_t n_threads = frame::to_thread_count(args[5]);
    if (known.size() != labels.size()) {
        frame::raise(PyExc_ValueError, "known has %zd entries for %zd labels", known.size(), labels.size());
    }
    Ref result = frame::new_vector(labels.size(), NPY_FLOAT64);
    const std::span<double> confidence(frame::data_of<double>(result), static_cast<size_t>(labels.size()));
    frame::with_index_type(args[1], [&]<class Index>() {
        confidence_over<Index>(args[1], indptr.span(), weights.span(), labels.span(), known.span(), confidence,
                               n_threads);
        return 0;
    });
    return result;
}

const frame::FunctionSpec kLabelConfidence{
    .name = "label_confidence",
    .parameters = {"indptr", "indices", "weights", "labels", "known", "n_threads"},
    .defaults = {1},
    .doc = "label_confidence(indptr, indices, weights, labels, known, n_threads=1) -> ndarray\n"
           "\n"
           "For each node of a CSR graph (as in propagate), the share of its row's votes that\n"
           "go to its label: a labelled neighbour over an edge of weight w votes (w0 / w)**2,\n"
           "w0 the weight of the row's first edge. 1.0 where known (int32) is not -1, 0.0\n"
           "where the row has no vote or labels (int32) holds -1. float64, the same on any\n"
           "number of threads (1 .. 1024).",
    .body = label_confidence,
};

constexpr const char* kPropagateDoc =
    "propagate(indptr, indices, weights, labels, max_iter, tol, synchronous, exact_stop=False, n_threads=1) -> int\n"
    "\n"
    "Label the unlabelled nodes (-1) of a CSR graph in place; return the number of sweeps run.\n"
    "\n"
    "Node i lists the nodes indices[indptr[i]:indptr[i + 1]], the edge to each weighing the\n"
    "weight at the same position. Each sweep gives every unlabelled node the label with the\n"
    "largest sum of (1 / weight)**2 over its labelled neighbours.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "indptr : ndarray of int64, shape (n + 1,)\n"
    "    Row starts, rising from 0 to len(indices).\n"
    "indices : ndarray of int32 or int64, shape (nnz,)\n"
    "    Neighbour indices, each in 0 .. n - 1.\n"
    "weights : ndarray of float32, shape (nnz,)\n"
    "    Edge weights (distances).\n"
    "labels : ndarray of int32, shape (n,)\n"
    "    -1 for unlabelled nodes, a class otherwise; written in place.\n"
    "max_iter : int\n"
    "    Largest number of sweeps.\n"
    "tol : float\n"
    "    With exact_stop, a sweep whose largest score change is below tol ends the run.\n"
    "synchronous : bool\n"
    "    Read the labels of the previous sweep (order-free; ties go to the label of the\n"
    "    nearest neighbour among the tied ones, then to the smallest label) rather than the\n"
    "    labels found so far in this sweep (index order; ties go to the label met first).\n"
    "exact_stop : bool, default=False\n"
    "    Stop as weighted_label_propagation does, even with nodes left to label. Without it\n"
    "    sweeping goes on while a sweep labels a node, up to max_iter.\n"
    "n_threads : int, default=1\n"
    "    Threads for the synchronous sweeps (1 .. 1024); the result is the same for any\n"
    "    number. Index-order sweeps run on one thread.\n";

const frame::FunctionSpec kPropagate{
    .name = "propagate",
    .parameters = {"indptr", "indices", "weights", "labels", "max_iter", "tol", "synchronous", "exact_stop", "n_threads"},
    .defaults = {false, 1},
    .doc = kPropagateDoc,
    .body = propagate,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "linka_sweep",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {},
    .function = kPropagate,
    .more_functions = {&kLabelConfidence},
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_linka_sweep() { return frame::module_definition(kModuleSpec); }

// densa_core: semi-supervised DBSCAN.
//
// One radius query gives every point's neighbourhood; clusters then grow breadth-first
// in three passes (labelled non-core seeds, labelled core seeds, unlabelled core seeds),
// so known labels are kept, two known labels never share a cluster, and clusters found
// among unlabelled points are numbered -2, -3, ...
#include "frame.hpp"
#include "kernels/access.hpp"
#include "kernels/density_clustering.hpp"
#include "metric.hpp"
#include "neighbourhoods.hpp"

#include <cstdint>
#include <span>

namespace {

using frame::Ref;
using frame::Vector;

constexpr const char* kModule = "varnex.algorithms.src.densa.binaries.densa_core";
constexpr const char* kSource = "varnex/algorithms/src/densa/source/densa_core";
const frame::Routine kExpandCluster = frame::module_routine(kModule, kSource, "expand_cluster");

const frame::Name np{"np"}, KDTree{"KDTree"}, BallTree{"BallTree"};
const frame::Name full{"full"}, zeros{"zeros"}, empty{"empty"}, asarray{"asarray"};
const frame::Name int8{"int8"}, int32{"int32"};
const frame::Name query_ball_tree{"query_ball_tree"}, query_radius{"query_radius"};
const frame::Keywords kw_r{"r"}, kw_metric{"metric"}, kw_metric_p{"metric", "p"};

// Bounds-checked access: an index outside the array raises IndexError, a negative one
// counts from the end.
template <class T>
struct Checked {
    std::span<T> elements;
    T& operator()(Py_ssize_t i) const { return frame::checked(elements, i); }
};

template <class T>
densa::kernels::Unchecked<T> unchecked(const Vector<T>& view) {
    return {view.span().data()};
}

// The neighbour table as the kernel reads it.
struct TableRows {
    const densa::Neighbourhoods& table;

    densa::NeighbourList row(Py_ssize_t i) const { return table.entry(i); }
    Py_ssize_t row_size(Py_ssize_t i) const { return table.entry_size(i); }
    void prefetch_row(Py_ssize_t i) const { table.prefetch_row(i); }
    void prefetch_entry(Py_ssize_t i) const { table.prefetch_entry(i); }
    void poll() const {}
};

// Each cluster's queue: np.empty(n_samples + 1, dtype=np.int32), read through a
// bounds-checked view.
struct WorkQueue {
    Ref array;
    Vector<int32_t> view;
    std::span<int32_t> elements;
    int32_t& operator()(Py_ssize_t i) const { return frame::checked(elements, i); }
};

struct WorkQueues {
    WorkQueue make(long long n_slots) const {
        Ref array = frame::work_array(empty, n_slots, int32);
        auto view = Vector<int32_t>::typed(array.get(), frame::kInt);
        const std::span<int32_t> elements = view.span();
        return WorkQueue{std::move(array), std::move(view), elements};
    }
};

using Clustering = densa::kernels::DensityClustering<TableRows, Checked<int32_t>, densa::kernels::CountCore>;

// Every point's neighbourhood within eps, from one batch query: the k-d tree for the
// Euclidean case, the ball tree for every other metric.
densa::Neighbourhoods query_neighbourhoods(PyObject* data, double eps, PyObject* metric, int32_t p) {
    Ref r = frame::new_float(eps);
    if (densa::is_minkowski(metric) && p == 2) {
        Ref tree = frame::call(frame::global(KDTree).get(), {data});
        Ref result = frame::call_method(tree.get(), query_ball_tree, {tree.get(), r.get()}, &kw_r);
        if (!PyList_CheckExact(result.get())) {
            frame::raise(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(result.get())->tp_name);
        }
        return densa::Neighbourhoods(std::move(result), false);
    }
    Ref ball_tree_type = frame::global(BallTree);
    Ref tree;
    if (densa::is_minkowski(metric)) {
        Ref exponent = frame::new_int(p);
        tree = frame::call(ball_tree_type.get(), {data, metric, exponent.get()}, &kw_metric_p);
    } else {
        tree = frame::call(ball_tree_type.get(), {data, metric}, &kw_metric);
    }
    Ref result = frame::call_method(tree.get(), query_radius, {data, r.get()}, &kw_r);
    // The per-row arrays, taken over into a list of our own.
    return densa::Neighbourhoods(frame::check(PySequence_List(result.get())), true);
}

template <class T>
void require_entries(const Vector<T>& view, int32_t n_samples, const char* what) {
    if (view.size() < n_samples) {
        frame::raise(PyExc_ValueError, "%s has %zd entries, fewer than the %d rows of data", what, view.size(),
                     n_samples);
    }
}

Ref densa_main(const frame::Arguments& args) {
    // Typed arrays and scalars in declaration order, then the str test.
    auto data = frame::Matrix<double>::typed(args[0], frame::kDouble);
    double eps = frame::to_double(args[1]);
    int32_t min_samples = frame::to_int(args[2]);
    auto labels = Vector<int32_t>::typed(args[3], frame::kInt);
    int32_t p = frame::to_int(args[5]);
    PyObject* metric = frame::require_str(args[4], "metric");

    frame::require_not_none(args[0], "data");
    frame::require_not_none(args[3], "labels");
    if (data.shape(0) > INT32_MAX) frame::raise(PyExc_OverflowError, "value too large to convert to int");
    const auto n_samples = static_cast<int32_t>(data.shape(0));
    require_entries(labels, n_samples, "labels");

    Ref minus_one = frame::new_int(-1);
    Ref cluster_labels_array = frame::work_array(full, n_samples, int32, minus_one.get());
    Ref visited_array = frame::work_array(zeros, n_samples, int8);
    // The libraries get an ndarray over the caller's memory.
    Ref data_array = PyArray_CheckExact(args[0]) ? Ref::borrow(args[0]) : data.to_ndarray(args[0], frame::kDouble);
    densa::Neighbourhoods tree_ball_proximity = query_neighbourhoods(data_array.get(), eps, metric, p);
    if (tree_ball_proximity.size() < n_samples) {
        frame::raise(PyExc_ValueError, "the neighbour query returned %zd entries for %d points",
                     tree_ball_proximity.size(), n_samples);
    }

    auto cluster_labels = Vector<int32_t>::typed(cluster_labels_array.get(), frame::kInt);
    auto visited_view = Vector<int8_t>::typed(visited_array.get(), frame::kChar);
    auto soft_visited_view = Vector<int8_t>::typed(visited_array.get(), frame::kChar);
    require_entries(cluster_labels, n_samples, "the label array");
    require_entries(visited_view, n_samples, "the visited array");

    TableRows rows{tree_ball_proximity};
    Clustering clustering(rows, n_samples, Checked<int32_t>{labels.span()}, densa::kernels::CountCore{min_samples});
    const Checked<int32_t> result{cluster_labels.span()};
    WorkQueues queues;
    clustering.seed_clusters(unchecked(labels), unchecked(soft_visited_view), unchecked(visited_view),
                             [&](densa::kernels::Pass pass, int32_t seed, int32_t cluster_id) {
        const Vector<int8_t>& visited = pass == densa::kernels::Pass::LabelledBorder ? soft_visited_view : visited_view;
        frame::traced(kExpandCluster, [&] {
            clustering.expand_cluster(result, Checked<int8_t>{visited.span()}, queues, seed, cluster_id);
        });
    });
    return frame::call_method(frame::global(np).get(), asarray, {cluster_labels_array.get()});
}

constexpr const char* kDensaMainDoc =
    "densa_main(double[:, ::1] data, double eps, int min_samples, int[::1] labels, str metric, int p)\n"
    "\n"
    "    Semi-supervised DBSCAN implementation.\n"
    "\n"
    "    Parameters:\n"
    "    ----------\n"
    "    data : double[:, ::1]\n"
    "        2D NumPy array of shape (n_samples, n_features)\n"
    "    eps : doubel\n"
    "        Epsilon neighborhood radius\n"
    "    min_samples : int\n"
    "        Minimum number of samples to form a core point\n"
    "    labels : int[::1]\n"
    "        1D NumPy array of shape (n_samples,) with labeled data.\n"
    "        labels[i] >= 0 indicates the point is labeled.\n"
    "        labels[i] == -1 indicates the point is unlabeled.\n"
    "    metric : str\n"
    "        Metric defining the distance between data points.\n"
    "    p : int\n"
    "        Defines which Minkowski p-norm to use. Works only if metric is set to `minkowski`.\n"
    "\n"
    "    Returns:\n"
    "    ----------\n"
    "    cluster_labels : np.ndarray\n"
    "        1D NumPy array of cluster assignments for each point.\n"
    "    ";

const frame::FunctionSpec kDensaMain{
    .name = "densa_main",
    .parameters = {"data", "eps", "min_samples", "labels", "metric", "p"},
    .defaults = {},
    .doc = kDensaMainDoc,
    .body = densa_main,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "densa_core",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {{"np", "numpy"}, {"KDTree", "scipy.spatial", "KDTree"}, {"BallTree", "sklearn.neighbors", "BallTree"}},
    .function = kDensaMain,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_densa_core() { return frame::module_definition(kModuleSpec); }

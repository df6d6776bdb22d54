// densa_core: semi-supervised DBSCAN.
//
// One radius query gives every point's neighbourhood; clusters then grow breadth-first
// in three passes (labelled non-core seeds, labelled core seeds, unlabelled core seeds),
// so known labels are kept, two known labels never share a cluster, and clusters found
// among unlabelled points are numbered -2, -3, ...
#include "frame.hpp"
#include "neighbourhoods.hpp"

#include <cstdint>

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

// What every expand_cluster call of one clustering shares.
struct Clustering {
    int32_t n_samples;
    int32_t min_samples;
    frame::Elements<int32_t> labels;          // known labels, read only
    frame::Elements<int32_t> cluster_labels;  // the result
    const densa::Neighbourhoods& tree_ball_proximity;
};

constexpr int32_t kPrefetchDistance = 8;

// Grows the cluster `cluster_id` breadth-first from `point_idx`. A point spreads the
// cluster when it carries a known label or is a core point; a neighbour joins when it
// is unvisited and unlabelled or labelled `cluster_id`. Points are marked visited as
// they enter the queue, so none enters twice.
void expand_cluster(const Clustering& c, const frame::Elements<int8_t> visited, Py_ssize_t point_idx,
                    int32_t cluster_id) {
    if (visited.checked(point_idx) != 0) return;
    Ref queue_array = frame::work_array(empty, static_cast<long long>(c.n_samples) + 1, int32);
    auto queue_view = Vector<int32_t>::typed(queue_array.get(), frame::kInt);
    const frame::Elements<int32_t> queue = queue_view.elements();
    queue.checked(0) = static_cast<int32_t>(point_idx);
    int32_t queue_start = 0;
    int32_t queue_end = 1;
    while (queue_start < queue_end) {
        // Rows are read in queue order, which is scattered in memory: ask for later
        // ones ahead of time.
        if (queue_start + 2 * kPrefetchDistance < queue_end) {
            c.tree_ball_proximity.prefetch_row(queue.unchecked(queue_start + 2 * kPrefetchDistance));
        }
        if (queue_start + kPrefetchDistance < queue_end) {
            c.tree_ball_proximity.prefetch_entry(queue.unchecked(queue_start + kPrefetchDistance));
        }
        int32_t current_point_idx = queue.checked(queue_start);
        visited.checked(current_point_idx) = 1;
        c.cluster_labels.checked(current_point_idx) = cluster_id;
        densa::NeighbourList neighbors = c.tree_ball_proximity.entry(current_point_idx);
        Py_ssize_t n_neighbors = neighbors.size();
        if (c.labels.checked(current_point_idx) >= 0 || n_neighbors >= c.min_samples) {
            neighbors.for_each([&](int32_t idx) {
                if (visited.checked(idx) != 0) return;
                int32_t label = c.labels.checked(idx);
                if (label != -1 && label != cluster_id) return;
                visited.checked(idx) = 1;
                queue.checked(queue_end) = idx;
                ++queue_end;
            });
        }
        ++queue_start;
    }
}

bool is_minkowski(PyObject* metric) {
    return metric != Py_None && PyUnicode_CompareWithASCIIString(metric, "minkowski") == 0;
}

// Every point's neighbourhood within eps, from one batch query: the k-d tree for the
// Euclidean case, the ball tree for every other metric.
densa::Neighbourhoods query_neighbourhoods(PyObject* data, double eps, PyObject* metric, int32_t p) {
    Ref r = frame::new_float(eps);
    if (is_minkowski(metric) && p == 2) {
        Ref tree = frame::call(frame::global(KDTree).get(), {data});
        Ref result = frame::call_method(tree.get(), query_ball_tree, {tree.get(), r.get()}, &kw_r);
        if (!PyList_CheckExact(result.get())) {
            frame::raise(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(result.get())->tp_name);
        }
        return densa::Neighbourhoods(std::move(result), false);
    }
    Ref ball_tree_type = frame::global(BallTree);
    Ref tree;
    if (is_minkowski(metric)) {
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

    const Clustering clustering{n_samples, min_samples, labels.elements(), cluster_labels.elements(),
                                tree_ball_proximity};
    auto grow = [&](const Vector<int8_t>& visited, int32_t seed, int32_t cluster_id) {
        frame::traced(kExpandCluster, [&] { expand_cluster(clustering, visited.elements(), seed, cluster_id); });
    };

    // First pass: labelled points that are not core points.
    for (int32_t i = 0; i < n_samples; ++i) {
        if (soft_visited_view.unchecked(i) != 0 || labels.unchecked(i) < 0) continue;
        if (tree_ball_proximity.entry_size(i) < min_samples) grow(soft_visited_view, i, labels.unchecked(i));
    }
    // Second pass: labelled core points.
    for (int32_t i = 0; i < n_samples; ++i) {
        if (visited_view.unchecked(i) != 0 || labels.unchecked(i) < 0) continue;
        if (tree_ball_proximity.entry_size(i) >= min_samples) grow(visited_view, i, labels.unchecked(i));
    }
    // Third pass: new clusters among the unlabelled core points.
    int32_t cluster_id = -2;
    for (int32_t i = 0; i < n_samples; ++i) {
        if (visited_view.unchecked(i) != 0) continue;
        if (tree_ball_proximity.entry_size(i) >= min_samples) {
            grow(visited_view, i, cluster_id);
            --cluster_id;
        }
    }
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

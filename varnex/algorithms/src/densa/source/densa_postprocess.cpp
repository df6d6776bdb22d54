// densa_postprocess: cleans up a clustering result.
//
// Clusters whose label is below a threshold are dissolved into noise; then every noise
// point takes the label of the surviving cluster whose centroid is nearest under a
// scikit-learn distance metric (ties to the smallest label; NaN and +inf never win).
#include "frame.hpp"
#include "kernels/label_groups.hpp"
#include "metric.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using frame::Matrix;
using frame::Ref;
using frame::StridedMatrix;
using frame::StridedVector;

constexpr const char* kModule = "varnex.algorithms.src.densa.binaries.densa_postprocess";
constexpr const char* kSource = "varnex/algorithms/src/densa/source/densa_postprocess";

const frame::Name np{"np"}, DistanceMetric{"DistanceMetric"};
const frame::Name unique{"unique"}, array{"array"}, mean{"mean"}, copy{"copy"};
const frame::Name get_metric{"get_metric"}, pairwise{"pairwise"};
const frame::Keywords kw_axis{"axis"}, kw_p{"p"};

// Distances of one batched pairwise call stay within this many doubles (4 MB), and so
// do the gathered rows of a block.
constexpr Py_ssize_t kBlockBudget = Py_ssize_t{1} << 19;

// One entry of labels_to_centroids.
struct Cluster {
    int32_t label;
    Ref key;       // the label as a Python int
    Ref centroid;  // what np.mean returned
};

Ref one_item_list(PyObject* item) {
    Ref list = frame::check(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, Ref::borrow(item).release());
    return list;
}

// labels_to_centroids for the current labels: np.unique, then for every label but -1
// the mean of its rows, selected from a fresh copy of all points (np.array), every call
// through the module's names. Returned in the table's iteration order
// (insertion order of the dictionary, so a repeated label keeps its first place and its
// last centroid).
std::vector<Cluster> centroid_table(PyObject* labels, PyObject* points) {
    Ref unique_labels = frame::call_method(frame::global(np).get(), unique, {labels});
    Ref table = frame::check(PyDict_New());
    Ref iterator = frame::check(PyObject_GetIter(unique_labels.get()));
    Ref axis = frame::new_int(0);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        int32_t label = frame::to_int(item.get());
        if (label == -1) continue;
        Ref key = frame::new_int(label);
        Ref all_points = frame::call_method(frame::global(np).get(), array, {points});
        Ref mask = frame::check(PyObject_RichCompare(labels, key.get(), Py_EQ));
        Ref group = frame::check(PyObject_GetItem(all_points.get(), mask.get()));
        Ref centroid = frame::call_method(frame::global(np).get(), mean, {group.get(), axis.get()}, &kw_axis);
        frame::check_status(PyDict_SetItem(table.get(), key.get(), centroid.get()));
    }
    if (PyErr_Occurred()) frame::throw_error_set();

    std::vector<Cluster> clusters;
    clusters.reserve(static_cast<size_t>(PyDict_GET_SIZE(table.get())));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* centroid = nullptr;
    while (PyDict_Next(table.get(), &position, &key, &centroid)) {
        clusters.push_back({static_cast<int32_t>(PyLong_AsLong(key)), Ref::borrow(key), Ref::borrow(centroid)});
    }
    return clusters;
}

// Whether np.mean over any group of rows of `points` runs free of floating-point
// warnings: finite coordinates whose sums cannot overflow. Then a mean whose value is
// never used has no effect at all.
bool means_are_silent(const Matrix<double>& points) {
    const Py_ssize_t n = points.shape(0), d = points.shape(1);
    double largest = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < d; ++j) {
            const double x = points.unchecked(i, j);
            if (!std::isfinite(x)) return false;
            largest = std::max(largest, std::fabs(x));
        }
    }
    return n == 0 || largest <= std::numeric_limits<double>::max() / (2.0 * static_cast<double>(n));
}

// labels_to_centroids after dissolution, from one stable grouping of the rows by label
// instead of one mask per cluster. Each group holds exactly the rows that the mask
// `labels == label` selects, in the same order, gathered into a fresh C-contiguous
// array as that selection would be, so np.mean gives the same centroid bit for bit.
// The means of clusters below `threshold` are taken as the first table takes them,
// unless `skip_dissolved` (nothing could show them); they get no entry.
std::vector<Cluster> grouped_centroid_table(const StridedVector<int32_t>& labels, const Matrix<double>& points,
                                            int32_t threshold, bool skip_dissolved) {
    const densa::kernels::LabelGroups grouped =
        densa::kernels::group_by_label(labels.size(), [&](int64_t i) { return labels.unchecked(i); });
    const Py_ssize_t n_dims = points.shape(1);
    Ref axis = frame::new_int(0);
    std::vector<Cluster> clusters;
    for (const densa::kernels::LabelGroup& group : grouped.groups) {
        const bool dissolved = group.label < threshold;
        if (group.label == -1 || (dissolved && skip_dissolved)) continue;
        npy_intp dims[2] = {group.end - group.begin, n_dims};
        Ref rows = frame::check(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
        auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())));
        for (int64_t k = group.begin; k < group.end; ++k, out += n_dims) {
            if (n_dims > 0) std::memcpy(out, &points.unchecked(grouped.rows[k], 0), n_dims * sizeof(double));
        }
        Ref centroid = frame::call_method(frame::global(np).get(), mean, {rows.get(), axis.get()}, &kw_axis);
        if (!dissolved) clusters.push_back({group.label, frame::new_int(group.label), std::move(centroid)});
    }
    return clusters;
}

// What the noise assignment works with.
struct Placement {
    const Matrix<double>& points;
    PyObject* points_owner;
    const StridedVector<int32_t>& labels;
    PyObject* dist_metric;
    const std::vector<Cluster>& clusters;
};

// Row i of the points as a read-only one-dimensional float64 array over their memory.
Ref point_row(const Placement& s, Py_ssize_t i) {
    npy_intp length = s.points.shape(1);
    void* row = &s.points.unchecked(i, 0);
    Ref view = frame::check(
        PyArray_New(&PyArray_Type, 1, &length, NPY_FLOAT64, nullptr, row, 0, NPY_ARRAY_C_CONTIGUOUS, nullptr));
    frame::check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()),
                                              Ref::borrow(s.points_owner).release()));
    return view;
}

// dist_metric.pairwise([centroid], [row])[0][0]
double pair_distance(PyObject* dist_metric, PyObject* centroid, PyObject* row) {
    Ref xs = one_item_list(centroid);
    Ref ys = one_item_list(row);
    Ref result = frame::call_method(dist_metric, pairwise, {xs.get(), ys.get()});
    Ref zero = frame::new_int(0);
    Ref first = frame::check(PyObject_GetItem(result.get(), zero.get()));
    Ref element = frame::check(PyObject_GetItem(first.get(), zero.get()));
    return frame::to_double(element.get());
}

// Places noise point i with one metric call per surviving cluster, in table order.
// Strict comparison: the first (smallest) label wins ties, NaN and +inf never win.
void place_point(const Placement& s, Py_ssize_t i) {
    double min_dist = std::numeric_limits<double>::infinity();
    int32_t closest_label = -1;
    if (!s.clusters.empty()) {
        Ref row = point_row(s, i);
        for (const Cluster& cluster : s.clusters) {
            double dist = pair_distance(s.dist_metric, cluster.centroid.get(), row.get());
            if (dist < min_dist) {
                min_dist = dist;
                closest_label = cluster.label;
            }
        }
    }
    s.labels.checked(i) = closest_label;
}

// Places the block's noise points with one pairwise call for all of them and all
// centroids. scikit-learn's pairwise evaluates every pair with the same scalar routine
// and the same float64 conversion of its inputs as a one-pair call, so the distances,
// and with the same scan the labels, are those of place_point. Returns false, with no
// error set and nothing placed, when the call fails with an ordinary exception: the
// caller then repeats the block pair by pair, which raises exactly that protocol's error.
bool place_block(const Placement& s, PyObject* centroid_list, const std::vector<Py_ssize_t>& block) {
    const auto count = static_cast<Py_ssize_t>(block.size());
    const auto n_clusters = static_cast<Py_ssize_t>(s.clusters.size());
    const Py_ssize_t n_dims = s.points.shape(1);
    try {
        npy_intp dims[2] = {count, n_dims};
        Ref rows = frame::check(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
        auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())));
        for (Py_ssize_t j = 0; j < count; ++j) {
            if (n_dims > 0) std::memcpy(out + j * n_dims, &s.points.unchecked(block[j], 0), n_dims * sizeof(double));
        }
        Ref result = frame::call_method(s.dist_metric, pairwise, {centroid_list, rows.get()});
        auto distances = StridedMatrix<double>::strided(result.get(), frame::kDouble);
        if (distances.shape(0) != n_clusters || distances.shape(1) != count) return false;
        for (Py_ssize_t j = 0; j < count; ++j) {
            double min_dist = std::numeric_limits<double>::infinity();
            int32_t closest_label = -1;
            for (Py_ssize_t c = 0; c < n_clusters; ++c) {
                double dist = distances.unchecked(c, j);
                if (dist < min_dist) {
                    min_dist = dist;
                    closest_label = s.clusters[c].label;
                }
            }
            s.labels.checked(block[j]) = closest_label;
        }
        return true;
    } catch (const frame::PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return false;
    }
}

// The numpy module and scikit-learn's own DistanceMetric class, imported once, to tell
// them from whatever the module's names may have been rebound to.
PyObject* library_numpy() {
    static PyObject* numpy = nullptr;
    if (numpy == nullptr) numpy = frame::check(PyImport_ImportModule("numpy")).release();
    return numpy;
}

PyObject* library_distance_metric() {
    static PyObject* library_class = nullptr;
    if (library_class == nullptr) {
        Ref module = frame::check(PyImport_ImportModule("sklearn.metrics"));
        library_class = frame::getattr(module.get(), DistanceMetric).release();
    }
    return library_class;
}

// Every noise point in increasing order gets the label of the nearest centroid.
void place_noise(const Placement& s, Py_ssize_t n_points, bool batched) {
    if (!batched || s.clusters.empty()) {
        for (Py_ssize_t i = 0; i < n_points; ++i) {
            if (s.labels.checked(i) == -1) place_point(s, i);
        }
        return;
    }
    const auto n_clusters = static_cast<Py_ssize_t>(s.clusters.size());
    const Py_ssize_t n_dims = std::max<Py_ssize_t>(1, s.points.shape(1));
    const Py_ssize_t block_size = std::max<Py_ssize_t>(1, std::min(kBlockBudget / n_clusters, kBlockBudget / n_dims));
    Ref centroid_list = frame::check(PyList_New(n_clusters));
    for (Py_ssize_t c = 0; c < n_clusters; ++c) {
        PyList_SET_ITEM(centroid_list.get(), c, Ref::borrow(s.clusters[c].centroid.get()).release());
    }
    std::vector<Py_ssize_t> block;
    block.reserve(static_cast<size_t>(std::min(block_size, n_points)));
    for (Py_ssize_t i = 0; i < n_points;) {
        block.clear();
        for (; i < n_points && static_cast<Py_ssize_t>(block.size()) < block_size; ++i) {
            if (s.labels.checked(i) == -1) block.push_back(i);
        }
        if (block.empty() || place_block(s, centroid_list.get(), block)) continue;
        for (Py_ssize_t j : block) place_point(s, j);
    }
}

Ref densa_postprocess(const frame::Arguments& args) {
    // Typed arrays and scalars in declaration order, then the type tests, then the
    // buffer of labels_in.
    auto points = Matrix<double>::typed(args[0], frame::kDouble);
    int32_t p = frame::to_int(args[3]);
    int32_t threshold = frame::to_int(args[4]);
    PyObject* labels_in = frame::require_ndarray(args[1], "labels_in");
    PyObject* metric = frame::require_str(args[2], "metric");
    auto labels_in_view = StridedVector<int32_t>::strided(labels_in, frame::kInt);

    frame::require_not_none(args[0], "points");
    if (points.shape(0) > INT32_MAX) frame::raise(PyExc_OverflowError, "value too large to convert to int");
    const Py_ssize_t n_points = points.shape(0);
    if (!labels_in_view.is_none() && labels_in_view.size() != n_points) {
        frame::raise(PyExc_ValueError, "labels_in has %zd entries but points has %zd rows", labels_in_view.size(),
                     n_points);
    }

    Ref labels_array = frame::call_method(labels_in, copy, {});
    auto labels = StridedVector<int32_t>::writable_strided(labels_array.get(), frame::kInt);

    Ref metric_class = frame::global(DistanceMetric);
    Ref dist_metric;
    if (densa::is_minkowski(metric)) {
        Ref exponent = frame::new_int(p);
        dist_metric = frame::call_method(metric_class.get(), get_metric, {metric, exponent.get()}, &kw_p);
    } else {
        dist_metric = frame::call_method(metric_class.get(), get_metric, {metric});
    }

    // The libraries see the caller's points as an ndarray over the same memory.
    Ref points_array = points.to_ndarray(args[0], frame::kDouble);
    // With NumPy's own functions on a plain ndarray of one label per point, the table
    // comes from one grouping of the rows, and the dissolution is done in place: the
    // second table is the first without the dissolved clusters, bit for bit. Anything
    // else gets every call.
    const bool library_arrays = frame::global(np).get() == library_numpy() &&
                                PyArray_CheckExact(labels_array.get()) && labels.size() == n_points;
    std::vector<Cluster> clusters;
    if (library_arrays) {
        clusters = grouped_centroid_table(labels, points, threshold, means_are_silent(points));
        for (Py_ssize_t i = 0; i < n_points; ++i) {
            int32_t& label = labels.unchecked(i);
            if (label != -1 && label < threshold) label = -1;
        }
    } else {
        clusters = centroid_table(labels_array.get(), points_array.get());
        Ref minus_one = frame::new_int(-1);
        for (const Cluster& cluster : clusters) {
            if (cluster.label >= threshold) continue;
            Ref mask = frame::check(PyObject_RichCompare(labels_array.get(), cluster.key.get(), Py_EQ));
            frame::check_status(PyObject_SetItem(labels_array.get(), mask.get(), minus_one.get()));
        }
        clusters = centroid_table(labels_array.get(), points_array.get());
    }
    // Batched only when the metric came from scikit-learn's own class, whose metrics
    // compute every pair of a block exactly as a one-pair call does.
    bool batched = metric_class.get() == library_distance_metric();
    const Placement placement{points, args[0], labels, dist_metric.get(), clusters};
    place_noise(placement, n_points, batched);
    return labels_array;
}

const frame::FunctionSpec kDensaPostprocess{
    .name = "densa_postprocess",
    .parameters = {"points", "labels_in", "metric", "p", "threshold"},
    .defaults = {"minkowski", 2, -1},
    .doc = "densa_postprocess(double[:, ::1] points, ndarray labels_in, str metric='minkowski', int p=2, "
           "int threshold=-1)",
    .body = densa_postprocess,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "densa_postprocess",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {{"np", "numpy"}, {"DistanceMetric", "sklearn.metrics", "DistanceMetric"}},
    .function = kDensaPostprocess,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_densa_postprocess() { return frame::module_definition(kModuleSpec); }

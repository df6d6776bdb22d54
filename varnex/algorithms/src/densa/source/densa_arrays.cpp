// densa_arrays: the density clustering over plain arrays, for the estimator.
//
// Neighbourhoods arrive as CSR arrays (indptr int64, indices int32), or as the pairs of
// a radius self-query to be turned into them. Every index is checked once, with the
// GIL held; the kernels then run without it, and Ctrl-C still stops them.
#include "contest_points.hpp"
#include "core/csr.hpp"
#include "core/threads.hpp"
#include "frame.hpp"
#include "kernels/access.hpp"
#include "kernels/close_pairs.hpp"
#include "kernels/cluster_means.hpp"
#include "kernels/density_clustering.hpp"
#include "kernels/nearest_centres.hpp"
#include "kernels/neighbourhood_rows.hpp"
#include "kernels/parallel_groups.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

namespace {

using frame::data_of;
using frame::Ref;
using frame::Vector;
using densa::kernels::Unchecked;
using Pairs = std::span<const int32_t>;

constexpr const char* kModule = "varnex.algorithms.src.densa.binaries.densa_arrays";
constexpr const char* kSource = "varnex/algorithms/src/densa/source/densa_arrays";

int32_t point_count(long long n) {
    if (n < 0) frame::raise(PyExc_ValueError, "n_samples must be at least 0, got %lld", n);
    if (n > INT32_MAX) frame::raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int32_t>(n);
}

// Raises ValueError unless every pair joins two different points of 0 .. n - 1.
void require_pairs(Pairs block, int32_t n) {
    for (size_t k = 0; k < block.size(); ++k) {
        const int32_t value = block[k];
        if (value < 0 || value >= n) frame::raise(PyExc_ValueError, "pair index %d out of range for %d points", value, n);
        if (k % 2 == 1 && value == block[k - 1]) {
            frame::raise(PyExc_ValueError, "a pair joins point %d to itself", value);
        }
    }
}

// neighbourhoods_from_pairs(blocks, n_samples): the CSR rows of the graph whose edges
// are the rows of the int32 arrays of shape (n_pairs, 2) in the list `blocks`, as a
// radius self-join reports them (each pair once, no point paired with itself).
Ref neighbourhoods_from_pairs(const frame::Arguments& args) {
    PyObject* given = frame::require_list(args[0], "blocks");
    frame::require_not_none(given, "blocks");
    const int32_t n = point_count(frame::to_int(args[1]));
    // A private copy of the list, and views that hold every block for the call: Python
    // code run by a buffer export cannot pull a block away.
    Ref listed = frame::check(PyList_GetSlice(given, 0, PyList_GET_SIZE(given)));
    std::vector<frame::Matrix<int32_t>> views;
    std::vector<Pairs> blocks;
    int64_t n_pairs = 0;
    const Py_ssize_t n_blocks = PyList_GET_SIZE(listed.get());
    views.reserve(static_cast<size_t>(n_blocks));
    for (Py_ssize_t b = 0; b < n_blocks; ++b) {
        PyObject* item = PyList_GET_ITEM(listed.get(), b);
        views.push_back(frame::Matrix<int32_t>::typed(item, frame::kInt));
        const frame::Matrix<int32_t>& view = views.back();
        frame::require_not_none(item, "a block of pairs");
        if (view.shape(0) == 0) continue;
        if (view.shape(1) != 2) frame::raise(PyExc_ValueError, "pairs must have 2 columns, got %zd", view.shape(1));
        blocks.push_back({&view.unchecked(0, 0), static_cast<size_t>(2 * view.shape(0))});
        require_pairs(blocks.back(), n);
        n_pairs += view.shape(0);
    }
    Ref indptr = frame::new_vector(npy_intp{n} + 1, NPY_INT64);
    Ref indices = frame::new_vector(2 * n_pairs, NPY_INT32);
    std::vector<int64_t> cursor(static_cast<size_t>(n));
    int64_t filled = 0;
    {
        frame::WithoutGil unlocked;
        densa::kernels::csr_from_pairs(std::span<const Pairs>(blocks), n, data_of<int64_t>(indptr), data_of<int32_t>(indices),
                                       cursor.data());
        filled = data_of<int64_t>(indptr)[n];
    }
    if (filled != 2 * n_pairs) {
        frame::raise(PyExc_RuntimeError, "the pairs changed while their rows were built");
    }
    return frame::check(PyTuple_Pack(2, indptr.get(), indices.get()));
}

// close_pairs(products, norms, row_start, column_start, radius, points): the pairs
// (i, j), i < j, of one tile of brute-force inner products whose points lie within
// `radius` of each other (boundary included), as int32 of shape (n_pairs, 2).
// products[r, c] (float32 or float64) is the inner product of the centred points
// row_start + r and column_start + c as the product saw them, norms their squared norms
// (float64); `points` are the points themselves.
template <class Real>
Ref close_pairs_of(const frame::Arguments& args, const frame::ElementType& real) {
    auto products = frame::Matrix<Real>::typed(args[0], real);
    auto norms = Vector<double>::typed(args[1], frame::kDouble);
    const Py_ssize_t row_start = frame::to_offset(args[2]);
    const Py_ssize_t column_start = frame::to_offset(args[3]);
    const double radius = frame::to_double(args[4]);
    auto points = frame::Matrix<double>::typed(args[5], frame::kDouble);
    for (int i : {0, 1, 5}) frame::require_not_none(args[i], "products, norms and points");
    const Py_ssize_t n = points.shape(0);
    if (norms.size() != n || row_start + products.shape(0) > n || column_start + products.shape(1) > n ||
        n > INT32_MAX) {
        frame::raise(PyExc_ValueError, "a tile of %zd x %zd products at (%zd, %zd) does not fit %zd points and %zd norms",
                     products.shape(0), products.shape(1), row_start, column_start, n, norms.size());
    }
    std::vector<int32_t> found;
    if (products.shape(0) > 0 && products.shape(1) > 0) {
        const core::ProductTile<Real> tile{&products.unchecked(0, 0), products.shape(0), products.shape(1),
                                           row_start,  column_start,       norms.span().data(),
                                           &points.unchecked(0, 0), points.shape(1)};
        frame::WithoutGil unlocked;
        densa::kernels::close_pairs(tile, radius, found);
    }
    npy_intp dims[2] = {static_cast<npy_intp>(found.size() / 2), 2};
    Ref result = frame::check(PyArray_SimpleNew(2, dims, NPY_INT32));
    std::copy(found.begin(), found.end(), data_of<int32_t>(result));
    return result;
}

Ref close_pairs(const frame::Arguments& args) {
    if (frame::is_matching_ndarray(args[0], frame::kFloat32, 2, true)) return close_pairs_of<float>(args, frame::kFloat32);
    return close_pairs_of<double>(args, frame::kDouble);
}

// The rows over the caller's arrays, or ValueError unless they describe n rows of
// indices in 0 .. n - 1, no row listing its own point.
core::Csr<int32_t> checked_rows(const Vector<int64_t>& indptr, const Vector<int32_t>& indices, int32_t n) {
    const core::Csr<int32_t> rows{indptr.span(), indices.span(), {}};
    using Kind = core::CsrFault::Kind;
    const core::CsrFault fault = core::find_fault(rows, {.nodes = n, .self_loops = false});
    switch (fault.kind) {
        case Kind::None:
        case Kind::Weights:
            return rows;
        case Kind::Length:
            frame::raise(PyExc_ValueError, "indptr has %zd entries, expected %lld", indptr.size(),
                         static_cast<long long>(n) + 1);
        case Kind::Start:
            frame::raise(PyExc_ValueError, "indptr must start at 0");
        case Kind::Falls:
            frame::raise(PyExc_ValueError, "indptr decreases at row %d", static_cast<int32_t>(fault.row));
        case Kind::End:
            frame::raise(PyExc_ValueError, "indptr ends at %lld but indices has %zd entries",
                         static_cast<long long>(rows.indptr[n]), indices.size());
        case Kind::Index:
            frame::raise(PyExc_ValueError, "neighbour index %d out of range for %d points",
                         static_cast<int32_t>(fault.value), n);
        case Kind::SelfLoop:
            frame::raise(PyExc_ValueError, "row %d lists its own point", static_cast<int32_t>(fault.row));
    }
    return rows;
}

// One cluster's queue at a time, the storage shared: each point enters a queue once.
struct SharedQueue {
    std::vector<int32_t>& storage;
    Unchecked<int32_t> make(int64_t /*n_slots*/) const { return {storage.data()}; }
};

// cluster_neighbourhoods(indptr, indices, labels, min_samples): densa_main's clustering
// over CSR neighbourhoods, each row holding the other points within reach (the point
// itself counts towards min_samples without being stored). Returns new int32 labels.
Ref cluster_neighbourhoods(const frame::Arguments& args) {
    auto indptr = Vector<int64_t>::typed(args[0], frame::kInt64);
    auto indices = Vector<int32_t>::typed(args[1], frame::kInt);
    auto labels = Vector<int32_t>::typed(args[2], frame::kInt);
    const int32_t min_samples = frame::to_int(args[3]);
    frame::require_not_none(args[0], "indptr");
    frame::require_not_none(args[1], "indices");
    frame::require_not_none(args[2], "labels");
    const int32_t n = point_count(static_cast<long long>(labels.size()));
    const core::Csr<int32_t> graph = checked_rows(indptr, indices, n);

    Ref result = frame::new_vector(n, NPY_INT32);
    Unchecked<int32_t> cluster_labels{data_of<int32_t>(result)};
    std::vector<int8_t> visited_flags(static_cast<size_t>(n), 0);
    std::vector<int32_t> queue_storage(static_cast<size_t>(n) + 1);
    {
        frame::WithoutGil unlocked;
        std::fill(cluster_labels.data, cluster_labels.data + n, -1);
        using Rows = densa::kernels::CsrRows<int32_t, frame::WithoutGil>;
        Rows rows(graph, unlocked);
        const Unchecked<int32_t> known{labels.span().data()};
        const Unchecked<int8_t> visited{visited_flags.data()};
        densa::kernels::DensityClustering<Rows, Unchecked<int32_t>, densa::kernels::CountCore> clustering(
            rows, n, known, densa::kernels::CountCore{min_samples});
        SharedQueue queues{queue_storage};
        clustering.seed_clusters(known, visited, visited, [&](densa::kernels::Pass, int32_t seed, int32_t id) {
            clustering.expand_cluster(cluster_labels, visited, queues, seed, id);
        });
    }
    return result;
}

// cluster_weighted_neighbourhoods(indptr, indices, labels, min_samples, weights,
// self_weights): the same clustering with the weighted core test. A point is a core
// point when self_weights[i] plus the weights of the points in its row reach
// min_samples; self_weights[i] is point i's own weight where it belongs to its own
// neighbourhood, 0 where it does not. Returns (new int32 labels, uint8 core flags).
Ref cluster_weighted_neighbourhoods(const frame::Arguments& args) {
    auto indptr = Vector<int64_t>::typed(args[0], frame::kInt64);
    auto indices = Vector<int32_t>::typed(args[1], frame::kInt);
    auto labels = Vector<int32_t>::typed(args[2], frame::kInt);
    const double min_samples = frame::to_double(args[3]);
    auto weights = Vector<double>::typed(args[4], frame::kDouble);
    auto self_weights = Vector<double>::typed(args[5], frame::kDouble);
    for (int i : {0, 1, 2, 4, 5}) frame::require_not_none(args[i], "indptr, indices, labels and weights");
    const int32_t n = point_count(static_cast<long long>(labels.size()));
    if (weights.size() != n || self_weights.size() != n) {
        frame::raise(PyExc_ValueError, "weights and self_weights must have %d entries, got %zd and %zd", n,
                     weights.size(), self_weights.size());
    }
    const core::Csr<int32_t> graph = checked_rows(indptr, indices, n);

    Ref result = frame::new_vector(n, NPY_INT32);
    Ref core_flags = frame::new_vector(n, NPY_UINT8);
    Unchecked<int32_t> cluster_labels{data_of<int32_t>(result)};
    std::vector<int8_t> visited_flags(static_cast<size_t>(n), 0);
    std::vector<int32_t> queue_storage(static_cast<size_t>(n) + 1);
    std::vector<double> totals(static_cast<size_t>(n));
    {
        frame::WithoutGil unlocked;
        std::fill(cluster_labels.data, cluster_labels.data + n, -1);
        using Rows = densa::kernels::CsrRows<int32_t, frame::WithoutGil>;
        Rows rows(graph, unlocked);
        densa::kernels::neighbourhood_weights(rows, n, weights.span().data(), self_weights.span().data(),
                                              totals.data());
        const densa::kernels::WeightCore core{totals.data(), min_samples};
        uint8_t* is_core = data_of<uint8_t>(core_flags);
        for (int32_t i = 0; i < n; ++i) is_core[i] = core(i, 0) ? 1 : 0;
        const Unchecked<int32_t> known{labels.span().data()};
        const Unchecked<int8_t> visited{visited_flags.data()};
        densa::kernels::DensityClustering<Rows, Unchecked<int32_t>, densa::kernels::WeightCore> clustering(
            rows, n, known, core);
        SharedQueue queues{queue_storage};
        clustering.seed_clusters(known, visited, visited, [&](densa::kernels::Pass, int32_t seed, int32_t id) {
            clustering.expand_cluster(cluster_labels, visited, queues, seed, id);
        });
    }
    return frame::check(PyTuple_Pack(2, result.get(), core_flags.get()));
}

// Runs the synchronous growth with the core test and the distances the caller chose.
template <class Core, class Distance>
void grow_synchronously(const core::Csr<int32_t>& graph, Unchecked<int32_t> known, int32_t n, const Core& core,
                        const Distance& distance, Unchecked<int32_t> cluster_labels, frame::WithoutGil& unlocked) {
    using Rows = densa::kernels::CsrRows<int32_t, frame::WithoutGil>;
    Rows rows(graph, unlocked);
    std::vector<int8_t> state(static_cast<size_t>(n));
    std::vector<int32_t> layers(static_cast<size_t>(n));
    std::vector<int32_t> queue(static_cast<size_t>(n) + 1);
    densa::kernels::DensityClustering<Rows, Unchecked<int32_t>, Core> clustering(rows, n, known, core);
    clustering.grow_synchronously(cluster_labels, Unchecked<int8_t>{state.data()}, Unchecked<int32_t>{layers.data()},
                                  Unchecked<int32_t>{queue.data()}, distance);
}

// cluster_synchronously(indptr, indices, labels, min_samples, weights, self_weights,
// points, p): the clustering over CSR neighbourhoods with the synchronous growth, where
// contested points go by distance rather than by row order. weights and self_weights
// (float64, or both None for the plain count) give the core test of
// cluster_weighted_neighbourhoods; points (float64 of n rows, or None) and p the
// Minkowski distance that settles contests (None: every contest a tie). Labels are -1
// (unlabelled) or a class of 0 or more. Returns (new int32 labels, uint8 core flags).
Ref cluster_synchronously(const frame::Arguments& args) {
    auto indptr = Vector<int64_t>::typed(args[0], frame::kInt64);
    auto indices = Vector<int32_t>::typed(args[1], frame::kInt);
    auto labels = Vector<int32_t>::typed(args[2], frame::kInt);
    const double min_samples = frame::to_double(args[3]);
    // Read only: a caller's read-only samples need no copy.
    auto weights = Vector<const double>::readable(args[4], frame::kDouble);
    auto self_weights = Vector<const double>::readable(args[5], frame::kDouble);
    const densa::ContestPoints points(args[6], args[7]);
    for (int i : {0, 1, 2}) frame::require_not_none(args[i], "indptr, indices and labels");
    const int32_t n = point_count(static_cast<long long>(labels.size()));
    const bool weighted = !weights.is_none() || !self_weights.is_none();
    if (weighted && (weights.size() != n || self_weights.size() != n)) {
        frame::raise(PyExc_ValueError, "weights and self_weights must have %d entries, got %zd and %zd", n,
                     weights.size(), self_weights.size());
    }
    if (std::isnan(min_samples)) frame::raise(PyExc_ValueError, "min_samples must be a number");
    points.require(n);
    for (int32_t i = 0; i < n; ++i) {
        if (labels[i] < -1) frame::raise(PyExc_ValueError, "label %d of point %d is below -1", labels[i], i);
    }
    const core::Csr<int32_t> graph = checked_rows(indptr, indices, n);

    Ref result = frame::new_vector(n, NPY_INT32);
    Ref core_flags = frame::new_vector(n, NPY_UINT8);
    Unchecked<int32_t> cluster_labels{data_of<int32_t>(result)};
    std::vector<double> totals(weighted ? static_cast<size_t>(n) : 0);
    {
        frame::WithoutGil unlocked;
        std::fill(cluster_labels.data, cluster_labels.data + n, -1);
        const Unchecked<int32_t> known{labels.span().data()};
        uint8_t* is_core = data_of<uint8_t>(core_flags);
        auto run = [&](const auto& core) {
            for (int32_t i = 0; i < n; ++i) is_core[i] = core(i, graph.guarded_row(i).size() + 1) ? 1 : 0;
            points.visit([&](const auto& distance) {
                grow_synchronously(graph, known, n, core, distance, cluster_labels, unlocked);
            });
        };
        if (weighted) {
            using Rows = densa::kernels::CsrRows<int32_t, frame::WithoutGil>;
            Rows rows(graph, unlocked);
            densa::kernels::neighbourhood_weights(rows, n, weights.span().data(), self_weights.span().data(),
                                                  totals.data());
            run(densa::kernels::WeightCore{totals.data(), min_samples});
        } else {
            // A count reaches min_samples when it reaches the next whole number.
            const double bound = std::clamp(std::ceil(min_samples), -1.0, 4.0e18);
            run(densa::kernels::CountCore{static_cast<int64_t>(bound)});
        }
    }
    return frame::check(PyTuple_Pack(2, result.get(), core_flags.get()));
}


// A private copy of the labels: the sort reads them twice, and a count that changed in
// between would send a row outside the order.
std::vector<int32_t> label_copy(PyObject* object) {
    frame::require_not_none(object, "labels");
    auto labels = Vector<const int32_t>::readable(object, frame::kInt);
    return {labels.span().begin(), labels.span().end()};
}

// Ctrl-C answered between parts of the work, on the calling thread.
auto poll_with(frame::WithoutGil& unlocked) {
    return [&unlocked](size_t) { unlocked.poll(); };
}

// label_groups(labels, n_threads): the rows grouped by label. Returns (values int32,
// starts int64, rows int64): rows[starts[g]:starts[g + 1]] are the rows labelled
// values[g] in increasing order, the values increasing.
Ref label_groups(const frame::Arguments& args) {
    const std::vector<int32_t> labels = label_copy(args[0]);
    const size_t n_threads = frame::to_thread_count(args[1]);
    densa::kernels::LabelGroups grouped;
    {
        frame::WithoutGil unlocked(64);
        core::Pool pool(n_threads);
        grouped = densa::kernels::group_by_label_in_parallel(pool, labels, poll_with(unlocked));
    }
    const auto n_groups = static_cast<int64_t>(grouped.groups.size());
    Ref values = frame::new_vector(n_groups, NPY_INT32);
    Ref starts = frame::new_vector(n_groups + 1, NPY_INT64);
    Ref rows = frame::new_vector(static_cast<int64_t>(grouped.rows.size()), NPY_INT64);
    data_of<int64_t>(starts)[0] = 0;
    for (int64_t g = 0; g < n_groups; ++g) {
        data_of<int32_t>(values)[g] = grouped.groups[g].label;
        data_of<int64_t>(starts)[g + 1] = grouped.groups[g].end;
    }
    std::copy(grouped.rows.begin(), grouped.rows.end(), data_of<int64_t>(rows));
    return frame::check(PyTuple_Pack(3, values.get(), starts.get(), rows.get()));
}

// cluster_means(labels, points, weights, n_threads): the clusters (labels other than -1)
// in increasing order and the weighted mean of each one's points. Returns (values
// int32, means float64 of shape (n_values, n_features)).
Ref cluster_means(const frame::Arguments& args) {
    const std::vector<int32_t> labels = label_copy(args[0]);
    frame::require_not_none(args[1], "points");
    auto points = frame::Matrix<const double>::readable(args[1], frame::kDouble);
    auto weights = Vector<const double>::readable(args[2], frame::kDouble);
    const size_t n_threads = frame::to_thread_count(args[3]);
    const auto n = static_cast<Py_ssize_t>(labels.size());
    if (points.shape(0) != n || (!weights.is_none() && weights.size() != n)) {
        frame::raise(PyExc_ValueError, "points and weights must have one row per label (%zd), got %zd and %zd", n,
                     points.shape(0), weights.size());
    }
    const int64_t d = points.shape(1);
    densa::kernels::LabelGroups grouped;
    std::vector<densa::kernels::LabelGroup> clusters;
    std::vector<double> means;
    {
        frame::WithoutGil unlocked(64);
        core::Pool pool(n_threads);
        grouped = densa::kernels::group_by_label_in_parallel(pool, labels, poll_with(unlocked));
        std::copy_if(grouped.groups.begin(), grouped.groups.end(), std::back_inserter(clusters),
                     [](const densa::kernels::LabelGroup& group) { return group.label != -1; });
        means.resize(clusters.size() * static_cast<size_t>(d));
        if (d > 0 && !clusters.empty()) {
            const densa::kernels::WeightedPoints weighted{&points.unchecked(0, 0), d, weights.span()};
            densa::kernels::group_means(pool, grouped, clusters, weighted, means.data(), poll_with(unlocked));
        }
    }
    const auto n_clusters = static_cast<npy_intp>(clusters.size());
    Ref values = frame::new_vector(n_clusters, NPY_INT32);
    for (npy_intp g = 0; g < n_clusters; ++g) data_of<int32_t>(values)[g] = clusters[g].label;
    npy_intp dims[2] = {n_clusters, static_cast<npy_intp>(d)};
    Ref result = frame::check(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    std::copy(means.begin(), means.end(), data_of<double>(result));
    return frame::check(PyTuple_Pack(2, values.get(), result.get()));
}

// nearest_centres(points, centres, p, n_threads): the nearest centre of each point.
Ref nearest_centres(const frame::Arguments& args) {
    for (int i : {0, 1}) frame::require_not_none(args[i], "points and centres");
    auto points = frame::Matrix<const double>::readable(args[0], frame::kDouble);
    auto centres = frame::Matrix<const double>::readable(args[1], frame::kDouble);
    const double p = frame::to_double(args[2]);
    const size_t n_threads = frame::to_thread_count(args[3]);
    if (points.shape(1) != centres.shape(1)) {
        frame::raise(PyExc_ValueError, "points have %zd features and centres %zd", points.shape(1), centres.shape(1));
    }
    if (!(p >= 1.0)) frame::raise(PyExc_ValueError, "p must be at least 1, got %g", p);
    const npy_intp n = points.shape(0);
    Ref nearest = frame::new_vector(n, NPY_INT64);
    int64_t* found = data_of<int64_t>(nearest);
    if (centres.shape(0) == 0 || n == 0) {
        std::fill(found, found + n, -1);
        return nearest;
    }
    const densa::kernels::DenseRows point_rows{&points.unchecked(0, 0), n, points.shape(1)};
    const densa::kernels::DenseRows centre_rows{&centres.unchecked(0, 0), centres.shape(0), centres.shape(1)};
    {
        frame::WithoutGil unlocked(64);
        core::Pool pool(n_threads);
        densa::kernels::nearest_centres(pool, point_rows, centre_rows, p, found, poll_with(unlocked));
    }
    return nearest;
}

const frame::FunctionSpec kNearestCentres{
    .name = "nearest_centres",
    .parameters = {"points", "centres", "p", "n_threads"},
    .defaults = {1},
    .doc = "nearest_centres(points, centres, p, n_threads=1)\n"
           "\n"
           "For each row of `points`, the row of `centres` nearest it (both float64,\n"
           "C-contiguous) by the Minkowski distance of exponent p (1 .. inf), the first among\n"
           "equals; -1 where none lies at a finite distance. int64, the same on any number\n"
           "of threads (1 .. 1024).",
    .body = nearest_centres,
};

const frame::FunctionSpec kLabelGroups{
    .name = "label_groups",
    .parameters = {"labels", "n_threads"},
    .defaults = {1},
    .doc = "label_groups(labels, n_threads=1)\n"
           "\n"
           "The rows of int32 `labels` grouped by label, on n_threads threads (1 .. 1024).\n"
           "Returns (values int32, starts int64, rows int64): rows[starts[g]:starts[g + 1]]\n"
           "are the rows labelled values[g], in increasing order; values increase.",
    .body = label_groups,
};

const frame::FunctionSpec kClusterMeans{
    .name = "cluster_means",
    .parameters = {"labels", "points", "weights", "n_threads"},
    .defaults = {1},
    .doc = "cluster_means(labels, points, weights, n_threads=1)\n"
           "\n"
           "The clusters of int32 `labels` (every label but -1) in increasing order, and the\n"
           "mean of each one's rows of `points` (float64, C-contiguous), weighted by\n"
           "`weights` (float64, or None) as shares of the cluster's largest magnitude where\n"
           "they sum to more than 0, by count otherwise. The same bits on any number of\n"
           "threads (1 .. 1024). Returns (values int32, means float64 (n_values, n_features)).",
    .body = cluster_means,
};

const frame::FunctionSpec kClusterSynchronously{
    .name = "cluster_synchronously",
    .parameters = {"indptr", "indices", "labels", "min_samples", "weights", "self_weights", "points", "p"},
    .defaults = {},
    .doc = "cluster_synchronously(indptr, indices, labels, min_samples, weights, self_weights, points, p)\n"
           "\n"
           "cluster_neighbourhoods grown synchronously: all labelled points seed at once and\n"
           "grow a layer at a time; a point reached by several clusters in one layer joins\n"
           "that of the nearest point that reached it (Minkowski distance of exponent p\n"
           "between rows of `points`: float64, a tuple (indptr, indices, data) of sparse\n"
           "rows with sorted features, or None for ties everywhere), ties going to\n"
           "the lower class. New clusters are the remaining groups of connected core points;\n"
           "a border point goes to its nearest core point's. weights and self_weights as\n"
           "in cluster_weighted_neighbourhoods, or None. Returns (int32 labels, uint8 core\n"
           "flags).",
    .body = cluster_synchronously,
};

const frame::FunctionSpec kClusterWeightedNeighbourhoods{
    .name = "cluster_weighted_neighbourhoods",
    .parameters = {"indptr", "indices", "labels", "min_samples", "weights", "self_weights"},
    .defaults = {},
    .doc = "cluster_weighted_neighbourhoods(indptr, indices, labels, min_samples, weights, self_weights)\n"
           "\n"
           "cluster_neighbourhoods with sample weights (float64): point i is a core point\n"
           "when self_weights[i] plus the weights of the points in row i reach min_samples\n"
           "(self_weights[i] is 0 where point i is outside its own neighbourhood). Returns\n"
           "(int32 labels, uint8 core flags).",
    .body = cluster_weighted_neighbourhoods,
};

const frame::FunctionSpec kClusterNeighbourhoods{
    .name = "cluster_neighbourhoods",
    .parameters = {"indptr", "indices", "labels", "min_samples"},
    .defaults = {},
    .doc = "cluster_neighbourhoods(indptr, indices, labels, min_samples)\n"
           "\n"
           "Semi-supervised DBSCAN over CSR neighbourhoods (indptr int64, indices int32;\n"
           "row i lists the other points within reach of point i, which itself counts\n"
           "towards min_samples). Returns new int32 labels: known classes, -1 for noise,\n"
           "-2, -3, ... for clusters found among unlabelled points.",
    .body = cluster_neighbourhoods,
};

const frame::FunctionSpec kNeighbourhoodsFromPairs{
    .name = "neighbourhoods_from_pairs",
    .parameters = {"blocks", "n_samples"},
    .defaults = {},
    .doc = "neighbourhoods_from_pairs(blocks, n_samples)\n"
           "\n"
           "CSR rows (indptr int64, indices int32) of the symmetric graph whose edges are\n"
           "the rows of the int32 arrays of shape (n_pairs, 2) in the list `blocks`.",
    .body = neighbourhoods_from_pairs,
};

const frame::FunctionSpec kClosePairs{
    .name = "close_pairs",
    .parameters = {"products", "norms", "row_start", "column_start", "radius", "points"},
    .defaults = {},
    .doc = "close_pairs(products, norms, row_start, column_start, radius, points)\n"
           "\n"
           "The pairs (i, j), i < j, of one tile of inner products of centred points whose\n"
           "points lie within `radius` (boundary included), as int32 of shape (n_pairs, 2).",
    .body = close_pairs,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "densa_arrays",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {},
    .function = kClusterNeighbourhoods,
    .more_functions = {&kNeighbourhoodsFromPairs, &kClosePairs, &kClusterWeightedNeighbourhoods,
                      &kClusterSynchronously, &kLabelGroups, &kClusterMeans, &kNearestCentres},
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_densa_arrays() { return frame::module_definition(kModuleSpec); }

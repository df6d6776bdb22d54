// densa_arrays: the density clustering over plain arrays, for the estimator.
//
// Neighbourhoods arrive as CSR arrays (indptr int64, indices int32), or as the pairs of
// a radius self-query to be turned into them. Every index is checked once, with the
// GIL held; the kernels then run without it, and Ctrl-C still stops them.
#include "frame.hpp"
#include "kernels/access.hpp"
#include "kernels/csr.hpp"
#include "kernels/density_clustering.hpp"

#include <cstdint>
#include <vector>

namespace {

using frame::Ref;
using frame::Vector;
using densa::kernels::Unchecked;

constexpr const char* kModule = "varnex.algorithms.src.densa.binaries.densa_arrays";
constexpr const char* kSource = "varnex/algorithms/src/densa/source/densa_arrays";

Ref new_vector(npy_intp size, int numpy_type) {
    return frame::check(PyArray_SimpleNew(1, &size, numpy_type));
}

template <class T>
T* data_of(const Ref& array) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

int32_t point_count(long long n) {
    if (n < 0) frame::raise(PyExc_ValueError, "n_samples must be at least 0, got %lld", n);
    if (n > INT32_MAX) frame::raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int32_t>(n);
}

// neighbourhoods_from_pairs(pairs, n_samples): the CSR rows of the graph whose edges
// are `pairs`, shape (n_pairs, 2), int64, as a radius self-query reports them (each
// pair once, no point paired with itself); every point is listed first in its own row.
Ref neighbourhoods_from_pairs(const frame::Arguments& args) {
    auto pairs = frame::Matrix<int64_t>::typed(args[0], frame::kInt64);
    frame::require_not_none(args[0], "pairs");
    const int32_t n = point_count(frame::to_int(args[1]));
    if (pairs.shape(1) != 2 && pairs.shape(0) != 0) {
        frame::raise(PyExc_ValueError, "pairs must have 2 columns, got %zd", pairs.shape(1));
    }
    const int64_t n_pairs = pairs.shape(0);
    const int64_t* flat = n_pairs == 0 ? nullptr : &pairs.unchecked(0, 0);
    for (int64_t k = 0; k < 2 * n_pairs; ++k) {
        if (flat[k] < 0 || flat[k] >= n) {
            frame::raise(PyExc_ValueError, "pair index %lld out of range for %d points",
                         static_cast<long long>(flat[k]), n);
        }
        if (k % 2 == 1 && flat[k] == flat[k - 1]) {
            frame::raise(PyExc_ValueError, "pair %lld joins point %lld to itself", static_cast<long long>(k / 2),
                         static_cast<long long>(flat[k]));
        }
    }
    Ref indptr = new_vector(npy_intp{n} + 1, NPY_INT64);
    Ref indices = new_vector(npy_intp{n} + 2 * n_pairs, NPY_INT32);
    {
        frame::WithoutGil unlocked;
        densa::kernels::csr_from_pairs(flat, n_pairs, n, data_of<int64_t>(indptr), data_of<int32_t>(indices));
    }
    return frame::check(PyTuple_Pack(2, indptr.get(), indices.get()));
}

// Raises ValueError unless indptr and indices describe n rows of indices in 0 .. n - 1.
void require_csr(const Vector<int64_t>& indptr, const Vector<int32_t>& indices, int32_t n) {
    if (indptr.size() != int64_t{n} + 1) {
        frame::raise(PyExc_ValueError, "indptr has %zd entries, expected %lld", indptr.size(),
                     static_cast<long long>(n) + 1);
    }
    const int64_t* ptr = indptr.elements().data();
    if (ptr[0] != 0) frame::raise(PyExc_ValueError, "indptr must start at 0");
    for (int32_t i = 0; i < n; ++i) {
        if (ptr[i + 1] < ptr[i]) frame::raise(PyExc_ValueError, "indptr decreases at row %d", i);
    }
    if (ptr[n] != indices.size()) {
        frame::raise(PyExc_ValueError, "indptr ends at %lld but indices has %zd entries",
                     static_cast<long long>(ptr[n]), indices.size());
    }
    const int32_t* idx = indices.elements().data();
    for (Py_ssize_t k = 0; k < indices.size(); ++k) {
        if (idx[k] < 0 || idx[k] >= n) {
            frame::raise(PyExc_ValueError, "neighbour index %d out of range for %d points", idx[k], n);
        }
    }
}

// One cluster's queue at a time, the storage shared: each point enters a queue once.
struct SharedQueue {
    std::vector<int32_t>& storage;
    Unchecked<int32_t> make(int64_t /*n_slots*/) const { return {storage.data()}; }
};

// cluster_neighbourhoods(indptr, indices, labels, min_samples): densa_main's clustering
// over CSR neighbourhoods, each row holding the point itself. Returns new int32 labels.
Ref cluster_neighbourhoods(const frame::Arguments& args) {
    auto indptr = Vector<int64_t>::typed(args[0], frame::kInt64);
    auto indices = Vector<int32_t>::typed(args[1], frame::kInt);
    auto labels = Vector<int32_t>::typed(args[2], frame::kInt);
    const int32_t min_samples = frame::to_int(args[3]);
    frame::require_not_none(args[0], "indptr");
    frame::require_not_none(args[1], "indices");
    frame::require_not_none(args[2], "labels");
    const int32_t n = point_count(static_cast<long long>(labels.size()));
    require_csr(indptr, indices, n);

    Ref result = new_vector(n, NPY_INT32);
    Unchecked<int32_t> cluster_labels{data_of<int32_t>(result)};
    std::vector<int8_t> visited_flags(static_cast<size_t>(n), 0);
    std::vector<int32_t> queue_storage(static_cast<size_t>(n) + 1);
    {
        frame::WithoutGil unlocked;
        std::fill(cluster_labels.data, cluster_labels.data + n, -1);
        using Rows = densa::kernels::CsrRows<int32_t, frame::WithoutGil>;
        Rows rows(indptr.elements().data(), indices.elements().data(), unlocked);
        const Unchecked<int32_t> known{labels.elements().data()};
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

const frame::FunctionSpec kClusterNeighbourhoods{
    .name = "cluster_neighbourhoods",
    .parameters = {"indptr", "indices", "labels", "min_samples"},
    .defaults = {},
    .doc = "cluster_neighbourhoods(indptr, indices, labels, min_samples)\n"
           "\n"
           "Semi-supervised DBSCAN over CSR neighbourhoods (indptr int64, indices int32,\n"
           "every row holding its own point). Returns new int32 labels: known classes,\n"
           "-1 for noise, -2, -3, ... for clusters found among unlabelled points.",
    .body = cluster_neighbourhoods,
};

const frame::FunctionSpec kNeighbourhoodsFromPairs{
    .name = "neighbourhoods_from_pairs",
    .parameters = {"pairs", "n_samples"},
    .defaults = {},
    .doc = "neighbourhoods_from_pairs(pairs, n_samples)\n"
           "\n"
           "CSR rows (indptr int64, indices int32) of the symmetric graph whose edges are\n"
           "the rows of `pairs` (int64, shape (n_pairs, 2)), every point first in its own row.",
    .body = neighbourhoods_from_pairs,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "densa_arrays",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {},
    .function = kClusterNeighbourhoods,
    .more_functions = {&kNeighbourhoodsFromPairs},
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_densa_arrays() { return frame::module_definition(kModuleSpec); }

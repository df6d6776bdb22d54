// linka_nearest: exact k-nearest-neighbour lists from blocks of single-precision inner
// products, for the brute-force route of the graph estimators in many dimensions.
//
// Shapes are checked once under the GIL; the selection runs with the GIL released.
#include "frame.hpp"
#include "kernels/nearest_products.hpp"

#include <cstdint>

namespace {

using frame::Ref;
using linka::kernels::ProductRows;

constexpr const char* kModule = "varnex.algorithms.src.linka.binaries.linka_nearest";
constexpr const char* kSource = "varnex/algorithms/src/linka/source/linka_nearest";

Py_ssize_t to_offset(PyObject* object) {
    const long long value = frame::check_value(PyLong_AsLongLong(object), -1LL);
    if (value < 0) frame::raise(PyExc_ValueError, "an offset must be at least 0, got %lld", value);
    return static_cast<Py_ssize_t>(value);
}

template <class Index>
void select_rows(const ProductRows& block, const frame::Matrix<float>& distances, PyObject* indices_object,
                 const frame::ElementType& index_type) {
    auto indices = frame::Matrix<Index>::typed(indices_object, index_type);
    const Py_ssize_t k = distances.shape(1);
    if (indices.shape(0) != distances.shape(0) || indices.shape(1) != k) {
        frame::raise(PyExc_ValueError, "distances and indices must have the same shape");
    }
    if (block.rows == 0) return;
    float* distance_rows = &distances.unchecked(block.row_start, 0);
    Index* index_rows = &indices.unchecked(block.row_start, 0);
    linka::kernels::NearestScratch scratch;
    frame::WithoutGil unlocked(1u << 8);
    for (std::int64_t r = 0; r < block.rows; ++r) {
        linka::kernels::nearest_of_row(block, r, k, scratch, distance_rows, index_rows);
        unlocked.poll();
    }
}

// nearest_rows(products, norms, row_start, points, distances, indices): for the points
// row_start .. row_start + len(products) - 1, their k nearest other points, written into
// rows row_start.. of `distances` (float32, shape (n_points, k)) and `indices` (int32 or
// int64, same shape). products[r, j] (float32) is the inner product of the centred
// points row_start + r and j, norms (float64) their squared norms as the products saw
// them, points (float64) the points themselves.
Ref nearest_rows(const frame::Arguments& args) {
    for (int a : {0, 1, 3, 4, 5}) frame::require_not_none(args[a], "products, norms, points, distances and indices");
    auto products = frame::Matrix<float>::typed(args[0], frame::kFloat32);
    auto norms = frame::Vector<double>::typed(args[1], frame::kDouble);
    const Py_ssize_t row_start = to_offset(args[2]);
    auto points = frame::Matrix<double>::typed(args[3], frame::kDouble);
    auto distances = frame::Matrix<float>::typed(args[4], frame::kFloat32);
    const Py_ssize_t n = points.shape(0);
    const Py_ssize_t k = distances.shape(1);
    if (norms.size() != n || products.shape(1) != n || row_start + products.shape(0) > n ||
        distances.shape(0) != n) {
        frame::raise(PyExc_ValueError, "a block of %zd x %zd products at row %zd does not fit %zd points, %zd norms "
                     "and %zd rows of results", products.shape(0), products.shape(1), row_start, n, norms.size(),
                     distances.shape(0));
    }
    if (k < 1 || k > n - 1) frame::raise(PyExc_ValueError, "k must be between 1 and %zd, got %zd", n - 1, k);
    const ProductRows block{products.shape(0) > 0 ? &products.unchecked(0, 0) : nullptr, products.shape(0),
                            row_start, norms.elements().data(), &points.unchecked(0, 0), n, points.shape(1)};
    if (frame::is_matching_ndarray(args[5], frame::kInt, 2, true)) {
        select_rows<std::int32_t>(block, distances, args[5], frame::kInt);
    } else {
        select_rows<std::int64_t>(block, distances, args[5], frame::kInt64);
    }
    return frame::check(Py_NewRef(Py_None));
}

const frame::FunctionSpec kNearestRows{
    .name = "nearest_rows",
    .parameters = {"products", "norms", "row_start", "points", "distances", "indices"},
    .defaults = {},
    .doc = "nearest_rows(products, norms, row_start, points, distances, indices)\n"
           "\n"
           "The k nearest other points of the points row_start .. row_start + len(products) - 1,\n"
           "nearest first, equal distances by lower index, written into their rows of\n"
           "`distances` (float32) and `indices` (int32 or int64), both of shape (n_points, k).",
    .body = nearest_rows,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "linka_nearest",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {},
    .function = kNearestRows,
    .more_functions = {},
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_linka_nearest() { return frame::module_definition(kModuleSpec); }

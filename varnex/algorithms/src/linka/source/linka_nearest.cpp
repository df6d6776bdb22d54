// linka_nearest: exact k-nearest-neighbour lists from tiles of single-precision inner
// products, for the brute-force route of the graph estimators in many dimensions.
//
// Shapes are checked once under the GIL; the tile is then read with the GIL released.
#include "frame.hpp"
#include "kernels/nearest_products.hpp"

#include <cstdint>

namespace {

using frame::Ref;
using linka::kernels::NearestSoFar;

constexpr const char* kModule = "varnex.algorithms.src.linka.binaries.linka_nearest";
constexpr const char* kSource = "varnex/algorithms/src/linka/source/linka_nearest";

// offer_tile(products, norms, row_start, column_start, points, nearest_squared,
// nearest_index): offers the points column_start .. column_start + products.shape[1] - 1
// to the k nearest so far of the points row_start .. row_start + products.shape[0] - 1.
// products (float32) are the inner products of those centred points, norms (float64)
// the squared norms of all centred points as the products saw them, points (float64)
// the points themselves. Row r of nearest_squared (float64) and nearest_index (int64),
// both of shape (products.shape[0], k), is a max-heap of (squared distance, index),
// farthest on top; a fresh row holds k times (+inf, 2**63 - 1).
Ref offer_tile(const frame::Arguments& args) {
    for (int a : {0, 1, 4, 5, 6}) frame::require_not_none(args[a], "products, norms, points and the nearest so far");
    auto products = frame::Matrix<float>::typed(args[0], frame::kFloat32);
    auto norms = frame::Vector<double>::typed(args[1], frame::kDouble);
    const Py_ssize_t row_start = frame::to_offset(args[2]);
    const Py_ssize_t column_start = frame::to_offset(args[3]);
    auto points = frame::Matrix<double>::typed(args[4], frame::kDouble);
    auto squared = frame::Matrix<double>::typed(args[5], frame::kDouble);
    auto index = frame::Matrix<std::int64_t>::typed(args[6], frame::kInt64);
    const Py_ssize_t n = points.shape(0);
    const Py_ssize_t rows = products.shape(0), columns = products.shape(1), k = squared.shape(1);
    if (norms.size() != n || row_start + rows > n || column_start + columns > n) {
        frame::raise(PyExc_ValueError, "a tile of %zd x %zd products at (%zd, %zd) does not fit %zd points and %zd norms",
                     rows, columns, row_start, column_start, n, norms.size());
    }
    if (squared.shape(0) != rows || index.shape(0) != rows || index.shape(1) != k || k < 1) {
        frame::raise(PyExc_ValueError, "the nearest so far must have one row of k >= 1 entries per tile row");
    }
    if (rows == 0 || columns == 0) return frame::check(Py_NewRef(Py_None));
    const core::ProductTile<float> tile{&products.unchecked(0, 0), rows, columns, row_start, column_start,
                                        norms.span().data(), &points.unchecked(0, 0), points.shape(1)};
    frame::WithoutGil unlocked(1u << 8);
    for (Py_ssize_t r = 0; r < rows; ++r) {
        linka::kernels::offer_tile_row(tile, r, NearestSoFar{&squared.unchecked(r, 0), &index.unchecked(r, 0), k});
        unlocked.poll();
    }
    return frame::check(Py_NewRef(Py_None));
}

const frame::FunctionSpec kOfferTile{
    .name = "offer_tile",
    .parameters = {"products", "norms", "row_start", "column_start", "points", "nearest_squared", "nearest_index"},
    .defaults = {},
    .doc = "offer_tile(products, norms, row_start, column_start, points, nearest_squared, nearest_index)\n"
           "\n"
           "Offers the columns of one tile of inner products of centred points to the k nearest\n"
           "so far of its rows: max-heaps of (squared distance, index) in nearest_squared\n"
           "(float64) and nearest_index (int64), of shape (rows, k). Points whose estimate\n"
           "could place them among the k nearest are measured from `points`.",
    .body = offer_tile,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "linka_nearest",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {},
    .function = kOfferTile,
    .more_functions = {},
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_linka_nearest() { return frame::module_definition(kModuleSpec); }

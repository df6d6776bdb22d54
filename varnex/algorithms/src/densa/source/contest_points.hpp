// The coordinates that settle the contests of the synchronous growth, as a caller passes
// them: float64 rows of the n points, a tuple (indptr, indices, data) of sparse rows with
// sorted features, or None, where every contest is a tie. With the exponent p of the
// Minkowski distance; read in place (kernels/contest_distance.hpp says how).
#pragma once

#include "frame.hpp"
#include "kernels/contest_distance.hpp"

#include <cmath>
#include <cstdint>

namespace densa {

class ContestPoints {
public:
    ContestPoints(PyObject* points, PyObject* p)
        : sparse_(PyTuple_Check(points) && PyTuple_GET_SIZE(points) == 3),
          dense_(frame::Matrix<const double>::readable(sparse_ ? Py_None : points, frame::kDouble)),
          indptr_(frame::Vector<const std::int64_t>::readable(item(points, 0), frame::kInt64)),
          indices_(frame::Vector<const std::int32_t>::readable(item(points, 1), frame::kInt)),
          values_(frame::Vector<const double>::readable(item(points, 2), frame::kDouble)),
          p_(frame::to_double(p)) {}

    // Raises ValueError unless the points are n and p is at least 1.
    void require(std::int32_t n) const {
        if (!dense_.is_none() && dense_.shape(0) != n) {
            frame::raise(PyExc_ValueError, "points must have %d rows, got %zd", n, dense_.shape(0));
        }
        if (sparse_ && (indptr_.size() != npy_intp{n} + 1 || indices_.is_none() || values_.is_none())) {
            frame::raise(PyExc_ValueError, "sparse points need indptr of %d entries, indices and data", n + 1);
        }
        if (!(p_ >= 1.0)) frame::raise(PyExc_ValueError, "p must be at least 1, got %g", p_);
    }

    // visit(distance) with the distance these points give.
    template <class Visit>
    decltype(auto) visit(Visit&& visit) const {
        if (!dense_.is_none() && dense_.shape(0) > 0) {
            return visit(kernels::MinkowskiDistance{&dense_.unchecked(0, 0), dense_.shape(1), p_});
        }
        if (sparse_) {
            return visit(kernels::SparseMinkowskiDistance{{indptr_.span(), indices_.span(), values_.span()}, p_});
        }
        return visit(kernels::NoDistance{});
    }

private:
    PyObject* item(PyObject* points, Py_ssize_t k) const { return sparse_ ? PyTuple_GET_ITEM(points, k) : Py_None; }

    bool sparse_;
    frame::Matrix<const double> dense_;
    frame::Vector<const std::int64_t> indptr_;
    frame::Vector<const std::int32_t> indices_;
    frame::Vector<const double> values_;
    double p_;
};

}  // namespace densa

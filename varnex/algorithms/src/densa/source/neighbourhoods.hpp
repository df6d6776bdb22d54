// Reading the neighbour table of a radius query: one entry per point, each a sequence
// of point indices. The k-d tree gives lists of ints, the ball tree int64 arrays; both
// are read without creating Python objects per index. Any other sequence is read
// through the Python protocols, item by item.
#pragma once

#include "frame.hpp"

#include <cstdint>

namespace densa {

// One entry: the indices of the points within reach of one point.
class NeighbourList {
public:
    explicit NeighbourList(frame::Ref entry) : entry_(std::move(entry)) {
        PyObject* e = entry_.get();
        if (PyList_CheckExact(e)) {
            kind_ = Kind::List;
            size_ = PyList_GET_SIZE(e);
        } else if (PyArray_CheckExact(e) && is_native_integer_vector(reinterpret_cast<PyArrayObject*>(e))) {
            auto* array = reinterpret_cast<PyArrayObject*>(e);
            kind_ = PyArray_ITEMSIZE(array) == 8 ? Kind::Int64Array : Kind::Int32Array;
            size_ = PyArray_DIM(array, 0);
            data_ = PyArray_BYTES(array);
            stride_ = PyArray_STRIDE(array, 0);
        } else {
            kind_ = Kind::Sequence;
            size_ = frame::check_value(PyObject_Size(e), Py_ssize_t{-1});
        }
    }

    Py_ssize_t size() const { return size_; }

    // entry[i] as a 32-bit index, with the conversion errors of an `int` argument.
    int32_t index(Py_ssize_t i) const {
        switch (kind_) {
            case Kind::Int64Array: return narrow(*reinterpret_cast<const int64_t*>(data_ + i * stride_));
            case Kind::Int32Array: return *reinterpret_cast<const int32_t*>(data_ + i * stride_);
            case Kind::List: return list_item(i);
            case Kind::Sequence: break;
        }
        frame::Ref position = frame::new_int(i);
        frame::Ref item = frame::check(PyObject_GetItem(entry_.get(), position.get()));
        return frame::to_int(item.get());
    }

private:
    enum class Kind { List, Int64Array, Int32Array, Sequence };

    static bool is_native_integer_vector(PyArrayObject* array) {
        int itemsize = static_cast<int>(PyArray_ITEMSIZE(array));
        return PyArray_NDIM(array) == 1 && PyArray_DESCR(array)->kind == 'i' && PyArray_ISNOTSWAPPED(array) &&
               (itemsize == 8 || itemsize == 4);
    }

    static int32_t narrow(int64_t value) {
        if (value < INT32_MIN || value > INT32_MAX) frame::raise(PyExc_OverflowError, "value too large to convert to int");
        return static_cast<int32_t>(value);
    }

    int32_t list_item(Py_ssize_t i) const {
        // The list is re-measured: converting a non-int item runs Python code.
        if (i >= PyList_GET_SIZE(entry_.get())) frame::raise(PyExc_IndexError, "list index out of range");
        PyObject* item = PyList_GET_ITEM(entry_.get(), i);
        if (PyLong_CheckExact(item)) {
            int overflow = 0;
            long value = PyLong_AsLongAndOverflow(item, &overflow);
            if (overflow != 0) frame::raise(PyExc_OverflowError, "value too large to convert to int");
            return narrow(value);
        }
        frame::Ref held = frame::Ref::borrow(item);
        return frame::to_int(held.get());
    }

    frame::Ref entry_;
    Kind kind_;
    Py_ssize_t size_ = 0;
    const char* data_ = nullptr;
    Py_ssize_t stride_ = 0;
};

// The whole table: a list with one entry per point.
class Neighbourhoods {
public:
    explicit Neighbourhoods(frame::Ref table) : table_(std::move(table)) {}

    Py_ssize_t size() const { return PyList_GET_SIZE(table_.get()); }

    // table[i] with list indexing: negative positions count from the end.
    NeighbourList entry(Py_ssize_t i) const { return NeighbourList(frame::Ref::borrow(item(i))); }

    // len(table[i]) for 0 <= i < size(); list entries are measured in place.
    Py_ssize_t entry_size(Py_ssize_t i) const {
        PyObject* e = item(i);
        if (PyList_CheckExact(e)) return PyList_GET_SIZE(e);
        frame::Ref held = frame::Ref::borrow(e);
        return frame::check_value(PyObject_Size(held.get()), Py_ssize_t{-1});
    }

private:
    PyObject* item(Py_ssize_t i) const {
        Py_ssize_t n = size();
        if (i < 0) i += n;
        if (i < 0 || i >= n) frame::raise(PyExc_IndexError, "list index out of range");
        return PyList_GET_ITEM(table_.get(), i);
    }

    frame::Ref table_;
};

}  // namespace densa

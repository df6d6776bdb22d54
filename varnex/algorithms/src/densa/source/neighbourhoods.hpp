// Reading the neighbour table of a radius query: one entry per point, each a sequence
// of point indices. The k-d tree gives lists of ints, the ball tree int64 arrays; both
// are read without creating Python objects per index. Any other sequence is read
// through the Python protocols, item by item.
#pragma once

#include "frame.hpp"

#include <cstdint>
#include <vector>

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

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

    // An entry already copied into compact storage.
    NeighbourList(const int32_t* indices, Py_ssize_t size)
        : kind_(Kind::Int32Array), size_(size), data_(reinterpret_cast<const char*>(indices)),
          stride_(sizeof(int32_t)) {}

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

// An exact int's value when it fits 32 bits; false otherwise. Ints of one digit, all
// indices below 2**30, are read in place.
inline bool small_int_value(PyObject* item, int32_t& value) {
    if (!PyLong_CheckExact(item)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(item);
    if (PyUnstable_Long_IsCompact(number)) {
        Py_ssize_t v = PyUnstable_Long_CompactValue(number);
        if (v < INT32_MIN || v > INT32_MAX) return false;
        value = static_cast<int32_t>(v);
        return true;
    }
#else
    Py_ssize_t digits = Py_SIZE(item);
    if (digits == 0 || digits == 1) {
        value = digits == 0 ? 0 : static_cast<int32_t>(reinterpret_cast<PyLongObject*>(item)->ob_digit[0]);
        return true;
    }
#endif
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(item, &overflow);
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<int32_t>(v);
    return true;
}

// The whole table: a list with one entry per point.
//
// When every entry is a list of ints that fit 32 bits (what the k-d tree returns), the
// table is copied once, in row order, into compact arrays. Growing clusters visits
// entries in breadth-first order, which in the list-of-ints form misses the cache on
// every list and every int; the row-order copy reads them in the order they were
// allocated. Reading such entries has no side effects, so the copy yields exactly what
// reading them later would. Any other table is read entry by entry when needed.
class Neighbourhoods {
public:
    explicit Neighbourhoods(frame::Ref table) : table_(std::move(table)) { compact_ = copy_compact(); }

    Py_ssize_t size() const { return PyList_GET_SIZE(table_.get()); }

    // table[i] with list indexing: negative positions count from the end.
    NeighbourList entry(Py_ssize_t i) const {
        i = position(i);
        if (compact_) return NeighbourList(indices_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]);
        return NeighbourList(frame::Ref::borrow(PyList_GET_ITEM(table_.get(), i)));
    }

    // Asks the cache for the compact entry of point i, ahead of reading it.
    void prefetch(Py_ssize_t i) const {
        if (compact_ && i >= 0 && i < size()) __builtin_prefetch(indices_.data() + offsets_[i]);
    }

    // Asks the cache for where the compact entry of point i starts.
    void prefetch_start(Py_ssize_t i) const {
        if (compact_ && i >= 0 && i < size()) __builtin_prefetch(offsets_.data() + i);
    }

    // len(table[i]) for 0 <= i < size().
    Py_ssize_t entry_size(Py_ssize_t i) const {
        i = position(i);
        if (compact_) return offsets_[i + 1] - offsets_[i];
        PyObject* e = PyList_GET_ITEM(table_.get(), i);
        if (PyList_CheckExact(e)) return PyList_GET_SIZE(e);
        frame::Ref held = frame::Ref::borrow(e);
        return frame::check_value(PyObject_Size(held.get()), Py_ssize_t{-1});
    }

private:
    // A list position: negative ones count from the end; IndexError outside the list.
    Py_ssize_t position(Py_ssize_t i) const {
        Py_ssize_t n = size();
        if (i < 0) i += n;
        if (i < 0 || i >= n) frame::raise(PyExc_IndexError, "list index out of range");
        return i;
    }

    bool copy_compact() {
        PyObject* table = table_.get();
        Py_ssize_t n = PyList_GET_SIZE(table);
        Py_ssize_t total = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* e = PyList_GET_ITEM(table, i);
            if (!PyList_CheckExact(e)) return false;
            total += PyList_GET_SIZE(e);
        }
        offsets_.resize(static_cast<size_t>(n) + 1);
        indices_.resize(static_cast<size_t>(total));
        int32_t* out = indices_.data();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* e = PyList_GET_ITEM(table, i);
            offsets_[i] = out - indices_.data();
            for (Py_ssize_t j = 0, m = PyList_GET_SIZE(e); j < m; ++j) {
                if (!small_int_value(PyList_GET_ITEM(e, j), *out++)) {
                    offsets_.clear();
                    indices_.clear();
                    indices_.shrink_to_fit();
                    return false;
                }
            }
        }
        offsets_[n] = total;
        return true;
    }

    frame::Ref table_;
    bool compact_ = false;
    std::vector<Py_ssize_t> offsets_;
    std::vector<int32_t> indices_;
};

}  // namespace densa

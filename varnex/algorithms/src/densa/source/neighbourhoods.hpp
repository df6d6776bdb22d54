// Reading the neighbour table of a radius query: one entry per point, each a sequence
// of point indices. The k-d tree gives lists of ints, the ball tree int64 arrays; both
// are read without creating Python objects per index. Any other sequence is read
// through the Python protocols, item by item.
#pragma once

#include "frame.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

namespace densa {

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

// One entry: the indices of the points within reach of one point.
class NeighbourList {
public:
    // Raw signed indices of `width` bytes (4 or 8), `stride` bytes apart.
    NeighbourList(const char* data, Py_ssize_t size, Py_ssize_t stride, int width)
        : kind_(width == 8 ? Kind::Wide : Kind::Narrow), size_(size), data_(data), stride_(stride) {}

    // An entry read through its Python object.
    explicit NeighbourList(frame::Ref entry) : entry_(std::move(entry)) {
        PyObject* e = entry_.get();
        if (PyList_CheckExact(e)) {
            kind_ = Kind::List;
            size_ = PyList_GET_SIZE(e);
        } else if (int width = integer_vector_width(e)) {
            auto* array = reinterpret_cast<PyArrayObject*>(e);
            kind_ = width == 8 ? Kind::Wide : Kind::Narrow;
            size_ = PyArray_DIM(array, 0);
            data_ = PyArray_BYTES(array);
            stride_ = PyArray_STRIDE(array, 0);
        } else {
            kind_ = Kind::Sequence;
            size_ = frame::check_value(PyObject_Size(e), Py_ssize_t{-1});
        }
    }

    Py_ssize_t size() const { return size_; }

    // Calls visit(entry[i]) for i = 0 ... size() - 1, each as a 32-bit index with the
    // conversion errors of an `int` argument; the kind of entry is decided once.
    template <class Visit>
    void for_each(Visit&& visit) const {
        switch (kind_) {
            case Kind::Wide:
                for (Py_ssize_t i = 0; i < size_; ++i) visit(narrow(raw<int64_t>(i)));
                return;
            case Kind::Narrow:
                for (Py_ssize_t i = 0; i < size_; ++i) visit(raw<int32_t>(i));
                return;
            case Kind::List:
                for (Py_ssize_t i = 0; i < size_; ++i) visit(list_item(i));
                return;
            case Kind::Sequence:
                for (Py_ssize_t i = 0; i < size_; ++i) visit(sequence_item(i));
                return;
        }
    }

    // 8 or 4 for a plain one-dimensional ndarray of native signed 64- or 32-bit ints
    // (read in place); 0 for anything else.
    static int integer_vector_width(PyObject* e) {
        if (!PyArray_CheckExact(e)) return 0;
        auto* array = reinterpret_cast<PyArrayObject*>(e);
        auto itemsize = static_cast<int>(PyArray_ITEMSIZE(array));
        bool plain = PyArray_NDIM(array) == 1 && PyArray_DESCR(array)->kind == 'i' && PyArray_ISNOTSWAPPED(array);
        return plain && (itemsize == 8 || itemsize == 4) ? itemsize : 0;
    }

    static int32_t narrow(int64_t value) {
        if (value < INT32_MIN || value > INT32_MAX) frame::raise(PyExc_OverflowError, "value too large to convert to int");
        return static_cast<int32_t>(value);
    }

private:
    enum class Kind { Wide, Narrow, List, Sequence };

    // Through memcpy: an array may be misaligned (a view at an odd byte offset), and
    // on x86-64 this compiles to the same single load.
    template <class T>
    T raw(Py_ssize_t i) const {
        T value;
        std::memcpy(&value, data_ + i * stride_, sizeof value);
        return value;
    }

    int32_t list_item(Py_ssize_t i) const {
        // The list is re-measured: converting a non-int item runs Python code.
        if (i >= PyList_GET_SIZE(entry_.get())) frame::raise(PyExc_IndexError, "list index out of range");
        PyObject* item = PyList_GET_ITEM(entry_.get(), i);
        int32_t value;
        if (small_int_value(item, value)) return value;
        frame::Ref held = frame::Ref::borrow(item);
        return frame::to_int(held.get());
    }

    int32_t sequence_item(Py_ssize_t i) const {
        frame::Ref position = frame::new_int(i);
        frame::Ref item = frame::check(PyObject_GetItem(entry_.get(), position.get()));
        return frame::to_int(item.get());
    }

    frame::Ref entry_;
    Kind kind_ = Kind::Sequence;
    Py_ssize_t size_ = 0;
    const char* data_ = nullptr;
    Py_ssize_t stride_ = 0;
};

// The whole table: a list with one entry per point.
//
// Growing clusters reads entries in breadth-first order, scattered in memory. So the
// table is indexed once, in row order, into a flat array of row descriptors: a list
// of ints that all fit 32 bits is copied into compact storage, a plain int array is
// described in place (the table, private to the call, keeps it alive). Such entries
// hold no Python code to run, so reading them ahead yields exactly what reading them
// later would. Every other entry is read through its object when it is needed.
class Neighbourhoods {
public:
    // `is_private`: no one else holds `table`; otherwise array rows are pinned by a copy.
    Neighbourhoods(frame::Ref table, bool is_private) : table_(std::move(table)) { index_rows(is_private); }

    // The number of entries when the table was indexed; Python code run meanwhile (a
    // rebound name, an item's __int__) may resize the list itself.
    Py_ssize_t size() const { return static_cast<Py_ssize_t>(rows_.size()); }

    // table[i] with list indexing: negative positions count from the end.
    NeighbourList entry(Py_ssize_t i) const {
        i = position(i);
        const Row& row = rows_[i];
        if (row.width != 0) return NeighbourList(row.data, row.size, row.stride, row.width);
        return NeighbourList(table_item(i));
    }

    // len(table[i]) for 0 <= i < size().
    Py_ssize_t entry_size(Py_ssize_t i) const {
        i = position(i);
        if (rows_[i].width != 0) return rows_[i].size;
        frame::Ref held = table_item(i);
        return frame::check_value(PyObject_Size(held.get()), Py_ssize_t{-1});
    }

    // Cache hints for a breadth-first walk, to be given a few points ahead: first the
    // descriptor of a point, then (once that has arrived) the indices it points to.
    // Always inlined: as separate functions GCC deems them free of effects and drops them.
    [[gnu::always_inline]] void prefetch_row(Py_ssize_t i) const {
        if (i >= 0 && i < size()) __builtin_prefetch(&rows_[i]);
    }
    [[gnu::always_inline]] void prefetch_entry(Py_ssize_t i) const {
        if (i < 0 || i >= size() || rows_[i].width == 0) return;
        const Row& row = rows_[i];
        const char* end = row.data + std::min<Py_ssize_t>(row.size * row.stride, kPrefetchBytes);
        for (const char* line = row.data; line < end; line += 64) __builtin_prefetch(line);
    }

private:
    static constexpr Py_ssize_t kPrefetchBytes = 512;

    struct Row {
        const char* data = nullptr;
        int32_t size = 0;
        int16_t stride = 0;
        int16_t width = 0;  // bytes per index; 0: read through the entry object
    };

    // A list position: negative ones count from the end; IndexError outside the list.
    Py_ssize_t position(Py_ssize_t i) const {
        Py_ssize_t n = size();
        if (i < 0) i += n;
        if (i < 0 || i >= n) frame::raise(PyExc_IndexError, "list index out of range");
        return i;
    }

    // The entry object itself, for rows read through it.
    frame::Ref table_item(Py_ssize_t i) const {
        if (i >= PyList_GET_SIZE(table_.get())) frame::raise(PyExc_IndexError, "list index out of range");
        return frame::Ref::borrow(PyList_GET_ITEM(table_.get(), i));
    }

    void index_rows(bool is_private) {
        PyObject* table = table_.get();
        const Py_ssize_t n = PyList_GET_SIZE(table);
        rows_.resize(static_cast<size_t>(n));
        bool described_arrays = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i + kLookahead < n) __builtin_prefetch(PyList_GET_ITEM(table, i + kLookahead));
            PyObject* e = PyList_GET_ITEM(table, i);
            if (PyList_CheckExact(e)) {
                rows_[i] = copy_ints(e);
            } else if (int width = NeighbourList::integer_vector_width(e)) {
                rows_[i] = describe_array(reinterpret_cast<PyArrayObject*>(e), width);
                described_arrays |= rows_[i].width != 0;
            }
        }
        if (described_arrays && !is_private) table_ = frame::check(PyList_GetSlice(table, 0, n));
    }

    // Copies a list of small ints into the store; a lazy row otherwise.
    Row copy_ints(PyObject* list) {
        const Py_ssize_t count = PyList_GET_SIZE(list);
        if (count > INT32_MAX) return Row{};
        int32_t* start = store_.room_for(count);
        for (Py_ssize_t j = 0; j < count; ++j) {
            if (!small_int_value(PyList_GET_ITEM(list, j), start[j])) return Row{};
        }
        store_.take(count);
        return Row{reinterpret_cast<const char*>(start), static_cast<int32_t>(count), sizeof(int32_t),
                   sizeof(int32_t)};
    }

    static Row describe_array(PyArrayObject* array, int width) {
        Py_ssize_t count = PyArray_DIM(array, 0);
        Py_ssize_t stride = PyArray_STRIDE(array, 0);
        if (count > INT32_MAX || stride < INT16_MIN || stride > INT16_MAX) return Row{};
        return Row{PyArray_BYTES(array), static_cast<int32_t>(count), static_cast<int16_t>(stride),
                   static_cast<int16_t>(width)};
    }

    // Copied rows, in blocks that never move once allocated, so rows can point into them.
    class RowStore {
    public:
        // Space for `count` indices, valid until take() or the next room_for().
        int32_t* room_for(Py_ssize_t count) {
            if (count > room_) {
                room_ = std::max(count, kBlockSize);
                blocks_.emplace_back(new int32_t[static_cast<size_t>(room_)]);
                next_ = blocks_.back().get();
            }
            return next_;
        }
        void take(Py_ssize_t count) {
            next_ += count;
            room_ -= count;
        }

    private:
        static constexpr Py_ssize_t kBlockSize = Py_ssize_t{1} << 18;
        std::vector<std::unique_ptr<int32_t[]>> blocks_;
        int32_t* next_ = nullptr;
        Py_ssize_t room_ = 0;
    };

    static constexpr Py_ssize_t kLookahead = 4;

    frame::Ref table_;
    std::vector<Row> rows_;
    RowStore store_;
};

}  // namespace densa

// Views of array buffers. A view holds the exporter's buffer, and so the exporter, for
// as long as it lives, and releases it on every way out.
#pragma once

#include "object.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <span>
#include <type_traits>
#include <utility>

namespace frame {

// An element type as the checks see it: the name used in messages, its kind
// ('I' signed, 'U' unsigned, 'R' real, 'H' char of either sign) and its size.
struct ElementType {
    const char* name;
    char kind;
    Py_ssize_t size;
    int numpy_type;
};

extern const ElementType kDouble;    // float64, "double"
extern const ElementType kInt;       // int32, "int"
extern const ElementType kChar;      // int8 or uint8, "char"
extern const ElementType kInt64;     // int64, "int64_t"
extern const ElementType kFloat32;   // float32, "float32_t"
extern const ElementType kUInt8;     // uint8, "uint8_t"
extern const ElementType kIType;    // int64, "ITYPE_t" (neighbour index rows)

// Owns one acquired Py_buffer. An empty holder stands for None.
class Buffer {
public:
    Buffer() = default;
    Buffer(Buffer&& other) noexcept
        : view_(other.view_),
          held_(std::exchange(other.held_, false)),
          described_(other.described_),
          strides_computed_(other.strides_computed_) {
        std::copy(std::begin(other.shape_), std::end(other.shape_), shape_);
        std::copy(std::begin(other.strides_), std::end(other.strides_), strides_);
        // Layout pointers into the moved holder follow it: to the shape and strides kept
        // here, or into the Py_buffer itself (array.array points strides at its itemsize).
        view_.shape = follow_move(view_.shape, other);
        view_.strides = follow_move(view_.strides, other);
        view_.suboffsets = follow_move(view_.suboffsets, other);
    }
    Buffer& operator=(Buffer&&) = delete;
    Buffer(const Buffer&) = delete;
    ~Buffer() { release(); }

    // Typed arrays: a C-contiguous buffer of `ndim` dimensions of `type`, writable
    // unless the caller only reads it.
    static Buffer typed(PyObject* object, const ElementType& type, int ndim, Where where, bool writable = true);
    // Buffer-typed arrays: a numpy.ndarray with any strides, read-only allowed unless
    // `writable` is asked for (then the exporter's own error rejects a read-only one).
    static Buffer strided(PyObject* object, const ElementType& type, int ndim, Where where, bool writable = false);

    bool held() const { return held_; }
    const Py_buffer& view() const { return view_; }

private:
    static constexpr int kMaxOwnDims = 2;

    template <class P>
    P follow_move(P pointer, const Buffer& from) {
        const auto start = reinterpret_cast<uintptr_t>(&from);
        const auto at = reinterpret_cast<uintptr_t>(pointer);
        if (at < start || at >= start + sizeof(Buffer)) return pointer;
        return reinterpret_cast<P>(reinterpret_cast<uintptr_t>(this) + (at - start));
    }

    void release() noexcept {
        if (!std::exchange(held_, false)) return;
        if (described_) {
            Py_DECREF(view_.obj);
        } else {
            if (strides_computed_) view_.strides = nullptr;  // hand the view back as the exporter filled it
            PyBuffer_Release(&view_);
        }
    }

    // Takes a buffer export of `object`.
    void acquire(PyObject* object, int flags, Where where);

    // An ndarray whose element type, dimensions and writability already match is
    // described from its own fields instead of exporting a buffer: what the export
    // would give, without its per-array bookkeeping. Shape and strides are copied, so
    // the view stays valid whatever Python code does to the array's attributes.
    bool describe_matching_array(PyObject* object, const ElementType& type, int ndim, bool writable);

    Py_buffer view_{};
    bool held_ = false;
    bool described_ = false;  // filled by describe_matching_array, owns a reference to view_.obj
    // Exporters may leave `strides` null for a C-contiguous buffer (ctypes arrays always
    // do); the view then points at strides computed into strides_, so every reader
    // finds some.
    bool strides_computed_ = false;
    Py_ssize_t shape_[kMaxOwnDims]{};
    Py_ssize_t strides_[kMaxOwnDims]{};
};

// Whether `object` is an ndarray that a view of `ndim` dimensions of `type` takes as it
// is, with no check left to fail; decided from the array object and its dtype alone,
// without reading its shape or data.
bool is_matching_ndarray(PyObject* object, const ElementType& type, int ndim, bool writable = false);

[[noreturn]] void raise_out_of_bounds(int axis);

// Index i of an axis of n elements, negative ones counting from the end; IndexError
// naming `axis` outside it.
inline Py_ssize_t wrap_index(Py_ssize_t i, Py_ssize_t n, int axis = 0) {
    if (i < 0) i += n;
    if (i < 0 || i >= n) raise_out_of_bounds(axis);
    return i;
}
Ref ndarray_over(const Py_buffer& view, PyObject* owner, const ElementType& type);

// How a view's elements are laid out: contiguous views (typed arrays) index their last
// axis without reading a stride; strided views (buffer-typed arrays) read every stride.
enum class Layout { Contiguous, Strided };

// Element i of `elements` with a typed array's bounds check: negative indices count
// from the end, and IndexError outside the array.
template <class T>
T& checked(std::span<T> elements, Py_ssize_t i) {
    return elements[static_cast<std::size_t>(wrap_index(i, static_cast<Py_ssize_t>(elements.size())))];
}

// An NDim-dimensional view of elements T. `checked` accessors wrap negative indices
// and raise IndexError outside the array; `unchecked` ones trust their caller.
template <class T, int NDim, Layout L>
class ArrayView {
public:
    // A typed array: writable and C-contiguous.
    static ArrayView typed(PyObject* object, const ElementType& type, Where where = Where::current())
        requires(L == Layout::Contiguous)
    {
        return ArrayView(Buffer::typed(object, type, NDim, where));
    }
    // As typed(), read-only buffers accepted: for arrays the callee only reads.
    static ArrayView readable(PyObject* object, const ElementType& type, Where where = Where::current())
        requires(L == Layout::Contiguous && std::is_const_v<T>)
    {
        return ArrayView(Buffer::typed(object, type, NDim, where, false));
    }
    // A buffer-typed array: a numpy.ndarray with any strides, read-only allowed.
    static ArrayView strided(PyObject* object, const ElementType& type, Where where = Where::current())
        requires(L == Layout::Strided)
    {
        return ArrayView(Buffer::strided(object, type, NDim, where));
    }
    // As strided(), for arrays the caller writes into.
    static ArrayView writable_strided(PyObject* object, const ElementType& type, Where where = Where::current())
        requires(L == Layout::Strided)
    {
        return ArrayView(Buffer::strided(object, type, NDim, where, true));
    }

    bool is_none() const { return !buffer_.held(); }
    Py_ssize_t shape(int axis) const { return is_none() ? 0 : buffer_.view().shape[axis]; }
    Py_ssize_t size() const { return shape(0); }

    T& unchecked(Py_ssize_t i) const requires(NDim == 1) { return *element(base(), i, 0); }
    T& unchecked(Py_ssize_t i, Py_ssize_t j) const requires(NDim == 2) { return *element(element(base(), i, 0), j, 1); }

    T& checked(Py_ssize_t i) const requires(NDim == 1) { return unchecked(wrap_index(i, size())); }
    // As unchecked(i): a 1-D view reads like a std::span in the kernels.
    T& operator[](Py_ssize_t i) const requires(NDim == 1) { return unchecked(i); }

    // The elements as a span, for kernels that know nothing of Python. Being a plain
    // value it stays in registers, where a write through the view itself (of char
    // elements, which may alias anything) would make the compiler reload the view.
    std::span<T> span() const requires(NDim == 1 && L == Layout::Contiguous) {
        return {base(), static_cast<std::size_t>(size())};
    }

    // A numpy.ndarray over the same memory, keeping `owner` alive as its base.
    Ref to_ndarray(PyObject* owner, const ElementType& type) const { return ndarray_over(buffer_.view(), owner, type); }

private:
    explicit ArrayView(Buffer buffer) : buffer_(std::move(buffer)) {}

    T* base() const { return static_cast<T*>(buffer_.view().buf); }
    T* element(T* from, Py_ssize_t i, int axis) const {
        if constexpr (L == Layout::Contiguous) {
            if (axis == NDim - 1) return from + i;
        }
        return reinterpret_cast<T*>(reinterpret_cast<char*>(from) + i * buffer_.view().strides[axis]);
    }

    Buffer buffer_;
};

template <class T>
using Vector = ArrayView<T, 1, Layout::Contiguous>;
template <class T>
using Matrix = ArrayView<T, 2, Layout::Contiguous>;
template <class T>
using StridedVector = ArrayView<T, 1, Layout::Strided>;
template <class T>
using StridedMatrix = ArrayView<T, 2, Layout::Strided>;

}  // namespace frame

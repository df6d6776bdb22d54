#include "array.hpp"

#include "numpy.hpp"

#include <cctype>
#include <cstring>

namespace frame {

const ElementType kDouble{"double", 'R', 8, NPY_FLOAT64};
const ElementType kInt{"int", 'I', 4, NPY_INT32};
const ElementType kChar{"char", 'H', 1, NPY_INT8};
const ElementType kInt64{"int64_t", 'I', 8, NPY_INT64};
const ElementType kFloat32{"float32_t", 'R', 4, NPY_FLOAT32};
const ElementType kUInt8{"uint8_t", 'U', 1, NPY_UINT8};
const ElementType kIType{"ITYPE_t", 'I', 8, NPY_INT64};

namespace {

// One element of a buffer format string, as far as matching needs it.
struct FormatElement {
    char code = 0;         // struct-module type code; 0 when the format is not a single scalar
    bool complex = false;  // 'Z' prefix
    bool swapped = false;  // byte order other than the machine's
    bool standard = false; // standard sizes ('=', '<', '>', '!') rather than native ones
};

FormatElement parse_format(const char* format) {
    FormatElement element;
    if (format == nullptr) format = "B";
    const char* s = format;
    switch (*s) {
        case '@': case '^': ++s; break;
        case '=': case '<': element.standard = true; ++s; break;
        case '>': case '!': element.standard = true; element.swapped = true; ++s; break;
        default: break;
    }
    if (*s == '1' && !std::isdigit(static_cast<unsigned char>(s[1]))) ++s;
    if (*s == 'Z') { element.complex = true; ++s; }
    if (*s == '\0' || s[1] != '\0') return FormatElement{};  // structs, repeats, several fields
    element.code = *s;
    return element;
}

char kind_of(const FormatElement& e) {
    switch (e.code) {
        case 'c': return 'H';
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return 'I';
        case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': return 'U';
        case 'e': case 'f': case 'd': case 'g': return e.complex ? 'C' : 'R';
        default: return 0;
    }
}

Py_ssize_t size_of(const FormatElement& e) {
    Py_ssize_t base = 0;
    switch (e.code) {
        case 'c': case 'b': case 'B': case '?': base = 1; break;
        case 'h': case 'H': case 'e': base = 2; break;
        case 'i': case 'I': case 'f': base = 4; break;
        case 'l': case 'L': base = e.standard ? 4 : static_cast<Py_ssize_t>(sizeof(long)); break;
        case 'q': case 'Q': case 'd': case 'n': case 'N': base = 8; break;
        case 'g': base = static_cast<Py_ssize_t>(sizeof(long double)); break;
        default: return 0;
    }
    return e.complex ? 2 * base : base;
}

const char* describe(const FormatElement& e) {
    if (e.code == 0) return "a struct";
    switch (e.code) {
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case '?': return "'bool'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'n': return "'ssize_t'";
        case 'N': return "'size_t'";
        case 'e': return e.complex ? "'complex half'" : "'half'";
        case 'f': return e.complex ? "'complex float'" : "'float'";
        case 'd': return e.complex ? "'complex double'" : "'double'";
        case 'g': return e.complex ? "'complex long double'" : "'long double'";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        default: return "unparseable format string";
    }
}

// Same kind and size match, whatever the letter: int32 is 'int', float64 'double'.
// Chars match 8-bit integers of either sign.
bool matches(const FormatElement& e, const ElementType& type) {
    if (e.swapped) return false;
    char kind = kind_of(e);
    if (kind == 0 || size_of(e) != type.size) return false;
    return kind == type.kind || ((kind == 'H' || type.kind == 'H') && type.size == 1 && kind != 'R');
}

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

// Whether every element starts at a multiple of the element size. Elements are read and
// written in place as C++ values, and a misaligned one (a view at an odd byte offset)
// makes that undefined: vectorised loops may even fault on it.
bool aligned(const Py_buffer& view) {
    for (int axis = 0; axis < view.ndim; ++axis) {
        if (view.shape[axis] == 0) return true;  // no element is ever touched
    }
    const auto size = static_cast<uintptr_t>(view.itemsize);
    if (size <= 1) return true;
    if (reinterpret_cast<uintptr_t>(view.buf) % size != 0) return false;
    for (int axis = 0; axis < view.ndim; ++axis) {
        if (view.shape[axis] > 1 && static_cast<uintptr_t>(view.strides[axis]) % size != 0) return false;
    }
    return true;
}

void validate(const Py_buffer& view, const ElementType& type, int ndim, bool c_contiguous, Where where) {
    if (view.ndim != ndim) {
        raise(PyExc_ValueError, {"Buffer has wrong number of dimensions (expected %d, got %d)", where}, ndim,
              view.ndim);
    }
    FormatElement element = parse_format(view.format);
    if (!matches(element, type)) {
        raise(PyExc_ValueError, {"Buffer dtype mismatch, expected '%s' but got %s", where}, type.name,
              element.swapped ? "a byte-swapped element" : describe(element));
    }
    if (view.itemsize != type.size) {
        raise(PyExc_ValueError, {"Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)", where},
              view.itemsize, plural(view.itemsize), type.name, type.size, plural(type.size));
    }
    if (!aligned(view)) {
        raise(PyExc_ValueError, {"Buffer not aligned to its %zd-byte elements.", where}, view.itemsize);
    }
    if (!c_contiguous) return;
    Py_ssize_t stride = view.itemsize;
    for (int axis = ndim - 1; axis >= 0; --axis) {
        if (view.shape[axis] > 1 && view.strides[axis] != stride) raise(PyExc_ValueError, {"Buffer not C contiguous.", where});
        stride *= view.shape[axis];
    }
}

}  // namespace

void Buffer::acquire(PyObject* object, int flags, Where where) {
    check_status(PyObject_GetBuffer(object, &view_, flags), where);
    held_ = true;
    // More dimensions than kept here fail every view's dimension check, which comes
    // before any stride is read.
    if (view_.strides != nullptr || view_.ndim <= 0 || view_.ndim > kMaxOwnDims || view_.shape == nullptr) return;
    Py_ssize_t stride = view_.itemsize;
    for (int axis = view_.ndim - 1; axis >= 0; --axis) {
        strides_[axis] = stride;
        stride *= view_.shape[axis];
    }
    view_.strides = strides_;
    strides_computed_ = true;
}

Buffer Buffer::typed(PyObject* object, const ElementType& type, int ndim, Where where, bool writable) {
    Buffer buffer;
    if (object == Py_None) return buffer;
    buffer.acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0), where);
    validate(buffer.view_, type, ndim, true, where);
    return buffer;
}

Buffer Buffer::strided(PyObject* object, const ElementType& type, int ndim, Where where, bool writable) {
    Buffer buffer;
    if (object == Py_None) return buffer;
    if (!PyArray_Check(object)) {
        raise(PyExc_TypeError, {"Cannot convert %.200s to %.200s", where}, Py_TYPE(object)->tp_name,
              PyArray_Type.tp_name);
    }
    if (buffer.describe_matching_array(object, type, ndim, writable)) return buffer;
    buffer.acquire(object, PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0), where);
    validate(buffer.view_, type, ndim, false, where);
    return buffer;
}

bool is_matching_ndarray(PyObject* object, const ElementType& type, int ndim, bool writable) {
    if (!PyArray_Check(object)) return false;
    // Only NumPy's own export qualifies (not a subclass that overrides it), and only
    // while the type has nothing to do on release, so that dropping the reference is
    // all a release must do.
    const PyBufferProcs* procs = Py_TYPE(object)->tp_as_buffer;
    if (procs == nullptr || procs->bf_getbuffer != PyArray_Type.tp_as_buffer->bf_getbuffer ||
        procs->bf_releasebuffer != nullptr) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim || !PyArray_ISALIGNED(array)) return false;
    const PyArray_Descr* descr = PyArray_DESCR(array);
    if (descr->type_num >= NPY_OBJECT || !PyArray_ISNBO(descr->byteorder)) return false;
    if (descr->type_num != type.numpy_type) {
        // The type character of a scalar dtype is the struct-module code its export
        // would carry, so the buffer path's matching rule applies unchanged.
        const char format[2] = {descr->type, '\0'};
        const FormatElement element = parse_format(format);
        if (!matches(element, type) || size_of(element) != PyArray_ITEMSIZE(array)) return false;
    }
    return !writable || PyArray_ISWRITEABLE(array);
}

bool Buffer::describe_matching_array(PyObject* object, const ElementType& type, int ndim, bool writable) {
    if (ndim > kMaxOwnDims || !is_matching_ndarray(object, type, ndim, writable)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    view_.obj = Ref::borrow(object).release();
    view_.buf = PyArray_DATA(array);
    view_.itemsize = type.size;
    view_.len = type.size;
    view_.readonly = PyArray_ISWRITEABLE(array) ? 0 : 1;
    view_.ndim = ndim;
    for (int axis = 0; axis < ndim; ++axis) {
        shape_[axis] = PyArray_DIM(array, axis);
        strides_[axis] = PyArray_STRIDE(array, axis);
        view_.len *= shape_[axis];
    }
    view_.shape = shape_;
    view_.strides = strides_;
    held_ = true;
    described_ = true;
    return true;
}

void raise_out_of_bounds(int axis) { raise(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis); }

Ref ndarray_over(const Py_buffer& view, PyObject* owner, const ElementType& type) {
    int flags = view.readonly ? 0 : NPY_ARRAY_WRITEABLE;
    Ref array = check(PyArray_New(&PyArray_Type, view.ndim, view.shape, type.numpy_type, view.strides, view.buf,
                                  static_cast<int>(type.size), flags, nullptr));
    check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), Ref::borrow(owner).release()));
    return array;
}

}  // namespace frame

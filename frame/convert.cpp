#include "convert.hpp"

#include "numpy.hpp"

#include <climits>

namespace frame {

Py_ssize_t to_offset(PyObject* object, Where where) {
    const long long value = check_value(PyLong_AsLongLong(object), -1LL, where);
    if (value < 0) raise(PyExc_ValueError, {"an offset must be at least 0, got %lld", where}, value);
    return static_cast<Py_ssize_t>(value);
}

namespace {

// Calls the type's __int__ for a non-int object and checks what it returned.
Ref integer_conversion(PyObject* object, Where where) {
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) raise(PyExc_TypeError, {"an integer is required", where});
    Ref result = check(number->nb_int(object), where);
    if (PyLong_CheckExact(result.get())) return result;
    const char* type_name = Py_TYPE(result.get())->tp_name;
    if (!PyLong_Check(result.get())) {
        raise(PyExc_TypeError, {"__%.4s__ returned non-%.4s (type %.200s)", where}, "int", "int", type_name);
    }
    check_status(PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                  "__int__ returned non-int (type %.200s).  The ability to return an instance of "
                                  "a strict subclass of int is deprecated, and may be removed in a future version "
                                  "of Python.",
                                  type_name),
                 where);
    return result;
}

// The object itself when it is an int; otherwise what its __int__ returned, kept in `holder`.
PyObject* as_int(PyObject* object, Ref& holder, Where where) {
    if (PyLong_Check(object)) return object;
    holder = integer_conversion(object, where);
    return holder.get();
}

}  // namespace

double to_double(PyObject* object, Where where) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    return check_value(PyFloat_AsDouble(object), -1.0, where);
}

int32_t to_int(PyObject* object, Where where) {
    Ref holder;
    object = as_int(object, holder, where);
    int overflow = 0;
    long value = check_value(PyLong_AsLongAndOverflow(object, &overflow), -1L, where);
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        raise(PyExc_OverflowError, {"value too large to convert to int", where});
    }
    return static_cast<int32_t>(value);
}

uint64_t to_size_t(PyObject* object, Where where) {
    Ref holder;
    object = as_int(object, holder, where);
    int overflow = 0;
    long long value = check_value(PyLong_AsLongLongAndOverflow(object, &overflow), -1LL, where);
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        raise(PyExc_OverflowError, {"can't convert negative value to size_t", where});
    }
    if (overflow == 0) return static_cast<uint64_t>(value);
    return check_value(PyLong_AsUnsignedLongLong(object), static_cast<unsigned long long>(-1), where);
}

uint64_t to_thread_count(PyObject* object, Where where) {
    const uint64_t n_threads = to_size_t(object, where);
    if (n_threads < 1 || n_threads > kMaxThreads) {
        raise(PyExc_ValueError, {"n_threads must be 1 .. %zu, not %zu", where}, static_cast<size_t>(kMaxThreads),
              static_cast<size_t>(n_threads));
    }
    return n_threads;
}

namespace {

PyObject* require_type(PyObject* object, PyTypeObject* type, bool exact, const char* parameter, Where where) {
    if (object == Py_None || Py_IS_TYPE(object, type) || (!exact && PyObject_TypeCheck(object, type))) return object;
    raise(PyExc_TypeError, {"Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", where}, parameter,
          type->tp_name, Py_TYPE(object)->tp_name);
}

}  // namespace

PyObject* require_str(PyObject* object, const char* parameter, Where where) {
    return require_type(object, &PyUnicode_Type, true, parameter, where);
}

PyObject* require_list(PyObject* object, const char* parameter, Where where) {
    return require_type(object, &PyList_Type, true, parameter, where);
}

PyObject* require_ndarray(PyObject* object, const char* parameter, Where where) {
    return require_type(object, &PyArray_Type, false, parameter, where);
}

void require_not_none(PyObject* object, const char* parameter, Where where) {
    if (object == Py_None) raise(PyExc_TypeError, {"Argument '%.200s' must not be None", where}, parameter);
}

}  // namespace frame

// The NumPy C API, built for the NumPy 1.20 feature level so that one build loads on
// every NumPy from 1.20 on. Every translation unit of a module shares one API table,
// defined in module.cpp.
#pragma once

#include "object.hpp"

#include <cstdint>

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL varnex_frame_numpy_api
#ifndef FRAME_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace frame {

// A new one-dimensional ndarray of `size` elements of `numpy_type`, uninitialised.
inline Ref new_vector(std::int64_t size, int numpy_type) {
    npy_intp shape[1] = {static_cast<npy_intp>(size)};
    return check(PyArray_SimpleNew(1, shape, numpy_type));
}

// The elements of an ndarray this call made (new_vector), so that it knows their type.
template <class T>
T* data_of(const Ref& array) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// The one choice of index width: body.template operator()<std::int32_t>() for an int32
// ndarray of indices, <std::int64_t>() for anything else (whose view then says what is
// wrong with it).
template <class Body>
decltype(auto) with_index_type(PyObject* indices, Body&& body) {
    if (PyArray_Check(indices) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(indices)) == NPY_INT32) {
        return body.template operator()<std::int32_t>();
    }
    return body.template operator()<std::int64_t>();
}


}  // namespace frame

// The NumPy C API, built for the NumPy 1.20 feature level so that one build loads on
// every NumPy from 1.20 on. Every translation unit of a module shares one API table,
// defined in module.cpp.
#pragma once

#include "object.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL varnex_frame_numpy_api
#ifndef FRAME_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

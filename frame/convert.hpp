// Conversions of argument objects to C++ scalars, and the exact-type tests.
#pragma once

#include "object.hpp"

#include <cstdint>

namespace frame {

double to_double(PyObject* object, Where where = Where::current());

// Python int (or anything whose type has __int__, which is called) to a 32-bit int.
int32_t to_int(PyObject* object, Where where = Where::current());

uint64_t to_size_t(PyObject* object, Where where = Where::current());

// The size of a native thread pool asked for by a caller: ValueError outside 1 ..
// kMaxThreads (more threads than any machine has cores would only cost their stacks).
inline constexpr uint64_t kMaxThreads = 1024;
uint64_t to_thread_count(PyObject* object, Where where = Where::current());

// A Python int at least 0, as an offset into an array: ValueError below 0.
Py_ssize_t to_offset(PyObject* object, Where where = Where::current());

// Type tests of the `str`, `list` and `ndarray` kinds: the object, or None, or TypeError
// naming the parameter.
PyObject* require_str(PyObject* object, const char* parameter, Where where = Where::current());
PyObject* require_list(PyObject* object, const char* parameter, Where where = Where::current());
PyObject* require_ndarray(PyObject* object, const char* parameter, Where where = Where::current());

// For parameters whose kind lets None through but whose function cannot work without a value.
void require_not_none(PyObject* object, const char* parameter, Where where = Where::current());

}  // namespace frame

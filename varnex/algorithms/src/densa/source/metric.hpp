// The metric names both density modules read the same way.
#pragma once

#include "frame.hpp"

namespace densa {

// Whether `metric` (a str, or None) names the Minkowski family, whose exponent is p.
inline bool is_minkowski(PyObject* metric) {
    return metric != Py_None && PyUnicode_CompareWithASCIIString(metric, "minkowski") == 0;
}

}  // namespace densa

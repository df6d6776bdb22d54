// Routines and the traceback entries that name them.
#pragma once

#include "object.hpp"

#include <new>
#include <string>
#include <utility>

namespace frame {

// A native routine as it appears in tracebacks: its full dotted name and the path of
// the source module it lives in.
struct Routine {
    std::string name;
    const char* file;
};

// Appends a traceback entry for `routine` to the exception currently set.
void add_traceback(const Routine& routine, int line);

// Turns a C++ failure other than PythonError into a Python exception; returns its line.
int set_error_from_current_exception();

// Runs `body` as `routine`: a Python error leaving it gains the routine's traceback
// entry and continues as an error of the caller, at the caller's line.
template <class Body>
decltype(auto) traced(const Routine& routine, Body&& body, Where where = Where::current()) {
    try {
        return std::forward<Body>(body)();
    } catch (const PythonError& error) {
        add_traceback(routine, error.line);
    } catch (...) {
        add_traceback(routine, set_error_from_current_exception());
    }
    throw_error_set(where);
}

}  // namespace frame

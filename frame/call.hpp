// Interned names, call-time lookup of module-level names, and calls through vectorcall.
#pragma once

#include "object.hpp"

#include <array>
#include <initializer_list>

namespace frame {

// An identifier interned on first use and kept for the life of the process, like the
// names in a compiled module's constant table.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* get() const;
    const char* text() const { return text_; }

private:
    const char* text_;
    mutable PyObject* interned_ = nullptr;
};

// The keyword names of one call site, as the tuple vectorcall expects.
class Keywords {
public:
    constexpr Keywords(std::initializer_list<const char*> names) : count_(static_cast<Py_ssize_t>(names.size())) {
        size_t i = 0;
        for (const char* n : names) {
            if (i < names_.size()) names_[i++] = n;
        }
    }
    PyObject* tuple() const;
    Py_ssize_t size() const { return count_; }

private:
    std::array<const char*, 4> names_{};
    Py_ssize_t count_;
    mutable PyObject* tuple_ = nullptr;
};

// Looks `name` up in the calling module's namespace, then among the built-ins, at the
// moment of the call; NameError when neither has it.
Ref global(const Name& name);

Ref getattr(PyObject* object, const Name& name);

// callable(*args) with the last `keywords.size()` entries of `args` passed by keyword.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, const Keywords* keywords = nullptr);

// object.name(*args), keywords as for call().
Ref call_method(PyObject* object, const Name& name, std::initializer_list<PyObject*> args,
                const Keywords* keywords = nullptr);

// np.<maker>(size, [fill,] dtype=np.<dtype>): a work array made through the module's
// `np` as it is bound at the moment of the call.
Ref work_array(const Name& maker, long long size, const Name& dtype, PyObject* fill = nullptr);

inline Ref new_int(long long value) { return check(PyLong_FromLongLong(value)); }
inline Ref new_float(double value) { return check(PyFloat_FromDouble(value)); }

}  // namespace frame

// Owning references, the "a Python error is set" exception, and the checks that
// turn failed C API calls into that exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <source_location>
#include <utility>

namespace frame {

// Thrown after a Python exception has been set. It carries the source line of the
// statement that failed, for the traceback entry the routine boundary adds.
struct PythonError {
    int line;
};

using Where = std::source_location;

[[noreturn]] inline void throw_error_set(Where where = Where::current()) {
    throw PythonError{static_cast<int>(where.line())};
}

// A message format that remembers where it was written: passing a string literal
// to raise() records the caller's line without a macro.
struct Message {
    const char* text;
    Where where;
    Message(const char* t, Where w = Where::current()) : text(t), where(w) {}  // NOLINT: implicit on purpose
};

// Sets `type` with a printf-style message (PyErr_Format codes) and throws.
template <class... Args>
[[noreturn]] void raise(PyObject* type, Message message, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        PyErr_SetString(type, message.text);
    } else {
        PyErr_Format(type, message.text, args...);
    }
    throw_error_set(message.where);
}

// The one owning handle for PyObject*. Move-only; releases its reference on every path.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Takes ownership of a new reference returned by a C API call; NULL means an error is set.
inline Ref check(PyObject* new_reference, Where where = Where::current()) {
    if (new_reference == nullptr) throw_error_set(where);
    return Ref::steal(new_reference);
}

// For C API calls that report failure with a negative status.
inline int check_status(int status, Where where = Where::current()) {
    if (status < 0) throw_error_set(where);
    return status;
}

// For calls whose only error signal is "returned `failure_value` and an error is set".
template <class T>
T check_value(T value, T failure_value, Where where = Where::current()) {
    if (value == failure_value && PyErr_Occurred()) throw_error_set(where);
    return value;
}

// An exception caught now and raised later as if it happened then: for work done ahead
// of its turn, whose failure must not overtake the errors of the steps before it.
class DeferredError {
public:
    DeferredError() = default;
    // Takes over the exception currently set, raised at `line`.
    static DeferredError take(int line) {
        DeferredError error;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        error.type_ = Ref::steal(type);
        error.value_ = Ref::steal(value);
        error.traceback_ = Ref::steal(traceback);
        error.line_ = line;
        return error;
    }
    bool pending() const { return static_cast<bool>(type_); }
    // Sets the exception again and throws, when one is pending.
    void raise_if_pending() {
        if (!pending()) return;
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        throw PythonError{line_};
    }

private:
    Ref type_, value_, traceback_;
    int line_ = 0;
};

}  // namespace frame

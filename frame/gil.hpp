// Native work without the GIL, and Ctrl-C answered from inside it.
#pragma once

#include "object.hpp"

#include <cstdint>

namespace frame {

// Releases the GIL for its lifetime, so other Python threads run while a kernel works.
// No Python object may be touched while it is alive, except inside poll().
//
// A long kernel calls poll() once per unit of work (a node, a row). Every `period`-th
// call takes the GIL back for a moment and runs the pending signal handlers; when one
// raises (Ctrl-C gives KeyboardInterrupt), that error stays set and poll() throws
// PythonError, which unwinds the kernel and takes the GIL back on the way out, so the
// routine boundary reports it like any other error.
class WithoutGil {
public:
    explicit WithoutGil(std::uint32_t period = 1u << 14) : period_(period), state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

    void poll(Where where = Where::current()) {
        if (++count_ < period_) return;
        count_ = 0;
        check_signals(where);
    }

    // f() with the GIL held, for a kernel that calls back into Python. When f throws,
    // the GIL is released again before the error unwinds, as poll() leaves it.
    template <class F>
    void holding(F&& f) {
        PyEval_RestoreThread(state_);
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        f();
    }

    // Runs the pending signal handlers now.
    void check_signals(Where where = Where::current()) {
        PyEval_RestoreThread(state_);
        const int status = PyErr_CheckSignals();
        state_ = PyEval_SaveThread();
        if (status < 0) throw_error_set(where);
    }

private:
    std::uint32_t period_;
    std::uint32_t count_ = 0;
    PyThreadState* state_;
};

}  // namespace frame

#include "routine.hpp"

#include <exception>
#include <stdexcept>

#if PY_VERSION_HEX >= 0x030D0000
// Still exported by the interpreter, but no longer declared in its public headers.
extern "C" void _PyTraceback_Add(const char* funcname, const char* filename, int lineno);
#endif

namespace frame {

void add_traceback(const Routine& routine, int line) {
    // Builds a code object and a frame for the routine and links it into the traceback
    // of the pending exception, leaving that exception set.
    _PyTraceback_Add(routine.name.c_str(), routine.file, line);
}

int set_error_from_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
    }
    return 0;
}

}  // namespace frame

// Module initialisation: one extension module, its imports and its public functions.
#pragma once

#include "function.hpp"

#include <initializer_list>

namespace frame {

// A module-level import statement: `import module as name` when `attribute` is null,
// otherwise `from module import attribute as name`.
struct Import {
    const char* name;
    const char* module;
    const char* attribute = nullptr;
};

struct ModuleSpec {
    const char* short_name;   // "densa_core"
    const char* full_name;    // the full dotted name the package imports
    const char* source_file;  // path of the source module, for tracebacks
    std::initializer_list<Import> imports;
    const FunctionSpec& function;
    // Further module-level functions, for modules that expose a family of entry points.
    std::initializer_list<const FunctionSpec*> more_functions = {};
};

// The PyInit_ result for multi-phase initialisation. Call once from PyInit_<name>.
PyObject* module_definition(const ModuleSpec& spec);

// The executed module's namespace (borrowed), where call-time lookups start.
PyObject* module_namespace();

// A routine of this module named `name`: traceback entries read "<module>.<name>".
Routine module_routine(const char* full_module_name, const char* source_file, const char* name);

}  // namespace frame

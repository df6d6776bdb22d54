#define FRAME_DEFINES_NUMPY_API
#include "module.hpp"

#include "numpy.hpp"

#include <cstdio>
#include <deque>
#include <string>

namespace frame {

namespace {

// Process-wide state of this extension module; each module links its own copy.
const ModuleSpec* g_spec = nullptr;
PyObject* g_module = nullptr;
int64_t g_interpreter_id = -1;
Routine g_init_routine;
Routine g_function_routine;
std::deque<Routine> g_more_routines;  // a deque: functions keep pointers to their routine

// Copies spec.<from> into the module namespace as <to>; None is copied only if allowed.
void copy_spec_attribute(PyObject* spec, PyObject* ns, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
        PyErr_Clear();
        return;
    }
    Ref owned = Ref::steal(value);
    if (allow_none || value != Py_None) check_status(PyDict_SetItemString(ns, to, value));
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
        if (id == -1) return nullptr;
    } else if (id != g_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    try {
        Ref name = check(PyObject_GetAttrString(spec, "name"));
        Ref module = check(PyModule_NewObject(name.get()));
        PyObject* ns = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, ns, "loader", "__loader__", true);
        copy_spec_attribute(spec, ns, "origin", "__file__", true);
        copy_spec_attribute(spec, ns, "parent", "__package__", true);
        copy_spec_attribute(spec, ns, "submodule_search_locations", "__path__", false);
        return module.release();
    } catch (const PythonError&) {
        return nullptr;
    }
}

void warn_on_version_mismatch() {
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                  PY_MAJOR_VERSION, PY_MINOR_VERSION, g_spec->full_name, "does not match", major,
                                  minor));
}

void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemString(modules, g_spec->full_name);
    if (existing == nullptr) check_status(PyDict_SetItemString(modules, g_spec->full_name, module));
}

void check_numpy_types() {
    static const char* const names[] = {"dtype",    "flatiter",       "broadcast", "ndarray",         "generic",
                                        "number",   "integer",        "signedinteger", "unsignedinteger", "inexact",
                                        "floating", "complexfloating", "flexible",  "character",       "ufunc"};
    Ref numpy = check(PyImport_ImportModule("numpy"));
    for (const char* name : names) {
        Ref type = check(PyObject_GetAttrString(numpy.get(), name));
        if (!PyType_Check(type.get())) raise(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", name);
    }
}

Ref run_import(const Import& statement, PyObject* ns) {
    if (statement.attribute == nullptr) return check(PyImport_ImportModule(statement.module));
    Ref from_list = check(Py_BuildValue("(s)", statement.attribute));
    Ref module = check(PyImport_ImportModuleLevel(statement.module, ns, nullptr, from_list.get(), 0));
    PyObject* value = PyObject_GetAttrString(module.get(), statement.attribute);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name %s", statement.attribute);
    }
    return check(value);
}

// The module-level statements, in source order.
void run_module_body(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);
    for (const Import& statement : g_spec->imports) {
        check_status(PyDict_SetItemString(ns, statement.name, run_import(statement, ns).get()));
    }
    Ref function = make_function(g_spec->function, g_spec->full_name, g_function_routine);
    check_status(PyDict_SetItemString(ns, g_spec->function.name, function.get()));
    auto routine = g_more_routines.begin();
    for (const FunctionSpec* more : g_spec->more_functions) {
        Ref extra = make_function(*more, g_spec->full_name, *routine++);
        check_status(PyDict_SetItemString(ns, more->name, extra.get()));
    }
    Ref test = check(PyDict_New());
    check_status(PyDict_SetItemString(ns, "__test__", test.get()));
}

int exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", g_spec->short_name);
        return -1;
    }
    g_module = Py_NewRef(module);
    int line = 0;
    try {
        warn_on_version_mismatch();
        if (_import_array() < 0) throw_error_set();
        register_in_sys_modules(module);
        check_numpy_types();
        run_module_body(module);
        return 0;
    } catch (const PythonError& error) {
        line = error.line;
    } catch (...) {
        line = set_error_from_current_exception();
    }
    add_traceback(g_init_routine, line);
    Py_CLEAR(g_module);  // the import machinery drops the half-built module
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef g_definition = {PyModuleDef_HEAD_INIT};

}  // namespace

PyObject* module_definition(const ModuleSpec& spec) {
    g_spec = &spec;
    g_init_routine = Routine{std::string("init ") + spec.full_name, spec.source_file};
    g_function_routine = module_routine(spec.full_name, spec.source_file, spec.function.name);
    for (const FunctionSpec* more : spec.more_functions) {
        g_more_routines.push_back(module_routine(spec.full_name, spec.source_file, more->name));
    }
    g_definition.m_name = spec.full_name;
    g_definition.m_doc = nullptr;
    g_definition.m_size = 0;
    g_definition.m_slots = g_slots;
    return PyModuleDef_Init(&g_definition);
}

PyObject* module_namespace() { return PyModule_GetDict(g_module); }

Routine module_routine(const char* full_module_name, const char* source_file, const char* name) {
    return Routine{std::string(full_module_name) + "." + name, source_file};
}

}  // namespace frame

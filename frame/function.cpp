#include "function.hpp"

#include <cstddef>

namespace frame {

// The callable: a built-in-style function with vectorcall, named attributes and
// __defaults__. It holds only strings and a tuple, so it needs no GC support.
class FunctionObject {
public:
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    const Routine* routine;
    PyObject* name;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;     // tuple or None
    PyObject* parameters;   // tuple of interned parameter names
    Py_ssize_t n_params;
    Py_ssize_t n_required;

    static PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

private:
    Arguments bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const;
    [[noreturn]] void raise_count(bool too_many, Py_ssize_t given) const;
    bool names_parameter(PyObject* keyword, Py_ssize_t i) const;
    Py_ssize_t find_parameter(PyObject* keyword) const;
};

namespace {

Ref make_default(const Default& d) {
    switch (d.kind) {
        case Default::Kind::Bool: return Ref::borrow(d.int_value ? Py_True : Py_False);
        case Default::Kind::Int: return new_int(d.int_value);
        case Default::Kind::Float: return new_float(d.float_value);
        case Default::Kind::Str: return check(PyUnicode_InternFromString(d.str_value));
    }
    return Ref();
}

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

void dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->module_name);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->parameters);
    PyObject_Free(self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module_name); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }

PyObject* repr(PyObject* self) { return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->name); }

// Pickled by reference: the module attribute of the same name.
PyObject* reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->name); }

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_methods = methods;
    t.tp_getset = getset;
    return t;
}();

}  // namespace

void FunctionObject::raise_count(bool too_many, Py_ssize_t given) const {
    bool exact = n_required == n_params;
    Py_ssize_t expected = too_many ? n_params : n_required;
    const char* bound = exact ? "exactly" : (too_many ? "at most" : "at least");
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec->name, bound, expected,
          expected == 1 ? "" : "s", given);
}

bool FunctionObject::names_parameter(PyObject* keyword, Py_ssize_t i) const {
    PyObject* parameter = PyTuple_GET_ITEM(parameters, i);
    return keyword == parameter || (PyUnicode_Check(keyword) && PyUnicode_Compare(parameter, keyword) == 0);
}

// Position of the parameter named `keyword`, or -1.
Py_ssize_t FunctionObject::find_parameter(PyObject* keyword) const {
    for (Py_ssize_t i = 0; i < n_params; ++i) {
        if (names_parameter(keyword, i)) return i;
    }
    return -1;
}

// Positionals first, then each remaining parameter looked up among the keywords in
// parameter order, then defaults; leftover keywords are reported last.
Arguments FunctionObject::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    if (nargs > n_params) raise_count(true, nargs);
    Arguments bound;
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.values_[i] = args[i];

    Py_ssize_t n_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < n_params; ++i) {
        for (Py_ssize_t k = 0; k < n_keywords && !bound.values_[i]; ++k) {
            if (names_parameter(PyTuple_GET_ITEM(kwnames, k), i)) {
                bound.values_[i] = args[nargs + k];
                ++matched;
            }
        }
        if (!bound.values_[i]) {
            if (i < n_required) raise_count(false, i);
            bound.values_[i] = PyTuple_GET_ITEM(defaults, i - n_required);
        }
    }
    if (matched == n_keywords) return bound;

    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) raise(PyExc_TypeError, "%.200s() keywords must be strings", spec->name);
        Py_ssize_t position = find_parameter(keyword);
        if (position < 0) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec->name, keyword);
        if (position < nargs) {
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec->name, keyword);
        }
    }
    return bound;
}

PyObject* FunctionObject::call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    int line = 0;
    try {
        Arguments bound = f->bind(args, PyVectorcall_NARGS(nargsf), kwnames);
        return f->spec->body(bound).release();
    } catch (const PythonError& error) {
        line = error.line;
    } catch (...) {
        line = set_error_from_current_exception();
    }
    add_traceback(*f->routine, line);
    return nullptr;
}

Ref make_function(const FunctionSpec& spec, const char* module_name, const Routine& routine) {
    if (spec.parameters.size() > kMaxParameters || spec.defaults.size() > spec.parameters.size()) {
        raise(PyExc_SystemError, "bad signature for %s", spec.name);
    }
    if (PyType_Ready(&function_type) < 0) throw_error_set();
    Ref parameters = check(PyTuple_New(static_cast<Py_ssize_t>(spec.parameters.size())));
    Py_ssize_t i = 0;
    for (const char* p : spec.parameters) {
        PyTuple_SET_ITEM(parameters.get(), i++, check(PyUnicode_InternFromString(p)).release());
    }
    Ref defaults = Ref::borrow(Py_None);
    if (spec.defaults.size() > 0) {
        defaults = check(PyTuple_New(static_cast<Py_ssize_t>(spec.defaults.size())));
        i = 0;
        for (const Default& d : spec.defaults) PyTuple_SET_ITEM(defaults.get(), i++, make_default(d).release());
    }
    Ref name = check(PyUnicode_InternFromString(spec.name));
    Ref module = check(PyUnicode_FromString(module_name));
    Ref doc = check(PyUnicode_FromString(spec.doc));

    FunctionObject* f = PyObject_New(FunctionObject, &function_type);
    if (f == nullptr) throw_error_set();
    f->vectorcall = FunctionObject::call;
    f->spec = &spec;
    f->routine = &routine;
    f->n_params = static_cast<Py_ssize_t>(spec.parameters.size());
    f->n_required = f->n_params - static_cast<Py_ssize_t>(spec.defaults.size());
    f->name = name.release();
    f->module_name = module.release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->parameters = parameters.release();
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace frame

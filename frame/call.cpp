#include "call.hpp"

#include "module.hpp"

namespace frame {

PyObject* Name::get() const {
    if (interned_ == nullptr) interned_ = check(PyUnicode_InternFromString(text_)).release();
    return interned_;
}

PyObject* Keywords::tuple() const {
    if (tuple_ == nullptr) {
        if (count_ > static_cast<Py_ssize_t>(names_.size())) raise(PyExc_SystemError, "too many keyword names");
        Ref t = check(PyTuple_New(count_));
        for (Py_ssize_t i = 0; i < count_; ++i) {
            PyTuple_SET_ITEM(t.get(), i, Ref::borrow(Name(names_[i]).get()).release());
        }
        tuple_ = t.release();
    }
    return tuple_;
}

Ref global(const Name& name) {
    PyObject* found = PyDict_GetItemWithError(module_namespace(), name.get());
    if (found == nullptr && !PyErr_Occurred()) found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.get());
    if (found == nullptr) {
        if (!PyErr_Occurred()) raise(PyExc_NameError, "name '%U' is not defined", name.get());
        throw_error_set();
    }
    return Ref::borrow(found);
}

Ref getattr(PyObject* object, const Name& name) { return check(PyObject_GetAttr(object, name.get())); }

namespace {

constexpr size_t kMaxArgs = 8;

// Lays the arguments out behind one spare slot, so callees may use the
// PY_VECTORCALL_ARGUMENTS_OFFSET shortcut.
struct ArgVector {
    std::array<PyObject*, kMaxArgs + 2> slots{};
    Py_ssize_t total = 0;

    ArgVector(PyObject* first, std::initializer_list<PyObject*> args) {
        if (args.size() > kMaxArgs) raise(PyExc_SystemError, "too many arguments for a native call");
        if (first != nullptr) slots[1 + total++] = first;
        for (PyObject* a : args) slots[1 + total++] = a;
    }
    PyObject* const* begin() const { return slots.data() + 1; }
};

size_t positional(const ArgVector& v, const Keywords* keywords) {
    Py_ssize_t n = v.total - (keywords ? keywords->size() : 0);
    return static_cast<size_t>(n) | PY_VECTORCALL_ARGUMENTS_OFFSET;
}

}  // namespace

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, const Keywords* keywords) {
    ArgVector v(nullptr, args);
    PyObject* names = keywords ? keywords->tuple() : nullptr;
    return check(PyObject_Vectorcall(callable, v.begin(), positional(v, keywords), names));
}

Ref call_method(PyObject* object, const Name& name, std::initializer_list<PyObject*> args,
                const Keywords* keywords) {
    ArgVector v(object, args);
    PyObject* names = keywords ? keywords->tuple() : nullptr;
    return check(PyObject_VectorcallMethod(name.get(), v.begin(), positional(v, keywords), names));
}

Ref work_array(const Name& maker, long long size, const Name& dtype, PyObject* fill) {
    static const Name np{"np"};
    static const Keywords kw_dtype{"dtype"};
    Ref numpy = global(np);
    Ref n = new_int(size);
    Ref type = getattr(numpy.get(), dtype);
    if (fill != nullptr) return call_method(numpy.get(), maker, {n.get(), fill, type.get()}, &kw_dtype);
    return call_method(numpy.get(), maker, {n.get(), type.get()}, &kw_dtype);
}

}  // namespace frame

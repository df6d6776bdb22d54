// Module-level functions: the callable object, its signature, and argument binding.
#pragma once

#include "call.hpp"
#include "routine.hpp"

#include <array>
#include <initializer_list>
#include <vector>

namespace frame {

constexpr int kMaxParameters = 12;

// The arguments of one call after binding: one borrowed object per parameter, in
// parameter order, defaults filled in.
class Arguments {
public:
    PyObject* operator[](int i) const { return values_[i]; }

private:
    friend class FunctionObject;
    std::array<PyObject*, kMaxParameters> values_{};
};

// A default value of a parameter, turned into a Python object when the module is built.
struct Default {
    enum class Kind { Bool, Int, Float, Str } kind;
    long long int_value = 0;
    double float_value = 0;
    const char* str_value = nullptr;

    Default(bool v) : kind(Kind::Bool), int_value(v) {}            // NOLINT: implicit on purpose
    Default(int v) : kind(Kind::Int), int_value(v) {}              // NOLINT
    Default(long long v) : kind(Kind::Int), int_value(v) {}        // NOLINT
    Default(double v) : kind(Kind::Float), float_value(v) {}       // NOLINT
    Default(const char* v) : kind(Kind::Str), str_value(v) {}      // NOLINT
};

// Everything a module says about its public function.
struct FunctionSpec {
    const char* name;
    std::initializer_list<const char*> parameters;
    std::initializer_list<Default> defaults;  // for the last parameters
    const char* doc;
    Ref (*body)(const Arguments&);
};

// Creates the callable for `spec`, reporting errors as `routine`.
Ref make_function(const FunctionSpec& spec, const char* module_name, const Routine& routine);

}  // namespace frame

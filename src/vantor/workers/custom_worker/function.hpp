// The callable type behind the module's seven functions: a native function
// that binds its arguments the way the worker's hosts expect (positional or
// keyword, exact argument types) and shows itself like a Python function
// (__name__, __qualname__, __module__, __doc__, __annotations__,
// __defaults__, inspect.signature()).
#pragma once

#include "ref.hpp"
#include "traceback_entry.hpp"

namespace worker {

// What a parameter accepts. Exact types only: subclasses are refused.
enum class Accepts { anything, exact_str, exact_dict, dict_or_none };

struct Parameter {
    PyObject* const* name;   // interned name (see names.hpp)
    Accepts accepts;
    const char* annotation;  // annotation text, or nullptr for none
};

inline constexpr int max_parameters = 3;

// The static description of one module function. `body` receives the bound
// arguments (borrowed, defaults filled in, types checked) and follows the
// C-API convention: a new reference, or null with an exception set.
struct FunctionDef {
    const char* name;
    const char* doc;  // nullptr: no docstring
    const Parameter* parameters;
    int parameter_count;
    int required_count;  // leading parameters without a default (None)
    const char* return_annotation;  // nullptr: none
    PyObject* (*body)(PyObject* const* arguments);
    TracebackSite site;
};

int ready_function_type();

// A new function object for `def`.
Ref make_function(FunctionDef& def);

}  // namespace worker

// Result serialization: any value made into None, str, int, float, bool,
// lists and dicts with string keys; everything else into its text.
#pragma once

#include "function.hpp"
#include "ref.hpp"

namespace worker {

extern FunctionDef serialize_function;

// _serialize(value) through the module global `_serialize`, as the handlers
// and the conversion of nested values call it.
Ref serialize_through_global(PyObject* value);

}  // namespace worker

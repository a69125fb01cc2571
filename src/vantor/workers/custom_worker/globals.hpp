// Module globals read by name at each use, falling back to the built-ins, so
// that rebinding an attribute of the module changes what later calls use.
#pragma once

#include "ref.hpp"

namespace worker {

// Points the lookup at the module's namespace and the built-ins' namespace.
// Both are held until the next call: functions of a module whose execution
// failed may still be called after the module itself is gone.
void set_global_namespaces(PyObject* module_dict, PyObject* builtins_dict);

// The value bound to `name`, or null with NameError (or the lookup's own
// error) set.
Ref lookup_global(PyObject* name);

// lookup_global(owner) followed by getattr(owner, attribute).
Ref lookup_global_attr(PyObject* owner, PyObject* attribute);

}  // namespace worker

// Global-name lookup for the worker's functions.
#include "globals.hpp"

namespace worker {

namespace {
PyObject* module_namespace = nullptr;
PyObject* builtins_namespace = nullptr;
}  // namespace

void set_global_namespaces(PyObject* module_dict, PyObject* builtins_dict)
{
    module_namespace = module_dict;
    builtins_namespace = builtins_dict;
}

PyObject* module_globals()
{
    return module_namespace;
}

Ref lookup_global(PyObject* name)
{
    PyObject* value = PyDict_GetItemWithError(module_namespace, name);
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(builtins_namespace, name);
        if (value == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::retain(value);
}

Ref lookup_global_attr(PyObject* owner, PyObject* attribute)
{
    Ref object = lookup_global(owner);
    if (!object) {
        return {};
    }
    return Ref::take(PyObject_GetAttr(object.get(), attribute));
}

}  // namespace worker

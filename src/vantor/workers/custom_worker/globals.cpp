// Global-name lookup for the worker's functions. Lookups are remembered for
// as long as the dict they were made in is unchanged, as the interpreter's
// own caches for global names do, so rebinding still takes effect at once.
#include "globals.hpp"

#include <cstdint>

namespace worker {

namespace {

PyObject* module_namespace = nullptr;
PyObject* builtins_namespace = nullptr;

// Every modification gives a dict a new version tag, unique in the process;
// while a dict's tag is the one seen at a lookup, the same value is bound
// and the dict still holds it.
struct Remembered {
    PyObject* dict;
    PyObject* key;
    uint64_t version;
    PyObject* value;  // borrowed from `dict`
};

constexpr std::size_t remembered_slots = 64;
Remembered remembered[remembered_slots];

// dict[key] (borrowed), or null: missing, or with an exception set.
PyObject* dict_lookup(PyObject* dict, PyObject* key)
{
    auto hash = (reinterpret_cast<std::uintptr_t>(dict) >> 4) ^
                (reinterpret_cast<std::uintptr_t>(key) >> 4);
    Remembered& slot = remembered[hash % remembered_slots];
    if (slot.dict == dict && slot.key == key && slot.version == capi::dict_version(dict)) {
        return slot.value;
    }
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value != nullptr) {
        slot = {dict, key, capi::dict_version(dict), value};
    }
    return value;
}

}  // namespace

void set_global_namespaces(PyObject* module_dict, PyObject* builtins_dict)
{
    Py_XSETREF(module_namespace, Py_NewRef(module_dict));
    Py_XSETREF(builtins_namespace, Py_NewRef(builtins_dict));
}

Ref lookup_global(PyObject* name)
{
    PyObject* value = dict_lookup(module_namespace, name);
    if (value == nullptr && !PyErr_Occurred()) {
        value = dict_lookup(builtins_namespace, name);
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
    // An attribute of a plain module that its type does not define is the
    // entry of the module's namespace.
    if (PyModule_CheckExact(object.get()) && _PyType_Lookup(&PyModule_Type, attribute) == nullptr) {
        PyObject* value = dict_lookup(PyModule_GetDict(object.get()), attribute);
        if (value != nullptr || PyErr_Occurred()) {
            return Ref::retain(value);
        }
    }
    return Ref::take(PyObject_GetAttr(object.get(), attribute));
}

}  // namespace worker

// The native function type: argument binding with the worker's own error
// texts, traceback entries for exceptions that leave a function, and the
// attributes that make these objects introspect like Python functions.
#include "function.hpp"

#include <structmember.h>

#include <cstddef>

#include "names.hpp"

namespace worker {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* signature;  // built on first use
    PyObject* kwdefaults;  // always None, as for a function without keyword-only parameters
};

// ---- argument binding ----------------------------------------------------

int raise_count_error(const FunctionDef& def, bool too_many, Py_ssize_t given)
{
    const bool exact = def.required_count == def.parameter_count;
    const char* bound = exact ? "exactly" : too_many ? "at most" : "at least";
    Py_ssize_t count = too_many ? def.parameter_count : def.required_count;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.name, bound, count, count == 1 ? "" : "s", given);
    return -1;
}

bool same_name(PyObject* keyword, PyObject* name)
{
    return keyword == name ||
           (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, name) == 0);
}

// Index of the parameter that `keyword` names, or -1.
int parameter_index(const FunctionDef& def, PyObject* keyword)
{
    for (int i = 0; i < def.parameter_count; ++i) {
        if (same_name(keyword, *def.parameters[i].name)) {
            return i;
        }
    }
    return -1;
}

// The value passed for `name` by keyword, or nullptr.
PyObject* keyword_value(PyObject* kwnames, PyObject* const* values, PyObject* name)
{
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            return values[i];
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (same_name(PyTuple_GET_ITEM(kwnames, i), name)) {
            return values[i];
        }
    }
    return nullptr;
}

// Reports the first keyword, in the order given, that matched no free
// parameter: unknown, or naming a parameter filled positionally or by an
// earlier keyword (two distinct str objects may spell the same name).
int raise_keyword_error(const FunctionDef& def, PyObject* kwnames, Py_ssize_t positional)
{
    bool named[max_parameters] = {};
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
            return -1;
        }
        int index = parameter_index(def, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         def.name, keyword);
            return -1;
        }
        if (index < positional || named[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         def.name, keyword);
            return -1;
        }
        named[index] = true;
    }
    PyErr_SetString(PyExc_SystemError, "keyword arguments could not be bound");
    return -1;
}

int bind_no_parameters(const FunctionDef& def, Py_ssize_t positional, PyObject* kwnames)
{
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", def.name, "takes no keyword arguments");
        return -1;
    }
    if (positional != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", def.name, "takes no arguments",
                     positional);
        return -1;
    }
    return 0;
}

int bind_arguments(const FunctionDef& def, PyObject* const* args, Py_ssize_t positional,
                   PyObject* kwnames, PyObject** bound)
{
    if (def.parameter_count == 0) {
        return bind_no_parameters(def, positional, kwnames);
    }
    if (positional > def.parameter_count) {
        return raise_count_error(def, true, positional);
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound[i] = args[i];
    }
    Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = positional; i < def.parameter_count; ++i) {
        PyObject* value = keywords != 0
                              ? keyword_value(kwnames, args + positional, *def.parameters[i].name)
                              : nullptr;
        if (value != nullptr) {
            ++matched;
        } else if (i < def.required_count) {
            return raise_count_error(def, false, i);
        } else {
            value = Py_None;
        }
        bound[i] = value;
    }
    if (matched < keywords) {
        return raise_keyword_error(def, kwnames, positional);
    }
    return 0;
}

bool accepted(Accepts accepts, PyObject* value)
{
    switch (accepts) {
    case Accepts::anything:
        return true;
    case Accepts::exact_str:
        return PyUnicode_CheckExact(value);
    case Accepts::exact_dict:
        return PyDict_CheckExact(value);
    case Accepts::dict_or_none:
        return value == Py_None || PyDict_CheckExact(value);
    }
    return false;
}

int raise_type_error(const Parameter& parameter, PyObject* value)
{
    PyTypeObject* expected = parameter.accepts == Accepts::exact_str ? &PyUnicode_Type : &PyDict_Type;
    bool subclass = PyObject_TypeCheck(value, expected);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                 PyUnicode_AsUTF8(*parameter.name), expected->tp_name, Py_TYPE(value)->tp_name,
                 subclass ? ". " : "", subclass ? names::subclass_note : names::empty);
    return -1;
}

int check_types(const FunctionDef& def, PyObject* const* bound)
{
    for (int i = 0; i < def.parameter_count; ++i) {
        if (!accepted(def.parameters[i].accepts, bound[i])) {
            return raise_type_error(def.parameters[i], bound[i]);
        }
    }
    return 0;
}

PyObject* call_function(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    FunctionDef& def = *reinterpret_cast<FunctionObject*>(self)->def;
    PyObject* bound[max_parameters] = {};
    if (bind_arguments(def, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0 ||
        check_types(def, bound) < 0) {
        add_traceback_entry(def.site);
        return nullptr;
    }
    PyObject* result = def.body(bound);
    if (result == nullptr) {
        add_traceback_entry(def.site);
    }
    return result;
}

// ---- introspection -------------------------------------------------------

Ref text_or_none(const char* text)
{
    return text != nullptr ? Ref::take(PyUnicode_FromString(text)) : Ref::retain(Py_None);
}

Ref make_annotations(const FunctionDef& def)
{
    Ref annotations = Ref::take(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (int i = 0; i < def.parameter_count; ++i) {
        const Parameter& parameter = def.parameters[i];
        if (parameter.annotation == nullptr) {
            continue;
        }
        Ref text = Ref::take(PyUnicode_FromString(parameter.annotation));
        if (!text || PyDict_SetItem(annotations.get(), *parameter.name, text.get()) < 0) {
            return {};
        }
    }
    if (def.return_annotation != nullptr) {
        Ref text = Ref::take(PyUnicode_FromString(def.return_annotation));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) {
            return {};
        }
    }
    return annotations;
}

Ref make_defaults(const FunctionDef& def)
{
    Py_ssize_t count = def.parameter_count - def.required_count;
    if (count == 0) {
        return Ref::retain(Py_None);
    }
    Ref defaults = Ref::take(PyTuple_New(count));
    for (Py_ssize_t i = 0; defaults && i < count; ++i) {
        PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    }
    return defaults;
}

// Calls `factory(*positional, **{key: value for each non-null value})`.
Ref call_with_keywords(PyObject* factory, PyObject* positional,
                       std::initializer_list<std::pair<const char*, PyObject*>> keywords)
{
    Ref options = Ref::take(PyDict_New());
    if (!options) {
        return {};
    }
    for (auto [key, value] : keywords) {
        if (value != nullptr && PyDict_SetItemString(options.get(), key, value) < 0) {
            return {};
        }
    }
    return Ref::take(PyObject_Call(factory, positional, options.get()));
}

Ref build_signature(const FunctionDef& def)
{
    Ref inspect = Ref::take(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return {};
    }
    Ref parameter_type = Ref::take(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref kind = Ref::take(parameter_type ? PyObject_GetAttrString(parameter_type.get(),
                                                                 "POSITIONAL_OR_KEYWORD")
                                        : nullptr);
    Ref parameters = Ref::take(kind ? PyList_New(0) : nullptr);
    if (!parameters) {
        return {};
    }
    for (int i = 0; i < def.parameter_count; ++i) {
        const Parameter& parameter = def.parameters[i];
        Ref positional = Ref::take(PyTuple_Pack(2, *parameter.name, kind.get()));
        if (!positional) {
            return {};
        }
        Ref annotation = Ref::take(parameter.annotation != nullptr
                                       ? PyUnicode_FromString(parameter.annotation)
                                       : nullptr);
        if (parameter.annotation != nullptr && !annotation) {
            return {};
        }
        PyObject* fallback = i >= def.required_count ? Py_None : nullptr;
        Ref item = call_with_keywords(parameter_type.get(), positional.get(),
                                      {{"default", fallback}, {"annotation", annotation.get()}});
        if (!item || PyList_Append(parameters.get(), item.get()) < 0) {
            return {};
        }
    }
    Ref signature_type = Ref::take(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref positional = Ref::take(signature_type ? PyTuple_Pack(1, parameters.get()) : nullptr);
    Ref returns = positional ? text_or_none(def.return_annotation) : Ref();
    if (!returns) {
        return {};
    }
    return call_with_keywords(
        signature_type.get(), positional.get(),
        {{"return_annotation", def.return_annotation != nullptr ? returns.get() : nullptr}});
}

PyObject* get_signature(PyObject* self, void*)
{
    auto* function = reinterpret_cast<FunctionObject*>(self);
    if (function->signature != nullptr) {
        return Py_NewRef(function->signature);
    }
    Ref signature = build_signature(*function->def);
    // Building runs Python code, which may have asked for it meanwhile.
    if (signature && function->signature == nullptr) {
        function->signature = Py_NewRef(signature.get());
    }
    return signature.release();
}

// Pickling and copying find the function again by its name in its module.
PyObject* reduce_function(PyObject* self, PyObject*)
{
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyObject* repr_function(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>",
                                reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

void dealloc_function(PyObject* self)
{
    auto* function = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(function->name);
    Py_XDECREF(function->qualname);
    Py_XDECREF(function->module);
    Py_XDECREF(function->doc);
    Py_XDECREF(function->annotations);
    Py_XDECREF(function->defaults);
    Py_XDECREF(function->signature);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(FunctionObject, kwdefaults), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", reduce_function, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_function)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_function)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// Created once per process, like the functions themselves.
PyTypeObject* function_type = nullptr;

}  // namespace

int ready_function_type()
{
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
    }
    return function_type != nullptr ? 0 : -1;
}

Ref make_function(FunctionDef& def)
{
    Ref object = Ref::take(PyObject_New(PyObject, function_type));
    if (!object) {
        return {};
    }
    auto* function = reinterpret_cast<FunctionObject*>(object.get());
    function->vectorcall = call_function;
    function->def = &def;
    function->name = function->qualname = function->module = function->doc = nullptr;
    function->annotations = function->defaults = function->signature = nullptr;
    function->kwdefaults = nullptr;
    if (!(function->name = PyUnicode_FromString(def.name)) ||
        !(function->module = PyUnicode_FromString("vantor.workers.custom_worker")) ||
        !(function->doc = text_or_none(def.doc).release()) ||
        !(function->annotations = make_annotations(def).release()) ||
        !(function->defaults = make_defaults(def).release())) {
        return {};
    }
    function->qualname = Py_NewRef(function->name);
    return object;
}

}  // namespace worker

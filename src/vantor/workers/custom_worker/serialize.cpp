// _serialize. Nested values go through the module global `_serialize`; while
// that is still this function it is entered natively, with the same
// recursion accounting and traceback entries as a call through Python.
#include "serialize.hpp"

#include "globals.hpp"
#include "module.hpp"
#include "names.hpp"

namespace worker {

namespace {

// Ints of up to 640 decimal digits (below 2**2126) always have a text: no
// digit limit the interpreter accepts is smaller.
bool int_always_has_text(PyObject* value)
{
    return _PyLong_NumBits(value) <= 2126;
}

// A larger int is converted once here while a limit is set, so that one over
// it fails now rather than in json.dumps.
int check_int_has_text(PyObject* value)
{
    if (int_always_has_text(value)) {
        return 0;
    }
    Ref read_limit = Ref::retain(PySys_GetObject("get_int_max_str_digits"));
    if (read_limit) {
        Ref limit = Ref::take(PyObject_CallNoArgs(read_limit.get()));
        int limited = limit ? PyObject_IsTrue(limit.get()) : -1;
        if (limited <= 0) {
            return limited;
        }
    }
    Ref text = Ref::take(PyLong_Type.tp_repr(value));
    return text ? 0 : -1;
}

Ref key_text(PyObject* key)
{
    return PyUnicode_CheckExact(key) ? Ref::retain(key) : Ref::take(PyObject_Str(key));
}

int store_entry(PyObject* converted, PyObject* key, PyObject* value)
{
    Ref text = key_text(key);
    if (!text) {
        return -1;
    }
    Ref item = serialize_through_global(value);
    if (!item) {
        return -1;
    }
    return PyDict_SetItem(converted, text.get(), item.get());
}

int append_converted(PyObject* converted, PyObject* item)
{
    Ref owned = Ref::retain(item);
    Ref value = serialize_through_global(owned.get());
    return value ? PyList_Append(converted, value.get()) : -1;
}

Ref convert_sequence(PyObject* sequence)
{
    Ref converted = Ref::take(PyList_New(0));
    if (!converted) {
        return {};
    }
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        // The length is read again at each step: converting may change a list.
        for (Py_ssize_t i = 0; i < Py_SIZE(sequence); ++i) {
            if (append_converted(converted.get(), PySequence_Fast_GET_ITEM(sequence, i)) < 0) {
                return {};
            }
        }
        return converted;
    }
    Ref iterator = Ref::take(PyObject_GetIter(sequence));
    if (!iterator) {
        return {};
    }
    while (Ref item = Ref::take(PyIter_Next(iterator.get()))) {
        if (append_converted(converted.get(), item.get()) < 0) {
            return {};
        }
    }
    return PyErr_Occurred() ? Ref() : std::move(converted);
}

Ref convert_exact_dict(PyObject* mapping)
{
    Ref converted = Ref::take(_PyDict_NewPresized(PyDict_GET_SIZE(mapping)));
    if (!converted) {
        return {};
    }
    const Py_ssize_t size = PyDict_GET_SIZE(mapping);
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (true) {
        if (PyDict_GET_SIZE(mapping) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return {};
        }
        if (!PyDict_Next(mapping, &position, &key, &value)) {
            return converted;
        }
        Ref owned_key = Ref::retain(key);
        Ref owned_value = Ref::retain(value);
        if (store_entry(converted.get(), owned_key.get(), owned_value.get()) < 0) {
            return {};
        }
    }
}

int raise_need_more_values(Py_ssize_t found)
{
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    return -1;
}

int raise_too_many_values()
{
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return -1;
}

// Unpacks one item of items() into a key and a value, as `for k, v in ...`.
int unpack_pair(PyObject* item, Ref& key, Ref& value)
{
    if (PyTuple_Check(item)) {
        Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size != 2) {
            return size > 2 ? raise_too_many_values() : raise_need_more_values(size);
        }
        key = Ref::retain(PyTuple_GET_ITEM(item, 0));
        value = Ref::retain(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    Ref iterator = Ref::take(PyObject_GetIter(item));
    if (!iterator) {
        return -1;
    }
    key = Ref::take(PyIter_Next(iterator.get()));
    if (!key) {
        return PyErr_Occurred() ? -1 : raise_need_more_values(0);
    }
    value = Ref::take(PyIter_Next(iterator.get()));
    if (!value) {
        return PyErr_Occurred() ? -1 : raise_need_more_values(1);
    }
    Ref extra = Ref::take(PyIter_Next(iterator.get()));
    if (extra) {
        return raise_too_many_values();
    }
    return PyErr_Occurred() ? -1 : 0;
}

int store_item(PyObject* converted, PyObject* item)
{
    Ref owned = Ref::retain(item);
    Ref key, value;
    if (unpack_pair(owned.get(), key, value) < 0) {
        return -1;
    }
    return store_entry(converted, key.get(), value.get());
}

Ref convert_dict_subclass(PyObject* mapping)
{
    Ref converted = Ref::take(PyDict_New());
    Ref items = Ref::take(converted ? PyObject_CallMethodNoArgs(mapping, names::items) : nullptr);
    if (!items) {
        return {};
    }
    if (PyList_CheckExact(items.get()) || PyTuple_CheckExact(items.get())) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
            if (store_item(converted.get(), PySequence_Fast_GET_ITEM(items.get(), i)) < 0) {
                return {};
            }
        }
        return converted;
    }
    Ref iterator = Ref::take(PyObject_GetIter(items.get()));
    if (!iterator) {
        return {};
    }
    while (Ref item = Ref::take(PyIter_Next(iterator.get()))) {
        if (store_item(converted.get(), item.get()) < 0) {
            return {};
        }
    }
    return PyErr_Occurred() ? Ref() : std::move(converted);
}

Ref convert_value(PyObject* value)
{
    // The exact built-in types first: they are the common case, and testing
    // them costs no walk of the type's bases.
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        return convert_sequence(value);
    }
    if (PyDict_CheckExact(value)) {
        return convert_exact_dict(value);
    }
    if (value == Py_None || PyUnicode_Check(value) || PyFloat_Check(value)) {
        return Ref::retain(value);
    }
    if (PyLong_Check(value)) {
        return check_int_has_text(value) < 0 ? Ref() : Ref::retain(value);
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        return convert_sequence(value);
    }
    if (PyDict_Check(value)) {
        return PyDict_CheckExact(value) ? convert_exact_dict(value) : convert_dict_subclass(value);
    }
    return Ref::take(PyObject_Str(value));
}

// Native nesting allowed on one thread whatever the recursion limit: deep
// enough for any result a host can use, shallow enough that neither this
// walk nor json.dumps after it can run out of C stack when executed code has
// raised sys.setrecursionlimit().
#if defined(__SANITIZE_ADDRESS__)
constexpr int max_native_depth = 2500;  // instrumented frames are several times larger
#else
constexpr int max_native_depth = 10000;
#endif
thread_local int native_depth __attribute__((tls_model("initial-exec"))) = 0;

const char recursion_note[] = " while serializing an object";

// One call of _serialize: one level of the interpreter's recursion budget.
Ref convert(PyObject* value)
{
    if (native_depth >= max_native_depth) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", recursion_note);
        return {};
    }
    if (capi::enter_python_level(recursion_note)) {
        return {};
    }
    ++native_depth;
    Ref converted = convert_value(value);
    --native_depth;
    capi::leave_python_level();
    return converted;
}

PyObject* serialize_body(PyObject* const* arguments)
{
    return convert(arguments[0]).release();
}

const Parameter serialize_parameters[] = {{&names::obj, Accepts::anything, nullptr}};

}  // namespace

FunctionDef serialize_function = {
    "_serialize",
    "Attempt to serialize an object to JSON-compatible format.",
    serialize_parameters,
    1,
    1,
    nullptr,
    serialize_body,
    {"vantor.workers.custom_worker._serialize", "custom_worker/serialize.cpp", __LINE__},
};

namespace {

// A value that converts to itself without running any code, when entering
// one more level of conversion cannot fail: then converting it is taking it.
bool converts_to_itself(PyObject* value)
{
    bool plain = value == Py_None || PyUnicode_Check(value) || PyFloat_Check(value) ||
                 (PyLong_Check(value) && int_always_has_text(value));
    return plain && native_depth < max_native_depth &&
           capi::python_level_available();
}

}  // namespace

Ref serialize_through_global(PyObject* value)
{
    Ref function = lookup_global(names::serialize);
    if (!function) {
        return {};
    }
    if (!is_own_serialize(function.get())) {
        return Ref::take(PyObject_Vectorcall(function.get(), &value, 1, nullptr));
    }
    if (converts_to_itself(value)) {
        return Ref::retain(value);
    }
    Ref converted = convert(value);
    if (!converted) {
        add_traceback_entry(serialize_function.site);
    }
    return converted;
}

}  // namespace worker

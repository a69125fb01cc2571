// The interpreter's C API for every file of the package's extensions, and
// the parts of it that differ between the versions they build for (3.11 to
// 3.13), each behind one name. Everything else calls the API directly; a
// 3.11 build compiles to the calls it always made.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace worker::capi {

// getattr(object, name) that treats AttributeError as absence: 1 and a new
// reference in *value, 0 and null when absent, -1 with an exception set.
inline int lookup_optional_attr(PyObject* object, PyObject* name, PyObject** value)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(object, name, value);
#else
    return _PyObject_LookupAttr(object, name, value);
#endif
}

// Raises (type, value, traceback) again with the exception raised meanwhile,
// if any, on top and the earlier one as its __context__, as a failing
// `finally` does. Takes the three references.
inline void chain_exceptions(PyObject* type, PyObject* value, PyObject* traceback)
{
#if PY_VERSION_HEX >= 0x030C0000
    if (type == nullptr) {
        return;
    }
    PyObject* later = PyErr_GetRaisedException();
    PyErr_Restore(type, value, traceback);
    PyObject* earlier = PyErr_GetRaisedException();
    if (later != nullptr) {
        PyException_SetContext(later, earlier);
        earlier = later;
    }
    PyErr_SetRaisedException(earlier);
#else
    _PyErr_ChainExceptions(type, value, traceback);
#endif
}

// The concatenation of `count` str objects with `separator` between them.
inline PyObject* join_array(PyObject* separator, PyObject* const* items, Py_ssize_t count)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* sequence = PyTuple_New(count);
    if (sequence == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(sequence, i, Py_NewRef(items[i]));
    }
    PyObject* joined = PyUnicode_Join(separator, sequence);
    Py_DECREF(sequence);
    return joined;
#else
    return _PyUnicode_JoinArray(separator, items, count);
#endif
}

// Makes a str readable through PyUnicode_KIND/DATA; from 3.12 every str is.
inline int ready_text(PyObject* text)
{
#if PY_VERSION_HEX >= 0x030C0000
    (void)text;
    return 0;
#else
    return PyUnicode_READY(text);
#endif
}

// The tag a dict gets anew at every change, unique in the process. Marked
// deprecated from 3.12, where dict watchers share its low bits, but still
// renewed at every change through 3.13.
inline std::uint64_t dict_version(PyObject* dict)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// One level of the recursion budget that Python frames count against
// (sys.getrecursionlimit()), taken by native code that stands for a Python
// call: 0, or -1 with RecursionError set. From 3.12 Py_EnterRecursiveCall
// counts a separate budget of C levels, so the Python one is counted here.
inline int enter_python_level(const char* where)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* thread = PyThreadState_Get();
    if (thread->py_recursion_remaining <= 0) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    --thread->py_recursion_remaining;
    return 0;
#else
    return Py_EnterRecursiveCall(where);
#endif
}

inline void leave_python_level()
{
#if PY_VERSION_HEX >= 0x030C0000
    ++PyThreadState_Get()->py_recursion_remaining;
#else
    Py_LeaveRecursiveCall();
#endif
}

// Whether enter_python_level() would succeed now.
inline bool python_level_available()
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyThreadState_Get()->py_recursion_remaining > 0;
#else
    return PyThreadState_Get()->recursion_remaining > 0;
#endif
}

}  // namespace worker::capi

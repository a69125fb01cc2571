// The OSError raised for a failed system call, and sequence snapshots.
#include "support.hpp"

#include <cerrno>
#include <cstring>

namespace containment {

PyObject* raise_os_error(const char* call, PyObject* filename, PyObject* filename2)
{
    const int error = errno;
    Ref message = Ref::take(PyUnicode_FromFormat("%s: %s", call, strerror(error)));
    if (!message) {
        return nullptr;
    }
    PyObject* first = filename != nullptr ? filename : Py_None;
    // OSError takes a second path only after the Windows error slot.
    Ref arguments = Ref::take(filename2 != nullptr ? Py_BuildValue("(iOOOO)", error, message.get(),
                                                                   first, Py_None, filename2)
                                                   : Py_BuildValue("(iOO)", error, message.get(),
                                                                   first));
    // Calling OSError picks the subclass that matches errno, as the os module does.
    Ref exception = Ref::take(arguments ? PyObject_Call(PyExc_OSError, arguments.get(), nullptr)
                                        : nullptr);
    if (exception) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    }
    return nullptr;
}

Ref sequence_snapshot(PyObject* sequence, const char* message)
{
    Ref fast = Ref::take(PySequence_Fast(sequence, message));
    if (!fast || PyTuple_CheckExact(fast.get())) {
        return fast;
    }
    return Ref::take(PyList_AsTuple(fast.get()));
}

}  // namespace containment

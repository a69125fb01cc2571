// Traceback entries for native functions: an empty code object named after
// the function and a frame around it, as the interpreter does for its own
// C-level entries.
#include "traceback_entry.hpp"

#include <frameobject.h>

namespace worker {

namespace {

PyObject* site_code(TracebackSite& site)
{
    if (site.code == nullptr) {
        Ref code = Ref::take(reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(site.file, site.qualified_name, site.line)));
        if (site.code == nullptr) {
            site.code = code.release();
        }
    }
    return site.code;
}

}  // namespace

void add_traceback_entry(TracebackSite& site)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* code = site_code(site);
    Ref globals = Ref::take(code != nullptr ? PyDict_New() : nullptr);
    Ref frame = Ref::take(globals ? reinterpret_cast<PyObject*>(PyFrame_New(
                              PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                              globals.get(), nullptr))
                                  : nullptr);
    // A failure to build the entry must not replace the exception it decorates.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace worker

// Response records and the caught-exception response.
#include "responses.hpp"

#include "globals.hpp"
#include "names.hpp"
#include "text.hpp"

namespace worker {

Ref make_record(std::initializer_list<Member> members)
{
    for (const Member& member : members) {
        if (member.second == nullptr) {
            return {};
        }
    }
    Ref record = Ref::take(PyDict_New());
    if (!record) {
        return {};
    }
    for (const Member& member : members) {
        if (PyDict_SetItem(record.get(), member.first, member.second) < 0) {
            return {};
        }
    }
    return record;
}

Ref success_response(PyObject* result)
{
    return make_record({{names::success, Py_True}, {names::result, result}});
}

Ref failure_response(PyObject* error)
{
    return make_record({{names::success, Py_False}, {names::error, error}});
}

HandledExceptionScope::HandledExceptionScope(PyObject* exception)
{
    _PyErr_StackItem* handled = PyThreadState_Get()->exc_info;
    previous_ = handled->exc_value;
    handled->exc_value = Py_NewRef(exception);
}

HandledExceptionScope::~HandledExceptionScope()
{
    _PyErr_StackItem* handled = PyThreadState_Get()->exc_info;
    PyObject* current = handled->exc_value;
    handled->exc_value = previous_;
    Py_XDECREF(current);
}

Ref fetch_exception()
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::take(value);
}

void restore_exception(Ref exception)
{
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    PyObject* traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
}

namespace {

Ref exception_text(PyObject* exception)
{
    Ref type_name = Ref::take(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(exception)), names::dunder_name));
    Ref name_text = type_name ? format_text(type_name.get()) : Ref();
    Ref text = name_text ? format_text(exception) : Ref();
    Ref format_exc = text ? lookup_global_attr(names::traceback, names::format_exc) : Ref();
    Ref formatted = format_exc ? Ref::take(PyObject_CallNoArgs(format_exc.get())) : Ref();
    Ref formatted_text = formatted ? format_text(formatted.get()) : Ref();
    if (!formatted_text) {
        return {};
    }
    return join_text({name_text.get(), names::colon_space, text.get(), names::newline,
                      formatted_text.get()});
}

}  // namespace

Ref caught_exception_response(TracebackSite& site)
{
    add_traceback_entry(site);
    Ref exception = fetch_exception();
    HandledExceptionScope handling(exception.get());
    Ref error = exception_text(exception.get());
    return error ? failure_response(error.get()) : Ref();
}

PyObject* answer_or_catch(Ref response, TracebackSite& site)
{
    if (response || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return response.release();
    }
    return caught_exception_response(site).release();
}

}  // namespace worker

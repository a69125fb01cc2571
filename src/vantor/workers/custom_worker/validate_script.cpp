// validate_script: whether source compiles, and where it fails. Nothing is
// run; only SyntaxError (and its subclasses) becomes an answer.
#include "functions.hpp"
#include "module.hpp"
#include "names.hpp"
#include "responses.hpp"
#include "text.hpp"

namespace worker {

namespace {

Ref valid_response()
{
    Ref inner = make_record({{names::valid, Py_True}, {names::message, names::script_is_valid}});
    return inner ? success_response(inner.get()) : Ref();
}

Ref syntax_error_message(PyObject* error)
{
    Ref line = Ref::take(PyObject_GetAttr(error, names::lineno));
    Ref line_text = line ? format_text(line.get()) : Ref();
    Ref message = line_text ? Ref::take(PyObject_GetAttr(error, names::msg)) : Ref();
    Ref message_text = message ? format_text(message.get()) : Ref();
    return message_text ? join_text({names::syntax_error_prefix, line_text.get(),
                                     names::colon_space, message_text.get()})
                        : Ref();
}

Ref invalid_response()
{
    Ref error = fetch_exception();
    HandledExceptionScope handling(error.get());
    Ref inner = make_record({{names::valid, Py_False}});
    Ref outer = inner ? success_response(inner.get()) : Ref();
    Ref message = outer ? syntax_error_message(error.get()) : Ref();
    if (!message || PyDict_SetItem(inner.get(), names::message, message.get()) < 0) {
        return {};
    }
    Ref line = Ref::take(PyObject_GetAttr(error.get(), names::lineno));
    if (!line || PyDict_SetItem(inner.get(), names::line, line.get()) < 0) {
        return {};
    }
    Ref offset = Ref::take(PyObject_GetAttr(error.get(), names::offset));
    if (!offset || PyDict_SetItem(inner.get(), names::offset, offset.get()) < 0) {
        return {};
    }
    return outer;
}

PyObject* validate_script_body(PyObject* const* arguments)
{
    PyObject* compile_arguments[] = {arguments[0], names::validation_file, names::exec_mode};
    Ref code = Ref::take(PyObject_Vectorcall(kept_compile(), compile_arguments, 3, nullptr));
    if (code) {
        return valid_response().release();
    }
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) {
        return nullptr;
    }
    return invalid_response().release();
}

const Parameter validate_script_parameters[] = {{&names::code, Accepts::exact_str, "str"}};

}  // namespace

FunctionDef validate_script_function = {
    "validate_script",
    "Validate that code is syntactically correct Python.",
    validate_script_parameters,
    1,
    1,
    "dict",
    validate_script_body,
    {"vantor.workers.custom_worker.validate_script", "custom_worker/validate_script.cpp", __LINE__},
};

}  // namespace worker

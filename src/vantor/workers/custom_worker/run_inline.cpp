// run_inline: a string of source run in a fresh namespace with its output
// captured; the code's global `result` is the answer's return value.
#include "execution.hpp"
#include "functions.hpp"
#include "names.hpp"
#include "responses.hpp"

namespace worker {

namespace {

Ref run_captured(PyObject* code, PyObject* args)
{
    OutputCapture capture;
    if (capture.install() < 0) {
        return {};
    }
    Ref namespace_ = new_script_namespace(nullptr, args);
    if (!namespace_ || compile_and_run(code, names::inline_file, namespace_.get()) < 0) {
        return capture.finish(Ref());
    }
    PyObject* result = PyDict_GetItemWithError(namespace_.get(), names::result);
    if (result == nullptr && PyErr_Occurred()) {
        return capture.finish(Ref());
    }
    Ref owned_result = Ref::retain(result != nullptr ? result : Py_None);
    return capture.finish(captured_success_response(capture, owned_result.get()));
}

PyObject* run_inline_body(PyObject* const* arguments)
{
    return answer_or_catch(run_captured(arguments[0], arguments[1]), run_inline_function.site);
}

const Parameter run_inline_parameters[] = {
    {&names::code, Accepts::exact_str, "str"},
    {&names::args, Accepts::dict_or_none, "dict | None"},
};

}  // namespace

FunctionDef run_inline_function = {
    "run_inline",
    "Execute inline Python code.",
    run_inline_parameters,
    2,
    1,
    "dict",
    run_inline_body,
    {"vantor.workers.custom_worker.run_inline", "custom_worker/run_inline.cpp", __LINE__},
};

}  // namespace worker

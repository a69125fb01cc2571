// run_script: a script file run in a fresh namespace with its output
// captured; a callable `main`, else the global `result`, is the answer's
// return value.
#include "execution.hpp"
#include "functions.hpp"
#include "names.hpp"
#include "responses.hpp"
#include "script_path.hpp"

namespace worker {

namespace {

// p.read_text(encoding="utf-8")
Ref read_source(PyObject* resolved)
{
    PyObject* arguments[] = {resolved, names::utf_8};
    return Ref::take(PyObject_VectorcallMethod(names::read_text, arguments,
                                               1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                               names::encoding_keyword));
}

// main(args) or main() when the script defines a callable main; else its
// global `result`; else None.
Ref script_result(PyObject* namespace_, PyObject* args)
{
    PyObject* main = PyDict_GetItemWithError(namespace_, names::main);
    if (main != nullptr && PyCallable_Check(main)) {
        Ref callee = Ref::retain(main);
        bool with_args = args != Py_None && PyDict_GET_SIZE(args) > 0;
        return Ref::take(with_args ? PyObject_CallOneArg(callee.get(), args)
                                   : PyObject_CallNoArgs(callee.get()));
    }
    if (main == nullptr && PyErr_Occurred()) {
        return {};
    }
    PyObject* result = PyDict_GetItemWithError(namespace_, names::result);
    if (result == nullptr && PyErr_Occurred()) {
        return {};
    }
    return Ref::retain(result != nullptr ? result : Py_None);
}

Ref run_captured(PyObject* resolved, PyObject* args)
{
    OutputCapture capture;
    if (capture.install() < 0) {
        return {};
    }
    Ref file = Ref::take(PyObject_Str(resolved));
    Ref namespace_ = file ? new_script_namespace(file.get(), args) : Ref();
    Ref source = namespace_ ? read_source(resolved) : Ref();
    Ref filename = source ? Ref::take(PyObject_Str(resolved)) : Ref();
    if (!filename || compile_and_run(source.get(), filename.get(), namespace_.get()) < 0) {
        return capture.finish(Ref());
    }
    Ref result = script_result(namespace_.get(), args);
    if (!result) {
        return capture.finish(Ref());
    }
    return capture.finish(captured_success_response(capture, result.get()));
}

Ref run_script_guarded(PyObject* path, PyObject* args)
{
    Ref not_found;
    Ref resolved = resolve_existing_script(path, not_found);
    if (!resolved) {
        return not_found;
    }
    return run_captured(resolved.get(), args);
}

PyObject* run_script_body(PyObject* const* arguments)
{
    return answer_or_catch(run_script_guarded(arguments[0], arguments[1]),
                           run_script_function.site);
}

const Parameter run_script_parameters[] = {
    {&names::path, Accepts::exact_str, "str"},
    {&names::args, Accepts::dict_or_none, "dict | None"},
};

}  // namespace

FunctionDef run_script_function = {
    "run_script",
    "Execute a Python script file and capture its output.",
    run_script_parameters,
    2,
    1,
    "dict",
    run_script_body,
    {"vantor.workers.custom_worker.run_script", "custom_worker/run_script.cpp", __LINE__},
};

}  // namespace worker

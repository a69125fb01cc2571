// Running source in a fresh namespace, shared by run_script and run_inline.
#include "execution.hpp"

#include "globals.hpp"
#include "module.hpp"
#include "names.hpp"
#include "responses.hpp"
#include "serialize.hpp"

namespace worker {

Ref new_script_namespace(PyObject* file, PyObject* args)
{
    Ref builtins = lookup_global(names::dunder_builtins);
    if (!builtins) {
        return {};
    }
    Ref script_args = args != Py_None && PyDict_GET_SIZE(args) > 0
                          ? Ref::retain(args)
                          : Ref::take(PyDict_New());
    if (file == nullptr) {
        return make_record({{names::dunder_name, names::dunder_main},
                            {names::dunder_builtins, builtins.get()},
                            {names::args, script_args.get()}});
    }
    return make_record({{names::dunder_name, names::dunder_main},
                        {names::dunder_file, file},
                        {names::dunder_builtins, builtins.get()},
                        {names::args, script_args.get()}});
}

int compile_and_run(PyObject* source, PyObject* filename, PyObject* namespace_)
{
    PyObject* arguments[] = {source, filename, names::exec_mode};
    Ref code = Ref::take(PyObject_Vectorcall(kept_compile(), arguments, 3, nullptr));
    if (!code) {
        return -1;
    }
    if (!PyCode_Check(code.get())) {
        PyErr_SetString(PyExc_TypeError, "exec() arg 1 must be a string, bytes or code object");
        return -1;
    }
    Ref outcome = Ref::take(PyEval_EvalCode(code.get(), namespace_, namespace_));
    return outcome ? 0 : -1;
}

Ref captured_success_response(const OutputCapture& capture, PyObject* result)
{
    Ref output = Ref::take(PyObject_CallMethodNoArgs(capture.output_buffer(), names::getvalue));
    if (!output) {
        return {};
    }
    Ref errors = Ref::take(PyObject_CallMethodNoArgs(capture.error_buffer(), names::getvalue));
    if (!errors) {
        return {};
    }
    Ref value = serialize_through_global(result);
    Ref inner = make_record({{names::output, output.get()},
                             {names::errors, errors.get()},
                             {names::return_value, value.get()}});
    return inner ? success_response(inner.get()) : Ref();
}

}  // namespace worker

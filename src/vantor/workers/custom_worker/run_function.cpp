// run_function: a script file loaded as a fresh module named "custom_module"
// and one of its functions called with keyword arguments. Nothing is
// captured: what the script prints goes to the current sys.stdout.
#include "functions.hpp"
#include "globals.hpp"
#include "names.hpp"
#include "responses.hpp"
#include "script_path.hpp"
#include "serialize.hpp"
#include "text.hpp"

namespace worker {

namespace {

Ref call_importlib_util(PyObject* function_name, PyObject* const* arguments, size_t count)
{
    Ref util = lookup_global_attr(names::importlib, names::util);
    Ref function = util ? Ref::take(PyObject_GetAttr(util.get(), function_name)) : Ref();
    return function ? Ref::take(PyObject_Vectorcall(function.get(), arguments, count, nullptr))
                    : Ref();
}

// The import spec for the script, or None when it cannot be loaded: a false one or
// a false spec.loader.
Ref loadable_spec(PyObject* resolved)
{
    Ref location = Ref::take(PyObject_Str(resolved));
    if (!location) {
        return {};
    }
    PyObject* arguments[] = {names::custom_module, location.get()};
    Ref spec = call_importlib_util(names::spec_from_file_location, arguments, 2);
    if (!spec) {
        return {};
    }
    int usable = PyObject_IsTrue(spec.get());
    if (usable > 0) {
        Ref loader = Ref::take(PyObject_GetAttr(spec.get(), names::loader));
        usable = loader ? PyObject_IsTrue(loader.get()) : -1;
    }
    if (usable < 0) {
        return {};
    }
    return usable ? std::move(spec) : Ref::retain(Py_None);
}

// module_from_spec(spec), then spec.loader.exec_module(module).
Ref load_module(PyObject* spec)
{
    PyObject* spec_argument[] = {spec};
    Ref module = call_importlib_util(names::module_from_spec, spec_argument, 1);
    if (!module) {
        return {};
    }
    Ref loader = Ref::take(PyObject_GetAttr(spec, names::loader));
    Ref done = loader ? Ref::take(PyObject_CallMethodOneArg(loader.get(), names::exec_module,
                                                            module.get()))
                      : Ref();
    return done ? std::move(module) : Ref();
}

// 1 if `name` starts with "_", 0 if not, -1 on error.
int is_private_name(PyObject* name)
{
    if (PyUnicode_CheckExact(name)) {
        return PyUnicode_Tailmatch(name, names::underscore, 0, PY_SSIZE_T_MAX, -1) > 0;
    }
    Ref starts = Ref::take(PyObject_CallMethodOneArg(name, names::startswith, names::underscore));
    return starts ? PyObject_IsTrue(starts.get()) : -1;
}

// The public callables of the module, in dir() order.
Ref available_names(PyObject* module)
{
    Ref listed = Ref::take(PyObject_Dir(module));
    Ref available = Ref::take(listed ? PyList_New(0) : nullptr);
    if (!available) {
        return {};
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) {
        Ref name = Ref::retain(PyList_GET_ITEM(listed.get(), i));
        Ref value = Ref::take(PyObject_GetAttr(module, name.get()));
        if (!value) {
            return {};
        }
        if (!PyCallable_Check(value.get())) {
            continue;
        }
        int hidden = is_private_name(name.get());
        if (hidden < 0 || (!hidden && PyList_Append(available.get(), name.get()) < 0)) {
            return {};
        }
    }
    return available;
}

Ref missing_function_response(PyObject* module, PyObject* function_name)
{
    Ref available = available_names(module);
    Ref listing = available ? format_text(available.get()) : Ref();
    Ref error = listing ? join_text({names::function_quote, function_name,
                                     names::not_found_available, listing.get()})
                        : Ref();
    return error ? failure_response(error.get()) : Ref();
}

Ref message_response(std::initializer_list<PyObject*> parts)
{
    Ref error = join_text(parts);
    return error ? failure_response(error.get()) : Ref();
}

// func(**args) with a copy of a non-empty args, else func().
Ref call_with_args(PyObject* function, PyObject* args)
{
    if (args == Py_None || PyDict_GET_SIZE(args) == 0) {
        return Ref::take(PyObject_CallNoArgs(function));
    }
    Ref keywords = Ref::take(PyDict_Copy(args));
    Ref no_positional = Ref::take(keywords ? PyTuple_New(0) : nullptr);
    return no_positional ? Ref::take(PyObject_Call(function, no_positional.get(), keywords.get()))
                         : Ref();
}

Ref call_in_module(PyObject* module, PyObject* function_name, PyObject* args)
{
    PyObject* found = nullptr;
    if (capi::lookup_optional_attr(module, function_name, &found) < 0) {
        return {};
    }
    Ref function = Ref::take(found != nullptr ? found : Py_NewRef(Py_None));
    int present = PyObject_IsTrue(function.get());
    if (present <= 0) {
        return present == 0 ? missing_function_response(module, function_name) : Ref();
    }
    if (!PyCallable_Check(function.get())) {
        return message_response({names::quote, function_name, names::is_not_callable});
    }
    Ref result = call_with_args(function.get(), args);
    Ref value = result ? serialize_through_global(result.get()) : Ref();
    Ref inner = value ? make_record({{names::return_value, value.get()}}) : Ref();
    return inner ? success_response(inner.get()) : Ref();
}

Ref run_function_guarded(PyObject* path, PyObject* function_name, PyObject* args)
{
    Ref not_found;
    Ref resolved = resolve_existing_script(path, not_found);
    if (!resolved) {
        return not_found;
    }
    Ref spec = loadable_spec(resolved.get());
    if (!spec) {
        return {};
    }
    if (spec.get() == Py_None) {
        return message_response({names::cannot_load_prefix, path});
    }
    Ref module = load_module(spec.get());
    return module ? call_in_module(module.get(), function_name, args) : Ref();
}

PyObject* run_function_body(PyObject* const* arguments)
{
    return answer_or_catch(run_function_guarded(arguments[0], arguments[1], arguments[2]),
                           run_function_function.site);
}

const Parameter run_function_parameters[] = {
    {&names::path, Accepts::exact_str, "str"},
    {&names::function_name, Accepts::exact_str, "str"},
    {&names::args, Accepts::dict_or_none, "dict | None"},
};

}  // namespace

FunctionDef run_function_function = {
    "run_function",
    "Execute a specific function from a Python script.",
    run_function_parameters,
    3,
    2,
    "dict",
    run_function_body,
    {"vantor.workers.custom_worker.run_function", "custom_worker/run_function.cpp", __LINE__},
};

}  // namespace worker

// The module definition and start-up: multi-phase initialisation with one
// interpreter and one executed module object per process, the globals bound
// in their fixed order, and the run-as-main hook.
#include "module.hpp"

#include "function.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "names.hpp"
#include "responses.hpp"

namespace worker {

namespace {

const char module_doc[] =
    "Custom Worker \u2014 executes dynamically-created tool scripts in a subprocess.\n"
    "\n"
    "Protocol: JSON over stdin/stdout (one line per message).\n"
    "\n"
    "This worker is used when Orsela creates new tools at runtime. It:\n"
    "  1. Receives a script path or inline code\n"
    "  2. Executes it in an isolated namespace\n"
    "  3. Returns the result\n"
    "\n"
    "Supported actions:\n"
    "  - run_script: Execute a Python script file\n"
    "  - run_inline: Execute inline Python code\n"
    "  - run_function: Execute a specific function from a script\n"
    "  - validate: Check if a script is valid Python\n"
    "  - quit: Shut down the worker\n";

const char qualified_module_name[] = "vantor.workers.custom_worker";

// Process-wide: the module may live in one interpreter, and one module object
// is executed once. Everything here is kept for the life of the process.
bool interpreter_recorded = false;
int64_t module_interpreter = -1;
PyObject* executed_module = nullptr;
PyObject* builtins_module = nullptr;
PyObject* compile_builtin = nullptr;
PyObject* serialize_object = nullptr;

// ---- create step ----------------------------------------------------------

int check_interpreter()
{
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return -1;
    }
    if (!interpreter_recorded) {
        interpreter_recorded = true;
        module_interpreter = id;
    } else if (id != module_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

int copy_spec_attribute(PyObject* spec, PyObject* namespace_, const char* from, const char* to,
                        bool allow_none)
{
    PyObject* value = nullptr;
    Ref name = Ref::take(PyUnicode_FromString(from));
    if (!name || capi::lookup_optional_attr(spec, name.get(), &value) < 0) {
        return -1;
    }
    Ref owned = Ref::take(value);
    if (!owned || (!allow_none && owned.get() == Py_None)) {
        return 0;
    }
    return PyDict_SetItemString(namespace_, to, owned.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*)
{
    if (check_interpreter() < 0) {
        return nullptr;
    }
    if (executed_module != nullptr) {
        return Py_NewRef(executed_module);
    }
    Ref name = Ref::take(PyObject_GetAttrString(spec, "name"));
    Ref module = Ref::take(name ? PyModule_NewObject(name.get()) : nullptr);
    if (!module) {
        return nullptr;
    }
    PyObject* namespace_ = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, namespace_, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, namespace_, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, namespace_, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, namespace_, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---- execute step ---------------------------------------------------------

int warn_on_other_version()
{
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified_module_name,
                            "does not match", major, minor);
}

// Set when the execute step itself added the sys.modules entry, so that a
// failed execution can take it out again.
bool registered_by_execution = false;

int register_in_sys_modules(PyObject* module)
{
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, names::qualified_module_name);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    if (PyDict_SetItem(modules, names::qualified_module_name, module) < 0) {
        return -1;
    }
    registered_by_execution = true;
    return 0;
}

// Removes the entry that a failed execution added, if it still maps to
// `module`, so that a later import creates and executes a fresh module.
void unregister_failed(PyObject* module)
{
    if (!registered_by_execution) {
        return;
    }
    registered_by_execution = false;
    // The import fails with `error` whatever happens here.
    Ref error = fetch_exception();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemWithError(modules, names::qualified_module_name);
    if (entry == module) {
        PyDict_DelItem(modules, names::qualified_module_name);
    }
    PyErr_Clear();
    restore_exception(std::move(error));
}

int keep_compile()
{
    PyObject* found = nullptr;
    if (capi::lookup_optional_attr(builtins_module, names::compile, &found) < 0) {
        return -1;
    }
    if (found == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", names::compile);
        return -1;
    }
    Py_XSETREF(compile_builtin, found);
    return 0;
}

int bind(PyObject* namespace_, PyObject* name, Ref value)
{
    return value ? PyDict_SetItem(namespace_, name, value.get()) : -1;
}

// import <module>: binds the top-level package under `name`.
int bind_import(PyObject* namespace_, PyObject* name, PyObject* module_name)
{
    return bind(namespace_, name,
                Ref::take(PyImport_ImportModuleLevelObject(module_name, namespace_, nullptr,
                                                           nullptr, 0)));
}

// from <module_name> import <name>
int bind_from_import(PyObject* namespace_, PyObject* module_name, PyObject* name)
{
    Ref fromlist = Ref::take(PyTuple_Pack(1, name));
    Ref module = Ref::take(fromlist ? PyImport_ImportModuleLevelObject(module_name, namespace_,
                                                                       nullptr, fromlist.get(), 0)
                                    : nullptr);
    if (!module) {
        return -1;
    }
    PyObject* value = nullptr;
    if (capi::lookup_optional_attr(module.get(), name, &value) < 0) {
        return -1;
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", name, module_name);
        return -1;
    }
    return bind(namespace_, name, Ref::take(value));
}

int bind_imports(PyObject* namespace_)
{
    if (bind_import(namespace_, names::importlib, names::importlib_util) < 0 ||
        bind_import(namespace_, names::json, names::json) < 0 ||
        bind_import(namespace_, names::os, names::os) < 0 ||
        bind_import(namespace_, names::signal, names::signal) < 0 ||
        bind_import(namespace_, names::sys, names::sys) < 0 ||
        bind_import(namespace_, names::traceback, names::traceback) < 0) {
        return -1;
    }
    if (bind_from_import(namespace_, names::io, names::StringIO) < 0) {
        return -1;
    }
    return bind_from_import(namespace_, names::pathlib, names::Path);
}

int bind_functions(PyObject* namespace_)
{
    FunctionDef* functions[] = {&run_script_function,      &run_inline_function,
                                &run_function_function,    &validate_script_function,
                                &serialize_function,       &handle_command_function,
                                &main_function};
    for (FunctionDef* def : functions) {
        Ref function = make_function(*def);
        if (!function) {
            return -1;
        }
        if (def == &serialize_function) {
            Py_XSETREF(serialize_object, Py_NewRef(function.get()));
        }
        Ref name = Ref::take(PyUnicode_InternFromString(def->name));
        if (!name || bind(namespace_, name.get(), std::move(function)) < 0) {
            return -1;
        }
    }
    return 0;
}

// When executed as the main module, the module serves requests right away.
int run_as_main()
{
    Ref name = lookup_global(names::dunder_name);
    int is_main = name ? PyObject_RichCompareBool(name.get(), names::dunder_main, Py_EQ) : -1;
    if (is_main <= 0) {
        return is_main;
    }
    Ref main = lookup_global(names::main);
    Ref outcome = Ref::take(main ? PyObject_CallNoArgs(main.get()) : nullptr);
    return outcome ? 0 : -1;
}

int execute(PyObject* module)
{
    if (names::intern_all() < 0 || ready_function_type() < 0) {
        return -1;
    }
    if (builtins_module == nullptr) {
        builtins_module = PyImport_ImportModule("builtins");
        if (builtins_module == nullptr) {
            return -1;
        }
    }
    PyObject* namespace_ = PyModule_GetDict(module);
    set_global_namespaces(namespace_, PyModule_GetDict(builtins_module));
    if (PyDict_SetItem(namespace_, names::dunder_builtins, builtins_module) < 0 ||
        warn_on_other_version() < 0 || register_in_sys_modules(module) < 0 ||
        keep_compile() < 0 || bind_imports(namespace_) < 0 || bind_functions(namespace_) < 0 ||
        run_as_main() < 0) {
        return -1;
    }
    return bind(namespace_, names::dunder_test, Ref::take(PyDict_New()));
}

int exec_module(PyObject* module)
{
    if (executed_module != nullptr) {
        if (module == executed_module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'custom_worker' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    executed_module = Py_NewRef(module);
    registered_by_execution = false;
    if (execute(module) < 0) {
        // A failed execution is forgotten: the next import starts afresh.
        unregister_failed(module);
        Py_CLEAR(executed_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "custom_worker",
    module_doc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* kept_compile()
{
    return compile_builtin;
}

bool is_own_serialize(PyObject* object)
{
    return object == serialize_object;
}

}  // namespace worker

PyMODINIT_FUNC PyInit_custom_worker(void)
{
    return PyModuleDef_Init(&worker::module_def);
}

// Script path resolution shared by run_script and run_function.
#include "script_path.hpp"

#include "globals.hpp"
#include "names.hpp"
#include "responses.hpp"

namespace worker {

Ref resolve_script_path(PyObject* path)
{
    Ref path_type = lookup_global(names::Path);
    if (!path_type) {
        return {};
    }
    Ref given = Ref::take(PyObject_CallOneArg(path_type.get(), path));
    if (!given) {
        return {};
    }
    Ref expanded = Ref::take(PyObject_CallMethodNoArgs(given.get(), names::expanduser));
    if (!expanded) {
        return {};
    }
    return Ref::take(PyObject_CallMethodNoArgs(expanded.get(), names::resolve));
}

int script_path_exists(PyObject* resolved)
{
    Ref exists = Ref::take(PyObject_CallMethodNoArgs(resolved, names::exists));
    return exists ? PyObject_IsTrue(exists.get()) : -1;
}

Ref script_not_found_response(PyObject* path)
{
    Ref error = Ref::take(PyUnicode_FromFormat("Script not found: %U", path));
    return error ? failure_response(error.get()) : Ref();
}

}  // namespace worker

// Script path resolution shared by run_script and run_function.
#include "script_path.hpp"

#include "globals.hpp"
#include "names.hpp"
#include "responses.hpp"
#include "text.hpp"

namespace worker {

namespace {

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

}  // namespace

Ref resolve_existing_script(PyObject* path, Ref& not_found)
{
    Ref resolved = resolve_script_path(path);
    Ref exists = Ref::take(resolved ? PyObject_CallMethodNoArgs(resolved.get(), names::exists)
                                    : nullptr);
    int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found > 0) {
        return resolved;
    }
    if (found == 0) {
        Ref error = join_text({names::script_not_found_prefix, path});
        not_found = error ? failure_response(error.get()) : Ref();
    }
    return {};
}

}  // namespace worker

// handle_command: one decoded request turned into its response. "quit" is
// answered here; the four working actions go to their handlers, found by
// name among the module globals when the route runs.
#include <iterator>

#include "functions.hpp"
#include "globals.hpp"
#include "names.hpp"
#include "responses.hpp"
#include "text.hpp"

namespace worker {

namespace {

// A request member read as dict.get(name, fallback) reads it.
struct Member {
    PyObject* const* name;
    PyObject* const* fallback;  // nullptr: None
};

struct Route {
    PyObject* const* action;
    PyObject* const* handler;
    Member members[3];
    int member_count;
    TracebackSite site;
};

Route routes[] = {
    {&names::run_script,
     &names::run_script,
     {{&names::path, &names::empty}, {&names::args, nullptr}},
     2,
     {"vantor.workers.custom_worker.handle_command.lambda", "custom_worker/routing.cpp", __LINE__}},
    {&names::run_inline,
     &names::run_inline,
     {{&names::code, &names::empty}, {&names::args, nullptr}},
     2,
     {"vantor.workers.custom_worker.handle_command.lambda1", "custom_worker/routing.cpp",
      __LINE__}},
    {&names::run_function,
     &names::run_function,
     {{&names::path, &names::empty}, {&names::function, &names::main}, {&names::args, nullptr}},
     3,
     {"vantor.workers.custom_worker.handle_command.lambda2", "custom_worker/routing.cpp",
      __LINE__}},
    {&names::validate,
     &names::validate_script,
     {{&names::code, &names::empty}},
     1,
     {"vantor.workers.custom_worker.handle_command.lambda3", "custom_worker/routing.cpp",
      __LINE__}},
};

// action -> index into `routes`; looking an action up here hashes and
// compares it exactly as a lookup in a dict of the four actions does.
PyObject* route_table = nullptr;

int build_route_table()
{
    Ref table = Ref::take(PyDict_New());
    if (!table) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(routes)); ++i) {
        Ref index = Ref::take(PyLong_FromSsize_t(i));
        if (!index || PyDict_SetItem(table.get(), *routes[i].action, index.get()) < 0) {
            return -1;
        }
    }
    // Building the table may run a collection that asked for it meanwhile.
    if (route_table == nullptr) {
        route_table = table.release();
    }
    return 0;
}

Ref read_member(PyObject* cmd, const Member& member)
{
    PyObject* value = PyDict_GetItemWithError(cmd, *member.name);
    if (value == nullptr && !PyErr_Occurred()) {
        value = member.fallback != nullptr ? *member.fallback : Py_None;
    }
    return Ref::retain(value);
}

Ref call_route(const Route& route, PyObject* cmd)
{
    Ref handler = lookup_global(*route.handler);
    if (!handler) {
        return {};
    }
    Ref values[3];
    PyObject* arguments[3];
    for (int i = 0; i < route.member_count; ++i) {
        values[i] = read_member(cmd, route.members[i]);
        if (!values[i]) {
            return {};
        }
        arguments[i] = values[i].get();
    }
    return Ref::take(PyObject_Vectorcall(handler.get(), arguments, route.member_count, nullptr));
}

Ref run_route(Route& route, PyObject* cmd)
{
    Ref response = call_route(route, cmd);
    if (!response) {
        add_traceback_entry(route.site);
        return {};
    }
    if (response.get() != Py_None && !PyDict_Check(response.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                     Py_TYPE(response.get())->tp_name);
        return {};
    }
    return response;
}

Ref unknown_action_response(PyObject* action)
{
    Ref text = format_text(action);
    Ref error = text ? join_text({names::unknown_action_prefix, text.get()}) : Ref();
    return error ? failure_response(error.get()) : Ref();
}

PyObject* handle_command_body(PyObject* const* arguments)
{
    PyObject* cmd = arguments[0];
    PyObject* found = PyDict_GetItemWithError(cmd, names::action);
    if (found == nullptr && PyErr_Occurred()) {
        return nullptr;
    }
    Ref action = Ref::retain(found != nullptr ? found : names::empty);
    int quit = PyObject_RichCompareBool(action.get(), names::quit, Py_EQ);
    if (quit != 0) {
        return quit > 0 ? success_response(names::goodbye).release() : nullptr;
    }
    if (route_table == nullptr && build_route_table() < 0) {
        return nullptr;
    }
    PyObject* index = PyDict_GetItemWithError(route_table, action.get());
    if (index == nullptr) {
        return PyErr_Occurred() ? nullptr : unknown_action_response(action.get()).release();
    }
    return run_route(routes[PyLong_AsSsize_t(index)], cmd).release();
}

const Parameter handle_command_parameters[] = {{&names::cmd, Accepts::exact_dict, "dict"}};

}  // namespace

FunctionDef handle_command_function = {
    "handle_command",
    "Route a command to the appropriate handler.",
    handle_command_parameters,
    1,
    1,
    "dict",
    handle_command_body,
    {"vantor.workers.custom_worker.handle_command", "custom_worker/routing.cpp", __LINE__},
};

}  // namespace worker

// Response records shared by the handlers, and the caught-exception response
// that run_script, run_inline and run_function answer with.
#pragma once

#include <initializer_list>
#include <utility>

#include "ref.hpp"
#include "traceback_entry.hpp"

namespace worker {

using Member = std::pair<PyObject*, PyObject*>;

// A new dict holding `members` in order. A null value means its creation
// failed (exception set); the record is then null as well.
Ref make_record(std::initializer_list<Member> members);

// {"success": True, "result": result}
Ref success_response(PyObject* result);
// {"success": False, "error": error}
Ref failure_response(PyObject* error);

// Makes `exception` the one being handled (what sys.exception() and
// traceback.format_exc() see) for the life of the scope, as an except
// clause does; exceptions raised meanwhile take it as their context.
class HandledExceptionScope {
public:
    explicit HandledExceptionScope(PyObject* exception);
    ~HandledExceptionScope();
    HandledExceptionScope(const HandledExceptionScope&) = delete;
    HandledExceptionScope& operator=(const HandledExceptionScope&) = delete;

private:
    PyObject* previous_;
};

// The exception being raised, normalised and with its traceback attached.
// Clears the error indicator.
Ref fetch_exception();

// Raises `exception` again, with its traceback.
void restore_exception(Ref exception);

// Catches the exception being raised (the caller has checked that it derives
// from Exception): adds the handler's entry `site` to its traceback and
// returns {"success": False, "error": "<type>: <text>\n<traceback>"}. If that
// text cannot be built, returns null with the new exception set, whose
// context is the caught one.
Ref caught_exception_response(TracebackSite& site);

// The `except Exception` of a handler: passes `response` on, turns a raised
// Exception into the caught-exception response, and lets anything else
// (SystemExit, KeyboardInterrupt, ...) propagate.
PyObject* answer_or_catch(Ref response, TracebackSite& site);

}  // namespace worker

// Traceback entries that name the worker's own functions, so that a traceback
// through (or caught in) native code still shows who was on the way.
#pragma once

#include "ref.hpp"

namespace worker {

// Where an entry points: the qualified function name, a source file and the
// line of the function's definition there. The code object is made once.
struct TracebackSite {
    const char* qualified_name;
    const char* file;
    int line;
    PyObject* code = nullptr;
};

// Puts an entry for `site` at the head of the traceback of the exception
// that is currently raised. Keeps the exception raised; if the entry cannot
// be made, the exception stays as it was.
void add_traceback_entry(TracebackSite& site);

}  // namespace worker

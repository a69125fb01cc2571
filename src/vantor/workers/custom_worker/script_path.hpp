// Script paths as run_script and run_function take them: Path(path)
// expanded and resolved, tested for existence, and the not-found answer.
#pragma once

#include "ref.hpp"

namespace worker {

// Path(path).expanduser().resolve() through the module global `Path`, if
// that exists. Otherwise null, with either `not_found` set to
// {"success": False, "error": "Script not found: <path as received>"} or an
// exception raised.
Ref resolve_existing_script(PyObject* path, Ref& not_found);

}  // namespace worker

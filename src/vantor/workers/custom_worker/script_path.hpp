// Script paths as run_script and run_function take them: Path(path)
// expanded and resolved, tested for existence, and the not-found answer.
#pragma once

#include "ref.hpp"

namespace worker {

// Path(path).expanduser().resolve() through the module global `Path`.
Ref resolve_script_path(PyObject* path);

// bool(p.exists()): 1, 0, or -1 with an exception set.
int script_path_exists(PyObject* resolved);

// {"success": False, "error": "Script not found: <path as received>"}
Ref script_not_found_response(PyObject* path);

}  // namespace worker

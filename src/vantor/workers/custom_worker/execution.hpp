// What run_script and run_inline share: the script namespace, compiling with
// the kept compile, running code in a namespace, and the success response
// built from the capture buffers.
#pragma once

#include "capture.hpp"
#include "ref.hpp"

namespace worker {

// {"__name__": "__main__", ["__file__": file,] "__builtins__": <global>,
//  "args": args if it is a non-empty dict, else a new dict}
Ref new_script_namespace(PyObject* file, PyObject* args);

// compile(source, filename, "exec") with the kept compile, then the code
// run with `namespace` as its globals and locals. 0, or -1 with an
// exception set.
int compile_and_run(PyObject* source, PyObject* filename, PyObject* namespace_);

// {"success": True, "result": {"output": ..., "errors": ...,
//  "return_value": _serialize(result)}}, read while the capture is installed.
Ref captured_success_response(const OutputCapture& capture, PyObject* result);

}  // namespace worker

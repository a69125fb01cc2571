// Interned strings: every attribute name, request or response member and
// fixed text the worker uses, created once when the module is executed and
// kept for the life of the process.
#pragma once

#include "ref.hpp"

#define WORKER_NAMES(X)                                              \
    X(empty, "")                                                     \
    X(newline, "\n")                                                 \
    X(colon_space, ": ")                                             \
    X(underscore, "_")                                               \
    X(dunder_builtins, "__builtins__")                               \
    X(dunder_name, "__name__")                                       \
    X(dunder_main, "__main__")                                       \
    X(dunder_file, "__file__")                                       \
    X(dunder_test, "__test__")                                       \
    X(qualified_module_name, "vantor.workers.custom_worker")         \
    X(importlib, "importlib")                                        \
    X(importlib_util, "importlib.util")                              \
    X(json, "json")                                                  \
    X(os, "os")                                                      \
    X(environ, "environ")                                            \
    X(pop, "pop")                                                    \
    X(answer_fd_variable, "VANTOR_WORKER_ANSWER_FD")                 \
    X(greeted_variable, "VANTOR_WORKER_GREETED")                     \
    X(signal, "signal")                                              \
    X(sys, "sys")                                                    \
    X(traceback, "traceback")                                        \
    X(io, "io")                                                      \
    X(pathlib, "pathlib")                                            \
    X(StringIO, "StringIO")                                          \
    X(Path, "Path")                                                  \
    X(run_script, "run_script")                                      \
    X(run_inline, "run_inline")                                      \
    X(run_function, "run_function")                                  \
    X(validate_script, "validate_script")                            \
    X(validate, "validate")                                          \
    X(serialize, "_serialize")                                       \
    X(handle_command, "handle_command")                              \
    X(main, "main")                                                  \
    X(compile, "compile")                                            \
    X(stdout_, "stdout")                                             \
    X(stderr_, "stderr")                                             \
    X(stdin_, "stdin")                                               \
    X(write, "write")                                                \
    X(flush, "flush")                                                \
    X(loads, "loads")                                                \
    X(dumps, "dumps")                                                \
    X(JSONDecodeError, "JSONDecodeError")                            \
    X(SIGINT, "SIGINT")                                              \
    X(SIG_IGN, "SIG_IGN")                                            \
    X(strip, "strip")                                                \
    X(get, "get")                                                    \
    X(getvalue, "getvalue")                                          \
    X(expanduser, "expanduser")                                      \
    X(resolve, "resolve")                                            \
    X(exists, "exists")                                              \
    X(read_text, "read_text")                                        \
    X(encoding, "encoding")                                          \
    X(utf_8, "utf-8")                                                \
    X(format_exc, "format_exc")                                      \
    X(util, "util")                                                  \
    X(spec_from_file_location, "spec_from_file_location")            \
    X(module_from_spec, "module_from_spec")                          \
    X(loader, "loader")                                              \
    X(exec_module, "exec_module")                                    \
    X(items, "items")                                                \
    X(startswith, "startswith")                                      \
    X(lineno, "lineno")                                              \
    X(msg, "msg")                                                    \
    X(offset, "offset")                                              \
    X(action, "action")                                              \
    X(quit, "quit")                                                  \
    X(path, "path")                                                  \
    X(code, "code")                                                  \
    X(function, "function")                                          \
    X(function_name, "function_name")                                \
    X(args, "args")                                                  \
    X(obj, "obj")                                                    \
    X(cmd, "cmd")                                                    \
    X(success, "success")                                            \
    X(result, "result")                                              \
    X(error, "error")                                                \
    X(output, "output")                                              \
    X(errors, "errors")                                              \
    X(return_value, "return_value")                                  \
    X(valid, "valid")                                                \
    X(message, "message")                                            \
    X(line, "line")                                                  \
    X(inline_file, "<inline>")                                       \
    X(validation_file, "<validation>")                               \
    X(exec_mode, "exec")                                             \
    X(custom_module, "custom_module")                                \
    X(goodbye, "goodbye")                                            \
    X(script_is_valid, "Script is valid Python")                     \
    X(subclass_note, "Subclasses of built-in types are not accepted.")  \
    X(invalid_json_prefix, "Invalid JSON: ")                         \
    X(unknown_action_prefix, "Unknown action: ")                     \
    X(script_not_found_prefix, "Script not found: ")                 \
    X(cannot_load_prefix, "Cannot load module from: ")               \
    X(syntax_error_prefix, "Syntax error at line ")                  \
    X(function_quote, "Function '")                                  \
    X(not_found_available, "' not found. Available: ")               \
    X(quote, "'")                                                    \
    X(is_not_callable, "' is not callable")

namespace worker::names {

#define WORKER_DECLARE_NAME(id, text) extern PyObject* id;
WORKER_NAMES(WORKER_DECLARE_NAME)
#undef WORKER_DECLARE_NAME

// ("encoding",): the keyword names of p.read_text(encoding="utf-8").
extern PyObject* encoding_keyword;

// Creates the strings on first use; later calls do nothing.
int intern_all();

}  // namespace worker::names

// The module's seven functions, each defined by the file of its role.
#pragma once

#include "function.hpp"

namespace worker {

extern FunctionDef run_script_function;
extern FunctionDef run_inline_function;
extern FunctionDef run_function_function;
extern FunctionDef validate_script_function;
extern FunctionDef serialize_function;
extern FunctionDef handle_command_function;
extern FunctionDef main_function;

}  // namespace worker

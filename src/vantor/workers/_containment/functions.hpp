// The function tables of the role files, which the module definition adds
// to the module.
#pragma once

#include "support.hpp"

namespace containment {

extern PyMethodDef namespace_functions[];
extern PyMethodDef mount_functions[];
extern PyMethodDef privilege_functions[];
extern PyMethodDef landlock_functions[];
extern PyMethodDef seccomp_functions[];
extern PyMethodDef memory_functions[];
extern PyMethodDef ipc_functions[];

}  // namespace containment

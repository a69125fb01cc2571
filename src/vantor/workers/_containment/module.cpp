// The module definition: multi-phase initialisation, the integer constants
// that the primitives take, and the table of the role files' functions.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>

#include <cstdint>

#include "functions.hpp"
#include "landlock.hpp"

namespace containment {

namespace {

const char module_doc[] =
    "Linux system calls for confining worker processes that Python's standard\n"
    "library does not offer: namespaces, mounts, capabilities, Landlock,\n"
    "seccomp, and faulting in a process's own pages ahead of their use.\n"
    "\n"
    "Each function makes one step; the order of the steps is the caller's.\n"
    "A failed system call raises OSError (or the subclass its errno selects)\n"
    "with e.strerror reading \"<call>: <system text>\" and e.filename (and, for\n"
    "pivot_root, e.filename2) set to the path the call was given.\n";

struct Constant {
    const char* name;
    std::uint64_t value;
};

#define CONSTANT(name) {#name, static_cast<std::uint64_t>(name)}
const Constant constants[] = {
    CONSTANT(CLONE_NEWUSER),
    CONSTANT(CLONE_NEWPID),
    CONSTANT(CLONE_NEWNS),
    CONSTANT(CLONE_NEWNET),
    CONSTANT(CLONE_NEWIPC),
    CONSTANT(CLONE_NEWUTS),
    CONSTANT(CLONE_NEWCGROUP),
    CONSTANT(MS_RDONLY),
    CONSTANT(MS_NOSUID),
    CONSTANT(MS_NODEV),
    CONSTANT(MS_NOEXEC),
    CONSTANT(MS_BIND),
    CONSTANT(MS_REC),
    CONSTANT(MS_PRIVATE),
    CONSTANT(MS_REMOUNT),
    CONSTANT(MS_SLAVE),
    CONSTANT(MNT_DETACH),
    CONSTANT(OPEN_TREE_CLONE),
    CONSTANT(OPEN_TREE_CLOEXEC),
    CONSTANT(AT_RECURSIVE),
    CONSTANT(MOUNT_ATTR_RDONLY),
    CONSTANT(MOUNT_ATTR_NOSUID),
    CONSTANT(MOUNT_ATTR_NODEV),
    CONSTANT(MOUNT_ATTR_NOEXEC),
    CONSTANT(LANDLOCK_ACCESS_FS_EXECUTE),
    CONSTANT(LANDLOCK_ACCESS_FS_WRITE_FILE),
    CONSTANT(LANDLOCK_ACCESS_FS_READ_FILE),
    CONSTANT(LANDLOCK_ACCESS_FS_READ_DIR),
    CONSTANT(LANDLOCK_ACCESS_FS_REMOVE_DIR),
    CONSTANT(LANDLOCK_ACCESS_FS_REMOVE_FILE),
    CONSTANT(LANDLOCK_ACCESS_FS_MAKE_CHAR),
    CONSTANT(LANDLOCK_ACCESS_FS_MAKE_DIR),
    CONSTANT(LANDLOCK_ACCESS_FS_MAKE_REG),
    CONSTANT(LANDLOCK_ACCESS_FS_MAKE_SOCK),
    CONSTANT(LANDLOCK_ACCESS_FS_MAKE_FIFO),
    CONSTANT(LANDLOCK_ACCESS_FS_MAKE_BLOCK),
    CONSTANT(LANDLOCK_ACCESS_FS_MAKE_SYM),
    CONSTANT(LANDLOCK_ACCESS_FS_REFER),
    CONSTANT(LANDLOCK_ACCESS_FS_TRUNCATE),
    CONSTANT(LANDLOCK_ACCESS_FS_IOCTL_DEV),
    CONSTANT(LANDLOCK_ACCESS_NET_BIND_TCP),
    CONSTANT(LANDLOCK_ACCESS_NET_CONNECT_TCP),
    CONSTANT(LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET),
    CONSTANT(LANDLOCK_SCOPE_SIGNAL),
};
#undef CONSTANT

PyMethodDef* const function_tables[] = {
    namespace_functions, mount_functions, privilege_functions, landlock_functions,
    seccomp_functions, memory_functions, ipc_functions,
};

int exec_module(PyObject* module)
{
    for (PyMethodDef* table : function_tables) {
        if (PyModule_AddFunctions(module, table) < 0) {
            return -1;
        }
    }
    for (const Constant& constant : constants) {
        Ref value = Ref::take(PyLong_FromUnsignedLongLong(constant.value));
        if (!value || PyModule_AddObjectRef(module, constant.name, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_containment",
    module_doc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace containment

PyMODINIT_FUNC PyInit__containment(void)
{
    return PyModuleDef_Init(&containment::module_def);
}
